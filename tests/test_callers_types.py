"""Objects of the caller's own types wherever the functions accept any object:
mappings whose items() or get raise, objects whose __str__, __format__,
__len__, __bool__, __eq__, __hash__ or __int__ raise or answer with the wrong
type, huge and deeply nested documents. Every call must end as interpreted
code would (the same result, the same exception with the same text), and the
raising paths must keep no references and no memory."""

from __future__ import annotations

import gc
import hashlib
import json
import sys

import pymongo
import pytest

from support import rss_growth
from devtools.twins.cleaning import clean_data as clean_oracle
from devtools.twins.page_save import is_valid_page_save as page_save_twin


class Boom(Exception):
    """An ordinary error raised by a caller's method."""


class Halt(BaseException):
    """An error outside Exception (as KeyboardInterrupt is)."""


def raising(exc=Boom):
    def method(self, *args):
        raise exc(f"{type(self).__name__} refused")

    return method


def returning(value):
    return lambda self, *args: value


def odd(base=object, value=None, **methods):
    """An instance of a fresh subclass of `base` with the given methods."""
    cls = type("Odd" + "".join(m.strip("_").title() for m in methods), (base,), methods)
    return cls() if value is None else cls(value)


def outcome(fn, *args, **kwargs):
    """("ok", result) or (exception class, text); the exception is dropped at once."""
    try:
        return "ok", fn(*args, **kwargs)
    except BaseException as e:  # noqa: B902 - Halt is part of what is compared
        return type(e), str(e)


def hash_twin(doc):
    return hashlib.md5(json.dumps(doc, sort_keys=True).encode()).hexdigest()


class Pairs:
    """A mapping of the caller's own: items() gives `pairs` (called to make them)."""

    def __init__(self, make):
        self.make = make

    def items(self):
        return self.make()


def pairs_then(exc, *pairs):
    def gen():
        yield from pairs
        raise exc("items() broke off")

    return gen


class Getter:
    def __init__(self, get):
        self.get = get


def same_hash(value, eq):
    """Keys that all hash alike and compare with `eq`."""
    return odd(__hash__=returning(7), __eq__=eq, __repr__=returning(f"key{value}"))


# ---------------------------------------------------------------------------
# clean_data and doc_hash, against their interpreted twins
# ---------------------------------------------------------------------------

CLEAN_CASES = {
    "items raises": lambda: odd(items=raising()),
    "items raises Halt": lambda: odd(items=raising(Halt)),
    "items not callable": lambda: odd(items=5),
    "items gives non-iterable": lambda: Pairs(lambda: 42),
    "items stops with error": lambda: Pairs(pairs_then(Boom, ("a", "<b>x</b>"), ("b", 1))),
    "items stops with Halt": lambda: Pairs(pairs_then(Halt, ("a", "x"))),
    "pair iterator raises": lambda: Pairs(lambda: [odd(__iter__=raising())]),
    "pair of three": lambda: Pairs(lambda: [("a", 1, 2)]),
    "pair is an int": lambda: Pairs(lambda: [5]),
    "key hash raises": lambda: Pairs(lambda: [(odd(__hash__=raising()), 1)]),
    "key hash wrong type": lambda: Pairs(lambda: [(odd(__hash__=returning("h")), 1)]),
    "key eq raises on collision": lambda: Pairs(lambda: [(same_hash(1, raising()), 1), (same_hash(2, raising()), 2)]),
    "key eq returns raising bool": lambda: Pairs(
        lambda: [
            (same_hash(1, returning(odd(__bool__=raising()))), 1),
            (same_hash(2, returning(odd(__bool__=raising()))), 2),
        ]
    ),
    "key eq true merges": lambda: Pairs(
        lambda: [(same_hash(1, returning(True)), " <b>a</b> "), (same_hash(2, returning(True)), "b")]
    ),
    "str key strip raises": lambda: {odd(str, " k ", strip=raising()): 1},
    "str key strip gives int": lambda: {odd(str, " k ", strip=returning(5)): 1},
    "str key strip gives unhashable": lambda: {odd(str, " k ", strip=returning([])): 1},
    "str value with raising str and format": lambda: {
        "k": odd(str, "<i>v</i>", __str__=raising(), __format__=raising())
    },
    "list item strip raises": lambda: {"k": ["a", odd(str, "b", strip=raising())]},
    "list item strip gives raising bool": lambda: {"k": [odd(str, "b", strip=returning(odd(__bool__=raising())))]},
    "list item strip gives wrong bool": lambda: {"k": [odd(str, "b", strip=returning(odd(__bool__=returning(1))))]},
    "list subclass iter raises": lambda: {"k": odd(list, ["a"], __iter__=raising())},
    "list subclass iter gives non-iterator": lambda: {"k": odd(list, ["a"], __iter__=returning(3))},
    "list subclass len raises": lambda: {"k": odd(list, [" <b>a</b>", 2], __len__=raising())},
    "list of raising objects kept out": lambda: {"k": [odd(__eq__=raising(), __bool__=raising()), " x "]},
    "values left alone": lambda: {
        "k": odd(__str__=raising(), __eq__=raising(), __hash__=raising(), __bool__=raising())
    },
    "dict subclass items raise": lambda: odd(dict, {"a": "b"}, items=raising()),
    "key strip empties the document": lambda: self_emptying_document(),
    "list item strip empties the list": lambda: {"k": self_emptying_list()},
    "list item strip frees the item": lambda: {"k": self_freeing_list()},
    "huge document": lambda: {
        f" k{i} ": (f"<p>v{i} &amp; w</p>" if i % 3 else [f"<i>{i}</i>", " ", i]) for i in range(30_000)
    },
    "huge string": lambda: {"k": "<b>x</b>&nbsp;y \n" * 200_000},
    "deeply nested value kept as is": lambda: {"k": nested_dicts(50_000)},
}


