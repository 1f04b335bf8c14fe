"""Many workers on one queue: leased claims on the input collections of
``Scrape_common`` (``col_input`` and ``col_input_pdp``, read from that module
at every call).

A worker claims rows with ``claim_input``, finishes each with
``Scrape_common.update_input`` (a status the query no longer matches), renews
long ones with ``extend_lease`` and gives back what it will not do with
``release``. A row whose lease ran out is claimed again by another worker.
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
    are no longer handed out. Each returned document carries its lease in
    ``_lease_until`` (server time, seconds since the epoch), ``_lease_gen``
    and ``_claims``."""

def claim_pl_input(query: _Query = None, limit: int = 1, lease: float = 300.0,
                   max_claims: int = 5) -> list[_Document]:
    """``claim_input`` on ``col_input_pdp``."""

def extend_lease(items: Iterable[Any], lease: float = 300.0) -> int:
    """Renew the leases this worker still holds on ``items`` (documents or
    ``_id`` values) for ``lease`` seconds from now; returns how many."""

def release(items: Iterable[Any]) -> int:
    """Give the rows of ``items`` (documents or ``_id`` values) that this worker
    holds back at once; returns how many."""

def queue_progress(query: _Query = None, max_claims: int = 5) -> _Progress:
    """Counts of free, leased and stuck rows of ``col_input`` matching
    ``query``, rows by status, and the finishing rate of the last minute with
    an estimated time to finish."""

def pl_queue_progress(query: _Query = None, max_claims: int = 5) -> _Progress:
    """``queue_progress`` on ``col_input_pdp``."""

def worker_id() -> str:
    """This worker's identity, ``host:pid:random``; new after a fork."""
