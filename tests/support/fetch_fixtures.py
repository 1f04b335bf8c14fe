"""Fixtures shared by the fetch tests: the loopback HTTP server, a fresh page
store, a unique parcel number, and readers for the failure records."""

from __future__ import annotations

import uuid

import pytest

from support.http_server import LoopbackServer


@pytest.fixture(scope="module")
def server():
    s = LoopbackServer().start()
    yield s
    s.stop()


@pytest.fixture
def no_wait(sc, monkeypatch):
    """Retries without the real delay; the engine's call log starts empty."""
    monkeypatch.setattr(sc, "RETRY_DELAY", 0)
    sc.request_engine.calls.clear()
    monkeypatch.setattr(sc.request_engine, "timeout", 10)


@pytest.fixture
def store(tmp_path):
    """A page-save directory that does not exist yet."""
    return tmp_path / "pages" / "store"


@pytest.fixture
def parcel():
    return "P" + uuid.uuid4().hex[:12].upper()


@pytest.fixture
def path():
    """A server path of this test's own."""
    return "/" + uuid.uuid4().hex


@pytest.fixture
def failures(database):
    """failures(parcel_number) -> the failure records of that parcel, oldest first."""
    col = database["failures_collection"]

    def read(parcel_number):
        return list(col.find({"parcel_number": parcel_number}).sort("_id", 1))

    return read
