"""Feed exporters for Scrapy over the native row writer (Nexra_publish.tables):

    FEED_EXPORTERS = {"xlsx": "Nexra_publish.scrapy.XlsxItemExporter",
                      "csv": "Nexra_publish.scrapy.CsvItemExporter"}

The columns are every field that any item has, in the order first met (not
the first item's alone), or FEED_EXPORT_FIELDS / a feed's "fields" when
given. Each cell is the exports' cell rule: str(value) with every run of
white space made one space and the ends stripped; every workbook cell is a
text cell. The rows are spooled in bounded memory, and the file is written
to the feed's storage when the feed closes. An item that the file cannot hold
(text that UTF-8 or the workbook refuses) is logged as an error and left out.
"""

from __future__ import annotations

import codecs
import logging
from collections.abc import Mapping
from typing import Any, BinaryIO

from scrapy.exporters import BaseItemExporter

from Nexra_publish.tables import TableWriter

logger = logging.getLogger(__name__)


class _TableItemExporter(BaseItemExporter):
    """The exporter of one kind of table ("csv" or "xlsx")."""

    kind = ""

    def __init__(self, file: BinaryIO, *, join_multivalued: str | None = None, **kwargs: Any) -> None:
        self._writer_options = self._own_options(kwargs)
        # Unknown options raise TypeError here (dont_fail off).
        super().__init__(**kwargs)
        if self.encoding is not None and codecs.lookup(self.encoding).name != "utf-8":
            raise ValueError(f"{type(self).__name__} writes UTF-8, not {self.encoding!r}")
        self.file = file
        self.join_multivalued = join_multivalued
        self._writer: TableWriter | None = None
        self._fields = getattr(self, "get_serialized_fields", None) or self._get_serialized_fields
        # A plain dict item has no field metadata, hence no serializers: with
        # nothing else to apply, it is the row itself.
        self._dict_is_row = (
            self.fields_to_export is None
            and not self.export_empty_fields
            and join_multivalued is None
            and type(self).serialize_field is _TableItemExporter.serialize_field
        )

    def _own_options(self, kwargs: dict[str, Any]) -> dict[str, Any]:
        return {}

    def _columns(self) -> list[str] | None:
        fields = self.fields_to_export
        if fields is None:
            return None
        return list(fields.values()) if isinstance(fields, Mapping) else list(fields)

    def start_exporting(self) -> None:
        if self._writer is None:
            self._writer = TableWriter(self.kind, fields=self._columns(), **self._writer_options)

    def serialize_field(self, field: Any, name: str, value: Any) -> Any:
        serializer = field.get("serializer")
        if serializer is not None:
            return serializer(value)
        if self.join_multivalued is not None and isinstance(value, (list, tuple)):
            try:
                return self.join_multivalued.join(value)
            except TypeError:  # not all text: the cell rule's str() of the list
                pass
        return value

    def export_item(self, item: Any) -> None:
        """Add the item's row. An item the file cannot hold is logged and left
        out: raised, it would also be lost to the feeds after this one, as
        Scrapy's feed exporter hands an item to its feeds in one loop."""
        self.start_exporting()
        assert self._writer is not None
        try:
            if self._dict_is_row and type(item) is dict:
                self._writer.write_row(item)
            else:
                self._writer.write_row(dict(self._fields(item, default_value="")))
        except Exception:
            logger.error("%s left an item out of its file", type(self).__name__, exc_info=True)

    def finish_exporting(self) -> None:
        self.start_exporting()
        assert self._writer is not None
        self._writer.finish(self.file)


class CsvItemExporter(_TableItemExporter):
    """UTF-8 CSV as csv.DictWriter writes it: a header line of every column,
    fields quoted where needed, CR LF line ends. Options: fields_to_export,
    export_empty_fields, encoding (UTF-8 only), join_multivalued (lists of
    text joined with it; default: the list's str()). The csv module's
    dialect options and include_headers_line=False are not supported."""

    kind = "csv"

    def _own_options(self, kwargs: dict[str, Any]) -> dict[str, Any]:
        if not kwargs.pop("include_headers_line", True):
            raise TypeError("CsvItemExporter always writes the header line")
        return {}


class XlsxItemExporter(_TableItemExporter):
    """An Excel workbook of one sheet: a header row of every column, then one
    row per item, every cell a text cell (a text such as "=1+1" is no
    formula). Options: fields_to_export, export_empty_fields, encoding (UTF-8
    only), join_multivalued, sheet_title (default: openpyxl's "Sheet")."""

    kind = "xlsx"

    def _own_options(self, kwargs: dict[str, Any]) -> dict[str, Any]:
        title = kwargs.pop("sheet_title", None)
        return {} if title is None else {"title": title}
