"""LeasedScheduler in real Scrapy crawls (each in a process of its own) of a
local site, on the test database: what a crawl stores, when each request's
lease is finished, priorities, what closing gives back, and a request that
kills every crawler that takes it."""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap

import pytest

from Nexra_publish._queue_split import part_names, part_of
from Nexra_publish.scrapy import MIN_SCRAPY

scrapy = pytest.importorskip("scrapy")
if tuple(int(p) for p in scrapy.__version__.split(".")[:2]) < MIN_SCRAPY:
    pytest.skip(f"LeasedScheduler needs Scrapy {'.'.join(map(str, MIN_SCRAPY))} or newer", allow_module_level=True)
pytestmark = pytest.mark.crawl

from support import python_env  # noqa: E402
from support.http_server import LoopbackServer, Reply  # noqa: E402

RUNNER = textwrap.dedent('''
    import asyncio, json, os, signal, sys
    import scrapy
    from scrapy.crawler import CrawlerProcess
    from scrapy.exceptions import CloseSpider
    from twisted.internet import task

    spec = json.loads(sys.argv[1])
    site = spec["site"]


    class Tag:  # a meta value that only a pickle keeps
        def __init__(self, n):
            self.n = n


    class Events(scrapy.Spider):
        name = "events"

        async def start(self):
            yield scrapy.Request(site + "/index")

        def start_requests(self):  # Scrapy < 2.13
            yield scrapy.Request(site + "/index")

        def parse(self, response):
            item = self.parse_item
            yield scrapy.Request(site + "/item/1", callback=item, meta={"tag": Tag(1)})
            yield scrapy.Request(site + "/item/1", callback=item, meta={"tag": Tag(1)})
            for _ in range(2):
                yield scrapy.Request(site + "/item/2", callback=item, meta={"tag": Tag(2)}, dont_filter=True)
            yield scrapy.Request(site + "/retry", callback=item, meta={"tag": Tag(3)})
            yield scrapy.Request(site + "/moved", callback=item, meta={"tag": Tag(4)})
            yield scrapy.Request(site + "/fail", errback=self.failed)
            yield scrapy.Request(site + "/missing")
            yield scrapy.Request(site + "/boom", callback=self.boom)
            yield scrapy.Request(site + "/slow", callback=self.slow)
            yield scrapy.Request(site + "/self", callback=self.with_meta)

        def parse_item(self, response):
            yield {"url": response.url, "tag": response.meta["tag"].n}

        def failed(self, failure):
            yield {"url": failure.request.url, "errback": True}

        def boom(self, response):
            raise ValueError("boom")

        def slow(self, response):
            yield {"url": response.url, "slow": True}

        def with_meta(self, response):
            # A request made with the response's meta carries its lease
            # marker: a child of a running callback, not a successor.
            yield scrapy.Request(site + "/item/5", callback=self.parse_item, meta={**response.meta, "tag": Tag(5)})
            yield {"url": response.url, "slow": True}


    class Prio(scrapy.Spider):
        name = "prio"

        def seeds(self):
            if spec["phase"] == "seed":
                self.crawler.engine.pause()  # nothing is handed out: all is claimed, then given back
                for i, p in enumerate(spec["priorities"]):
                    yield scrapy.Request(f"{site}/p/{i}", priority=p)

        def claimed(self):
            return self.crawler.stats.get_value("nexra/claimed", 0) >= len(spec["priorities"])

        async def start(self):
            for request in self.seeds():
                yield request
            while spec["phase"] == "seed" and not self.claimed():
                await asyncio.sleep(0.02)
            if spec["phase"] == "seed":
                raise CloseSpider("seeded")

        def start_requests(self):
            # Scrapy < 2.13 takes one start request per step of its engine,
            # and none while it is paused, and cannot await here: the seeds
            # go to the engine at once, and a timer waits for the claims.
            if spec["phase"] == "seed":
                for request in self.seeds():
                    self.crawler.engine.crawl(request)

                def seeded():
                    if self.claimed():
                        poll.stop()
                        self.crawler.engine.close_spider(self, "seeded")

                poll = task.LoopingCall(seeded)
                poll.start(0.02)
            yield from ()

        def parse(self, response):
            pass


    class Killer(scrapy.Spider):
        name = "killer"

        async def start(self):
            yield scrapy.Request(site + "/killer")

        def start_requests(self):  # Scrapy < 2.13
            yield scrapy.Request(site + "/killer")

        def parse(self, response):
            os.kill(os.getpid(), signal.SIGKILL)


    class Slow:
        """Holds the items marked slow a while, and notes whether their
        request's row was finished meanwhile."""

        def open_spider(self, spider=None):
            from Nexra_publish import Scrape_common
            from Nexra_publish._queue_split import part_names

            name = spec["collection"] % {"spider": "events"}
            parts = spec["settings"].get("NEXRA_QUEUE_PARTS", 1)
            self.rows = [Scrape_common.db[n] for n in part_names(name, parts)]
            self.items = []

        def process_item(self, item, spider=None):
            from twisted.internet import reactor
            from twisted.internet.task import deferLater

            self.items.append(item)
            if not item.get("slow"):
                return item
            def look():
                row = next(filter(None, (c.find_one({"url": item["url"]}) for c in self.rows)))
                item["finished_in_pipeline"] = bool(row.get("_lease_done"))
                return item
            return deferLater(reactor, 1.0, look)

        def close_spider(self, spider=None):
            with open(spec["out"] + ".items", "w") as f:
                json.dump(self.items, f)


    settings = {
        "SCHEDULER": "Nexra_publish.scrapy.LeasedScheduler",
        "SPIDER_MIDDLEWARES": {"Nexra_publish.scrapy.LeaseFinishMiddleware": 0},
        "ITEM_PIPELINES": {"__main__.Slow": 100},
        "NEXRA_QUEUE_COLLECTION": spec["collection"],
        "LOG_LEVEL": "INFO",
        "TELNETCONSOLE_ENABLED": False,
        "RETRY_TIMES": 2,
        **spec["settings"],
    }
    process = CrawlerProcess(settings)
    crawler = process.create_crawler({"events": Events, "prio": Prio, "killer": Killer}[spec["spider"]])
    process.crawl(crawler)
    process.start()
    with open(spec["out"], "w") as f:
        json.dump(crawler.stats.get_stats(), f, default=str)
''')


