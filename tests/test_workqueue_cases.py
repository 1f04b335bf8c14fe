"""The queue's promise in the uses that break it most easily: copies of
handles, lost replies, the default query, re-seeded rows, fork, an erased
mirror, reads on the primary, two databases; and the worker loop work()."""

from __future__ import annotations

import json
import os
import pickle
import signal
import subprocess
import sys
import threading
import time

import pymongo
import pytest
from pymongo.errors import AutoReconnect

from support import python_env
from test_workqueue import PENDING, Tracked, queue, seed, wq  # noqa: F401

COPIES = {"dict": dict, "pickle": lambda h: pickle.loads(pickle.dumps(h))}


class Lossy(Tracked):
    """A collection whose writes are applied and then answered with a lost
    connection: inserts (`inserts` of them) or status updates (`updates`)."""

    def __init__(self, target, inserts=0, updates=0, counter=None, passed=0):
        super().__init__(target, [])
        self.left = counter if counter is not None else {"inserts": inserts, "updates": updates, "passed": passed}

    def __getitem__(self, name):
        return Lossy(self.target[name], counter=self.left)

    @property
    def database(self):
        return Lossy(self.target.database, counter=self.left)

    def with_options(self, **kw):
        return Lossy(self.target.with_options(**kw), counter=self.left)

    def _maybe(self, kind, result):
        if kind == "updates" and self.left["passed"] > 0:  # this many are answered first
            self.left["passed"] -= 1
            return result
        if self.left[kind] > 0:
            self.left[kind] -= 1
            raise AutoReconnect(f"connection closed after the {kind[:-1]} was applied")
        return result

    def insert_many(self, docs, **kw):
        return self._maybe("inserts", self.target.insert_many(docs, **kw))

    def update_one(self, *args, **kw):
        return self._maybe("updates", self.target.update_one(*args, **kw))

    def update_many(self, *args, **kw):
        return self._maybe("updates", self.target.update_many(*args, **kw))


@pytest.mark.parametrize("copy", COPIES)
@pytest.mark.parametrize("drop", [False, True])
def test_a_copy_of_a_finished_handle_never_commits(wq, queue, copy, drop):
    col = queue["col_input"]
    seed(col, 2)
    h = wq.claim_input({"n": 0}, 1, 30)[0]
    twin = COPIES[copy](h)
    assert wq.finish([h], "done") == [h]
    if drop:
        assert wq.drop_finished_leases() > 0
    assert wq.finish([twin], "failed") == [] and wq.extend_lease([twin], 30) == []
    assert wq.release([twin]) == [] and wq.finish([twin], "failed") == []
    wq.drop_finished_leases()
    assert wq.finish([twin], "failed") == []
    assert col.find_one({"n": 0})["status"] == "done"
    assert [d["n"] for d in wq.claim_input(None, 5, 30)] == [1]


@pytest.mark.parametrize("lost", ["inserts", "updates"])
@pytest.mark.parametrize("drop", [False, True])
def test_a_finish_retried_after_a_lost_reply_returns_its_items(wq, sc, queue, monkeypatch, lost, drop):
    """The first call's writes were applied, its answer lost; the retry with
    the same handles is told the truth, drop or not, and completes the status."""
    col, real = queue["col_input"], sc.col_input
    seed(col, 3)
    items = wq.claim_input(PENDING, 3, 30)
    early = dict(items[0])
    # inserts: the finish generations are stored, the end records not yet;
    # updates: the first status write is applied, its answer lost.
    monkeypatch.setattr(sc, "col_input", Lossy(real, **{lost: 1}))
    with pytest.raises(AutoReconnect):
        wq.finish(items, "kept")
    monkeypatch.setattr(sc, "col_input", real)
    if drop:
        wq.drop_finished_leases()
    assert wq.finish(items, "kept") == items
    assert [d["status"] for d in col.find({})] == ["kept"] * 3
    assert wq.finish(items, "again") == [] and wq.finish([early], "again") == []
    assert wq.claim_input(None, 5, 30) == []
    p = wq.queue_progress(None)
    assert (p["finished"], p["remaining"]) == (3, 0)


def test_a_finish_whose_later_status_write_is_lost_leaves_every_item_retryable(wq, sc, queue, monkeypatch):
    col, real = queue["col_input"], sc.col_input
    seed(col, 3)
    items = wq.claim_input(PENDING, 3, 30)
    assert wq.extend_lease(items[:1], 30) == items[:1]  # its new mirror is not the others'
    monkeypatch.setattr(sc, "col_input", Lossy(real, updates=1, passed=1))
    with pytest.raises(AutoReconnect):
        wq.finish(items, "kept")
    monkeypatch.setattr(sc, "col_input", real)
    assert wq.finish(items, "kept") == items  # none was taken for told
    assert [d["status"] for d in col.find({})] == ["kept"] * 3


