"""Three Scrapy crawlers share one leased queue on the test database and crawl
the item site (example/item_site.py: index pages, flaky 500s, a redirect, a
page that hangs past the download time-out); the one with the most requests in
flight is SIGKILLed at 40% of the item pages. Each crawler runs in a process of
its own and keeps its own record (example/scrapy_job/shop/record.py); the site logs
every request. What the crawl committed is counted from those records and the
site's log, not from the stored items, which are checked on their own."""

from __future__ import annotations

import json
import os
import signal
import sys
import uuid
from collections import Counter

import pytest

from Nexra_publish._queue_split import add_progress, part_names
from Nexra_publish.scrapy import MIN_SCRAPY
from support import ROOT

scrapy = pytest.importorskip("scrapy")
if tuple(int(p) for p in scrapy.__version__.split(".")[:2]) < MIN_SCRAPY:
    pytest.skip(
        f"Scrapy {scrapy.__version__} is older than the oldest the components support "
        f"({'.'.join(map(str, MIN_SCRAPY))})",
        allow_module_level=True,
    )

sys.path[:0] = [str(ROOT / "example"), str(ROOT / "example" / "scrapy_job")]
import item_site  # noqa: E402
from crawl import account, kill_crawl  # noqa: E402

ITEMS = 600
# A short lease, so that the killed crawler's requests are taken over soon (a
# lease shorter than a few of the test database's calls makes crawlers lose
# leases of requests still waiting in their batch, and fetch them twice); the
# hanging page holds its first answer past the download time-out.
# Each item is held a second before it is stored, as by a pipeline that
# writes to a remote store, so the kill finds items that their requests'
# responses have given and no pipeline has stored yet: a scheduler that
# finished a request before its items were stored would lose those.
SETTINGS = {
    "CONCURRENT_REQUESTS": 8,
    "NEXRA_QUEUE_LEASE": 8,
    "NEXRA_QUEUE_BATCH": 16,
    "DOWNLOAD_TIMEOUT": 2,
    "LOG_LEVEL": "WARNING",
    "ITEM_PIPELINES": {"support.hold_items.HoldItems": 100, "Nexra_publish.scrapy.ItemStorePipeline": 300},
    "HOLD_ITEMS_SECONDS": 1.0,
}
# The crawlers import the pipeline above from the tests' support package.
CRAWLER_PATH = [ROOT / "example" / "scrapy_job", ROOT / "tests"]


def path_of(url: str) -> str:
    return "/" + url.split("://", 1)[-1].partition("/")[2]


# Some 30 s on a quiet machine: the test database's updates read the whole
# collection, and every request is stored, claimed and finished there.
# The queue in one collection, and in four (as on a server whose writes read
# the whole collection).
@pytest.mark.slow
@pytest.mark.crawl
@pytest.mark.parametrize("parts", [1, 4], ids=["one-collection", "four-parts"])
def test_a_killed_crawler_loses_no_request_and_no_item_is_stored_twice(tmp_path, job_dir, database, sc, parts):
    from Nexra_publish import workqueue as wq

    queue, items = "crawl_requests_" + uuid.uuid4().hex[:8], "crawl_items_" + uuid.uuid4().hex[:8]
    settings = dict(SETTINGS, NEXRA_QUEUE_COLLECTION=queue, NEXRA_ITEMS_COLLECTION=items, NEXRA_QUEUE_PARTS=parts)
    with item_site.SiteProcess(tmp_path / "site.log", ITEMS, hang=4) as site:
        path = os.pathsep.join([*map(str, CRAWLER_PATH), str(job_dir), *filter(None, [os.environ.get("PYTHONPATH")])])
        run = kill_crawl(
            3, site.url, tmp_path, settings, job_dir, ITEMS, kill_at=0.4, timeout=90, env={"PYTHONPATH": path}
        )
    plan = site.plan
    log = item_site.read_log(tmp_path / "site.log")
    seen = log.summary(plan)
    figures = account(run, plan.item_paths(), "finish")
    stored = Counter(path_of(d["url"]) for d in database[items].find({}, {"url": 1}))
    progress = add_progress([wq.queue_progress(collection=sc.db[n]) for n in part_names(queue, parts)])
    report = {
        "item_pages": ITEMS,
        "parts": parts,
        "killed_at_items": run["scraped_at_kill"],
        "requests_lost": len(figures["lost"]),
        "commit_in_doubt_at_kill": len(figures["in_doubt"]),
        "committed_twice": len(figures["twice"]),
        "fetched_twice": seen["item_pages_fetched_twice"],
        "takeovers": figures["takeovers"],
        "site_requests": seen["requests"],
        "per_crawler": figures["per_crawler"],
        "wall_seconds": run["wall_seconds"],
    }
    print("kill test:", json.dumps(report))
    outputs = "".join((tmp_path / f"crawler-{i}.out").read_text(errors="replace")[-3000:] for i in range(3))

    # The kill came mid-crawl, and the other two crawlers ended the crawl.
    assert run["victim"] is not None, outputs
    assert run["exit_codes"][run["victim"]] == -signal.SIGKILL
    assert sorted(run["exit_codes"]) == [-signal.SIGKILL, 0, 0], outputs
    # The site's faults were all met: every flaky page answered 500 as often
    # as planned (and then 200), the redirect was followed, the page hung once.
    assert all(log.answers[f"/item/{n}"][:k] == ["500"] * k for n, k in plan.flaky.items())
    assert f"/item/{plan.redirected}" in log.answers and seen["redirects"] >= 1
    assert seen["hangs"] == 1
    # Every item page was fetched (the site's log) and committed exactly once
    # (the crawlers' records), and its item stored exactly once.
    assert seen["item_pages_missing"] == []
    assert figures["lost"] == [] and figures["twice"] == [], outputs
    assert stored == Counter({p: 1 for p in plan.item_paths()})
    # Every request that reached the site was finished by some crawler, and
    # the queue holds nothing free or leased.
    finished = {path_of(e[1]) for r in run["records"] for e in r if e[0] == "finish"}
    begun = {path_of(e[1]) for e in run["records"][run["victim"]] if e[0] == "finishing"}
    assert set(log.answers) <= finished | begun
    assert (progress["free"], progress["leased"], progress["stuck"]) == (0, 0, 0), progress
    # The victim died holding requests, which the others took over.
    assert figures["takeovers"] > 0
