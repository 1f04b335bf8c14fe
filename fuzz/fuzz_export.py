"""Fuzz target: export_mongo_to_csv and export_mongo_to_excel against their
plain-Python twins in devtools/twins/export.py, on a few documents of awkward
keys and values: the same CSV bytes, the same workbook cells and sheet title,
the same lines printed (time stamps and directories aside), or the same error
by type and text.

The documents reach both through one small in-process collection (find, skip,
limit): most inputs make a round trip through BSON first, so that they are what
a cursor yields; the others keep Python values no database returns (subclasses,
non-str keys, values whose str() fails), which the exports must take as the
twins do. The database itself is fuzzed elsewhere.
"""

from __future__ import annotations

import contextlib
import datetime
import io
import os
import re
import sys
import tempfile

import atheris

PYTHON_ONLY = not os.environ.get("NEXRA_FUZZ_BUILD")
with atheris.instrument_imports(include=["devtools.twins.export"] + ["harness"] * PYTHON_ONLY):
    import harness
    from devtools.twins import export as twin
import bson
import openpyxl
from harness import HTML_PIECES, JSON_PIECES, Text, fuzz_float, fuzz_int, fuzz_text

sc = harness.load_scrape_common()
WORK = tempfile.mkdtemp(prefix="nexra-fuzz-export-")
STAMP = re.compile(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d")

# Keys that fold, collide or are left out: case partners beyond ASCII, the
# excluded fields in other cases, page_save (moved last), white space.
KEY_PIECES = [
    "_id",
    "retry",
    "datetime",
    "page_save",
    "Page_Save",
    "RETRY",
    "a",
    "A",
    "ß",
    "SS",
    "ss",
    "\u0130",
    "i",
    "I",
    "\u0131",
    "\u212a",
    "k",
    "K",
    "\u01c5",
    "\u01c4",
    "\u01c6",
    " ",
    "  ",
    "\t",
    "\n",
    "\u00a0",
    ",",
    '"',
    "=",
    "#",
    "\r\n",
    "\u2028",
    "\U0001f600",
]


class Collection:
    """db[name].find({}) [.skip(n)] [.limit(n)] over a list of documents."""

    def __init__(self, docs):
        self.docs = docs

    def __getitem__(self, name):
        return self

    def find(self, query):
        return Cursor(self.docs)


class Cursor:
    def __init__(self, docs, skip=0, limit=0):
        self.docs, self.start, self.count = docs, skip, limit

    def skip(self, n):
        return Cursor(self.docs, n, self.count)

    def limit(self, n):
        return Cursor(self.docs, self.start, n)

    def __iter__(self):
        end = self.start + self.count if self.count else None
        return iter(self.docs[self.start : end])


class StrFails:
    def __str__(self):
        raise LookupError("no text for this value")


def value(fdp, depth=0):
    kind = fdp.ConsumeIntInRange(0, 12 if depth < 2 else 8)
    if kind <= 3:
        return fuzz_text(fdp, HTML_PIECES + KEY_PIECES, 12)
    if kind == 4:
        return fuzz_int(fdp)
    if kind == 5:
        return fuzz_float(fdp)
    if kind == 6:
        return fdp.PickValueInList([None, True, False, "", " ", "  x  "])
    if kind == 7:
        return datetime.datetime(2000, 1, 1) + datetime.timedelta(seconds=fdp.ConsumeIntInRange(0, 10**9))
    if kind == 8:
        return "x" * fdp.ConsumeIntInRange(0, 40000)  # past the workbook's cell limit
    if kind in (9, 10):
        return [value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
    return {key(fdp): value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))}


def key(fdp):
    return fuzz_text(fdp, KEY_PIECES + JSON_PIECES, 4)


def python_only(fdp):
    """A value no database hands back."""
    return fdp.PickValueInList(
        [
            Text(key(fdp)),
            StrFails(),
            b"by\x00tes",
            (1, "t"),
            "lone \ud800 surrogate",
            "bell\x07",
            "x\ufffe",
            Text(" a  b "),
        ]
    )


def python_only_key(fdp):
    """A key no database hands back."""
    return fdp.PickValueInList([Text(key(fdp)), Text("RETRY"), 1, 2.5, None, (1, "t"), b"Bytes", b"page_save"])


def documents(data: bytes):
    fdp = atheris.FuzzedDataProvider(data)
    plain = fdp.ConsumeIntInRange(0, 3) == 0
    docs = []
    for _ in range(fdp.ConsumeIntInRange(0, 6)):
        doc = {}
        for _ in range(fdp.ConsumeIntInRange(0, 6)):
            k = python_only_key(fdp) if plain and fdp.ConsumeIntInRange(0, 7) == 0 else key(fdp)
            doc[k] = python_only(fdp) if plain and fdp.ConsumeIntInRange(0, 3) == 0 else value(fdp)
        docs.append(doc)
    window = (fdp.ConsumeIntInRange(0, 3), fdp.ConsumeIntInRange(0, 3)) if fdp.ConsumeBool() else (0, 0)
    if not plain:
        try:  # what a cursor would yield; a document BSON refuses is left out
            docs = [d for d in (bson_round_trip(d) for d in docs) if d is not None]
        except RecursionError:
            docs = []
    return docs, window


def bson_round_trip(doc):
    try:
        return bson.decode(bson.encode(doc))
    except (bson.errors.InvalidDocument, bson.errors.InvalidStringData, OverflowError, ValueError):
        return None


def sheet(path):
    wb = openpyxl.load_workbook(path, read_only=True)
    ws = wb.active
    rows = [[c.value for c in row] for row in ws.iter_rows()]
    wb.close()
    return ws.title, rows


def run(fn, directory, *args):
    """The outcome of one export into `directory`, the lines it printed (time
    stamps and the directory aside) and the files it left there."""
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        result = harness.outcome(fn, *args)
    text = STAMP.sub("<time>", out.getvalue()).replace(directory, "<dir>")
    files = sorted(os.listdir(directory))
    return result, text, files


def test_one_input(data: bytes):
    docs, (skip, limit) = documents(data)
    sc.db = twin_db = Collection(docs)
    for kind, suffix in (("export_mongo_to_csv", ".csv"), ("export_mongo_to_excel", ".xlsx")):
        native_dir, twin_dir = os.path.join(WORK, "native"), os.path.join(WORK, "twin")
        for d in (native_dir, twin_dir):
            for name in os.listdir(d) if os.path.isdir(d) else []:
                os.remove(os.path.join(d, name))
        window = (skip, limit) if suffix == ".xlsx" else ()
        native = run(getattr(sc, kind), native_dir, "out", "coll", native_dir, *window)
        expected = run(getattr(twin, kind), twin_dir, twin_db, "out", "coll", twin_dir, *window)
        if native == expected and native[2]:
            path, twin_path = os.path.join(native_dir, "out" + suffix), os.path.join(twin_dir, "out" + suffix)
            if suffix == ".csv":
                native, expected = open(path, "rb").read(), open(twin_path, "rb").read()
            else:
                native, expected = sheet(path), sheet(twin_path)
        if native != expected:
            harness.differ(kind, (docs, window), native, expected)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
