"""The crawler's own record of what it did, one line per event, each written
through at once, so that a crawler killed at any moment leaves a record that
is whole up to its death.

Lines are tab-separated: time, event, URL, detail. Events: "reached" (a request
went to the downloader), "response" (its status as detail), "item" (an item
passed the pipelines), "dropped" (a pipeline dropped it), both with the key of
the request's queue row (LeasedScheduler's) as detail,
"error" (a callback raised), "finishing" (a request's queue row is about to
be committed: one line per row handed to `workqueue.finish`), "finish" (the
row was committed: one line per row that call returned, once it returned),
both with the row's key as detail,
"closed" (the reason as detail). A crawler killed during the call leaves
"finishing" lines without their "finish": those rows may or may not have been
committed.

    CRAWL_RECORD = "/path/crawler-1.log"     # no setting: no record
"""

from __future__ import annotations

import os
import threading
import time

from scrapy import signals
from scrapy.exceptions import NotConfigured


class CrawlRecord:
    def __init__(self, path: str):
        self.lock = threading.Lock()
        self.file = open(path, "a", buffering=1, encoding="utf-8")
        self.write("started", "", str(os.getpid()))
        self._watch_finishes()

    def _watch_finishes(self) -> None:
        """Record each commit of a queue row: wrap the queue's `finish`, which
        the scheduler looks up on the module at each call (from its own thread)."""
        try:
            from Nexra_publish import workqueue
        except ImportError:
            return
        finish = getattr(workqueue, "_recorded_finish", None) or workqueue.finish

        def recorded_finish(items, *args, **kwargs):
            for row in items:
                self.write("finishing", str(row.get("url")), str(row.get("_id")))
            done = finish(items, *args, **kwargs)
            for row in done:
                self.write("finish", str(row.get("url")), str(row.get("_id")))
            return done

        workqueue._recorded_finish = finish
        workqueue.finish = recorded_finish

    @staticmethod
    def row_of(response) -> str:
        """The queue row (its key) whose request gave `response`; "" without one."""
        try:
            from Nexra_publish.scrapy.scheduler import MARK
        except ImportError:
            return ""
        key = response.meta.get(MARK)
        return "" if key is None else str(key)

    @classmethod
    def from_crawler(cls, crawler):
        path = crawler.settings.get("CRAWL_RECORD")
        if not path:
            raise NotConfigured
        ext = cls(path)
        crawler.signals.connect(ext.reached, signal=signals.request_reached_downloader)
        crawler.signals.connect(ext.response, signal=signals.response_received)
        crawler.signals.connect(ext.item, signal=signals.item_scraped)
        crawler.signals.connect(ext.dropped, signal=signals.item_dropped)
        crawler.signals.connect(ext.error, signal=signals.spider_error)
        crawler.signals.connect(ext.closed, signal=signals.spider_closed)
        crawler.record = ext
        return ext

    def write(self, event: str, url: str, detail: str = "") -> None:
        with self.lock:
            if not self.file.closed:
                self.file.write(f"{time.time():.6f}\t{event}\t{url}\t{detail}\n")

    def reached(self, request, spider):
        self.write("reached", request.url)

    def response(self, response, request, spider):
        self.write("response", request.url, str(response.status))

    def item(self, item, response, spider):
        self.write("item", response.url, self.row_of(response))

    def dropped(self, item, response, exception, spider):
        self.write("dropped", response.url, self.row_of(response))

    def error(self, failure, response, spider):
        self.write("error", response.url, failure.getErrorMessage().replace("\t", " ").replace("\n", " "))

    def closed(self, spider, reason):
        self.write("closed", "", reason)
