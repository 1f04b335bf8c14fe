"""The type stubs installed with the package describe the modules as they are:
every public function with its exact parameters and defaults, every declared
global present with a value of the declared type, and a type checker that
reads them accepts a script using the API and rejects one misusing it."""

from __future__ import annotations

import ast
import builtins
import importlib
import inspect
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

NO_DEFAULT = "<no default>"
# A stub default of `...` stands for a value fixed at import: the setting of
# this name.
IMPORT_TIME_DEFAULTS = {("fetch_response", "pagesave_path"): "pagesave_path"}


@pytest.fixture(scope="module")
def modules(sc):
    return {
        "configuration": importlib.import_module("Nexra_publish.configuration"),
        "Scrape_common": sc,
        "workqueue": importlib.import_module("Nexra_publish.workqueue"),
        "durable": importlib.import_module("Nexra_publish.durable"),
    }


def parse_stub(module) -> ast.Module:
    """The stub of `module`, read from where the package is installed."""
    path = Path(module.__file__).parent / (module.__name__.rpartition(".")[2] + ".pyi")
    assert path.is_file(), f"{path} is not installed"
    return ast.parse(path.read_text(encoding="utf-8"), str(path))


# The modules whose stubs declare globals (durable has functions only).
DECLARE_GLOBALS = ("configuration", "Scrape_common", "workqueue")


@pytest.fixture(scope="module", params=[*DECLARE_GLOBALS, "durable"])
def stub(request, modules):
    """(real module, parsed stub) for each module."""
    module = modules[request.param]
    return module, parse_stub(module)


def public_functions(module):
    """The functions the module defines itself (not classes, not imports)."""
    return {
        name
        for name, value in vars(module).items()
        if callable(value) and not isinstance(value, type) and getattr(value, "__module__", None) == module.__name__
    }


def stub_functions(tree):
    return {
        node.name: node for node in tree.body if isinstance(node, ast.FunctionDef) and not node.name.startswith("__")
    }


def stub_parameters(node: ast.FunctionDef):
    a = node.args
    assert not (a.posonlyargs or a.vararg or a.kwarg), node.name
    defaults = [NO_DEFAULT] * (len(a.args) - len(a.defaults)) + [ast.literal_eval(d) for d in a.defaults]
    return [(arg.arg, "POSITIONAL_OR_KEYWORD", d) for arg, d in zip(a.args, defaults)] + [
        (arg.arg, "KEYWORD_ONLY", NO_DEFAULT if d is None else ast.literal_eval(d))
        for arg, d in zip(a.kwonlyargs, a.kw_defaults)
    ]


def real_parameters(fn, module):
    params = []
    for p in inspect.signature(fn).parameters.values():
        default = NO_DEFAULT if p.default is p.empty else p.default
        setting = IMPORT_TIME_DEFAULTS.get((fn.__name__, p.name))
        if setting is not None and default == module.get_config(setting):
            default = ...
        params.append((p.name, p.kind.name, default))
    return params


def test_every_public_function_has_a_stub_of_its_exact_signature(stub):
    module, tree = stub
    stubs = stub_functions(tree)
    assert set(stubs) == public_functions(module)
    for name, node in sorted(stubs.items()):
        expected = real_parameters(getattr(module, name), module)
        got = stub_parameters(node)
        # Compare defaults by type too: 0 must not stand for False or None.
        assert [(n, k, type(d), d) for n, k, d in got] == [(n, k, type(d), d) for n, k, d in expected], name


def runtime_class(annotation: ast.expr, namespace: dict):
    """The class an annotation's value must be an instance of, or None when the
    annotation does not name one (Any)."""
    if isinstance(annotation, ast.Subscript):
        annotation = annotation.value
    assert isinstance(annotation, ast.Name), ast.dump(annotation)
    value = namespace[annotation.id]
    return value if isinstance(value, type) else None


def stub_namespace(tree) -> dict:
    """builtins plus what the stub imports by absolute name."""
    namespace = dict(vars(builtins))
    for node in tree.body:
        if isinstance(node, ast.ImportFrom) and node.level == 0 and not node.module.startswith("_"):
            source = importlib.import_module(node.module)
            for alias in node.names:
                namespace[alias.asname or alias.name] = getattr(source, alias.name)
    return namespace


def test_declared_globals_exist_with_the_declared_types(stub):
    module, tree = stub
    namespace = stub_namespace(tree)
    declared = {}
    for node in tree.body:
        if isinstance(node, ast.AnnAssign) and not node.target.id.startswith("_"):
            declared[node.target.id] = node.annotation
        elif isinstance(node, ast.ImportFrom) and node.level == 1:
            # `from .configuration import X as X`: re-exported settings
            source = importlib.import_module("Nexra_publish." + node.module)
            for alias in node.names:
                assert getattr(module, alias.name) is getattr(source, alias.name), alias.name
    assert bool(declared) == (module.__name__.rpartition(".")[2] in DECLARE_GLOBALS)
    for name, annotation in declared.items():
        assert name in vars(module), name
        cls = runtime_class(annotation, namespace)
        if cls is not None:
            assert isinstance(vars(module)[name], cls), (name, cls)


