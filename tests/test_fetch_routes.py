"""fetch_response's two fetch routes against a real HTTP server on loopback:
saving, size judgement, retries, waits, failure records, the request engine,
concurrency and reference leaks."""

from __future__ import annotations

import datetime
import gc
import json
import os
import sys
import threading
import types

import pymongo
import pytest
import requests
from scrapy.http import HtmlResponse

from support import rss_growth
from support.fetch_fixtures import (  # noqa: F401
    failures,
    no_wait,
    parcel,
    path,
    server,
    store,
)
from support.http_server import Reply

PAGE = "<html><body>" + "".join(f"<p>row {i}: ÅÉÎ 漢字</p>" for i in range(150)) + "</body></html>"
RESET = Reply(reset=True)
CONNECTION_LINE = "Issue Connection reset for parcel_number: "


@pytest.fixture
def sleeps(sc, monkeypatch):
    """The waits requested through `time.sleep`, recorded instead of slept."""
    recorded = []
    monkeypatch.setattr(sc, "time", types.SimpleNamespace(sleep=recorded.append))
    return recorded


def html_of_size(n: int) -> Reply:
    return Reply.html("x" * n)


def json_of_size(n: int) -> Reply:
    if n == 14:
        return Reply.json({"a": 1})  # '{\n    "a": 1\n}'
    # json.dump({"k": v}, indent=4) adds 15 bytes around a plain string v.
    return Reply.json({"k": "y" * (n - 15)})


def connection_lines(out: str, parcel_number: str) -> list[str]:
    return [line for line in out.splitlines() if line.startswith(CONNECTION_LINE + parcel_number)]


def store_files(store) -> list[str]:
    return sorted(os.listdir(store))


# --- direct route: answers --------------------------------------------------------


def test_first_answer_saved_and_returned(sc, server, path, parcel, store, failures, no_wait):
    url = server.script(path, Reply.html(PAGE))
    response, retries = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert isinstance(response, HtmlResponse)
    assert (response.text, response.url, retries) == (PAGE, url, 1)
    assert (store / f"{parcel}.html").read_text(encoding="utf-8") == PAGE
    assert store_files(store) == [f"{parcel}.html"]
    assert failures(parcel) == []
    # Later calls are served from the store.
    again, retries = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert (again.text, retries) == (PAGE, 0)
    assert len(server.hits(path)) == 1


def test_json_answer_saved_decoded_and_reencoded(sc, server, path, parcel, store, no_wait, capsys):
    value = {"name": "Zoë 漢字 \U0001f600", "items": list(range(12)), "nested": {"a": None}}
    url = server.script(path, Reply.json(value))
    response, retries = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert retries == 1
    assert response.text == json.dumps(value)  # the answer's own text
    saved = (store / f"{parcel}.json").read_text(encoding="utf-8")
    assert saved == json.dumps(value, ensure_ascii=False, indent=4)
    assert store_files(store) == [f"{parcel}.json"]
    # The JSON page is served back as an HtmlResponse, without the HTML line.
    capsys.readouterr()
    served, retries = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert (served.text, retries) == (saved, 0)
    assert capsys.readouterr().out == ""


def test_not_found_then_found(sc, server, path, parcel, store, failures, sleeps):
    url = server.script(path, Reply.html("gone", status=404), Reply.html(PAGE))
    response, retries = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert (response.text, retries) == (PAGE, 3)
    assert sleeps == [2]
    assert failures(parcel) == []


@pytest.mark.parametrize("status", [500, 201, 404])
def test_status_other_than_200_gives_up(sc, server, path, parcel, store, failures, sleeps, status):
    url = server.script(path, Reply.html(PAGE, status=status))
    response, retries = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert isinstance(response, requests.Response)
    assert (response.status_code, retries) == (status, 4)
    assert len(server.hits(path)) == 2 and sleeps == [2, 2]
    [record] = failures(parcel)
    assert list(record) == ["_id", "parcel_number", "URL", "Retries", "Trace", "Logged_At"]
    assert (record["parcel_number"], record["URL"], record["Retries"]) == (parcel, url, 4)
    assert record["Trace"] == "NoneType: None\n"
    assert isinstance(record["Logged_At"], datetime.datetime)
    assert not store.joinpath(f"{parcel}.html").exists()


