"""The shop spider: the start page links to index pages, each index page to
item pages, and each item page gives one item."""

from __future__ import annotations

import scrapy


class ShopSpider(scrapy.Spider):
    name = "shop"

    def __init__(self, url: str = "", **kwargs):
        super().__init__(**kwargs)
        if not url:
            raise ValueError("the shop spider needs the site's address: -a url=http://...")
        self.start_urls = [url.rstrip("/") + "/"]

    def parse(self, response):
        for href in response.css("a.index::attr(href)").getall():
            yield response.follow(href, self.parse_index)

    def parse_index(self, response):
        for href in response.css("a.item::attr(href)").getall():
            yield response.follow(href, self.parse_item)

    def parse_item(self, response):
        item = {
            "url": response.url,
            "sku": response.css("td.sku::text").get(),
            "name": response.css("h1.name::text").get(),
            "price": response.css("td.price::text").get(),
            "stock": response.css("td.stock::text").get(),
        }
        note = response.css("p.note::text").get()
        if note is not None:
            item["note"] = note
        yield item
