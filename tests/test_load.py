"""A short load run (devtools/load.py): sixteen threads drive the road of a job
(claim_input, fetch_response, parse, InsertItem, finish) against the test
database and a web site that injects faults. Nothing may be lost and memory
must stay flat; `make load` runs the same for minutes."""

from __future__ import annotations

import json
import subprocess
import sys

import pytest

from support import ROOT


@pytest.mark.slow
def test_short_load_loses_nothing(mongo_uri, tmp_path):
    proc = subprocess.run(
        [
            sys.executable,
            str(ROOT / "devtools" / "load.py"),
            "--seconds",
            "20",
            "--threads",
            "16",
            "--batch",
            "5",
            "--warmup",
            "6",
            "--kill-rate",
            "0.03",
            "--uri",
            mongo_uri,
            "--json",
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=600,
    )
    assert proc.stdout, proc.stderr
    summary = json.loads(proc.stdout.splitlines()[-1])
    report = json.dumps(summary, indent=1)

    assert summary["errors"] == 0, report
    assert summary["lost"] == 0, report
    assert summary["processed"] == summary["items"] > 0, report
    assert summary["processed_twice"] == 0, report
    assert summary["stored"] + summary["duplicates"] + summary["failed"] == summary["processed"]
    assert summary["records_in_db"] == summary["records_expected"], report
    assert summary["half_written_records"] == 0
    # Failure records counted as a multiset: a second record of one attempt fails.
    assert summary["failure_records"] == summary["failed"], report
    assert summary["failure_records_not_one_per_failed_fetch"] == 0, report
    # A worker was really killed, and another finished what it abandoned.
    assert summary["kills"] > 0 and summary["abandoned_then_finished"] > 0, report
    # Every kind of trouble came up.
    assert summary["duplicates"] > 0 and summary["from_store"] > 0, report
    # Pages already saved came from the store: their addresses fail, and the
    # site saw no request for any of them.
    assert summary["saved_pages_requested"] == 0, report
    assert set(summary["faults_injected"]) >= {"500", "reset", "cut mid-body", "small page", "held past time-out"}, (
        report
    )
    assert summary["rss_growth_mb"] <= 24, report
    assert proc.returncode == 0, report
