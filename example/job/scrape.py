"""The example scraping script.

For every pending parcel of the input collection: fetch its page (from the
page-save store when it was saved before, else from the site, directly or
through the request engine and its proxy), parse it, store the record, mark
the parcel; at the end export the records to CSV and Excel.

    python scrape.py               # one process reads the queue with get_input
    python scrape.py --workers N   # N worker processes share it through claims

With --workers, each worker process works through the queue with
workqueue.work(): it claims a few parcels at a time, renews their leases in
the background and commits each parcel with its status, so none is done
twice and the parcels of a worker that dies are claimed again once its lease
runs out; each worker prints one "worker summary:" line with its counts (and
its lost leases) when the queue is empty.

Progress (items done of total, rate) goes to standard error when that is a
terminal; standard output carries the library's lines and this script's own.
"""

import argparse
import collections
import json
import os
import re
import subprocess
import sys
import time

from scrapy.http import HtmlResponse

from Nexra_publish import Scrape_common as sc
from Nexra_publish import workqueue as wq
from Nexra_publish.configuration import get_config

RESULTS = get_config("result_table")
EXPORT_DIR = get_config("export_dir")
ENGINE_PROXY = get_config("engine_proxy")

# The library reads its retry delay from its module globals at every use.
if get_config("retry_delay") is not None:
    sc.RETRY_DELAY = get_config("retry_delay")


def _number(text):
    """The number in a text such as "$ 1,250,000" or "3.5 ac"; None when there is none."""
    match = re.search(r"\d[\d,]*(\.\d+)?", text or "")
    if not match:
        return None
    digits = match.group(0).replace(",", "")
    return float(digits) if match.group(1) else int(digits)


def parse_html(response, parcel):
    """The record of an HTML parcel page; None when the page is not one."""
    if response.css("h1.parcel::text").get() != parcel:
        return None
    # Fields are taken with their markup where it is there; InsertItem cleans them.
    return {
        "parcel_number": parcel,
        "owner": response.css("td.owner::text").get(),
        "address": response.css("td.address").get(),
        "land_use": response.css("td.use").get(),
        "assessed_value": _number(response.css("td.value::text").get()),
        "year_built": _number(response.css("td.built::text").get()),
        "acres": _number(response.css("td.area::text").get()),
        "notes": response.css("div.notes").get(),
        "tags": response.css("ul.tags li::text").getall(),
        "source": "html",
        "page_save": f"{parcel}.html",
    }


def parse_json(response, parcel):
    """The record of a JSON parcel page; None when the page is not one."""
    try:
        page = json.loads(response.text).get("parcel")
    except (ValueError, AttributeError):
        return None
    if not isinstance(page, dict) or page.get("number") != parcel:
        return None
    situs = page.get("situs") or {}
    return {
        "parcel_number": parcel,
        "owner": (page.get("owner") or {}).get("name"),
        "address": f"{situs.get('line1', '')} {situs.get('city', '')}",
        "land_use": page.get("land_use"),
        "assessed_value": (page.get("assessment") or {}).get("total"),
        "year_built": page.get("year_built"),
        "acres": page.get("acres"),
        "notes": page.get("remarks"),
        "tags": page.get("flags"),
        "source": "json",
        "page_save": f"{parcel}.json",
    }


def parse(response, parcel):
    # A JSON page arrives as an HtmlResponse too, fetched or from the store.
    if response.text.lstrip().startswith("{"):
        return parse_json(response, parcel)
    return parse_html(response, parcel)


def process(doc):
    """Fetch, parse and store one work item; returns its new status."""
    parcel = doc["parcel_number"]
    proxy = ENGINE_PROXY if doc.get("route") == "engine" else None
    result = sc.fetch_response(
        url=doc["url"], parcel_number=parcel, proxy=proxy, headers={"X-Work-Item": str(doc["_id"])}
    )
    # A page comes as (HtmlResponse, attempts); anything else is a failure:
    # None, the last answer of a route that gave up, or a message.
    if not result or not isinstance(result[0], HtmlResponse):
        answer = result[0] if result else None
        print(f"no page for {parcel}: {answer!r}")
        return "no page"
    response, retries = result
    item = parse(response, parcel)
    if item is None:
        print(f"not a parcel page for {parcel}: {len(response.body)} bytes")
        return "not a parcel page"
    sc.InsertItem(item, retries, parcel, RESULTS)
    return "done"


