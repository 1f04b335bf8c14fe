"""Leased claims on the input collections: one worker's view in this process,
other workers in fresh interpreters, and whole runs of worker processes with
kills against the test database."""

from __future__ import annotations

import collections
import json
import os
import signal
import subprocess
import sys
import time
from datetime import timezone
from pathlib import Path

import pytest

from support import ROOT, PythonSession, python_env

WORKER = Path(__file__).parent / "support" / "queue_worker.py"
PENDING = {"status": "pending"}
QUEUES = [("col_input", "claim_input", "queue_progress"),
          ("col_input_pdp", "claim_pl_input", "pl_queue_progress")]


@pytest.fixture(scope="module")
def wq(sc):
    from Nexra_publish import workqueue
    return workqueue


@pytest.fixture
def queue(sc, database, collection_name, monkeypatch):
    """Both input globals on fresh collections: glob -> independent handle."""
    handles = {}
    for glob in ("col_input", "col_input_pdp"):
        name = f"{collection_name}_{glob[4:]}"
        monkeypatch.setattr(sc, glob, sc.db[name])
        handles[glob] = database[name]
    yield handles
    for h in handles.values():
        for suffix in ("", "_leases", "_results"):
            database[h.name + suffix].drop()


def seed(col, n, **fields):
    col.insert_many([{"n": i, "parcel_number": f"P{i:05d}", "status": "pending",
                      "body": f"item {i}", **fields} for i in range(n)])


def other_worker(job_dir, glob, name):
    """A second worker process on the collection `name` bound as `glob`."""
    s = PythonSession(job_dir, {"NEXRA_CONFIG": str(job_dir / "absent.json")})
    s.run(f"""
        from Nexra_publish import Scrape_common as sc, workqueue as wq
        sc.{glob} = sc.db[{name!r}]
    """)
    return s


@pytest.mark.parametrize("glob,claim,progress", QUEUES)
def test_claims_hand_each_row_once_until_finished_or_expired(wq, queue, glob, claim, progress):
    col = queue[glob]
    seed(col, 12)
    col.insert_one({"n": 99, "status": "done"})
    claim, progress = getattr(wq, claim), getattr(wq, progress)

    first = claim(PENDING, 5, 1.0)
    rest = claim(PENDING, 100, 30.0)
    assert len(first) == 5 and len(rest) == 7
    assert sorted(d["n"] for d in first + rest) == list(range(12))
    assert claim(PENDING, 100) == []
    assert all(d["_claims"] == 1 and d["_lease_gen"] == 1 for d in first)
    p = progress(PENDING)
    assert (p["free"], p["leased"], p["stuck"]) == (0, 12, 0)
    assert p["statuses"] == {"pending": 12, "done": 1}

    # A finished row is never handed out again; the others come back once
    # their lease has run out.
    col.update_one({"_id": first[0]["_id"]}, {"$set": {"status": "done"}})
    time.sleep(1.1)
    again = claim(PENDING, 100)
    assert sorted(d["n"] for d in again) == sorted(d["n"] for d in first[1:])
    assert all(d["_claims"] == 2 and d["_lease_gen"] == 2 for d in again)
    # The other collection's queue never saw any of it.
    other = queue[{"col_input": "col_input_pdp", "col_input_pdp": "col_input"}[glob]]
    assert other.count_documents({}) == 0


@pytest.mark.parametrize("max_claims", [1, 2])
def test_a_row_claimed_max_claims_times_is_stuck(wq, queue, max_claims):
    seed(queue["col_input"], 3)
    for _ in range(max_claims):
        assert len(wq.claim_input(PENDING, 10, 0.2, max_claims)) == 3
        time.sleep(0.25)
    assert wq.claim_input(PENDING, 10, 0.2, max_claims) == []
    p = wq.queue_progress(PENDING, max_claims)
    assert (p["free"], p["leased"], p["stuck"], p["remaining"]) == (0, 0, 3, 0)
    # A higher limit hands them out again.
    assert len(wq.claim_input(PENDING, 10, 0.2, max_claims + 1)) == 3