def test_trace_without_failed_attempt_is_the_callers_exception(sc, server, path, parcel, store, failures, no_wait):
    url = server.script(path, Reply.html(PAGE, status=503))
    try:
        raise KeyError("handled by the caller")
    except KeyError:
        sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    [record] = failures(parcel)
    assert "KeyError: 'handled by the caller'" in record["Trace"]


def test_reset_then_answer(sc, server, path, parcel, store, failures, sleeps, capsys):
    url = server.script(path, RESET, Reply.html(PAGE))
    response, retries = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert (response.text, retries) == (PAGE, 2)
    assert sleeps == [2]
    assert len(connection_lines(capsys.readouterr().out, parcel)) == 1
    assert failures(parcel) == []


def test_redirect_followed_unless_disabled(sc, server, path, parcel, store, no_wait):
    final = server.script(path + "/final", Reply.html(PAGE))
    url = server.script(path, Reply(status=302, location=final))
    response, retries = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    # The response carries the address the answer came from.
    assert (response.url, retries) == (final, 1)

    response, retries = sc.fetch_response(
        url=url, parcel_number=parcel + "X", pagesave_path=str(store), allow_redirects=False
    )
    assert (response.status_code, retries) == (302, 4)


# --- small pages: both routes -------------------------------------------------------


@pytest.mark.parametrize("make", [html_of_size, json_of_size], ids=["html", "json"])
@pytest.mark.parametrize("size", [14, 49, 50, 51, 4000])
@pytest.mark.parametrize("route", ["direct", "engine"])
def test_page_size_judgement(sc, server, path, parcel, store, failures, sleeps, capsys, make, size, route):
    reply = make(size)
    url = server.script(path, reply)
    proxy = None if route == "direct" else "engine-proxy"
    response, retries = sc.fetch_response(url=url, parcel_number=parcel, proxy=proxy, pagesave_path=str(store))
    ext = ".html" if make is html_of_size else ".json"
    saved = store / f"{parcel}{ext}"
    assert os.path.getsize(saved) == size
    warning = f"Warning: {saved} is too small, possible error page."
    out = capsys.readouterr().out.splitlines()
    hits = len(server.hits(path))

    if size > 50:
        assert isinstance(response, HtmlResponse) and retries == 1 and hits == 1
        assert response.text == reply.body.decode("utf-8")
        assert out == [] and failures(parcel) == []
    elif size < 50 and route == "engine":
        # The engine's own answer comes back at the first warning.
        assert isinstance(response, requests.Response)
        assert (response.status_code, retries, hits) == (200, 1, 1)
        assert out == [warning] and failures(parcel) == []
    else:
        # Retried at once: no waits; a warning per attempt under 50 bytes only.
        assert isinstance(response, requests.Response)
        assert (response.status_code, retries, hits) == (200, 4, 4)
        assert out == ([warning] * 4 if size < 50 else [])
        assert sleeps == []
        [record] = failures(parcel)
        assert record["Retries"] == 4
    # Whatever the judgement, the saved page stays and is served later.
    served, retries = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert retries == 0 and served.text == saved.read_text(encoding="utf-8")


# --- transport failures ---------------------------------------------------------------


