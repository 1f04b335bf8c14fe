"""Faults of the real parts a job depends on.

The database: a server of its own, stopped in the middle of a job that runs in
a fresh interpreter and restarted on the same data and port, so that the rest
of the suite keeps its server. The web: servers that stall, drop the
connection in the middle of a body, send huge bodies or bodies that are not
valid UTF-8."""

from __future__ import annotations

import hashlib
import json
import os
import re

import pymongo
import pytest
import requests

from devtools.testdb import TestDB
from support import PythonSession, write_job
from support.fetch_fixtures import (  # noqa: F401
    failures,
    no_wait,
    parcel,
    path,
    server,
    store,
)
from support.http_server import LoopbackServer, Reply

INSERTED = "\u2705 Successfully inserted document\n"
DUPLICATE = "Duplicate key error: Document already exists.\n"
CONNECTION_LINE = "Issue Connection reset for parcel_number: "
SERVER_DOWN = "RAISED pymongo.errors.ServerSelectionTimeoutError: "
UPDATERS = ["update_input", "update_input_many", "update_pl_input", "update_pl_input_many"]


def with_options(uri: str, **options) -> str:
    query = "&".join(f"{k}={v}" for k, v in options.items())
    if "?" in uri:
        return f"{uri}&{query}"
    return f"{uri}{'' if uri.endswith('/') else '/'}?{query}"


@pytest.fixture
def outage(tmp_path):
    """A database server of this test's own, a job using it with a short
    server-selection time-out, and a fresh interpreter running that job."""
    data = tmp_path / "db"
    db_server = TestDB(data)
    uri = db_server.start()
    port = int(re.search(r":(\d+)", uri.split("//", 1)[1]).group(1))
    job = write_job(
        tmp_path / "job",
        {
            "connection_string": with_options(uri, serverSelectionTimeoutMS=1000, heartbeatFrequencyMS=500),
            "data_base": "outage_job",
            "input_table": "parcels",
            "pl_input_table": "pl_parcels",
            "vantelo_path": str(tmp_path / "no-engine"),
            "pagesave_path": str(tmp_path / "pages"),
        },
    )
    client = pymongo.MongoClient(uri, serverSelectionTimeoutMS=20000)
    db = client["outage_job"]
    for name in ("parcels", "pl_parcels"):
        db[name].insert_many([{"parcel_number": f"A{n:04d}", "status": "pending"} for n in range(1, 4)])
    session = PythonSession(job, env={"NEXRA_CONFIG": str(job / "absent.json")})
    state = {"server": db_server, "data": data, "port": port, "db": db, "job": session, "pages": tmp_path / "pages"}
    yield state
    assert session.close() == 0
    client.close()
    state["server"].stop()


def stop(state):
    state["server"].stop()


def restart(state):
    state["server"] = TestDB(state["data"], port=state["port"])
    state["server"].start()


