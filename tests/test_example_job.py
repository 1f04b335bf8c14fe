"""The example job end to end, twice, as `make demo` runs it: the real test
database server, the parcel site and its proxy on loopback, the job script in
a process of its own. The figures of the runner's summary are checked against
what the site's plan makes of each work item."""

from __future__ import annotations

import csv
import json
import os
import pty
import subprocess
import sys
import threading

import openpyxl
import pytest

from support import ROOT

sys.path.insert(0, str(ROOT / "example"))
import parcel_site  # noqa: E402

PARCELS = 40
RUN_JOB = ROOT / "example" / "run_job.py"


def run_job(output, stderr=subprocess.PIPE):
    """Run the example job; returns (summary, stdout, stderr or None)."""
    proc = subprocess.run(
        [sys.executable, str(RUN_JOB), "--output", str(output), "--parcels", str(PARCELS), "--retry-delay", "0"],
        stdout=subprocess.PIPE,
        stderr=stderr,
        timeout=600,
        env=dict(os.environ, PYTHONIOENCODING="utf-8"),
    )
    out = proc.stdout.decode("utf-8")
    err = proc.stderr.decode("utf-8") if proc.stderr is not None else None
    assert proc.returncode == 0, out + (err or "")
    return json.loads((output / "summary.json").read_text()), out, err


def run_job_on_terminal(output):
    """Run the example job with its standard error on a pseudo-terminal;
    returns the summary and what reached the terminal."""
    master, slave = pty.openpty()
    seen = bytearray()

    def read():
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the other end is closed
                return
            if not chunk:
                return
            seen.extend(chunk)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    try:
        summary, _, _ = run_job(output, stderr=slave)
    finally:
        os.close(slave)
        reader.join(30)
        os.close(master)
    return summary, seen.decode("utf-8", "replace")


def expected():
    """What each run must report, from the plan of the site and the work items."""
    parcels = parcel_site.plan(PARCELS)
    rows = parcel_site.work_items(parcels, "http://site")
    fault = {p.number: p.fault for p in parcels}
    faulty = [r for r in rows if fault[r["parcel_number"]]]
    unanswered = [r for r in faulty if fault[r["parcel_number"]] in ("500", "reset")]
    sound_parcels = sum(1 for p in parcels if p.fault is None)
    parsed = len(rows) - len(faulty)
    # A route that gives up records one failure; a too-small page on the engine
    # route is returned at once, without a record.
    records = sum(1 for r in faulty if fault[r["parcel_number"]] != "tiny" or r["route"] == "direct")
    return dict(
        rows=len(rows),
        twice=len(rows) - PARCELS,
        sound=sound_parcels,
        parsed=parsed,
        faulty=len(faulty),
        unanswered=len(unanswered),
        tiny=len(faulty) - len(unanswered),
        records=records,
    )


def export_contents(summary):
    csv_path, xlsx_path = (p for p in summary["exports"])
    with open(csv_path, newline="", encoding="utf-8") as f:
        csv_rows = list(csv.reader(f))
    wb = openpyxl.load_workbook(xlsx_path, read_only=True)
    try:
        sheet_rows = [list(r) for r in wb.active.iter_rows(values_only=True)]
    finally:
        wb.close()
    return csv_rows, sheet_rows


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    output = tmp_path_factory.mktemp("example-job")
    first, first_out, first_err = run_job(output)
    first_log = (output / "job.log").read_text(encoding="utf-8")
    first_exports = export_contents(first)
    second, terminal = run_job_on_terminal(output)
    second_log = (output / "job.log").read_text(encoding="utf-8")
    return dict(
        first=first,
        first_out=first_out,
        first_err=first_err,
        first_log=first_log,
        first_exports=first_exports,
        second=second,
        terminal=terminal,
        second_log=second_log,
        second_exports=export_contents(second),
    )


