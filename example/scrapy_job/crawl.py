"""Run one shop crawler in this process, or N of them as processes of their own.

    python example/scrapy_job/crawl.py --url http://127.0.0.1:PORT --record crawler.log \\
        [-s NAME=VALUE ...]

Each -s overrides a setting of shop/settings.py; a value that reads as JSON
(numbers, true/false, dicts) is taken as such, any other as text. The crawler
runs in the working directory it was started in: the job's directory, whose
settings (config.py) name the database of `Nexra_publish.Scrape_common`.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

HERE = Path(__file__).resolve().parent
KILL_WAIT = 2.0


def parse_value(text: str):
    try:
        return json.loads(text)
    except ValueError:
        return text


def crawler_env(cwd: Path, env: dict | None = None) -> dict:
    """The environment of a crawler process started in `cwd`: this project and
    the job's directory first on the module search path."""
    full = dict(os.environ)
    paths = [str(HERE), str(cwd)] + [p for p in full.get("PYTHONPATH", "").split(os.pathsep) if p]
    full["PYTHONPATH"] = os.pathsep.join(paths)
    full["PYTHONIOENCODING"] = "utf-8"
    full.update(env or {})
    return full


def write_job(directory: Path, uri: str, database: str) -> Path:
    """A job directory for crawlers: its config.py points Scrape_common at
    `database` on the server at `uri`."""
    directory.mkdir(parents=True, exist_ok=True)
    settings = {
        "connection_string": uri,
        "data_base": database,
        "input_table": "input_items",
        "pl_input_table": "pl_input_items",
        "vantelo_path": str(HERE.parent / "job" / "engine"),
        "pagesave_path": str(directory / "pages"),
    }
    (directory / "config.py").write_text("".join(f"{k} = {v!r}\n" for k, v in settings.items()))
    return directory


def start_crawlers(
    n: int, url: str, workdir: Path, settings: dict, cwd: Path, env: dict | None = None, redis: bool = False
) -> list[subprocess.Popen]:
    """Start `n` crawler processes on the site at `url`; crawler i writes its
    record to workdir/crawler-i.log and its output to workdir/crawler-i.out.
    `redis`: the scrapy-redis variant of the spider."""
    workdir.mkdir(parents=True, exist_ok=True)
    procs = []
    for i in range(n):
        args = [sys.executable, str(HERE / "crawl.py"), "--url", url, "--record", str(workdir / f"crawler-{i}.log")]
        args += ["--redis"] if redis else []
        for name, value in settings.items():
            args += ["-s", f"{name}={value if isinstance(value, str) else json.dumps(value)}"]
        with open(workdir / f"crawler-{i}.out", "wb") as out:
            procs.append(subprocess.Popen(args, cwd=cwd, env=crawler_env(cwd, env), stdout=out, stderr=out))
    return procs


def read_record(path: Path) -> list[tuple[str, str, str]]:
    """(event, URL, detail) of each whole line of a crawler's record."""
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        lines = [line.rstrip("\n").split("\t") for line in f if line.endswith("\n")]
    return [tuple(parts[1:]) for parts in lines if len(parts) == 4]


