"""is_valid_page_save and InsertItem, the latter against the test database."""

from __future__ import annotations

import copy
import datetime as dt
import hashlib
import json
import os
import re
import threading
import types

import pymongo
import pytest

from support import rss_growth
from devtools.twins.page_save import is_valid_page_save as oracle

# ---------------------------------------------------------------------------
# is_valid_page_save
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "doc, parcel, status",
    [
        # a false parcel number decides first
        ({"page_save": "123.html"}, 0, "missing parcel_number"),
        ({"page_save": "123.html"}, "", "missing parcel_number"),
        ({"page_save": "123.html"}, None, "missing parcel_number"),
        ({"page_save": "\\\\x"}, [], "missing parcel_number"),
        # nothing usable under "page_save"
        ({}, "123", "empty"),
        ({"page_save": None}, "123", "empty"),
        ({"page_save": 42}, "123", "empty"),
        ({"page_save": b"123.html"}, "123", "empty"),
        ({"page_save": "   "}, "123", "empty"),
        ({"page_save": "\t\u3000\u2028\x1c"}, "123", "empty"),
        # Windows paths
        ({"page_save": "\\\\server\\share\\123.html"}, "123", "invalid_path"),
        ({"page_save": "C:\\pages\\123.html"}, "123", "invalid_path"),
        ({"page_save": "z:\\123.html"}, "123", "invalid_path"),
        ({"page_save": "pages\\123.html"}, "123", "invalid_path"),
        ({"page_save": " \\\\123.html"}, "123", "invalid_path"),
        # the check name must lie within the parcel number's text
        ({"page_save": "123.html"}, "123", "valid"),
        ({"page_save": "123.html"}, 123, "valid"),
        ({"page_save": "123.json"}, "123", "valid"),
        ({"page_save": "12.html"}, "12345", "valid"),
        ({"page_save": "123.json.html"}, "123", "valid"),
        ({"page_save": ".html"}, "9", "valid"),
        ({"page_save": "1.html23"}, "123", "valid"),
        ({"page_save": ".js.htmlon"}, "7", "valid"),  # ".html" goes first, then ".json"
        ({"page_save": "2.5.html"}, 2.5, "valid"),
        ({"page_save": "pages/123.html"}, "123", "does not match parcel_number"),
        ({"page_save": "C:/123.html"}, "123", "does not match parcel_number"),
        ({"page_save": "123.HTML"}, "123", "does not match parcel_number"),
        ({"page_save": "1234.html"}, "123", "does not match parcel_number"),
        ({"page_save": "\u00e9.html"}, "caf\u00e9", "valid"),
    ],
)
def test_page_save_status(sc, doc, parcel, status):
    before = copy.deepcopy(doc)
    assert sc.is_valid_page_save(doc, parcel) == status
    assert sc.is_valid_page_save(doc=doc, parcel_number=parcel) == status
    assert doc == before


def test_page_save_differential(sc):
    import random

    rng = random.Random(3)
    pieces = ["\\", ":", "C", "z", "\u00e9", ".html", ".json", ".", "h", "1", "12", "/", " ", "\u3000", "\t"]
    for _ in range(20_000):
        name = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 6)))
        parcel = rng.choice(["1", "12", "112", 12, 0, "", "C:1", "z.html1", "\u00e91.json"])
        doc = {"page_save": name}
        assert sc.is_valid_page_save(doc, parcel) == oracle(doc, parcel), (name, parcel)


def test_page_save_mapping_and_errors(sc):
    class Mapping:
        def get(self, key):
            return {"page_save": "55.json"}.get(key)

    assert sc.is_valid_page_save(Mapping(), 55) == "valid"
    with pytest.raises(AttributeError):
        sc.is_valid_page_save(["page_save"], "1")

    class BadText:
        def __str__(self):
            raise LookupError("no text")

    with pytest.raises(LookupError, match="no text"):
        sc.is_valid_page_save({"page_save": "1.html"}, BadText())
    # a non-str "page_save" is decided before the parcel number's text is taken
    assert sc.is_valid_page_save({"page_save": 1}, BadText()) == "empty"
    with pytest.raises(TypeError):
        sc.is_valid_page_save({"page_save": "1.html"})
    with pytest.raises(TypeError):
        sc.is_valid_page_save({}, 1, 2)


