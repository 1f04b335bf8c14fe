"""Collection exports: CSV and Excel files under one column rule and one cell rule."""

from __future__ import annotations

import csv
import datetime as dt
import functools
import gc
import os
import random
import re
import sys
import tempfile
import tracemalloc
import types

import openpyxl
import pandas as pd
import pytest
from bson import ObjectId
from bson.binary import Binary
from bson.codec_options import CodecOptions, TypeDecoder, TypeRegistry

MISSING = (
    "{'status': 'error', 'message': 'Missing filename and collectionname. Please provide filename, collectionname'}\n"
)
FOLDER = "{'status': 'error', 'message': 'Folder not created'}\n"
STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"
EXPORTS = [("export_mongo_to_csv", ".csv"), ("export_mongo_to_excel", ".xlsx")]

# The worked example: columns name, city, page_save.
EXAMPLE = [
    {"Name": "a  b", "retry": 1},
    {"name": " c ", "page_save": "x.html", "City": None},
]


@pytest.fixture
def coll(database, collection_name):
    yield database[collection_name]
    database[collection_name].drop()


def expected_table(docs):
    """Header and rows as the column and cell rules define them."""
    excluded = {"_id", "retry", "datetime"}
    order = []
    for d in docs:
        for k in d:
            if k not in excluded and k.lower() not in order:
                order.append(k.lower())
    if "page_save" in order:
        order.remove("page_save")
        order.append("page_save")
    rows = []
    for d in docs:
        cells = {k.lower(): re.sub(r"\s{2,}", " ", str(v)).strip() for k, v in d.items() if k not in excluded}
        rows.append([cells.get(c, "") for c in order])
    return order, rows


def read_csv_both(path):
    with open(path, newline="", encoding="utf-8") as f:
        table = list(csv.reader(f))
    if table and table[0]:
        frame = pd.read_csv(path, dtype=str, keep_default_na=False)
        assert [list(frame.columns)] + frame.values.tolist() == table
    return table


def read_sheet(path, title):
    wb = openpyxl.load_workbook(path)
    assert wb.sheetnames == [title]
    ws = wb[title]
    rows = []
    for row in ws.iter_rows():
        assert all(c.value is None or c.data_type == "s" for c in row)
        rows.append(["" if c.value is None else c.value for c in row])
    return rows


def export(sc, kind, *args, **kwargs):
    return getattr(sc, kind)(*args, **kwargs)


# ---------------------------------------------------------------------------
# Checks before any work
# ---------------------------------------------------------------------------


class Untestable:
    def __bool__(self):
        raise RuntimeError("truth test")


@pytest.mark.parametrize("kind,suffix", EXPORTS)
@pytest.mark.parametrize(
    "args",
    [(), (None, "c", "d"), ("", "c", "d"), (0, "c", "d"), ("f", None, "d"), ("f", "", "d"), (None, Untestable(), "d")],
)
def test_missing_arguments(sc, tmp_path, monkeypatch, capsys, kind, suffix, args):
    monkeypatch.chdir(tmp_path)
    assert export(sc, kind, *args) is None
    assert capsys.readouterr().out == MISSING
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("kind,suffix", EXPORTS)
def test_collectionname_truth_test_errors_propagate(sc, tmp_path, kind, suffix):
    with pytest.raises(RuntimeError, match="truth test"):
        export(sc, kind, "f", Untestable(), str(tmp_path))


@pytest.mark.parametrize("kind,suffix", EXPORTS)
@pytest.mark.parametrize("directory", [None, "", "FILE/sub", 42.5])
def test_folder_not_created(sc, tmp_path, monkeypatch, capsys, coll, kind, suffix, directory):
    coll.insert_one({"a": 1})
    (tmp_path / "FILE").write_text("x")
    monkeypatch.chdir(tmp_path)
    assert export(sc, kind, "out", coll.name, directory) is None
    assert capsys.readouterr().out == FOLDER
    assert sorted(p.name for p in tmp_path.iterdir()) == ["FILE"]


