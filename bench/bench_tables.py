"""The row writer against Scrapy's own CSV exporter, on the same items into
memory: TableWriter alone, and CsvItemExporter (this package's, over
TableWriter) through the exporter interface that a feed drives."""

from __future__ import annotations

import io
import random
import time

from bench_hash import value


def items(count, fields, seed=11):
    rng = random.Random(seed)
    return [{f"field_{j}": value(rng) for j in range(fields)} for _ in range(count)]


def best(fn, rounds):
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def through(exporter_class, rows):
    exporter = exporter_class(io.BytesIO())
    exporter.start_exporting()
    for row in rows:
        exporter.export_item(row)
    exporter.finish_exporting()


def run(sc, report, quick):
    try:
        from scrapy.exporters import CsvItemExporter as ScrapyCsv

        from Nexra_publish.scrapy.exporters import CsvItemExporter
    except ImportError as e:  # Scrapy older than the exporters support
        print(f"tables: skipped ({e})")
        return
    from Nexra_publish.tables import TableWriter

    count, rounds = (2000, 3) if quick else (20000, 5)
    rows = items(count, 12)

    def writer():
        w = TableWriter("csv")
        for row in rows:
            w.write_row(row)
        w.finish(io.BytesIO())

    scrapy_time = best(lambda: through(ScrapyCsv, rows), rounds)
    report(f"TableWriter csv, {count} items of 12 fields", best(writer, rounds), scrapy_time)
    report(
        f"CsvItemExporter (ours) csv, {count} items", best(lambda: through(CsvItemExporter, rows), rounds), scrapy_time
    )
