"""Input queues: cursors over the two input collections and status updates."""

from __future__ import annotations

import socket

import pymongo
import pytest
from bson import ObjectId
from pymongo.cursor import Cursor

from support import rss_growth

READERS = [("get_input", "col_input"), ("pl_input", "col_input_pdp")]
UPDATERS = [
    ("update_input", "col_input", False),
    ("update_input_many", "col_input", True),
    ("update_pl_input", "col_input_pdp", False),
    ("update_pl_input_many", "col_input_pdp", True),
]
OTHER = {"col_input": "col_input_pdp", "col_input_pdp": "col_input"}


@pytest.fixture
def queues(sc, database, collection_name, monkeypatch):
    """Both input globals rebound to fresh collections of this test: `mine`
    and `other` map a global name to (module handle, independent handle)."""
    handles = {}
    for glob in ("col_input", "col_input_pdp"):
        name = f"{collection_name}_{glob}"
        monkeypatch.setattr(sc, glob, sc.db[name])
        handles[glob] = database[name]
    yield handles
    for h in handles.values():
        h.drop()


def ordinals(cursor):
    return [d["n"] for d in cursor]


# ---------------------------------------------------------------------------
# Reading
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("reader,glob", READERS)
@pytest.mark.parametrize(
    "args,kwargs,expected",
    [
        ((), {}, list(range(10))),
        (({},), {}, list(range(10))),
        (({"n": {"$gte": 7}},), {}, [7, 8, 9]),
        (({}, 3), {}, [0, 1, 2]),
        ((None, "5", "2"), {}, [2, 3, 4, 5, 6]),
        (({}, 3.9), {}, [0, 1, 2]),
        (({}, 0), {}, list(range(10))),  # limit 0: no limit
        (({}, 2, 4), {}, [4, 5]),
        ((None, None, None), {}, list(range(10))),  # skip ignored without limit
        ((None, None, "not a number"), {}, list(range(10))),
        ((), {"skip": 8, "limit": 5}, [8, 9]),
        (({"n": {"$lt": 6}}, 2, 3), {}, [3, 4]),
        ((None, True, True), {}, [1]),
    ],
)
def test_reader_windows(sc, queues, reader, glob, args, kwargs, expected):
    queues[glob].insert_many([{"n": i} for i in range(10)])
    queues[OTHER[glob]].insert_many([{"n": 100 + i} for i in range(3)])
    cursor = getattr(sc, reader)(*args, **kwargs)
    assert isinstance(cursor, Cursor)
    assert ordinals(cursor) == expected


@pytest.mark.parametrize("reader,glob", READERS)
@pytest.mark.parametrize(
    "args",
    [
        ({}, 10, None),  # int(None)
        (None, "abc"),
        (None, [1]),
        (None, 2, "x"),
        ("a string", None),  # not a mapping
        (5, None),
        ("a string", 3),
    ],
)
def test_reader_failures_give_none_silently(sc, queues, reader, glob, args, capsys):
    assert getattr(sc, reader)(*args) is None
    assert capsys.readouterr().out == ""


class Interrupting:
    def __int__(self):
        raise KeyboardInterrupt


@pytest.mark.parametrize("reader,glob", READERS)
def test_reader_swallows_every_error(sc, queues, reader, glob, monkeypatch, capsys):
    assert getattr(sc, reader)(None, Interrupting()) is None
    assert getattr(sc, reader)(None, 1, Interrupting()) is None
    monkeypatch.delattr(sc, glob)
    assert getattr(sc, reader)() is None
    assert capsys.readouterr().out == ""


class Recorder:
    """Forwards to a real object, logging the names of the methods called."""

    def __init__(self, target, log):
        self._target, self._log = target, log

    def __getattr__(self, name):
        method = getattr(self._target, name)

        def call(*args, **kwargs):
            self._log.append((name, args, kwargs))
            return Recorder(method(*args, **kwargs), self._log)

        return call


class Counted:
    def __init__(self, name, value, log):
        self.name, self.value, self.log = name, value, log

    def __int__(self):
        self.log.append(("int", self.name))
        return self.value


def test_reader_order_of_conversions_and_calls(sc, queues, monkeypatch):
    queues["col_input"].insert_many([{"n": i} for i in range(6)])
    log = []
    monkeypatch.setattr(sc, "col_input", Recorder(sc.col_input, log))
    query = {"n": {"$gte": 1}}
    result = sc.get_input(query, Counted("limit", 2, log), Counted("skip", 1, log))
    assert [e[:1] if e[0] != "int" else e for e in log] == [
        ("int", "limit"),
        ("find",),
        ("int", "skip"),
        ("skip",),
        ("limit",),
    ]
    find, skip, limit = (e for e in log if e[0] != "int")
    assert find[1] == (query,) and find[1][0] is query and find[2] == {}
    assert skip[1:] == ((1,), {}) and limit[1:] == ((2,), {})
    assert ordinals(result._target) == [2, 3]

    log.clear()
    sc.get_input(None, Counted("limit", 1, log))
    assert log[1] == ("find", (None,), {})
    log.clear()
    sc.get_input()
    sc.get_input(None, None, Counted("skip", 1, log))
    assert log[0] == ("find", ({},), {}) and log[1] == ("find", ({},), {})
    assert log[0][1][0] is not log[1][1][0]  # a new empty filter each call


def test_reader_uses_the_global_at_each_call(sc, queues, database, collection_name, monkeypatch):
    queues["col_input"].insert_one({"n": 1})
    assert ordinals(sc.get_input()) == [1]
    other = database[collection_name + "_moved"]
    other.insert_one({"n": 2})
    try:
        monkeypatch.setattr(sc, "col_input", sc.db[other.name])
        assert ordinals(sc.get_input()) == [2]
    finally:
        other.drop()