def kill_crawl(
    n: int,
    url: str,
    workdir: Path,
    settings: dict,
    cwd: Path,
    items: int,
    kill_at: float = 0.4,
    timeout: float = 120.0,
    env: dict | None = None,
    redis: bool = False,
) -> dict:
    """Run `n` crawlers on one queue and SIGKILL one of them once the crawlers
    together have scraped `kill_at` of the site's `items` items: of those
    holding requests in flight, the one with the most items made and not yet
    stored. Waits for the others
    to end (at most `timeout` seconds, then kills them too) and returns what
    the records say: per crawler, its events; the victim; the wall time."""
    started = time.monotonic()
    procs = start_crawlers(n, url, workdir, settings, cwd, env, redis)
    records = [workdir / f"crawler-{i}.log" for i in range(n)]
    victim, scraped_at_kill, due = None, None, None
    try:
        while victim is None and any(p.poll() is None for p in procs):
            now = [read_record(r) for r in records]
            counts = [Counter(e[0] for e in record) for record in now]
            scraped = sum(c["item"] for c in counts)
            # Requests sent to the downloader whose commit has not begun (for a
            # scheduler without commits: that gave no item yet), which the others
            # must take over; and items that the spider made and the pipelines have
            # not stored yet (item pages answered, less the items stored or
            # dropped), which a commit that came before its items were stored
            # would lose. The victim holds the most such items, then the most
            # requests; the kill waits up to KILL_WAIT seconds past `kill_at` for a
            # moment when some crawler holds such items.
            live = [(i, c) for i, c in enumerate(counts) if procs[i].poll() is None]
            held = {i: c["reached"] - (c["finishing"] if c["finishing"] else c["item"]) for i, c in live}
            unstored = {
                i: sum(e[0] == "response" and e[2] == "200" and "/item/" in e[1] for e in now[i])
                - c["item"]
                - c["dropped"]
                for i, c in live
            }
            holders = [i for i in held if held[i] > 0 or unstored[i] > 0]
            if scraped >= kill_at * items and holders:
                due = due or time.monotonic()
                victim = max(holders, key=lambda i: (unstored[i], held[i]))
                if unstored[victim] <= 0 and time.monotonic() - due < KILL_WAIT:
                    victim = None
            if victim is not None:
                procs[victim].send_signal(signal.SIGKILL)
                scraped_at_kill = scraped
            time.sleep(0.02)
        deadline = started + timeout
        for p in procs:
            try:
                p.wait(max(0.1, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
    finally:
        for p in procs:
            if p.poll() is None:
                p.kill()
                p.wait()
    return {
        "crawlers": n,
        "victim": victim,
        "scraped_at_kill": scraped_at_kill,
        "exit_codes": [p.returncode for p in procs],
        "records": [read_record(r) for r in records],
        "wall_seconds": round(time.monotonic() - started, 2),
    }


def account(run: dict, item_paths: list[str], commit_event: str = "finish") -> dict:
    """The crawl's figures from the crawlers' records alone, per item page.

    With commit_event "finish" (LeasedScheduler) an item page's commits are
    the commits of the queue rows whose requests gave its item (stored or
    dropped as a duplicate): a page fetched again after a takeover is still one
    commit, and the rows of its 500 answers, which gave no item, are not
    counted. With "item" (schedulers without a queue of rows) they are the
    items scraped from it.

    Returns `commits` per item page, `lost` (no commit, and none begun by the
    killed crawler), `in_doubt` (no commit recorded, but the killed crawler
    died while committing a row of it: only the queue can tell), `twice`
    (committed more than once), `takeovers` (requests the killed crawler sent
    to its downloader and never committed, which another crawler committed)."""

    def path(u: str) -> str:
        return "/" + u.split("://", 1)[-1].partition("/")[2]

    records = run["records"]
    victim = run["victim"]
    per_crawler, rows_of, row_commits, commits = [], {}, Counter(), Counter()
    for record in records:
        counts = Counter(e[0] for e in record)
        per_crawler.append({k: counts.get(k, 0) for k in ("reached", "item", "dropped", "finish", "error")})
        for event, url, detail in record:
            if event in ("item", "dropped"):
                rows_of.setdefault(path(url), set()).add(detail)
            if event == commit_event:
                row_commits[detail] += 1
                commits[path(url)] += 1
    if commit_event == "finish":
        commits = Counter({p: sum(row_commits[r] for r in rows_of.get(p, ())) for p in item_paths})
    begun = set()
    takeovers = 0
    if victim is not None:
        mine = records[victim]
        done = {e[2] for e in mine if e[0] == commit_event}
        held = {e[1] for e in mine if e[0] == "reached"} - {e[1] for e in mine if e[0] == commit_event}
        others = {e[1] for i, r in enumerate(records) if i != victim for e in r if e[0] == commit_event}
        takeovers = len(held & others)
        begun_rows = {e[2] for e in mine if e[0] == "finishing"} - done
        begun = {p for p in item_paths if rows_of.get(p, set()) & begun_rows}
    return {
        "per_crawler": per_crawler,
        "commits": commits,
        "committed": sum(1 for p in item_paths if commits[p]),
        "in_doubt": [p for p in item_paths if not commits[p] and p in begun],
        "lost": [p for p in item_paths if not commits[p] and p not in begun],
        "twice": [p for p in item_paths if commits[p] > 1],
        "takeovers": takeovers,
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--url", required=True, help="the item site's address")
    parser.add_argument("--record", default=None, help="this crawler's record (shop/record.py)")
    parser.add_argument(
        "--redis", action="store_true", help="the scrapy-redis variant of the spider (the bench's peer)"
    )
    parser.add_argument("-s", dest="settings", action="append", default=[], metavar="NAME=VALUE")
    args = parser.parse_args(argv)

    sys.path.insert(0, str(HERE))
    from scrapy.crawler import CrawlerProcess
    from scrapy.settings import Settings

    from shop import settings as project

    if args.redis:
        from shop.redis_spider import ShopRedisSpider as ShopSpider
    else:
        from shop.spiders import ShopSpider

    settings = Settings()
    settings.setmodule(project, priority="project")
    if args.record:
        settings.set("CRAWL_RECORD", args.record, priority="cmdline")
    for item in args.settings:
        name, sep, value = item.partition("=")
        if not sep:
            parser.error(f"-s wants NAME=VALUE, not {item!r}")
        settings.set(name, parse_value(value), priority="cmdline")
    # SHOP_EXPORT_DIR: this crawler's feed in each format that FEED_EXPORTERS
    # names, one file per crawler (named after its record).
    export_dir = settings.get("SHOP_EXPORT_DIR")
    if export_dir:
        stem = Path(args.record).stem if args.record else f"crawler-{os.getpid()}"
        feeds = {
            str(Path(export_dir) / f"{stem}.{fmt}"): {"format": fmt, "overwrite": True}
            for fmt in settings.getdict("FEED_EXPORTERS")
        }
        settings.set("FEEDS", feeds, priority="cmdline")
    process = CrawlerProcess(settings)
    crawler = process.create_crawler(ShopSpider)
    process.crawl(crawler, url=args.url)
    process.start()
    stats = crawler.stats.get_stats() if crawler.stats else {}
    return 0 if stats.get("finish_reason") == "finished" else 1


if __name__ == "__main__":
    raise SystemExit(main())