def test_release_and_extend_act_only_on_this_workers_leases(wq, queue, job_dir):
    col = queue["col_input"]
    seed(col, 6)
    other = other_worker(job_dir, "col_input", col.name)
    mine = wq.claim_input(PENDING, 3, 3.0)
    try:
        theirs = json.loads(other.run("import json; print(json.dumps([str(d['n']) for d in "
                                      "wq.claim_input({'status': 'pending'}, 3, 1.0)]))"))
        assert len(theirs) == 3
        their_ids = [d["_id"] for d in col.find({"n": {"$in": [int(n) for n in theirs]}})]
        assert wq.extend_lease(their_ids, 30) == 0 and wq.release(their_ids) == 0
        assert wq.extend_lease([mine[0], mine[0]["_id"]], 30) == 1   # a document or its _id
        assert wq.release([mine[1]]) == 1 and wq.release([mine[1]]) == 0
        time.sleep(3.1)
        # mine[0] was renewed; mine[1] was given back; mine[2] and theirs expired.
        taken = set(json.loads(other.run(
            "import json; print(json.dumps([d['n'] for d in "
            "wq.claim_input({'status': 'pending'}, 10, 30)]))")))
        assert taken == {mine[1]["n"], mine[2]["n"]} | {int(n) for n in theirs}
        # An expired lease taken over by another worker is not renewed.
        assert wq.extend_lease([mine[2]], 30) == 0
        p = wq.queue_progress(PENDING)
        assert (p["free"], p["leased"]) == (0, 6)
    finally:
        other.close()


def test_worker_identity_is_fixed_per_process_and_new_after_fork(wq):
    me = wq.worker_id()
    assert wq.worker_id() == me and me.split(":")[1] == str(os.getpid())
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.write(w, wq.worker_id().encode())
        os._exit(0)
    os.close(w)
    child = os.read(r, 200).decode()
    os.waitpid(pid, 0)
    os.close(r)
    assert child.split(":")[1] == str(pid) and child != me and wq.worker_id() == me


@pytest.mark.parametrize("bad,error", [
    ({"limit": 0}, ValueError), ({"lease": -1}, ValueError), ({"lease": float("nan")}, ValueError),
    ({"max_claims": 0}, ValueError), ({"query": "status"}, TypeError), ({"limit": "3"}, TypeError),
])
def test_bad_arguments_are_refused_before_anything_is_written(wq, queue, bad, error):
    seed(queue["col_input"], 2)
    with pytest.raises(error):
        wq.claim_input(**{"query": PENDING, **bad})
    assert wq.queue_progress(PENDING)["free"] == 2


# ---------------------------------------------------------------------------
# Runs of worker processes
# ---------------------------------------------------------------------------

def check_leases(leases) -> int:
    """No two live leases of different owners on one row overlap; returns the
    number of takeovers of an expired lease."""
    by_row = collections.defaultdict(list)
    for g in leases.find({}):
        by_row[repr(g["row"])].append(g)
    takeovers = 0
    for row, gens in by_row.items():
        gens.sort(key=lambda g: g["gen"])
        assert [g["gen"] for g in gens] == list(range(1, len(gens) + 1)), row
        for prev, nxt in zip(gens, gens[1:]):
            if prev["state"] == "held" and nxt["owner"] != prev["owner"]:
                assert nxt["at"] > prev["until"], (prev, nxt)
                takeovers += 1
    return takeovers


@pytest.mark.parametrize("processes,threads,limit,kills,rows", [
    (3, 1, 2, 1, 150),
    (4, 4, 3, 2, 240),
])
def test_worker_processes_with_kills_lose_nothing_and_store_each_item_once(
        sc, queue, database, job_dir, tmp_path, processes, threads, limit, kills, rows):
    col = queue["col_input"]
    seed(col, rows)
    lease = 2.0
    (tmp_path / "overlay.json").write_text(json.dumps({"input_table": col.name}))
    env = python_env(job_dir, {"NEXRA_CONFIG": str(tmp_path / "overlay.json")})
    log = tmp_path / "log"
    procs = [subprocess.Popen([sys.executable, str(WORKER), str(log), str(threads), str(limit),
                               str(lease)], cwd=job_dir, env=env, stdout=subprocess.DEVNULL)
             for _ in range(processes)]
    killed = []
    deadline = time.monotonic() + 300
    while any(p.poll() is None for p in procs):
        assert time.monotonic() < deadline, "the workers did not finish"
        for p in procs:
            path = Path(f"{log}.{p.pid}")
            text = path.read_text() if path.exists() else ""
            # Killed while it holds a whole claim's worth of rows: mid-item.
            if (len(killed) < kills and p.poll() is None and p not in killed
                    and text.count('"claim"') >= 4 + 3 * len(killed)
                    and text.count('"claim"') - text.count('"done"') >= limit):
                p.send_signal(signal.SIGKILL)
                killed.append(p)
        time.sleep(0.05)

    entries = [json.loads(line) for f in tmp_path.glob("log.*") for line in f.read_text().splitlines()
               if line.endswith("]")]
    claims = [e for e in entries if e[0] == "claim"]
    done = collections.Counter(e[1] for e in entries if e[0] == "done")
    killed_owners = {e[2] for e in claims if e[2].split(":")[1] in {str(p.pid) for p in killed}}
    abandoned = {e[1] for e in claims if e[2] in killed_owners} - set(
        e[1] for e in entries if e[0] == "done" and e[2] in killed_owners)

    # Every row done, each item stored exactly once.
    assert col.count_documents({"status": "done"}) == rows
    results = database[col.name + "_results"]
    stored = collections.Counter(d["page_save"] for d in results.find({}, {"page_save": 1}))
    assert len(stored) == rows and max(stored.values()) == 1
    # The killed workers died holding rows and others finished them (a row
    # may also have been marked by its killed worker just before its note).
    taken_over = {r for r in abandoned if done[r] >= 1}
    assert len(killed) == kills and taken_over
    assert len(abandoned - taken_over) <= kills * threads
    # Recorded claims: each is a stored lease generation, and claims of one
    # row by different workers never overlap.
    leases = database[col.name + "_leases"]
    held = {(str(g["row"]), g["owner"], g["until"]) for g in leases.find({"state": "held"})}
    assert all((row, owner, until) in held for _, row, owner, _, until in claims)
    per_row = collections.defaultdict(list)
    for _, row, owner, start, until in claims:
        per_row[row].append((start, until, owner))
    for row, spans in per_row.items():
        spans.sort()
        for (_s1, u1, o1), (s2, _u2, o2) in zip(spans, spans[1:]):
            assert o1 == o2 or s2 > u1, (row, spans)
    check_leases(leases)
    assert all(p.returncode == 0 for p in procs if p not in killed)