@pytest.fixture
def crawl(tmp_path, job_dir, collection_name, database):
    """Run a crawl in a process of its own; returns (stats, items, the run)."""
    runner = tmp_path / "runner.py"
    runner.write_text(RUNNER)
    queue = f"{collection_name}_%(spider)s"
    site = LoopbackServer().start()

    def run(spider, check=True, **spec):
        out = tmp_path / f"{spider}-{len(list(tmp_path.iterdir()))}.json"
        args = {"site": site.url(""), "spider": spider, "collection": queue, "out": str(out), "settings": {}, **spec}
        done = subprocess.run(
            [sys.executable, str(runner), json.dumps(args)],
            cwd=job_dir,
            env=python_env(job_dir),
            capture_output=True,
            text=True,
            timeout=120,
        )
        if check:
            assert done.returncode == 0, done.stderr[-3000:]
        stats = json.loads(out.read_text()) if out.exists() else {}
        items = out.with_suffix(".json.items")
        return stats, json.loads(items.read_text()) if items.exists() else [], done

    def watch(queue, *args):
        """The watch command's output on `queue`, once nothing remains."""
        done = subprocess.run(
            [sys.executable, "-m", "Nexra_publish", "watch", "--collection", queue, *args],
            cwd=job_dir,
            env=python_env(job_dir),
            capture_output=True,
            text=True,
            timeout=60,
        )
        assert done.returncode == 0, done
        return done.stdout

    run.site, run.rows, run.watch = site, lambda spider: database[queue % {"spider": spider}], watch
    run.parts = lambda spider, parts: [database[n] for n in part_names(queue % {"spider": spider}, parts)]
    yield run
    site.stop()
    for name in database.list_collection_names():
        if name.startswith(collection_name):
            database[name].drop()


