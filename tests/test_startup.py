"""Start-up of Nexra_publish.Scrape_common, each scenario in a fresh interpreter
with its own settings module and working directory."""

from __future__ import annotations

import json

import pytest

from support import run_python, write_job

SUCCESS = "\u2705 MongoDB connection successful"

LIBRARY_GLOBALS = [
    "Any",
    "os",
    "traceback",
    "MongoClient",
    "DuplicateKeyError",
    "json",
    "re",
    "datetime",
    "HtmlResponse",
    "ThreadPoolExecutor",
    "requests",
    "hashlib",
    "time",
    "unicodedata",
    "pymongo",
    "pd",
    "PyMongoError",
    "Workbook",
    "csv",
    "html",
    "math",
    "sys",
]
DATABASE_GLOBALS = ["mongo_client", "db", "col_input", "col_input_pdp", "log"]
PUBLIC_FUNCTIONS = [
    "clean_data",
    "doc_hash",
    "is_valid_page_save",
    "InsertItem",
    "fetch_response",
    "update_input",
    "update_input_many",
    "update_pl_input",
    "update_pl_input_many",
    "get_input",
    "pl_input",
    "export_mongo_to_csv",
    "export_mongo_to_excel",
]

REPORT = """
import json, sys
try:
    import Nexra_publish.Scrape_common as sc
except BaseException as e:
    print("RESULT", json.dumps({"error": type(e).__name__, "text": str(e)}))
    sys.exit(0)
g = vars(sc)
print("RESULT", json.dumps({
    "names": [k for k in g if not k.startswith("__")],
    "engine_in_path": sc.__dict__.get("vantelo_path") in sys.path,
    "extra": EXTRA,
}))
"""


def start(tmp_path, settings, extra="None", source=None, env=None):
    write_job(tmp_path, settings, config_source=source)
    proc = run_python(REPORT.replace("EXTRA", extra), tmp_path, env=env)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    return lines[:-1], json.loads(lines[-1].split(" ", 1)[1])


@pytest.fixture
def settings(mongo_uri, tmp_path):
    engine = tmp_path / "engine"
    engine.mkdir()
    (engine / "request_engine.py").write_text("def make_qvd_request(**kw):\n    return kw\n")
    return {
        "connection_string": mongo_uri,
        "data_base": "startup_db",
        "input_table": "in_a",
        "pl_input_table": "in_b",
        "vantelo_path": str(engine),
        "pagesave_path": str(tmp_path / "pages"),
    }


def test_full_start_binds_every_global_in_order(tmp_path, settings):
    out, r = start(
        tmp_path,
        settings,
        extra="""{
        "db": sc.db.name, "cols": [sc.col_input.name, sc.col_input_pdp.name, sc.log.name],
        "constants": [sc.MAX_RETRIES, sc.RETRY_DELAY],
        "modules": [sc.os is sys.modules["os"], sc.pd is sys.modules["pandas"],
                    sc.datetime is sys.modules["datetime"].datetime,
                    sc.HtmlResponse is sys.modules["scrapy.http"].HtmlResponse,
                    sc.get_config is sys.modules["Nexra_publish.configuration"].get_config],
        "engine": sc.request_engine.__file__, "path0": sys.path[0],
        "ping": sc.mongo_client.admin.command("ping")["ok"],
    }""",
    )
    assert out == [SUCCESS]
    names = r["names"]
    assert names[: len(LIBRARY_GLOBALS)] == LIBRARY_GLOBALS
    settings_at = names.index("connection_string")
    assert names.index("get_config") > settings_at
    assert names.index("request_engine") < names.index("mongo_client")
    assert [n for n in names if n in DATABASE_GLOBALS] == DATABASE_GLOBALS
    defined = [n for n in names if n in PUBLIC_FUNCTIONS + ["MAX_RETRIES", "RETRY_DELAY"]]
    expected = PUBLIC_FUNCTIONS[:4] + ["MAX_RETRIES", "RETRY_DELAY"] + PUBLIC_FUNCTIONS[4:]
    assert defined == [n for n in expected if n in defined]
    assert names.index("log") < names.index("MAX_RETRIES")
    x = r["extra"]
    assert x["db"] == "startup_db"
    assert x["cols"] == ["in_a", "in_b", "failures_collection"]
    assert x["constants"] == [3, 2]
    assert all(x["modules"])
    assert x["engine"].startswith(settings["vantelo_path"]) and x["path0"] == settings["vantelo_path"]
    assert x["ping"] == 1.0


def test_server_down_still_prints_success(tmp_path, settings):
    settings["connection_string"] = "mongodb://127.0.0.1:9/?serverSelectionTimeoutMS=200"
    write_job(tmp_path, settings)
    proc = run_python(
        """
        import Nexra_publish.Scrape_common as sc
        try:
            sc.col_input.find_one()
        except sc.PyMongoError as e:
            print("failed later:", type(e).__name__)
    """,
        tmp_path,
    )
    assert proc.stdout.splitlines() == [SUCCESS, "failed later: ServerSelectionTimeoutError"]


