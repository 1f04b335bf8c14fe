"""Exports against their plain-Python twins: CSV bytes as csv.DictWriter writes
them, workbooks whose every cell is text for three readers, and files that are
replaced only by a complete export."""

from __future__ import annotations

import csv
import datetime as dt
import functools
import io
import os
import random
import resource
import shutil
import signal
import types
from contextlib import contextmanager, nullcontext, redirect_stdout

import openpyxl
import openpyxl.worksheet._writer
import pandas as pd
import pytest
from bson.binary import Binary
from bson.codec_options import CodecOptions, TypeDecoder, TypeRegistry
from lxml.etree import SerialisationError
from openpyxl.utils.exceptions import IllegalCharacterError

from devtools.twins import export as twin
from support import libreoffice_rows

EXPORTS = [("export_mongo_to_csv", ".csv"), ("export_mongo_to_excel", ".xlsx")]
SPACES = " \t\n\r\x0b\x0c\x1c\x1f\x85\xa0\u1680\u2000\u2028\u202f\u3000"


@pytest.fixture
def coll(database, collection_name):
    yield database[collection_name]
    database[collection_name].drop()


def both(sc, db, kind, coll, tmp_path, *args):
    """Run the native export and its twin into native/ and twin/; the files."""
    getattr(sc, kind)("out", coll.name, str(tmp_path / "native"), *args)
    with redirect_stdout(io.StringIO()):
        getattr(twin, kind)(db, "out", coll.name, str(tmp_path / "twin"), *args)
    suffix = ".csv" if kind.endswith("csv") else ".xlsx"
    return tmp_path / "native" / ("out" + suffix), tmp_path / "twin" / ("out" + suffix)


def random_text(rng, size):
    alphabet = list(SPACES + 'ab,"=#é€😀&<>') + ["  ", "\r\n", "x"]
    return "".join(rng.choice(alphabet) for _ in range(size))


def docs_of(group):
    rng = random.Random(group)
    if group == "white space and quoting":
        return [{f"f{j}": random_text(rng, rng.randrange(14)) for j in range(5)} for _ in range(300)]
    if group == "value types":
        values = [
            12,
            -3.25,
            1e16,
            True,
            None,
            [1, " a  b ", {"k": "v"}],
            {"n": {"m": [None]}},
            dt.datetime(2024, 5, 6, 7, 8, 9),
            "",
            "   ",
            'q"uote',
            "x,y",
            "\u0130\u0131",
        ]
        return [{"v": v, "w": values[-1 - i]} for i, v in enumerate(values)]
    if group == "keys":
        return [
            {"Straße": 1, "STRASSE": 2, "\u0130d": 3, "ǅ": "x", "Retry": 4, "retry": 5},
            {"straße": "later", "page_save": "p", "İD": 6, "_ID": 7, "DateTime": 8},
            {"_id": 1, "retry": 2, "datetime": 3},
        ]
    if group == "one column":
        return [{"a": ""}, {"retry": 1}, {"a": "x"}, {"A": "y", "a": ""}]
    # large enough that the spooled cells leave memory for a file
    return [{f"Field{j}": random_text(rng, 90) for j in range(30)} for _ in range(2500)]


@pytest.mark.parametrize("group", ["white space and quoting", "value types", "keys", "one column", "spilled spool"])
def test_csv_bytes_are_dictwriters(sc, database, coll, tmp_path, capsys, group):
    coll.insert_many(docs_of(group))
    native, reference = both(sc, database, "export_mongo_to_csv", coll, tmp_path)
    assert native.read_bytes() == reference.read_bytes()
    assert sorted(os.listdir(native.parent)) == ["out.csv"]
    capsys.readouterr()


def test_excel_cells_match_the_twin(sc, database, coll, tmp_path, capsys):
    # (without the controls a workbook cannot hold, which fail both exports)
    illegal = openpyxl.cell.cell.ILLEGAL_CHARACTERS_RE
    coll.insert_many([{k: illegal.sub("", v) for k, v in d.items()} for d in docs_of("white space and quoting")])
    native, reference = both(sc, database, "export_mongo_to_excel", coll, tmp_path)
    assert sheet_rows(native) == sheet_rows(reference)
    capsys.readouterr()


