"""The package builds as a wheel that installs into a clean environment and
works there: the modules, the type stubs and the py.typed marker."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from support import ROOT, write_job

SHIPPED = ["__init__.py", "configuration.pyi", "Scrape_common.pyi", "py.typed"]

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
    proc = subprocess.run([str(c) for c in cmd], capture_output=True, text=True, timeout=600,
                          **kwargs)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc


@pytest.mark.slow
def test_wheel_installs_into_a_clean_venv_and_imports(tmp_path):
    dist = tmp_path / "dist"
    run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w", dist, ROOT])
    wheels = list(dist.glob("*.whl"))
    assert len(wheels) == 1, wheels
    names = zipfile.ZipFile(wheels[0]).namelist()
    for name in SHIPPED:
        assert f"Nexra_publish/{name}" in names
    for module in ("configuration", "Scrape_common"):
        assert any(n.startswith(f"Nexra_publish/{module}.") and n.endswith((".so", ".pyd"))
                   for n in names), module

    # A venv of its own, without pip: this interpreter's pip installs into it.
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--without-pip", venv])
    python = venv / ("Scripts/python.exe" if os.name == "nt" else "bin/python")
    run([sys.executable, "-m", "pip", "--python", python, "install", "-q", "--no-deps",
         wheels[0]])

    job = write_job(tmp_path / "job", {"answer": 42}, config_json='{"extra": "from json"}')
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "NEXRA_CONFIG", "PYTHONHOME")}
    env["PYTHONPATH"] = str(job)
    out = run([python, "-c", CHECK], cwd=job, env=env).stdout
    report = json.loads(out.splitlines()[-1])
    # The installed copy is the one imported, not the source tree's.
    assert Path(report["prefix"]).resolve() == venv.resolve()
    assert Path(report["package"]).resolve().is_relative_to(venv.resolve())
    assert set(SHIPPED) <= set(report["files"])
    assert report["settings"] == [42, "from json", "config.json"]
