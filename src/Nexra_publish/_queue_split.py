"""A work queue kept in several collections of one database.

Each part is a queue of its own (its rows, and its leases in
``<part>_leases``); a row's part is fixed by its key, so that a key is unique
across the parts as it is within one. One part is the collection of the
queue's own name; ``n`` parts are ``<name>-0of<n>`` to ``<name>-<n-1>of<n>``,
so that a queue is never read with a count of parts other than the one its
rows were stored under (see ``layouts``).

Splitting pays on a server whose every write reads the whole collection (the
SQLite backend of FerretDB): a write then costs the rows of one part, not of
the whole queue. On MongoDB one part is right.
"""

from __future__ import annotations

import re
import zlib


def part_names(name: str, parts: int) -> list:
    """The collection names of queue `name` kept in `parts` parts."""
    if parts == 1:
        return [name]
    return [f"{name}-{i}of{parts}" for i in range(parts)]


def part_of(key: str, parts: int) -> int:
    """The part of the row whose key is `key` (the same in every process and
    interpreter)."""
    return zlib.crc32(key.encode("utf-8", "surrogatepass")) % parts if parts > 1 else 0


def layouts(collection_names, name: str) -> dict:
    """{parts: [names]}: the layouts of queue `name` that the database's
    collections (`collection_names`) show."""
    shape = re.compile(re.escape(name) + r"(?:-(0|[1-9][0-9]*)of([2-9]|[1-9][0-9]+))?")
    found: dict = {}
    for c in collection_names:
        m = shape.fullmatch(c)
        if m is None or (m.group(1) is not None and int(m.group(1)) >= int(m.group(2))):
            continue
        found.setdefault(int(m.group(2) or 1), []).append(c)
    return found


def add_progress(readings: list) -> dict:
    """One queue_progress reading of a split queue from its parts' readings."""
    total = {k: sum(r[k] for r in readings) for k in ("free", "leased", "stuck", "remaining", "finished")}
    statuses: dict = {}
    for r in readings:
        for status, n in r["statuses"].items():
            statuses[status] = statuses.get(status, 0) + n
    rates = [r["finished_per_second"] for r in readings if r["finished_per_second"] is not None]
    rate = sum(rates) if rates else None
    total.update(
        statuses=statuses,
        finished_per_second=rate,
        eta_seconds=0.0 if not total["remaining"] else (total["remaining"] / rate if rate and rate > 0 else None),
    )
    return total
