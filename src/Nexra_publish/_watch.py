"""The watch command: a work queue's progress, read through workqueue's
queue_progress at every interval, until no matching row is free or leased."""

import os
import sys
import time


def _duration(seconds):
    if 0 < seconds < 0.5:
        return "under 1 s"
    s = int(round(seconds))
    if s < 60:
        return f"{s} s"
    if s < 3600:
        return f"{s // 60} min {s % 60:02d} s"
    return f"{s // 3600} h {s % 3600 // 60:02d} min"


def figures(progress):
    """(finished, total, the rest as text) of one queue_progress reading.

    queue_progress counts the rows that match the query (free, leased, stuck)
    and every row of the collection by status; the rows the query no longer
    matches are the finished ones. The counts are taken one after another
    while workers move rows, so the difference is clamped at 0."""
    p = progress
    finished = max(sum(p["statuses"].values()) - p["remaining"] - p["stuck"], 0)
    rate, eta = p["finished_per_second"], p["eta_seconds"]
    text = (
        f"free {p['free']}, leased {p['leased']}, stuck {p['stuck']}, "
        + ("rate not known yet" if rate is None else f"{rate:.2f} rows/s")
        + ("" if eta is None else f", {_duration(eta)} left")
    )
    return finished, finished + p["remaining"] + p["stuck"], text


class _Lines:
    """One line per reading, for a log or a pipe."""

    def __init__(self, out):
        self.out = out

    def show(self, finished, total, text):
        self.out.write(f"{time.strftime('%H:%M:%S')} finished {finished} of {total}, {text}\n")
        self.out.flush()

    def close(self):
        pass


class _Bar:
    """One live bar on a terminal. The rate and time left are queue_progress's
    (over the last minute of readings), not tqdm's own estimate."""

    def __init__(self, tqdm, out):
        self.tqdm, self.out, self.bar = tqdm, out, None

    def show(self, finished, total, text):
        if self.bar is None:  # drawn first with the first reading
            self.bar = self.tqdm(
                total=total,
                file=self.out,
                dynamic_ncols=True,
                bar_format=("{percentage:3.0f}%|{bar}| {n}/{total} finished{postfix}"),
            )
        self.bar.total = total
        self.bar.n = finished
        self.bar.set_postfix_str(text, refresh=False)
        self.bar.refresh()

    def close(self):
        if self.bar is not None:
            self.bar.close()


def _display(out):
    if getattr(out, "isatty", lambda: False)():
        try:
            from tqdm import tqdm
        except ImportError:
            print("watch: no live bar without tqdm (the package's extra 'watch'); printing lines", file=sys.stderr)
        else:
            return _Bar(tqdm, out)
    return _Lines(out)


def _collection_reader(workqueue, name):
    """queue_progress of the queue in collection `name`, or, where the queue
    is kept in parts (a LeasedScheduler's NEXRA_QUEUE_PARTS), of all its
    parts together."""
    from functools import partial

    from ._queue_split import add_progress, layouts

    db = workqueue.Scrape_common.db
    found = layouts(db.list_collection_names(), name)
    split = sorted(k for k in found if k > 1)
    if 1 in found or not split:
        return partial(workqueue.queue_progress, collection=db[name])
    if len(split) > 1:
        raise ValueError(f"the queue {name!r} is kept in {' and in '.join(map(str, split))} parts at once")
    cols = [db[n] for n in sorted(found[split[0]])]
    return lambda query, max_claims: add_progress(
        [workqueue.queue_progress(query, max_claims, collection=c) for c in cols]
    )


def watch_queue(query, pl=False, interval=2.0, max_claims=5, out=None, collection=None):
    """Show the progress of the job's queue (input_table, or pl_input_table
    when `pl`, or the job database's collection named `collection`) for the
    rows matching `query` until none is free or leased.
    The job's settings are read from the working directory, as a scraping
    script started there reads them. Returns the exit status."""
    out = sys.stdout if out is None else out
    here = os.getcwd()
    if here not in sys.path:  # `python -P`, or PYTHONSAFEPATH, leaves it out
        sys.path.insert(0, here)
    try:
        from . import workqueue
    except ModuleNotFoundError as e:
        if e.name != "config":
            raise
        print(
            f"watch: no job settings in {here}: run it in the job's directory, where its config.py is", file=sys.stderr
        )
        return 1
    from .configuration import get_config

    read = workqueue.pl_queue_progress if pl else workqueue.queue_progress
    table = get_config("pl_input_table" if pl else "input_table")
    if collection is not None:
        try:
            read, table = _collection_reader(workqueue, collection), collection
        except Exception as e:
            print(f"watch: cannot read the queue {collection!r}: {type(e).__name__}: {e}", file=sys.stderr)
            return 1

    display = _display(out)
    try:
        while True:
            try:
                p = read(query, max_claims)
            except Exception as e:
                display.close()
                print(f"watch: cannot read the queue {table!r}: {type(e).__name__}: {e}", file=sys.stderr)
                return 1
            finished, _, _ = shown = figures(p)
            display.show(*shown)
            if p["remaining"] == 0:
                break
            time.sleep(interval)
        display.close()
        out.write(f"nothing remains: {finished} finished, {p['stuck']} stuck\n")
        out.flush()
        return 0
    except KeyboardInterrupt:
        display.close()
        return 130
    except BrokenPipeError:  # the reader of the lines went away (`watch | head`)
        os.dup2(os.open(os.devnull, os.O_WRONLY), out.fileno())  # so that the exit's flush passes
        return 1