def test_page_save_str_subclass_uses_its_methods(sc):
    class Name(str):
        def strip(self):
            return ""

    assert sc.is_valid_page_save({"page_save": Name("123.html")}, "123") == "empty"


def test_drive_test_goes_through_re_global(sc, monkeypatch):
    calls = []

    def match(pattern, text):
        calls.append((pattern, text))
        return None

    monkeypatch.setattr(sc, "re", types.SimpleNamespace(match=match))
    assert sc.is_valid_page_save({"page_save": "C:\\x"}, "1") == "invalid_path"  # the third test
    assert sc.is_valid_page_save({"page_save": "\\\\x"}, "1") == "invalid_path"  # decided before re
    assert sc.is_valid_page_save({"page_save": "1.html"}, "1") == "valid"
    assert calls == [("^[A-Za-z]:\\\\", "C:\\x"), ("^[A-Za-z]:\\\\", "1.html")]
    assert re.match(calls[0][0], "C:\\x")  # the pattern means a drive prefix

    monkeypatch.setattr(sc, "re", types.SimpleNamespace(match=lambda p, t: True))
    assert sc.is_valid_page_save({"page_save": "1.html"}, "1") == "invalid_path"
    monkeypatch.delattr(sc, "re")
    with pytest.raises(NameError, match="name 're' is not defined"):
        sc.is_valid_page_save({"page_save": "1.html"}, "1")


def test_page_save_no_growth(sc):
    doc = {"page_save": "0123-456.html"}
    assert rss_growth(lambda: sc.is_valid_page_save(doc, "0123-456"), rounds=5, calls=20_000) < 2 * 1024 * 1024
    bad = {"page_save": "a\\b"}
    assert rss_growth(lambda: sc.is_valid_page_save(bad, 1234), rounds=3, calls=20_000) < 2 * 1024 * 1024


# ---------------------------------------------------------------------------
# InsertItem
# ---------------------------------------------------------------------------


@pytest.fixture
def cleaning(sc):
    """The module's own clean_data, which InsertItem reaches through the global."""
    return sc.clean_data


@pytest.fixture
def coll(database, collection_name):
    yield database[collection_name]
    database.drop_collection(collection_name)


def lines(capsys):
    return capsys.readouterr().out.splitlines()


def record(parcel="P-100", **extra):
    return {
        "parcel_number": parcel,
        "name": "  <b>Main</b> &amp; Co\n",
        "tags": ["x", " ", "<i>y</i>"],
        "value": 12.5,
        "page_save": f"{parcel}.html",
        **extra,
    }


NO_DATA = "{'status': 'error', 'message': 'InsertItem: No data provided.'}"
MISSING = "{'status': 'error', 'message': \"Missing required parameters: 'retry' or 'parcel_number' or 'table_name'\"}"
INSERTED = "\u2705 Successfully inserted document"
DUPLICATE = "Duplicate key error: Document already exists."


def test_stored_document(sc, cleaning, coll, capsys):
    rec = record()
    before = copy.deepcopy(rec)
    start = dt.datetime.now().replace(microsecond=0)
    assert sc.InsertItem(rec, 2, "P-100", coll.name) is None
    end = dt.datetime.now()
    assert lines(capsys) == [INSERTED]
    assert rec == before  # the caller's dict: no "_id", "datetime" or "retry"

    docs = list(coll.find())
    assert len(docs) == 1
    doc = docs[0]
    cleaned = cleaning(before)
    assert list(doc) == ["_id", *cleaned, "datetime", "retry"]
    assert doc["_id"] == hashlib.md5(json.dumps(cleaned, sort_keys=True).encode()).hexdigest()
    assert {k: doc[k] for k in cleaned} == cleaned
    assert doc["name"] == "Main & Co" and doc["tags"] == ["x", "y"]
    assert doc["retry"] == "2"
    stamp = dt.datetime.strptime(doc["datetime"], "%Y-%m-%d %H:%M:%S")
    assert start <= stamp <= end


