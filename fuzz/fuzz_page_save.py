"""Fuzz target: is_valid_page_save against the plain-Python rules in
devtools/twins/page_save.py (the status, or the error by type and text)."""

from __future__ import annotations

import collections
import os
import sys

import atheris

# Coverage of the oracle guides the fuzzer too; that of the input builders only
# without the native coverage of the clang build, as it slows every input down.
PYTHON_ONLY = not os.environ.get("NEXRA_FUZZ_BUILD")
with atheris.instrument_imports(include=["devtools.twins.page_save"] + ["harness"] * PYTHON_ONLY):
    import harness
    from devtools.twins.page_save import is_valid_page_save as oracle
from harness import PAGE_PIECES, StripsToNothing, Text, fuzz_int, fuzz_float, fuzz_text

sc = harness.load_scrape_common()


class Mapping:
    """An item that is only a `get` method."""

    def __init__(self, value):
        self.value = value

    def get(self, key):
        return self.value if key == "page_save" else None

    def __repr__(self):
        return f"Mapping({self.value!r})"


class NoText:
    def __str__(self):
        raise LookupError("no text for this parcel")


class NoTruth:
    def __bool__(self):
        raise ArithmeticError("no truth value")


def fuzz_page_save(fdp):
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind <= 6:
        return fuzz_text(fdp, PAGE_PIECES, 8)
    if kind == 7:
        return Text(fuzz_text(fdp, PAGE_PIECES, 6))
    if kind == 8:
        return StripsToNothing(fuzz_text(fdp, PAGE_PIECES, 4))
    return fdp.PickValueInList([None, 42, 0, b"1.html", 1.5, ["1.html"], "", " "])


def fuzz_parcel(fdp):
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind <= 4:
        return fuzz_text(fdp, PAGE_PIECES, 6)
    if kind <= 6:
        return fuzz_int(fdp)
    if kind == 7:
        return fuzz_float(fdp)
    if kind == 8:
        return Text(fuzz_text(fdp, PAGE_PIECES, 4))
    return fdp.PickValueInList([None, "", 0, True, False, [1], (1, 2), b"12", NoText(), NoTruth(), 0.0, [], {"1": 2}])


def arguments(data: bytes):
    if not harness.structured(data):
        # "page_save" and the parcel number on two lines; a parcel number of
        # digits only is taken as an int when the first byte says so.
        name, _, parcel = harness.text_of(data[1:]).partition("\n")
        if data[:1] and data[0] & 2 and parcel.isascii() and parcel.isdigit() and len(parcel) < 4000:
            parcel = int(parcel)
        return {"page_save": name}, parcel
    fdp = atheris.FuzzedDataProvider(data[1:])
    page_save = fuzz_page_save(fdp)
    parcel = fuzz_parcel(fdp)
    shape = fdp.ConsumeIntInRange(0, 15)
    if shape <= 10:
        doc = {"page_save": page_save, "k": 1}
    elif shape == 11:
        doc = {}
    elif shape == 12:
        doc = collections.OrderedDict(page_save=page_save)
    elif shape == 13:
        doc = Mapping(page_save)
    else:
        doc = fdp.PickValueInList([["page_save"], None, "page_save"])
    return doc, parcel


def test_one_input(data: bytes):
    doc, parcel = arguments(data)
    native = harness.outcome(sc.is_valid_page_save, doc, parcel)
    expected = harness.outcome(oracle, doc, parcel)
    if native != expected:
        harness.differ("is_valid_page_save", (doc, parcel), native, expected)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
