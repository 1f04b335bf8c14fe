"""The worker loop of ``Nexra_publish.workqueue``: ``work()``.

It is a thin loop over the module's native calls (claim_input, extend_lease,
finish, release, queue_progress): it claims a batch, renews the batch from a
background thread once half a lease has passed, hands out the items one by
one, commits each when its body succeeds and gives it back when the body
raises, and stops when nothing remains.
"""

import signal
import threading
import time
import weakref

_PENDING, _STARTED, _FINISHED, _RELEASED, _LOST = "pending", "started", "finished", "released", "lost"


class Item:
    """One claimed work item: the row's document (``doc``, the lease's
    handle) and its fate in the loop.

    Read the row through it (``item["url"]``, ``item.get("x")``). Its work is
    committed with ``finish(status)`` and given back with ``release()``; the
    loop commits it with ``item.status`` (the loop's ``status`` unless set)
    when the body returns and the loop asks for the next item. As a context
    manager it does the same at the end of the ``with`` block, and gives the
    item back when the block raises."""

    __slots__ = ("doc", "status", "state", "failed", "_work", "__weakref__")

    def __init__(self, work, doc, status):
        self._work, self.doc, self.status, self.state = work, doc, status, _PENDING
        self.failed = False  # its body raised: given back, counted as failed

    def __getitem__(self, key):
        return self.doc[key]

    def __contains__(self, key):
        return key in self.doc

    def get(self, key, default=None):
        return self.doc.get(key, default)

    @property
    def lost(self):
        """The lease was lost (it ran out and another worker took the row)."""
        return self.state == _LOST

    def finish(self, status=None):
        """Commit the item with ``status`` (``item.status`` by default);
        True if this worker committed it, False if its lease was lost."""
        return self._work._end(self, _FINISHED, self.status if status is None else status)

    def release(self):
        """Give the item back; True if it was still held."""
        return self._work._end(self, _RELEASED, None)

    def __enter__(self):
        return self

    def __exit__(self, kind, error, tb):
        if self.state in (_STARTED, _PENDING):
            if kind is None:
                self.finish()
            else:
                self._work._failed(self, kind)
                self.release()
        return False

    def __repr__(self):
        return f"<workqueue.Item {self.doc.get('_id')!r} {self.state}>"