def test_resets_on_every_attempt(sc, server, path, parcel, store, failures, sleeps, capsys):
    url = server.script(path, RESET)
    assert sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store)) is None
    lines = connection_lines(capsys.readouterr().out, parcel)
    assert len(lines) == 4
    assert all(line.startswith(f"{CONNECTION_LINE}{parcel} ") for line in lines)
    assert "Connection aborted" in lines[0] or "reset" in lines[0].lower()
    assert sleeps == [2, 2, 2, 2]
    [record] = failures(parcel)
    assert record["Retries"] == 4
    # The trace tells what went wrong in the last attempt.
    assert "requests.exceptions.ConnectionError" in record["Trace"]
    assert record["Trace"].startswith("Traceback (most recent call last):")


def test_timeouts_on_every_attempt(sc, server, path, parcel, store, failures, no_wait, capsys):
    url = server.script(path, Reply(delay=30, body=b"late"))
    assert sc.fetch_response(url=url, parcel_number=parcel, timeout=0.3, pagesave_path=str(store)) is None
    lines = connection_lines(capsys.readouterr().out, parcel)
    assert len(lines) == 4 and all("timed out" in line for line in lines)
    [record] = failures(parcel)
    assert record["Retries"] == 4 and "ReadTimeout" in record["Trace"]


def test_exhausted_direct_route_with_proxy_dict_records_once(
    sc, server, path, parcel, store, failures, no_wait, capsys
):
    url = server.script(path, RESET)
    proxy = {"http": server.url(""), "https": server.url("")}
    sc.request_engine.calls.clear()
    assert sc.fetch_response(url=url, parcel_number=parcel, proxy=proxy, pagesave_path=str(store)) is None
    assert len(connection_lines(capsys.readouterr().out, parcel)) == 4
    assert sc.request_engine.calls == []
    [record] = failures(parcel)
    assert record["Retries"] == 4
    # The requests went through the proxy: absolute targets reached the server.
    assert all(hit.path.startswith("http://") for hit in server.hits(path))


def test_proxy_dict_reaches_requests(sc, server, path, parcel, store, no_wait):
    url = server.script(path, Reply.html(PAGE))
    proxy = {"http": server.url(""), "https": server.url("")}
    response, retries = sc.fetch_response(url=url, parcel_number=parcel, proxy=proxy, pagesave_path=str(store))
    assert (response.text, retries) == (PAGE, 1)
    assert server.hits(path)[0].path == url


def test_insert_errors_reach_the_caller(sc, server, path, parcel, store, no_wait, monkeypatch):
    dead = pymongo.MongoClient("mongodb://127.0.0.1:9/", serverSelectionTimeoutMS=200)
    monkeypatch.setattr(sc, "log", dead["nexra_test"]["failures_collection"])
    url = server.script(path, Reply.html(PAGE, status=500))
    with pytest.raises(pymongo.errors.ServerSelectionTimeoutError):
        sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    dead.close()


# --- direct route: request arguments and sessions ----------------------------------------


class RecordingRequests(types.SimpleNamespace):
    """`requests` as the module sees it, keeping the keyword arguments of each
    call (in order) before sending for real."""

    def __init__(self):
        super().__init__(exceptions=requests.exceptions, sent=[])

    def request(self, **kwargs):
        self.sent.append(list(kwargs.items()))
        return requests.request(**kwargs)

    def Session(self):  # noqa: N802 - the name the module calls
        outer = self

        class Session(requests.Session):
            def request(self, **kwargs):
                outer.sent.append(["session"] + list(kwargs.items()))
                return super().request(**kwargs)

        return Session()


