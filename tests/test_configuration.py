"""Settings loading of Nexra_publish.configuration, each scenario in a fresh
interpreter with its own config.py, config.json and working directory."""

from __future__ import annotations

import json

import pytest

from support import run_python, write_job

WARN = "\u26a0\ufe0f Could not load "

# Prints one JSON line describing the loaded module after the import's own output.
REPORT = """
import json, sys
try:
    import Nexra_publish.configuration as c
except BaseException as e:
    print("RESULT", json.dumps({"error": type(e).__name__, "text": str(e)}))
    sys.exit(0)
g = vars(c)
def enc(v):
    try:
        json.dumps(v); return v
    except TypeError:
        return repr(v)
print("RESULT", json.dumps({
    "globals": {k: enc(v) for k, v in g.items() if not k.startswith("__") and k not in
                ("os", "json", "importlib", "config", "f", "get_config")},
    "config_attrs": {k: enc(getattr(c.config, k)) for k in dir(c.config) if not k.startswith("__")},
    "dunder_on_config": {k: enc(getattr(c.config, k)) for k in dir(c.config)
                          if k.startswith("__") and k.endswith("x")},
    "has": sorted(k for k in ("f", "json_config", "value") if k in g),
    "f_closed": g["f"].closed if "f" in g else None,
    "modules": [g[m] is sys.modules[m] for m in ("os", "json", "importlib")],
    "config_is_module": c.config is sys.modules["config"],
}))
"""


def load(tmp_path, settings=None, config_json=None, env=None, source=None):
    write_job(tmp_path, settings, config_source=source, config_json=config_json)
    proc = run_python(REPORT, tmp_path, env=env)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    result = json.loads(lines[-1].split(" ", 1)[1])
    return lines[:-1], result


def test_json_overlay_wins_and_everything_is_copied(tmp_path):
    out, r = load(
        tmp_path,
        {"connection_string": "from-module", "data_base": "db", "_one": 1},
        config_json='{"connection_string": "from-json", "extra": [1, 2], "__x": 5}',
    )
    assert out == []
    g = r["globals"]
    assert g["connection_string"] == "from-json"
    assert r["config_attrs"]["connection_string"] == "from-json"
    assert g["extra"] == [1, 2] and g["data_base"] == "db"
    assert g["_one"] == 1  # one underscore: copied
    assert "__x" not in g and r["dunder_on_config"] == {"__x": 5}
    assert g["CONFIG_FILE"] == "config.json"
    assert g["json_config"] == {"connection_string": "from-json", "extra": [1, 2], "__x": 5}
    assert g["value"] == 5  # the last JSON entry
    assert g["key"] == sorted(r["config_attrs"])[-1]  # the last name of dir(config)
    assert r["f_closed"] is True
    assert r["modules"] == [True, True, True] and r["config_is_module"]


def test_empty_object_is_silent(tmp_path):
    out, r = load(tmp_path, {"a": 1}, config_json="{}")
    assert out == []
    assert r["globals"]["json_config"] == {} and "value" not in r["has"]


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"a": 2,}', "Illegal trailing comma before end of object: line 1 column 8 (char 7)"),
        ("[1, 2]", "'list' object has no attribute 'items'"),
        ('"text"', "'str' object has no attribute 'items'"),
        ("null", "'NoneType' object has no attribute 'items'"),
        ("", "Expecting value: line 1 column 1 (char 0)"),
    ],
)
def test_bad_json_warns_once_and_loading_goes_on(tmp_path, text, message):
    if "trailing comma" in message:
        # The decoder's wording differs between interpreter versions.
        try:
            json.loads(text)
        except ValueError as e:
            message = str(e)
    out, r = load(tmp_path, {"a": 1}, config_json=text)
    assert out == [WARN + "config.json: " + message]
    assert r["globals"]["a"] == 1
    parsed = text.strip() not in ("", '{"a": 2,}')
    assert ("json_config" in r["has"]) == parsed
    if "f" in r["has"]:
        assert r["f_closed"] is True


# config.py swaps the module's `json` for one whose document yields `pair` from items().
SWAPPED_JSON = """
import itertools, sys
class Doc:
    def items(self):
        return [{pair}]
class Json:
    def load(self, f):
        return Doc()
sys.modules["Nexra_publish.configuration"].json = Json()
a = 1
"""


