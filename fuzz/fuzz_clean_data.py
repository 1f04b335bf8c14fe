"""Fuzz target: clean_data against the plain-Python rules in
devtools/twins/cleaning.py (results, key order, untouched values kept as
the same objects, and errors by type and text)."""

from __future__ import annotations

import os
import sys

import atheris

# Coverage of the oracle guides the fuzzer too; that of the input builders only
# without the native coverage of the clang build, as it slows every input down.
PYTHON_ONLY = not os.environ.get("NEXRA_FUZZ_BUILD")
with atheris.instrument_imports(include=["devtools.twins.cleaning"] + ["harness"] * PYTHON_ONLY):
    import harness
    from devtools.twins.cleaning import clean_data as oracle
from harness import HTML_PIECES, Text, fuzz_int, fuzz_text

sc = harness.load_scrape_common()


class Items:
    """A document that is only an `items()` method, with pairs of any shape."""

    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return self.pairs

    def __repr__(self):
        return f"Items({self.pairs!r})"


def fuzz_key(fdp):
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind <= 4:
        return fuzz_text(fdp, [" ", "\t", "\u3000", "k", "K", "a", "\u00a0", "\u200b"], 4)
    if kind == 5:
        return fdp.ConsumeIntInRange(-1, 5)
    if kind == 6:
        return (fdp.ConsumeIntInRange(0, 2),)
    return Text(fuzz_text(fdp, [" ", "k"], 3))


def fuzz_item(fdp):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 5:
        return fuzz_text(fdp, HTML_PIECES)
    if kind == 6:
        return Text(fuzz_text(fdp, HTML_PIECES, 6))
    return fdp.PickValueInList([None, 3, 2.5, [fuzz_text(fdp, HTML_PIECES, 4)], {"a": "<b>"}, " ", "\u3000", ""])


def fuzz_value(fdp):
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind <= 5:
        return fuzz_text(fdp, HTML_PIECES, 24)
    if kind <= 8:
        return [fuzz_item(fdp) for _ in range(fdp.ConsumeIntInRange(0, 5))]
    if kind == 9:
        return Text(fuzz_text(fdp, HTML_PIECES, 8))
    if kind == 10:
        return fuzz_int(fdp) if fdp.ConsumeBool() else None
    return fdp.PickValueInList([(" <b>x</b> ",), {"k": " <i>y</i> "}, True, 1.5, b"<b>", frozenset(["<p>"])])


def fuzz_pair(fdp):
    kind = fdp.ConsumeIntInRange(0, 15)
    if kind <= 11:
        return (fuzz_key(fdp), fuzz_value(fdp))
    return fdp.PickValueInList(
        [[fuzz_key(fdp), fuzz_value(fdp)], (1,), (1, 2, 3), "ab", "abc", 7, None, ["k", "<b>v</b>"]]
    )


def document(data: bytes):
    if not harness.structured(data):
        text = harness.text_of(data[1:])
        if data[:1] and data[0] & 2 and text:
            # Repeated past 16 KB: the first pass reads texts in pieces of 8192
            # characters, and the seams fall anywhere in the repeated text.
            text *= 16400 // len(text) + 1
        return {"k": text}
    fdp = atheris.FuzzedDataProvider(data[1:])
    shape = fdp.ConsumeIntInRange(0, 15)
    if shape <= 12:
        return {fuzz_key(fdp): fuzz_value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 5))}
    if shape <= 14:
        return Items([fuzz_pair(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))])
    return fdp.PickValueInList([None, [("k", "v")], "text", 5])


def same(native, expected) -> bool:
    if native[0] != "ok" or expected[0] != "ok":
        return native == expected
    got, want = native[1], expected[1]
    if type(got) is not dict or [(type(k), k) for k in got] != [(type(k), k) for k in want]:
        return False
    for key, w in want.items():
        g = got[key]
        if type(g) is not type(w):
            return False
        if type(w) is str or type(w) is list:
            if g != w or (type(w) is list and any(type(i) is not str for i in g)):
                return False
        elif g is not w:  # kept as the very same object
            return False
    return True


def test_one_input(data: bytes):
    doc = document(data)
    native = harness.outcome(sc.clean_data, doc)
    expected = harness.outcome(oracle, doc)
    if not same(native, expected):
        harness.differ("clean_data", doc, native, expected)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
