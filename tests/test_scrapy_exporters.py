"""The row writer (Nexra_publish.tables) and the Scrapy feed exporters over it:
a real crawl of a loopback site writes feeds that csv, openpyxl and LibreOffice
read back as the items, with the columns of every item; bad rows are refused
whole, and memory stays bounded."""

from __future__ import annotations

import csv
import gc
import io
import json
import os
import re
import shutil
import sys

import openpyxl
import pytest
from openpyxl.utils.exceptions import IllegalCharacterError

from Nexra_publish.scrapy import MIN_SCRAPY
from Nexra_publish.tables import TableWriter
from support import _HEAP_IN_USE, libreoffice_rows, run_python
from support.http_server import LoopbackServer, Reply


def cell(value):
    return re.sub(r"\s{2,}", " ", str(value)).strip()


def table_of(rows, columns=None):
    """The expected header and rows: the cell rule, "" where a row lacks a field."""
    columns = columns or list(dict.fromkeys(k for r in rows for k in r))
    return [columns] + [[cell(r[c]) if c in r else "" for c in columns] for r in rows]


def read_back(kind, data):
    if kind == "csv":
        return list(csv.reader(io.StringIO(data.decode("utf-8"), newline="")))
    ws = openpyxl.load_workbook(io.BytesIO(data)).active
    assert all(c.value is None or c.data_type == "s" for row in ws.iter_rows() for c in row)
    return [["" if c.value is None else c.value for c in row] for row in ws.iter_rows()]


PAGES = 40
VALUES = [12, -3.25, 1e16, True, None, [1, " a  b ", {"k": "v"}], {"n": {"m": [None]}}, "", "   ", 'q"uote']
VALUES += ["x,y", "=1+1", "#N/A", "Zürich 😀 ∑", "&amp; <b>", "one\nbreak", "a\r\nb", " lead", "x" * 5000]

SPIDER = """
import scrapy
from scrapy.crawler import CrawlerProcess

index, out, pages, VALUES = {index!r}, {out!r}, {pages}, {values!r}

class Items(scrapy.Spider):
    name = "items"
    start_urls = [index]
    yielded = 0

    def parse(self, response):
        for href in response.css("a::attr(href)").getall():
            yield response.follow(href, self.item)

    def item(self, response):
        n = int(response.url.rsplit("/", 1)[1])
        self.yielded += 1
        item = {{"n": n, "title": response.css("title::text").get(), "value": VALUES[n % len(VALUES)]}}
        if n % 3 == 0:
            item["Other  Field"] = VALUES[-1 - n % len(VALUES)]
        if n == 5:  # a control character, which a workbook cannot hold
            item["value"] = "control \\x01 character"
        if self.yielded > pages - 3:  # a field that only the last items have
            item["late"] = f" late  {{n}}"
        yield item

feeds = {{f"{{out}}/items.{{f}}": {{"format": f}} for f in ("xlsx", "csv", "jsonlines", "scrapy_csv")}}
feeds[f"{{out}}/fixed.xlsx"] = {{"format": "xlsx", "fields": ["title", "n", "absent"]}}
process = CrawlerProcess({{
    "FEEDS": feeds,
    "FEED_EXPORTERS": {{"csv": "Nexra_publish.scrapy.CsvItemExporter",
                       "xlsx": "Nexra_publish.scrapy.XlsxItemExporter",
                       "scrapy_csv": "scrapy.exporters.CsvItemExporter"}},
    "FEED_EXPORT_ENCODING": "utf-8", "LOG_LEVEL": "WARNING", "TELNETCONSOLE_ENABLED": False,
}})
process.crawl(Items)
process.start()
"""


@pytest.fixture(scope="module")
def crawl(tmp_path_factory):
    scrapy = pytest.importorskip("scrapy")
    if tuple(int(p) for p in scrapy.__version__.split(".")[:2]) < MIN_SCRAPY:
        pytest.skip(f"Scrapy {scrapy.__version__} is older than {MIN_SCRAPY}, the oldest the exporters support")
    out = tmp_path_factory.mktemp("feeds")
    site = LoopbackServer().start()
    try:
        links = "".join(f'<a href="/item/{n}">{n}</a>' for n in range(PAGES))
        index = site.script("/", Reply.html(f"<html><body>{links}</body></html>"))
        for n in range(PAGES):
            site.script(f"/item/{n}", Reply.html(f"<html><head><title> Item  {n} </title></head></html>"))
        # A file of its own: Scrapy reads the source of generator callbacks.
        (out / "spider.py").write_text(SPIDER.format(index=index, out=str(out), pages=PAGES, values=VALUES))
        proc = run_python("import runpy; runpy.run_path('spider.py')", out)
    finally:
        site.stop()
    # The workbook feed (the first) logs the item it cannot hold; the later feeds still get it.
    assert proc.returncode == 0 and proc.stderr.count("ERROR") == 1, proc.stderr
    assert "XlsxItemExporter left an item out" in proc.stderr and "IllegalCharacterError" in proc.stderr
    # Scrapy's own JSON lines feed records the items in the order exported.
    items = [json.loads(line) for line in (out / "items.jsonlines").read_text("utf-8").splitlines()]
    assert len(items) == PAGES
    return out, items


def workbook_items(items):
    return [i for i in items if "\x01" not in str(i["value"])]


