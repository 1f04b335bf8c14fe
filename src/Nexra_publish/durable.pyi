"""Files written whole or not at all, and durable once written: the write path
of the page-save store (a new file beside the final one, synced, renamed over
it, its directory synced), for code written in Python."""

import os
from collections.abc import Iterable

from typing import Union

from typing_extensions import Buffer, TypeAlias

_Path: TypeAlias = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]

def write_file(path: _Path, data: Buffer | Iterable[Buffer]) -> None:
    """Replace the file `path` by `data` (bytes-like, or an iterable of
    bytes-like chunks), whole or not at all, synced to the disk before the
    call returns. The directory must exist; on failure the earlier file stays
    as it was and OSError (or the iterable's error) is raised."""

def makedirs(path: _Path) -> None:
    """Make `path` and its missing parents (as os.makedirs(exist_ok=True)),
    each new directory's entry synced in its parent."""
