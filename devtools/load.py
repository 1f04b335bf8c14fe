"""Load run: many threads drive the road of a scraping job at once.

Each worker thread adds a batch of work items to the shared input collection,
works through as many pending items with `workqueue.work()` (which claims
them, renews their leases in the background once half a lease has passed and
gives back what is left), fetches each page with `fetch_response` from a
local web site (or from the page-save store), parses it with scrapy's
selectors, stores the record with `InsertItem` and commits the item with its
status, round after round until the time is up; then the workers drain the
queue. An item whose lease was lost (its finish or a renewal was refused) is
counted and left to the worker that took it over.
The web site injects faults: answers 500, connections reset before or in the
middle of a body, answers held back past the time-out, pages too small to
keep. Some items share their page with another item of the same thread
(duplicates), and one item of every round is shared by all threads (concurrent
duplicates). Workers are killed too: now and then a worker drops dead in the
middle of an item, after its fetch, leaving its claimed items leased, and a
new worker takes its place; its items must be claimed again by others once
their leases run out.

At the end every input item must be accounted for: stored, reported as a
duplicate of a stored record, or failed with a failure record. The counts come
from the database and from the lines the library printed, captured per thread.
Memory is sampled through the run; resident memory after warm-up is compared
with the end.

    python devtools/load.py                  # LOAD_SECONDS (default 180), 16 threads
    python devtools/load.py --seconds 30 --threads 8 --batch 6 --json
    python devtools/load.py --uri mongodb://127.0.0.1:27017/   # an existing server

The exit status is 1 when an item is lost, a call raised, a line was not one
of the expected ones, or memory grew by more than --rss-limit-mb.
"""

from __future__ import annotations

import argparse
import collections
import gc
import json
import os
import random
import sys
import tempfile
import threading
import time
import traceback
import uuid
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import psutil
import pymongo

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "example"))
from devtools.testdb import TestDB  # noqa: E402
from parcel_site import reset_connection  # noqa: E402

INSERTED = "\u2705 Successfully inserted document"
DUPLICATE = "Duplicate key error: Document already exists."
CONNECTION_LINE = "Issue Connection reset for parcel_number: "
SMALL_PAGE = " is too small, possible error page."
PAGE_READ = "Page Read HTML file for parcel_number '"

# Kinds of work item and their shares of a batch. The first four end stored
# (or as duplicates), the last three failed with a failure record.
KINDS = {
    "ok": 44,  # a page on the first attempt
    "saved": 10,  # a page already in the page-save store (its address fails)
    "dup": 10,  # the same page as an earlier item of the batch
    "flaky": 8,  # reset before the answer once, then the page
    "cut": 8,  # body cut off in the middle once, then the page
    "slow": 2,  # held back past the time-out once, then the page
    "e500": 6,  # 500 on every attempt
    "reset": 6,  # reset on every attempt
    "small": 6,  # a page too small to keep on every attempt
}
FAILING = {"e500", "reset", "small"}
TIMEOUT = 3.0
LEASE = 30.0  # seconds; work() renews the batch once half of it has passed
PENDING = {"status": "pending"}


def page(group: str) -> bytes:
    rng = random.Random(group)
    owner = rng.choice(["Ada Lovelace", "Grace Hopper", "Alan Turing", "Edsger Dijkstra"])
    return f"""<html><head><title>{group}</title><script>var p = "{group}";</script></head>
<body><table><tr><td class="owner">  {owner}&nbsp;</td><td class="value">$ {rng.randint(1, 10**6):,}</td>
</tr></table><ul class="tags"><li>{group}</li><li> </li><li>&lt;b&gt;zone {rng.randint(1, 9)}&lt;/b&gt;</li>
</ul><p>{"filler text " * rng.randint(5, 60)}</p></body></html>""".encode()


# ---------------------------------------------------------------------------
# The web site
# ---------------------------------------------------------------------------