@pytest.mark.parametrize(
    "kwargs, expected_keys",
    [
        ({}, ["method", "url"]),
        (
            {
                "headers": {},
                "data": "",
                "params": {},
                "cookies": {},
                "verify": None,
                "timeout": None,
                "allow_redirects": None,
            },
            ["method", "url"],
        ),
        (
            {
                "allow_redirects": True,
                "timeout": 5,
                "verify": False,
                "cookies": {"c": "v"},
                "params": {"q": "1"},
                "data": "a=1",
                "headers": {"X-Test": "yes"},
            },
            ["method", "url", "headers", "data", "params", "cookies", "verify", "timeout", "allow_redirects"],
        ),
        ({"verify": 0, "allow_redirects": False}, ["method", "url", "verify", "allow_redirects"]),
        ({"feedid": "F1", "proxy_region": "us"}, ["method", "url"]),
    ],
)
def test_request_arguments(sc, server, path, parcel, store, no_wait, monkeypatch, kwargs, expected_keys):
    recorder = RecordingRequests()
    monkeypatch.setattr(sc, "requests", recorder)
    url = server.script(path, Reply.html(PAGE))
    response, retries = sc.fetch_response("POST", url, parcel_number=parcel, pagesave_path=str(store), **kwargs)
    assert retries == 1
    [sent] = recorder.sent
    assert [k for k, _ in sent] == expected_keys
    values = dict(sent)
    assert values["method"] == "POST" and values["url"] == url
    for key in expected_keys[2:]:
        assert values[key] is kwargs[key]
    hit = server.hits(path)[0]
    assert hit.method == "POST"
    if "headers" in values:
        assert hit.headers["X-Test"] == "yes"
        assert hit.body == b"a=1" and hit.path.endswith("?q=1")
        assert hit.headers["Cookie"] == "c=v"


def test_session_true_sends_through_a_new_session(sc, server, path, parcel, store, no_wait, monkeypatch):
    recorder = RecordingRequests()
    monkeypatch.setattr(sc, "requests", recorder)
    url = server.script(path, Reply.html(PAGE, status=500), Reply.html(PAGE))
    response, retries = sc.fetch_response(url=url, parcel_number=parcel, session=True, pagesave_path=str(store))
    assert (response.text, retries) == (PAGE, 3)
    assert [s[0] for s in recorder.sent] == ["session", "session"]


@pytest.mark.parametrize("session", [False, 1, "yes", 0])
def test_other_session_values_fail_before_sending(sc, server, path, parcel, store, failures, no_wait, session):
    url = server.script(path, Reply.html(PAGE))
    with pytest.raises(UnboundLocalError) as info:
        sc.fetch_response(url=url, parcel_number=parcel, session=session, pagesave_path=str(store))
    # The same text on every interpreter version, whatever its own wording.
    assert str(info.value) == "local variable 'r' referenced before assignment"
    assert server.hits(path) == [] and failures(parcel) == []


# --- engine route ---------------------------------------------------------------------------


@pytest.mark.parametrize("proxy", ["http://proxy.invalid:3128", {"http": "http://p:1"}, ["x"]])
def test_engine_route_arguments(sc, server, path, parcel, store, no_wait, proxy):
    url = server.script(path, Reply.html(PAGE))
    response, retries = sc.fetch_response(
        "PUT",
        url,
        {"H": "1"},
        "body",
        {"q": "ignored"},
        {"c": "1"},
        proxy,
        "FEED9",
        parcel,
        "eu",
        False,
        None,
        0.001,
        str(store),
        False,
    )
    assert (response.text, response.url, retries) == (PAGE, url, 1)
    [call] = sc.request_engine.calls
    assert list(call.items()) == [
        ("url", url),
        ("headers", {"H": "1"}),
        ("request_type", "PUT"),
        ("proxy", proxy),
        ("payload", "body"),
        ("proxy_region", "eu"),
        ("projectid", "3421"),
        ("feedid", "FEED9"),
        ("cookies", {"c": "1"}),
    ]
    assert call["proxy"] is proxy
    hit = server.hits(path)[0]
    assert hit.method == "PUT" and "?" not in hit.path


def test_engine_defaults_are_passed_as_none(sc, server, path, parcel, store, no_wait):
    url = server.script(path, Reply.html(PAGE))
    sc.fetch_response(url=url, parcel_number=parcel, proxy="p", pagesave_path=str(store))
    assert sc.request_engine.calls == [
        {
            "url": url,
            "headers": None,
            "request_type": "GET",
            "proxy": "p",
            "payload": None,
            "proxy_region": None,
            "projectid": "3421",
            "feedid": "",
            "cookies": None,
        }
    ]