def test_plan_has_every_kind_of_page():
    e = expected()
    kinds = {(p.kind, p.fault, p.route) for p in parcel_site.plan(PARCELS)}
    assert {k for _, k, _ in kinds} == {None, "500", "reset", "tiny"}
    assert {k for k, _, _ in kinds} == {"html", "json"}
    assert {r for _, _, r in kinds} == {"direct", "engine"}
    assert e["twice"] >= 2 and e["unanswered"] >= 2 and e["tiny"] >= 2


@pytest.mark.parametrize("seed, same", [(parcel_site.SEED, True), (parcel_site.SEED + 1, False)])
def test_site_is_the_same_for_the_same_seed(seed, same):
    a, b = parcel_site.plan(PARCELS), parcel_site.plan(PARCELS, seed)
    pages_a = [parcel_site.reply_for(p) for p in a]
    pages_b = [parcel_site.reply_for(p, seed) for p in b]
    assert (a == b and pages_a == pages_b) is same


def test_first_run_stores_every_sound_parcel_once(runs):
    s, e = runs["first"], expected()
    assert s["work_items"] == e["rows"]
    assert s["stored_new"] == s["stored_total"] == e["sound"]
    # The parcels listed twice: the second row is answered from the store and
    # its record reported as a duplicate.
    assert s["duplicate_lines"] == s["not_newly_stored"] == e["twice"]
    assert s["from_store"] == e["twice"]
    assert s["site_requests"]["page"] == e["sound"]
    assert s["failures_recorded"] == e["records"]
    assert s["statuses"] == {"done": e["parsed"], "no page": e["faulty"]}
    assert runs["first_log"].splitlines()[0] == "✅ MongoDB connection successful"
    assert runs["first_log"].count("✅ Successfully inserted document\n") == e["sound"]


def test_second_run_is_answered_from_the_store(runs):
    s, e = runs["second"], expected()
    assert s["stored_new"] == 0 and s["stored_total"] == e["sound"]
    assert s["duplicate_lines"] == s["not_newly_stored"] == e["parsed"]
    # Only the pages that never arrived are asked for again; the saved error
    # pages are served from the store and recognised by the script.
    assert s["site_requests"].get("page", 0) == 0
    assert "tiny" not in s["site_requests"]
    assert s["from_store"] == e["rows"] - e["unanswered"]
    assert s["failures_recorded"] == e["unanswered"]
    assert s["statuses"] == {"done": e["parsed"], "no page": e["unanswered"], "not a parcel page": e["tiny"]}


@pytest.mark.parametrize("run", ["first", "second"])
def test_exports_hold_one_row_per_stored_record(runs, run):
    e = expected()
    csv_rows, sheet_rows = runs[f"{run}_exports"]
    assert list(runs[run]["exports"].values()) == [e["sound"], e["sound"]]
    assert len(csv_rows) == len(sheet_rows) == e["sound"] + 1
    assert csv_rows[0] == sheet_rows[0]
    assert csv_rows[0][0] == "parcel_number" and csv_rows[0][-1] == "page_save"
    assert not {"_id", "retry", "datetime"} & set(csv_rows[0])
    sound = sorted(p.number for p in parcel_site.plan(PARCELS) if p.fault is None)
    assert sorted(r[0] for r in csv_rows[1:]) == sound


def test_records_are_cleaned(runs):
    csv_rows, _ = runs["first_exports"]
    header, body = csv_rows[0], csv_rows[1:]
    text = "\n".join(",".join(r) for r in body)
    for junk in ("<", "&nbsp;", "&amp;", "track(", "margin", "\u00a0", "\u0099"):
        assert junk not in text
    notes = header.index("notes")
    assert all(r[notes].startswith("Zoned ") for r in body)


def test_progress_only_on_a_terminal(runs):
    assert runs["first_err"] == ""
    e = expected()
    assert f"{e['rows']}/{e['rows']} items" in runs["terminal"]