class Site:
    """Pages at /<kind>/<group>/<parcel>; faults by kind, counted."""

    def __init__(self):
        self.lock = threading.Lock()
        self.hits = collections.Counter()  # path -> requests seen
        self.faults = collections.Counter()  # fault -> times injected
        self.stopping = threading.Event()
        site = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def log_message(self, *args):
                pass

            def do_GET(self):
                site.answer(self)

        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.httpd.daemon_threads = True
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)

    def start(self) -> str:
        self.thread.start()
        return f"http://127.0.0.1:{self.httpd.server_address[1]}"

    def stop(self):
        self.stopping.set()
        self.httpd.shutdown()
        self.httpd.server_close()

    def answer(self, h: BaseHTTPRequestHandler):
        _, kind, group, _parcel = h.path.split("/", 3)
        with self.lock:
            self.hits[h.path] += 1
            first = self.hits[h.path] == 1
        body = page(group)
        if kind == "saved":  # the store must have served it
            return self.count("saved page requested", h, 500, b"<h1>Not to be fetched</h1>" * 4)
        if kind == "e500":
            return self.count("500", h, 500, b"<h1>Internal Server Error</h1>" * 4)
        if kind == "reset" or (kind == "flaky" and first):
            return self.count("reset", h)
        if kind == "cut" and first:
            return self.count("cut mid-body", h, 200, body, cut=len(body) // 2)
        if kind == "slow" and first:
            self.count("held past time-out", None)
            self.stopping.wait(TIMEOUT + 0.5)
        if kind == "small":
            return self.count("small page", h, 200, b"<p>tiny</p>")
        self.send(h, 200, body)

    def count(self, fault: str, h, status=None, body=b"", cut=None):
        with self.lock:
            self.faults[fault] += 1
        if h is None:
            return
        if status is None:
            return reset_connection(h)
        self.send(h, status, body, cut)

    def send(self, h, status, body, cut=None):
        h.close_connection = True
        try:
            h.send_response(status)
            h.send_header("Content-Type", "text/html; charset=utf-8")
            h.send_header("Content-Length", str(len(body)))
            h.send_header("Connection", "close")
            h.end_headers()
            h.wfile.write(body if cut is None else body[:cut])
            if cut is not None:
                reset_connection(h)
        except (BrokenPipeError, ConnectionResetError):
            pass


# ---------------------------------------------------------------------------
# Lines printed by the library, kept per thread
# ---------------------------------------------------------------------------


class ThreadLines:
    """A stand-in for sys.stdout that keeps what each thread writes apart."""

    def __init__(self, real):
        self.real = real
        self.local = threading.local()

    def write(self, text):
        buf = getattr(self.local, "buf", None)
        if buf is None:
            buf = self.local.buf = []
        buf.append(text)
        return len(text)

    def flush(self):
        pass

    def take(self) -> list[str]:
        """The complete lines this thread wrote since the last take()."""
        buf = getattr(self.local, "buf", None) or []
        self.local.buf = []
        return "".join(buf).splitlines()


# ---------------------------------------------------------------------------
# Work items
# ---------------------------------------------------------------------------


def batch(thread: int, rnd: int, size: int, base: str, rng: random.Random) -> list[dict]:
    """The input documents of one round of one thread."""
    items, keepers = [], []
    names, weights = zip(*KINDS.items())
    for i in range(size):
        kind = rng.choices(names, weights)[0]
        if i == 0:
            # One item per round is the same page for every thread.
            group, parcel, kind = f"C{rnd:06d}", f"C{rnd:06d}-{thread:02d}", "common"
            path_kind = "ok"
        elif kind == "dup" and keepers:
            group = keepers[-1]
            parcel, path_kind = f"{group}-{i}", "ok"
        else:
            if kind == "dup":
                kind = "ok"
            group = f"G{thread:02d}{rnd:06d}{i:03d}"
            parcel, path_kind = f"{group}-0", kind
            if kind not in FAILING:
                keepers.append(group)
        items.append(
            {
                "parcel_number": parcel,
                "group": group,
                "kind": kind,
                "url": f"{base}/{path_kind}/{group}/{parcel}",
                "thread": thread,
                "round": rnd,
                "status": "pending",
            }
        )
    return items


def parse(response, group: str) -> dict:
    return {
        "owner": response.css("td.owner::text").get(),
        "value": response.css("td.value::text").get(),
        "tags": response.css("ul.tags li").getall(),
        "page_save": f"{group}.html",
    }


class Worker(threading.Thread):
    def __init__(self, run: "Run", number: int):
        super().__init__(name=f"worker-{number}", daemon=True)
        self.run_ = run
        self.number = number
        # parcel, group, kind, outcome, committed (finish took it), fetch failed
        self.outcomes: list[tuple[str, str, str, str, bool, bool]] = []
        self.errors: list[str] = []
        self.finished_at: list[float] = []  # monotonic time of each item's end
        self.abandoned: list[str] = []  # parcels held when this worker was killed
        self.lost_leases = 0  # items whose lease the worker lost
        self.rounds = 0

    def run(self):
        try:
            self.work()
        except BaseException:
            self.errors.append(f"worker {self.number}: {traceback.format_exc()}")

    def work(self):
        r = self.run_
        rng = random.Random(self.number)
        rnd = 0
        while True:
            if not r.stop.is_set():
                rnd += 1
                docs = batch(self.number, rnd, r.batch_size, r.base, rng)
                for d in docs:
                    if d["kind"] == "saved":
                        (r.store / f"{d['parcel_number']}.html").write_bytes(page(d["group"]))
                r.input.insert_many(docs)
                self.rounds = rnd
            # As many as it added, so the queue stays short, whoever takes what;
            # once the time is up, until nothing is free or leased (what is
            # left may be leased by a dead worker, until its leases run out).
            draining = r.stop.is_set()
            items = r.wq.work(PENDING, lease=LEASE, batch=r.batch_size, idle=1.0, sigterm=False)
            taken = 0
            try:
                for item in items:
                    if rng.random() < r.kill_rate:
                        # Dies in the middle of the item: fetched, nothing stored.
                        self.abandoned = [
                            i.doc["parcel_number"] for i in items._items if i.state in ("pending", "started")
                        ]
                        self.outcomes.append(self.road(item, die=True))
                        items._abandon()
                        r.replace(self)
                        return
                    try:
                        self.outcomes.append(self.road(item))
                    except BaseException:
                        self.errors.append(f"{item['parcel_number']}: {traceback.format_exc()}")
                        item.release()
                    self.finished_at.append(time.monotonic())
                    taken += 1
                    if not draining and taken >= r.batch_size:
                        break
            finally:
                items.close()
                self.lost_leases += items.counts["lost"]
            if draining:
                return

    def road(self, item, die: bool = False) -> tuple[str, str, str, str, bool, bool]:
        sc, lines = self.run_.sc, self.run_.lines
        doc = item.doc
        parcel, group, kind = doc["parcel_number"], doc["group"], doc["kind"]
        lines.take()
        result = sc.fetch_response(url=doc["url"], parcel_number=parcel, timeout=TIMEOUT)
        fetch_lines = lines.take()
        fetch_failed = not result or not hasattr(result[0], "css")
        if die:
            return parcel, group, kind, "abandoned", False, fetch_failed
        unexpected = [
            ln
            for ln in fetch_lines
            if not ln.startswith((CONNECTION_LINE + parcel + " ", PAGE_READ + parcel)) and not ln.endswith(SMALL_PAGE)
        ]
        if unexpected:
            self.errors.append(f"{parcel}: unexpected lines {unexpected}")
        if fetch_failed:
            outcome = "failed"
        else:
            response, retries = result
            sc.InsertItem(parse(response, group), retries, parcel, self.run_.results_name)
            printed = lines.take()
            outcome = {(INSERTED,): "stored", (DUPLICATE,): "duplicate"}.get(tuple(printed))
            if outcome is None:
                self.errors.append(f"{parcel}: InsertItem printed {printed}")
                outcome = "unexplained"
        committed = item.finish("failed" if fetch_failed else "done")
        after = lines.take()
        if after:
            self.errors.append(f"{parcel}: finish printed {after}")
        return parcel, group, kind, outcome, committed, fetch_failed


class Run:
    def __init__(self, sc, wq, db, base, store, threads, batch_size, results_name, kill_rate):
        self.sc, self.wq, self.db, self.base, self.store = sc, wq, db, base, store
        self.lines = sys.stdout
        self.input = db[sc.input_table]
        self.results_name = results_name
        self.batch_size = batch_size
        self.stop = threading.Event()
        self.kill_rate = kill_rate
        self.lock = threading.Lock()
        self.workers = [Worker(self, n) for n in range(threads)]

    def replace(self, dead: Worker):
        """A new worker in the place of a killed one, with a number of its own."""
        with self.lock:
            fresh = Worker(self, len(self.workers))
            self.workers.append(fresh)
        fresh.start()

    def join(self):
        while True:
            with self.lock:
                alive = [w for w in self.workers if w.is_alive()]
            if not alive:
                return
            for w in alive:
                w.join()


# ---------------------------------------------------------------------------
# Accounting
# ---------------------------------------------------------------------------


def account(run: Run) -> dict:
    """Each item is counted by the attempt whose finish committed it; the
    attempts that lost their lease or died are counted apart, but their stored
    records and failure records are real and are expected too."""
    db = run.db
    attempts = [o for w in run.workers for o in w.outcomes]
    outcomes = [o for o in attempts if o[4]]
    errors = [e for w in run.workers for e in w.errors]
    status = {d["parcel_number"]: d["status"] for d in run.input.find({}, {"parcel_number": 1, "status": 1})}
    records = collections.Counter(d["page_save"] for d in db[run.results_name].find({}, {"page_save": 1}))
    half_written = db[run.results_name].count_documents(
        {"$or": [{"datetime": {"$exists": False}}, {"retry": {"$exists": False}}]}
    )
    # One failure record per attempt whose fetch gave up, committed or not:
    # a multiset, so that a second record of one attempt shows.
    failure_records = collections.Counter(
        d["parcel_number"] for d in db["failures_collection"].find({}, {"parcel_number": 1})
    )
    failed_fetches = collections.Counter(o[0] for o in attempts if o[5])
    uncommitted_failures = sum(1 for o in attempts if o[5] and not o[4])

    by_group = collections.defaultdict(collections.Counter)
    for _, group, _, outcome, _, _ in attempts:
        by_group[group][outcome] += 1
    lost, unexpected_failures = [], []
    for parcel, group, kind, outcome, _, _ in outcomes:
        if outcome in ("stored", "duplicate"):
            if status.get(parcel) != "done" or records[f"{group}.html"] != 1:
                lost.append((parcel, outcome, status.get(parcel)))
        elif outcome == "failed":
            if status.get(parcel) != "failed" or not failure_records[parcel]:
                lost.append((parcel, outcome, status.get(parcel)))
            if kind not in FAILING:
                unexpected_failures.append(parcel)
        else:
            lost.append((parcel, outcome, status.get(parcel)))
    processed = collections.Counter(o[0] for o in outcomes)
    never_done = [p for p, s in status.items() if p not in processed]
    abandoned = {p for w in run.workers for p in w.abandoned}
    # Each group of equal pages: one stored record, every other item a duplicate.
    group_errors = [(g, dict(c)) for g, c in by_group.items() if (c["stored"] or c["duplicate"]) and c["stored"] != 1]
    stored_groups = sum(1 for c in by_group.values() if c["stored"])
    committed = collections.Counter(o[3] for o in outcomes)
    return {
        "items": len(status),
        "processed": len(outcomes),
        "processed_twice": sum(1 for n in processed.values() if n > 1),
        "lost_leases": sum(w.lost_leases for w in run.workers),
        "kills": sum(1 for w in run.workers if w.abandoned),
        "abandoned_then_finished": len(abandoned & set(processed)),
        "abandoned_never_finished": len(abandoned - set(processed)),
        "stored": committed["stored"],
        "duplicates": committed["duplicate"],
        "failed": committed["failed"],
        "unexpected_failures": len(unexpected_failures),
        "records_in_db": sum(records.values()),
        "records_expected": stored_groups,
        "half_written_records": half_written,
        # The records of committed attempts; those of attempts that died or
        # lost their lease are counted apart.
        "failure_records": sum(failure_records.values()) - uncommitted_failures,
        "failure_records_of_uncommitted_attempts": uncommitted_failures,
        "failure_records_not_one_per_failed_fetch": sum(
            1 for p in set(failure_records) | set(failed_fetches) if failure_records[p] != failed_fetches[p]
        ),
        "lost": len(lost) + len(never_done) + len(group_errors) + len(abandoned - set(processed)),
        "lost_examples": (lost + never_done + group_errors)[:10],
        "errors": len(errors),
        "error_examples": errors[:5],
    }


# ---------------------------------------------------------------------------
# Driver
# ---------------------------------------------------------------------------


def rate(run: Run, t0: float, start: float, end: float) -> float:
    """Items finished per second between `start` and `end` seconds into the run."""
    n = sum(1 for w in run.workers for t in w.finished_at if start <= t - t0 < end)
    return round(n / (end - start), 1) if end > start else 0.0


def rss() -> int:
    return psutil.Process().memory_info().rss


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=float(os.environ.get("LOAD_SECONDS") or 180))
    parser.add_argument("--threads", type=int, default=16)
    parser.add_argument("--batch", type=int, default=12, help="items per thread and round")
    parser.add_argument("--uri", help="an existing database server (default: start one)")
    parser.add_argument(
        "--warmup", type=float, default=None, help="seconds before the memory baseline (default: a fifth of the run)"
    )
    parser.add_argument("--rss-limit-mb", type=float, default=24.0)
    parser.add_argument(
        "--kill-rate", type=float, default=0.01, help="chance per item that its worker dies in the middle of it"
    )
    parser.add_argument("--json", action="store_true", help="print the summary as JSON")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="nexra-load-") as tmp:
        tmp = Path(tmp)
        server = None
        uri = args.uri
        if not uri:
            server = TestDB(tmp / "db")
            uri = server.start()
        site = Site()
        base = site.start()
        try:
            return drive(args, tmp, uri, base, site)
        finally:
            site.stop()
            if server:
                server.stop()


