"""One Scrapy crawl in a process of its own, for the cache and item store tests:
``python store_crawl.py '<json>'`` with the start URL, the settings, and the
file that gets the crawl's stats and the items its spider made (whatever the
pipelines did with them) when it ends. The spider follows every link
of the start page and makes one item of each page it reaches (with a date in
it for a page titled "bad")."""

from __future__ import annotations

import datetime
import json
import sys

import scrapy
from scrapy.crawler import CrawlerProcess


class Pages(scrapy.Spider):
    name = "store"
    made: list = []

    def parse(self, response):
        for href in response.css("a::attr(href)").getall():
            yield response.follow(href, self.parse_page)

    def parse_page(self, response):
        item = {
            "url": response.url,
            "title": response.css("title::text").get(),
            "status": response.status,
            "size": len(response.body),
        }
        if item["title"] == "bad":  # a value that no stored document can hold
            item["when"] = datetime.date(2024, 1, 31)
        self.made.append(item)
        yield item


def main(args: dict) -> None:
    Pages.start_urls = [args["start"]]
    process = CrawlerProcess(args["settings"])
    crawler = process.create_crawler(Pages)
    process.crawl(crawler)
    process.start()
    with open(args["stats"], "w") as f:
        json.dump({"stats": crawler.stats.get_stats(), "items": Pages.made}, f, default=str)


if __name__ == "__main__":
    main(json.loads(sys.argv[1]))