def test_page_save_statuses_in_the_stub_are_the_functions_results(sc):
    alias = next(n for n in parse_stub(sc).body if isinstance(n, ast.AnnAssign) and n.target.id == "_PageSaveStatus")
    values = alias.value.slice
    if sys.version_info < (3, 9):  # the subscript is wrapped in an ast.Index there
        values = values.value
    declared = set(ast.literal_eval(values))
    ps = "page_save"
    produced = {
        sc.is_valid_page_save({ps: "P1234.html"}, ""),
        sc.is_valid_page_save({}, "P1234"),
        sc.is_valid_page_save({ps: "C:\\x.html"}, "P1234"),
        sc.is_valid_page_save({ps: "P1234.html"}, "P1234"),
        sc.is_valid_page_save({ps: "Q9.html"}, "P1234"),
    }
    assert produced == declared


def test_table_writer_stub_declares_its_members():
    from Nexra_publish import tables

    stub = next(n for n in parse_stub(tables).body if isinstance(n, ast.ClassDef) and n.name == "TableWriter")
    declared = {n.name for n in stub.body if isinstance(n, ast.FunctionDef) and not n.name.startswith("__")}
    assert declared == {name for name in dir(tables.TableWriter) if not name.startswith("_")}


# Lines marked `# E: <code>` must draw exactly that mypy error; no other line
# of either script may draw one.
GOOD_SCRIPT = """
from __future__ import annotations

from typing import Any

from pymongo.cursor import Cursor

from Nexra_publish import Scrape_common as sc
from Nexra_publish import configuration, durable
from Nexra_publish import workqueue as wq
from Nexra_publish.tables import TableWriter


def run_job() -> None:
    uri: str = configuration.connection_string
    timeout: Any = configuration.get_config("timeout", 30)
    own_setting: Any = configuration.some_setting_of_the_job
    cursor = sc.get_input({"status": "pending"}, limit=10, skip="0")
    if cursor is None:
        return
    for item in cursor:
        result = sc.fetch_response(url=item["url"], parcel_number=item["parcel_number"],
                                   headers={"User-Agent": "x"}, session=True, timeout=30)
        if result is None:
            continue
        response, retries = result
        record = {"title": response.css("title::text").get(), "page_save": "P1.html"}
        status: str = sc.is_valid_page_save(record, item["parcel_number"])
        sc.InsertItem(record, retries, item["parcel_number"], "results")
        sc.update_input("parcel_number", item["parcel_number"], "done")
        sc.update_pl_input_many("url", item["url"], 2)
    others: Cursor[dict[str, Any]] | None = sc.pl_input(None, "5", 2)
    cleaned: dict[Any, Any] = sc.clean_data({" a ": " <b>x</b> "})
    key: str = sc.doc_hash(cleaned)
    total: int = sc.db["results"].count_documents({}) + sc.log.count_documents({})
    waits: int = sc.MAX_RETRIES * sc.RETRY_DELAY
    sc.export_mongo_to_csv("results", "results", "export")
    sc.export_mongo_to_excel("results", "results", "export", skip=0, limit=100)
    claimed: list[dict[str, Any]] = wq.claim_input({"status": "pending"}, 10, 60.0)
    renewed: list[dict[str, Any]] = wq.extend_lease(claimed) + wq.release(claimed)
    finished: list[dict[str, Any]] = wq.finish(claimed, "done")
    dropped: int = wq.drop_finished_leases()
    eta: float | None = wq.queue_progress({"status": "pending"})["eta_seconds"]
    durable.makedirs("export/entries")
    durable.write_file("export/entries/a", [b"head", bytearray(b"body"), memoryview(b"end")])
    with TableWriter("xlsx", fields=["name"], title="items") as table:
        table.write_row({"name": "x", "n": 1})
        table.commit("items.xlsx")
    written: int = table.rows
"""

BAD_SCRIPT = """
from Nexra_publish import Scrape_common as sc
from Nexra_publish import durable
from Nexra_publish import workqueue as wq

sc.fetch_response(url="u", parcel_numbr="P1234")  # E: call-arg
digest: int = sc.doc_hash({})  # E: assignment
sc.update_input("parcel_number", "P1234")  # E: call-arg
for item in sc.get_input():  # E: union-attr
    pass
response, retries = sc.fetch_response(url="u", parcel_number="P1234")  # E: misc
sc.InsertItem(["not", "a", "dict"], 1, "P1234", "results")  # E: arg-type
sc.export_mongo_to_excel("f", "c", "d", skip="3")  # E: arg-type
wq.claim_input(limit="10")  # E: arg-type
durable.write_file("f", "text")  # E: arg-type
from Nexra_publish.tables import TableWriter
TableWriter("json")  # E: arg-type
"""


# mypy reads the stubs as text; the oldest mypy and interpreter read them too.
@pytest.mark.no_native
def test_mypy_accepts_the_api_used_as_documented_and_rejects_misuse(tmp_path, sc):
    (tmp_path / "good.py").write_text(textwrap.dedent(GOOD_SCRIPT))
    (tmp_path / "bad.py").write_text(textwrap.dedent(BAD_SCRIPT))
    expected = {
        ("bad.py", n, m.group(1))
        for n, line in enumerate(BAD_SCRIPT.splitlines(), 1)
        if (m := re.search(r"# E: ([\w-]+)", line))
    }
    # The package is found where it is installed, as for any user of it.
    proc = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--no-error-summary",
            "--cache-dir",
            str(tmp_path / "cache"),
            "--hide-error-context",
            "good.py",
            "bad.py",
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    errors = {
        (f, int(n), code) for f, n, code in re.findall(r"^(\w+\.py):(\d+): error: .*\[([\w-]+)\]$", proc.stdout, re.M)
    }
    assert errors == expected, proc.stdout + proc.stderr
