"""The work queue driven step by step by a Hypothesis state machine, on the
test database: logical workers in two threads of this process and in a
second process claim (the default query, a status query, one row), renew,
give back and finish; handles are copied and pickled between them; replies
are lost after the write and the call is retried with the same handle;
workers are killed; finished leases are dropped at any point; finished rows
are re-seeded and the rows' mirror fields erased by the job's own writes.

After every step the invariants are checked against the lease collection,
the rows and what each call told its caller (the workers' own records):
one told finisher per row incarnation, no two claims holding unexpired
leases, the row's status its told finisher's, every answer true, finished
rows never free, re-seeded rows handed out or refused, never overwritten.

`make test` runs a bounded, derandomized share; `make test-queue-long` a
longer one (NEXRA_QUEUE_EXAMPLES, NEXRA_QUEUE_STEPS)."""

from __future__ import annotations

import base64
import collections
import inspect
import itertools
import json
import os
import pickle
import time
import uuid
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from datetime import timezone
from pathlib import Path
from typing import Optional

import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import (
    Bundle,
    RuleBasedStateMachine,
    initialize,
    invariant,
    multiple,
    precondition,
    rule,
    run_state_machine_as_test,
)
from pymongo.errors import AutoReconnect

from support import PythonSession
from support.queue_remote import handle_state
from support.wrapped import LostReply, Wrapped

REMOTE = Path(__file__).parent / "support" / "queue_remote.py"
ROWS = ("P000", "P001")
PENDING = {"status": "pending"}
THREADS, PROC = ("t0", "t1"), "proc"
WORKERS = THREADS + (PROC,)
# A lease that has run out by the next call, and one that outlives the run:
# expiry is explicit, never a race with the machine's own pace.
SHORT, LONG = 0.0, 600.0
MARGIN = 1.0  # seconds around the server clock's reads
EXAMPLES = int(os.environ.get("NEXRA_QUEUE_EXAMPLES", "100"))
STEPS = int(os.environ.get("NEXRA_QUEUE_STEPS", "25"))
# Rules pick the handles they can act on from the bundle (Bundle.filter over
# the handles themselves); older releases filter references instead.
BUNDLES_FILTER_VALUES = "transformations" in inspect.signature(Bundle.__init__).parameters


def server_now(db) -> float:
    return db.command("hello")["localTime"].replace(tzinfo=timezone.utc).timestamp()


class Rig:
    """What the examples share: the module, this process's worker threads
    and the worker process (started when first used, again after a kill)."""

    def __init__(self, sc, wq, database, job_dir):
        self.sc, self.wq, self.database, self.job_dir = sc, wq, database, job_dir
        self.pools = {w: ThreadPoolExecutor(1, thread_name_prefix=w) for w in THREADS}
        self.session: Optional[PythonSession] = None
        self.name = ""

    def bind(self, name):
        self.name = name
        self.sc.col_input = self.sc.db[name]
        if self.session:
            self.ask(f"rebind({name!r})")

    def run(self, worker, fn):
        return self.pools[worker].submit(fn).result()

    def ask(self, code):
        """Run `code` in the session's interpreter: its last line, as JSON."""
        out = self.session.run(code).strip()
        if not out or out.splitlines()[-1].startswith("RAISED "):
            raise RuntimeError(f"the worker process failed on {code}: {out}")
        return json.loads(out.splitlines()[-1])

    def remote(self, code):
        """Run `code` in the worker process (forked from the session's interpreter)."""
        if self.session is None:
            self.session = PythonSession(self.job_dir, {"NEXRA_CONFIG": str(self.job_dir / "absent.json")})
            self.session.run(REMOTE.read_text())
            assert self.ask("preload()") == 1, "the session's interpreter must have no threads to fork"
            self.ask(f"rebind({self.name!r})")
        return self.ask(f"ask({code!r})")

    def kill(self, worker):
        if worker != PROC:
            self.pools[worker].shutdown()
            self.pools[worker] = ThreadPoolExecutor(1, thread_name_prefix=worker)
        elif self.session:
            self.ask("kill_worker()")

    def close(self):
        for p in self.pools.values():
            p.shutdown()
        if self.session:
            self.session.close()


@dataclass(eq=False)
class Pending:
    """A step call that raised after a write: its arguments, the handle's
    generation then, and the generation after it if that call stored it."""

    kind: str
    arg: object
    gen: int
    stored: Optional[dict]


