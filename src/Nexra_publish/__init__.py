"""Support library for web-scraping jobs.

Members: ``configuration`` (a job's settings), ``Scrape_common`` (work
queue, page fetching, record cleaning and hashing, item storage, export) and
``workqueue`` (many workers on one queue: leased claims on Scrape_common's
input collections). All three are extension modules; import them by their
full names.
"""
