"""The shop spider on scrapy-redis, for the side-by-side bench only: its start
page comes from the Redis key "shop:start_urls", and an idle crawler stays
open while that key or the shared queue holds requests, and for
MAX_IDLE_TIME_BEFORE_CLOSE seconds after, as scrapy-redis spiders do."""

from __future__ import annotations

from scrapy_redis.spiders import RedisMixin

from shop.spiders import ShopSpider


class ShopRedisSpider(RedisMixin, ShopSpider):
    redis_key = "shop:start_urls"

    @classmethod
    def from_crawler(cls, crawler, *args, **kwargs):
        spider = super().from_crawler(crawler, *args, **kwargs)
        spider.setup_redis(crawler)
        return spider