@dataclass(eq=False)
class Holder:
    """One handle object, in one worker, and what the calls on it were told."""

    hid: int
    worker: str
    row: str
    token: str
    gen: int
    until: Optional[float]
    inc: "Incarnation"
    obj: Optional[dict] = None  # the handle, for a thread's; in the process's HANDLES else
    state: str = "live"  # live, finished, released, lost, reset, void (a copy of a spent one)
    abandoned: bool = False  # its worker was killed, or its row's leases reset
    pending: Optional[Pending] = None

    def __repr__(self):
        return f"h{self.hid}[{self.worker} {self.row}#{self.inc.n} gen {self.gen} {self.token[:6]} {self.state}]"


@dataclass(eq=False)
class Incarnation:
    """A row from its seeding (or re-seeding, or reset) on."""

    row: str
    n: int
    seeded: str
    holders: list = field(default_factory=list)
    told: list = field(default_factory=list)  # (holder, status) of each finish that returned the item
    unknown: set = field(default_factory=set)  # statuses of finishes that raised, not told since
    lost: set = field(default_factory=set)  # statuses of finishes told lost
    claim_errors: int = 0  # claims that raised while it matched their query
    current: bool = True  # not yet re-seeded or reset

    def __repr__(self):
        return f"{self.row}#{self.n}"


def values(result):
    return list(getattr(result, "values", result))


def usable(h):
    """A handle whose worker lives and that has no call to retry."""
    return not h.abandoned and h.pending is None


def faultable(h):
    """A live handle of this process's threads, where replies can be lost."""
    return usable(h) and h.state == "live" and h.worker != PROC


def retriable(h):
    return h.pending is not None and not h.abandoned


def alive(h):
    return not h.abandoned


def finisher(h):
    """The told finisher of its row as it is now."""
    return h.state == "finished" and h.inc.current


def some(test):
    return precondition(lambda self: any(test(h) for h in self.holders))


