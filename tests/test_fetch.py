"""fetch_response: argument checks, the page-save store and the function's
defaults. The fetch routes are in test_fetch_routes.py."""

from __future__ import annotations

import os
import types

import pytest
from scrapy.http import HtmlResponse

from support import run_python, write_job
from support.fetch_fixtures import no_wait, parcel, path, server, store  # noqa: F401
from support.http_server import Reply

URL = "http://127.0.0.1:9/never-asked"  # nothing listens here


# --- argument checks ----------------------------------------------------------


@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({}, ("Please pass a parcel_number in request", None)),
        ({"parcel_number": "ABCDE"}, ("error: url not provided", None)),
        ({"parcel_number": "ABCD"}, ("error: url not provided", None)),
        ({"parcel_number": "ABCDE", "url": ""}, None),
        ({"parcel_number": "ABCDE", "url": 0}, None),
        ({"parcel_number": "ABC"}, ("parcel_number is wrong", None)),
        ({"parcel_number": "ABC", "url": URL}, ("parcel_number is wrong", None)),
        ({"parcel_number": "", "url": URL}, ("parcel_number is wrong", None)),
        ({"parcel_number": [], "url": URL}, ("parcel_number is wrong", None)),
        ({"parcel_number": ["a", "b", "c", "d"]}, ("error: url not provided", None)),
    ],
)
def test_rejected_arguments(sc, store, kwargs, expected):
    assert sc.fetch_response(pagesave_path=str(store), **kwargs) == expected
    assert not store.exists()


@pytest.mark.parametrize(
    "parcel_number",
    [
        "AB/1234",
        "ÄBCD",
        "ABCD\n",
        "AB\nCD",
        "ABC\t",
        "ABCD\r",
        "../../etc/passwd",
        "AB:CD",
    ],
)
def test_junk_characters(sc, store, parcel_number):
    result = sc.fetch_response(url=URL, parcel_number=parcel_number, pagesave_path=str(store))
    assert result == (f"[INVALID] parcel_number '{parcel_number}' contains junk characters.", "0")
    assert type(result[1]) is str
    assert not store.exists()


def test_junk_message_uses_str_of_parcel(sc, store):
    class Parcel:
        def __len__(self):
            return 8

        def __str__(self):
            return "AB/12345"

    result = sc.fetch_response(url=URL, parcel_number=Parcel(), pagesave_path=str(store))
    assert result == ("[INVALID] parcel_number 'AB/12345' contains junk characters.", "0")


@pytest.mark.parametrize("parcel_number", [42, 12345, 3.5, object()])
def test_parcel_without_length_raises(sc, store, parcel_number):
    with pytest.raises(TypeError, match="has no len"):
        sc.fetch_response(url=URL, parcel_number=parcel_number, pagesave_path=str(store))


def test_acceptance_evaluates_left_to_right(sc, store):
    seen = []

    class Probe:
        def __init__(self, name, truth, length=None):
            self.name, self.truth, self.length = name, truth, length

        def __bool__(self):
            seen.append(f"{self.name}.bool")
            return self.truth

        def __len__(self):
            seen.append(f"{self.name}.len")
            return self.length

    # A false parcel_number: no len in the test, one in the report.
    assert sc.fetch_response(url=Probe("url", True), parcel_number=Probe("p", False, 2), pagesave_path=str(store)) == (
        "parcel_number is wrong",
        None,
    )
    assert seen == ["p.bool", "p.len"]
    # Too short: url is never tested.
    seen.clear()
    assert sc.fetch_response(url=Probe("url", True), parcel_number=Probe("p", True, 3), pagesave_path=str(store)) == (
        "parcel_number is wrong",
        None,
    )
    assert seen == ["p.bool", "p.len", "p.len"]
    # Long enough, false url: the url's truth decides, the report takes len again.
    seen.clear()
    assert (
        sc.fetch_response(url=Probe("url", False), parcel_number=Probe("p", True, 4), pagesave_path=str(store)) is None
    )
    assert seen == ["p.bool", "p.len", "url.bool", "p.len"]


