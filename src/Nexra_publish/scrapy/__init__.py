"""Scrapy components over the native modules, named in a project's settings:

    SCHEDULER = "Nexra_publish.scrapy.LeasedScheduler"
    SPIDER_MIDDLEWARES = {"Nexra_publish.scrapy.LeaseFinishMiddleware": 0}
    HTTPCACHE_STORAGE = "Nexra_publish.scrapy.PageStoreCacheStorage"
    ITEM_PIPELINES = {"Nexra_publish.scrapy.ItemStorePipeline": 300}
    FEED_EXPORTERS = {"xlsx": "Nexra_publish.scrapy.XlsxItemExporter",
                      "csv": "Nexra_publish.scrapy.CsvItemExporter"}

Each component lives in a submodule of its own and is imported when first
named, so that importing this package does not import Scrapy.
"""

from __future__ import annotations

import importlib
from typing import Any

# The oldest Scrapy these components run on.
MIN_SCRAPY = (2, 7)

_WHERE = {
    "LeasedScheduler": "scheduler",
    "LeaseFinishMiddleware": "scheduler",
    "PageStoreCacheStorage": "httpcache",
    "ItemStorePipeline": "pipelines",
    "XlsxItemExporter": "exporters",
    "CsvItemExporter": "exporters",
}

__all__ = sorted(_WHERE)


def __getattr__(name: str) -> Any:
    where = _WHERE.get(name)
    if where is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f"{__name__}.{where}"), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted(list(globals()) + __all__)
