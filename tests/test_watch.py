"""`python -m Nexra_publish watch` on queues that workers drain, its refusals,
and the finishing rate and time left of queue_progress that it shows."""

from __future__ import annotations

import re
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from types import SimpleNamespace

import pytest

from support import python_env, write_job

PENDING = {"status": "pending"}
LINE = re.compile(
    r"finished (\d+) of (\d+), free (\d+), leased (\d+), stuck (\d+), "
    r"(rate not known yet|([\d.]+) rows/s)"
)


@pytest.fixture(params=[False, True], ids=["input", "pl"])
def queue(request, sc, mongo_uri, database, collection_name, tmp_path, monkeypatch):
    """A job directory whose queue (pl or not) is a fresh collection, bound in this process too."""
    from Nexra_publish import workqueue as wq

    pl = request.param
    names = {"input_table": collection_name + "_in", "pl_input_table": collection_name + "_pl"}
    write_job(
        tmp_path,
        {"connection_string": mongo_uri, "data_base": sc.data_base, **names, "pagesave_path": str(tmp_path / "pages")},
    )
    col = database[names["pl_input_table" if pl else "input_table"]]
    monkeypatch.setattr(sc, "col_input_pdp" if pl else "col_input", sc.db[col.name])
    yield SimpleNamespace(
        dir=tmp_path,
        col=col,
        args=["--pl"] if pl else [],
        progress=wq.pl_queue_progress if pl else wq.queue_progress,
        claim=wq.claim_pl_input if pl else wq.claim_input,
        finish=sc.update_pl_input if pl else sc.update_input,
    )
    for name in names.values():
        database[name].drop()
        database[name + "_leases"].drop()


def watch(cwd, *args):
    return subprocess.Popen(
        [sys.executable, "-m", "Nexra_publish", "watch", *args],
        cwd=cwd,
        env=python_env(cwd),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        encoding="utf-8",
    )


def test_watch_follows_workers_until_nothing_remains(queue):
    queue.col.insert_many([{"n": i, "status": "pending"} for i in range(40)])
    proc = watch(queue.dir, "--interval", "0.1", *queue.args)
    first = next(line for line in proc.stdout if LINE.search(line))  # read before any claim
    assert LINE.search(first).group(1, 2, 3, 4, 6) == ("0", "40", "40", "0", "rate not known yet")

    def worker():
        while docs := queue.claim(PENDING, 2, 60.0):
            for d in docs:
                time.sleep(0.02)
                queue.finish("_id", d["_id"], "done")

    with ThreadPoolExecutor(2) as pool:
        list(pool.map(lambda _: worker(), range(2)))
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, err
    last = [m for m in map(LINE.search, out.splitlines()) if m][-1]
    assert last.group(1, 2, 3, 4, 5) == ("40", "40", "0", "0", "0") and float(last.group(7)) > 0
    assert out.splitlines()[-1] == "nothing remains: 40 finished, 0 stuck"


@pytest.mark.parametrize(
    "args, code, message",
    [
        (["--query", "{bad"], 2, "--query: not valid Extended JSON"),
        (["--query", '{"_id": {"$oid": "zz"}}'], 2, "--query: not valid Extended JSON"),
        (["--query", "[1]"], 2, "--query: must be a JSON object"),
        (["--interval", "nan"], 2, "--interval: must be a number of seconds above 0"),
        (["--max-claims", "0"], 2, "--max-claims: must be a whole number, at least 1"),
        (["--query", '{"$bogus": 1}'], 1, "watch: cannot read the queue"),
        (None, 1, "watch: no job settings in"),  # run outside the job's directory
    ],
)
@pytest.mark.parametrize("queue", [False], ids=["input"], indirect=True)
def test_bad_arguments_end_with_a_clear_error(queue, args, code, message):
    queue.col.insert_one(PENDING.copy())  # a query is judged on a row
    proc = watch(queue.dir if args else queue.dir.parent, *(args or []), *queue.args)
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == code
    assert message in err and "Traceback" not in err


def reading(progress):
    """queue_progress(PENDING) with this machine's clock read before and after."""
    before = time.time()
    return before, progress(PENDING), time.time()


@pytest.mark.parametrize("finished, added", [(5, 0), (20, 0), (0, 0), (0, 3)])
def test_rate_and_time_left_follow_the_counts_and_the_clock(queue, finished, added):
    ids = queue.col.insert_many([{"status": "pending"} for _ in range(20)]).inserted_ids
    a0, p0, b0 = reading(queue.progress)
    assert p0["finished_per_second"] is None and p0["eta_seconds"] is None
    time.sleep(0.05)
    queue.col.update_many({"_id": {"$in": ids[:finished]}}, {"$set": {"status": "done"}})
    if added:
        queue.col.insert_many([{"status": "pending"} for _ in range(added)])
    reading(queue.progress)
    a2, p2, b2 = reading(queue.progress)  # the rate spans every reading of the last minute

    rate, eta, fell = p2["finished_per_second"], p2["eta_seconds"], finished - added
    assert p2["remaining"] == 20 - fell
    if fell <= 0:
        assert (rate, eta) == (0.0, None)
        return
    # Server times are whole milliseconds of this machine's clock.
    assert fell / (b2 - a0 + 0.001) <= rate <= fell / (a2 - b0 - 0.001)
    assert eta == pytest.approx(p2["remaining"] / rate)


@pytest.mark.parametrize(
    "name, names, found",
    [
        ("q", ["q", "q_leases", "q-0of2_leases", "qq-0of2"], {1: ["q"]}),
        ("q", ["q-0of3", "q-2of3", "q-3of3", "q-0of1", "q-01of3"], {3: ["q-0of3", "q-2of3"]}),
        ("q", ["q", "q-1of4"], {1: ["q"], 4: ["q-1of4"]}),
        ("q.x", ["q.x-0of2", "qax-0of2"], {2: ["q.x-0of2"]}),
    ],
    ids=["one", "parts", "both", "escaped"],
)
def test_the_layouts_of_a_queue_in_parts(name, names, found):
    from Nexra_publish._queue_split import layouts

    assert layouts(names, name) == found