@pytest.mark.parametrize("kind,suffix", EXPORTS)
def test_directory_created_concurrently_is_no_failure(sc, tmp_path, monkeypatch, capsys, coll, kind, suffix):
    """The directory appears between the existence test and its creation."""
    coll.insert_many([dict(d) for d in EXAMPLE])
    target = tmp_path / "late" / "dir"

    def exists(path):
        os.makedirs(path)  # another process wins the race
        return False

    fake_os = types.SimpleNamespace(path=types.SimpleNamespace(exists=exists, join=os.path.join), makedirs=os.makedirs)
    monkeypatch.setattr(sc, "os", fake_os)
    export(sc, kind, "out", coll.name, str(target))
    out = capsys.readouterr().out
    assert "Folder not created" not in out and "Export Successful" in out
    assert (target / ("out" + suffix)).is_file()


@pytest.mark.parametrize("kind,suffix", EXPORTS)
def test_empty_collection(sc, tmp_path, capsys, collection_name, kind, suffix):
    target = tmp_path / "a" / "b"
    assert export(sc, kind, "out", collection_name, str(target)) is None
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 2 and re.fullmatch("📂 Export process started at: " + STAMP, lines[0])
    assert lines[1] == "No data found in collection."
    assert target.is_dir() and list(target.iterdir()) == []


# ---------------------------------------------------------------------------
# CSV
# ---------------------------------------------------------------------------


def test_csv_worked_example(sc, tmp_path, coll, capsys):
    coll.insert_many([dict(d) for d in EXAMPLE])
    assert sc.export_mongo_to_csv("example", coll.name, str(tmp_path)) is None
    path = tmp_path / "example.csv"
    assert path.read_bytes() == b"name,city,page_save\r\na b,,\r\nc,None,x.html\r\n"
    assert read_csv_both(path) == [["name", "city", "page_save"], ["a b", "", ""], ["c", "None", "x.html"]]
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 3
    assert re.fullmatch("📂 Export process started at: " + STAMP, lines[0])
    assert lines[1] == f"✅ Export Successful! {os.path.join(str(tmp_path), 'example.csv')}"
    assert re.fullmatch("📂 Export process end at: " + STAMP, lines[2])
    assert lines[2][-19:] >= lines[0][-19:]


CELL_VALUES = [
    "a\nb",
    "a\r\nb",
    "  lead and trail\t",
    "\u3000\u3000wide\u3000\u3000run\u3000",
    "x\u00a0\u00a0y",
    "keep\u200b\u200bzero-width",
    "\x1c\x1dsep",
    "tab\tsingle",
    "",
    "   ",
    'quote "me", please',
    "ü  ß\u2028\u2029end",
    "𝔘nicode  astral 😀",
    "a\x85\x85b",
    12,
    -3.25,
    True,
    None,
    [1, "two  spaces", {"k": "v"}],
    {"nested": {"a": 1}},
    ObjectId("64b7f0c2a1b2c3d4e5f60718"),
    dt.datetime(2024, 5, 6, 7, 8, 9),
]


def test_csv_cell_rule(sc, tmp_path, coll):
    docs = [
        {"_id": i, "value": v, "datetime": "drop", "Retry": i, "DateTime": "kept"} for i, v in enumerate(CELL_VALUES)
    ]
    coll.insert_many([dict(d) for d in docs])
    stored = list(coll.find({}))
    sc.export_mongo_to_csv("cells", coll.name, str(tmp_path))
    table = read_csv_both(tmp_path / "cells.csv")
    header, rows = expected_table(stored)
    assert header == ["value", "retry", "datetime"]
    assert table == [header] + rows
    assert rows[0][0] == "a\nb" and rows[1][0] == "a b" and rows[3][0] == "wide run"
    assert rows[5][0] == "keep\u200b\u200bzero-width"