def test_database_stopped_mid_job_and_restarted(outage):
    job, db, port = outage["job"], outage["db"], outage["port"]
    assert (
        job.run("""
        from Nexra_publish import Scrape_common as sc
        def item(p):
            return {"parcel_number": p, "owner": f" <b>Owner of {p}</b> ", "page_save": f"{p}.html"}
    """)
        == "\u2705 MongoDB connection successful\n"
    )

    # Up: the road of one work item.
    assert (
        job.run("print([d['parcel_number'] for d in sc.get_input({'status': 'pending'})])")
        == "['A0001', 'A0002', 'A0003']\n"
    )
    assert job.run("sc.InsertItem(item('A0001'), 1, 'A0001', 'records')") == INSERTED
    assert job.run("sc.update_input('parcel_number', 'A0001', 'done')") == ""

    stop(outage)

    # Down: the status updates print the driver's error and go on.
    for fn in UPDATERS:
        out = job.run(f"r = sc.{fn}('parcel_number', 'A0002', 'done'); print('returned', r)")
        error, returned = out.splitlines()
        assert returned == "returned None"
        assert f"127.0.0.1:{port}" in error and not error.startswith("RAISED")
    # InsertItem lets the driver's error through, having printed nothing.
    assert job.run("sc.InsertItem(item('A0002'), 1, 'A0002', 'records')").startswith(SERVER_DOWN)
    assert job.run("sc.InsertItem(item('A0001'), 1, 'A0001', 'records')").startswith(SERVER_DOWN)
    # The readers hand out their cursors; the error comes when one is iterated.
    for call in ("get_input()", "get_input({'status': 'pending'})", "pl_input({}, 5, 1)"):
        assert job.run(f"c = sc.{call}; print(type(c).__name__)") == "Cursor\n"
    assert job.run("list(c)").startswith(SERVER_DOWN)

    restart(outage)

    # Up again, in the same interpreter: nothing half-written, the next calls work.
    assert [d["parcel_number"] for d in db["records"].find()] == ["A0001"]
    assert {d["parcel_number"]: d["status"] for d in db["parcels"].find()} == {
        "A0001": "done",
        "A0002": "pending",
        "A0003": "pending",
    }
    assert db["pl_parcels"].count_documents({"status": "done"}) == 0
    assert job.run("sc.update_input('parcel_number', 'A0002', 'working')") == ""
    assert job.run("sc.InsertItem(item('A0002'), 1, 'A0002', 'records')") == INSERTED
    assert job.run("sc.InsertItem(item('A0001'), 1, 'A0001', 'records')") == DUPLICATE
    assert job.run("sc.update_input_many('status', 'pending', 'queued')") == ""
    assert job.run("print([d['status'] for d in sc.get_input({}, 5, 1)])") == "['working', 'queued']\n"
    records = {d["parcel_number"]: d for d in db["records"].find()}
    assert sorted(records) == ["A0001", "A0002"]
    for p, doc in records.items():
        cleaned = {"parcel_number": p, "owner": f"Owner of {p}", "page_save": f"{p}.html"}
        assert doc["_id"] == hashlib.md5(json.dumps(cleaned, sort_keys=True).encode()).hexdigest()
        assert list(doc) == ["_id", "parcel_number", "owner", "page_save", "datetime", "retry"]


def test_fetch_with_the_database_down(outage, tmp_path):
    job, db = outage["job"], outage["db"]
    pages = outage["pages"]
    pages.mkdir()
    (pages / "S0001.html").write_text("<p>saved before</p>", encoding="utf-8")
    web = LoopbackServer().start()
    try:
        url = web.script("/p", Reply(reset=True))
        job.run("from Nexra_publish import Scrape_common as sc; sc.RETRY_DELAY = 0")

        stop(outage)
        # A saved page needs no database.
        assert (
            job.run("r, n = sc.fetch_response(url='u', parcel_number='S0001'); print(r.text, n)")
            == "Page Read HTML file for parcel_number 'S0001'.\n<p>saved before</p> 0\n"
        )
        # A fetch that gives up cannot write its failure record: the error
        # reaches the caller after the four attempts, and no page is saved.
        out = job.run(f"sc.fetch_response(url={url!r}, parcel_number='F0001')").splitlines()
        assert [line.startswith(CONNECTION_LINE + "F0001 ") for line in out[:-1]] == [True] * 4
        # The client's own error: a failed server selection, or the refused
        # connection when its monitor has not yet seen the server go (timing).
        assert out[-1].startswith((SERVER_DOWN, "RAISED pymongo.errors.AutoReconnect: "))
        assert sorted(os.listdir(pages)) == ["S0001.html"]

        restart(outage)
        assert job.run(f"print(sc.fetch_response(url={url!r}, parcel_number='F0001'))").splitlines()[-1] == "None"
        [record] = db["failures_collection"].find({"parcel_number": "F0001"})
        assert record["Retries"] == 4 and record["URL"] == url
        assert sorted(os.listdir(pages)) == ["S0001.html"]
    finally:
        web.stop()


# ---------------------------------------------------------------------------
# The web: bodies cut off, stalled, huge or not UTF-8
# ---------------------------------------------------------------------------

PAGE = (
    "<html><body>" + "".join(f"<p>row {i}: \u00c5\u00c9 \u6f22\u5b57</p>" for i in range(400)) + "</body></html>"
).encode("utf-8")


def connection_lines(out: str, parcel_number: str) -> list[str]:
    return [line for line in out.splitlines() if line.startswith(CONNECTION_LINE + parcel_number)]


def listing(directory) -> list[str]:
    return sorted(os.listdir(directory)) if os.path.exists(directory) else []


