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
import threading
import time
from datetime import timezone
from pathlib import Path

import pytest
from pymongo.errors import AutoReconnect, BulkWriteError

from support import ROOT, PythonSession, python_env
from support.wrapped import DeletionsRecorded, Wrapped

WORKER = Path(__file__).parent / "support" / "queue_worker.py"
PENDING = {"status": "pending"}
QUEUES = [("col_input", "claim_input", "queue_progress"), ("col_input_pdp", "claim_pl_input", "pl_queue_progress")]


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
    col.insert_many(
        [{"n": i, "parcel_number": f"P{i:05d}", "status": "pending", "body": f"item {i}", **fields} for i in range(n)]
    )


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
    assert wq.finish([first[0]]) == [first[0]]
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


def test_release_and_extend_act_only_on_this_claims_leases(wq, queue, job_dir):
    col = queue["col_input"]
    seed(col, 6)
    other = other_worker(job_dir, "col_input", col.name)
    mine = wq.claim_input(PENDING, 3, 3.0)
    try:
        assert (
            len(
                json.loads(
                    other.run(
                        "import json; print(json.dumps([str(d['n']) for d in "
                        "wq.claim_input({'status': 'pending'}, 3, 1.0)]))"
                    )
                )
            )
            == 3
        )
        assert wq.extend_lease([mine[0], mine[0]], 30) == [mine[0], mine[0]]
        assert wq.release([mine[1]]) == [mine[1]] and wq.release([mine[1]]) == []
        time.sleep(3.1)
        # mine[0] was renewed; mine[1] was given back; mine[2] and theirs expired.
        taken = set(
            json.loads(
                other.run(
                    "import json; print(json.dumps([d['n'] for d in wq.claim_input({'status': 'pending'}, 10, 30)]))"
                )
            )
        )
        assert taken == {d["n"] for d in col.find({})} - {mine[0]["n"]}
        # An expired lease taken over by another worker is lost.
        assert wq.extend_lease([mine[2]], 30) == [] and wq.finish([mine[2]]) == []
        assert wq.finish([mine[0]]) == [mine[0]] and wq.finish([mine[0]]) == []
        p = wq.queue_progress(PENDING)
        assert (p["free"], p["leased"]) == (0, 5)
    finally:
        other.close()


@pytest.mark.parametrize("item", [7, {"_id": 7}, {"_id": 7, "_lease_gen": 1, "_lease_queue": "x"}])
@pytest.mark.parametrize("step", ["extend_lease", "release", "finish"])
def test_items_that_are_not_claim_handles_are_refused(wq, queue, item, step):
    seed(queue["col_input"], 1)
    [handle] = wq.claim_input(PENDING, 1, 30)
    with pytest.raises(TypeError, match="no fence"):
        getattr(wq, step)([handle, item])
    assert wq.extend_lease([handle], 30) == [handle]  # nothing was written for it either


def test_a_stale_handle_of_another_thread_is_lost_and_the_new_lease_stands(wq, queue, job_dir):
    """Two threads of one process: A's lease runs out while its item runs and
    B claims the row; A's renewal, give-back and finish all find it lost."""
    col = queue["col_input"]
    seed(col, 1)
    got = {}

    def thread(name, lease):
        got[name] = wq.claim_input(PENDING, 1, lease)

    a = threading.Thread(target=thread, args=("a", 1.0))
    a.start()
    a.join()
    time.sleep(1.1)
    b = threading.Thread(target=thread, args=("b", 30.0))
    b.start()
    b.join()
    [stale], [fresh] = got["a"], got["b"]
    assert stale["_id"] == fresh["_id"] and stale["_lease_gen"] < fresh["_lease_gen"]
    assert wq.extend_lease([stale], 60) == [] and wq.release([stale]) == []
    assert wq.finish([stale]) == []
    assert col.find_one()["status"] == "pending"
    other = other_worker(job_dir, "col_input", col.name)
    try:
        assert other.run("print(len(wq.claim_input({'status': 'pending'}, 5, 30)))").strip() == "0"
    finally:
        other.close()
    assert wq.finish([fresh]) == [fresh] and col.find_one()["status"] == "done"


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