def test_store_directory_errors_are_returned(sc, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("x")
    result = sc.fetch_response(url=URL, parcel_number="ABCD", pagesave_path=None)
    assert isinstance(result[0], TypeError) and result[1] == "0"
    result = sc.fetch_response(url=URL, parcel_number="ABCD", pagesave_path=str(blocker / "sub"))
    assert isinstance(result[0], NotADirectoryError) and result[1] == "0"


def test_store_directory_created_with_parents(sc, store, server, path, no_wait):
    page = "<html>" + "x" * 200 + "</html>"
    url = server.script(path, Reply.html(page))
    response, retries = sc.fetch_response(url=url, parcel_number="A-1 2.b_C", pagesave_path=str(store))
    assert retries == 1 and response.text == page
    assert (store / "A-1 2.b_C.html").read_text() == page


def test_directory_created_by_someone_else_meanwhile(sc, store, monkeypatch):
    """The directory appears between the existence test and the creation."""
    real_os = os

    class RacingPath(types.ModuleType):
        def __getattr__(self, name):
            return getattr(real_os.path, name)

        @staticmethod
        def exists(p):
            answer = real_os.path.exists(p)
            if p == str(store):
                real_os.makedirs(p)  # the other process wins the race
            return answer

    racing_os = types.ModuleType("os")
    racing_os.__dict__.update(real_os.__dict__)
    racing_os.path = RacingPath("os.path")
    monkeypatch.setattr(sc, "os", racing_os)

    (store.parent).mkdir(parents=True)
    result = sc.fetch_response(url=URL, parcel_number="ABCD", pagesave_path=str(store), proxy={})
    assert result is None
    assert store.is_dir()


# --- serving saved pages ------------------------------------------------------


def test_html_before_json(sc, store, capsys):
    store.mkdir(parents=True)
    (store / "P1234.html").write_text("<p>saved html</p>", encoding="utf-8")
    (store / "P1234.json").write_text('{"saved": "json"}', encoding="utf-8")
    response, retries = sc.fetch_response(
        url="http://example.invalid/p", parcel_number="P1234", pagesave_path=str(store)
    )
    assert isinstance(response, HtmlResponse)
    assert response.text == "<p>saved html</p>"
    assert response.url == "http://example.invalid/p"
    assert retries == 0 and type(retries) is int
    assert capsys.readouterr().out == "Page Read HTML file for parcel_number 'P1234'.\n"

    (store / "P1234.html").unlink()
    response, retries = sc.fetch_response(
        url="http://example.invalid/q", parcel_number="P1234", pagesave_path=str(store)
    )
    assert response.text == '{"saved": "json"}' and retries == 0
    assert response.url == "http://example.invalid/q"
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "content, text",
    [
        (b"", ""),
        (b"<h1>404 Not Found</h1>", "<h1>404 Not Found</h1>"),
        (b"caf\xc3\xa9 \xff\xfe bad bytes", "café  bad bytes"),
        ("ÅB 漢字 \U0001f600".encode("utf-8"), "ÅB 漢字 \U0001f600"),
    ],
)
def test_saved_page_served_whatever_it_holds(sc, store, content, text):
    store.mkdir(parents=True)
    (store / "SAVED1.html").write_bytes(content)
    response, retries = sc.fetch_response(url=URL, parcel_number="SAVED1", pagesave_path=str(store))
    assert (response.text, retries) == (text, 0)


class FormatsOutside(str):
    """A parcel number whose f-string text leaves the store."""

    def __format__(self, spec):
        return "../outside"


def test_page_files_named_by_the_checked_text(sc, store, server, path, no_wait, capsys):
    parcel_number = FormatsOutside("CHECKED1")
    outside = store.parent / "outside.html"
    store.mkdir(parents=True)
    outside.write_text("not a page of the store")
    url = server.script(path, Reply.html("<p>fetched page</p>" * 10))
    response, retries = sc.fetch_response(url=url, parcel_number=parcel_number, pagesave_path=str(store))
    # Not served from outside the store: fetched, and saved under the checked text.
    assert (response.text, retries) == ("<p>fetched page</p>" * 10, 1)
    assert os.listdir(store) == ["CHECKED1.html"]
    assert outside.read_text() == "not a page of the store"
    again, retries = sc.fetch_response(url=url, parcel_number=parcel_number, pagesave_path=str(store))
    assert (again.text, retries) == (response.text, 0)
    # The printed line is the f-string text, as ever.
    assert capsys.readouterr().out == "Page Read HTML file for parcel_number '../outside'.\n"


