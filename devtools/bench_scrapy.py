"""The Scrapy bench (`make bench-scrapy`): LeasedScheduler beside scrapy-redis
on the same crawl and the same kill, then its throughput against Scrapy's own
memory scheduler.

1. The kill: the item site (example/item_site.py: index pages, 600 item pages,
   seeded delays, flaky 500s, a redirect, a hanging page), three crawlers of
   CONCURRENT_REQUESTS=8 on one shared queue, the one with the most requests
   in flight SIGKILLed once they have scraped 40% of the items. Once with scrapy-redis
   (its scheduler and duplicate filter on a Redis server of Debian's
   `redis-server`, started here on loopback without persistence), once with
   LeasedScheduler on the test database. Both store their items with the same
   pipeline. Reported: item pages never stored (requests lost), item pages
   fetched more than once (site log), takeovers, wall time.
2. Throughput: the site without delays or faults, 2,000 item pages, one crawler, no
   item pipeline: item pages per second with LeasedScheduler against Scrapy's
   default memory scheduler, and their ratio; runs alternate, medians reported.
   LeasedScheduler runs twice: with its defaults (one collection, batches of
   32), and as set for this database (SPLIT: the queue in 16 parts, batches of
   256), whose every write reads the whole collection it writes to.

The bench's own packages (scrapy-redis and its Redis client, pinned in
constraints.txt under the marker `extra == "bench-scrapy"`, which a plain
`pip install -r` skips) are installed here; so is redis-server, with apt-get,
when it is missing.

    python devtools/bench_scrapy.py [--runs N] [--throughput-runs N] [--items N] [--skip-kill] [--skip-throughput]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT), str(ROOT / "example"), str(ROOT / "example" / "scrapy_job")]

import item_site  # noqa: E402
from crawl import account, kill_crawl, write_job  # noqa: E402

from devtools import pins  # noqa: E402
from devtools.testdb import TestDB  # noqa: E402

DATABASE = "nexra_bench_scrapy"
# As in tests/test_scrapy_crawl.py: a short lease, so that takeovers come soon.
KILL_SETTINGS = {"CONCURRENT_REQUESTS": 8, "NEXRA_QUEUE_LEASE": 8, "NEXRA_QUEUE_BATCH": 16, "LOG_LEVEL": "WARNING"}


def install_peers() -> str:
    """Install the pinned scrapy-redis and redis-py, and redis-server; returns
    the server's path."""
    pins.install("bench-scrapy")
    server = shutil.which("redis-server")
    if server is None:
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        if subprocess.run(["apt-get", "install", "-y", "-qq", "redis-server"], env=env).returncode:
            subprocess.run(["apt-get", "update", "-qq"], env=env, check=True)
            subprocess.run(["apt-get", "install", "-y", "-qq", "redis-server"], env=env, check=True)
        server = shutil.which("redis-server") or "/usr/bin/redis-server"
    return server


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class RedisServer:
    """redis-server on a loopback port, with no snapshots and no append-only
    file, its directory temporary."""

    def __init__(self, binary: str):
        self.dir = tempfile.mkdtemp(prefix="bench-redis-")
        self.port = free_port()
        self.url = f"redis://127.0.0.1:{self.port}/0"
        self.proc = subprocess.Popen(
            [binary, "--port", str(self.port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no"]
            + ["--dir", self.dir],
            stdout=subprocess.DEVNULL,
        )
        import redis

        self.client = redis.Redis.from_url(self.url)
        for _ in range(200):
            try:
                self.client.ping()
                return
            except redis.ConnectionError:
                time.sleep(0.05)
        raise RuntimeError("redis-server did not start")

    def stop(self) -> None:
        self.proc.terminate()
        self.proc.wait(10)
        shutil.rmtree(self.dir, ignore_errors=True)


def fresh_database(uri: str) -> None:
    import pymongo

    client = pymongo.MongoClient(uri)
    try:
        client.drop_database(DATABASE)
    finally:
        client.close()


def stored_items(uri: str) -> list[str]:
    import pymongo

    client = pymongo.MongoClient(uri)
    try:
        return [d.get("url") for d in client[DATABASE]["items_shop"].find({}, {"url": 1})]
    finally:
        client.close()


def kill_run(peer: str, uri: str, job: Path, work: Path, items: int, redis: RedisServer | None) -> dict:
    """One kill run with `peer` ("scrapy-redis" or "LeasedScheduler")."""
    fresh_database(uri)
    settings = dict(KILL_SETTINGS)
    if peer == "scrapy-redis":
        redis.client.flushall()
        settings.update(
            SCHEDULER="scrapy_redis.scheduler.Scheduler",
            DUPEFILTER_CLASS="scrapy_redis.dupefilter.RFPDupeFilter",
            SCHEDULER_PERSIST=True,
            REDIS_URL=redis.url,
            MAX_IDLE_TIME_BEFORE_CLOSE=10,
        )
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    with item_site.SiteProcess(work / "site.log", items) as site:
        if peer == "scrapy-redis":
            redis.client.lpush("shop:start_urls", json.dumps({"url": site.url + "/"}))
        run = kill_crawl(3, site.url, work, settings, job, items, redis=peer == "scrapy-redis")
    if run["victim"] is None:
        raise RuntimeError(f"the {peer} crawl ended before the kill; see {work}")
    log = item_site.read_log(work / "site.log").summary(site.plan)
    commit = "finish" if peer == "LeasedScheduler" else "item"
    figures = account(run, site.plan.item_paths(), commit)
    stored = stored_items(uri)
    stored_paths = {"/" + u.split("://", 1)[-1].partition("/")[2] for u in stored if u}
    last = max((float(t) for t in _times(work, "item")), default=0.0)
    first = min((float(t) for t in _times(work, "started")), default=0.0)
    return {
        "peer": peer,
        "items_stored": len(stored),
        "distinct_items_stored": len(stored_paths),
        "requests_lost": sum(1 for p in site.plan.item_paths() if p not in stored_paths),
        "fetched_twice": log["item_pages_fetched_twice"],
        # scrapy-redis takes nothing over: what a dead crawler popped is gone.
        "takeovers": figures["takeovers"] if peer == "LeasedScheduler" else None,
        "scraped_at_kill": run["scraped_at_kill"],
        "wall_seconds": run["wall_seconds"],
        "last_item_seconds": round(last - first, 2) if last else None,
        "site_requests": log["requests"],
    }


def _times(work: Path, event: str):
    for record in sorted(work.glob("crawler-*.log")):
        with open(record, encoding="utf-8") as f:
            for line in f:
                parts = line.split("\t")
                if len(parts) == 4 and parts[1] == event:
                    yield parts[0]


# LeasedScheduler's settings for the test database: each write costs the rows
# of one part of the queue, and a claim, renewal or finish serves many rows.
SPLIT = {"NEXRA_QUEUE_PARTS": 16, "NEXRA_QUEUE_BATCH": 256}


def throughput_run(scheduler: str, uri: str, job: Path, work: Path, items: int, extra: dict | None = None) -> float:
    """Item pages per second of one crawler, from its first request to its last item."""
    fresh_database(uri)
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    settings = {
        "CONCURRENT_REQUESTS": 16,
        "CONCURRENT_REQUESTS_PER_DOMAIN": 16,
        "ITEM_PIPELINES": {},
        "LOG_LEVEL": "WARNING",
        "SCHEDULER": scheduler,
        **(extra or {}),
    }
    with item_site.SiteProcess(work / "site.log", items, delays=False, faults=False) as site:
        run = kill_crawl(1, site.url, work, settings, job, items, kill_at=2.0, timeout=600)
    record = run["records"][0]
    if run["exit_codes"] != [0] or sum(1 for e in record if e[0] == "item") != items:
        raise RuntimeError(f"the throughput crawl with {scheduler} did not finish; see {work}")
    first = min(float(t) for t in _times(work, "reached"))
    last = max(float(t) for t in _times(work, "item"))
    return items / (last - first)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=1, help="kill runs per peer")
    parser.add_argument("--items", type=int, default=item_site.ITEMS, help="item pages of the kill runs")
    parser.add_argument("--throughput-runs", type=int, default=3)
    parser.add_argument("--throughput-items", type=int, default=2000)
    parser.add_argument("--skip-kill", action="store_true")
    parser.add_argument("--skip-throughput", action="store_true")
    parser.add_argument("--output", type=Path, default=ROOT / "build" / "bench-scrapy", help="records and logs")
    args = parser.parse_args(argv)
    args.output = args.output.resolve()  # the crawlers run in the job's directory

    results = {"kill": [], "throughput": {}}
    redis = None
    with tempfile.TemporaryDirectory(prefix="bench-scrapy-") as tmp, TestDB(Path(tmp) / "db") as uri:
        job = write_job(Path(tmp) / "job", uri, DATABASE)
        try:
            if not args.skip_kill:
                redis = RedisServer(install_peers())
                for i in range(args.runs):
                    for peer in ("scrapy-redis", "LeasedScheduler"):
                        r = kill_run(peer, uri, job, args.output / f"kill-{peer}-{i}", args.items, redis)
                        results["kill"].append(r)
                        takeovers = "-" if r["takeovers"] is None else r["takeovers"]
                        print(
                            f"kill   {peer:<16} lost {r['requests_lost']:>3}  fetched twice {r['fetched_twice']:>3}  "
                            f"takeovers {takeovers:>3}  stored {r['items_stored']:>4}  "
                            f"wall {r['wall_seconds']:6.1f} s (last item at {r['last_item_seconds']} s)",
                            flush=True,
                        )
        finally:
            if redis is not None:
                redis.stop()
        if not args.skip_throughput:
            leased = "Nexra_publish.scrapy.LeasedScheduler"
            schedulers = {
                "memory": ("scrapy.core.scheduler.Scheduler", None),
                "leased": (leased, None),
                "leased-split": (leased, SPLIT),
            }
            rates = {name: [] for name in schedulers}
            for i in range(args.throughput_runs):
                for name, (cls, extra) in schedulers.items():
                    work = args.output / f"throughput-{name}-{i}"
                    rate = throughput_run(cls, uri, job, work, args.throughput_items, extra)
                    rates[name].append(rate)
                    print(f"rate   {name:<16} {rate:7.1f} item pages/s", flush=True)
            median = {name: statistics.median(r) for name, r in rates.items()}
            memory = median["memory"]
            results["throughput"] = {
                "rates": rates,
                "median": median,
                "ratio": {name: m / memory for name, m in median.items() if name != "memory"},
                "split_settings": SPLIT,
            }
            split = ", ".join(f"{k} = {v}" for k, v in SPLIT.items())
            print(
                f"throughput: memory scheduler {memory:.1f} pages/s; LeasedScheduler {median['leased']:.1f} "
                f"pages/s with its defaults (ratio {median['leased'] / memory:.2f}), "
                f"{median['leased-split']:.1f} pages/s with {split} "
                f"(ratio {median['leased-split'] / memory:.2f}; goal: 0.5 or more)"
            )
    args.output.mkdir(parents=True, exist_ok=True)
    (args.output / "results.json").write_text(json.dumps(results, indent=2))
    print(f"figures in {args.output / 'results.json'}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
