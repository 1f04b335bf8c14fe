"""Fixtures on real components: the test database server, a job directory with
its settings module, and Scrape_common imported once for this process."""

from __future__ import annotations

import os
import shutil
import sys
import uuid
from pathlib import Path

import pymongo
import pytest

from support import ROOT, write_job

sys.path.insert(0, str(ROOT))
from devtools.testdb import TestDB  # noqa: E402


@pytest.fixture(scope="session")
def mongo_uri(tmp_path_factory):
    server = TestDB(tmp_path_factory.mktemp("testdb"))
    uri = server.start()
    yield uri
    server.stop()


@pytest.fixture(scope="session")
def job_dir(tmp_path_factory, mongo_uri) -> Path:
    """The settings of this process's job: database on the test server, the
    request engine of tests/support, the page-save store under the job."""
    d = tmp_path_factory.mktemp("job")
    (d / "engine").mkdir()
    shutil.copy(Path(__file__).parent / "support" / "request_engine.py", d / "engine")
    write_job(
        d,
        {
            "connection_string": mongo_uri,
            "data_base": "nexra_test",
            "input_table": "input_items",
            "pl_input_table": "pl_input_items",
            "vantelo_path": str(d / "engine"),
            "pagesave_path": str(d / "pages"),
        },
    )
    return d


@pytest.fixture(scope="session")
def sc(job_dir):
    """Nexra_publish.Scrape_common, started once for the whole session."""
    os.environ["NEXRA_CONFIG"] = str(job_dir / "absent-config.json")
    sys.path.insert(0, str(job_dir))
    import Nexra_publish.Scrape_common as module

    return module


@pytest.fixture(scope="session")
def client(mongo_uri):
    c = pymongo.MongoClient(mongo_uri)
    yield c
    c.close()


@pytest.fixture
def database(client, sc):
    """The job's database, seen through an independent client."""
    return client[sc.data_base]


@pytest.fixture
def collection_name():
    """A collection name of this test's own."""
    return "t_" + uuid.uuid4().hex[:12]