class BytesKeys:
    """A database whose documents come back with bytes field names: the
    collections of `db`, their keys encoded."""

    def __init__(self, db):
        self.db = db

    def __getitem__(self, name):
        return self

    def find(self, query):
        name = self.db.list_collection_names()[0]
        return [{k.encode(): v for k, v in d.items() if k != "_id"} for d in self.db[name].find(query)]


@pytest.mark.parametrize("kind", ["export_mongo_to_csv", "export_mongo_to_excel"])
def test_bytes_field_names_as_the_twin_writes_them(sc, client, coll, tmp_path, monkeypatch, capsys, kind):
    coll.insert_many([{"Name": "a  b", "page_save": "p.html", "n": 1}, {"name": "c", "City": None}])
    db = BytesKeys(client[sc.data_base])
    monkeypatch.setattr(sc, "db", db)
    native, reference = both(sc, db, kind, coll, tmp_path)
    if kind.endswith("csv"):
        assert native.read_bytes() == reference.read_bytes()
    else:
        assert sheet_rows(native) == sheet_rows(reference)
        # (b"page_save" is not "page_save": it stays where it was met)
        assert sheet_rows(native)[0][0] == ["name", "page_save", "n", "city"]
    capsys.readouterr()


# Texts that a reader could take for something else, and must get back as they are.
TRICKY = [
    "=1+1",
    '=HYPERLINK("http://example.com/","click")',
    "#N/A",
    "#DIV/0!",
    "=",
    "-1",
    "007",
    "1e3",
    "TRUE",
    "a\nb",
    "a\rb",
    "tab\tin",
    "Zürich 😀 ∑",
    "&amp; <b>",
    "x" * 40000,
]


def sheet_rows(path):
    ws = openpyxl.load_workbook(path).active
    for row in ws.iter_rows():
        assert all(c.value is None or c.data_type == "s" for c in row)
    return [["" if c.value is None else c.value for c in row] for row in ws.iter_rows()], ws.title


@pytest.fixture
def tricky(coll):
    docs = [{" Lead ": t, "n": i, "Trail  ": f" {t} "} for i, t in enumerate(TRICKY)]
    coll.insert_many(docs)
    return docs


def expected_sheet(docs):
    header = twin.column_order(docs)
    rows = [[twin.cleaned(d).get(c, "")[:32767] for c in header] for d in docs]
    return [header] + rows


def test_excel_cells_are_text_for_openpyxl_and_pandas(sc, database, coll, tmp_path, tricky, capsys):
    native, reference = both(sc, database, "export_mongo_to_excel", coll, tmp_path)
    rows, title = sheet_rows(native)
    assert (rows, title) == sheet_rows(reference) and title == coll.name
    expected = expected_sheet(tricky)
    assert rows == expected and rows[0] == [" lead ", "n", "trail  "]
    frame = pd.read_excel(native, engine="openpyxl", header=None, dtype=str, keep_default_na=False)
    assert frame.values.tolist() == expected
    capsys.readouterr()


# LibreOffice reads bytes that the openpyxl and pandas readers check on every
# interpreter already.
@pytest.mark.slow
@pytest.mark.version_free
# Skipped where LibreOffice is missing, except under CI, where a missing
# reader fails the run.
@pytest.mark.skipif(
    not shutil.which("soffice") and not os.environ.get("CI"), reason="LibreOffice (soffice) is not installed"
)
def test_excel_cells_are_text_for_libreoffice(sc, coll, tmp_path, tricky, capsys):
    if not shutil.which("soffice"):
        pytest.fail("LibreOffice (soffice) is not installed: CI runs this reader (make soffice)")
    sc.export_mongo_to_excel("out", coll.name, str(tmp_path))
    rows = libreoffice_rows(tmp_path / "out.xlsx", tmp_path)
    assert rows == expected_sheet(tricky)
    # The text past a cell's limit arrives cut: its first 32,767 characters.
    long_text = "x" * 40000
    assert [row[0] for row in rows if long_text.startswith(row[0])] == [long_text[:32767]]
    capsys.readouterr()


