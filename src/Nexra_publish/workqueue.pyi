"""Many workers on one queue: leased claims on the input collections of
``Scrape_common`` (``col_input`` and ``col_input_pdp``, read from that module
at every call), or on any collection named with ``collection=``.

``work()`` is the worker loop: it claims batches, renews them in the
background, commits each item when its body returns and gives back the rest.
Underneath, a worker claims rows with ``claim_input``; each returned document
is the handle of its lease. It commits each with ``finish``, renews long ones
with ``extend_lease`` and gives back what it will not do with ``release``. A
row whose lease ran out is claimed again by another worker; the earlier
holder's handle is then lost: its steps return nothing for it and write
nothing. ``drop_finished_leases`` frees the lease documents of finished rows;
``reset_leases`` forgets a stopped queue's history.
"""

from collections.abc import Iterable, Iterator, Mapping
from types import ModuleType, TracebackType
from typing import Any, Optional, TypedDict, Union

from pymongo.collection import Collection
from typing_extensions import TypeAlias

_Document: TypeAlias = dict[str, Any]
_Query: TypeAlias = Optional[Mapping[str, Any]]
_Queue: TypeAlias = Optional[Collection[Any]]
_Sort: TypeAlias = Optional[list[tuple[str, Union[int, str, Mapping[str, Any]]]]]

class _Progress(TypedDict):
    free: int
    leased: int
    stuck: int
    remaining: int
    finished: int
    statuses: dict[Any, int]
    finished_per_second: Optional[float]
    eta_seconds: Optional[float]

Scrape_common: ModuleType

class ReseededRowsError(RuntimeError):
    """Rows that finished before are back without their lease fields (deleted
    and inserted again); ``reset_leases(ids)`` makes them new rows."""

    ids: list[Any]

class _Counts(TypedDict):
    finished: int
    lost: int
    released: int
    failed: int

class Item:
    """One claimed work item: ``doc`` is the row's document (the handle)."""

    doc: _Document
    status: Any
    state: str
    failed: bool
    @property
    def lost(self) -> bool: ...
    def __getitem__(self, key: str) -> Any: ...
    def __contains__(self, key: object) -> bool: ...
    def get(self, key: str, default: Any = None) -> Any: ...
    def finish(self, status: Any = None) -> bool: ...
    def release(self) -> bool: ...
    def __enter__(self) -> Item: ...
    def __exit__(
        self, kind: Optional[type[BaseException]], error: Optional[BaseException], tb: Optional[TracebackType]
    ) -> bool: ...

class Work:
    """The loop work() returns."""

    counts: _Counts
    renew_error: Optional[BaseException]
    def __iter__(self) -> Iterator[Item]: ...
    def __enter__(self) -> Work: ...
    def __exit__(
        self, kind: Optional[type[BaseException]], error: Optional[BaseException], tb: Optional[TracebackType]
    ) -> bool: ...
    def close(self) -> None: ...

def work(
    query: _Query = None,
    *,
    lease: float = 300.0,
    batch: int = 10,
    max_claims: int = 5,
    pl: bool = False,
    status: Any = "done",
    idle: float = 1.0,
    sigterm: bool = True,
    collection: _Queue = None,
) -> Work:
    """Work through the queue: yield claimed items until nothing matching is
    free or leased. Each item is committed with its status when its body
    returns (or at the end of ``with item:``) and given back when the body
    raises; the batch is renewed from a background thread at half-lease; an
    item whose lease is known to be lost is never handed out. ``close()``,
    leaving ``with work(...) as items:``, KeyboardInterrupt and (in the main
    thread) SIGTERM give back what was not finished."""

def claim_input(
    query: _Query = None,
    limit: int = 1,
    lease: float = 300.0,
    max_claims: int = 5,
    *,
    collection: _Queue = None,
    sort: _Sort = None,
) -> list[_Document]:
    """Lease up to ``limit`` rows of ``col_input`` (or of ``collection``)
    that match ``query`` and no
    live lease holds, for ``lease`` seconds; rows claimed ``max_claims`` times
    are no longer handed out, nor are finished rows, whatever the query. Each returned document is
    its lease's handle: ``_lease_until`` (server time, seconds since the
    epoch), ``_lease_gen``, ``_lease_token``, ``_lease_queue`` and
    ``_claims``. Reads go to the primary; an insert whose outcome is unknown
    (a write concern error) raises and hands nothing out. Rows that finished
    before and were inserted again raise ``ReseededRowsError``. ``sort`` (a
    pymongo sort spec) orders the free rows tried; by default the order is
    random."""

def claim_pl_input(
    query: _Query = None,
    limit: int = 1,
    lease: float = 300.0,
    max_claims: int = 5,
    *,
    collection: _Queue = None,
    sort: _Sort = None,
) -> list[_Document]:
    """``claim_input`` on ``col_input_pdp``."""

def extend_lease(items: Iterable[_Document], lease: float = 300.0, *, collection: _Queue = None) -> list[_Document]:
    """Renew the leases of ``items`` (handles from a claim) for ``lease``
    seconds from now; returns the items renewed, restamped, in order. An item
    whose claim is no longer its row's newest lease is lost: not returned,
    nothing written. Anything but a handle raises ``TypeError``; a handle of
    another queue than ``collection`` (col_input or col_input_pdp when None)
    raises ``ValueError``."""

def release(items: Iterable[_Document], *, collection: _Queue = None) -> list[_Document]:
    """Give the rows of ``items`` (handles from a claim) back at once; returns
    the items given back, by the same rule as ``extend_lease``."""

def finish(items: Iterable[_Document], status: Any = "done", *, collection: _Queue = None) -> list[_Document]:
    """Commit ``items`` (handles from a claim): for each whose claim is still
    its row's newest lease, store a finish (once per row, whoever comes
    first), then set the row's status to ``f"{status}"`` as ``update_input``
    would. Returns the items finished, each row to one caller only; a finished
    row is never claimed again. Database errors are raised; calling it again
    with the same items after an error returns each item whose finish was
    stored. A copy of a handle that another call finished is refused."""

def drop_finished_leases(*, collection: _Queue = None) -> int:
    """Delete the lease documents of finished rows of ``col_input`` (each keeps
    its first lease and an end record); safe while workers run. Returns how
    many were deleted."""

def drop_finished_pl_leases(*, collection: _Queue = None) -> int:
    """``drop_finished_leases`` on ``col_input_pdp``."""

def reset_leases(ids: Optional[Iterable[Any]] = None, *, collection: _Queue = None) -> int:
    """Forget the lease history (and the mirror fields) of the rows ``ids`` of
    ``col_input``, or of every row; run it while no worker holds them.
    Returns how many lease documents were deleted."""

def reset_pl_leases(ids: Optional[Iterable[Any]] = None, *, collection: _Queue = None) -> int:
    """``reset_leases`` on ``col_input_pdp``."""

def queue_progress(query: _Query = None, max_claims: int = 5, *, collection: _Queue = None) -> _Progress:
    """Counts of free, leased and stuck rows of ``col_input`` matching
    ``query`` (a finished row is never free), the rows finished through the
    queue, rows by status, and the finishing rate of the last minute with an
    estimated time to finish. Reads go to the primary."""

def pl_queue_progress(query: _Query = None, max_claims: int = 5, *, collection: _Queue = None) -> _Progress:
    """``queue_progress`` on ``col_input_pdp``."""

def worker_id() -> str:
    """This worker's identity, ``host:pid:random``; new after a fork."""