@pytest.mark.parametrize(
    "bad,error",
    [
        ({"limit": 0}, ValueError),
        ({"lease": -1}, ValueError),
        ({"lease": float("nan")}, ValueError),
        ({"max_claims": 0}, ValueError),
        ({"query": "status"}, TypeError),
        ({"limit": "3"}, TypeError),
    ],
)
def test_bad_arguments_are_refused_before_anything_is_written(wq, queue, bad, error):
    seed(queue["col_input"], 2)
    with pytest.raises(error):
        wq.claim_input(**{"query": PENDING, **bad})
    assert wq.queue_progress(PENDING)["free"] == 2


@pytest.mark.parametrize("claim", ["claim_input", "claim_pl_input"])
def test_any_collection_is_a_queue_and_a_sort_orders_its_claims(wq, sc, queue, database, collection_name, claim):
    own, name = sc.db[collection_name + "_own"], collection_name + "_own"
    seed(own, 8)
    own.update_many({"n": {"$in": [2, 5]}}, {"$set": {"prio": 9}})
    seed(queue["col_input"], 2)
    on = {"collection": own}
    order = [("prio", -1), ("n", 1)]
    try:
        # The sort picks which free rows come first: one at a time, and a batch.
        got = [getattr(wq, claim)(PENDING, 1, 30.0, **on, sort=order)[0] for _ in range(3)]
        assert [d["n"] for d in got] == [2, 5, 0]
        batch = getattr(wq, claim)(PENDING, 2, 30.0, **on, sort=[("n", -1)])
        assert sorted(d["n"] for d in batch) == [6, 7]
        assert {d["_lease_queue"] for d in got + batch} == {own.full_name}
        # A handle is bound to its queue: refused by another, named or not.
        for other in ({}, {"collection": sc.col_input}):
            with pytest.raises(ValueError, match=own.full_name):
                wq.finish(got[:1], **other)
        with pytest.raises(TypeError, match="pymongo Collection"):
            wq.queue_progress(collection=name)
        assert wq.extend_lease(got, 30.0, **on) == got
        assert wq.release(batch, **on) == batch
        assert wq.finish(got[:2], "ok", **on) == got[:2]
        p = wq.queue_progress(PENDING, **on)
        assert (p["free"], p["leased"], p["finished"]) == (5, 1, 2)
        assert wq.queue_progress(PENDING)["free"] == 2  # col_input untouched
        assert wq.finish(got[2:], **on) == got[2:]
        with wq.work(PENDING, batch=3, **on) as items:
            done = [item["n"] for item in items]
        assert sorted(done) == [1, 3, 4, 6, 7] and items.counts["finished"] == 5
        assert own.count_documents({"_lease_done": True}) == 8
        assert wq.drop_finished_leases(**on) > 0 and wq.drop_finished_leases() == 0
        assert wq.reset_leases(**on) > 0
        own.update_one({"n": 2}, {"$set": {"status": "pending"}})
        assert wq.queue_progress(PENDING, **on)["free"] == 1
    finally:
        for suffix in ("", "_leases"):
            database[name + suffix].drop()


# ---------------------------------------------------------------------------
# Runs of worker processes
# ---------------------------------------------------------------------------


def check_leases(leases, deleted=()):
    """Each row's generations run 1..n, a claim takes over a held lease only
    after it ran out, and a row is finished by one generation, the one its
    end record names. Every row is checked: the generations that drops
    deleted come from `deleted` (what each drop removed, in order), and a
    document that a refused step wrote later into a freed _id is not part of
    the history. Returns how many rows were checked."""
    by_row = collections.defaultdict(dict)
    for g in list(deleted) + list(leases.find({})):
        by_row[repr(g["row"])].setdefault(g["gen"], g)
    for row, by_gen in by_row.items():
        end = by_gen.pop(0, None)
        gens = [by_gen[n] for n in sorted(by_gen)]
        assert [g["gen"] for g in gens] == list(range(1, len(gens) + 1)), row
        finished = [g for g in gens if g["state"] == "finished"]
        assert len(finished) == 1, row
        assert end is None or (end["final"], end["token"]) == (finished[0]["gen"], finished[0]["token"]), row
        for prev, nxt in zip(gens, gens[1:]):
            if nxt["token"] != prev["token"] and prev["state"] == "held":
                assert nxt["at"] > prev["until"], (prev, nxt)
    return len(by_row)