@pytest.mark.parametrize(
    "args, kwargs, stored_retry",
    [
        ((0,), {}, "0"),
        ((), {}, "None"),
        (("3",), {}, "3"),
    ],
)
def test_retry_text(sc, cleaning, coll, capsys, args, kwargs, stored_retry):
    rec = record()
    if args:
        sc.InsertItem(rec, *args, parcel_number="P-100", table_name=coll.name)
    else:
        sc.InsertItem(data=rec, parcel_number="P-100", table_name=coll.name)
    assert lines(capsys) == [INSERTED]
    assert coll.find_one()["retry"] == stored_retry


@pytest.mark.parametrize("error", [ValueError, KeyboardInterrupt])
def test_retry_without_text_keeps_its_value(sc, cleaning, coll, capsys, error):
    class Attempts(int):
        def __str__(self):
            raise error("no text")

    sc.InsertItem(record(), Attempts(4), "P-100", coll.name)
    assert lines(capsys) == [INSERTED]
    assert coll.find_one()["retry"] == 4


@pytest.mark.parametrize(
    "args, printed",
    [
        ((), [NO_DATA]),
        (({}, 1, "P-100", "t"), [NO_DATA]),
        ((None, 1, "P-100", "t"), [NO_DATA]),
        (("REC", 1, None, "TABLE"), [MISSING]),
        (("REC", 1, "P-100", None), []),
        (("REC", 1, "P-100", ""), []),
        (("REC", 1, "", "TABLE"), []),
        (("REC", 1, 0, "TABLE"), []),
        (("REC", "", "P-100", "TABLE"), []),
        (([record()], 1, "P-100", "TABLE"), ["InsertItem: Data is not a dictionary. Skipping."]),
        (({"name": "x"}, 1, "P-100", "TABLE"), ["InsertItem: 'page_save' is missing or Wrong Key. Skipping."]),
        (({"page_save": "   "}, 1, "P-100", "TABLE"), ["InsertItem: 'page_save' is missing or Wrong Key. Skipping."]),
        (
            ({"page_save": "999.html"}, 1, 100, "TABLE"),
            ["[ERROR] page_save does not match parcel_number '100' or has an invalid extension"],
        ),
        (
            ({"page_save": "C:\\P-100.html"}, 1, "P-100", "TABLE"),
            ["page_save contains an invalid file path (UNC or drive letter not allowed)"],
        ),
    ],
)
def test_not_stored(sc, cleaning, coll, capsys, args, printed):
    args = tuple(record() if a == "REC" else coll.name if a == "TABLE" else a for a in args)
    assert sc.InsertItem(*args) is None
    assert lines(capsys) == printed
    assert coll.count_documents({}) == 0


@pytest.mark.parametrize(
    "status, printed",
    [
        ("missing parcel_number", "[ERROR] parcel_number is missing"),
        ("something else", "Unrecognized status Please check logic or data."),
        (None, "Unrecognized status Please check logic or data."),
    ],
)
def test_status_from_rebound_validator(sc, cleaning, coll, capsys, monkeypatch, status, printed):
    seen = []
    monkeypatch.setattr(sc, "is_valid_page_save", lambda d, p: seen.append((d, p)) or status)
    rec = record()
    sc.InsertItem(rec, 1, "P-100", coll.name)
    assert lines(capsys) == [printed]
    assert seen == [(rec, "P-100")] and seen[0][0] is rec
    assert coll.count_documents({}) == 0


def test_same_content_twice_is_a_duplicate(sc, cleaning, coll, capsys):
    sc.InsertItem(record(), 1, "P-100", coll.name)
    sc.InsertItem(record(), 2, "P-100", coll.name)  # another retry count: same key
    assert lines(capsys) == [INSERTED, DUPLICATE]
    assert coll.count_documents({}) == 1
    assert coll.find_one()["retry"] == "1"


