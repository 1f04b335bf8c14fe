"""The durable cache storage and the item store pipeline inside real Scrapy
crawls (each in a process of its own, tests/support/store_crawl.py) against a
site on loopback that logs every request, with the test database; and
durable.write_file, the cache's write path, on its own."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import uuid
from dataclasses import dataclass
from pathlib import Path
from types import SimpleNamespace

import pytest

from Nexra_publish import durable
from Nexra_publish.scrapy import MIN_SCRAPY
from support import python_env
from support.fetch_fixtures import server  # noqa: F401
from support.http_server import Reply

try:
    import scrapy

    SCRAPY = tuple(scrapy.version_info[:2])
except ImportError:
    SCRAPY = (0, 0)
needs_scrapy = pytest.mark.skipif(
    SCRAPY < MIN_SCRAPY, reason=f"the Scrapy components need Scrapy {MIN_SCRAPY} or newer, not {SCRAPY}"
)

RUNNER = Path(__file__).parent / "support" / "store_crawl.py"
DUMMY = "scrapy.extensions.httpcache.DummyPolicy"
RFC2616 = "scrapy.extensions.httpcache.RFC2616Policy"


# --- durable.write_file ------------------------------------------------------


@pytest.mark.parametrize("case", ["missing directory", "path is a directory", "iterable raises", "str data"])
def test_failed_write_leaves_the_old_file_and_no_temporary(tmp_path, case):
    (tmp_path / "f").write_bytes(b"the earlier file")
    (tmp_path / "d").mkdir()
    (tmp_path / "d" / "inside").write_bytes(b"kept")

    def chunks():
        yield b"new "
        raise RuntimeError("the source failed")

    target, data, error = {
        "missing directory": (tmp_path / "absent" / "f", b"new", FileNotFoundError),
        "path is a directory": (tmp_path / "d", b"new", IsADirectoryError),
        "iterable raises": (tmp_path / "f", chunks(), RuntimeError),
        "str data": (tmp_path / "f", "new", TypeError),
    }[case]
    with pytest.raises(error) as raised:
        durable.write_file(target, data)
    if isinstance(raised.value, OSError):
        assert str(target) in str(raised.value)
    assert sorted(os.listdir(tmp_path)) == ["d", "f"]
    assert (tmp_path / "f").read_bytes() == b"the earlier file"
    assert os.listdir(tmp_path / "d") == ["inside"]


def test_write_replaces_whole_and_makedirs_makes_parents(tmp_path):
    where = tmp_path / "a" / "b"
    durable.makedirs(where)
    durable.makedirs(str(where) + "/")  # an existing directory is no error
    durable.write_file(where / "f", b"first")
    durable.write_file(os.fsencode(where / "f"), [b"sec", bytearray(b"on"), memoryview(b"d")])
    assert os.listdir(where) == ["f"] and (where / "f").read_bytes() == b"second"
    with pytest.raises(FileExistsError):
        durable.makedirs(where / "f")


# --- the cache storage on its own ----------------------------------------------


def reader(cache, **settings):
    """(storage, spider) as a crawl's HttpCacheMiddleware opens them."""
    from scrapy import Spider
    from scrapy.settings import Settings
    from scrapy.statscollectors import StatsCollector
    from scrapy.utils.request import RequestFingerprinter

    from Nexra_publish.scrapy import PageStoreCacheStorage

    storage = PageStoreCacheStorage(Settings({"NEXRA_HTTPCACHE_DIR": str(cache), **settings}))
    spider = Spider(name="store")
    spider.crawler = SimpleNamespace(
        request_fingerprinter=RequestFingerprinter(), stats=StatsCollector(SimpleNamespace(settings=Settings()))
    )
    storage.open_spider(spider)
    return storage, spider


def sample(url="http://127.0.0.1:1/page"):
    import ipaddress

    from scrapy.http import HtmlResponse, Request

    request = Request(url)
    body = b"<html><title>t</title>" + os.urandom(3000).hex().encode() + b"\xff</html>"
    headers = {"Content-Type": "text/html", "Set-Cookie": ["a=1", "b=\xe9"]}
    response = HtmlResponse(
        url, status=203, headers=headers, body=body, request=request, ip_address=ipaddress.ip_address("::1")
    )
    return request, response


