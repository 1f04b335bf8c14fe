"""Page saves, exports and the files of durable.write_file survive a crash of
the machine: each file is created exclusively beside its final name, synced,
renamed over it, and its directory synced, in that order; a failing sync
loses nothing. Seen through a preloaded library (tests/support/fsync_shim.c)
in a fresh interpreter."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
import sysconfig

import pytest

from support import run_python
from support.fetch_fixtures import path, server  # noqa: F401
from support.http_server import Reply

pytestmark = pytest.mark.skipif(
    not sys.platform.startswith("linux"), reason="the system-call shim is preloaded with LD_PRELOAD (Linux)"
)

PAGE = "<html><body>" + "<p>a row of the page</p>" * 40 + "</body></html>"

# The child saves the page of `url` as parcel P1234 in `out`, or exports the
# collection `coll` to `out`, and prints what it got.
CHILD = """
import csv, functools, json, types
import openpyxl.worksheet._writer as writer
import os
import Nexra_publish.Scrape_common as sc
from Nexra_publish import durable
case, out, url, coll = ARGS
if case == "csv generic":  # csv.DictWriter writes through the interpreter's open
    sc.csv = types.SimpleNamespace(DictWriter=csv.DictWriter)
if case == "xlsx generic":  # openpyxl's own cell writer, and its save
    writer.write_cell = functools.partial(writer.write_cell)
try:
    if case.startswith("page"):
        first, second = sc.fetch_response(url=url, parcel_number="P1234", pagesave_path=out)
        got = [type(first).__name__, getattr(first, "errno", None), second]
    elif case == "durable":
        os.makedirs(out, exist_ok=True)
        durable.write_file(os.path.join(out, "entry.bin"), [b"head ", b"x" * 4096])
        got = ["None"]
    else:
        (sc.export_mongo_to_csv if case.startswith("csv") else sc.export_mongo_to_excel)(
            "out", coll, out)
        got = ["None"]
except OSError as e:
    got = [type(e).__name__, e.errno]
print("RESULT", json.dumps(got))
"""

CASES = {  # case -> final file name
    "page html": "P1234.html",
    "page json": "P1234.json",
    "csv native": "out.csv",
    "csv generic": "out.csv",
    "xlsx native": "out.xlsx",
    "xlsx generic": "out.xlsx",
    "durable": "entry.bin",
}
PREFIXES = {"page": ".pagesave", "durable": ".durable"}


@pytest.fixture(scope="session")
def shim(tmp_path_factory):
    cc = (sysconfig.get_config_var("CC") or "cc").split()[0]
    lib = tmp_path_factory.mktemp("shim") / "fsync_shim.so"
    source = os.path.join(os.path.dirname(__file__), "support", "fsync_shim.c")
    subprocess.run([cc, "-shared", "-fPIC", "-O1", "-o", str(lib), source, "-ldl"], check=True)
    return lib


@pytest.fixture
def run(shim, job_dir, tmp_path, server, path, database, collection_name):  # noqa: F811
    """run(case, **faults) -> (what the child got, its calls in out/ as text, out)."""
    database[collection_name].insert_many([{"n": i, "Text": f"row  {i}"} for i in range(300)])
    out, log = tmp_path / "out", tmp_path / "calls.log"

    def run_case(case, **faults):
        reply = Reply.json({"rows": [PAGE] * 2}) if case == "page json" else Reply.html(PAGE)
        url = server.script(path, reply)
        env = {
            "LD_PRELOAD": " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(shim)])),
            "SHIM_LOG": str(log),
            "SHIM_MATCH": str(out),
            **faults,
        }
        proc = run_python(CHILD.replace("ARGS", repr([case, str(out), url, collection_name])), job_dir, env=env)
        assert proc.returncode == 0, proc.stderr
        where = os.path.realpath(out)
        # Paths in out/ by their names, out/ itself as DIR; the sync times dropped.
        calls = [
            re.sub(r" \d+$", "", line).replace(where + "/", "").replace(where, "DIR")
            for line in log.read_text().splitlines()
            if where in line
        ]
        return json.loads(proc.stdout.splitlines()[-1].split(" ", 1)[1]), calls, out

    yield run_case
    database[collection_name].drop()


@pytest.mark.parametrize("case", list(CASES))
def test_sync_rename_sync_in_that_order(run, case):
    got, calls, out = run(case)
    assert got[0] in ("HtmlResponse", "None"), got
    prefix = PREFIXES.get(case.split()[0], ".export")
    tmp = calls[0].split(" ")[1]
    assert re.fullmatch(re.escape(prefix) + r"-\d+-[0-9a-f]{16}-\d+\.tmp", tmp), calls
    assert calls == [f"excl {tmp}", f"fsync file {tmp}", f"rename {tmp} {CASES[case]}", "fsync dir DIR"]
    assert os.listdir(out) == [CASES[case]]


@pytest.mark.parametrize("case", list(CASES))
@pytest.mark.parametrize("fails", ["file", "dir"])
def test_failing_sync_loses_nothing(run, tmp_path, case, fails):
    final, page = tmp_path / "out" / CASES[case], case.startswith("page")
    if not page:  # (a saved page is served, never written again)
        final.parent.mkdir()
        final.write_bytes(b"the earlier file")
    got, calls, out = run(case, SHIM_FAIL_FSYNC=fails)
    # Reported as a failing write is: (error, attempts) from a page save, the
    # OSError raised by an export.
    assert got == (["OSError", 5, 1] if page else ["OSError", 5])
    if fails == "file":
        # No rename, no temporary file left, the earlier file as it was.
        assert not [c for c in calls if c.startswith("rename")], calls
        assert os.listdir(out) == ([] if page else [final.name])
        assert page or final.read_bytes() == b"the earlier file"
    else:
        # The rename was made: the new file is in place, whole.
        assert os.listdir(out) == [final.name] and final.stat().st_size > 50


def test_taken_temporary_name_is_retried(run):
    got, calls, out = run("page html", SHIM_EXCL_EXISTS="1")
    assert got == ["HtmlResponse", None, 1]
    taken, created = calls[0].split(" "), calls[1].split(" ")
    assert taken[0] == created[0] == "excl" and taken[2] == "EEXIST" and taken[1] != created[1]
    assert calls[2:] == [f"fsync file {created[1]}", f"rename {created[1]} P1234.html", "fsync dir DIR"]
    assert (out / "P1234.html").read_text(encoding="utf-8") == PAGE
