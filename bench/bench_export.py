"""export_mongo_to_csv and export_mongo_to_excel against their plain-Python twins
(devtools/twins/export.py), on a test database filled with records of mixed
value types.

Each export runs in a fresh interpreter, so that its peak resident memory
above the interpreter's (after imports) can be told. Own work is an export's
time minus the time of reading the collection as that export reads it: the
twin's less list(collection.find({})), the native one's less one pass over
the cursor that keeps nothing (list() of a large collection pays the cyclic
garbage collector for every document it holds, which the native export never
does; against it the native own work even comes out below zero at 500,000
records). Both are printed; the ratio is the twin's own work over the
native one's. The test database takes
most of a read's time in its own process, and on a shared machine that time
varies by more than an export's own work; so own work is counted in the
benchmark's process time (user and system CPU), which holds all the client's
work (pymongo's decoding included) and none of the server's. Wall-clock
times are printed beside.

    NEXRA_BENCH_EXPORT_SIZES=50000,500000   (default; --quick: 5000)
"""

from __future__ import annotations

import argparse
import json
import os
import random
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

WORDS = [
    "Main",
    "St",
    "Springfield",
    "Parcel",
    "Owner",
    "Caf\u00e9",
    "LLC",
    "Tax",
    "Lot",
    "Unit",
    "a,b",
    'say "hi"',
    "line\nbreak",
    "run  of   spaces",
    "\t tabbed ",
    "=1+1",
    "\u00fcber",
    "Stra\u00dfe",
    "\u6771\u4eac",
]


def make_record(rng, i):
    """A scraped record of 10 to 20 fields: text with white-space runs, commas,
    quotes and line breaks; ints; floats; None; booleans; lists; nested documents."""
    doc = {"parcel_number": f"P{i:08d}", "page_save": f"P{i:08d}.html"}
    for j in range(rng.randint(10, 20) - 2):
        key, r = f"Field_{j:02d}", rng.random()
        if r < 0.5:
            doc[key] = " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 6)))
        elif r < 0.62:
            doc[key] = rng.randint(-(10**6), 10**9)
        elif r < 0.72:
            doc[key] = round(rng.uniform(-1e5, 1e6), 3)
        elif r < 0.78:
            doc[key] = None
        elif r < 0.84:
            doc[key] = rng.random() < 0.5
        elif r < 0.92:
            doc[key] = [rng.choice(WORDS) for _ in range(rng.randint(0, 4))]
        else:
            doc[key] = {"city": rng.choice(WORDS), "zip": rng.randint(10000, 99999)}
    if rng.random() < 0.3:
        doc["retry"] = "1"
    return doc


def fill(collection, count, batch=5000):
    rng = random.Random(11)
    for start in range(0, count, batch):
        collection.insert_many([make_record(rng, i) for i in range(start, min(count, start + batch))], ordered=False)


def rss_now():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def child(args):
    """One measurement in this fresh interpreter; prints seconds and peak memory."""
    job = Path(args.job)
    sys.path[:0] = [str(job), str(ROOT)]
    os.environ["NEXRA_CONFIG"] = str(job / "absent.json")
    import contextlib
    import io

    with contextlib.redirect_stdout(io.StringIO()):
        import Nexra_publish.Scrape_common as sc
        from devtools.twins import export as twin

        sc.db.command("ping")
    base = rss_now()
    out = str(job / "out")
    cpu = cpu_seconds()
    t = time.perf_counter()
    with contextlib.redirect_stdout(io.StringIO()):
        if args.child == "list":
            list(sc.db[args.coll].find({}))
        elif args.child == "stream":
            for _ in sc.db[args.coll].find({}):
                pass
        elif args.child.startswith("twin_"):
            getattr(twin, args.child[5:])(sc.db, args.child, args.coll, out)
        else:
            getattr(sc, args.child)(args.child, args.coll, out)
    seconds = time.perf_counter() - t
    cpu = cpu_seconds() - cpu
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"seconds": seconds, "cpu": cpu, "peak_above": max(0, peak - base)}))


def measure(job, coll, what):
    r = subprocess.run(
        [sys.executable, __file__, "--child", what, "--job", str(job), "--coll", coll],
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(r.stdout.strip().splitlines()[-1])


def run(sc, report, quick):
    sys.path.insert(0, str(ROOT))
    import pymongo
    from devtools.testdb import TestDB

    sizes = [5000] if quick else [int(s) for s in os.environ.get("NEXRA_BENCH_EXPORT_SIZES", "50000,500000").split(",")]
    with tempfile.TemporaryDirectory() as tmp:
        server = TestDB(Path(tmp) / "db")
        uri = server.start()
        try:
            job = Path(tmp) / "job"
            job.mkdir()
            (job / "config.py").write_text(
                f"connection_string = {uri!r}\ndata_base = 'bench'\ninput_table = 'i'\n"
                f"pl_input_table = 'p'\nvantelo_path = {str(job)!r}\n"
                f"pagesave_path = {str(job / 'pages')!r}\n"
            )
            client = pymongo.MongoClient(uri)
            for size in sizes:
                coll = f"records_{size}"
                t = time.perf_counter()
                fill(client.bench[coll], size)
                print(f"  ({size} records inserted in {time.perf_counter() - t:.0f} s)", flush=True)
                read = measure(job, coll, "list")
                stream = measure(job, coll, "stream")
                for kind, target in (("export_mongo_to_csv", 6.0), ("export_mongo_to_excel", 3.0)):
                    native = measure(job, coll, kind)
                    base = measure(job, coll, "twin_" + kind)
                    mb = 1 << 20
                    print(
                        f"  {kind} x{size}: wall (cpu) list {read['seconds']:.2f} s "
                        f"({read['cpu']:.2f} s), pass {stream['seconds']:.2f} s "
                        f"({stream['cpu']:.2f} s), native {native['seconds']:.2f} s "
                        f"({native['cpu']:.2f} s, peak +{native['peak_above'] / mb:.0f} MB), "
                        f"twin {base['seconds']:.2f} s ({base['cpu']:.2f} s, peak "
                        f"+{base['peak_above'] / mb:.0f} MB)",
                        flush=True,
                    )
                    report(
                        f"{kind} own work, {size} records",
                        native["cpu"] - stream["cpu"],
                        base["cpu"] - read["cpu"],
                        target,
                    )
                client.bench[coll].drop()
            client.close()
        finally:
            server.stop()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--child", required=True)
    parser.add_argument("--job", required=True)
    parser.add_argument("--coll", required=True)
    child(parser.parse_args())