class Work:
    """The loop ``work()`` returns: iterate it for the items; use it as a
    context manager (or call ``close()``) so that what was not done is given
    back. ``counts`` says how many items were finished, lost, released and
    failed (their body raised; they were given back)."""

    def __init__(self, query, lease, batch, max_claims, pl, status, idle, sigterm, collection=None):
        from . import workqueue as wq

        if batch < 1:
            raise ValueError("batch must be at least 1")
        if not lease > 0:
            raise ValueError("lease must be a positive number of seconds")
        self.query, self.lease, self.batch, self.max_claims = query, float(lease), int(batch), max_claims
        self.status, self.idle, self._sigterm = status, idle, sigterm
        self._claim = wq.claim_pl_input if pl else wq.claim_input
        self._progress = wq.pl_queue_progress if pl else wq.queue_progress
        self._wq = wq
        self._on = {"collection": collection}  # the queue of every call
        self.counts = {"finished": 0, "lost": 0, "released": 0, "failed": 0}
        self._items = []  # the batch: Items not yet finished, released or lost
        self._renewed = 0.0  # monotonic time of the batch's last claim or renewal
        self._lock = threading.Lock()  # the batch and the counts
        self._renewing = threading.Lock()  # one renewal at a time
        self._stop = threading.Event()
        self._wake = threading.Event()  # a new batch, or the end: the renewer looks again
        self._renewer = None
        self._gen = None
        self._closed = False
        self._old_handler = None
        self._in_call = False  # in a queue call: a SIGTERM waits for its end
        self._terminate = False
        self.renew_error = None  # the last error of a background renewal

    # -- the loop ---------------------------------------------------------

    def __iter__(self):
        if self._gen is not None:
            raise RuntimeError("work(): iterate the loop once")
        gen = self._run()
        self._gen = weakref.ref(gen)
        return gen

    def __enter__(self):
        return self

    def __exit__(self, kind, error, tb):
        if kind is not None:
            with self._lock:
                started = [i for i in self._items if i.state == _STARTED]
            for item in started:
                self._failed(item, kind)
        self.close()
        return False

    def close(self):
        """Stop: give back every item not finished, stop renewing."""
        if self._closed:
            return
        self._closed = True
        gen = self._gen() if self._gen is not None else None
        if gen is not None:
            gen.close()
        self._shutdown()

    def _run(self):
        self._install_sigterm()
        try:
            current = None
            while not self._closed:
                if current is not None:
                    if current.state == _STARTED:  # the body returned: commit it
                        current.finish()
                    current = None
                item = self._next()
                if item is None:
                    return
                current = item
                yield item
        finally:
            self._shutdown()

    def _next(self):
        """The next item whose lease is held, claiming a batch when none is
        left; None when nothing remains."""
        while not self._closed:
            with self._lock:
                self._items = [i for i in self._items if i.state in (_PENDING, _STARTED)]
                pending = [i for i in self._items if i.state == _PENDING]
            if pending:
                # The renewer is late (the database was unreachable): renew
                # before handing out an item whose lease may have run out.
                if time.monotonic() - self._renewed >= self.lease * 0.75:
                    self._renew()
                item = pending[0]
                with self._lock:
                    if item.state != _PENDING:
                        continue
                    item.state = _STARTED
                return item
            started = time.monotonic()
            docs = self._call(self._claim, self.query, self.batch, self.lease, self.max_claims, **self._on)
            if docs:
                with self._lock:
                    self._items = [Item(self, d, self.status) for d in docs]
                    self._renewed = started
                self._start_renewer()
                self._check_terminate()
                continue
            left = self._call(self._progress, self.query, self.max_claims, **self._on)["remaining"]
            self._check_terminate()
            if left == 0:
                return None
            self._stop.wait(self.idle)  # the rest is leased to others: wait
        return None

    # -- steps of items ---------------------------------------------------

    def _end(self, item, state, status):
        if item.state not in (_PENDING, _STARTED):
            return False
        if state == _FINISHED:
            done = self._call(self._wq.finish, [item.doc], status, **self._on)
        else:
            done = self._call(self._wq.release, [item.doc], **self._on)
        with self._lock:
            self._settle(item, state if done else _LOST)
        self._check_terminate()
        return bool(done)

    def _settle(self, item, state):
        """Record the end of an item (the lock held)."""
        if item.state not in (_PENDING, _STARTED):
            return
        item.state = state
        self.counts["failed" if state == _RELEASED and item.failed else state] += 1

    def _failed(self, item, kind):
        if item.state == _STARTED and issubclass(kind, Exception):
            item.failed = True

    def _call(self, fn, *args, **kwargs):
        """A queue call; a SIGTERM meanwhile waits for its end
        (_check_terminate)."""
        self._in_call = True
        try:
            return fn(*args, **kwargs)
        finally:
            self._in_call = False

    def _check_terminate(self):
        if self._terminate:
            self._terminate = False
            raise SystemExit(128 + signal.SIGTERM)

    # -- renewals ---------------------------------------------------------

    def _renew(self):
        """Renew the batch's held items, one call; items left out are lost."""
        with self._renewing:
            with self._lock:
                items = [i for i in self._items if i.state in (_PENDING, _STARTED)]
            if not items:
                return
            started = time.monotonic()
            kept = self._wq.extend_lease([i.doc for i in items], self.lease, **self._on)
            kept_ids = {id(d) for d in kept}
            with self._lock:
                self._renewed = started
                for i in items:
                    # Left out and still held as far as the handle says:
                    # lost. (A finished or given-back handle is left out
                    # too; an item being worked on learns it at its finish.)
                    if id(i.doc) not in kept_ids and "_lease_until" in i.doc and i.state == _PENDING:
                        self._settle(i, _LOST)

    def _start_renewer(self):
        self._wake.set()
        if self._renewer is None:
            self._renewer = threading.Thread(target=self._renew_loop, name="workqueue-renewer", daemon=True)
            self._renewer.start()

    def _renew_loop(self):
        next_try = None  # after a failed renewal: when to try again
        while not self._stop.is_set():
            with self._lock:
                held = any(i.state in (_PENDING, _STARTED) for i in self._items)
            if not held:
                self._wake.wait()
                self._wake.clear()
                continue
            due = self._renewed + self.lease / 2 if next_try is None else next_try
            delay = due - time.monotonic()
            if delay > 0:
                self._wake.wait(delay)
                self._wake.clear()
                continue
            try:
                self._renew()
                next_try = None
            except Exception as e:  # kept for the loop to see; tried again soon
                self.renew_error = e
                next_try = time.monotonic() + min(self.lease / 10, 5.0)

    # -- the end ----------------------------------------------------------

    def _abandon(self):
        """Leave as a killed process leaves: the leases held, no renewal, no
        give-back (the load run's kills)."""
        self._closed = True
        with self._lock:
            self._items = []
        self._stop.set()
        self._wake.set()

    def _shutdown(self):
        self._closed = True
        self._stop.set()
        self._wake.set()
        try:
            with self._lock:
                rest = [i for i in self._items if i.state in (_PENDING, _STARTED)]
            if rest:
                given = {id(d) for d in self._call(self._wq.release, [i.doc for i in rest], **self._on)}
                with self._lock:
                    for i in rest:
                        self._settle(i, _RELEASED if id(i.doc) in given else _LOST)
            if self._renewer is not None and self._renewer is not threading.current_thread():
                self._renewer.join()
        finally:
            self._restore_sigterm()
        self._check_terminate()

    def _install_sigterm(self):
        if not self._sigterm or threading.current_thread() is not threading.main_thread():
            return
        if signal.getsignal(signal.SIGTERM) not in (signal.SIG_DFL, None):
            return  # the job has its own handler

        def on_sigterm(signum, frame):
            if self._in_call or self._closed:  # let the queue call, or the end, finish first
                self._terminate = True
                return
            raise SystemExit(128 + signum)

        self._old_handler = signal.signal(signal.SIGTERM, on_sigterm)

    def _restore_sigterm(self):
        if self._old_handler is not None:
            signal.signal(signal.SIGTERM, self._old_handler)
            self._old_handler = None


