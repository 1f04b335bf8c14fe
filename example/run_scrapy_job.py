"""Run the example job's Scrapy variant end to end on an embedded database.

Starts the test database server (FerretDB) with its data under OUTPUT/db and
the item site (item_site.py: index pages, item pages, a few 500s, a redirect, a
page that hangs past the download time-out) in a process of its own, then runs
two crawlers of the shop project (scrapy_job/) on one queue: the library's
LeasedScheduler, its item pipeline, its cache storage and its feed exporters.
Prints a summary, also written to
OUTPUT/summary.json.

The items, the cache (OUTPUT/httpcache) and the exports are kept; the queue is
new for each run. So a second run is answered from the cache, and finds every
item stored already (the pipeline drops each as a duplicate).

    python example/run_scrapy_job.py [--output DIR] [--items N] [--crawlers N]
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections import Counter
from pathlib import Path

import pymongo

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE / "scrapy_job"), str(HERE.parent)]
import item_site  # noqa: E402
from crawl import account, read_record, start_crawlers, write_job  # noqa: E402
from run_job import export_rows, shown  # noqa: E402

from devtools.testdb import TestDB  # noqa: E402

DATABASE = "example_scrapy_job"
QUEUE, ITEMS = "requests_shop", "items_shop"


def crawl_settings(output: Path) -> dict:
    settings = {
        "NEXRA_QUEUE_COLLECTION": QUEUE,
        "NEXRA_QUEUE_LEASE": 30,
        "NEXRA_ITEMS_COLLECTION": ITEMS,
        "CONCURRENT_REQUESTS": 8,
    }
    settings.update(
        HTTPCACHE_ENABLED=True,
        HTTPCACHE_STORAGE="Nexra_publish.scrapy.PageStoreCacheStorage",
        NEXRA_HTTPCACHE_DIR=str(output / "httpcache"),
        # A 500 is asked for again, not kept: the next run would retry it from the cache.
        HTTPCACHE_IGNORE_HTTP_CODES=[500, 502, 503, 504],
        FEED_EXPORTERS={
            "xlsx": "Nexra_publish.scrapy.XlsxItemExporter",
            "csv": "Nexra_publish.scrapy.CsvItemExporter",
        },
        SHOP_EXPORT_DIR=str(output / "export"),
    )
    return settings


def site_process(output: Path, log: Path, items: int) -> item_site.SiteProcess:
    """The site, started on the port of the last run (kept in OUTPUT/site-port)
    when it is free, so that its addresses, and with them the cache's keys and
    the items' urls, are those of the last run."""
    saved = output / "site-port"
    port = int(saved.read_text()) if saved.exists() else 0
    try:
        site = item_site.SiteProcess(log, items, port=port).start()
    except RuntimeError:
        if not port:
            raise
        print(f"port {port} is taken: the site gets another, and this run's addresses are new", flush=True)
        site = item_site.SiteProcess(log, items).start()
    saved.write_text(site.url.rsplit(":", 1)[1])
    return site


def run(output: Path, items: int, crawlers: int) -> dict:
    started = time.monotonic()
    output.mkdir(parents=True, exist_ok=True)
    work = output / "crawl"
    work.mkdir(exist_ok=True)
    for old in list(work.glob("crawler-*")) + [work / "site.log"]:
        old.unlink(missing_ok=True)
    with TestDB(output / "db") as uri:
        job = write_job(output / "job", uri, DATABASE)
        client = pymongo.MongoClient(uri)
        try:
            db = client[DATABASE]
            db[QUEUE].drop()  # a new queue for each run; items and cache stay
            for name in db.list_collection_names():
                if name.startswith(QUEUE + "_"):
                    db[name].drop()
            stored_before = db[ITEMS].count_documents({})
            with site_process(output, work / "site.log", items) as site:
                print(f"example Scrapy job: {crawlers} crawlers on {site.url}, records in {shown(work)}", flush=True)
                crawl_started = time.monotonic()
                procs = start_crawlers(crawlers, site.url, work, crawl_settings(output), job)
                codes = [p.wait() for p in procs]
                crawl_seconds = time.monotonic() - crawl_started
            stored_after = db[ITEMS].count_documents({})
            distinct = len(db[ITEMS].distinct("url"))
            queued = dict(Counter(d.get("status") for d in db[QUEUE].find({}, {"status": 1})))
        finally:
            client.close()
    log = item_site.read_log(work / "site.log").summary(site.plan)
    records = [read_record(work / f"crawler-{i}.log") for i in range(crawlers)]
    figures = account({"records": records, "victim": None}, site.plan.item_paths(), "item")
    exports = {str(p): export_rows(p) for p in sorted((output / "export").glob("*")) if p.suffix in (".csv", ".xlsx")}
    return {
        "exit_codes": codes,
        "items": items,
        "flaky": len(site.plan.flaky),
        "crawlers": figures["per_crawler"],
        "stored_new": stored_after - stored_before,
        "stored_total": stored_after,
        "stored_distinct": distinct,
        "queued_requests": queued,
        "site": {k: v for k, v in log.items() if k != "item_pages_missing"},
        "cache": str(output / "httpcache"),
        "exports": exports,
        "crawl_seconds": round(crawl_seconds, 1),
        "elapsed_seconds": round(time.monotonic() - started, 1),
    }


def report(s: dict) -> str:
    per = s["crawlers"]
    site = s["site"]
    lines = [
        f"  item pages          {s['items']} ({s['flaky']} answer 500 first, 1 behind a redirect, 1 hangs once)",
        f"  crawlers            {len(per)}: " + ", ".join(str(c["item"]) for c in per) + " items scraped; "
        f"{sum(c['dropped'] for c in per)} dropped as duplicates",
        f"  items stored        {s['stored_new']} new ({s['stored_total']} in {ITEMS}, "
        f"{s['stored_distinct']} distinct pages)",
        f"  queue               {sum(s['queued_requests'].values())} requests in {QUEUE} ("
        + ", ".join(f"{n} {status}" for status, n in sorted(s["queued_requests"].items()))
        + ")",
        f"  site requests       {site['requests']} ({site['item_pages_fetched']} item pages, "
        f"{site['item_pages_fetched_twice']} fetched twice; {site['answered_500']} answered 500, "
        f"{site['redirects']} redirect, {site['hangs']} hung)",
    ]
    if s["cache"]:
        lines.append(f"  cache               {shown(Path(s['cache']))}")
    for i, (path, rows) in enumerate(s["exports"].items()):
        lines.append(f"  {'exports' if i == 0 else '':<19} {shown(Path(path))} ({rows} rows)")
    lines.append(f"  elapsed             {s['elapsed_seconds']:.1f} s (crawl {s['crawl_seconds']:.1f} s)")
    if any(s["exit_codes"]):
        lines.append(f"  a crawler FAILED (exit codes {s['exit_codes']}); see the crawler-*.out files")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", type=Path, default=HERE / "output-scrapy", help="database, cache, exports, records")
    parser.add_argument("--items", type=int, default=item_site.ITEMS, help="item pages on the site")
    parser.add_argument("--crawlers", type=int, default=2, help="crawler processes on the one queue")
    args = parser.parse_args(argv)
    os.environ.setdefault("PYTHONIOENCODING", "utf-8")
    summary = run(args.output.resolve(), args.items, args.crawlers)
    (args.output / "summary.json").write_text(json.dumps(summary, indent=2))
    print(report(summary))
    return 1 if any(summary["exit_codes"]) else 0


if __name__ == "__main__":
    sys.exit(main())