SELF_CHANGING = {
    CLEAN_CASES[name]
    for name in ("key strip empties the document", "list item strip empties the list", "list item strip frees the item")
}


def self_emptying_document():
    doc: dict = {}
    doc[odd(str, " k ", strip=lambda self: doc.clear() or "k")] = "<b>v</b>"
    doc["other"] = "w"
    return doc


def self_emptying_list():
    items: list = []
    items.extend([odd(str, " a ", strip=lambda self: items.clear() or "a"), "<b>b</b>", "c"])
    return items


def self_freeing_list():
    """A list whose first item's strip() replaces the list's contents, so that
    the list no longer holds that item while it is being cleaned."""
    items: list = []

    def strip(self):
        items[:] = ["<i>new</i>"] * 3
        return "kept"

    items.extend([odd(str, "<i>x</i>", strip=strip), "<b>z</b>"])
    return items


def nested_dicts(depth):
    doc: dict = {}
    for _ in range(depth):
        doc = {"a": doc}
    return doc


def nested_lists(depth):
    doc: list = []
    for _ in range(depth):
        doc = [doc]
    return doc


@pytest.mark.parametrize("make", CLEAN_CASES.values(), ids=CLEAN_CASES.keys())
def test_clean_data_as_interpreted(sc, make):
    doc = make()
    if make in SELF_CHANGING:
        assert outcome(sc.clean_data, doc) == outcome(clean_oracle, make())
    else:  # never changed by either, so both read the same objects
        assert outcome(sc.clean_data, doc) == outcome(clean_oracle, doc)


class KeyStr(str):
    """A str key whose comparisons with other keys raise (the sort meets them)."""

    def __lt__(self, other):
        raise Boom("no order")