def test_a_renewal_retried_after_a_lost_reply_keeps_the_lease(wq, sc, queue, monkeypatch):
    col, real = queue["col_input"], sc.col_input
    seed(col, 1)
    [h] = wq.claim_input(PENDING, 1, 30)
    monkeypatch.setattr(sc, "col_input", Lossy(real, inserts=1))
    with pytest.raises(AutoReconnect):
        wq.extend_lease([h], 60)
    monkeypatch.setattr(sc, "col_input", real)
    assert wq.release([h]) == [h]  # the stored renewal is this claim's own
    assert len(wq.claim_input(PENDING, 1, 30)) == 1


def test_finished_rows_never_starve_the_default_query(wq, queue):
    col = queue["col_input"]
    seed(col, 6)
    items = wq.claim_input(None, 6, 30)
    assert wq.finish(items[:5]) == items[:5] and wq.release(items[5:]) == items[5:]
    p = wq.queue_progress(None)
    assert (p["free"], p["leased"], p["finished"], p["remaining"]) == (1, 0, 5, 1)
    [again] = wq.claim_input(None, 10, 30)
    assert again["_id"] == items[5]["_id"] and wq.claim_input(None, 10, 30) == []
    assert wq.finish([again]) == [again]
    assert wq.queue_progress(None)["remaining"] == 0


def test_re_seeded_rows_are_refused_until_their_leases_are_reset(wq, queue):
    col = queue["col_input"]
    seed(col, 4)
    items = wq.claim_input(PENDING, 3, 30)
    assert wq.finish(items, "old") == items
    ids = sorted(d["_id"] for d in items)
    col.delete_many({"_id": {"$in": ids}})
    col.insert_many([{"_id": i, "status": "pending", "fresh": True} for i in ids])
    with pytest.raises(wq.ReseededRowsError, match="reset_leases") as e:
        wq.claim_input(PENDING, 10, 30)
    assert sorted(e.value.ids) == ids
    assert {d["status"] for d in col.find({"fresh": True})} == {"pending"}
    assert wq.queue_progress(PENDING)["leased"] == 0  # nothing was kept back
    assert wq.reset_leases(e.value.ids) > 0
    got = wq.claim_input(PENDING, 10, 30)
    assert len(got) == 4 and {d["_lease_gen"] for d in got if d.get("fresh")} == {1}
    assert wq.finish(got) == got


def test_rows_whose_last_allowed_lease_ran_out_are_repaired_or_closed(wq, queue, database):
    """At max_claims: a row whose finisher died between its finish and its
    status write gets the status; one whose holder overran its lease is
    closed, stuck for good, and out of the search."""
    col = queue["col_input"]
    seed(col, 2)
    done, overrun = sorted(wq.claim_input(PENDING, 2, 0.0, 1), key=lambda d: d["n"])
    finish = {
        "row": done["_id"],
        "gen": 2,
        "state": "finished",
        "token": done["_lease_token"],
        "step": "s",
        "claims": 1,
        "at": 0.0,
        "until": 0.0,
        "owner": "dead",
        "status": "ok",
    }
    database[col.name + "_leases"].insert_many(
        [
            {**finish, "_id": {"row": done["_id"], "gen": 2}},
            {**finish, "_id": {"row": done["_id"], "gen": 0}, "gen": 0, "final": 2},
        ]
    )
    time.sleep(0.01)
    assert wq.claim_input(PENDING, 5, 30, 1) == []
    assert col.find_one({"n": 0})["status"] == "ok"
    assert wq.finish([overrun]) == [] and "_lease_until" not in col.find_one({"n": 1})
    p = wq.queue_progress(PENDING, 1)
    assert (p["free"], p["leased"], p["stuck"], p["remaining"]) == (0, 0, 1, 0)


def test_tokens_differ_across_fork(wq, queue, sc, mongo_uri):
    seed(queue["col_input"], 2)
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        # The child leaves the parent's sockets alone: pymongo before 4.3
        # does not reset its pools after fork. It always exits here.
        try:
            col = queue["col_input"]
            sc.col_input = pymongo.MongoClient(mongo_uri)[col.database.name][col.name]
            os.write(w, wq.claim_input({"n": 0}, 1, 30)[0]["_lease_token"].encode())
        finally:
            os._exit(0)
    os.close(w)
    child = os.read(r, 100).decode()
    os.waitpid(pid, 0)
    os.close(r)
    mine = wq.claim_input({"n": 1}, 1, 30)[0]["_lease_token"]
    assert len(mine) == len(child) == 32 and mine != child


@pytest.mark.parametrize("erase", [["_lease_until"], ["_lease_until", "_claims"]])
def test_a_live_lease_holds_when_the_mirror_forgets_it(wq, queue, erase):
    col = queue["col_input"]
    seed(col, 1)
    [h] = wq.claim_input(PENDING, 1, 300)
    col.update_one({}, {"$unset": {f: "" for f in erase}})
    assert wq.claim_input(PENDING, 1, 300) == []
    assert wq.extend_lease([h], 300) == [h] and wq.finish([h]) == [h]


def test_a_handle_is_bound_to_its_database(wq, sc, queue, client, monkeypatch):
    col = queue["col_input"]
    seed(col, 1)
    [h] = wq.claim_input(PENDING, 1, 30)
    assert h["_lease_queue"] == col.full_name
    other = client["nexra_other"][col.name]
    monkeypatch.setattr(sc, "col_input", sc.mongo_client["nexra_other"][col.name])
    try:
        with pytest.raises(ValueError, match="neither col_input"):
            wq.finish([h])
    finally:
        other.database.client.drop_database("nexra_other")