@pytest.mark.parametrize("pair", ["7", "(1, 2, 3)", "iter([1])", "[1, 2, 3]", "itertools.count()"])
def test_items_that_do_not_unpack_warn_as_unpacking_does(tmp_path, pair):
    import itertools  # noqa: F401  (for eval)

    try:
        k, v = eval(pair)
    except (TypeError, ValueError) as e:
        message = str(e)
    out, r = load(tmp_path, config_json="{}", source=SWAPPED_JSON.format(pair=pair))
    assert out == [WARN + "config.json: " + message]
    assert r["globals"]["a"] == 1


def test_unreadable_file_warns(tmp_path):
    (tmp_path / "config.json").mkdir()
    out, r = load(tmp_path, {"a": 1})
    assert len(out) == 1 and out[0].startswith(WARN + "config.json: [Errno 21] Is a directory")
    assert "f" not in r["has"] and r["globals"]["a"] == 1


@pytest.mark.parametrize("where", ["absolute", "relative", "missing"])
def test_nexra_config_names_the_file(tmp_path, where):
    other = tmp_path / "elsewhere"
    other.mkdir()
    (other / "job.json").write_text('{"a": "json"}')
    (tmp_path / "config.json").write_text('{"a": "default file"}')
    path = {"absolute": str(other / "job.json"), "relative": "elsewhere/job.json", "missing": str(other / "nope.json")}[
        where
    ]
    out, r = load(tmp_path, {"a": "module"}, env={"NEXRA_CONFIG": path})
    assert out == []
    assert r["globals"]["CONFIG_FILE"] == path
    assert r["globals"]["a"] == ("module" if where == "missing" else "json")


def test_no_config_file_is_silent(tmp_path):
    out, r = load(tmp_path, {"a": 1})
    assert out == [] and "f" not in r["has"] and "json_config" not in r["has"]


def test_missing_config_module_fails_the_import(tmp_path):
    proc = run_python(REPORT, tmp_path)
    result = json.loads(proc.stdout.splitlines()[-1].split(" ", 1)[1])
    assert result == {"error": "ModuleNotFoundError", "text": "No module named 'config'"}


def test_setting_named_get_config_is_replaced_by_the_function(tmp_path):
    write_job(tmp_path, {"get_config": 1, "x": 2})
    proc = run_python(
        """
        import Nexra_publish.configuration as c
        print(callable(c.get_config), c.get_config("x"), c.config.get_config)
    """,
        tmp_path,
    )
    assert proc.stdout == "True 2 1\n", proc.stderr


def test_get_config_is_a_dict_lookup_on_the_namespace(tmp_path):
    write_job(tmp_path, {"connection_string": "mongodb://h/"})
    proc = run_python(
        """
        import Nexra_publish.configuration as c
        g = c.get_config
        print(g("connection_string"), g("nope"), g("nope", 5), g(key="CONFIG_FILE"),
              g("__name__"), g("get_config") is g, g(default=7, key="x"))
        c.late = "rebound"
        print(g("late"))
        for lookup in (g, vars(c).get):  # the error text is the dict's, of each version
            try:
                lookup([])
            except TypeError as e:
                print("TypeError", e)
    """,
        tmp_path,
    )
    lines = proc.stdout.splitlines()
    assert lines[:3] == [
        "mongodb://h/ None 5 config.json Nexra_publish.configuration True 7",
        "rebound",
        lines[3],
    ], proc.stderr
    assert "unhashable type: 'list'" in lines[3]


def test_settings_are_fixed_at_import(tmp_path):
    write_job(tmp_path, {"a": 1}, config_json='{"a": 2}')
    proc = run_python(
        """
        import os, importlib, sys
        import Nexra_publish.configuration as c
        open("config.json", "w").write('{"a": 3}')
        os.environ["NEXRA_CONFIG"] = "other.json"
        importlib.import_module("Nexra_publish.configuration")
        print(c.a, c.get_config("a"), c.CONFIG_FILE)
    """,
        tmp_path,
    )
    assert proc.stdout == "2 2 config.json\n", proc.stderr