@pytest.mark.parametrize("state,until,free_at_once", [
    ("held", 1.5, False),      # a live lease the mirror never heard of
    ("held", -5.0, True),      # an expired one
    ("released", 0.0, True),
])
def test_leases_decide_when_the_rows_mirror_is_behind(wq, queue, database, state, until,
                                                      free_at_once):
    """A writer that died between its lease and the row's mirror of it."""
    col = queue["col_input"]
    seed(col, 1)
    row = col.find_one()
    now = database.command("hello")["localTime"].replace(tzinfo=timezone.utc).timestamp()
    database[col.name + "_leases"].insert_one(
        {"_id": {"row": row["_id"], "gen": 1}, "row": row["_id"], "gen": 1, "owner": "ghost",
         "state": state, "at": now, "until": now + until, "claims": 1})
    got = wq.claim_input(PENDING, 1, 30)
    if not free_at_once:
        assert got == []
        time.sleep(until + 0.1)
        got = wq.claim_input(PENDING, 1, 30)
    assert [(d["_id"], d["_lease_gen"], d["_claims"]) for d in got] == [(row["_id"], 2, 2)]


def test_example_job_with_worker_processes_does_each_item_once(tmp_path):
    proc = subprocess.run([sys.executable, str(ROOT / "example" / "run_job.py"), "--output",
                           str(tmp_path), "--parcels", "30", "--retry-delay", "0", "--workers", "3"],
                          capture_output=True, text=True, encoding="utf-8", timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    summary = json.loads((tmp_path / "summary.json").read_text())
    assert len(summary["workers"]) == 3
    assert sum(w["items"] for w in summary["workers"]) == summary["work_items"]
    assert "pending" not in summary["statuses"]
    assert "0 done twice, 0 left pending" in proc.stdout


@pytest.mark.parametrize("takeover", [False, True])
def test_a_claim_costs_the_same_round_trips_for_5_rows_as_for_100(wq, sc, queue, mongo_uri,
                                                                  monkeypatch, takeover):
    from pymongo import MongoClient, monitoring

    class Count(monitoring.CommandListener):
        n = 0

        def started(self, event):
            Count.n += 1

        def succeeded(self, event):
            pass

        def failed(self, event):
            pass

    client = MongoClient(mongo_uri, event_listeners=[Count()])
    col = queue["col_input"]
    seed(col, 105)
    monkeypatch.setattr(sc, "col_input", client[col.database.name][col.name])
    trips = []
    for lo, limit in ((0, 5), (5, 100)):
        query = {"status": "pending", "n": {"$gte": lo, "$lt": lo + limit}}
        if takeover:   # leases that ran out: the rows are read again after the claim
            assert len(wq.claim_input(query, limit, 0.0)) == limit
            time.sleep(0.01)
        Count.n = 0
        assert len(wq.claim_input(query, limit, 30)) == limit
        trips.append(Count.n)
    client.close()
    assert trips[0] == trips[1] <= 6, trips