@pytest.mark.parametrize(
    "reply, expected_retries, waits",
    [
        (RESET, None, 4),
        (Reply.html(PAGE, status=500), 4, 2),
    ],
)
def test_engine_gives_up(sc, server, path, parcel, store, failures, sleeps, capsys, reply, expected_retries, waits):
    url = server.script(path, reply)
    result = sc.fetch_response(url=url, parcel_number=parcel, proxy="p", pagesave_path=str(store))
    [record] = failures(parcel)
    assert len(sleeps) == waits
    if expected_retries is None:
        assert result is None
        assert record["Retries"] == 4 and "ConnectionError" in record["Trace"]
        assert len(connection_lines(capsys.readouterr().out, parcel)) == 4
    else:
        response, retries = result
        assert (response.status_code, retries) == (500, 4)
        assert record["Retries"] == 4 and record["Trace"] == "NoneType: None\n"


def test_engine_timeouts(sc, server, path, parcel, store, failures, no_wait, monkeypatch, capsys):
    monkeypatch.setattr(sc.request_engine, "timeout", 0.3)
    url = server.script(path, Reply(delay=30, body=b"late"))
    assert sc.fetch_response(url=url, parcel_number=parcel, proxy="p", pagesave_path=str(store)) is None
    assert len(connection_lines(capsys.readouterr().out, parcel)) == 4
    assert failures(parcel)[0]["Retries"] == 4


def test_engine_looked_up_at_every_attempt(sc, server, path, parcel, store, no_wait, monkeypatch):
    real = sc.request_engine
    used = []

    def first(**kwargs):
        used.append("first")
        engine.make_qvd_request = second
        return real.make_qvd_request(**kwargs)

    def second(**kwargs):
        used.append("second")
        return real.make_qvd_request(**kwargs)

    engine = types.SimpleNamespace(make_qvd_request=first)
    monkeypatch.setattr(sc, "request_engine", engine)
    url = server.script(path, Reply.html(PAGE, status=500), Reply.html(PAGE))
    response, retries = sc.fetch_response(url=url, parcel_number=parcel, proxy="p", pagesave_path=str(store))
    assert (response.text, retries) == (PAGE, 3) and used == ["first", "second"]


def test_missing_engine_is_a_name_error(sc, server, path, parcel, store, failures, no_wait, monkeypatch):
    monkeypatch.delattr(sc, "request_engine")
    url = server.script(path, Reply.html(PAGE))
    with pytest.raises(NameError, match="name 'request_engine' is not defined"):
        sc.fetch_response(url=url, parcel_number=parcel, proxy="p", pagesave_path=str(store))
    assert failures(parcel) == []


def test_engine_errors_other_than_transport_reach_the_caller(sc, parcel, store, failures, no_wait, monkeypatch):
    def broken(**kwargs):
        raise KeyError("engine bug")

    monkeypatch.setattr(sc, "request_engine", types.SimpleNamespace(make_qvd_request=broken))
    with pytest.raises(KeyError, match="engine bug"):
        sc.fetch_response(url="http://x.invalid/", parcel_number=parcel, proxy="p", pagesave_path=str(store))
    assert failures(parcel) == []


# --- saving ------------------------------------------------------------------------------------


def test_errors_after_saving_reach_the_caller(sc, server, path, parcel, store, failures, no_wait, monkeypatch):
    def broken(**kwargs):
        raise RuntimeError("no response object")

    monkeypatch.setattr(sc, "HtmlResponse", broken)
    url = server.script(path, Reply.html(PAGE))
    with pytest.raises(RuntimeError, match="no response object"):
        sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert (store / f"{parcel}.html").read_text(encoding="utf-8") == PAGE
    assert failures(parcel) == []


