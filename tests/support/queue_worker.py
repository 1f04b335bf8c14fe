"""A worker process on the shared input queue, for the workqueue tests.

    python queue_worker.py LOG THREADS LIMIT LEASE

Each thread claims pending rows and works on them one by one. Item times are
spread: most are short, some take a good part of the lease, some are long and
kept by renewing the batch's leases once half a lease has passed, and some
overrun their lease without renewing (a stalled call), so that other workers
take them over. An item is committed with finish. Every step is written to
LOG.<pid> as one JSON line, before and after it:

    ["claim", row, token, gen]        ["work", row, token]
    ["finishing", row, token]         ["finish", row, token]
    ["lost", row, token, step]        (a renewal or finish that came too late)

The worker ends when nothing matching is free or leased. A thread that
raises ends the process with status 1, its traceback on standard error.
"""

import json
import os
import random
import sys
import threading
import time
import traceback

from Nexra_publish import workqueue as wq

PENDING = {"status": "pending"}
# Claims a row may have. A row whose every claim overran is stuck, with no
# commit at all; at the default of 5 that happened to one row of 80 in a busy
# run, so the runs allow more claims than any row gets.
MAX_CLAIMS = 20


def work(log, lock, t, limit, lease):
    rng = random.Random(f"{os.getpid()}-{t}")

    def note(*entry):
        with lock:
            log.write(json.dumps(entry) + "\n")
            log.flush()

    def key(d):
        return str(d["_id"])

    while True:
        docs = wq.claim_input(PENDING, limit, lease, MAX_CLAIMS)
        if not docs:
            if wq.queue_progress(PENDING, MAX_CLAIMS)["remaining"] == 0:
                return
            time.sleep(0.05)
            continue
        for d in docs:
            note("claim", key(d), d["_lease_token"], d["_lease_gen"])
        renewed = time.monotonic()
        todo = list(docs)
        while todo:
            d = todo.pop(0)
            note("work", key(d), d["_lease_token"])
            kind = rng.random()
            if kind < 0.55:
                seconds, renews = rng.uniform(0.0, 0.05), True
            elif kind < 0.80:
                seconds, renews = rng.uniform(0.2, lease * 0.8), True
            elif kind < 0.90:
                seconds, renews = rng.uniform(lease * 1.5, lease * 2.2), False  # overrun
            else:
                seconds, renews = lease * 2.0, True  # kept alive
            end = time.monotonic() + seconds
            while time.monotonic() < end and d is not None:
                time.sleep(min(0.1, max(0.0, end - time.monotonic())))
                if renews and time.monotonic() - renewed >= lease / 2:
                    batch = [d] + todo
                    kept = wq.extend_lease(batch, lease)
                    renewed = time.monotonic()
                    for x in batch:
                        if not any(x is k for k in kept):
                            note("lost", key(x), x["_lease_token"], "extend_lease")
                    todo = [x for x in todo if any(x is k for k in kept)]
                    if not any(d is k for k in kept):
                        d = None
            if d is None:
                continue
            note("finishing", key(d), d["_lease_token"])
            if wq.finish([d], "done"):
                note("finish", key(d), d["_lease_token"])
            else:
                note("lost", key(d), d["_lease_token"], "finish")


def guarded(errors, *args):
    try:
        work(*args)
    except BaseException:
        errors.append(traceback.format_exc())


def main():
    path, threads, limit, lease = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
    lock, errors = threading.Lock(), []
    with open(f"{path}.{os.getpid()}", "w") as log:
        workers = [threading.Thread(target=guarded, args=(errors, log, lock, t, limit, lease)) for t in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()
    if errors:
        sys.stderr.write("".join(errors))
        sys.exit(1)


if __name__ == "__main__":
    main()