@needs_scrapy
@pytest.mark.parametrize("write_gzip", [False, True])
@pytest.mark.parametrize("expiration, age, fresh", [(0, 10**7, True), (60, 30, True), (60, 90, False)])
def test_entry_reads_back_by_gzip_and_age(tmp_path, monkeypatch, write_gzip, expiration, age, fresh):
    from Nexra_publish.scrapy import httpcache

    request, response = sample()
    writer, spider = reader(tmp_path, HTTPCACHE_GZIP=write_gzip)
    now = httpcache.time()
    monkeypatch.setattr(httpcache, "time", lambda: now - age)
    writer.store_response(spider, request, response)
    writer.close_spider(spider)
    monkeypatch.setattr(httpcache, "time", lambda: now)
    raw = Path(writer.entry_path(spider, request)).read_bytes()
    assert raw.startswith(b"\x1f\x8b") == write_gzip
    for read_gzip in (False, True):  # the setting at read time does not matter
        storage, spider = reader(tmp_path, HTTPCACHE_GZIP=read_gzip, HTTPCACHE_EXPIRATION_SECS=expiration)
        request = type(request)(request.url)
        got = storage.retrieve_response(spider, request)
        if not fresh:
            assert got is None
            continue
        assert (type(got), got.status, got.url, got.body) == (type(response), 203, response.url, response.body)
        assert dict(got.headers) == dict(response.headers) and str(got.ip_address) == "::1"
        assert request.meta["cache_timestamp"] == pytest.approx(now - age)