def test_markup_difference_collides(sc, cleaning, coll, capsys):
    a = {"name": "<b>x</b>", "page_save": "P-1.html"}
    b = {"name": "x ", "page_save": "P-1.html"}
    assert cleaning(a) == cleaning(b)
    sc.InsertItem(a, 1, "P-1", coll.name)
    sc.InsertItem(b, 1, "P-1", coll.name)
    assert lines(capsys) == [INSERTED, DUPLICATE]
    assert coll.count_documents({}) == 1


def test_concurrent_inserts_store_one(sc, cleaning, coll, capsys):
    barrier = threading.Barrier(8)
    errors = []

    def worker():
        try:
            barrier.wait()
            sc.InsertItem(record(), 1, "P-100", coll.name)
        except Exception as e:  # noqa: BLE001
            errors.append(e)

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    out = lines(capsys)
    assert sorted(out) == sorted([INSERTED] + [DUPLICATE] * 7)
    assert coll.count_documents({}) == 1


class _Interrupting:
    @staticmethod
    def now():
        raise KeyboardInterrupt


@pytest.mark.parametrize("clock", [object(), _Interrupting])  # no now(); now() interrupted
def test_time_stamp_failure_is_silent(sc, cleaning, coll, capsys, monkeypatch, clock):
    monkeypatch.setattr(sc, "datetime", clock)
    sc.InsertItem(record(), 1, "P-100", coll.name)
    assert lines(capsys) == [INSERTED]
    doc = coll.find_one()
    assert "datetime" not in doc and "retry" not in doc


def test_duplicate_guard_uses_the_global(sc, cleaning, coll, capsys, monkeypatch):
    sc.InsertItem(record(), 1, "P-100", coll.name)
    monkeypatch.setattr(sc, "DuplicateKeyError", KeyError)
    with pytest.raises(pymongo.errors.DuplicateKeyError):
        sc.InsertItem(record(), 1, "P-100", coll.name)
    monkeypatch.delattr(sc, "DuplicateKeyError")
    with pytest.raises(NameError, match="DuplicateKeyError") as info:
        sc.InsertItem(record(), 1, "P-100", coll.name)
    assert isinstance(info.value.__context__, pymongo.errors.DuplicateKeyError)
    assert lines(capsys) == [INSERTED]


def test_errors_reach_the_caller(sc, cleaning, coll, monkeypatch, capsys):
    with pytest.raises(pymongo.errors.InvalidName):
        sc.InsertItem(record(), 1, "P-100", "bad$name")
    with pytest.raises(TypeError, match="not JSON serializable"):
        sc.InsertItem(record(when=dt.date(2024, 1, 1)), 1, "P-100", coll.name)
    monkeypatch.delattr(sc, "db")
    with pytest.raises(NameError, match="name 'db' is not defined"):
        sc.InsertItem(record(), 1, "P-100", coll.name)
    assert lines(capsys) == []
    assert coll.count_documents({}) == 0


def test_rebound_cleaning_and_hash_are_used(sc, cleaning, coll, capsys, monkeypatch):
    monkeypatch.setattr(sc, "clean_data", lambda d: {"only": "this"})
    monkeypatch.setattr(sc, "doc_hash", lambda d: "key-" + d["only"])
    sc.InsertItem(record(), 1, "P-100", coll.name)
    assert lines(capsys) == [INSERTED]
    doc = coll.find_one()
    assert doc["_id"] == "key-this" and doc["only"] == "this"


def test_insert_item_argument_count(sc):
    with pytest.raises(TypeError):
        sc.InsertItem(1, 2, 3, 4, 5)


def test_insert_item_no_growth(sc, cleaning, coll):
    sc.InsertItem(record(), 1, "P-100", coll.name)
    with open(os.devnull, "w") as sink:
        import contextlib

        with contextlib.redirect_stdout(sink):
            growth = rss_growth(lambda: sc.InsertItem(record(), 1, "P-100", coll.name), rounds=3, calls=300)
            invalid = rss_growth(
                lambda: sc.InsertItem({"page_save": "a\\b"}, 1, "P-100", coll.name), rounds=3, calls=20_000
            )
    assert growth < 2 * 1024 * 1024
    assert invalid < 2 * 1024 * 1024
    assert coll.count_documents({}) == 1
