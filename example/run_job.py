"""Run the example job end to end on an embedded database of its own.

Starts the test database server (FerretDB) with its data under OUTPUT/db, the
parcel site and its proxy on loopback (parcel_site.py), seeds the input
collection (every work item pending again), runs job/scrape.py as a job would
run it, with its standard output in OUTPUT/job.log, and prints a summary.

The results collection, the failure records and the page-save store
(OUTPUT/pages) are kept between runs, so a second run is answered from the
store and finds every record stored already.

    python example/run_job.py [--output DIR] [--parcels N] [--retry-delay S] [--workers N]

With --workers N the job runs N worker processes on one queue (scrape.py
--workers N) and the summary gives each worker's count of items and of
leases it lost (items another worker took over and finished).
"""

from __future__ import annotations

import argparse
import csv
import json
import os
import runpy
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

import openpyxl
import pymongo

HERE = Path(__file__).resolve().parent
JOB = HERE / "job"
sys.path[:0] = [str(HERE), str(HERE.parent)]
from devtools.testdb import TestDB  # noqa: E402
from parcel_site import SEED, Site, work_items  # noqa: E402

DUPLICATE_LINE = "Duplicate key error: Document already exists."
WORKER_LINE = "worker summary: "
FAULT_LABELS = {
    "500": "answered 500",
    "reset": "dropped",
    "tiny": "tiny error pages",
    "unknown": "for unknown addresses",
}


def job_settings() -> dict:
    """The job's settings as the library will see them, before the runner's own
    entries: config.py, overlaid by the job's config.json."""
    settings = {k: v for k, v in runpy.run_path(str(JOB / "config.py")).items() if not k.startswith("__")}
    overlay = JOB / "config.json"
    if overlay.exists():
        settings.update(json.loads(overlay.read_text(encoding="utf-8")))
    return settings


def export_rows(path: Path) -> int | None:
    """Data rows (header not counted) of an exported file; None when it is absent."""
    if not path.exists():
        return None
    if path.suffix == ".csv":
        with open(path, newline="", encoding="utf-8") as f:
            return max(sum(1 for _ in csv.reader(f)) - 1, 0)
    wb = openpyxl.load_workbook(path, read_only=True)
    try:
        return max(wb.active.max_row - 1, 0)
    finally:
        wb.close()


def shown(path: Path) -> str:
    try:
        return str(path.relative_to(Path.cwd()))
    except ValueError:
        return str(path)


def run(output: Path, parcels: int, seed: int, retry_delay: float | None, workers: int = 0) -> dict:
    started = time.monotonic()
    output.mkdir(parents=True, exist_ok=True)
    settings = job_settings()
    results, failures = settings["result_table"], "failures_collection"

    with Site(parcels, seed) as site, TestDB(output / "db") as uri:
        overlay = dict(settings)
        overlay.update(
            connection_string=uri,
            engine_proxy=site.proxy_url,
            pagesave_path=str(output / "pages"),
            export_dir=str(output / "export"),
        )
        if retry_delay is not None:
            overlay["retry_delay"] = retry_delay
        overlay_path = output / "config.json"
        overlay_path.write_text(
            json.dumps(
                {k: overlay[k] for k in sorted(overlay) if isinstance(overlay[k], (str, int, float, type(None)))},
                indent=2,
            )
        )

        client = pymongo.MongoClient(uri)
        try:
            db = client[settings["data_base"]]
            items = work_items(site.parcels, site.url, seed)
            # A fresh queue: new work items, and no lease history of the old ones.
            db[settings["input_table"]].delete_many({})
            db[settings["input_table"] + "_leases"].drop()
            ids = [str(i) for i in db[settings["input_table"]].insert_many(items).inserted_ids]
            stored_before = db[results].count_documents({})
            failures_before = db[failures].count_documents({})

            log_path = output / "job.log"
            print(f"example job: {len(items)} work items on {site.url}, log in {shown(log_path)}", flush=True)
            env = dict(
                os.environ,
                NEXRA_CONFIG=str(overlay_path),
                PYTHONIOENCODING="utf-8",
                NO_PROXY="127.0.0.1,localhost",
                no_proxy="127.0.0.1,localhost",
            )
            job_started = time.monotonic()
            with open(log_path, "wb") as log:
                code = subprocess.call(
                    [sys.executable, "scrape.py"] + (["--workers", str(workers)] if workers else []),
                    cwd=JOB,
                    env=env,
                    stdout=log,
                )
            job_elapsed = time.monotonic() - job_started

            statuses = Counter(d["status"] for d in db[settings["input_table"]].find({}, {"status": 1}))
            stored_after = db[results].count_documents({})
            failures_after = db[failures].count_documents({})
        finally:
            client.close()
        with site.lock:
            requests = dict(site.requests)
            reached = len(site.items_seen.intersection(ids))
            proxied = site.proxied

    log_text = log_path.read_text(encoding="utf-8", errors="replace")
    exports = {
        str(p): export_rows(p) for p in (output / "export" / f"{results}.csv", output / "export" / f"{results}.xlsx")
    }
    new = stored_after - stored_before
    # (Another worker's output may end in mid-line just before a summary.)
    per_worker = [json.loads(line.partition(WORKER_LINE)[2]) for line in log_text.splitlines() if WORKER_LINE in line]
    return {
        "workers": per_worker,
        "exit_code": code,
        "work_items": len(items),
        "parcels": parcels,
        "listed_twice": len(items) - parcels,
        "statuses": dict(statuses),
        "stored_new": new,
        "stored_total": stored_after,
        "duplicate_lines": sum(1 for line in log_text.splitlines() if line == DUPLICATE_LINE),
        "not_newly_stored": statuses.get("done", 0) - new,
        "failures_recorded": failures_after - failures_before,
        "from_store": len(items) - reached,
        "site_requests": requests,
        "proxied": proxied,
        "exports": exports,
        "log": str(log_path),
        "job_seconds": round(job_elapsed, 1),
        "elapsed_seconds": round(time.monotonic() - started, 1),
    }