@pytest.mark.parametrize(
    "n_procs,threads,rows,lease",
    [
        pytest.param(4, 4, 80, 1.5, marks=pytest.mark.slow, id="4x4"),
        pytest.param(2, 3, 30, 1.0, id="2x3"),  # short: kept in the sanitized suite
    ],
)
def test_overruns_threads_and_a_kill_commit_each_row_exactly_once(
    wq, sc, queue, database, job_dir, tmp_path, monkeypatch, n_procs, threads, rows, lease
):
    """Worker processes of several threads, short leases, item times spread
    past the lease, renewals at half-lease, one SIGKILL mid-item, finished
    leases dropped meanwhile. Commits are counted from the workers' own
    records."""
    col = queue["col_input"]
    seed(col, rows)
    deleted = DeletionsRecorded()  # what the drops below delete, for check_leases
    monkeypatch.setattr(sc, "col_input", Wrapped(sc.col_input, deleted))
    (tmp_path / "overlay.json").write_text(json.dumps({"input_table": col.name}))
    env = python_env(job_dir, {"NEXRA_CONFIG": str(tmp_path / "overlay.json")})
    log = tmp_path / "log"
    procs = [
        subprocess.Popen(
            [sys.executable, str(WORKER), str(log), str(threads), "2", str(lease)],
            cwd=job_dir,
            env=env,
            stdout=subprocess.DEVNULL,
        )
        for _ in range(n_procs)
    ]
    victim, deadline = procs[0], time.monotonic() + 240
    dropped, drop_at = 0, time.monotonic() + 2 * lease
    while any(p.poll() is None for p in procs):
        if time.monotonic() > drop_at:
            dropped, drop_at = dropped + wq.drop_finished_leases(), time.monotonic() + 2 * lease
        assert time.monotonic() < deadline, "the workers did not finish"
        path = Path(f"{log}.{victim.pid}")
        text = path.read_text() if path.exists() else ""
        if (
            victim.returncode is None
            and text.count('"finish"') >= 4
            and text.endswith('"]\n')
            and json.loads(text.splitlines()[-1])[0] == "work"
        ):
            victim.send_signal(signal.SIGKILL)
            victim.wait()
        time.sleep(0.02)
    assert victim.returncode == -signal.SIGKILL, "the kill came too late"
    assert all(p.returncode == 0 for p in procs[1:])

    def entries(pid):
        text = Path(f"{log}.{pid}").read_text()
        return [json.loads(line) for line in text.splitlines() if line.endswith("]")]

    by_pid = {p.pid: entries(p.pid) for p in procs}
    every = [e for es in by_pid.values() for e in es]
    finishes = collections.Counter(e[1] for e in every if e[0] == "finish")
    lost = [e for e in every if e[0] == "lost"]
    # A finish the victim started but did not live to note is read from the
    # leases: did its claim's token store a finish (or its end record, which
    # outlives a drop)?
    ended = {(e[0], e[1]) for es in by_pid.values() for e in es if e[0] in ("finish", "lost")}
    leases = database[col.name + "_leases"]
    for e in by_pid[victim.pid]:
        if e[0] == "finishing" and ("finish", e[1]) not in ended and ("lost", e[1]) not in ended:
            if leases.count_documents({"token": e[2], "state": "finished"}):
                finishes[e[1]] += 1
    ids = {str(d["_id"]) for d in col.find({})}
    wrong = {
        r: [(pid, e) for pid, es in by_pid.items() for e in es if e[1] == r]
        for r in ids | set(finishes)
        if finishes[r] != 1
    }
    assert not wrong, f"not exactly one commit per row (killed {victim.pid}): {wrong}"
    assert {d["status"] for d in col.find({})} == {"done"}
    # The victim died holding rows that others then finished.
    mine = {e[1] for e in by_pid[victim.pid] if e[0] == "claim"}
    done_by_victim = {e[1] for e in by_pid[victim.pid] if e[0] in ("finishing", "lost")}
    others_finished = {e[1] for pid, es in by_pid.items() if pid != victim.pid for e in es if e[0] == "finish"}
    assert (mine - done_by_victim) & others_finished
    assert check_leases(leases, deleted.docs) == rows
    # Claims of a row after its first are takeovers: nothing is given back.
    claims = [e for e in every if e[0] == "claim"]
    takeovers = len(claims) - len({e[1] for e in claims})
    # (A short run may see no overrun that another worker took over.)
    assert (lost or rows < 80) and takeovers and dropped
    wq.drop_finished_leases()
    assert leases.count_documents({}) == 2 * rows  # generation 1 and the end record
    print(
        f"\n{rows} rows, {takeovers} takeovers, {len(lost)} lost-lease reports, "
        f"{sum(finishes.values()) / rows} commits per row"
    )


