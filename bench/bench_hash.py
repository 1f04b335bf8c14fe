"""doc_hash against hashlib.md5(json.dumps(doc, sort_keys=True).encode()).hexdigest()."""

from __future__ import annotations

import hashlib
import json
import random
import time


def baseline(doc):
    return hashlib.md5(json.dumps(doc, sort_keys=True).encode()).hexdigest()


WORDS = ["Main", "St", "Springfield", "Parcel", "Owner", "Caf\u00e9", "LLC", "Tax", "Lot", "Unit"]


def value(rng, depth=0):
    """A field of a scraped record: text, numbers, None, booleans, lists and
    nested documents, in about the shares real records have."""
    r = rng.random()
    if r < 0.4:
        return " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 8)))
    if r < 0.55:
        return rng.randint(-(10**6), 10**9)
    if r < 0.65:
        return round(rng.uniform(0, 1e6), rng.choice((1, 2, 6)))
    if r < 0.72:
        return None
    if r < 0.8:
        return rng.random() < 0.5
    if r < 0.9 and depth < 2:
        return [value(rng, depth + 1) for _ in range(rng.randint(0, 4))]
    if depth < 2:
        return {f"{rng.choice(WORDS).lower()}_{i}": value(rng, depth + 1) for i in range(rng.randint(1, 4))}
    return rng.choice(WORDS)


def make_record(rng, fields):
    """A scraped record of mixed value types."""
    rec = {"parcel_number": f"{rng.randrange(10**9):09d}", "page_save": "x.html"}
    for i in range(fields - len(rec)):
        rec[f"field_{i:02d}_{rng.choice(WORDS).lower()}"] = value(rng)
    return rec


def timed(fn, docs, rounds):
    best = float("inf")
    for _ in range(rounds):
        t = time.perf_counter()
        for d in docs:
            fn(d)
        best = min(best, time.perf_counter() - t)
    return best


def run(sc, report, quick):
    rng = random.Random(7)
    count, rounds = (500, 3) if quick else (5000, 5)
    for fields in (10, 20, 30):
        docs = [make_record(rng, fields) for _ in range(count)]
        assert all(sc.doc_hash(d) == baseline(d) for d in docs)
        native = timed(sc.doc_hash, docs, rounds)
        base = timed(baseline, docs, rounds)
        report(f"doc_hash mixed record of {fields} fields x{count}", native, base, 3.0)