@needs_scrapy
@pytest.mark.parametrize("gzipped", [False, True])
@pytest.mark.parametrize(
    "damage", ["cut in the head", "cut in the body", "end line lost", "body byte changed", "empty", "file cut"]
)
def test_entry_that_is_not_whole_is_a_miss(tmp_path, gzipped, damage):
    import gzip

    request, response = sample()
    storage, spider = reader(tmp_path, HTTPCACHE_GZIP=gzipped)
    storage.store_response(spider, request, response)
    storage.close_spider(spider)
    path = Path(storage.entry_path(spider, request))
    stored = path.read_bytes()
    raw = gzip.decompress(stored) if gzipped else stored
    head = raw.index(b"\n", 20)
    raw = {
        "cut in the head": raw[: head // 2],
        "cut in the body": raw[: head + 100],
        "end line lost": raw[:-5],
        "body byte changed": raw[: head + 9] + b"X" + raw[head + 10 :],
        "empty": b"",
        "file cut": None,
    }[damage]
    if raw is None:
        path.write_bytes(stored[: len(stored) // 2])
    else:
        path.write_bytes(gzip.compress(raw) if gzipped else raw)
    assert storage.retrieve_response(spider, request) is None
    assert spider.crawler.stats.get_value("nexra/httpcache_broken") == 1


@needs_scrapy
@pytest.mark.crawl
def test_failed_store_is_counted_and_the_crawl_goes_on(tmp_path):
    (tmp_path / "store").write_text("a file where the spider's directory belongs")
    request, response = sample()
    storage, spider = reader(tmp_path)
    storage.store_response(spider, request, response)
    storage.close_spider(spider)
    assert spider.crawler.stats.get_value("nexra/httpcache_store_error") == 1
    assert storage.retrieve_response(spider, request) is None


# --- crawls ----------------------------------------------------------------------


@dataclass
class Site:
    base: str
    start: str
    bodies: dict  # url -> body, of the item pages

    def requests(self, server):  # noqa: F811
        return [s.path for s in list(server.seen) if s.path.startswith(self.base)]


def make_site(server, pages, size, headers=None, extra=()):  # noqa: F811
    """An index page linking `pages` pages of `size` bytes of random text,
    and the paths of `extra` ((path, reply) pairs)."""
    base = "/" + uuid.uuid4().hex
    bodies = {}
    for i in range(pages):
        text = f"<html><head><title>page {i}</title></head><body><p>{os.urandom(size // 2).hex()}</p></body></html>"
        bodies[server.script(f"{base}/p{i}", Reply(body=text.encode(), headers=dict(headers or {})))] = text.encode()
    for path, reply in extra:
        server.script(base + path, reply)
    links = "".join(f'<a href="{base}/p{i}">{i}</a>' for i in range(pages))
    links += "".join(f'<a href="{base}{path}">{path}</a>' for path, _ in extra)
    index = f"<html><head><title>index</title></head><body>{links}</body></html>".encode()
    return Site(base, server.script(base + "/", Reply(body=index, headers=dict(headers or {}))), bodies)


@dataclass
class Crawl:
    stats: dict
    items: list
    log: str


class Crawler:
    """Crawls of one site into one cache and one collection."""

    def __init__(self, job_dir, tmp_path, site, collection, **settings):
        self.job_dir, self.tmp, self.site, self.cache = job_dir, tmp_path, site, tmp_path / "cache"
        self.settings = {
            "TELNETCONSOLE_ENABLED": False,
            "LOG_LEVEL": "INFO",
            "HTTPCACHE_ENABLED": True,
            "HTTPCACHE_STORAGE": "Nexra_publish.scrapy.PageStoreCacheStorage",
            "NEXRA_HTTPCACHE_DIR": str(self.cache),
            "ITEM_PIPELINES": {"Nexra_publish.scrapy.ItemStorePipeline": 300},
            "NEXRA_ITEMS_COLLECTION": collection,
            **settings,
        }

    def start(self, name):
        out = self.tmp / name
        settings = dict(self.settings, LOG_FILE=f"{out}.log")
        args = {"start": self.site.start, "stats": f"{out}.json", "settings": settings}
        return subprocess.Popen(
            [sys.executable, str(RUNNER), json.dumps(args)],
            cwd=self.job_dir,
            env=python_env(self.job_dir),
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
        )

    def run(self, name) -> Crawl:
        proc = self.start(name)
        _, err = proc.communicate(timeout=120)
        out = self.tmp / name
        assert proc.returncode == 0, err + Path(f"{out}.log").read_text()
        made = json.loads(Path(f"{out}.json").read_text())
        items = sorted(made["items"], key=lambda i: i["url"])
        return Crawl(made["stats"], items, Path(f"{out}.log").read_text())


def entries_read_back(cache, site):
    """The number of cache entries; each one must read back whole, through
    the storage itself, with what the site serves."""
    from scrapy.http import Request

    storage, spider = reader(cache)
    urls = {storage.entry_path(spider, Request(url)): url for url in [site.start, *site.bodies]}
    files = [str(p) for p in (cache / "store").rglob("*.entry")]
    assert set(files) <= set(urls), "an entry of a request that was never made"
    for path in files:
        url = urls[path]
        got = storage.retrieve_response(spider, Request(url))
        assert got is not None, f"the entry of {url} reads back broken"
        if url in site.bodies:
            assert (got.status, got.url, got.body) == (200, url, site.bodies[url])
    return len(files)


def kill_while_writing(proc, cache, stored_before, more):
    """SIGKILL `proc` once it has stored `more` entries, as soon as another
    is being written (a temporary file beside the entries) or appears.
    "mid-write", "after a write", or None when the crawl ended first."""
    armed = None  # the entries when `more` were stored
    while proc.poll() is None:
        try:
            names = {p.name for p in (cache / "store").rglob("*")}
        except OSError:  # (a directory or temporary file went while listed)
            continue
        entries = {n for n in names if n.endswith(".entry")}
        writing = any(n.endswith(".tmp") for n in names)
        if armed is None:
            armed = entries if len(entries) >= stored_before + more else None
        elif writing or entries - armed:
            proc.kill()
            proc.wait()
            return "mid-write" if writing else "after a write"
    return None


def stored_documents(database, collection, sc, items):
    """The collection's documents; each one is an item of the crawl, keyed
    and stamped as InsertItem keys and stamps a record."""
    docs = {d["_id"]: d for d in database[collection].find()}
    for item in (i for i in items if "when" not in i):
        doc = docs[sc.doc_hash(sc.clean_data(item))]
        assert re.fullmatch(r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d", doc.pop("datetime"))
        assert doc.pop("retry") == "None" and doc.pop("_id") and doc == sc.clean_data(item)
    return docs


@needs_scrapy
@pytest.mark.crawl
def test_killed_crawlers_leave_no_broken_entry_and_the_last_crawl_needs_no_site(
    server, job_dir, tmp_path, database, collection_name, sc
):
    # Large pages, gzipped as they are written: each write takes a while, and
    # the crawler is killed in the middle of one.
    site = make_site(server, pages=12, size=3 << 20)
    crawler = Crawler(job_dir, tmp_path, site, collection_name, HTTPCACHE_GZIP=True, CONCURRENT_REQUESTS=4)
    kills, stored = [], 0
    for n in range(3):
        kills.append(kill_while_writing(crawler.start(f"killed{n}"), crawler.cache, stored, 2))
        stored = entries_read_back(crawler.cache, site)
    assert "mid-write" in kills, kills
    assert stored < len(site.bodies) + 1

    full = crawler.run("full")
    assert entries_read_back(crawler.cache, site) == len(site.bodies) + 1
    assert [i["url"] for i in full.items] == sorted(site.bodies)
    fetched = len(site.requests(server))

    again = crawler.run("again")
    assert len(site.requests(server)) == fetched, "a request of the cached crawl reached the site"
    assert again.items == full.items and again.stats["httpcache/hit"] == len(site.bodies) + 1
    # Each page's item was stored once, whichever crawl got it first.
    assert len(stored_documents(database, collection_name, sc, full.items)) == len(site.bodies)
    assert again.stats["nexra/items_duplicate"] == len(site.bodies) and "nexra/items_stored" not in again.stats
    assert full.stats.get("nexra/items_stored", 0) + full.stats.get("nexra/items_duplicate", 0) == len(site.bodies)


@needs_scrapy
@pytest.mark.crawl
@pytest.mark.parametrize("policy", [DUMMY, RFC2616])
def test_second_crawl_is_served_by_the_cache_and_its_items_dropped_as_duplicates(
    server, job_dir, tmp_path, database, collection_name, sc, policy
):
    # Pages that RFC 2616 may keep an hour; a 404 that neither policy keeps
    # (HTTPCACHE_IGNORE_HTTP_CODES for the dummy one, no freshness for RFC 2616);
    # a page whose item clean_data and doc_hash cannot store.
    hour = {"Cache-Control": "max-age=3600"}
    gone = ("/gone", Reply.html("<title>gone</title>", 404))
    bad = ("/bad", Reply(body=b"<title>bad</title>", headers=hour))
    site = make_site(server, pages=12, size=4000, headers=hour, extra=[gone, bad])
    crawler = Crawler(
        job_dir,
        tmp_path,
        site,
        collection_name,
        HTTPCACHE_POLICY=policy,
        HTTPCACHE_IGNORE_HTTP_CODES=[404],
        HTTPERROR_ALLOWED_CODES=[404],
    )
    first = crawler.run("first")
    before = len(site.requests(server))
    second = crawler.run("second")
    assert site.requests(server)[before:] == [site.base + "/gone"]
    pages = len(site.bodies) + 1  # and the 404's item
    assert second.items == first.items and len(first.items) == pages + 1
    assert second.stats["httpcache/hit"] == pages + 1 and second.stats["httpcache/miss"] == 1

    assert len(stored_documents(database, collection_name, sc, first.items)) == pages
    assert first.stats["nexra/items_stored"] == pages and "nexra/items_duplicate" not in first.stats
    assert second.stats["nexra/items_duplicate"] == pages and "nexra/items_stored" not in second.stats
    assert second.stats["item_dropped_count"] == pages
    assert second.log.count("Dropped: Duplicate key error: Document already exists (_id ") == pages
    # The item with a date: reported as an item error each time, never stored.
    for crawl in (first, second):
        assert crawl.stats["nexra/items_error"] == 1
        assert "ItemNotStored: item not stored, TypeError: Object of type date is not JSON serializable" in crawl.log
    assert not database[collection_name].count_documents({"title": "bad"})
