"""doc_hash against hashlib.md5(json.dumps(doc, sort_keys=True).encode()).hexdigest()."""

from __future__ import annotations

import hashlib
import json
import random
import time


def baseline(doc):
    return hashlib.md5(json.dumps(doc, sort_keys=True).encode()).hexdigest()


def make_record(rng, fields):
    """A scraped record: mostly text, some numbers, a list or two."""
    words = ["Main", "St", "Springfield", "Parcel", "Owner", "Caf\u00e9", "LLC", "Tax", "Lot", "Unit"]
    rec = {"parcel_number": f"{rng.randrange(10**9):09d}", "page_save": "x.html"}
    for i in range(fields - len(rec)):
        k = f"field_{i:02d}_{rng.choice(words).lower()}"
        r = rng.random()
        if r < 0.55:
            rec[k] = " ".join(rng.choice(words) for _ in range(rng.randint(1, 8)))
        elif r < 0.7:
            rec[k] = rng.randint(0, 10**7)
        elif r < 0.8:
            rec[k] = round(rng.uniform(0, 1e6), 2)
        elif r < 0.88:
            rec[k] = None
        else:
            rec[k] = [rng.choice(words) for _ in range(rng.randint(0, 4))]
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
        report(f"doc_hash record of {fields} fields x{count}", native, base, 2.0)