def test_csv_columns_and_collisions(sc, tmp_path, coll):
    docs = [
        {"B": "1", "page_save": "p", "a": "2"},
        {"b": "3", "A": "4", "a": "5", "c": "6"},  # later key of a collision wins
        {"retry": 1, "datetime": 2, "_id": "x"},  # all excluded: a line of empty cells
        {"PAGE_SAVE": "q", "d": "  7  "},
    ]
    coll.insert_many([dict(d) for d in docs])
    sc.export_mongo_to_csv("cols", coll.name, str(tmp_path))
    assert read_csv_both(tmp_path / "cols.csv") == [
        ["b", "a", "c", "d", "page_save"],
        ["1", "2", "", "", "p"],
        ["3", "5", "6", "", ""],
        ["", "", "", "", ""],
        ["", "", "", "7", "q"],
    ]


@pytest.mark.parametrize(
    "docs,content",
    [
        ([{"retry": 1}, {"datetime": 2, "x": 1}], b'x\r\n""\r\n1\r\n'),  # lone empty field
        ([{"retry": 1}, {"datetime": 2}], b"\r\n\r\n\r\n"),  # no columns at all
        ([{"a": "x,y", "b": 'q"t'}], b'a,b\r\n"x,y","q""t"\r\n'),
    ],
)
def test_csv_dialect_bytes(sc, tmp_path, coll, docs, content):
    coll.insert_many(docs)
    sc.export_mongo_to_csv("d", coll.name, str(tmp_path))
    assert (tmp_path / "d.csv").read_bytes() == content


class Named:
    def __format__(self, spec):
        return "by-format"

    def __str__(self):
        return "by-str"


@pytest.mark.parametrize("kind,suffix", EXPORTS)
@pytest.mark.parametrize("filename,stem", [(123, "123"), (Named(), "by-format"), ("naïve name", "naïve name")])
def test_file_name_text_and_replacement(sc, tmp_path, coll, kind, suffix, filename, stem):
    coll.insert_one({"v": "new"})
    target = tmp_path / (stem + suffix)
    target.write_bytes(b"old content that is longer than the new file" * 100)
    export(sc, kind, filename, coll.name, str(tmp_path / "."))
    if suffix == ".csv":
        assert target.read_bytes() == b"v\r\nnew\r\n"
    else:
        assert read_sheet(target, coll.name) == [["v"], ["new"]]


@pytest.mark.parametrize("kind,suffix", EXPORTS)
def test_later_failures_propagate(sc, tmp_path, coll, capsys, kind, suffix):
    coll.insert_one({"v": 1})
    with pytest.raises(TypeError):
        export(sc, kind, "f", 5, str(tmp_path))
    out = capsys.readouterr().out
    assert out.startswith("📂 Export process started at: ") and out.count("\n") == 1
    blocker = tmp_path / "file"
    blocker.write_text("")
    with pytest.raises(OSError):
        export(sc, kind, "f", coll.name, str(blocker))


class FixedClock(dt.datetime):
    ticks = iter(range(10))

    @classmethod
    def now(cls, tz=None):
        return dt.datetime(2030, 1, 2, 3, 4, next(cls.ticks))


@pytest.mark.parametrize("kind,suffix", EXPORTS)
def test_globals_read_at_each_call(sc, tmp_path, coll, monkeypatch, capsys, kind, suffix):
    coll.insert_many([{"v": "a  b"}, {"v": "c"}])
    monkeypatch.setattr(FixedClock, "ticks", iter(range(10)))
    monkeypatch.setattr(sc, "datetime", FixedClock)
    monkeypatch.setattr(sc, "re", types.SimpleNamespace(sub=lambda p, r, s: s.replace(" ", "_")))
    if suffix == ".csv":
        monkeypatch.setattr(
            sc, "csv", types.SimpleNamespace(DictWriter=functools.partial(csv.DictWriter, delimiter=";"))
        )
    export(sc, kind, "g", coll.name, str(tmp_path))
    path = os.path.join(str(tmp_path), "g" + suffix)
    assert capsys.readouterr().out == (
        "📂 Export process started at: 2030-01-02 03:04:00\n"
        f"✅ Export Successful! {path}\n"
        "📂 Export process end at: 2030-01-02 03:04:01\n"
    )
    if suffix == ".csv":
        assert open(path, "rb").read() == b"v\r\na__b\r\nc\r\n"
    else:
        assert read_sheet(path, coll.name) == [["v"], ["a__b"], ["c"]]