class QueueMachine(RuleBasedStateMachine):
    handles = Bundle("handles")
    WORKER, HOW = st.sampled_from(WORKERS), st.sampled_from(("default", "pending", "row"))
    ROW, LEASE = st.sampled_from(ROWS), st.sampled_from((SHORT, LONG))

    def __init__(self, rig: Rig):
        super().__init__()
        self.rig, self.wq = rig, rig.wq
        name = "t_" + uuid.uuid4().hex[:12]
        self.col = rig.database[name]
        self.leases = rig.database[name + "_leases"]
        self.col.insert_many([{"_id": r, "n": i, "status": "pending", "body": f"item {i}"} for i, r in enumerate(ROWS)])
        rig.bind(name)
        self.incs = {r: Incarnation(r, 0, "pending") for r in ROWS}
        self.history = list(self.incs.values())
        self.holders: list = []
        self.hids = itertools.count()
        self.statuses = itertools.count()
        self.refused: set = set()
        # answers found false when they were given, by kind
        self.untrue: dict = collections.defaultdict(list)
        self.unfair: list = []  # claims that handed out or left behind what they must not
        self._view = None

    def teardown(self):
        self.col.drop()
        self.leases.drop()

    # -- reading the queue -------------------------------------------------

    def view(self):
        """The rows, each row's lease documents by generation, and the server clock."""
        if self._view is None:
            leases = collections.defaultdict(dict)
            for d in self.leases.find({}):
                leases[d["row"]][d["gen"]] = d
            self._view = ({d["_id"]: d for d in self.col.find({})}, leases, server_now(self.col.database))
        return self._view

    def lease_docs(self, row, gen):
        """Generation `gen` of `row` and its end record, as stored now."""
        got = {d["gen"]: d for d in self.leases.find({"row": row, "gen": {"$in": [gen, 0]}})}
        return got.get(gen), got.get(0)

    def moved_on(self, row, gen):
        return self.leases.count_documents({"row": row, "$or": [{"gen": {"$gt": gen}}, {"gen": 0}]}) > 0

    def fresh(self, r):
        inc = self.incs[r]
        return not inc.holders and not inc.claim_errors and r not in self.refused

    def matches(self, r, how, row):
        inc = self.incs[r]
        return (
            how == "default"
            or (how == "row" and r == row)
            or (how == "pending" and not inc.told and not inc.unknown and inc.seeded == "pending")
        )

    def new_holder(self, worker, state, inc, obj=None, hid=None):
        h = Holder(
            next(self.hids) if hid is None else hid,
            worker,
            state["row"],
            state["token"],
            state["gen"],
            state["until"],
            inc,
            obj,
        )
        self.holders.append(h)
        inc.holders.append(h)
        return h

    # -- calls on a handle ---------------------------------------------------

    def call(self, h, kind, arg, fault=None):
        """The step on h's own object, in its worker: True when it returned the item."""
        if h.worker == PROC:
            out = self.rig.remote(f"step({h.hid}, {kind!r}, {arg!r})")
        else:
            sc, wq, real = self.rig.sc, self.wq, self.rig.sc.col_input

            def run():
                if fault:
                    sc.col_input = Wrapped(real, fault)
                try:
                    got = (
                        wq.extend_lease([h.obj], arg)
                        if kind == "extend"
                        else wq.release([h.obj])
                        if kind == "release"
                        else wq.finish([h.obj], arg)
                    )
                finally:
                    sc.col_input = real
                return {"kept": len(got) == 1 and got[0] is h.obj, **handle_state(h.obj)}

            out = self.rig.run(h.worker, run)
        h.gen, h.until = out["gen"], out["until"]
        if kind == "extend" and arg == SHORT:
            time.sleep(0.003)  # past the lease's end on the server's millisecond clock
        return out["kept"]

    def step(self, h, kind, arg, fault=None):
        self._view = None
        gen = h.pending.gen if h.pending else h.gen
        nxt, end = self.lease_docs(h.row, gen + 1)
        try:
            kept = self.call(h, kind, arg, fault)
        except AutoReconnect:
            if not (fault and fault.fired):
                raise
            after, _ = self.lease_docs(h.row, gen + 1)
            mine = nxt is None and after is not None and after.get("token") == h.token
            h.pending = Pending(kind, arg, gen, after if mine else None)
            if kind == "finish":
                h.inc.unknown.add(arg)
            return
        self.judge(h, kind, arg, kept, gen, nxt, end)

    def judge(self, h, kind, arg, kept, gen, nxt, end):
        """Is what the call told h true of the lease collection as it stood?"""
        pending, h.pending = h.pending, None
        if h.state != "live":
            if kept:
                self.untrue["spent"].append(f"{h}: {kind} returned the item of a handle already {h.state}")
            return
        if kind == "finish":
            h.inc.unknown.discard(arg)
        if kept:
            if nxt is not None and not (pending and pending.stored):
                self.untrue["taken"].append(
                    f"{h}: {kind} returned the item, but generation {gen + 1} was "
                    f"already there ({nxt['state']}, token {nxt.get('token', '')[:6]})"
                )
            if kind == "release":
                h.state = "released"
            elif kind == "finish":
                h.state = "finished"
                h.inc.told.append((h, arg))
            return
        h.state = "lost"
        if kind == "finish":
            h.inc.lost.add(arg)
        if pending and pending.stored and (kind == "finish" or not self.moved_on(h.row, gen + 1)):
            self.untrue["retry"].append(
                f"{h}: the retry of {kind} returned nothing, though its first attempt "
                f"stored generation {gen + 1} ({pending.stored['state']})"
                + (": committed by nobody who knows it" if kind == "finish" else "")
            )
        elif nxt is None and end is None:
            self.untrue["lost"].append(f"{h}: {kind} returned nothing, though nothing followed generation {gen}")

    # -- rules -------------------------------------------------------------------

    @initialize(target=handles, worker=WORKER, how=HOW, row=ROW, lease=LEASE)
    def first_claim(self, worker, how, row, lease):
        return self.claim(worker, how, row, lease)

    @rule(target=handles, worker=WORKER, how=HOW, row=ROW, lease=LEASE)
    def claim(self, worker, how, row, lease):
        self._view = None
        query = {"default": None, "pending": PENDING, "row": {"_id": row}}[how]
        limit = 1 if how == "row" else 10  # 10: every row is a candidate, and each is tried
        fresh = [r for r in ROWS if self.fresh(r) and self.matches(r, how, row)]
        error, first = None, next(self.hids)
        self.hids = itertools.count(first + limit)
        if worker == PROC:
            out = self.rig.remote(f"claim({first}, {query!r}, {limit}, {lease!r})")
            if "error" in out:
                if out["error"] != "ReseededRowsError":
                    raise RuntimeError(f"claim in the worker process: {out['error']}: {out['text']}")
                error, got = out["text"], []
            else:
                got = [(s, None, first + i) for i, s in enumerate(out["handles"])]
        else:

            def run():
                try:
                    return self.wq.claim_input(query, limit, lease)
                except Exception as e:
                    if type(e).__name__ != "ReseededRowsError":
                        raise
                    return e

            docs = self.rig.run(worker, run)
            if isinstance(docs, Exception):
                error, got = str(docs), []
            else:
                got = [(handle_state(d), d, first + i) for i, d in enumerate(docs)]
        if lease == SHORT:
            time.sleep(0.003)
        if error is not None:
            self.refused_rows(error, how, row)
            return multiple()
        new = []
        for state, obj, hid in sorted(got, key=lambda g: g[0]["row"]):
            inc = self.incs[state["row"]]
            if inc.told:
                self.unfair.append(f"a {how} claim handed out {state['row']}, which {inc.told[0][0]} finished")
            new.append(self.new_holder(worker, state, inc, obj, hid))
        handed = {h.row for h in new}
        for r in fresh:
            if r not in handed:
                self.unfair.append(f"a {how} claim left the free row {r}#{self.incs[r].n} behind and raised nothing")
        return multiple(*new)

    def refused_rows(self, text, how, row):
        """A claim raised ReseededRowsError: it must name the remedy and only
        rows that look re-seeded (no mirror, a history that ended)."""
        rows, leases, _ = self.view()
        named = [r for r in ROWS if r in text]
        if "reset_leases" not in text or not named:
            self.unfair.append(f"a re-seeded row was refused without naming the rows and the remedy: {text!r}")
        for r in named:
            ended = 0 in leases[r] or any(d.get("state") == "finished" for d in leases[r].values())
            if "_lease_gen" in rows[r] or not ended:
                self.unfair.append(f"{r} was refused as re-seeded, but its mirror or its leases say otherwise")
        self.refused |= set(named)
        for r in ROWS:
            if self.matches(r, how, row):
                self.incs[r].claim_errors += 1

    @some(usable)
    @rule(h=handles.filter(usable), lease=LEASE)
    def extend(self, h, lease):
        self.step(h, "extend", lease)

    @some(usable)
    @rule(h=handles.filter(usable))
    def release(self, h):
        self.step(h, "release", None)

    @some(usable)
    @rule(h=handles.filter(usable))
    def finish(self, h):
        self.step(h, "finish", f"done-{next(self.statuses)}")

    @some(faultable)
    @rule(h=handles.filter(faultable), kind=st.sampled_from(("extend", "release", "finish")), write=st.integers(1, 3))
    def reply_lost(self, h, kind, write):
        """The `write`-th write of the call is applied and its reply lost."""
        arg = {"extend": LONG, "release": None, "finish": f"done-{next(self.statuses)}"}[kind]
        self.step(h, kind, arg, LostReply(write))

    @some(retriable)
    @rule(h=handles.filter(retriable))
    def retry(self, h):
        """The call that raised, again with the same handle object."""
        self.step(h, h.pending.kind, h.pending.arg)

    @some(alive)
    @rule(target=handles, h=handles.filter(alive), to=WORKER)
    def copy(self, h, to):
        """dict(h) in the same process; pickled to the worker process or back."""
        self._view = None
        hid, obj = next(self.hids), None
        if h.worker == PROC and to == PROC:
            state = self.rig.remote(f"copy({h.hid}, {hid})")
        elif h.worker == PROC:
            obj = pickle.loads(base64.b64decode(self.rig.remote(f"take({h.hid})")))
            state = handle_state(obj)
        elif to == PROC:
            state = self.rig.remote(f"put({hid}, {base64.b64encode(pickle.dumps(h.obj)).decode()!r})")
        else:
            obj = dict(h.obj)
            state = handle_state(obj)
        c = self.new_holder(to, state, h.inc, obj, hid)
        c.state = "live" if state["until"] is not None else h.state if h.state != "live" else "void"
        return c

    @rule(worker=WORKER)
    def drop(self, worker):
        self._view = None
        if worker == PROC:
            self.rig.remote("drop()")
        else:
            self.rig.run(worker, self.wq.drop_finished_leases)

    @rule(row=ROW, what=st.sampled_from(("until", "all")))
    def erase_mirror(self, row, what):
        """The job's own write: `_lease_until` unset, or the row replaced without its `_lease_*` fields."""
        self._view = None
        if what == "until":
            self.col.update_one({"_id": row}, {"$unset": {"_lease_until": ""}})
        else:
            doc = self.col.find_one({"_id": row})
            self.col.replace_one(
                {"_id": row}, {k: v for k, v in doc.items() if not k.startswith("_lease") and k != "_claims"}
            )

    @some(finisher)
    @rule(h=handles.filter(finisher))
    def reseed(self, h):
        """The row h finished, deleted and inserted again, new, with the same _id."""
        self._view = None
        n = ROWS.index(h.row)
        self.col.delete_one({"_id": h.row})
        self.col.insert_one({"_id": h.row, "n": n, "status": "pending", "body": f"item {n} again"})
        self.start_incarnation(h.row, "pending")

    def start_incarnation(self, row, status):
        self.incs[row].current = False
        inc = Incarnation(row, self.incs[row].n + 1, status)
        self.incs[row] = inc
        self.history.append(inc)

    @some(alive)
    @rule(h=handles.filter(alive))
    def kill(self, h):
        """The worker of h dies; its handles are abandoned (the process: SIGKILL,
        started again when next used)."""
        self._view = None
        self.rig.kill(h.worker)
        for mine in self.holders:
            if mine.worker == h.worker:
                mine.abandoned = True

    @precondition(lambda self: self.refused)
    @rule()
    def reset(self):
        """The remedy a refused claim names, with the workers of those rows stopped."""
        self._view = None
        ids = sorted(self.refused)
        self.refused = set()
        reset = getattr(self.wq, "reset_leases", None)
        if reset is None:
            self.unfair.append("a claim named reset_leases as the remedy, but the module has none")
            return
        reset(ids)
        rows, _, _ = self.view()
        for r in ids:
            for h in self.holders:
                if h.row == r:
                    h.abandoned, h.state = True, "reset"
            self.start_incarnation(r, rows[r].get("status"))

    # -- invariants ------------------------------------------------------------------

    @invariant()
    def promises_kept(self):
        """Every check below, after every step."""
        self.one_finisher_per_incarnation()
        self.answers_are_true()
        self.claims_hand_out_what_is_free()
        self.no_two_claims_with_unexpired_leases()
        self.status_is_the_told_finishers()
        self.nothing_remains_once_every_row_finished()

    def one_finisher_per_incarnation(self):
        for inc in self.history:
            assert len(inc.told) <= 1, (
                f"{inc.row}#{inc.n} was finished for {len(inc.told)} callers: {[h for h, _ in inc.told]}"
            )

    def no_two_claims_with_unexpired_leases(self):
        """A claim's lease is what its newest handle says (a copy made before a
        renewal keeps the older end); claims given back or finished hold nothing."""
        _, _, now = self.view()
        for r in ROWS:
            mine = [h for h in self.holders if h.row == r]
            done = {
                h.token
                for h in mine
                if h.state in ("finished", "released") or (h.pending and h.pending.kind in ("finish", "release"))
            }
            newest = {}
            for h in mine:
                if h.state == "live" and h.token not in done and h.until is not None:
                    if h.token not in newest or h.gen > newest[h.token].gen:
                        newest[h.token] = h
            live = [h for h in newest.values() if h.until > now + MARGIN]
            assert len(live) <= 1, (
                f"{r}: claims with unexpired leases at server time {now:.3f}: "
                f"{[(h, round(h.until - now, 1)) for h in live]}"
            )

    def status_is_the_told_finishers(self):
        rows, _, _ = self.view()
        for r in ROWS:
            inc, status = self.incs[r], rows[r].get("status")
            if inc.told:
                h, told = inc.told[0]
                assert status == told, f"{r}#{inc.n}: status {status!r}, but {h} was told finished with {told!r}"
            else:
                assert status not in inc.lost and status in inc.unknown | {inc.seeded}, (
                    f"{r}#{inc.n}: status {status!r}, seeded {inc.seeded!r}; no caller was told finished"
                    + (", and the finish of that status was told lost" if status in inc.lost else "")
                )

    def answers_are_true(self):
        # one assertion for each kind of false answer, so that each is its own failure
        assert not self.untrue["spent"], self.untrue["spent"][0]
        assert not self.untrue["taken"], self.untrue["taken"][0]
        assert not self.untrue["retry"], self.untrue["retry"][0]
        assert not self.untrue["lost"], self.untrue["lost"][0]
        _, leases, _ = self.view()
        for r in ROWS:
            inc, end = self.incs[r], leases[r].get(0)
            if inc.told:
                h, told = inc.told[0]
                assert end is not None and (end.get("token"), end.get("status")) == (h.token, told), (
                    f"{h} was told finished with {told!r}, but the end record is {end}"
                )
                continue
            done = end or next((d for d in leases[r].values() if d.get("state") == "finished"), None)
            mine = [h for h in inc.holders if done and h.token == done.get("token")]
            assert not mine or any(h.pending for h in mine), (
                f"{r}#{inc.n} was finished ({done.get('status')!r}) by the claim of {mine}, "
                "committed by nobody who knows it"
            )

    def claims_hand_out_what_is_free(self):
        assert not self.unfair, self.unfair[0]

    def nothing_remains_once_every_row_finished(self):
        rows, _, _ = self.view()
        # A finished row whose mirror a job erased looks re-seeded until its leases are reset.
        if not all(self.incs[r].told for r in ROWS) or any("_lease_gen" not in rows[r] for r in ROWS):
            return
        p = self.wq.queue_progress(None)
        assert p["remaining"] == 0 and p.get("finished") == len(ROWS), (
            f"every row is finished, but queue_progress(None) says {p}"
        )