def test_progress_reads_go_to_the_primary(wq, sc, queue, monkeypatch):
    from pymongo import ReadPreference

    seed(queue["col_input"], 2)
    seen = []

    class Noting(Tracked):
        def count_documents(self, *a, **kw):
            seen.append(self.target.read_preference.mongos_mode)
            return self.target.count_documents(*a, **kw)

        def with_options(self, **kw):
            return Noting(self.target.with_options(**kw), self.reads)

    monkeypatch.setattr(
        sc, "col_input", Noting(sc.col_input.with_options(read_preference=ReadPreference.SECONDARY_PREFERRED), [])
    )
    assert wq.queue_progress(PENDING)["free"] == 2
    assert seen and set(seen) == {"primary"}


# ---------------------------------------------------------------------------
# work()
# ---------------------------------------------------------------------------


def test_work_does_every_item_once_and_stops_when_nothing_remains(wq, queue):
    col = queue["col_input"]
    seed(col, 12)
    seen = []
    with wq.work(PENDING, lease=30, batch=5) as items:
        for item in items:
            seen.append(item["n"])
            if item["n"] == 3:
                item.status = "special"
    assert sorted(seen) == list(range(12))
    assert items.counts == {"finished": 12, "lost": 0, "released": 0, "failed": 0}
    assert {d["n"]: d["status"] for d in col.find({})} == {n: "special" if n == 3 else "done" for n in range(12)}


def test_work_gives_back_an_item_whose_body_raises_and_what_it_did_not_start(wq, queue):
    col = queue["col_input"]
    seed(col, 6)
    with pytest.raises(KeyError):
        with wq.work(PENDING, lease=30, batch=4) as items:
            for item in items:
                with item:
                    if items.counts["finished"] == 2:
                        raise KeyError("parse failed")
    assert items.counts == {"finished": 2, "lost": 0, "released": 1, "failed": 1}
    p = wq.queue_progress(PENDING)
    assert (p["free"], p["leased"], p["finished"]) == (4, 0, 2)


def test_work_renews_its_batch_and_never_hands_out_a_lease_it_lost(wq, queue):
    """Renewals at half-lease keep a slow batch; when they stop (the renewer
    is held back here) and another worker takes the rows over, the loop
    learns it and hands none of them out."""
    col = queue["col_input"]
    seed(col, 3)
    lease, taken = 1.0, []
    with wq.work(PENDING, lease=lease, batch=3, idle=0.05) as items:
        for i, _ in enumerate(items):
            if i == 0:
                time.sleep(lease * 1.6)  # kept alive by the renewer
                continue
            with items._renewing:  # renewals held back
                time.sleep(lease * 1.3)
                taken = wq.claim_input(PENDING, 5, 60)
                assert len(taken) == 2 and wq.finish(taken) == taken
    assert items.counts == {"finished": 1, "lost": 2, "released": 0, "failed": 0}


SIGTERM_JOB = """
import json, sys
from Nexra_publish import workqueue as wq
items = wq.work({"status": "pending"}, lease=60, batch=5)
try:
    with items:
        for item in items:
            print(json.dumps(["item", item["n"]]), flush=True)
            if items.counts["finished"] == 2:
                import time; time.sleep(60)
finally:
    print(json.dumps(["counts", items.counts]), flush=True)
"""


def test_work_gives_back_its_batch_on_sigterm(wq, queue, job_dir, tmp_path):
    col = queue["col_input"]
    seed(col, 8)
    (tmp_path / "overlay.json").write_text(json.dumps({"input_table": col.name}))
    env = python_env(job_dir, {"NEXRA_CONFIG": str(tmp_path / "overlay.json")})
    proc = subprocess.Popen(
        [sys.executable, "-c", SIGTERM_JOB], cwd=job_dir, env=env, stdout=subprocess.PIPE, text=True
    )
    lines = []
    for line in proc.stdout:  # after the import's own line
        lines += [json.loads(line)] if line.startswith("[") else []
        if len(lines) == 3:
            proc.send_signal(signal.SIGTERM)
            break
    rest, _ = proc.communicate(timeout=60)
    lines += [json.loads(x) for x in rest.splitlines() if x.startswith("[")]
    assert proc.returncode == 128 + signal.SIGTERM
    assert lines[-1] == ["counts", {"finished": 2, "lost": 0, "released": 3, "failed": 0}]
    p = wq.queue_progress(PENDING)
    assert (p["free"], p["leased"], p["finished"]) == (6, 0, 2)


def test_a_shared_handle_is_committed_by_one_of_two_threads(wq, queue):
    seed(queue["col_input"], 1)
    [h] = wq.claim_input(PENDING, 1, 30)
    start, got = threading.Barrier(2), []

    def finish():
        start.wait()
        got.append(wq.finish([h]))

    threads = [threading.Thread(target=finish) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(map(len, got)) == [0, 1]
