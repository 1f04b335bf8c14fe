"""LeasedScheduler: Scrapy's scheduler over the work queue's fenced leases.

Requests live in a collection of the job's database, one row each, keyed by
the request's fingerprint, so that the database itself refuses duplicates.
A crawler claims rows in batches (``workqueue.claim_input`` with
``collection=`` and a sort by priority), holds them by lease while it works
on them, renews the leases at half-lease, and finishes a row only when the
request's processing has ended. A crawler that dies holds its leases until
they run out; then another takes the rows over. The queue may be kept in
parts (``NEXRA_QUEUE_PARTS``), each a collection and a queue of its own, so
that on a server whose writes read the whole collection each write reads
only one part; a row's part is fixed by its key.

Every database call runs in one worker thread per crawler, so the reactor
never waits on the database: requests to store, rows to finish or give back
are handed to it, and it hands back claimed requests. It stores a batch of
new requests before it finishes anything handed to it after them, so a
request is in the database before the request that produced it is finished.

Scrapy tells a scheduler nothing about a request once it has handed it out.
The end of its processing is learnt here from:

- ``LeaseFinishMiddleware``, a spider middleware that must come before every
  other (order 0): it sees the response enter the spider, counts the items of
  the callback's output and sees that output end;
- the signals ``item_scraped``, ``item_dropped`` and ``item_error`` (one per
  item, when it has passed the pipelines) and ``spider_error``;
- the errback of each request handed out, which is wrapped: it sees a
  download that failed, whether the request has an errback of its own or not;
- the request's own retries and redirects: a request enqueued that carries the
  lease marker in its meta (Scrapy copies meta into it) while the original had
  no response in the spider is the original's successor.
"""

from __future__ import annotations

import heapq
import inspect
import logging
import os
import pickle
import threading
import time
import weakref

from scrapy import signals
from scrapy.core.scheduler import BaseScheduler
from scrapy.exceptions import DontCloseSpider
from scrapy.http import Request
from scrapy.utils.misc import arg_to_iter
from scrapy.utils.request import request_from_dict
from twisted.internet.defer import Deferred
from twisted.python.failure import Failure

from .._queue_split import add_progress, layouts, part_names, part_of

logger = logging.getLogger(__name__)

# The meta key naming the queue row whose lease a request is worked under.
MARK = "nexra_lease"
# The order in which claims try free rows: priority, then insertion order.
ORDER = [("priority", -1), ("seq", 1)]
_CLAIM_STATUS = "done"
# Seconds a finish may wait for others to share its call: each call costs a
# few round trips and, on a server without indexes, a scan of the queue.
FINISH_WAIT = 0.2

# The scheduler of each running crawler, for its middleware.
_SCHEDULERS: weakref.WeakKeyDictionary = weakref.WeakKeyDictionary()

_BUFFERED, _DOWNLOADING, _SCRAPING, _OVER = "buffered", "downloading", "scraping", "over"


def _reactor():
    from twisted.internet import reactor

    return reactor


class _Held:
    """A request this crawler holds by lease: the row's handle (``doc``, used
    by the worker thread only) and where its processing stands (the reactor's
    only)."""

    __slots__ = ("key", "doc", "part", "request", "rank", "phase", "outputs", "items", "ended", "checking", "renewed")

    def __init__(self, doc, part, request, renewed):
        self.key, self.doc, self.part, self.request = doc["_id"], doc, part, request
        self.rank = (-int(doc.get("priority") or 0), doc.get("seq") or 0, self.key)
        self.phase = _BUFFERED
        self.outputs = 0  # callback or errback outputs being consumed
        self.items = 0  # items of those outputs not yet through the pipelines
        self.ended = False  # an event said the processing ended (outputs and items may remain)
        self.checking = False
        self.renewed = renewed  # monotonic time of the claim or the last renewal

    def __lt__(self, other):
        return self.rank < other.rank