def test_patched_re_sub_is_honoured(sc, tmp_path, coll, monkeypatch):
    coll.insert_one({"v": "a  b"})
    seen = []
    real = re.sub

    def sub(pattern, repl, string, *args, **kwargs):
        seen.append((pattern, repl, string))
        return real(pattern, repl, string, *args, **kwargs)

    monkeypatch.setattr(re, "sub", sub)
    sc.export_mongo_to_csv("p", coll.name, str(tmp_path))
    assert seen == [(r"\s{2,}", " ", "a  b")]
    assert (tmp_path / "p.csv").read_bytes() == b"v\r\na b\r\n"


def test_csv_random_text_matches_the_rule(sc, tmp_path, coll):
    rng = random.Random(7)
    alphabet = list(' \t\n\r\x0b\x0c\x1c\x1f\x85\xa0\u1680\u2000\u200a\u2028\u202f\u205f\u3000\u200b\ufeffab,"é€😀')
    docs = [
        {f"f{j}": "".join(rng.choice(alphabet) for _ in range(rng.randrange(12))) for j in range(4)} for _ in range(150)
    ]
    coll.insert_many(docs)
    stored = list(coll.find({}))
    sc.export_mongo_to_csv("r", coll.name, str(tmp_path))
    with open(tmp_path / "r.csv", newline="", encoding="utf-8") as f:
        table = list(csv.reader(f))
    header, rows = expected_table(stored)
    assert table == [header] + rows


# ---------------------------------------------------------------------------
# Excel
# ---------------------------------------------------------------------------


def test_excel_worked_example(sc, tmp_path, coll, capsys):
    coll.insert_many([dict(d) for d in EXAMPLE] + [{"n": 5, "f": 2.5, "b": False}])
    sc.export_mongo_to_excel("example", coll.name, str(tmp_path))
    assert read_sheet(tmp_path / "example.xlsx", coll.name) == [
        ["name", "city", "n", "f", "b", "page_save"],
        ["a b", "", "", "", "", ""],
        ["c", "None", "", "", "", "x.html"],
        ["", "", "5", "2.5", "False", ""],
    ]
    lines = capsys.readouterr().out.splitlines()
    assert lines[1] == f"✅ Export Successful! {os.path.join(str(tmp_path), 'example.xlsx')}"


@pytest.mark.parametrize(
    "skip,limit,expected",
    [
        (0, 0, [0, 1, 2, 3, 4]),
        (None, "", [0, 1, 2, 3, 4]),  # false values: neither skip nor limit applied
        (0, 2, [0, 1]),
        (3, 10, [3, 4]),
        (2, 0, [2, 3, 4]),
        (1, 1, [1]),
        (5, 0, None),
        (7, 2, None),
    ],
)
def test_excel_window(sc, tmp_path, coll, capsys, skip, limit, expected):
    coll.insert_many([{"n": i} for i in range(5)])
    sc.export_mongo_to_excel("w", coll.name, str(tmp_path), skip, limit)
    out = capsys.readouterr().out
    if expected is None:
        assert out.splitlines()[1:] == ["No data found in collection."]
        assert not (tmp_path / "w.xlsx").exists()
    else:
        assert read_sheet(tmp_path / "w.xlsx", coll.name) == [["n"]] + [[str(i)] for i in expected]


def test_excel_window_values_go_to_the_cursor(sc, tmp_path, coll):
    coll.insert_many([{"n": i} for i in range(3)])
    with pytest.raises(TypeError):
        sc.export_mongo_to_excel("w", coll.name, str(tmp_path), "1")
    with pytest.raises(TypeError):
        sc.export_mongo_to_excel("w", coll.name, str(tmp_path), limit=1.5)
    assert not (tmp_path / "w.xlsx").exists()


def test_excel_random_text_matches_the_rule(sc, tmp_path, coll):
    rng = random.Random(11)
    alphabet = list(" \t\u3000\u2028\xa0ab,é😀")
    docs = [
        {f"F{j}": "".join(rng.choice(alphabet) for _ in range(rng.randrange(10))) for j in range(3)} for _ in range(60)
    ]
    coll.insert_many(docs)
    stored = list(coll.find({}))
    sc.export_mongo_to_excel("r", coll.name, str(tmp_path))
    header, rows = expected_table(stored)
    assert read_sheet(tmp_path / "r.xlsx", coll.name) == [header] + rows