@pytest.mark.parametrize(
    "state,until,free_at_once",
    [
        ("held", 1.5, False),  # a live lease the mirror never heard of
        ("held", -5.0, True),  # an expired one
        ("released", 0.0, True),
        ("finished", 0.0, None),  # a finish whose status write was undone
    ],
)
def test_leases_decide_when_the_rows_mirror_is_behind(wq, queue, database, state, until, free_at_once):
    """A writer that died between its lease and the row's mirror of it."""
    col = queue["col_input"]
    seed(col, 1)
    row = col.find_one()
    now = database.command("hello")["localTime"].replace(tzinfo=timezone.utc).timestamp()
    ghost = {"row": row["_id"], "owner": "ghost", "at": now, "claims": 1, "token": "t", "step": "s"}
    leases = database[col.name + "_leases"]
    if state == "finished":  # its claim was mirrored; the finish's status write was not
        col.update_one({"_id": row["_id"]}, {"$set": {"_lease_gen": 1, "_claims": 1}})
        leases.insert_one({**ghost, "_id": {"row": row["_id"], "gen": 1}, "gen": 1, "state": "held", "until": now - 1})
    gen = 2 if state == "finished" else 1
    leases.insert_one(
        {
            **ghost,
            "_id": {"row": row["_id"], "gen": gen},
            "gen": gen,
            "state": state,
            "until": now + until,
            "status": "done",
        }
    )
    got = wq.claim_input(PENDING, 1, 30)
    if free_at_once is None:  # never handed out again: its status is written instead
        assert got == [] and col.find_one()["status"] == "done"
        return
    if not free_at_once:
        assert got == []
        time.sleep(until + 0.1)
        got = wq.claim_input(PENDING, 1, 30)
    assert [(d["_id"], d["_lease_gen"], d["_claims"]) for d in got] == [(row["_id"], 2, 2)]


