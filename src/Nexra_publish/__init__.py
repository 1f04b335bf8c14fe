"""Support library for web-scraping jobs.

Members: ``configuration`` (a job's settings) and ``Scrape_common`` (work
queue, page fetching, record cleaning and hashing, item storage, export).
Both are extension modules; import them by their full names.
"""
