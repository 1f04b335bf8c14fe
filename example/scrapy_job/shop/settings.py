"""Settings of the shop crawl: the library's scheduler, item pipeline and, where
given, cache storage and feed exporters; crawl.py overrides any of them."""

BOT_NAME = "shop"
SPIDER_MODULES = ["shop.spiders"]
ROBOTSTXT_OBEY = False
TELNETCONSOLE_ENABLED = False
LOG_LEVEL = "INFO"

# Requests live in the job's database, leased to the crawler that works them.
SCHEDULER = "Nexra_publish.scrapy.LeasedScheduler"
NEXRA_QUEUE_COLLECTION = "requests_%(spider)s"
NEXRA_QUEUE_LEASE = 60
NEXRA_QUEUE_PERSIST = True
# It learns there when a callback's output has ended.
SPIDER_MIDDLEWARES = {"Nexra_publish.scrapy.LeaseFinishMiddleware": 0}

# Items are cleaned, keyed by their content hash and stored once.
ITEM_PIPELINES = {"Nexra_publish.scrapy.ItemStorePipeline": 300}
NEXRA_ITEMS_COLLECTION = "items_%(spider)s"

# Each crawler writes its own account of what it did (shop.record).
EXTENSIONS = {"shop.record.CrawlRecord": 0}

CONCURRENT_REQUESTS = 8
CONCURRENT_REQUESTS_PER_DOMAIN = 8
DOWNLOAD_TIMEOUT = 2
RETRY_TIMES = 2
# A page that hangs is asked for again soon; the crawl is on loopback.
DOWNLOAD_DELAY = 0
REQUEST_FINGERPRINTER_IMPLEMENTATION = "2.7"
