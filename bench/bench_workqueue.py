"""Claim throughput of workqueue.claim_input at limit 1, 10 and 100, on the
test database (started here), with the input collection of a job's size.

Per case the "native" time is the time per claimed row at that limit (and at
limit 10 for rows whose earlier leases ran out: takeovers) and the
baseline the time per row of a one-row claim made the way that is only safe
on MongoDB (find_one_and_update on a status field), so the ratio shows what
the limit buys back of the price of claims that rest on _id uniqueness alone.
The rows per second of every case are printed too.
"""

from __future__ import annotations

import sys
import tempfile
import time
from pathlib import Path

import pymongo

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from devtools.testdb import TestDB  # noqa: E402

PENDING = {"status": "pending"}


def seed(col, rows):
    col.drop()
    col.database[col.name + "_leases"].drop()
    col.insert_many([{"n": i, "status": "pending", "url": f"http://site/{i}"} for i in range(rows)])


def claims_per_row(wq, col, rows, limit, takeover=False):
    """Seconds per claimed row, claiming rows until `rows` are claimed; with
    `takeover`, every row was claimed before and its lease ran out, so each
    claim follows an earlier generation."""
    seed(col, rows)
    if takeover:  # each row claimed once, in slices, so that no lease is taken over yet
        for lo in range(0, rows, 100):
            wq.claim_input({"status": "pending", "n": {"$gte": lo, "$lt": lo + 100}}, 100, 0.0)
        time.sleep(0.01)
    got = 0
    t = time.perf_counter()
    while got < rows:
        batch = wq.claim_input(PENDING, limit, 600.0)
        if not batch:
            break
        got += len(batch)
    elapsed = time.perf_counter() - t
    assert got == rows, (got, rows)
    return elapsed / got


def mongodb_only_claim_per_row(col, rows):
    """find_one_and_update: one round trip per row, atomic on MongoDB only."""
    seed(col, rows)
    t = time.perf_counter()
    for _ in range(rows):
        col.find_one_and_update(PENDING, {"$set": {"status": "leased"}})
    return (time.perf_counter() - t) / rows


def run(sc, report, quick):
    rows = 200 if quick else 1000
    with tempfile.TemporaryDirectory() as tmp, TestDB(Path(tmp) / "db") as uri:
        client = pymongo.MongoClient(uri)
        saved = sc.col_input
        try:
            sc.col_input = client["bench_workqueue"]["input"]
            from Nexra_publish import workqueue as wq

            baseline = mongodb_only_claim_per_row(sc.col_input, rows)
            for limit in (1, 10, 100):
                per_row = claims_per_row(wq, sc.col_input, rows, limit)
                print(f"  claim_input limit {limit:>3}: {1 / per_row:8.1f} rows/s ({rows} rows of {rows})", flush=True)
                report(f"claim_input, limit {limit}, {rows} rows (per row)", per_row, baseline)
            per_row = claims_per_row(wq, sc.col_input, rows, 10, takeover=True)
            print(f"  claim_input limit  10, takeovers: {1 / per_row:8.1f} rows/s", flush=True)
            report(f"claim_input, limit 10, {rows} rows taken over (per row)", per_row, baseline)
        finally:
            sc.col_input = saved
            client.drop_database("bench_workqueue")
            client.close()