def test_example_job_with_worker_processes_does_each_item_once(tmp_path):
    proc = subprocess.run(
        [
            sys.executable,
            str(ROOT / "example" / "run_job.py"),
            "--output",
            str(tmp_path),
            "--parcels",
            "30",
            "--retry-delay",
            "0",
            "--workers",
            "3",
        ],
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=600,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    summary = json.loads((tmp_path / "summary.json").read_text())
    assert len(summary["workers"]) == 3
    assert sum(w["items"] for w in summary["workers"]) == summary["work_items"]
    assert "pending" not in summary["statuses"]
    assert "0 done twice, 0 left pending" in proc.stdout


def recording_client(mongo_uri):
    """A client of its own and the list of the commands it sends."""
    from pymongo import MongoClient, monitoring

    commands = []

    class Record(monitoring.CommandListener):
        def started(self, event):
            commands.append(event.command)

        def succeeded(self, event):
            pass

        def failed(self, event):
            pass

    return MongoClient(mongo_uri, event_listeners=[Record()]), commands


@pytest.mark.parametrize("takeover", [False, True])
def test_a_claim_costs_the_same_round_trips_for_5_rows_as_for_100(wq, sc, queue, mongo_uri, monkeypatch, takeover):
    client, commands = recording_client(mongo_uri)
    col = queue["col_input"]
    seed(col, 105)
    monkeypatch.setattr(sc, "col_input", client[col.database.name][col.name])
    trips = []
    for lo, limit in ((0, 5), (5, 100)):
        query = {"status": "pending", "n": {"$gte": lo, "$lt": lo + limit}}
        if takeover:  # leases that ran out: the rows are read again after the claim
            assert len(wq.claim_input(query, limit, 0.0)) == limit
            time.sleep(0.01)
        commands.clear()
        assert len(wq.claim_input(query, limit, 30)) == limit
        trips.append(len(commands))
    client.close()
    # hello, search, insert, mirror; a takeover also reads the leases it follows before its
    # insert and the end records after it, and re-reads its rows
    assert trips[0] == trips[1] <= (7 if takeover else 4), trips


class Tracked:
    """A collection or database as the module sees it, which notes whether
    each read goes to the primary and can make every insert fail after it
    was stored, as a server answers one whose outcome is unknown."""

    def __init__(self, target, reads, fail=None):
        self.target, self.reads, self.fail = target, reads, fail

    def __getattr__(self, name):
        return getattr(self.target, name)

    def __getitem__(self, name):
        return Tracked(self.target[name], self.reads, self.fail)

    @property
    def database(self):
        return Tracked(self.target.database, self.reads, self.fail)

    def with_options(self, **kw):
        return Tracked(self.target.with_options(**kw), self.reads, self.fail)

    def find(self, *args, **kw):
        self.reads.append(self.target.read_preference.mongos_mode)
        return self.target.find(*args, **kw)

    def insert_many(self, docs, **kw):
        result = self.target.insert_many(docs, **kw)
        if self.fail:
            raise self.fail(len(result.inserted_ids))
        return result


def test_reads_that_decide_go_to_the_primary(wq, sc, queue, monkeypatch):
    from pymongo import ReadPreference

    seed(queue["col_input"], 3)
    reads = []
    monkeypatch.setattr(
        sc, "col_input", Tracked(sc.col_input.with_options(read_preference=ReadPreference.SECONDARY_PREFERRED), reads)
    )
    assert len(wq.claim_input(PENDING, 3, 0.0)) == 3
    time.sleep(0.05)
    got = wq.claim_input(PENDING, 3, 30)  # takeovers: re-read, checked against the leases
    assert len(got) == 3 and wq.extend_lease(got, 30) == got and wq.release(got) == got
    assert len(reads) >= 3 and set(reads) == {"primary"}, reads


@pytest.mark.parametrize(
    "error",
    [
        lambda n: BulkWriteError(
            {
                "writeErrors": [],
                "nInserted": n,
                "writeConcernErrors": [{"code": 64, "errmsg": "waiting for replication timed out"}],
            }
        ),
        lambda n: AutoReconnect("connection closed after the insert was sent"),
    ],
    ids=["write concern", "network"],
)
def test_an_insert_whose_outcome_is_unknown_is_not_taken_as_won(wq, sc, queue, monkeypatch, error):
    """The server stored the lease but could not confirm it (on a majority, or
    at all): the call raises and hands nothing out."""
    col, real = queue["col_input"], sc.col_input
    seed(col, 2)
    monkeypatch.setattr(sc, "col_input", Tracked(real, [], error))
    with pytest.raises((BulkWriteError, AutoReconnect)):
        wq.claim_input({"n": 0}, 1, 30)
    monkeypatch.setattr(sc, "col_input", real)
    [handle] = wq.claim_input({"n": 1}, 1, 30)
    monkeypatch.setattr(sc, "col_input", Tracked(real, [], error))
    with pytest.raises((BulkWriteError, AutoReconnect)):
        wq.finish([handle])
    assert "_lease_until" in handle and col.find_one({"_id": handle["_id"]})["status"] == "pending"


def test_rows_whose_ids_are_equal_in_python_are_distinct_rows(wq, queue):
    col = queue["col_input"]
    col.insert_many([{"_id": True, "status": "pending"}, {"_id": 1, "status": "pending"}])
    got = wq.claim_input(PENDING, 5, 30)
    assert sorted(repr(d["_id"]) for d in got) == ["1", "True"]
    one, true = sorted(got, key=lambda d: repr(d["_id"]))
    assert wq.extend_lease([true], 60) == [true] and true["_lease_gen"] == 2
    assert one["_lease_gen"] == 1
    assert wq.finish([one]) == [one]
    assert col.find_one({"_id": True})["status"] == "pending"
    assert wq.finish([true], "kept") == [true]
    assert {repr(d["_id"]): d["status"] for d in col.find({})} == {"True": "kept", "1": "done"}


def test_a_rows_newest_generation_is_one_look_up_and_finished_leases_can_be_dropped(
    wq, sc, queue, database, mongo_uri, monkeypatch
):
    client, commands = recording_client(mongo_uri)
    col = queue["col_input"]
    leases = database[col.name + "_leases"]
    seed(col, 2)
    monkeypatch.setattr(sc, "col_input", client[col.database.name][col.name])
    looks = []
    for n in (3, 30):  # history grows; each pass, make the mirror fall behind and claim
        for _ in range(n):
            [d] = wq.claim_input({"n": 0}, 1, 30, 10**6)
            assert wq.extend_lease([d], 30) == [d] and wq.release([d]) == [d]
        col.update_one({"n": 0}, {"$set": {"_lease_gen": d["_lease_gen"] - 1}})
        commands.clear()
        [d] = wq.claim_input({"n": 0}, 1, 30, 10**6)
        filters = [c["filter"] for c in commands if "find" in c and c["find"].endswith("_leases")]
        looks.append(len(filters))
        assert all(list(f) == ["_id"] for f in filters), filters
        assert wq.release([d]) == [d]
    assert looks[0] == looks[1] <= 2, looks
    [d] = wq.claim_input({"n": 0}, 1, 30, 10**6)

    # Finished rows keep generation 1 and an end record; stale handles stay lost after the
    # drop, and a finished row is not handed out again even with its mirror
    # and status undone.
    stale = dict(d)
    assert wq.finish([d]) == [d]
    assert wq.drop_finished_leases() > 0
    assert leases.count_documents({"row": d["_id"]}) == 2
    assert wq.extend_lease([stale], 30) == [] and wq.finish([stale]) == []
    col.update_one({"_id": d["_id"]}, {"$set": {"status": "pending", "_lease_gen": 0}, "$unset": {"_lease_done": ""}})
    assert wq.claim_input({"n": 0}, 1, 30, 10**6) == []
    assert col.find_one({"_id": d["_id"]})["status"] == "done"
    client.close()


def test_finished_leases_are_dropped_a_batch_at_a_time(wq, sc, queue, database, mongo_uri, monkeypatch):
    client, commands = recording_client(mongo_uri)
    col = queue["col_input"]
    leases = database[col.name + "_leases"]
    seed(col, 7)
    monkeypatch.setattr(sc, "col_input", client[col.database.name][col.name])
    items = wq.claim_input(PENDING, 7, 30)
    for _ in range(2):
        assert wq.extend_lease(items, 30) == items
    assert wq.finish(items[:6]) == items[:6]
    monkeypatch.setattr(wq, "_drop_batch", 2)
    commands.clear()
    # Generations 2 and 3 (renewals) and 4 (the finish) of each finished row go.
    assert wq.drop_finished_leases() == 6 * 3
    rows = [c["filter"]["row"]["$in"] for c in commands if "find" in c and "row" in c["filter"]]
    assert len(rows) >= 6 and all(len(r) <= 2 for r in rows), rows
    kept = collections.Counter(repr(d["row"]) for d in leases.find({}))
    assert kept == {**{repr(d["_id"]): 2 for d in items[:6]}, repr(items[6]["_id"]): 3}
    assert wq.drop_finished_leases() == 0
    client.close()