@pytest.mark.parametrize("parts", [1, 3], ids=["one-collection", "three-parts"])
def test_each_request_is_finished_when_its_processing_has_ended(crawl, parts):
    site = crawl.site
    for path in ("/index", "/item/1", "/item/2", "/item/4", "/item/5", "/boom", "/slow", "/self"):
        site.script(path, Reply.html(f"<p>{path}</p>"))
    site.script("/retry", Reply(status=500), Reply.html("<p>second time</p>"))
    site.script("/moved", Reply(status=302, location=site.url("/item/4")))
    site.script("/fail", Reply(reset=True))
    stats, items, _ = crawl("events", settings={"NEXRA_QUEUE_PARTS": parts})

    # Each request stored once (dont_filter ones and retries apart), in the
    # part its key names, and every one finished by the event that ends it,
    # none left for the idle spider to end.
    fields = {"url": 1, "status": 1, "_lease_done": 1, "priority": 1}
    by_part = [list(c.find({}, fields)) for c in crawl.parts("events", parts)]
    assert all(part_of(r["_id"], parts) == i for i, rows in enumerate(by_part) for r in rows)
    assert parts == 1 or sum(1 for rows in by_part if rows) > 1
    rows = [r for rows in by_part for r in rows]
    by_path = {}
    for row in rows:
        by_path.setdefault(row["url"].split(site.url(""))[1], []).append(row)
    assert {p: len(r) for p, r in by_path.items()} == {
        "/index": 1,
        "/item/1": 1,
        "/item/2": 2,
        "/retry": 2,
        "/moved": 1,
        "/item/4": 1,
        "/fail": 3,
        "/missing": 1,
        "/boom": 1,
        "/slow": 1,
        "/self": 1,
        "/item/5": 1,
    }
    assert all(r["_lease_done"] and r["status"] == "done" for r in rows)
    assert stats["nexra/finished"] == stats["nexra/claimed"] == len(rows) == 16
    assert "nexra/ended_idle" not in stats and "nexra/lost" not in stats
    assert stats["dupefilter/filtered"] == stats["nexra/duplicate"] == 1
    assert [len(site.hits(p)) for p in ("/item/1", "/item/2", "/retry", "/fail")] == [1, 2, 2, 3]

    # Callbacks and meta survive the database; an errback ran; the items that
    # a pipeline held kept their request's lease until they had passed.
    tags = sorted((i["url"].split(site.url(""))[1], i["tag"]) for i in items if "tag" in i)
    assert tags == [("/item/1", 1), ("/item/2", 2), ("/item/2", 2), ("/item/4", 4), ("/item/5", 5), ("/retry", 3)]
    assert [i["url"] for i in items if i.get("errback")] == [site.url("/fail")]
    held = {i["url"]: i["finished_in_pipeline"] for i in items if i.get("slow")}
    assert held == {site.url("/slow"): False, site.url("/self"): False}


def test_priorities_order_claims_and_closing_gives_back_what_was_not_started(crawl, sc):
    from Nexra_publish import workqueue as wq

    for i in range(6):
        crawl.site.script(f"/p/{i}", Reply.html("<p>p</p>"))
    stats, _, _ = crawl("prio", phase="seed", priorities=[0, 5, 1, 5, 3, 0])
    assert stats["nexra/claimed"] == stats["nexra/released"] == 6 and "scheduler/dequeued" not in stats
    rows = sc.db[crawl.rows("prio").name]
    p = wq.queue_progress(None, collection=rows)
    assert (p["free"], p["leased"], p["finished"]) == (6, 0, 0)

    # One request at a time, one claimed at a time: priority first, then the
    # order they were stored in. The run finishes every row and, not
    # persisting, drops the queue.
    one = {"CONCURRENT_REQUESTS": 1, "NEXRA_QUEUE_BATCH": 1, "NEXRA_QUEUE_PERSIST": False}
    stats, _, _ = crawl("prio", phase="drain", priorities=[], settings=one)
    assert [s.path for s in crawl.site.seen] == [f"/p/{i}" for i in (1, 3, 4, 2, 0, 5)]
    assert stats["nexra/finished"] == 6
    assert rows.name not in rows.database.list_collection_names()