@pytest.fixture(scope="module")
def rig(sc, client, job_dir):
    from Nexra_publish import workqueue

    saved = sc.col_input
    r = Rig(sc, workqueue, client[sc.data_base], job_dir)
    yield r
    r.close()
    sc.col_input = saved


@pytest.mark.skipif(
    not BUNDLES_FILTER_VALUES,
    reason="this Hypothesis release filters a bundle's references, "
    "not its handles (the fixed step sequences below still run)",
)
def test_the_queue_keeps_its_promises_whatever_the_steps(rig):
    run_state_machine_as_test(
        lambda: QueueMachine(rig),
        settings=settings(
            max_examples=EXAMPLES,
            stateful_step_count=STEPS,
            derandomize=True,
            database=None,
            deadline=None,
            suppress_health_check=list(HealthCheck),
            print_blob=False,
        ),
    )


class Steps:
    """A machine driven by hand: each rule called, then every invariant checked."""

    def __init__(self, machine):
        self.m = machine

    def __getattr__(self, name):
        def call(*args):
            out = getattr(self.m, name)(*args)
            self.m.promises_kept()
            return values(out) if out is not None and not isinstance(out, Holder) else out

        return call


def copy_finishes_after_a_drop(s):
    [h] = s.claim("t0", "row", "P000", LONG)
    c = s.copy(h, "t1")
    s.finish(h)
    s.drop("t0")
    s.finish(c)


