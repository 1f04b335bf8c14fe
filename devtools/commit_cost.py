"""What a durable commit costs: the time of one page save (fetch_response of
a page not yet in the store, from a loopback web site) and of one export of
100,000 records (CSV and Excel), on this machine's disk.

    python devtools/commit_cost.py [--pages N] [--records N] [--rounds N] [--dir DIR]

DIR (default: build/commit-cost) holds the store and the exports, so the file
system measured is that of DIR. Prints one JSON line: the median time of a page
save in milliseconds, and of each export in seconds. Run with the system-call
shim of the tests preloaded (LD_PRELOAD=fsync_shim.so SHIM_LOG=FILE, built from
tests/support/fsync_shim.c), it adds the median time of the syncs themselves:
of a page file, of an export file (CSV, workbook) and of their directories.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import os
import shutil
import statistics
import sys
import tempfile
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
from devtools.testdb import TestDB  # noqa: E402

PAGE = (
    "<html><body>" + "".join(f"<p>row {i}: some text of a page</p>" for i in range(600)) + "</body></html>"
).encode()


class Page(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/html; charset=utf-8")
        self.send_header("Content-Length", str(len(PAGE)))
        self.end_headers()
        self.wfile.write(PAGE)


def page_saves(sc, store: Path, pages: int) -> list[float]:
    httpd = ThreadingHTTPServer(("127.0.0.1", 0), Page)
    threading.Thread(target=httpd.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{httpd.server_address[1]}/page"
    times = []
    try:
        for n in range(pages):
            t = time.perf_counter()
            response, retries = sc.fetch_response(url=url, parcel_number=f"P{n:06d}", pagesave_path=str(store))
            times.append(time.perf_counter() - t)
            assert retries == 1 and len(response.body) == len(PAGE)
    finally:
        httpd.shutdown()
        httpd.server_close()
    return times


def exports(sc, out: Path, records: int, rounds: int) -> dict:
    coll = sc.db["commit_cost"]
    coll.drop()
    for start in range(0, records, 10000):
        coll.insert_many(
            [
                {
                    "Name": f"name {i}",
                    "Owner": "Ada  Lovelace",
                    "value": i * 7,
                    "address": f"{i} Some Street, Town",
                    "tags": ["a", "b"],
                    "page_save": f"P{i}.html",
                }
                for i in range(start, start + 10000)
            ]
        )
    times = {"csv": [], "xlsx": []}
    try:
        for _ in range(rounds):
            for kind, fn in (("csv", sc.export_mongo_to_csv), ("xlsx", sc.export_mongo_to_excel)):
                t = time.perf_counter()
                with contextlib.redirect_stdout(io.StringIO()):
                    fn("cost", "commit_cost", str(out))
                times[kind].append(time.perf_counter() - t)
    finally:
        coll.drop()
    return times


def sync_times(where: Path) -> dict:
    """Median milliseconds of the syncs the shim logged under `where`: of a
    page file and its directory, and of each export's file and directory (the
    exports alternate, CSV first)."""
    log = os.environ.get("SHIM_LOG")
    if not log or not os.path.exists(log):
        return {}
    syncs: dict[tuple, list[float]] = {}
    for line in Path(log).read_text().splitlines():
        words = line.split(" ")
        if words[0] == "fsync" and str(where.resolve()) in words[2]:
            part = "pages" if "/pages" in words[2] else "exports"
            syncs.setdefault((part, words[1]), []).append(int(words[3]) / 1e6)
    times = {}
    for (part, kind), ms in syncs.items():
        named = {"pages": ms} if part == "pages" else {"csv": ms[0::2], "xlsx": ms[1::2]}
        for name, values in named.items():
            times[f"fsync_{name}_{kind}_ms"] = round(statistics.median(values), 2)
    return dict(sorted(times.items()))


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--pages", type=int, default=200)
    ap.add_argument("--records", type=int, default=100000)
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--dir", type=Path, default=ROOT / "build" / "commit-cost")
    args = ap.parse_args(argv)
    shutil.rmtree(args.dir, ignore_errors=True)
    args.dir.mkdir(parents=True)
    with tempfile.TemporaryDirectory() as tmp, TestDB(Path(tmp) / "db") as uri:
        job = Path(tmp) / "job"
        job.mkdir()
        (job / "config.py").write_text(
            f"connection_string = {uri!r}\ndata_base = 'commit_cost'\ninput_table = 'i'\n"
            f"pl_input_table = 'p'\nvantelo_path = {str(job)!r}\n"
            f"pagesave_path = {str(args.dir / 'pages')!r}\n"
        )
        os.environ["NEXRA_CONFIG"] = str(job / "absent.json")
        sys.path.insert(0, str(job))
        with contextlib.redirect_stdout(io.StringIO()):
            import Nexra_publish.Scrape_common as sc
        saves = page_saves(sc, args.dir / "pages", args.pages)
        export_times = exports(sc, args.dir / "exports", args.records, args.rounds)
    shutil.rmtree(args.dir, ignore_errors=True)
    syncs = sync_times(args.dir)
    print(
        json.dumps(
            {
                "page_save_ms": round(statistics.median(saves) * 1e3, 2),
                "pages": args.pages,
                "records": args.records,
                "export_csv_s": round(statistics.median(export_times["csv"]), 3),
                "export_xlsx_s": round(statistics.median(export_times["xlsx"]), 3),
                "rounds": args.rounds,
                "package": os.path.dirname(sc.__file__),
                **syncs,
            }
        )
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
