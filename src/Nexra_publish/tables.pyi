"""Tables written row by row: ``TableWriter``, with the cell rule and the CSV
and workbook writers of ``Scrape_common``'s exports, in bounded memory.

``write_row`` takes one mapping at a time; the columns are every field name
any row has, in the order first met (or ``fields``). ``finish(file)`` writes
the whole table to an open binary file, ``commit(path)`` beside a path and
then over it, on the disk; ``abort()`` drops it.
"""

from collections.abc import Mapping, Sequence
from os import PathLike
from types import TracebackType
from typing import Any, Literal, Optional, Protocol, Union

from typing_extensions import TypeAlias

_Path: TypeAlias = Union[str, bytes, PathLike[str], PathLike[bytes]]

class _BinaryWriter(Protocol):
    def write(self, data: memoryview, /) -> Optional[int]: ...

class TableWriter:
    def __init__(
        self,
        kind: Literal["csv", "xlsx"],
        *,
        fields: Optional[Sequence[str]] = None,
        title: Optional[str] = None,
        spool_dir: Optional[_Path] = None,
    ) -> None: ...
    @property
    def kind(self) -> Literal["csv", "xlsx"]: ...
    @property
    def rows(self) -> int: ...
    @property
    def columns(self) -> list[str]: ...
    @property
    def closed(self) -> bool: ...
    def write_row(self, row: Mapping[str, Any], /) -> None: ...
    def finish(self, file: _BinaryWriter, /) -> None: ...
    def commit(self, path: _Path, /) -> None: ...
    def abort(self) -> None: ...
    def __enter__(self) -> "TableWriter": ...
    def __exit__(
        self,
        exc_type: Optional[type[BaseException]],
        exc: Optional[BaseException],
        tb: Optional[TracebackType],
    ) -> Literal[False]: ...