# ---------------------------------------------------------------------------
# A failed export leaves the earlier file as it was
# ---------------------------------------------------------------------------


class StrFails:
    def __str__(self):
        raise LookupError("no text for this value")


class Marked(TypeDecoder):
    """Binary values of subtype 0x80 come back as `make()`."""

    bson_type = Binary

    def __init__(self, make):
        self.make = make

    def transform_bson(self, value):
        return self.make() if value.subtype == 0x80 else value


def read_fails():
    raise RuntimeError("the read fails")


@contextmanager
def file_size_limit(size):
    """Writes past `size` bytes of a file fail with EFBIG (a full disk, as
    far as the writer can tell), in this process."""
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    old = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (size, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))
        signal.signal(signal.SIGXFSZ, old)


FAULTS = {  # the value at row 1500, the error, and whether the CSV export fails too
    # a value whose str() raises, many rows in
    "str raises": (lambda: StrFails(), LookupError, True),
    # the read itself fails, many rows in (pymongo reports the decoder's error)
    "read fails": (read_fails, Exception, True),
    # the file system takes the first 8 KiB of the file, then no more: the
    # export fails with its first rows written
    # (openpyxl's writer reports it as lxml's SerialisationError, the native
    # sheet writer as the OSError of the write)
    "file full": (lambda: "row  text", (OSError, SerialisationError), True),
    # a text that neither a UTF-8 file nor the workbook library takes
    "lone surrogate": (lambda: "a\ud800b", UnicodeEncodeError, True),
    # texts that the workbook library refuses (the CSV writes them)
    "control character": (lambda: "bell\x07", IllegalCharacterError, False),
    "non-character": (lambda: "x\ufffe", ValueError, False),
}


# (openpyxl's sheet writer, a generator, raises once more as it is closed
# after a failed write: the interpreter reports that as unraisable)
@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("kind,suffix", EXPORTS)
@pytest.mark.parametrize("fault", list(FAULTS))
@pytest.mark.parametrize("path", ["native", "generic"])
def test_failure_leaves_earlier_file(sc, client, coll, tmp_path, monkeypatch, capsys, kind, suffix, fault, path):
    make, error, csv_fails = FAULTS[fault]
    coll.insert_many(
        [{"n": i, "text": "row  text"} for i in range(1500)] + [{"n": 1500, "text": Binary(b"!", 0x80)}] + [{"n": 1501}]
    )
    db = client.get_database(sc.data_base, codec_options=CodecOptions(type_registry=TypeRegistry([Marked(make)])))
    monkeypatch.setattr(sc, "db", db)
    if path == "generic":  # csv.DictWriter and openpyxl's own cell writer do the writing
        monkeypatch.setattr(sc, "csv", types.SimpleNamespace(DictWriter=csv.DictWriter))
        writer = openpyxl.worksheet._writer
        monkeypatch.setattr(writer, "write_cell", functools.partial(writer.write_cell))
    earlier = tmp_path / ("out" + suffix)
    earlier.write_bytes(b"earlier export")
    fails = csv_fails or suffix == ".xlsx"
    limit = functools.partial(file_size_limit, 8192) if fault == "file full" else nullcontext
    with redirect_stdout(io.StringIO()), limit():
        try:
            getattr(twin, kind)(db, "twin", coll.name, str(tmp_path / "twin"))
            twin_error = None
        except Exception as e:
            twin_error = e
    if not fails:
        getattr(sc, kind)("out", coll.name, str(tmp_path))
        assert twin_error is None
        assert earlier.read_bytes() == (tmp_path / "twin" / ("twin" + suffix)).read_bytes()
        return
    with pytest.raises(error) as raised, limit():
        getattr(sc, kind)("out", coll.name, str(tmp_path))
    if not (fault == "file full" and suffix == ".xlsx" and path == "native"):
        assert (type(raised.value), str(raised.value)) == (type(twin_error), str(twin_error))
    assert earlier.read_bytes() == b"earlier export"
    assert sorted(os.listdir(tmp_path)) == ["out" + suffix, "twin"]
    assert capsys.readouterr().out.startswith("📂 Export process started at: ")