def report(s: dict) -> str:
    st = s["statuses"]
    failed = s["work_items"] - st.get("done", 0)
    req = dict(s["site_requests"])
    pages = req.pop("page", 0)
    faulty = "; ".join(f"{req[k]} {label}" for k, label in FAULT_LABELS.items() if req.get(k))
    lines = [
        f"  work items          {s['work_items']} ({s['parcels']} parcels, {s['listed_twice']} listed twice)",
        f"  items stored        {s['stored_new']} new ({s['stored_total']} in the results)",
        f"  duplicates          {s['duplicate_lines']} reported by InsertItem "
        f"({s['not_newly_stored']} parsed items not newly stored)",
        f"  failures recorded   {s['failures_recorded']} in failures_collection; "
        f"{failed} items without a record ({st.get('no page', 0)} no page, "
        f"{st.get('not a parcel page', 0)} not a parcel page)",
        f"  pages from store    {s['from_store']} of {s['work_items']} items (no request of theirs reached the site)",
        f"  site requests       {pages} for parcel pages; {faulty + '; ' if faulty else ''}"
        f"{s['proxied']} of all through the proxy",
    ]
    if s["workers"]:
        done = sum(w["items"] for w in s["workers"])
        left = sum(n for status, n in st.items() if status == "pending")
        lines.append(
            f"  workers             {len(s['workers'])}: "
            + ", ".join(str(w["items"]) for w in s["workers"])
            + f" items ({done} in all of {s['work_items']}; "
            f"{max(done - s['work_items'], 0)} done twice, {left} left pending, "
            f"{sum(w.get('lost_leases', 0) for w in s['workers'])} lost leases)"
        )
    for i, (path, rows) in enumerate(s["exports"].items()):
        label = "exports" if i == 0 else ""
        lines.append(f"  {label:<19} {shown(Path(path))} ({'missing' if rows is None else f'{rows} rows'})")
    lines += [
        f"  log                 {shown(Path(s['log']))}",
        f"  elapsed             {s['elapsed_seconds']:.1f} s (job {s['job_seconds']:.1f} s)",
    ]
    if s["exit_code"]:
        lines.append(f"  the job FAILED with exit code {s['exit_code']}; see the log")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--output", type=Path, default=HERE / "output", help="directory of the database, saved pages, exports and log"
    )
    parser.add_argument("--parcels", type=int, default=300, help="parcels on the site")
    parser.add_argument("--seed", type=int, default=SEED, help="seed of the site's pages")
    parser.add_argument(
        "--retry-delay", type=float, default=None, help="seconds between fetch attempts (default: the library's)"
    )
    parser.add_argument(
        "--workers", type=int, default=0, help="worker processes sharing the queue (default: one plain reader)"
    )
    args = parser.parse_args(argv)
    if args.parcels < 10:
        parser.error("--parcels must be at least 10")

    summary = run(args.output.resolve(), args.parcels, args.seed, args.retry_delay, args.workers)
    (args.output / "summary.json").write_text(json.dumps(summary, indent=2))
    print(report(summary))
    return summary["exit_code"]


if __name__ == "__main__":
    sys.exit(main())