@pytest.mark.parametrize("route", [None, "p"])
def test_save_errors_are_returned(sc, server, path, parcel, tmp_path, failures, no_wait, route):
    not_a_dir = tmp_path / "plain-file"
    not_a_dir.write_text("")
    url = server.script(path, Reply.html(PAGE))
    error, retries = sc.fetch_response(url=url, parcel_number=parcel, proxy=route, pagesave_path=str(not_a_dir))
    assert isinstance(error, NotADirectoryError) and retries == 1
    assert failures(parcel) == []


class FailingFile:
    """A text file that writes half of what it is given, then fails (a full disk)."""

    def __init__(self, real):
        self.real = real

    def write(self, text):
        self.real.write(text[: len(text) // 2])
        self.real.flush()
        raise OSError(28, "No space left on device")

    def close(self):
        self.real.close()


@pytest.mark.parametrize("kind", ["html", "json"])
def test_interrupted_save_leaves_no_page(sc, server, path, parcel, store, no_wait, monkeypatch, kind):
    store.mkdir(parents=True)
    reply = Reply.html(PAGE) if kind == "html" else Reply.json({"rows": [PAGE] * 3})
    url = server.script(path, reply)
    monkeypatch.setattr(sc, "open", lambda *a, **k: FailingFile(open(*a, **k)), raising=False)
    error, retries = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert isinstance(error, OSError) and error.errno == 28 and retries == 1
    assert store_files(store) == []

    # Nothing truncated is served later: the page is fetched again, whole.
    monkeypatch.delattr(sc, "open")
    response, retries = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert retries == 1
    assert store_files(store) == [f"{parcel}.{kind}"]
    saved = (store / f"{parcel}.{kind}").read_text(encoding="utf-8")
    if kind == "json":
        assert json.loads(saved) == {"rows": [PAGE] * 3}
    else:
        assert saved == PAGE


def test_json_method_errors_are_returned(sc, parcel, store, failures, no_wait, monkeypatch):
    class Answer:
        status_code = 200
        url = "http://x.invalid/"
        text = "{}"

        def json(self):
            raise LookupError("broken decoder")

    monkeypatch.setattr(sc, "request_engine", types.SimpleNamespace(make_qvd_request=lambda **kw: Answer()))
    error, retries = sc.fetch_response(
        url="http://x.invalid/", parcel_number=parcel, proxy="p", pagesave_path=str(store)
    )
    assert isinstance(error, LookupError) and retries == 1
    assert store_files(store) == []


# --- module constants --------------------------------------------------------------------------


@pytest.mark.parametrize("max_retries, hits, retries", [(0, 1, 2), (1, 1, 2), (2, 2, 4), (5, 3, 6)])
def test_max_retries_read_at_each_use(
    sc, server, path, parcel, store, failures, no_wait, monkeypatch, max_retries, hits, retries
):
    monkeypatch.setattr(sc, "MAX_RETRIES", max_retries)
    url = server.script(path, Reply.html(PAGE, status=500))
    response, got = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert (len(server.hits(path)), got) == (hits, retries)
    assert failures(parcel)[0]["Retries"] == retries


@pytest.mark.parametrize("proxy", [None, "p", {"http": "h", "https": "s"}])
def test_route_without_attempts_records_nothing(sc, server, path, parcel, store, failures, no_wait, monkeypatch, proxy):
    monkeypatch.setattr(sc, "MAX_RETRIES", -1)
    url = server.script(path, Reply.html(PAGE))
    assert sc.fetch_response(url=url, parcel_number=parcel, proxy=proxy, pagesave_path=str(store)) is None
    assert server.hits(path) == [] and failures(parcel) == []


def test_retry_delay_read_at_each_wait(sc, server, path, parcel, store, monkeypatch):
    delays = []

    def sleep(seconds):
        delays.append(seconds)
        sc.RETRY_DELAY = 0.001 * len(delays)

    monkeypatch.setattr(sc, "RETRY_DELAY", 2)
    monkeypatch.setattr(sc, "time", types.SimpleNamespace(sleep=sleep))
    url = server.script(path, RESET)
    sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
    assert delays == [2, 0.001, 0.002, 0.003]


# --- concurrency and leaks ---------------------------------------------------------------------


def test_many_threads_fetch_one_new_parcel(sc, server, path, parcel, store, no_wait):
    page = PAGE * 40  # a few hundred kilobytes
    url = server.script(path, Reply.html(page))
    barrier = threading.Barrier(8)
    results, errors = [None] * 8, []

    def worker(i):
        try:
            barrier.wait()
            results[i] = sc.fetch_response(url=url, parcel_number=parcel, pagesave_path=str(store))
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    for response, retries in results:
        assert isinstance(response, HtmlResponse) and response.text == page
        assert retries in (0, 1)
    assert store_files(store) == [f"{parcel}.html"]
    assert (store / f"{parcel}.html").read_text(encoding="utf-8") == page


def test_store_served_calls_do_not_leak(sc, store):
    store.mkdir(parents=True)
    (store / "LEAK1.json").write_text(json.dumps({"k": "v" * 500}))
    url = "http://example.invalid/leak"
    growth = rss_growth(
        lambda: sc.fetch_response(url=url, parcel_number="LEAK1", pagesave_path=str(store)), rounds=4, calls=2000
    )
    assert growth < 1_000_000


def test_fetching_keeps_no_references(sc, server, path, store, no_wait):
    """Calls through both routes, giving up each time (nothing is saved), leave
    the reference counts of their arguments as they were."""
    failing = server.script(path, Reply.html(PAGE, status=500))
    resetting = server.script(path + "/reset", RESET)
    parcel_number = "REF" + path[1:9].upper()
    pagesave = str(store)
    proxies = [{"http": server.url(""), "https": server.url("")}, "engine-proxy"]
    objects = [failing, resetting, parcel_number, pagesave] + proxies

    def run():
        for proxy in proxies:
            for url in (failing, resetting):
                sc.fetch_response(url=url, parcel_number=parcel_number, pagesave_path=pagesave, proxy=proxy)
        sc.request_engine.calls.clear()  # the test engine's own log of its arguments

    run()
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(3):
        run()
    gc.collect()
    assert [sys.getrefcount(o) for o in objects] == before


class Unjudgeable:
    """A status that is never 200 and has no truth value."""

    def __eq__(self, other):
        return False

    def __bool__(self):
        raise RuntimeError("no truth value")


@pytest.mark.parametrize("status, expected", [(0, (None, 4)), (Unjudgeable(), None)])
def test_engine_result_after_last_attempt(sc, parcel, store, failures, no_wait, monkeypatch, status, expected):
    answer = types.SimpleNamespace(status_code=status)
    monkeypatch.setattr(sc, "request_engine", types.SimpleNamespace(make_qvd_request=lambda **kw: answer))
    assert (
        sc.fetch_response(url="http://x.invalid/", parcel_number=parcel, proxy="p", pagesave_path=str(store))
        == expected
    )
    assert failures(parcel)[0]["Retries"] == 4


def test_direct_route_without_usable_answer_goes_on_to_the_engine(sc, parcel, store, failures, no_wait, monkeypatch):
    answer = types.SimpleNamespace(status_code=Unjudgeable())
    stand_in = types.SimpleNamespace(exceptions=requests.exceptions, request=lambda **kw: answer)
    monkeypatch.setattr(sc, "requests", stand_in)
    # The direct route gives up with an answer it cannot judge: no response,
    # and the engine route, its attempts already used up, sends nothing.
    assert (
        sc.fetch_response(
            url="http://x.invalid/", parcel_number=parcel, proxy={"http": "h", "https": "s"}, pagesave_path=str(store)
        )
        is None
    )
    assert sc.request_engine.calls == []
    assert [r["Retries"] for r in failures(parcel)] == [4]