def retry_after_a_lost_finish_reply(s, write):
    [h] = s.claim("t0", "row", "P001", LONG)
    s.reply_lost(h, "finish", write)
    s.retry(h)


def finished_rows_under_the_default_query(s):
    for h in s.claim("t1", "default", "P000", LONG):
        s.finish(h)
    s.claim("t0", "default", "P000", LONG)


def reseeded_row(s):
    [h] = s.claim("proc", "row", "P001", LONG)
    s.finish(h)
    s.reseed(h)
    s.claim("t0", "pending", "P001", LONG)


def live_lease_the_mirror_forgot(s):
    s.claim("t0", "row", "P000", LONG)
    s.erase_mirror("P000", "until")
    s.claim("t1", "row", "P000", LONG)


@pytest.mark.parametrize(
    "steps",
    [
        copy_finishes_after_a_drop,
        lambda s: retry_after_a_lost_finish_reply(s, 1),  # the finish generation's insert
        lambda s: retry_after_a_lost_finish_reply(s, 3),  # the row's status write
        finished_rows_under_the_default_query,
        reseeded_row,
        live_lease_the_mirror_forgot,
    ],
    ids=[
        "copy finishes after a drop",
        "lost reply of the finish insert",
        "lost reply of the status write",
        "finished rows under the default query",
        "re-seeded row",
        "live lease the mirror forgot",
    ],
)
def test_step_sequences_that_once_broke_the_promise(rig, steps):
    machine = QueueMachine(rig)
    try:
        machine.promises_kept()
        steps(Steps(machine))
    finally:
        machine.teardown()