class _Errback:
    """The errback of a request handed out: it tells the scheduler that the
    download failed, then calls the request's own errback (if any), whose
    output is followed like a callback's. A request enqueued with it (a retry)
    is stored with the original errback."""

    __slots__ = ("scheduler", "held", "original")

    def __init__(self, scheduler, held, original):
        self.scheduler, self.held, self.original = scheduler, held, original

    def __call__(self, failure):
        held, original = self.held, self.original
        if held.phase == _SCRAPING:
            # A spider middleware refused the response (HttpError): the
            # errback's output goes through the middlewares, which count it.
            return failure if original is None else original(failure)
        if original is None:  # dropped: Scrapy logs it as without an errback
            self.scheduler._end(held)
            return failure
        return self.scheduler._follow(held, original(failure))


class _Worker:
    """The scheduler's database threads. One stores new requests, finishes
    and gives back rows and renews the leases held, in the order handed in;
    the other claims batches (and reads the queue's progress for an idle
    spider), so that claims overlap the writes. The queue may be kept in
    several collections (`cols`, its parts): each call goes to the part of
    the rows it names."""

    def __init__(self, scheduler, cols, wq):
        s = scheduler
        self.s, self.cols, self.wq = s, cols, wq
        self.lease, self.batch, self.max_claims = s.lease, s.batch, s.max_claims
        self.poll = min(1.0, s.lease / 4)  # seconds between claims while nothing seems free
        self.cond = threading.Condition()
        self.inserts = []  # (row, request) to store
        self.finishes = []  # _Held to finish, after the inserts handed in before them
        self.finish_since = 0.0  # monotonic time the oldest of them was handed in
        self.releases = []  # _Held to give back
        self.unstored = 0  # requests handed in and not stored yet
        self.unfinished = 0  # rows handed in to finish or give back, not done yet
        self.live = {}  # key -> _Held: the leases held, to renew (under cond)
        self.want = True  # the reactor's buffer is low
        self.check = False  # an idle spider asks where the queue stands
        # Per part: batches stored in it (rows may have become free since a
        # short claim), and that count when its last claim came up short.
        self.stored = [0] * len(cols)
        self.empty_at = [None] * len(cols)
        self.next_poll = [0.0] * len(cols)  # per part: when to try it again though it came up short
        self.turn = -1  # the part the last claim began with
        self.closing = None  # the Deferred close() returned, once closing
        self.claimer_done = False
        self.threads = [
            threading.Thread(target=self._writes, name="nexra-scheduler-writes", daemon=True),
            threading.Thread(target=self._claims, name="nexra-scheduler-claims", daemon=True),
        ]

    def start(self):
        for t in self.threads:
            t.start()

    # -- from the reactor ---------------------------------------------------

    def hand(self, inserts=(), finishes=(), releases=(), want=None, check=False):
        with self.cond:
            self.inserts.extend(inserts)
            if finishes and not self.finishes:
                self.finish_since = time.monotonic()
            self.finishes.extend(finishes)
            self.releases.extend(releases)
            self.unstored += len(inserts)
            self.unfinished += len(finishes) + len(releases)
            if want is not None:
                self.want = want
            self.check = self.check or check
            self.cond.notify_all()

    def pending(self):
        """Requests handed in and not stored yet, or rows that may be free."""
        return self.unstored > 0 or self.empty_at != self.stored

    def busy(self):
        return self.unstored > 0 or self.unfinished > 0

    def close(self, releases, done):
        with self.cond:
            self.releases.extend(releases)
            self.unfinished += len(releases)
            self.closing = done
            self.cond.notify_all()

    # -- the threads --------------------------------------------------------

    def _call_reactor(self, fn, *args):
        _reactor().callFromThread(fn, *args)

    def _count(self, key, n=1):
        if n:
            self._call_reactor(self.s.stats.inc_value, key, n)

    def _retry(self, what, e, backoff):
        logger.warning("LeasedScheduler: database error (%s), trying again: %s: %s", what, type(e).__name__, e)
        backoff = min(max(backoff * 2, 0.1), 5.0)
        time.sleep(backoff)
        return backoff

    def _writes(self):
        backoff = 0.0
        while True:
            with self.cond:
                while not (self.inserts or self.releases or self.closing):
                    # Finishes alone wait, up to FINISH_WAIT or a batch of
                    # them, so that they share one call (finished later,
                    # never earlier).
                    now = time.monotonic()
                    due = [h.renewed + self.lease / 2 - now for h in self.live.values()]
                    if self.finishes:
                        if len(self.finishes) >= self.batch:
                            break
                        due.append(self.finish_since + FINISH_WAIT - now)
                    wait = min(due) if due else None
                    if wait is not None and wait <= 0:
                        break
                    self.cond.wait(wait)
                inserts, finishes, releases = self.inserts, self.finishes, self.releases
                self.inserts, self.finishes, self.releases = [], [], []
                closing = self.closing
            try:  # (each call takes out of its list what it has done)
                self._store(inserts)
                self._end(finishes, self.wq.finish, "nexra/finished", _CLAIM_STATUS)
                self._end(releases, self.wq.release, "nexra/released")
                if closing is not None:
                    with self.cond:
                        while not self.claimer_done:
                            self.cond.wait()
                        rest, self.releases = self.releases, []  # claimed while closing
                    self._end(rest, self.wq.release, "nexra/released")
                    self._close()
                    self._call_reactor(closing.callback, None)
                    return
                self._renew()
                backoff = 0.0
            except Exception as e:  # the database: hand back, try again soon
                if closing is not None:
                    logger.error("LeasedScheduler: closing failed: %s: %s", type(e).__name__, e)
                    self._call_reactor(closing.callback, None)
                    return
                with self.cond:
                    self.inserts[:0], self.finishes[:0], self.releases[:0] = inserts, finishes, releases
                backoff = self._retry("writes", e, backoff)

    @staticmethod
    def _parts(todo, part):
        """`todo` by part: [(part, its items)], in the order of the parts."""
        groups = {}
        for x in todo:
            groups.setdefault(part(x), []).append(x)
        return sorted(groups.items(), key=lambda g: g[0])

    @staticmethod
    def _take_out(todo, done):
        ids = {id(x) for x in done}
        todo[:] = [x for x in todo if id(x) not in ids]

    def _store(self, inserts):
        """Store the (row, request) `inserts`, a part at a time; a part's are
        taken out of the list once stored."""
        from pymongo.errors import BulkWriteError

        n = len(self.cols)
        for part, group in self._parts(inserts, lambda x: part_of(x[0]["_id"], n)):
            refused = []
            try:
                self.cols[part].insert_many([row for row, _ in group], ordered=False)
            except BulkWriteError as e:
                errors = e.details.get("writeErrors", [])
                if e.details.get("writeConcernErrors") or any(w.get("code") != 11000 for w in errors):
                    raise  # not known to be stored: all of them again (duplicates then)
                refused = [group[w["index"]][1] for w in errors]
            self._take_out(inserts, group)
            with self.cond:
                self.unstored -= len(group)
                self.stored[part] += 1
                self.cond.notify_all()
            if refused:
                self._call_reactor(self.s._refused, refused)
            self._count("nexra/stored", len(group) - len(refused))

    def _end(self, helds, step, counter, *status):
        """Finish or give back `helds`, a part at a time (a part's are taken
        out of the list once done); those the step leaves out were lost."""
        for part, group in self._parts(helds, lambda h: h.part):
            done = step([h.doc for h in group], *status, collection=self.cols[part])
            self._take_out(helds, group)
            with self.cond:
                for h in group:
                    self.live.pop(h.key, None)
                self.unfinished -= len(group)
            self._count(counter, len(done))
            self._count("nexra/lost", len(group) - len(done))

    def _renew(self):
        now = time.monotonic()
        with self.cond:
            due = [h for h in self.live.values() if h.renewed + self.lease / 2 <= now]
        for part, group in self._parts(due, lambda h: h.part):
            kept = self.wq.extend_lease([h.doc for h in group], self.lease, collection=self.cols[part])
            kept = {id(d) for d in kept}
            lost = []
            with self.cond:
                for h in group:
                    if id(h.doc) in kept:
                        h.renewed = now
                    elif self.live.pop(h.key, None) is not None:
                        lost.append(h)
            if lost:
                self._count("nexra/lost", len(lost))
                self._call_reactor(self.s._lost, lost)

    def _claims(self):
        backoff = 0.0
        while True:
            with self.cond:
                while True:
                    if self.closing is not None:
                        self.claimer_done = True
                        self.cond.notify_all()
                        return
                    now = time.monotonic()
                    parts = [i for i, e in enumerate(self.empty_at) if e != self.stored[i] or now >= self.next_poll[i]]
                    if self.check or (self.want and parts):
                        break
                    self.cond.wait(max(min(self.next_poll) - now, 0.01) if self.want else None)
                check, self.check = self.check, False
                want, stored = self.want, list(self.stored)
            try:
                if want and parts:
                    self._claim(parts, stored)
                if check:
                    p = add_progress([self.wq.queue_progress(None, self.max_claims, collection=c) for c in self.cols])
                    self._call_reactor(self.s._reading, time.monotonic(), p)
                backoff = 0.0
            except Exception as e:
                with self.cond:
                    self.check = self.check or check
                backoff = self._retry("claims", e, backoff)

    def _claim(self, parts, stored):
        """Claim a batch from `parts`, the parts that may have free rows, an
        even share from each (starting, pass after pass, at the next part, so
        that a batch smaller than the parts takes from each in turn)."""
        share, got = -(-self.batch // len(parts)), 0
        self.turn = (self.turn + 1) % len(parts)
        for part in parts[self.turn :] + parts[: self.turn]:
            if got >= self.batch:
                break
            got += self._claim_part(part, share, stored)
        if got < self.batch:
            self._call_reactor(self.s._wake)  # has_pending_requests may be False now

    def _claim_part(self, part, want, stored):
        now = time.monotonic()
        col = self.cols[part]
        docs = self.wq.claim_input(None, want, self.lease, self.max_claims, collection=col, sort=ORDER)
        held, bad = [], []
        for doc in docs:
            try:
                request = self.s._decode(doc)
            except Exception as e:  # a row this spider cannot read: given back, so it ends stuck
                logger.error("LeasedScheduler: cannot read request %r: %s: %s", doc["_id"], type(e).__name__, e)
                bad.append(_Held(doc, part, None, now))
                continue
            held.append(_Held(doc, part, request, now))
        done = self._superseded(held)
        if done:
            held = [h for h in held if h not in done]
        with self.cond:
            for h in held + bad + done:
                self.live[h.key] = h
            if done:
                if not self.finishes:
                    self.finish_since = now
                self.finishes.extend(done)
                self.unfinished += len(done)
            if len(docs) < want:
                self.empty_at[part], self.next_poll[part] = stored[part], now + self.poll
            if self.closing is not None:  # too late to hand out: given back by the writer
                self.releases.extend(held + bad)
                self.unfinished += len(held) + len(bad)
                held = bad = []
            elif bad:
                self.releases.extend(bad)
                self.unfinished += len(bad)
            self.cond.notify_all()
        self._count("nexra/claimed", len(docs))
        self._count("nexra/superseded", len(done))
        if held:
            self._call_reactor(self.s._add, held)
        return len(docs)

    def _superseded(self, held):
        """Of the rows `held` that another crawler held before (a takeover, or
        a row given back), those whose successor (a retry, a redirect) that
        crawler stored: their download had ended, and the successor carries
        the request on, so they are finished rather than fetched again (a
        successor may be in any part). On a database error, none: fetching
        again is safe."""
        again = {h.key: h for h in held if (h.doc.get("_claims") or 1) > 1}
        if not again:
            return []
        from pymongo import ReadPreference

        try:
            parents = set()
            for col in self.cols:
                rows = col.with_options(read_preference=ReadPreference.PRIMARY).find(
                    {"parent": {"$in": list(again)}}, {"parent": 1}
                )
                parents.update(r["parent"] for r in rows)
            return [again[k] for k in parents if k in again]
        except Exception as e:
            logger.debug("LeasedScheduler: successors of taken-over rows not read: %s: %s", type(e).__name__, e)
            return []

    def _close(self):
        if self.s.persist:
            return
        if all(c.count_documents({"_lease_done": {"$ne": True}}, limit=1) == 0 for c in self.cols):
            for c in self.cols:
                c.database[c.name + "_leases"].drop()
                c.drop()
            logger.info(
                "LeasedScheduler: every request finished: dropped %s", ", ".join(c.full_name for c in self.cols)
            )


class LeasedScheduler(BaseScheduler):
    """A Scrapy scheduler whose requests live in a collection of the job's
    database (``Scrape_common.db``) and are worked under fenced leases, so
    that several crawlers share one queue and a crawler that dies loses
    nothing. Needs ``LeaseFinishMiddleware`` in ``SPIDER_MIDDLEWARES`` at
    order 0. Settings: ``NEXRA_QUEUE_COLLECTION``, ``NEXRA_QUEUE_LEASE``,
    ``NEXRA_QUEUE_BATCH``, ``NEXRA_QUEUE_MAX_CLAIMS``,
    ``NEXRA_QUEUE_PERSIST``, ``NEXRA_QUEUE_IDLE_WAIT``,
    ``NEXRA_QUEUE_PARTS``."""

    def __init__(self, crawler):
        settings = crawler.settings
        self.crawler, self.stats = crawler, crawler.stats
        self.collection_name = settings.get("NEXRA_QUEUE_COLLECTION", "requests_%(spider)s")
        self.lease = settings.getfloat("NEXRA_QUEUE_LEASE", 300.0)
        self.batch = settings.getint("NEXRA_QUEUE_BATCH", 32)
        self.max_claims = settings.getint("NEXRA_QUEUE_MAX_CLAIMS", 5)
        self.persist = settings.getbool("NEXRA_QUEUE_PERSIST", True)
        self.parts = settings.getint("NEXRA_QUEUE_PARTS", 1)
        idle = settings.get("NEXRA_QUEUE_IDLE_WAIT")
        self.idle_wait = self.lease if idle is None else float(idle)
        if not self.lease > 0 or min(self.batch, self.max_claims, self.parts) < 1 or self.idle_wait < 0:
            raise ValueError(
                "LeasedScheduler: NEXRA_QUEUE_LEASE must be above 0, NEXRA_QUEUE_BATCH, "
                "NEXRA_QUEUE_MAX_CLAIMS and NEXRA_QUEUE_PARTS at least 1, NEXRA_QUEUE_IDLE_WAIT at least 0"
            )
        self.spider = None
        self._held = {}  # key -> _Held: every lease this crawler holds, buffered or in progress
        self._buffer = []  # heap of _Held claimed and not handed out
        self._memory = []  # requests that cannot be stored (not serialisable), in memory only
        self._seen = set()  # row ids stored or refused: known duplicates
        self._last_seq = 0
        self._reading_at, self._progress = None, None  # the worker's last queue_progress
        self._idle_since = None
        self._closing = False
        self._logged_duplicate = self._logged_memory = False
        self._worker = None
        _SCHEDULERS[crawler] = self

    @classmethod
    def from_crawler(cls, crawler):
        return cls(crawler)

    # -- the scheduler interface ---------------------------------------------

    def open(self, spider):
        from Nexra_publish import Scrape_common, workqueue

        self.spider = spider
        self._check_middleware()
        name = self.collection_name % {"spider": spider.name}
        db = Scrape_common.db
        self._check_parts(db, name)
        cols = [db[n] for n in part_names(name, self.parts)]
        for col in cols:
            try:  # the claims' order and the successors' look-up, on a server that keeps indexes
                col.create_index(ORDER)
                col.create_index("parent", sparse=True)
            except Exception as e:
                logger.debug("LeasedScheduler: no index on %s: %s", col.name, e)
        s = self.crawler.signals
        s.connect(self._item_done, signal=signals.item_scraped)
        s.connect(self._item_done, signal=signals.item_dropped)
        s.connect(self._item_done, signal=signals.item_error)
        s.connect(self._spider_error, signal=signals.spider_error)
        s.connect(self._spider_idle, signal=signals.spider_idle)
        self._worker = _Worker(self, cols, workqueue)
        self._worker.start()
        logger.info(
            "LeasedScheduler: queue %s.%s%s, lease %s s, batch %d",
            db.name,
            name,
            f" in {self.parts} parts" if self.parts > 1 else "",
            self.lease,
            self.batch,
        )

    def _check_parts(self, db, name):
        """Refuse a queue whose rows were stored in another number of parts:
        its rows would be claimed from the wrong collections, and duplicates
        not refused."""
        for parts, names in sorted(layouts(db.list_collection_names(), name).items()):
            if parts != self.parts and any(db[n].count_documents({}, limit=1) for n in names):
                raise RuntimeError(
                    f"LeasedScheduler: the queue {name} holds requests in {parts} part(s) "
                    f"({', '.join(sorted(names))}), but NEXRA_QUEUE_PARTS is {self.parts}: set "
                    f"NEXRA_QUEUE_PARTS = {parts} to go on with it, or drop those collections "
                    "(and their _leases) to start afresh"
                )

    def close(self, reason):
        self._closing = True
        if self._worker is None:  # open() failed
            return None
        rest = list(self._held.values())
        self._held.clear()
        self._buffer = []
        if self._memory:
            logger.warning("LeasedScheduler: %d request(s) that could not be stored are dropped", len(self._memory))
        done = Deferred()
        self._worker.close(rest, done)
        return done

    def has_pending_requests(self):
        return bool(self._buffer or self._memory) or (self._worker is not None and self._worker.pending())

    def enqueue_request(self, request):
        parent = self._held.get(request.meta.get(MARK))
        errback = request.errback
        if isinstance(errback, _Errback):  # a retry or redirect of a request handed out
            request = request.replace(errback=errback.original)
        successor = parent is not None and parent.phase == _DOWNLOADING
        stored = self._store(request, parent.key if successor else None)
        if successor:
            self._end(parent)  # its successor is stored first (the worker keeps the order)
        return stored

    def next_request(self):
        while self._buffer:
            held = heapq.heappop(self._buffer)
            if held.phase != _BUFFERED:
                continue  # lost meanwhile
            if len(self._buffer) < self.batch and not self._worker.want:
                self._worker.hand(want=True)
            held.phase = _DOWNLOADING
            request = held.request
            request.errback = _Errback(self, held, request.errback)
            self._idle_since = None
            self.stats.inc_value("scheduler/dequeued")
            return request
        if not self._worker.want:
            self._worker.hand(want=True)
        if self._memory:
            self.stats.inc_value("scheduler/dequeued")
            return heapq.heappop(self._memory)[2]
        return None

    # -- storing --------------------------------------------------------------

    def _store(self, request, parent=None):
        fp = self.crawler.request_fingerprinter.fingerprint(request).hex()
        key = f"{fp}-{os.urandom(8).hex()}" if request.dont_filter else fp
        if key in self._seen:
            self._count_duplicate(request)
            return False
        try:
            row = self._encode(request, key, parent)
        except Exception as e:  # a callback that is no spider method, a meta value that does not pickle
            if not self._logged_memory:
                logger.warning(
                    "LeasedScheduler: %s cannot be stored (%s: %s); it is kept in memory only, "
                    "and is lost if this crawler stops (only the first such request is logged)",
                    request,
                    type(e).__name__,
                    e,
                )
                self._logged_memory = True
            self.stats.inc_value("nexra/unserializable")
            heapq.heappush(self._memory, (-request.priority, self._next_seq(), request))
        else:
            self._seen.add(key)
            self._worker.hand(inserts=[(row, request)])
        self.stats.inc_value("scheduler/enqueued")
        return True

    def _next_seq(self):
        self._last_seq = max(self._last_seq + 1, time.time_ns())
        return self._last_seq

    def _encode(self, request, key, parent=None):
        """The row of a request: Scrapy's own dict of it (the callback and
        errback by name), pickled, without the lease marker; and for the
        successor of a request handed out (a retry, a redirect), the key of
        that request's row (`parent`)."""
        d = request.to_dict(spider=self.spider)
        meta = d.get("meta")
        if meta and MARK in meta:
            d["meta"] = {k: v for k, v in meta.items() if k != MARK}
        row = {
            "_id": key,
            "request": pickle.dumps(d, protocol=4),
            "priority": request.priority,
            "seq": self._next_seq(),
            "status": "pending",
            "url": request.url,
        }
        if parent is not None:
            row["parent"] = parent
        return row

    def _decode(self, doc):
        """The request of a row (in the worker thread), marked with its lease."""
        request = request_from_dict(pickle.loads(doc["request"]), spider=self.spider)
        request.meta[MARK] = doc["_id"]
        return request

    def _count_duplicate(self, request):
        if not self._logged_duplicate:
            logger.debug(
                "Filtered duplicate request: %(request)s - no more duplicates will be shown",
                {"request": request},
                extra={"spider": self.spider},
            )
            self._logged_duplicate = True
        self.stats.inc_value("dupefilter/filtered")
        self.stats.inc_value("nexra/duplicate")

    # -- from the worker (run in the reactor) ---------------------------------

    def _refused(self, requests):
        """Requests the database refused as duplicates (stored by another crawler)."""
        for request in requests:
            self._count_duplicate(request)
            self.crawler.signals.send_catch_log(signals.request_dropped, request=request, spider=self.spider)

    def _add(self, helds):
        if self._closing:
            self._worker.hand(releases=helds)
            return
        for h in helds:
            self._held[h.key] = h
            heapq.heappush(self._buffer, h)
        self._worker.want = len(self._buffer) < self.batch
        self._wake()

    def _lost(self, helds):
        for h in helds:
            if h.phase == _BUFFERED:  # never handed out: another crawler has it
                h.phase = _OVER
                self._held.pop(h.key, None)

    def _reading(self, at, progress):
        self._reading_at, self._progress = at, progress
        self._wake()

    def _wake(self):
        """Let the engine ask for requests now rather than at its next heartbeat."""
        engine = self.crawler.engine
        slot = getattr(engine, "_slot", None) or getattr(engine, "slot", None)
        nextcall = getattr(slot, "nextcall", None)
        if nextcall is not None:
            nextcall.schedule()

    # -- the end of a request's processing ------------------------------------

    def _held_of(self, response):
        request = getattr(response, "request", None)
        meta = getattr(request, "meta", None)
        return self._held.get(meta.get(MARK)) if meta else None

    def _spider_input(self, response):
        held = self._held_of(response)
        if held is not None and held.phase == _DOWNLOADING:
            held.phase = _SCRAPING

    def _output_item(self, held, x):
        if x is not None and not isinstance(x, Request):
            held.items += 1

    def _output_end(self, held):
        held.outputs -= 1
        self._end(held)

    def _count_output(self, held, result):
        held.outputs += 1
        try:
            for x in result:
                self._output_item(held, x)
                yield x
        finally:
            self._output_end(held)

    async def _count_output_async(self, held, result):
        held.outputs += 1
        try:
            async for x in result:
                self._output_item(held, x)
                yield x
        finally:
            self._output_end(held)

    def _follow(self, held, output):
        """The output of an errback of a failed download, followed like a
        callback's."""
        if isinstance(output, Failure) or inspect.iscoroutine(output) or isinstance(output, Deferred):
            self._end(held)  # (items of a coroutine's result are not waited for)
            return output
        if inspect.isasyncgen(output):
            return self._count_output_async(held, output)
        return self._count_output(held, arg_to_iter(output))

    def _item_done(self, item=None, response=None, **kwargs):
        held = self._held_of(response)
        if held is not None and held.items > 0:
            held.items -= 1
            self._check_soon(held)

    def _spider_error(self, failure=None, response=None, **kwargs):
        held = self._held_of(response)
        if held is not None:
            self._end(held)

    def _end(self, held):
        held.ended = True
        self._check_soon(held)

    def _check_soon(self, held):
        # On the next turn of the reactor: an output that ends may hand over to
        # the output a middleware recovered from an exception, which starts
        # within the same turn.
        if not held.checking:
            held.checking = True
            _reactor().callLater(0, self._check, held)

    def _check(self, held):
        held.checking = False
        if held.phase in (_DOWNLOADING, _SCRAPING) and held.ended and not held.outputs and not held.items:
            self._finish(held)

    def _finish(self, held):
        held.phase = _OVER
        if self._held.pop(held.key, None) is not None:
            self._worker.hand(finishes=[held])

    # -- idle ----------------------------------------------------------------

    def _spider_idle(self, spider=None):
        if self._closing:
            return
        now = time.monotonic()
        if self._idle_since is None:
            self._idle_since = now
        w = self._worker
        # The engine is idle: nothing is downloading or in the spider or the
        # pipelines, so every request handed out has ended, whether or not an
        # event said so (counted: no event should be missed).
        for held in [h for h in self._held.values() if h.phase in (_DOWNLOADING, _SCRAPING)]:
            if not (held.ended and not held.outputs and not held.items):  # (else its check is due)
                self.stats.inc_value("nexra/ended_idle")
            self._finish(held)
        if self._buffer or self._memory or w.busy():
            raise DontCloseSpider
        p, waited = self._progress, now - self._idle_since
        if p is None or self._reading_at < self._idle_since:
            w.hand(check=True)
            raise DontCloseSpider
        # Free rows are claimed (a mirror that lags can show a row free that
        # no claim gets: bounded too); other crawlers' leases may run out.
        if (p["free"] > 0 and waited < max(self.idle_wait, self.lease)) or (
            p["leased"] > 0 and waited < self.idle_wait
        ):
            w.hand(check=True)
            raise DontCloseSpider

    def _check_middleware(self):
        mw = getattr(getattr(self.crawler.engine, "scraper", None), "spidermw", None)
        names = getattr(mw, "middlewares", None)
        if names is not None and not any(isinstance(m, LeaseFinishMiddleware) for m in names):
            raise RuntimeError(
                "LeasedScheduler needs its spider middleware: add "
                "SPIDER_MIDDLEWARES = {'Nexra_publish.scrapy.LeaseFinishMiddleware': 0} to the settings"
            )
        inputs = getattr(mw, "methods", {}).get("process_spider_input")
        first = getattr(inputs[0], "__self__", None) if inputs else None
        if first is not None and not isinstance(first, LeaseFinishMiddleware):
            raise RuntimeError(
                "LeasedScheduler: LeaseFinishMiddleware must come before every other spider "
                f"middleware (order 0 or lower), but {type(first).__name__} comes first"
            )


class LeaseFinishMiddleware:
    """The spider middleware of ``LeasedScheduler`` (``SPIDER_MIDDLEWARES =
    {"Nexra_publish.scrapy.LeaseFinishMiddleware": 0}``): it sees a response
    enter the spider and the callback's output end, and counts the items the
    output holds, so that the scheduler finishes a request only once its
    items have passed the pipelines. Without a LeasedScheduler it does
    nothing."""

    def __init__(self, crawler):
        self.crawler = crawler

    @classmethod
    def from_crawler(cls, crawler):
        return cls(crawler)

    def _held(self, response):
        s = _SCHEDULERS.get(self.crawler)
        return (s, s._held_of(response)) if s is not None else (None, None)

    def process_spider_input(self, response, spider=None):
        s = _SCHEDULERS.get(self.crawler)
        if s is not None:
            s._spider_input(response)

    def process_spider_output(self, response, result, spider=None):
        s, held = self._held(response)
        return result if held is None else s._count_output(held, result)

    async def process_spider_output_async(self, response, result, spider=None):
        s, held = self._held(response)
        source = result if held is None else s._count_output_async(held, result)
        async for x in source:
            yield x