def test_readers_bound_to_the_job_collections(sc, database):
    assert sc.col_input.name == sc.input_table and sc.col_input_pdp.name == sc.pl_input_table
    try:
        database[sc.input_table].insert_one({"n": 1})
        database[sc.pl_input_table].insert_one({"n": 2})
        assert ordinals(sc.get_input()) == [1] and ordinals(sc.pl_input()) == [2]
    finally:
        database[sc.input_table].drop()
        database[sc.pl_input_table].drop()


# ---------------------------------------------------------------------------
# Status updates
# ---------------------------------------------------------------------------


def statuses(handle, **match):
    return sorted((d["i"], d.get("status")) for d in handle.find(match))


@pytest.mark.parametrize("fn,glob,many", UPDATERS)
def test_update_one_or_many_on_its_collection_only(sc, queues, fn, glob, many, capsys):
    docs = [{"i": i, "url": "http://a/" if i % 2 else "http://b/"} for i in range(6)]
    for h in queues.values():
        h.insert_many([dict(d) for d in docs])
    assert getattr(sc, fn)("url", "http://a/", 2) is None
    changed = [s for s in statuses(queues[glob]) if s[1] is not None]
    assert all(s == "2" for _, s in changed)
    if many:
        assert [i for i, _ in changed] == [1, 3, 5]
    else:
        assert len(changed) == 1 and changed[0][0] in (1, 3, 5)
    assert all(s is None for _, s in statuses(queues[OTHER[glob]]))
    assert capsys.readouterr().out == ""


class Formatted:
    def __format__(self, spec):
        return "fmt" + spec

    def __str__(self):
        return "str"


@pytest.mark.parametrize("fn,glob,many", UPDATERS)
@pytest.mark.parametrize(
    "key,field,status,stored",
    [
        (5, "5", None, "None"),
        ("k", "k", True, "True"),
        ("k", "k", 1.5, "1.5"),
        ("k", "k", "done", "done"),
        (Formatted(), "fmt", Formatted(), "fmt"),
    ],
)
def test_update_text_of_key_and_status(sc, queues, fn, glob, many, key, field, status, stored):
    queues[glob].insert_one({"i": 0, field: "v"})
    getattr(sc, fn)(key, "v", status)
    assert statuses(queues[glob]) == [(0, stored)]


@pytest.mark.parametrize("fn,glob,many", UPDATERS)
def test_update_value_keeps_its_type_and_never_inserts(sc, queues, fn, glob, many, capsys):
    oid = ObjectId()
    queues[glob].insert_many([{"i": 0, "v": 5}, {"i": 1, "v": "5"}, {"i": 2, "v": oid}, {"i": 3, "v": str(oid)}])
    getattr(sc, fn)("v", 5, "a")
    getattr(sc, fn)("v", oid, "b")
    getattr(sc, fn)("v", "absent", "c")
    getattr(sc, fn)("nofield", 5, "d")
    assert statuses(queues[glob]) == [(0, "a"), (1, None), (2, "b"), (3, None)]
    assert capsys.readouterr().out == ""


@pytest.fixture
def dead_collection():
    """A collection handle on a port where no server listens."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    client = pymongo.MongoClient(f"mongodb://127.0.0.1:{port}/", serverSelectionTimeoutMS=150, connect=False)
    yield client["db"]["c"], port
    client.close()


@pytest.mark.parametrize("fn,glob,many", UPDATERS)
def test_update_prints_errors(sc, queues, fn, glob, many, dead_collection, monkeypatch, capsys):
    col, port = dead_collection
    monkeypatch.setattr(sc, glob, col)
    assert getattr(sc, fn)("url", "x", 1) is None
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 1 and f"127.0.0.1:{port}" in lines[0]

    monkeypatch.delattr(sc, glob)
    assert getattr(sc, fn)("url", "x", 1) is None
    assert capsys.readouterr().out == f"name '{glob}' is not defined\n"


class FormatFails:
    def __init__(self, exc):
        self.exc = exc

    def __format__(self, spec):
        raise self.exc


@pytest.mark.parametrize("fn,glob,many", UPDATERS)
def test_update_catches_exception_only(sc, queues, fn, glob, many, capsys):
    queues[glob].insert_one({"i": 0, "k": "v"})
    assert getattr(sc, fn)("k", "v", FormatFails(ValueError("bad status"))) is None
    assert getattr(sc, fn)(FormatFails(LookupError("bad key")), "v", 1) is None
    assert capsys.readouterr().out == "bad status\nbad key\n"
    with pytest.raises(KeyboardInterrupt):
        getattr(sc, fn)("k", "v", FormatFails(KeyboardInterrupt()))
    assert statuses(queues[glob]) == [(0, None)]
    with pytest.raises(TypeError):
        getattr(sc, fn)("k", "v")
    getattr(sc, fn)(status=3, value="v", key="k")
    assert statuses(queues[glob]) == [(0, "3")]


# ---------------------------------------------------------------------------
# Reference leaks
# ---------------------------------------------------------------------------


def test_no_leaks(sc, queues, capsys):
    queues["col_input"].insert_many([{"i": i, "url": "u"} for i in range(3)])
    limit = 512 << 10
    assert rss_growth(lambda: sc.get_input({"i": 1}, "2", 1), rounds=3, calls=3000) < limit
    assert rss_growth(lambda: sc.get_input(None, "bad"), rounds=3, calls=3000) < limit
    assert rss_growth(lambda: sc.update_input("url", "u", 7), rounds=3, calls=1500) < limit
    assert rss_growth(lambda: sc.update_input(FormatFails(ValueError("x")), "u", 1), rounds=3, calls=3000) < limit
    capsys.readouterr()