def drive(args, tmp: Path, uri: str, base: str, site: Site) -> int:
    name = "load_" + uuid.uuid4().hex[:8]
    job = tmp / "job"
    job.mkdir()
    store = tmp / "pages"
    store.mkdir()
    settings = {
        "connection_string": uri,
        "data_base": name,
        "input_table": "input",
        "pl_input_table": "pl_input",
        "vantelo_path": str(tmp / "no-engine"),
        "pagesave_path": str(store),
    }
    (job / "config.py").write_text("".join(f"{k} = {v!r}\n" for k, v in settings.items()))
    os.environ["NEXRA_CONFIG"] = str(job / "absent.json")
    sys.path.insert(0, str(job))

    real_stdout = sys.stdout
    sys.stdout = ThreadLines(real_stdout)
    try:
        from Nexra_publish import Scrape_common as sc
        from Nexra_publish import workqueue as wq

        started = sys.stdout.take()
        sc.RETRY_DELAY = 0.01  # the job's own choice of wait between attempts
        client = pymongo.MongoClient(uri)
        db = client[name]
        run = Run(sc, wq, db, base, store, args.threads, args.batch, "records", args.kill_rate)
        # The job's own indexes: the claims look for pending rows without a
        # live lease, and every status update finds its item by parcel number.
        run.input.create_index("parcel_number")
        run.input.create_index([("status", 1), ("_lease_until", 1)])

        warmup = args.warmup if args.warmup is not None else args.seconds / 5
        samples = []
        t0 = time.monotonic()
        for w in run.workers:
            w.start()
        baseline = None
        while time.monotonic() - t0 < args.seconds:
            time.sleep(0.5)
            samples.append(rss())
            if baseline is None and time.monotonic() - t0 >= warmup:
                gc.collect()
                baseline = rss()
        run.stop.set()
        run.join()
        elapsed = time.monotonic() - t0
        gc.collect()
        end = rss()
        summary = account(run)
        client.drop_database(name)
        client.close()
    finally:
        sys.stdout = real_stdout

    summary.update(
        {
            "seconds": round(elapsed, 1),
            "threads": args.threads,
            "rounds": sum(w.rounds for w in run.workers),
            "items_per_second": round(summary["processed"] / elapsed, 1),
            # The test database scans its collections for every filter, so the
            # rate falls as the input collection grows.
            "items_per_second_first_fifth": rate(run, t0, 0, args.seconds / 5),
            "items_per_second_last_fifth": rate(run, t0, args.seconds * 4 / 5, args.seconds),
            # Items whose page was saved beforehand, committed with their page.
            "from_store": sum(1 for w in run.workers for o in w.outcomes if o[2] == "saved" and o[4] and not o[5]),
            "saved_pages_requested": site.faults["saved page requested"],
            "faults_injected": dict(site.faults),
            "http_requests": sum(site.hits.values()),
            "rss_after_warmup_mb": round((baseline or end) / 2**20, 1),
            "rss_end_mb": round(end / 2**20, 1),
            "rss_peak_mb": round(max(samples or [end]) / 2**20, 1),
            "import_lines": started,
        }
    )
    growth_mb = (end - (baseline or end)) / 2**20
    summary["rss_growth_mb"] = round(growth_mb, 1)
    ok = (
        summary["lost"] == 0
        and summary["errors"] == 0
        and summary["half_written_records"] == 0
        and summary["processed_twice"] == 0
        and summary["failure_records_not_one_per_failed_fetch"] == 0
        and summary["records_in_db"] == summary["records_expected"]
        and summary["saved_pages_requested"] == 0
        and growth_mb <= args.rss_limit_mb
    )
    summary["ok"] = ok
    if args.json:
        print(json.dumps(summary))
    else:
        for key, value in summary.items():
            print(f"{key:>28}: {value}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