def work(
    query=None,
    *,
    lease=300.0,
    batch=10,
    max_claims=5,
    pl=False,
    status="done",
    idle=1.0,
    sigterm=True,
    collection=None,
):
    """Work through the queue: yield claimed items until nothing remains.

    query      -- the filter the rows must match; None matches every row
    lease      -- seconds each claim holds a row; the batch is renewed from a
                  background thread once half of it has passed
    batch      -- rows claimed at once
    max_claims -- as claim_input's: a row claimed this often is stuck
    pl         -- the pl queue (col_input_pdp) instead of col_input
    status     -- the status an item is committed with, unless it sets its own
    idle       -- seconds to wait while the rest is leased to other workers
    sigterm    -- in the main thread, and while the job has no handler of its
                  own, turn SIGTERM into SystemExit(143) so that the loop
                  gives back what it holds before the process ends
    collection -- a pymongo Collection that is the queue instead of the
                  input collection (None)

    Returns the loop: iterate it for ``Item`` objects. An item is committed
    with its status when the body returns (or at the end of ``with item:``)
    and given back when the body raises; an item whose lease the loop knows to
    be lost is never handed out. The loop stops when no matching row is free
    or leased. ``close()`` (or leaving ``with work(...) as items:``), a
    KeyboardInterrupt and SIGTERM give back what was not finished. ``counts``
    tells how many items were finished, lost, released and failed.

        with workqueue.work({"status": "pending"}) as items:
            for item in items:
                fetch_and_store(item["url"])
    """
    return Work(query, lease, batch, max_claims, pl, status, idle, sigterm, collection)


work.__module__ = Item.__module__ = Work.__module__ = "Nexra_publish.workqueue"