# ---------------------------------------------------------------------------
# Reference leaks
# ---------------------------------------------------------------------------


class Shared(TypeDecoder):
    """Binary values of subtype 0x80 come back as one shared object per payload."""

    bson_type = Binary

    def __init__(self, objects):
        self.objects = objects

    def transform_bson(self, value):
        return self.objects[bytes(value)] if value.subtype == 0x80 else value


class Opaque:
    def __str__(self):
        return "opaque  value"


@pytest.mark.parametrize("kind,suffix", EXPORTS)
def test_export_no_leaks(sc, client, tmp_path, coll, monkeypatch, capsys, kind, suffix):
    # The cell values and the arguments are the same objects at every call, so
    # a reference kept per cell or call shows in their counts; a document, list,
    # cursor or exception kept per call shows in the number of live containers.
    shared = {b"t": " ".join(["x ", "y"] * 3), b"o": Opaque()}
    coll.insert_many(
        [{"a": Binary(b"t", 0x80), "B": i, "c": Binary(b"o", 0x80), "page_save": "p", "retry": 1} for i in range(20)]
    )
    codecs = CodecOptions(type_registry=TypeRegistry([Shared(shared)]))
    monkeypatch.setattr(sc, "db", client.get_database(sc.data_base, codec_options=codecs))
    args = ["".join(["l", "eak"]), "".join([coll.name]), str(tmp_path)]
    watched = [*shared.values(), *args]

    def calls(n):
        for _ in range(n):
            getattr(sc, kind)(*args)
            getattr(sc, kind)(None, None)  # the failure paths: refused arguments,
            with pytest.raises(FileNotFoundError):  # a file name in a missing directory
                getattr(sc, kind)("missing/leak", args[1], args[2])
            capsys.readouterr()  # the captured lines would grow the heap
        gc.collect()

    calls(3)
    refs = [sys.getrefcount(o) for o in watched]
    # A container kept per row or call grows the live containers in each of two
    # runs of 50 calls; a one-time growth (pymongo's monitor threads replacing
    # a server's description, a cache of the interpreter's) shows in one only.
    live = [len(gc.get_objects())]
    for _ in range(2):
        calls(50)
        live.append(len(gc.get_objects()))
    containers = min(after - before for before, after in zip(live, live[1:]))
    # A fresh object kept per row or call (a str, say) is neither a container
    # nor a reference to these: the traced heap shows it. Left out: what
    # openpyxl allocates, itself (a new Workbook() grows the heap by some 250
    # bytes with or without this library) and through tempfile (its worksheet
    # writers' temporary files: CPython 3.15 keeps some of their names), and
    # tracemalloc's snapshots. The interpreter's own caches fill up in the
    # first calls traced; the snapshots are filtered only once both are taken,
    # as the filters compile patterns into the re module's cache. A leak grows
    # the heap in each of two runs of 100 calls; a one-time growth (a cache
    # that fills, pymongo's monitor threads replacing a server's description)
    # shows in one of them only.
    tracemalloc.start()
    try:
        calls(20)
        snapshots = [tracemalloc.take_snapshot()]
        for _ in range(2):
            calls(100)
            snapshots.append(tracemalloc.take_snapshot())
    finally:
        tracemalloc.stop()
    left_out = [
        tracemalloc.Filter(False, tracemalloc.__file__),
        tracemalloc.Filter(False, "*/openpyxl/*"),
        tracemalloc.Filter(False, tempfile.__file__),
    ]
    snapshots = [snapshot.filter_traces(left_out) for snapshot in snapshots]
    grown = min(
        sum(stat.size_diff for stat in after.compare_to(before, "filename"))
        for before, after in zip(snapshots, snapshots[1:])
    )
    del snapshots
    assert containers < 20, live
    assert [sys.getrefcount(o) for o in watched] == refs
    assert grown < 12 * 1024, grown
    capsys.readouterr()