@pytest.mark.crawl
@pytest.mark.parametrize("kind", ["csv", "xlsx"])
def test_feeds_hold_every_item_with_the_columns_of_all(crawl, kind):
    out, items = crawl
    expected = table_of(items if kind == "csv" else workbook_items(items))
    assert expected[0] == ["n", "title", "value", "Other  Field", "late"]
    assert read_back(kind, (out / f"items.{kind}").read_bytes()) == expected
    # Scrapy's own CSV exporter takes the first item's columns: the late field is lost.
    assert "late" not in read_back("csv", (out / "items.scrapy_csv").read_bytes())[0]
    # A feed's "fields" fix the columns (the control character is not among them).
    assert read_back("xlsx", (out / "fixed.xlsx").read_bytes()) == table_of(items, ["title", "n", "absent"])


@pytest.mark.slow
@pytest.mark.crawl
@pytest.mark.skipif(not shutil.which("soffice") and not os.environ.get("CI"), reason="LibreOffice is not installed")
def test_workbook_feed_for_libreoffice(crawl):
    out, items = crawl
    assert libreoffice_rows(out / "items.xlsx", out) == table_of(workbook_items(items))


class StrFails:
    def __str__(self):
        raise LookupError("no text")


ROWS = [{"a": 1, "b": " x  y "}, {"b": None, "c": [1, "  2"]}, {"d": "=SUM(A1)", "a": "é😀"}]
BAD = [
    (["a"], TypeError, "csv"),
    ("ab", TypeError, "xlsx"),
    ({1: "x"}, TypeError, "csv"),
    ({"new": StrFails()}, LookupError, "xlsx"),
    ({"new": "\udc80"}, UnicodeEncodeError, "csv"),
    ({"new\udc80": "x"}, UnicodeEncodeError, "csv"),
    ({"new": "\udc80"}, UnicodeEncodeError, "xlsx"),
    ({"new": "a\x01"}, IllegalCharacterError, "xlsx"),
    ({"new\x02": "a"}, IllegalCharacterError, "xlsx"),
    ({"new": "\ufffe"}, ValueError, "xlsx"),
]


@pytest.mark.parametrize("row,error,kind", BAD)
def test_a_bad_row_is_refused_whole(row, error, kind):
    w = TableWriter(kind)
    w.write_row(ROWS[0])
    with pytest.raises(error):
        w.write_row(row)
    w.write_row(ROWS[1])
    assert w.rows == 2 and w.columns == ["a", "b", "c"]
    f = io.BytesIO()
    w.finish(f)
    assert read_back(kind, f.getvalue()) == table_of(ROWS[:2])


class Trickle:
    """A raw file that takes at most 1000 bytes a call."""

    data = b""

    def write(self, b):
        self.data += bytes(b[:1000])
        return min(len(b), 1000)


@pytest.mark.parametrize("kind", ["csv", "xlsx"])
def test_rows_files_and_lifecycle(kind, tmp_path):
    w = TableWriter(kind, spool_dir=tmp_path)
    for r in ROWS:
        w.write_row(r)
    target = tmp_path / f"t.{kind}"
    target.write_bytes(b"earlier")
    w.commit(target)
    assert read_back(kind, target.read_bytes()) == table_of(ROWS) and os.listdir(tmp_path) == [target.name]
    with pytest.raises(ValueError, match="committed"):
        w.write_row({})
    w.abort()  # a closed writer stays as it is
    fixed = TableWriter(kind, fields=["c", "a"])
    for r in ROWS:
        fixed.write_row(r)
    raw = Trickle()
    fixed.finish(raw)
    assert read_back(kind, bytes(raw.data)) == table_of(ROWS, ["c", "a"])
    with TableWriter(kind) as inner:

        class Reenters:
            def __str__(self):
                inner.finish(io.BytesIO())

        with pytest.raises(RuntimeError, match="another call"):
            inner.write_row({"a": Reenters()})
    assert inner.closed and read_back("csv", _finished(TableWriter("csv"))) == []


def _finished(w):
    f = io.BytesIO()
    w.finish(f)
    return f.getvalue()


@pytest.mark.parametrize("kind", ["csv", "xlsx"])
def test_no_reference_kept_per_row(kind):
    key, value = "".join(["ke", "y"]), " ".join(["v  ", "w"])
    refs = sys.getrefcount(key), sys.getrefcount(value)
    for _ in range(3):
        w = TableWriter(kind)
        for _ in range(2000):
            w.write_row({key: value, "n": 1})
        _finished(w)
        w = TableWriter(kind)
        w.write_row({key: value})
        with pytest.raises(AttributeError):
            w.finish(None)
    del w
    gc.collect()
    assert (sys.getrefcount(key), sys.getrefcount(value)) == refs


# A table of hundreds of megabytes of cells would need that much memory held
# in a list; spooled, the peak stays that of a small table.
PEAK = r"""
import re, resource
from Nexra_publish.tables import TableWriter
w = TableWriter({kind!r}, spool_dir=".")
for i in range({rows}):
    w.write_row({{"a": "x" * 100, "b": "y" * 100}})
with open("out", "wb") as f:
    w.finish(f)
try:  # this process's own peak (ru_maxrss keeps the forking parent's on Linux)
    print(int(re.search(r"VmHWM:\s+(\d+) kB", open("/proc/self/status").read())[1]) * 1024)
except OSError:
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)  # bytes on macOS
"""


# Under AddressSanitizer freed blocks wait in its quarantine, so the peak
# says nothing about what the writer holds.
@pytest.mark.skipif(_HEAP_IN_USE is not None, reason="resident memory under AddressSanitizer")
@pytest.mark.parametrize("kind", ["csv", "xlsx"])
def test_memory_does_not_grow_with_the_rows(kind, tmp_path):
    def peak(rows):
        proc = run_python(PEAK.format(kind=kind, rows=rows), tmp_path)
        assert proc.returncode == 0, proc.stderr
        return int(proc.stdout)

    assert peak(250_000) - peak(10_000) < 16 << 20
