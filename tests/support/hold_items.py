"""An item pipeline that holds each item a while before the next pipeline
gets it, as one that writes to a remote store does, for the crawls whose
kill must find items between their response and their storage: a scheduler
that finished a request before its items were stored loses them then.

    ITEM_PIPELINES = {"support.hold_items.HoldItems": 100, ...}
    HOLD_ITEMS_SECONDS = 0.5
"""

from __future__ import annotations

from scrapy.utils.defer import maybe_deferred_to_future
from twisted.internet import reactor
from twisted.internet.task import deferLater


class HoldItems:
    def __init__(self, seconds: float):
        self.seconds = seconds

    @classmethod
    def from_crawler(cls, crawler):
        return cls(crawler.settings.getfloat("HOLD_ITEMS_SECONDS", 0.5))

    async def process_item(self, item, spider=None):
        await maybe_deferred_to_future(deferLater(reactor, self.seconds, lambda: None))
        return item