class Progress:
    """Items done of total and rate, on one line of a terminal's standard error."""

    def __init__(self, total, stream=sys.stderr, every=0.25):
        self.total, self.stream, self.every = total, stream, every
        self.live = stream.isatty()
        self.done = 0
        self.start = self.shown = time.monotonic()

    def step(self):
        self.done += 1
        now = time.monotonic()
        if self.live and (now - self.shown >= self.every or self.done == self.total):
            self.shown = now
            rate = self.done / max(now - self.start, 1e-6)
            left = (self.total - self.done) / rate
            self.stream.write(f"\r{self.done}/{self.total} items, {rate:.1f}/s, about {left:.0f} s left   ")
            self.stream.flush()

    def finish(self):
        if self.live and self.done:
            self.stream.write("\n")
            self.stream.flush()


PENDING = {"status": "pending"}
LEASE = 300.0  # seconds a claimed parcel stays with its worker
CLAIM_BATCH = 2  # parcels claimed at a time


def work_queue():
    """One worker process: work through the queue until nothing is left.

    work() renews the batch's leases once half a lease has passed and
    commits each parcel with the status its body sets when the body returns.
    A parcel whose lease was lost (it ran out and another worker took the
    parcel) is left to that worker, and counted."""
    counts = collections.Counter()
    with wq.work(PENDING, lease=LEASE, batch=CLAIM_BATCH, idle=0.2) as items:
        for item in items:
            with item:  # committed with item.status at the end of the block
                item.status = process(item.doc)
            if item.state == "finished":
                counts[item.status] += 1
    summary = {
        "worker": wq.worker_id(),
        "items": items.counts["finished"],
        "lost_leases": items.counts["lost"],
        "statuses": dict(counts),
    }
    # The workers share the job's log: the line goes out in one write, which a
    # buffered print could split in two, and another worker's output between.
    sys.stdout.flush()
    os.write(sys.stdout.fileno(), f"worker summary: {json.dumps(summary)}\n".encode())


def run_workers(n):
    """Start n worker processes on the queue and show its progress until they end."""
    total = sc.col_input.count_documents(PENDING)
    workers = [subprocess.Popen([sys.executable, __file__, "--worker"]) for _ in range(n)]
    live = sys.stderr.isatty()
    while any(w.poll() is None for w in workers):
        time.sleep(0.5)
        if live:
            p = wq.queue_progress(PENDING)
            rate = p["finished_per_second"]
            eta = "" if p["eta_seconds"] is None else f", about {p['eta_seconds']:.0f} s left"
            sys.stderr.write(
                f"\r{total - p['remaining']}/{total} items, {p['leased']} leased, "
                f"{0 if rate is None else rate:.1f}/s{eta}   "
            )
            sys.stderr.flush()
    if live:
        sys.stderr.write("\n")
    return max(w.returncode for w in workers)


def main():
    parser = argparse.ArgumentParser(description="the example scraping job")
    parser.add_argument(
        "--workers", type=int, default=0, help="worker processes sharing the queue (default: one plain reader)"
    )
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)  # processes share the log
    if args.worker:
        work_queue()
        return 0
    if args.workers > 0:
        code = run_workers(args.workers)
        if code:
            return code
    else:
        progress = Progress(sc.col_input.count_documents(PENDING))
        for doc in sc.get_input(PENDING):
            sc.update_input("_id", doc["_id"], process(doc))
            progress.step()
        progress.finish()

    sc.export_mongo_to_csv(RESULTS, RESULTS, EXPORT_DIR)
    sc.export_mongo_to_excel(RESULTS, RESULTS, EXPORT_DIR)
    return 0


if __name__ == "__main__":
    sys.exit(main())
