"""Many workers on one queue: leased claims on the input collections of
``Scrape_common`` (``col_input`` and ``col_input_pdp``, read from that module
at every call).

A worker claims rows with ``claim_input``; each returned document is the
handle of its lease. It commits each with ``finish`` (a status the query no
longer matches), renews long ones with ``extend_lease`` and gives back what it
will not do with ``release``. A row whose lease ran out is claimed again by
another worker; the earlier holder's handle is then lost: its steps return
nothing for it and write nothing. ``drop_finished_leases`` frees the lease
documents of finished rows.
"""

from collections.abc import Iterable, Mapping
from types import ModuleType
from typing import Any, Optional, TypedDict

from typing_extensions import TypeAlias

_Document: TypeAlias = dict[str, Any]
_Query: TypeAlias = Optional[Mapping[str, Any]]

class _Progress(TypedDict):
    free: int
    leased: int
    stuck: int
    remaining: int
    statuses: dict[Any, int]
    finished_per_second: Optional[float]
    eta_seconds: Optional[float]

Scrape_common: ModuleType

def claim_input(query: _Query = None, limit: int = 1, lease: float = 300.0,
                max_claims: int = 5) -> list[_Document]:
    """Lease up to ``limit`` rows of ``col_input`` that match ``query`` and no
    live lease holds, for ``lease`` seconds; rows claimed ``max_claims`` times
    are no longer handed out, nor are finished rows. Each returned document is
    its lease's handle: ``_lease_until`` (server time, seconds since the
    epoch), ``_lease_gen``, ``_lease_token``, ``_lease_queue`` and
    ``_claims``. Reads go to the primary; an insert whose outcome is unknown
    (a write concern error) raises and hands nothing out."""

def claim_pl_input(query: _Query = None, limit: int = 1, lease: float = 300.0,
                   max_claims: int = 5) -> list[_Document]:
    """``claim_input`` on ``col_input_pdp``."""

def extend_lease(items: Iterable[_Document], lease: float = 300.0) -> list[_Document]:
    """Renew the leases of ``items`` (handles from a claim) for ``lease``
    seconds from now; returns the items renewed, restamped, in order. An item
    whose claim is no longer its row's newest lease is lost: not returned,
    nothing written. Anything but a handle raises ``TypeError``."""

def release(items: Iterable[_Document]) -> list[_Document]:
    """Give the rows of ``items`` (handles from a claim) back at once; returns
    the items given back, by the same rule as ``extend_lease``."""

def finish(items: Iterable[_Document], status: Any = "done") -> list[_Document]:
    """Commit ``items`` (handles from a claim): for each whose claim is still
    its row's newest lease, store a finish (once per row, whoever comes
    first), then set the row's status to ``f"{status}"`` as ``update_input``
    would. Returns the items finished; a finished row is never claimed again.
    Database errors are raised."""

def drop_finished_leases() -> int:
    """Delete the lease documents of finished rows of ``col_input`` (each keeps
    its first lease and an end record); safe while workers run. Returns how
    many were deleted."""

def drop_finished_pl_leases() -> int:
    """``drop_finished_leases`` on ``col_input_pdp``."""

def queue_progress(query: _Query = None, max_claims: int = 5) -> _Progress:
    """Counts of free, leased and stuck rows of ``col_input`` matching
    ``query``, rows by status, and the finishing rate of the last minute with
    an estimated time to finish."""

def pl_queue_progress(query: _Query = None, max_claims: int = 5) -> _Progress:
    """``queue_progress`` on ``col_input_pdp``."""

def worker_id() -> str:
    """This worker's identity, ``host:pid:random``; new after a fork."""
