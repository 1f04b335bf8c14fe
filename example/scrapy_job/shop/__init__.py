"""The Scrapy variant of the example job: a spider over the item site
(example/item_site.py), on the library's Scrapy components."""
