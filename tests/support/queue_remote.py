"""The worker process of the stateful queue test. Its source is run in a
PythonSession, whose interpreter loads what Scrape_common's start-up imports
and then forks the worker: a child that runs the calls the test sends
through ``ask`` and imports Nexra_publish itself. Killing the worker is a
SIGKILL of that child; the next ``ask`` forks a new one in milliseconds.

Each call prints its answer as one JSON line. Handles stay in the worker, in
HANDLES by the test's number for them; they cross to the test and back only
pickled."""

import base64
import json
import os
import pickle
import signal
import sys

HANDLES = {}
WORKER = None  # the child: (pid, its commands, its answers)
QUEUE = None  # the collection it works on
DONE = "<<done>>"


def preload():
    """The libraries of Scrape_common's start-up, so that a fork starts fast.
    No database client is made here: the worker makes its own."""
    import threading

    import openpyxl  # noqa: F401
    import pandas  # noqa: F401
    import pymongo  # noqa: F401
    import requests  # noqa: F401
    import scrapy.http  # noqa: F401

    print(threading.active_count())


def _serve(commands, answers):
    sys.stdout = os.fdopen(answers, "w")
    for line in os.fdopen(commands):
        try:
            exec(json.loads(line), globals())
        except BaseException as e:
            print(f"RAISED {type(e).__name__}: {e}")
        print(DONE, flush=True)


def _exchange(code):
    pid, commands, answers = WORKER
    commands.write(json.dumps(code) + "\n")
    commands.flush()
    out = []
    for line in answers:
        if line.rstrip("\n") == DONE:
            return "".join(out)
        out.append(line)
    raise RuntimeError("the worker ended: " + "".join(out))


def ask(code):
    """Run `code` in the worker (forked now if there is none) and print what it printed."""
    global WORKER
    if WORKER is None:
        c_read, c_write = os.pipe()
        a_read, a_write = os.pipe()
        pid = os.fork()
        if pid == 0:
            try:
                os.close(c_write)
                os.close(a_read)
                _serve(c_read, a_write)
            finally:
                os._exit(0)
        os.close(c_read)
        os.close(a_write)
        WORKER = (pid, os.fdopen(c_write, "w"), os.fdopen(a_read))
        if QUEUE is not None:
            _exchange(f"bind({QUEUE!r})")
    print(_exchange(code), end="")


def rebind(name):
    global QUEUE
    QUEUE = name
    if WORKER is None:
        return _say(name)
    ask(f"bind({name!r})")


def kill_worker():
    """SIGKILL the worker; its handles are gone with it."""
    global WORKER
    if WORKER is not None:
        pid, commands, answers = WORKER
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        commands.close()
        answers.close()
        WORKER = None
    _say("killed")


def handle_state(h):
    """What the test keeps of a handle: its row, claim, generation and lease end."""
    return {"row": h["_id"], "token": h["_lease_token"], "gen": h["_lease_gen"], "until": h.get("_lease_until")}


def _say(answer):
    print(json.dumps(answer))


def bind(name):
    """A new queue: col_input is the collection `name`, no handles are held."""
    from Nexra_publish import Scrape_common as sc

    sc.col_input = sc.db[name]
    HANDLES.clear()
    _say(name)


def claim(first, query, limit, lease):
    from Nexra_publish import workqueue as wq

    try:
        docs = wq.claim_input(query, limit, lease)
    except Exception as e:
        return _say({"error": type(e).__name__, "text": str(e)})
    for i, d in enumerate(docs):
        HANDLES[first + i] = d
    _say({"handles": [handle_state(d) for d in docs]})


def step(key, kind, arg):
    from Nexra_publish import workqueue as wq

    h = HANDLES[key]
    if kind == "extend":
        got = wq.extend_lease([h], arg)
    elif kind == "release":
        got = wq.release([h])
    else:
        got = wq.finish([h], arg)
    _say({"kept": len(got) == 1 and got[0] is h, **handle_state(h)})


def drop():
    from Nexra_publish import workqueue as wq

    _say(wq.drop_finished_leases())


def copy(src, dst):
    HANDLES[dst] = dict(HANDLES[src])
    _say(handle_state(HANDLES[dst]))


def put(key, blob):
    HANDLES[key] = pickle.loads(base64.b64decode(blob))
    _say(handle_state(HANDLES[key]))


def take(key):
    _say(base64.b64encode(pickle.dumps(HANDLES[key])).decode())
