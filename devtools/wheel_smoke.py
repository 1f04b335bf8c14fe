"""The smoke job of an installed wheel (devtools/check_wheels.py runs it with the
wheel's interpreter, natively or under qemu, from a job directory whose config.py
names a running test database):

    python wheel_smoke.py SOURCE_TREE

All three modules import from the installed package, each a file that its
installation recorded; clean_data gives the plain-Python twin's result on
awkward records; the records stored with InsertItem export to CSV byte for
byte as the twin writes them, and to a workbook whose rows openpyxl reads
back. Prints one JSON line."""

import json
import os
import sys
import time
from importlib import metadata

start = time.time()
sys.path.append(sys.argv[1])  # after site-packages: only devtools.twins comes from here
from devtools.twins import cleaning, export  # noqa: E402

import openpyxl  # noqa: E402

import Nexra_publish  # noqa: E402
from Nexra_publish import Scrape_common as sc, configuration, durable, tables, workqueue  # noqa: E402

# Each module is a file that the installation of the wheel recorded (its
# RECORD), not a copy found earlier on the path (a build tree, say).
modules = [Nexra_publish, sc, configuration, durable, tables, workqueue]
installed = metadata.distribution("Nexra_publish")
recorded = {os.path.realpath(installed.locate_file(f)) for f in installed.files or []}
elsewhere = [m.__file__ for m in modules if os.path.realpath(m.__file__) not in recorded]
assert not elsewhere, f"not the installed package: {elsewhere}"
assert isinstance(workqueue.worker_id(), str)
table = tables.TableWriter("csv")
table.write_row({"a": " x  y ", "b": 1})
table.write_row({"c": None})
table.commit("smoke-table.csv")
with open("smoke-table.csv", "rb") as f:
    assert f.read() == b"a,b,c\r\nx y,1,\r\n,,None\r\n"

RECORDS = [
    {" Title ": " <b>Caf\u00e9</b> &amp;  co ", "Owner": "A\u00a0B\tC\r\n", "n": 3},
    {
        "Title": "&lt;script&gt;x&lt;/script&gt;<script>alert(1)</script> y",
        "Owner": "",
        "Note": "\ufb01ne \u2460 &#x41;&#66;&nbsp;z" + " pad" * 40,
    },
    {"Title": "\u0099plain" + "\u00e9" * 100 + "<i>" * 20, "Owner": None, "Note": "x " * 300},
]
for number, record in enumerate(RECORDS):
    got, want = sc.clean_data(record), cleaning.clean_data(record)
    assert got == want, (number, got, want)

collection = "smoke_" + str(os.getpid())
for number, record in enumerate(RECORDS):
    item = dict(sc.clean_data(record), page_save=f"P{number}.html")
    sc.InsertItem(item, 1, f"P{number}", collection)
sc.export_mongo_to_csv(collection, collection, "native")
export.export_mongo_to_csv(sc.db, collection, collection, "twin")
with open(f"native/{collection}.csv", "rb") as native, open(f"twin/{collection}.csv", "rb") as twin:
    csv_bytes = native.read()
    assert csv_bytes == twin.read(), "CSV export differs from the twin's"
sc.export_mongo_to_excel(collection, collection, "native")
rows = list(openpyxl.load_workbook(f"native/{collection}.xlsx").active.values)
assert len(rows) == 1 + len(RECORDS), rows
print(
    json.dumps(
        {
            "python": sys.version.split()[0],
            "machine": os.uname().machine,
            "records": len(RECORDS),
            "csv_bytes": len(csv_bytes),
            "seconds": round(time.time() - start, 1),
        }
    )
)