@pytest.mark.parametrize("ext", [".html", ".json"])
def test_unreadable_saved_page(sc, store, ext):
    store.mkdir(parents=True)
    (store / f"DIR1{ext}").mkdir()
    result = sc.fetch_response(url=URL, parcel_number="DIR1", pagesave_path=str(store))
    assert result[0] is None and isinstance(result[1], IsADirectoryError)


def test_response_errors_of_saved_page_are_returned(sc, store, monkeypatch):
    store.mkdir(parents=True)
    (store / "RESP1.html").write_text("page")

    def broken(**kwargs):
        raise ValueError("cannot build")

    monkeypatch.setattr(sc, "HtmlResponse", broken)
    result = sc.fetch_response(url=URL, parcel_number="RESP1", pagesave_path=str(store))
    assert result[0] is None and str(result[1]) == "cannot build"


@pytest.mark.parametrize("proxy", [{}, "", 0, False, [], set()])
def test_false_proxy_sends_nothing(sc, store, proxy, no_wait, database):
    before = database["failures_collection"].count_documents({"parcel_number": "NOPROXY1"})
    assert sc.fetch_response(url=URL, parcel_number="NOPROXY1", proxy=proxy, pagesave_path=str(store)) is None
    assert sc.request_engine.calls == []
    assert database["failures_collection"].count_documents({"parcel_number": "NOPROXY1"}) == before
    assert store.is_dir()


# --- the function object ------------------------------------------------------


def test_defaults_and_signature(sc, job_dir, monkeypatch):
    import inspect

    f = sc.fetch_response
    defaults = (
        "GET",
        None,
        None,
        None,
        None,
        None,
        None,
        "",
        None,
        None,
        None,
        None,
        None,
        str(job_dir / "pages"),
        None,
    )
    assert f.__defaults__ == defaults
    assert f.__kwdefaults__ is None
    assert list(inspect.signature(f).parameters) == [
        "method",
        "url",
        "headers",
        "data",
        "params",
        "cookies",
        "proxy",
        "feedid",
        "parcel_number",
        "proxy_region",
        "verify",
        "session",
        "timeout",
        "pagesave_path",
        "allow_redirects",
    ]
    monkeypatch.setattr(sc, "pagesave_path", "/elsewhere")
    assert f.__defaults__ == defaults
    with pytest.raises(TypeError):
        f(*range(16))
    with pytest.raises(TypeError):
        f(proxies={})


def test_default_store_is_the_setting_at_import(sc, job_dir, monkeypatch):
    monkeypatch.setattr(sc, "pagesave_path", "/nonexistent/elsewhere")
    store = job_dir / "pages"
    store.mkdir(exist_ok=True)
    (store / "DEFAULT1.html").write_text("from the job's store")
    response, retries = sc.fetch_response(url=URL, parcel_number="DEFAULT1")
    assert response.text == "from the job's store" and retries == 0


def test_import_fails_without_pagesave_path(sc, tmp_path, mongo_uri):
    job = write_job(
        tmp_path / "job",
        {
            "connection_string": mongo_uri,
            "data_base": "nexra_test",
            "input_table": "input_items",
            "pl_input_table": "pl_input_items",
            "vantelo_path": str(tmp_path / "engine"),
        },
    )
    proc = run_python(
        """
        try:
            import Nexra_publish.Scrape_common
        except NameError as e:
            print("NameError:", e)
        else:
            print("imported")
    """,
        cwd=job,
        env={
            "NEXRA_CONFIG": str(job / "absent.json"),
            # The package as this session imported it, wherever the run started.
            "PYTHONPATH": os.pathsep.join([str(job), os.path.dirname(os.path.dirname(sc.__file__))]),
        },
    )
    assert "NameError: name 'pagesave_path' is not defined" in proc.stdout, proc.stderr