HASH_CASES = {
    "dict subclass items raise": lambda: odd(dict, {"a": 1}, items=raising()),
    "dict subclass items Halt": lambda: odd(dict, {"a": 1}, items=raising(Halt)),
    "dict subclass items wrong": lambda: odd(dict, {"a": 1}, items=returning(5)),
    "list subclass iter raises": lambda: {"k": odd(list, [1], __iter__=raising())},
    "list subclass len raises": lambda: {"k": odd(list, [1], __len__=raising())},
    "tuple subclass": lambda: {"k": odd(tuple, (1, "\u00e9"))},
    "str subclass raising str": lambda: {"k": odd(str, "v", __str__=raising(), __repr__=raising())},
    "str subclass key": lambda: {odd(str, "k", __str__=raising()): 1, "a": 2},
    "str key with raising order": lambda: {KeyStr("b"): 1, KeyStr("a"): 2},
    "int subclass raising repr": lambda: {"k": odd(int, 5, __repr__=raising(), __int__=raising())},
    "int subclass raising index": lambda: {"k": odd(int, 5, __index__=raising())},
    "float subclass raising repr": lambda: {"k": odd(float, 2.5, __repr__=raising(), __float__=raising())},
    "int subclass key with raising eq": lambda: {odd(int, 3, __eq__=raising(), __hash__=returning(3)): 1},
    "object key with raising order": lambda: {odd(__lt__=raising()): 1, odd(__lt__=raising()): 2},
    "unserialisable with raising repr": lambda: {"k": odd(__repr__=raising(), __str__=raising())},
    "huge int past the digit limit": lambda: {"k": 10**5000},
    "huge document": lambda: {f"k{i:06d}": [i, i / 7, f"\u00e9{i}", None, True] for i in range(60_000)},
    "huge string": lambda: {"k": "\u00e9\U0001f600x\n" * 500_000},
    "nested dicts below the limit": lambda: nested_dicts(sys.getrecursionlimit() // 4),
    "nested dicts at the limit": lambda: nested_dicts(sys.getrecursionlimit()),
    "nested lists far beyond": lambda: nested_lists(100_000),
    "nested dicts far beyond": lambda: nested_dicts(100_000),
    "nested under a subclass": lambda: odd(dict, {"a": nested_lists(100_000)}),
    "circular dict": lambda: circular(),
}


def circular():
    d: dict = {"a": [1]}
    d["a"].append(d)
    return d


@pytest.mark.parametrize("name", HASH_CASES)
def test_doc_hash_as_interpreted(sc, name):
    doc = HASH_CASES[name]()
    got = outcome(sc.doc_hash, doc)
    assert got == outcome(hash_twin, doc)
    if "beyond" in name:
        assert got[0] is RecursionError


@pytest.mark.parametrize("depth", [10_000, 1_000_000])
def test_deep_nesting_reports_recursion_error(sc, depth):
    # 10,000 levels exceed the C recursion limit of 3.12 and 3.13; from 3.14 the
    # limit is the C stack itself, and json encodes them there: as the twin does.
    doc = nested_lists(depth)
    got, want = outcome(sc.doc_hash, doc), outcome(hash_twin, doc)
    assert got[0] == want[0] and (got[0] is RecursionError or got == want)
    if depth > 100_000:
        assert got[0] is RecursionError
    assert sc.doc_hash({"a": 1}) == hash_twin({"a": 1})  # the interpreter carries on


# ---------------------------------------------------------------------------
# is_valid_page_save, against its interpreted twin
# ---------------------------------------------------------------------------

GOOD = {"page_save": "A1234.html"}

PAGE_SAVE_CASES = {
    "parcel bool raises": lambda: (GOOD, odd(__bool__=raising())),
    "parcel bool Halt": lambda: (GOOD, odd(__bool__=raising(Halt))),
    "parcel bool wrong type": lambda: (GOOD, odd(__bool__=returning(1))),
    "parcel len raises": lambda: (GOOD, odd(__len__=raising())),
    "parcel len negative": lambda: (GOOD, odd(__len__=returning(-1))),
    "parcel len wrong type": lambda: (GOOD, odd(__len__=returning("4"))),
    "parcel len huge": lambda: (GOOD, odd(__len__=returning(sys.maxsize + 1))),
    "parcel str raises": lambda: (GOOD, odd(__str__=raising())),
    "parcel str Halt": lambda: (GOOD, odd(__str__=raising(Halt))),
    "parcel str wrong type": lambda: (GOOD, odd(__str__=returning(1234))),
    "parcel str gives subclass": lambda: (GOOD, odd(__str__=returning(odd(str, "xA1234x")))),
    "parcel str subclass contains raises": lambda: (GOOD, odd(str, "A1234", __contains__=raising())),
    "parcel str subclass contains wrong": lambda: (GOOD, odd(str, "B9", __contains__=returning([1]))),
    "parcel str subclass contains raising bool": lambda: (
        GOOD,
        odd(str, "B9", __contains__=returning(odd(__bool__=raising()))),
    ),
    "get raises": lambda: (Getter(raising().__get__(0)), "A1234"),
    "get Halt": lambda: (Getter(raising(Halt).__get__(0)), "A1234"),
    "get missing": lambda: (odd(), "A1234"),
    "get not callable": lambda: (Getter(5), "A1234"),
    "dict subclass get raises": lambda: (odd(dict, GOOD, get=raising()), "A1234"),
    "dict key colliding with page_save raises on eq": lambda: (
        {odd(__hash__=returning(hash("page_save")), __eq__=raising()): 1},
        "A1234",
    ),
    "dict key colliding with page_save equal to it": lambda: (
        {odd(__hash__=returning(hash("page_save")), __eq__=returning(True)): "A1234.html"},
        "A1234",
    ),
    "page_save strip raises": lambda: ({"page_save": odd(str, "A1234.html", strip=raising())}, "A1234"),
    "page_save strip raising bool": lambda: (
        {"page_save": odd(str, "A1234.html", strip=returning(odd(__bool__=raising())))},
        "A1234",
    ),
    "page_save startswith raises": lambda: ({"page_save": odd(str, "A1234.html", startswith=raising())}, "A1234"),
    "page_save startswith wrong": lambda: (
        {"page_save": odd(str, "A1234.html", startswith=returning(odd(__bool__=raising())))},
        "A1234",
    ),
    "page_save contains raises": lambda: ({"page_save": odd(str, "A1234.html", __contains__=raising())}, "A1234"),
    "page_save replace raises": lambda: ({"page_save": odd(str, "A1234.html", replace=raising())}, "A1234"),
    "page_save replace gives int": lambda: ({"page_save": odd(str, "A1234.html", replace=returning(5))}, "A1234"),
    "page_save replace gives list": lambda: ({"page_save": odd(str, "A1234.html", replace=returning([1]))}, "A1234"),
    "page_save huge": lambda: ({"page_save": "A1234" * 400_000 + ".html"}, "A1234"),
    "parcel huge": lambda: (GOOD, "x" * 2_000_000 + "A1234"),
}


@pytest.mark.parametrize("make", PAGE_SAVE_CASES.values(), ids=PAGE_SAVE_CASES.keys())
def test_is_valid_page_save_as_interpreted(sc, make):
    args = make()
    assert outcome(sc.is_valid_page_save, *args) == outcome(page_save_twin, *args)


# ---------------------------------------------------------------------------
# get_input / pl_input: whatever int() raises gives None, silently
# ---------------------------------------------------------------------------

INT_CASES = {
    "int raises": lambda: odd(__int__=raising()),
    "int Halt": lambda: odd(__int__=raising(Halt)),
    "int wrong type": lambda: odd(__int__=returning("5")),
    "int gives float": lambda: odd(__int__=returning(5.0)),
    "index raises": lambda: odd(__index__=raising()),
    "index wrong type": lambda: odd(__index__=returning(2.0)),
    "no int at all": lambda: odd(),
    "str subclass of digits with raising strip": lambda: odd(str, "x3", strip=raising()),
    "huge digit string": lambda: "7" * 5000,
    "huge int": lambda: 10**30,
}


def int_outcome(value):
    got = outcome(int, value)
    return got[0] if got[0] != "ok" else "ok"


@pytest.fixture
def queues(sc, database, collection_name, monkeypatch):
    handles = {}
    for glob in ("col_input", "col_input_pdp"):
        name = f"{collection_name}_{glob}"
        monkeypatch.setattr(sc, glob, sc.db[name])
        handles[glob] = database[name]
        handles[glob].insert_many([{"n": i} for i in range(5)])
    yield handles
    for h in handles.values():
        h.drop()


def reader_twin(col, query, limit, skip):
    """The reader written out: the cursor, or None for anything raised."""
    try:
        limit = int(limit)
        return col.find(query).skip(int(skip)).limit(int(limit))
    except BaseException:
        return None


READERS = [("get_input", "col_input"), ("pl_input", "col_input_pdp")]


@pytest.mark.parametrize("reader, glob", READERS)
@pytest.mark.parametrize("where", ["limit", "skip"])
@pytest.mark.parametrize("make", INT_CASES.values(), ids=INT_CASES.keys())
def test_readers_with_odd_numbers(sc, queues, capsys, reader, glob, where, make):
    value = make()
    args = {"limit": value, "skip": 1} if where == "limit" else {"limit": 2, "skip": value}
    got = outcome(getattr(sc, reader), {}, **args)
    assert got[0] == "ok" and capsys.readouterr().out == ""
    twin = reader_twin(queues[glob], {}, **args)
    if twin is None:
        assert got[1] is None
    else:  # the server judges the numbers when the cursor is iterated
        assert outcome(list, got[1]) == outcome(list, twin)


@pytest.mark.parametrize("reader, glob", READERS)
def test_readers_pass_the_callers_query_to_the_driver(sc, queues, capsys, reader, glob):
    query = odd(dict, {"n": 1}, items=raising(), __iter__=raising(), keys=raising())
    cursor = getattr(sc, reader)(query)
    assert outcome(list, cursor) == outcome(list, queues[glob].find(query))


# ---------------------------------------------------------------------------
# update_input and its siblings: text of key and status through format()
# ---------------------------------------------------------------------------

FORMAT_CASES = {
    "format raises": lambda: odd(__format__=raising()),
    "format wrong type": lambda: odd(__format__=returning(7)),
    "format gives str subclass": lambda: odd(__format__=returning(odd(str, "sub"))),
    "format gives str subclass with raising hash": lambda: odd(
        __format__=returning(odd(str, "sub", __hash__=raising()))
    ),
    "str raises under default format": lambda: odd(__str__=raising()),
    "str wrong type under default format": lambda: odd(__str__=returning(b"x")),
    "str subclass with raising str": lambda: odd(str, "plain", __str__=raising()),
    "str subclass with own format": lambda: odd(str, "plain", __format__=returning("own")),
    "huge text": lambda: "k" * 100_000,
}

UPDATERS = ["update_input", "update_input_many", "update_pl_input", "update_pl_input_many"]


def format_outcome(value):
    got = outcome(format, value, "")
    return got if got[0] != "ok" else ("ok", str.__str__(got[1]))


@pytest.mark.parametrize("fn", UPDATERS)
@pytest.mark.parametrize("where", ["key", "status"])
@pytest.mark.parametrize("make", FORMAT_CASES.values(), ids=FORMAT_CASES.keys())
def test_updates_with_odd_text(sc, queues, capsys, fn, where, make):
    value = make()
    args = {"key": "n", "value": 1, "status": "done"}
    args[where] = value
    interpreted = format_outcome(value)
    assert outcome(getattr(sc, fn), **args) == ("ok", None)
    out = capsys.readouterr().out
    if interpreted[0] != "ok":
        assert out == interpreted[1] + "\n"
        return
    # The same update written out, on an independent handle: its error, if
    # the server refuses it (a huge field name), is the line printed.
    coll = queues["col_input_pdp" if "_pl_" in fn else "col_input"]
    text = format(value, "")  # as an f-string field gives it, str subclasses included
    key, status = (text, "done") if where == "key" else ("n", text)
    method = getattr(coll, "update_many" if fn.endswith("_many") else "update_one")
    twin = outcome(lambda: method({key: 1}, {"$set": {"status": status}}))
    assert out == ("" if twin[0] == "ok" else twin[1] + "\n")
    if where == "status":
        assert coll.find_one({"n": 1})["status"] == interpreted[1]


@pytest.mark.parametrize("fn", UPDATERS)
@pytest.mark.parametrize("where", ["key", "status"])
def test_updates_let_base_exceptions_through(sc, queues, capsys, fn, where):
    args = {"key": "n", "value": 1, "status": "done", where: odd(__format__=raising(Halt))}
    with pytest.raises(Halt):
        getattr(sc, fn)(**args)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("fn", UPDATERS)
def test_updates_with_unencodable_value_print_the_driver_error(sc, queues, capsys, fn):
    value = odd(__eq__=raising(), __hash__=raising())
    assert getattr(sc, fn)("n", value, "x") is None
    twin = outcome(queues["col_input"].update_one, {"n": value}, {"$set": {"status": "x"}})
    assert twin[0] != "ok"
    assert capsys.readouterr().out == twin[1] + "\n"


# ---------------------------------------------------------------------------
# InsertItem: the caller's errors reach the caller, nothing is stored
# ---------------------------------------------------------------------------


def item(parcel="A1234", **extra):
    return {"parcel_number": parcel, "name": "<b>x</b>", "page_save": f"{parcel}.html", **extra}


INSERT_RAISES = {
    "data bool raises": lambda t: ((odd(dict, item(), __len__=raising()), 1, "A1234", t), Boom),
    "data bool Halt": lambda t: ((odd(dict, item(), __len__=raising(Halt)), 1, "A1234", t), Halt),
    "data object bool raises": lambda t: ((odd(__bool__=raising()), 1, "A1234", t), Boom),
    "retry and its bool raise": lambda t: ((item(), odd(__str__=raising(), __bool__=raising()), "A1234", t), Boom),
    "parcel bool raises": lambda t: ((item(), 1, odd(__bool__=raising()), t), Boom),
    "table bool raises": lambda t: ((item(), 1, "A1234", odd(__bool__=raising())), Boom),
    "dict subclass get raises": lambda t: ((odd(dict, item(), get=raising()), 1, "A1234", t), Boom),
    "dict subclass items raise": lambda t: ((odd(dict, item(), items=raising()), 1, "A1234", t), Boom),
    "parcel str raises": lambda t: ((item(), 1, odd(__str__=raising()), t), Boom),
    "value unserialisable": lambda t: ((item(when=odd()), 1, "A1234", t), TypeError),
    "nested beyond the recursion limit": lambda t: ((item(deep=nested_dicts(100_000)), 1, "A1234", t), RecursionError),
    # hashed, then refused by the database (nesting deeper than it stores)
    "nested near the recursion limit": lambda t: (
        (item(deep=nested_dicts(sys.getrecursionlimit() - 60)), 1, "A1234", t),
        pymongo.errors.PyMongoError,
    ),
    "table name not a str": lambda t: ((item(), 1, "A1234", 12345), TypeError),
    "table name str subclass raising": lambda t: (
        (item(), 1, "A1234", odd(str, t, __str__=raising(), __hash__=raising())),
        None,
    ),
}


@pytest.fixture
def table(database, collection_name):
    yield collection_name
    database.drop_collection(collection_name)


@pytest.mark.parametrize("make", INSERT_RAISES.values(), ids=INSERT_RAISES.keys())
def test_insert_item_lets_the_callers_errors_through(sc, database, table, capsys, make):
    args, exc = make(table)
    got = outcome(sc.InsertItem, *args)
    if exc is None:  # the driver decides; either way the call ends as Python's would
        assert got[0] == "ok" or issubclass(got[0], Exception)
    else:
        assert got[0] != "ok" and issubclass(got[0], exc), got
    if got[0] != "ok":
        assert database[table].count_documents({}) == 0


@pytest.mark.parametrize(
    "retry, stored",
    [
        (odd(__str__=raising(), __bool__=returning(True)), None),  # value kept, bson refuses it
        (odd(__str__=returning(5)), None),
        (odd(__str__=returning(odd(str, "3"))), "3"),
    ],
)
def test_insert_item_retry_text(sc, database, table, capsys, retry, stored):
    got = outcome(sc.InsertItem, item(), retry, "A1234", table)
    docs = list(database[table].find())
    if stored is None:
        assert got[0] != "ok" and issubclass(got[0], Exception)
        assert docs == []
    else:
        assert got == ("ok", None)
        assert [d["retry"] for d in docs] == [stored]


def test_insert_item_huge_record(sc, database, table, capsys):
    rec = item(**{f"f{i}": f"<p>{i}</p>" for i in range(20_000)})
    assert sc.InsertItem(rec, 1, "A1234", table) is None
    assert capsys.readouterr().out == "\u2705 Successfully inserted document\n"
    doc = database[table].find_one()
    assert doc["f19999"] == "19999" and len(doc) == len(rec) + 3


# ---------------------------------------------------------------------------
# fetch_response: argument objects of the caller's own types
# ---------------------------------------------------------------------------

FETCH_RAISES = {
    "parcel bool raises": lambda: (dict(parcel_number=odd(__bool__=raising())), Boom),
    "parcel bool Halt": lambda: (dict(parcel_number=odd(__bool__=raising(Halt))), Halt),
    "parcel len raises": lambda: (dict(parcel_number=odd(__len__=raising())), Boom),
    "parcel len wrong type": lambda: (
        dict(parcel_number=odd(__bool__=returning(True), __len__=returning("5"))),
        TypeError,
    ),
    "parcel len negative": lambda: (
        dict(parcel_number=odd(__bool__=returning(True), __len__=returning(-5))),
        ValueError,
    ),
    "parcel len huge": lambda: (dict(parcel_number=odd(__len__=returning(sys.maxsize + 1))), OverflowError),
    "url bool raises": lambda: (dict(parcel_number="A1234", url=odd(__bool__=raising())), Boom),
    "parcel str raises": lambda: (dict(parcel_number=odd(str, "A1234", __str__=raising()), url="u"), Boom),
    "parcel str wrong type": lambda: (
        dict(parcel_number=odd(__len__=returning(5), __str__=returning(5)), url="u"),
        TypeError,
    ),
    "parcel format Halt": lambda: (dict(parcel_number=odd(str, "A1234", __format__=raising(Halt)), url="u"), Halt),
    "headers truth raises": lambda: (
        dict(parcel_number="A1234", url="http://127.0.0.1:9/", headers=odd(dict, {"a": "b"}, __len__=raising())),
        Boom,
    ),
    "proxy bool raises": lambda: (
        dict(parcel_number="A1234", url="http://127.0.0.1:9/", proxy=odd(__bool__=raising())),
        Boom,
    ),
    "proxy dict subclass contains raises": lambda: (
        dict(parcel_number="A1234", url="http://127.0.0.1:9/", proxy=odd(dict, {"http": 1}, __contains__=raising())),
        Boom,
    ),
}


@pytest.mark.parametrize("make", FETCH_RAISES.values(), ids=FETCH_RAISES.keys())
def test_fetch_response_lets_the_callers_errors_through(sc, tmp_path, make):
    kwargs, exc = make()
    got = outcome(sc.fetch_response, pagesave_path=str(tmp_path / "store"), **kwargs)
    assert got[0] is exc, got


@pytest.mark.parametrize(
    "parcel, expected",
    [
        (odd(__len__=returning(2)), ("ok", ("parcel_number is wrong", None))),
        (odd(__len__=returning(9)), ("ok", None)),
        (odd(__bool__=returning(False), __len__=raising()), (Boom, "OddBoolLen refused")),
    ],
    ids=["short", "long without url", "false with raising len"],
)
def test_fetch_response_reports_with_odd_lengths(sc, tmp_path, parcel, expected):
    got = outcome(sc.fetch_response, url="", parcel_number=parcel, pagesave_path=str(tmp_path / "store"))
    assert got == outcome(fetch_report_twin, parcel, "") == expected


def fetch_report_twin(parcel, url):
    if parcel and len(parcel) >= 4 and url:
        raise AssertionError("accepted")
    if parcel is None:
        return ("Please pass a parcel_number in request", None)
    if len(parcel) >= 4:
        return ("error: url not provided", None) if url is None else None
    return ("parcel_number is wrong", None)


@pytest.mark.parametrize("fmt, exc", [(raising(), Boom), (returning(5), TypeError)])
def test_fetch_response_saved_page_text_errors_are_returned(sc, tmp_path, fmt, exc):
    # The saved page is found by the checked text, str(); the printed line
    # takes the caller's __format__, whose error is that of reading the page.
    parcel = odd(str, "A1234", __format__=fmt)
    store = tmp_path / "store"
    store.mkdir()
    (store / "A1234.html").write_text("<p>saved</p>")
    first, second = sc.fetch_response(url="http://127.0.0.1:9/", parcel_number=parcel, pagesave_path=str(store))
    assert first is None and type(second) is exc
    assert [p.name for p in store.iterdir()] == ["A1234.html"]


def test_fetch_response_store_path_errors_are_returned(sc, tmp_path):
    store = odd(__fspath__=raising())
    first, second = sc.fetch_response(url="http://127.0.0.1:9/", parcel_number="A1234", pagesave_path=store)
    assert type(first) is Boom and second == "0"


# ---------------------------------------------------------------------------
# Exports: file names and directories of the caller's own types
# ---------------------------------------------------------------------------

EXPORTS = ["export_mongo_to_csv", "export_mongo_to_excel"]
FOLDER_NOT_CREATED = "{'status': 'error', 'message': 'Folder not created'}\n"


@pytest.fixture
def filled(database, collection_name):
    database[collection_name].insert_many([{"name": "a"}, {"name": "b"}])
    yield collection_name
    database.drop_collection(collection_name)


@pytest.mark.parametrize("fn", EXPORTS)
@pytest.mark.parametrize(
    "filename, exc",
    [
        (odd(__bool__=raising()), Boom),
        (odd(__bool__=raising(Halt)), Halt),
        (odd(__format__=raising()), Boom),
        (odd(__format__=returning(5)), TypeError),
        (odd(__str__=raising()), Boom),
    ],
    ids=["bool raises", "bool Halt", "format raises", "format wrong type", "str raises"],
)
def test_export_file_name_errors_reach_the_caller(sc, tmp_path, filled, capsys, fn, filename, exc):
    got = outcome(getattr(sc, fn), filename, filled, str(tmp_path / "out"))
    assert got[0] is exc
    assert not list((tmp_path / "out").glob("*")) if (tmp_path / "out").exists() else True


@pytest.mark.parametrize("fn", EXPORTS)
@pytest.mark.parametrize(
    "directory, printed, exc",
    [
        (odd(__fspath__=raising()), FOLDER_NOT_CREATED, None),
        (odd(__fspath__=returning(5)), FOLDER_NOT_CREATED, None),
        (odd(__fspath__=raising(Halt)), "", Halt),
    ],
    ids=["fspath raises", "fspath wrong type", "fspath Halt"],
)
def test_export_directory_of_odd_type(sc, filled, capsys, fn, directory, printed, exc):
    got = outcome(getattr(sc, fn), "f", filled, directory)
    assert got[0] == ("ok" if exc is None else exc)
    assert capsys.readouterr().out == printed


@pytest.mark.parametrize(
    "window",
    [
        {"skip": odd(__bool__=raising())},
        {"limit": odd(__bool__=raising())},
        {"skip": odd(__index__=returning(1), __bool__=returning(True))},
    ],
)
def test_excel_window_of_odd_type(sc, tmp_path, filled, capsys, window):
    got = outcome(sc.export_mongo_to_excel, "f", filled, str(tmp_path), **window)
    assert got[0] != "ok" and issubclass(got[0], Exception)
    assert not (tmp_path / "f.xlsx").exists()


# ---------------------------------------------------------------------------
# References and memory on the raising paths
# ---------------------------------------------------------------------------

HEAVY = ("huge", "beyond", "at the limit", "deeply", "nested under")


def raising_calls(sc, tmp_path):
    """(function, argument factory) for every case above that needs no database
    round trip and is small enough to repeat many times."""
    store = str(tmp_path / "leak-store")
    tables = [
        (CLEAN_CASES, sc.clean_data),
        (HASH_CASES, sc.doc_hash),
        (PAGE_SAVE_CASES, lambda args: sc.is_valid_page_save(*args)),
        (FETCH_RAISES, lambda kw: sc.fetch_response(pagesave_path=store, **kw[0])),
        (INT_CASES, lambda v: sc.get_input({}, v)),
    ]
    return [
        (fn, make) for cases, fn in tables for name, make in cases.items() if not any(word in name for word in HEAVY)
    ]


def test_raising_paths_keep_no_references(sc, tmp_path):
    calls = raising_calls(sc, tmp_path)
    assert len(calls) > 80
    gc.collect()
    for fn, make in calls:
        arg = make()
        outcome(fn, arg)  # warm any caches
        before = sys.getrefcount(arg), sys.getrefcount(type(arg))
        for _ in range(3):
            outcome(fn, arg)
        assert (sys.getrefcount(arg), sys.getrefcount(type(arg))) == before, outcome(fn, arg)


def test_raising_paths_do_not_grow(sc, tmp_path, capsys):
    calls = [(fn, make()) for fn, make in raising_calls(sc, tmp_path)]

    def once():
        for fn, arg in calls:
            outcome(fn, arg)

    growth = rss_growth(once, rounds=4, calls=150)
    capsys.readouterr()
    assert growth < 3 * 1024 * 1024
