"""A worker process on the shared input queue, for the workqueue tests.

    python queue_worker.py LOG THREADS LIMIT LEASE

Each thread claims pending rows, "works" on each (a short sleep; now and then
a long item it extends, or one it overruns so that its lease runs out),
stores a record by content hash with InsertItem and marks the row done. Every
claim and every finish is written to LOG.<pid> as one JSON line. The worker
ends when nothing matching is free or leased.
"""

import json
import os
import random
import sys
import threading
import time

from Nexra_publish import Scrape_common as sc
from Nexra_publish import workqueue as wq

PENDING = {"status": "pending"}


def work(log, lock, t, limit, lease):
    rng = random.Random(f"{os.getpid()}-{t}")
    me = wq.worker_id()

    def note(*entry):
        with lock:
            log.write(json.dumps(entry) + "\n")
            log.flush()

    while True:
        docs = wq.claim_input(PENDING, limit, lease)
        if not docs:
            if wq.queue_progress(PENDING)["remaining"] == 0:
                return
            time.sleep(0.1)
            continue
        for d in docs:
            note("claim", str(d["_id"]), me, d["_lease_until"] - lease, d["_lease_until"])
        for d in docs:
            kind = rng.random()
            if kind < 0.05:      # a long item, kept by renewing its lease
                time.sleep(lease * 0.6)
                note("extend", str(d["_id"]), me, wq.extend_lease([d], lease))
                time.sleep(lease * 0.6)
            elif kind < 0.08:    # an item that overruns its lease
                time.sleep(lease * 1.3)
            else:
                time.sleep(rng.random() * 0.02)
            record = {"page_save": f"{d['parcel_number']}.html", "body": d["body"]}
            sc.InsertItem(record, 1, d["parcel_number"], sc.input_table + "_results")
            sc.update_input("_id", d["_id"], "done")
            note("done", str(d["_id"]), me)


def main():
    path, threads, limit, lease = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
    lock = threading.Lock()
    with open(f"{path}.{os.getpid()}", "w") as log:
        workers = [threading.Thread(target=work, args=(log, lock, t, limit, lease))
                   for t in range(threads)]
        for w in workers:
            w.start()
        for w in workers:
            w.join()


if __name__ == "__main__":
    main()