def test_a_row_taken_over_whose_successor_is_stored_is_finished_not_fetched_again(crawl, sc):
    # A crawler that stored a retry of its request and died before it
    # finished the original leaves both rows; the one that takes the original
    # over finishes it, and only the retry is fetched.
    crawl.site.script("/p/0", Reply.html("<p>p</p>"))
    crawl("prio", phase="seed", priorities=[0])
    rows = sc.db[crawl.rows("prio").name]
    [original] = rows.find({})
    retry = {k: v for k, v in original.items() if not k.startswith("_")}
    rows.insert_one(dict(retry, _id=original["_id"] + "-retry", parent=original["_id"], seq=original["seq"] + 1))
    stats, _, _ = crawl("prio", phase="drain", priorities=[])
    assert [s.path for s in crawl.site.seen] == ["/p/0"]
    assert (stats["nexra/superseded"], stats["nexra/finished"]) == (1, 2)
    assert sorted(r["status"] for r in rows.find({})) == ["done", "done"]


def test_a_request_that_kills_each_crawler_stops_at_max_claims_and_shows_stuck(crawl):
    crawl.site.script("/killer", Reply.html("<p>bye</p>"))
    quick = {"NEXRA_QUEUE_LEASE": 1.0, "NEXRA_QUEUE_MAX_CLAIMS": 2, "NEXRA_QUEUE_IDLE_WAIT": 5.0}
    for _ in range(2):
        _, _, run = crawl("killer", check=False, settings=quick)
        assert run.returncode == -9, run.stderr[-2000:]
    stats, _, _ = crawl("killer", settings=quick)  # takes nothing: the row is stuck
    assert "nexra/claimed" not in stats and len(crawl.site.hits("/killer")) == 2
    [row] = crawl.rows("killer").find({})
    assert (row["_claims"], row["status"], row.get("_lease_done")) == (2, "pending", None)
    assert "nothing remains: 0 finished, 1 stuck" in crawl.watch(crawl.rows("killer").name, "--max-claims", "2")


def test_a_queue_in_parts_is_worked_only_in_its_own_number_of_parts(crawl):
    for i in range(6):
        crawl.site.script(f"/p/{i}", Reply.html("<p>p</p>"))
    three, two = {"NEXRA_QUEUE_PARTS": 3}, {"NEXRA_QUEUE_PARTS": 2}
    crawl("prio", phase="seed", priorities=[0, 5, 1, 5, 3, 0], settings=three)
    queue = crawl.rows("prio").name
    assert sum(c.count_documents({}) for c in crawl.parts("prio", 3)) == 6

    # Another number of parts would claim from other collections and let
    # duplicates in: the crawl refuses to start, and fetches nothing.
    _, _, run = crawl("prio", check=False, phase="drain", priorities=[], settings=two)
    assert f"the queue {queue} holds requests in 3 part(s)" in run.stderr and not crawl.site.seen
    stats, _, _ = crawl("prio", phase="drain", priorities=[], settings=three)
    assert sorted(s.path for s in crawl.site.seen) == [f"/p/{i}" for i in range(6)]
    assert stats["nexra/finished"] == stats["nexra/claimed"] == 6

    # The watch command reads the parts as one queue.
    assert "nothing remains: 6 finished, 0 stuck" in crawl.watch(queue, "--interval", "0.1")