@pytest.fixture(params=["direct", "engine"])
def route(request, sc, monkeypatch):
    """The proxy argument that selects a route; the engine gets the same short
    time-out as the direct route's `timeout` argument."""
    if request.param == "engine":
        monkeypatch.setattr(sc.request_engine, "timeout", 0.5)
        return {"proxy": "p"}
    return {"timeout": 0.5}


@pytest.mark.parametrize(
    "reply",
    [
        Reply(body=PAGE, cut=0),
        Reply(body=PAGE, cut=len(PAGE) // 2),
        Reply(body=PAGE, cut=len(PAGE) - 1),
        Reply(body=PAGE, cut=len(PAGE) // 3, stall=30),
    ],
    ids=["headers only", "half", "all but one byte", "stalled past the time-out"],
)
def test_body_cut_off_on_every_attempt(sc, server, path, parcel, store, failures, no_wait, capsys, route, reply):
    url = server.script(path, reply)
    assert sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store), **route) is None
    assert len(connection_lines(capsys.readouterr().out, parcel)) == 4
    [record] = failures(parcel)
    assert record["Retries"] == 4
    assert listing(store) == []  # no page, no partial file


def test_body_cut_off_then_whole(sc, server, path, parcel, store, failures, no_wait, capsys, route):
    url = server.script(path, Reply(body=PAGE, cut=len(PAGE) // 2), Reply(body=PAGE))
    response, retries = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store), **route)
    assert (response.body, retries) == (PAGE, 2)
    assert len(connection_lines(capsys.readouterr().out, parcel)) == 1
    assert failures(parcel) == []
    assert listing(store) == [f"{parcel}.html"]
    assert (store / f"{parcel}.html").read_bytes() == PAGE


@pytest.mark.parametrize("kind", ["html", "json"])
def test_huge_body(sc, server, path, parcel, store, failures, no_wait, capsys, kind):
    if kind == "html":
        body = b"<p>" + b"0123456789" * 5_000_000 + b"</p>"  # 50 MB
        reply = Reply(body=body)
    else:
        value = {"rows": ["\u00e9" * 100] * 100_000}  # 20 MB of JSON escapes
        reply = Reply.json(value)
    url = server.script(path, reply)
    response, retries = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert retries == 1
    assert listing(store) == [f"{parcel}.{kind}"]
    saved = store / f"{parcel}.{kind}"
    if kind == "html":
        assert response.body == body and saved.stat().st_size == len(body)
    else:
        assert json.loads(saved.read_text(encoding="utf-8")) == value
    assert capsys.readouterr().out == ""
    again, retries = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert retries == 0 and len(again.body) == saved.stat().st_size
    assert len(server.hits(path)) == 1


BAD_UTF8 = [
    b"<p>" + b"\xff\xfe\xfd" * 40 + b"</p>",
    b"<p>caf\xc3</p>" + b"x" * 80,
    b"<p>" + b"\xed\xa0\x80\xed\xb0\x80" * 20 + b"</p>",  # a surrogate pair in UTF-8 form
    b"<p>" + "\u00e9\u6f22".encode("utf-8") * 30 + b"\xe6\xbc",  # cut in a character
    b'{"k": "\xff\xfe' + b"y" * 80 + b'"}',
]


@pytest.mark.parametrize("content_type", ["text/html; charset=utf-8", "text/html", "application/json"])
@pytest.mark.parametrize("body", BAD_UTF8, ids=["ff fe", "cut c3", "surrogates", "cut end", "json"])
def test_body_not_valid_utf8(sc, server, path, parcel, store, failures, no_wait, capsys, content_type, body):
    url = server.script(path, Reply(body=body, content_type=content_type))
    answer = requests.get(url)  # what requests makes of this body: its text, JSON or not
    try:
        saved_text, ext = json.dumps(answer.json(), ensure_ascii=False, indent=4), "json"
    except ValueError:
        saved_text, ext = answer.text, "html"
    response, retries = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert retries == 1 and response.text == answer.text
    saved = store / f"{parcel}.{ext}"
    assert listing(store) == [saved.name]
    assert saved.read_text(encoding="utf-8") == saved_text
    served, retries = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert retries == 0 and served.text == saved_text
    assert failures(parcel) == []