@pytest.mark.parametrize(
    "missing, bound",
    [
        ("connection_string", []),
        ("data_base", ["mongo_client"]),
        ("input_table", ["mongo_client", "db"]),
        ("pl_input_table", ["mongo_client", "db", "col_input"]),
    ],
)
def test_missing_database_setting_prints_name_error(tmp_path, settings, missing, bound):
    del settings[missing]
    out, r = start(tmp_path, settings)
    assert out == [f"name '{missing}' is not defined"]
    assert [n for n in r["names"] if n in DATABASE_GLOBALS] == bound
    assert "MAX_RETRIES" in r["names"]


def test_malformed_uri_prints_driver_text(tmp_path, settings):
    settings["connection_string"] = "notmongo://x"
    out, r = start(tmp_path, settings)
    assert len(out) == 1 and "mongodb://" in out[0] and out[0] != SUCCESS
    assert not set(DATABASE_GLOBALS) & set(r["names"])


@pytest.mark.parametrize("case", ["missing", "no_engine_module", "not_a_path", "engine_raises"])
def test_request_engine_failures_are_silent(tmp_path, settings, case):
    if case == "missing":
        del settings["vantelo_path"]
    elif case == "no_engine_module":
        (tmp_path / "engine" / "request_engine.py").unlink()
    elif case == "not_a_path":
        settings["vantelo_path"] = 42
    else:
        (tmp_path / "engine" / "request_engine.py").write_text("raise KeyError('boom')\n")
    out, r = start(tmp_path, settings)
    assert out == [SUCCESS]
    assert "request_engine" not in r["names"]
    # The search-path entry stays once inserted, also when the import failed.
    assert r["engine_in_path"] == (case != "missing")


def test_missing_pagesave_path_fails_the_import(tmp_path, settings):
    del settings["pagesave_path"]
    out, r = start(tmp_path, settings)
    assert out == [SUCCESS]
    assert r == {"error": "NameError", "text": "name 'pagesave_path' is not defined"}


def test_setting_shadows_an_imported_name_and_private_names_stay_behind(tmp_path, settings):
    settings.update({"time": "a setting", "_hidden": 1, "failures": "other"})
    out, r = start(
        tmp_path,
        settings,
        extra="""[sc.time, sc.log.name,
        sys.modules["Nexra_publish.configuration"]._hidden]""",
    )
    assert out == [SUCCESS]
    assert r["extra"] == ["a setting", "failures_collection", 1]
    assert "_hidden" not in r["names"]
    assert {"config", "CONFIG_FILE", "key", "get_config", "os", "json", "importlib"} <= set(r["names"])


def test_import_outside_the_package_fails(tmp_path, settings):
    write_job(tmp_path, settings)
    proc = run_python(
        """
        import importlib.machinery, importlib.util, sys
        spec = importlib.util.find_spec("Nexra_publish")
        import os
        path = [os.path.join(p, f) for p in spec.submodule_search_locations
                for f in os.listdir(p) if f.startswith("Scrape_common")
                and f.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))][0]
        loader = importlib.machinery.ExtensionFileLoader("Scrape_common", path)
        spec = importlib.util.spec_from_loader("Scrape_common", loader)
        try:
            module = importlib.util.module_from_spec(spec)
            loader.exec_module(module)
        except ImportError as e:
            print("ImportError", e)
    """,
        tmp_path,
    )
    assert proc.stdout.splitlines() == ["ImportError attempted relative import with no known parent package"], (
        proc.stderr
    )


@pytest.mark.parametrize(
    "module, name",
    [
        ("Nexra_publish.configuration", "configuration"),
        ("Nexra_publish.Scrape_common", "Scrape_common"),
    ],
)
def test_second_execution_and_second_interpreter_are_refused(tmp_path, settings, module, name):
    write_job(tmp_path, settings)
    proc = run_python(
        f"""
        import importlib, importlib.util, sys
        import {module} as first
        importlib.reload(first)          # the same module object: nothing happens
        spec = importlib.util.find_spec("{module}")
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        except RuntimeError as e:
            print("RuntimeError", e)
        del sys.modules["{module}"]
        try:
            import {module}
        except RuntimeError as e:
            print("RuntimeError", e)
        import _testcapi
        code = "try:\\n    import {module}\\nexcept ImportError as e:\\n    print('ImportError', e, flush=True)\\n"
        sys.stdout.flush()
        _testcapi.run_in_subinterp(code)
    """,
        tmp_path,
    )
    lines = [line for line in proc.stdout.splitlines() if line != SUCCESS]
    reinit = f"RuntimeError Module '{name}' has already been imported. Re-initialisation is not supported."
    assert lines == [
        reinit,
        reinit,
        "ImportError Interpreter change detected - this module can only be loaded into one interpreter per process.",
    ], proc.stderr
