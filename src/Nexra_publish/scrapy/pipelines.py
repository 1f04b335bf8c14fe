"""ItemStorePipeline: each scraped item stored once, keyed by its content, as
Scrape_common.InsertItem stores a record.

    ITEM_PIPELINES = {"Nexra_publish.scrapy.ItemStorePipeline": 300}
    NEXRA_ITEMS_COLLECTION = "items_%(spider)s"   # the default

An item becomes a dict through ItemAdapter, is cleaned by clean_data, gets
"_id" = doc_hash of the cleaned record, then "datetime" (local time,
"%Y-%m-%d %H:%M:%S") and "retry" (the text of the item's own "retry" field,
"None" without one), and is inserted into the collection of Scrape_common.db.
The same content stored before is refused by the database's unique "_id"
and dropped (DropItem, with the reason). The insert runs in the reactor's
thread pool, so the crawl goes on while the database answers.
"""

from __future__ import annotations

import datetime
from typing import Any

from itemadapter import ItemAdapter
from scrapy.exceptions import DropItem
from scrapy.utils.defer import maybe_deferred_to_future
from twisted.internet.threads import deferToThread

DEFAULT_COLLECTION = "items_%(spider)s"


class ItemNotStored(ValueError):
    """An item that cannot become a stored document (clean_data or doc_hash
    refused it); nothing of it was stored."""


class ItemStorePipeline:
    """Stats: nexra/items_stored, nexra/items_duplicate, nexra/items_error
    (items that clean_data or doc_hash refused, raised as ItemNotStored;
    Scrapy reports them as item errors)."""

    def __init__(self, crawler: Any):
        self.crawler = crawler
        self.stats = crawler.stats
        self.collection_setting: str = crawler.settings.get("NEXRA_ITEMS_COLLECTION") or DEFAULT_COLLECTION
        self.collection: Any = None
        self._sc: Any = None
        self._duplicate: Any = None

    @classmethod
    def from_crawler(cls, crawler: Any) -> ItemStorePipeline:
        return cls(crawler)

    def open_spider(self, spider: Any = None) -> None:
        # Scrape_common starts the job's database client when first imported.
        import pymongo.errors

        from Nexra_publish import Scrape_common

        spider = spider or self.crawler.spider
        self._sc = Scrape_common
        self._duplicate = pymongo.errors.DuplicateKeyError
        name = self.collection_setting % {"spider": spider.name}
        self.collection = Scrape_common.db[name]

    def document(self, item: Any) -> dict:
        """The document stored for `item`: cleaned, keyed and stamped. Raises
        ItemNotStored when the item cannot be one."""
        try:
            record = ItemAdapter(item).asdict()
            doc = self._sc.clean_data(record)
            doc["_id"] = self._sc.doc_hash(doc)
        except (TypeError, ValueError, AttributeError) as e:
            self.stats.inc_value("nexra/items_error")
            raise ItemNotStored(f"item not stored, {type(e).__name__}: {e}") from e
        doc["datetime"] = datetime.datetime.now().strftime("%Y-%m-%d %H:%M:%S")
        doc["retry"] = str(record.get("retry"))
        return doc

    def _insert(self, doc: dict) -> bool:
        """In a worker thread: True when stored, False for a duplicate key."""
        try:
            self.collection.insert_one(doc)
        except self._duplicate:
            return False
        return True

    async def process_item(self, item: Any, spider: Any = None) -> Any:
        doc = self.document(item)
        stored = await maybe_deferred_to_future(deferToThread(self._insert, doc))
        if not stored:
            self.stats.inc_value("nexra/items_duplicate")
            raise DropItem(f"Duplicate key error: Document already exists (_id {doc['_id']} in {self.collection.name})")
        self.stats.inc_value("nexra/items_stored")
        return item
