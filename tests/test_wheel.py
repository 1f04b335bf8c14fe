"""The package builds as a manylinux_2_17 wheel (zig-compiled, repaired by
auditwheel) that keeps within its tag and installs into a clean environment and
works there: the modules, the type stubs and the py.typed marker; and
installing it where older supported versions of its dependencies are already
present keeps them."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest
from packaging.utils import canonicalize_name

from devtools.check_wheels import check_tag
from devtools.wheel import build
from support import ROOT, lock_pins, write_job
from support.fetch_fixtures import server  # noqa: F401
from support.http_server import Reply

MODULES = ("configuration", "Scrape_common", "workqueue", "durable", "tables")
SHIPPED = ["__init__.py", "py.typed", *(f"{m}.pyi" for m in MODULES)]

CHECK = """
import json, pathlib, sys
import Nexra_publish
import Nexra_publish.configuration as c
pkg = pathlib.Path(Nexra_publish.__file__).parent
print(json.dumps({
    "prefix": sys.prefix,
    "package": str(pkg),
    "files": sorted(p.name for p in pkg.iterdir()),
    "settings": [c.get_config("answer"), c.get_config("extra"), c.CONFIG_FILE],
}))
"""


def run(cmd, **kwargs):
    proc = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=600, **kwargs)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    """The repaired wheel, built once for this module."""
    return build(tmp_path_factory.mktemp("dist"))


def venv_python(directory: Path) -> Path:
    """A venv of its own, without pip: this interpreter's pip installs into it."""
    run([sys.executable, "-m", "venv", "--without-pip", directory])
    return directory / ("Scripts/python.exe" if os.name == "nt" else "bin/python")


def pip_into(python: Path, *args) -> subprocess.CompletedProcess:
    return run([sys.executable, "-m", "pip", "--python", python, *args])


def job_env(job: Path) -> dict:
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "NEXRA_CONFIG", "PYTHONHOME")}
    env["PYTHONPATH"] = str(job)
    return env


@pytest.mark.slow
def test_wheel_installs_into_a_clean_venv_and_imports(tmp_path, wheel):
    # Tagged manylinux_2_17 and keeping to it: glibc 2.17 symbols at most, no
    # C++ runtime or other library needed, nothing unresolved but the interpreter's.
    check_tag(wheel, "x86_64")
    names = zipfile.ZipFile(wheel).namelist()
    for name in SHIPPED:
        assert f"Nexra_publish/{name}" in names
    for module in MODULES:
        assert any(n.startswith(f"Nexra_publish/{module}.") and n.endswith((".so", ".pyd")) for n in names), module
    # auditwheel found nothing to bundle: the modules need only the interpreter
    # and the system's C and C++ runtimes.
    assert not [n for n in names if ".libs/" in n], names

    venv = tmp_path / "venv"
    python = venv_python(venv)
    pip_into(python, "install", "-q", "--no-deps", wheel)

    job = write_job(tmp_path / "job", {"answer": 42}, config_json='{"extra": "from json"}')
    out = run([python, "-c", CHECK], cwd=job, env=job_env(job)).stdout
    report = json.loads(out.splitlines()[-1])
    # The installed copy is the one imported, not the source tree's.
    assert Path(report["prefix"]).resolve() == venv.resolve()
    assert venv.resolve() in Path(report["package"]).resolve().parents
    assert set(SHIPPED) <= set(report["files"])
    assert report["settings"] == [42, "from json", "config.json"]


# Releases older than the locked ones but inside the ranges, with wheels for every
# interpreter from 3.9 to 3.13; on 3.8 the floors themselves (constraints-oldest.txt);
# on 3.14 and 3.15 the oldest pymongo and pandas with wheels for both (the ones
# above would be built from source).
OLDER = {"pymongo": "4.10.1", "requests": "2.32.3", "scrapy": "2.13.3", "openpyxl": "3.1.2", "pandas": "2.2.3"}
if sys.version_info >= (3, 14):
    OLDER.update(pymongo="4.19.0", pandas="3.0.6")

SMOKE = """
import json, pymongo, openpyxl
from Nexra_publish import Scrape_common as sc, configuration, workqueue, durable, tables
modules = [m.__file__ for m in (configuration, sc, workqueue, durable, tables)]
record = sc.clean_data({" Title ": " <b>Old</b>  deps "})
sc.InsertItem(dict(record, page_save="P1.html"), 1, "P1", "smoke")
sc.export_mongo_to_excel("smoke", "smoke", "out")
rows = list(openpyxl.load_workbook("out/smoke.xlsx").active.values)
response, attempts = sc.fetch_response(url=URL, parcel_number="P0001")
print(json.dumps([rows, response.css("b::text").get(), attempts, modules, workqueue.worker_id()]))
"""


@pytest.mark.slow
def test_install_keeps_older_supported_dependencies(tmp_path, wheel, mongo_uri, server):
    python = venv_python(tmp_path / "venv")
    if sys.version_info < (3, 9):
        older = {name: lock_pins("constraints-oldest.txt")[name] for name in OLDER}
        pip_into(python, "install", "-q", "-c", ROOT / "constraints-oldest.txt", *older)
    else:
        older = OLDER
        pip_into(python, "install", "-q", *(f"{k}=={v}" for k, v in older.items()))
    before = pins_of(python)
    assert {k: before[k] for k in older} == older

    pip_into(python, "install", "-q", wheel)
    after = pins_of(python)
    assert after.pop("nexra-publish", None), after
    assert after == before  # nothing upgraded, nothing added

    page = "<html><b>saved</b>" + "x" * 200 + "</html>"
    job = write_job(
        tmp_path / "job",
        {
            "connection_string": mongo_uri,
            "data_base": "nexra_smoke_" + tmp_path.name[-8:],
            "input_table": "input_items",
            "pl_input_table": "pl_input_items",
            "vantelo_path": str(tmp_path / "engine"),
            "pagesave_path": str(tmp_path / "pages"),
        },
    )
    code = f"URL = {server.script('/old-deps', Reply.html(page))!r}\n" + SMOKE
    out = run([python, "-c", code], cwd=job, env=job_env(job)).stdout
    rows, text, attempts, modules, worker = json.loads(out.splitlines()[-1])
    # All the modules load from the wheel installed in that venv.
    assert [Path(f).name.split(".")[0] for f in modules] == list(MODULES)
    assert all((tmp_path / "venv").resolve() in Path(f).resolve().parents for f in modules)
    assert worker
    assert rows == [["title", "page_save"], ["Old deps", "P1.html"]]
    assert (text, attempts) == ("saved", 1)


def pins_of(python: Path) -> dict:
    out = pip_into(python, "list", "--format", "json").stdout
    return {canonicalize_name(p["name"]): p["version"] for p in json.loads(out)}
