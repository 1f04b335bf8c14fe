"""Fuzz target: doc_hash against md5 of json.dumps(doc, sort_keys=True)
(the hash, or the error by type and text)."""

from __future__ import annotations

import contextlib
import hashlib
import json
import os
import sys

import atheris

# Without the native coverage of the clang build, coverage of the input builders
# guides the fuzzer; with it, their instrumentation only slows every input down.
PYTHON_ONLY = not os.environ.get("NEXRA_FUZZ_BUILD")
with atheris.instrument_imports(include=["harness"]) if PYTHON_ONLY else contextlib.nullcontext():
    import harness


def oracle(doc):
    return hashlib.md5(json.dumps(doc, sort_keys=True).encode()).hexdigest()


sc = harness.load_scrape_common()


def document(data: bytes):
    if not harness.structured(data):
        try:
            return json.loads(harness.text_of(data[1:]))
        except (ValueError, RecursionError):
            pass
    fdp = atheris.FuzzedDataProvider(data[1:])
    if fdp.ConsumeIntInRange(0, 7) == 0:
        return harness.fuzz_json_value(fdp)
    return harness.fuzz_json_dict(fdp)


def test_one_input(data: bytes):
    doc = document(data)
    native = harness.outcome(sc.doc_hash, doc)
    expected = harness.outcome(oracle, doc)
    if native != expected:
        harness.differ("doc_hash", doc, native, expected)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
