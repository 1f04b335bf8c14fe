"""Helpers shared by the tests."""

from __future__ import annotations

import csv
import ctypes
import gc
import json
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import psutil

ROOT = Path(__file__).resolve().parents[2]


def write_job(
    directory: Path, settings: dict | None = None, config_source: str | None = None, config_json: str | None = None
) -> Path:
    """Lay out a job directory: config.py from `settings` (or raw source) and an
    optional config.json text."""
    directory.mkdir(parents=True, exist_ok=True)
    if config_source is None:
        config_source = "".join(f"{k} = {v!r}\n" for k, v in (settings or {}).items())
    (directory / "config.py").write_text(config_source)
    if config_json is not None:
        (directory / "config.json").write_text(config_json)
    return directory


def python_env(cwd: Path, env: dict | None = None) -> dict:
    """The environment of a fresh interpreter run for a job in `cwd`."""
    full_env = dict(os.environ)
    full_env.pop("NEXRA_CONFIG", None)
    full_env["PYTHONPATH"] = os.pathsep.join(
        [str(cwd)] + [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    )
    full_env["PYTHONIOENCODING"] = "utf-8"
    if env:
        full_env.update(env)
    return full_env


def run_python(code: str, cwd: Path, env: dict | None = None, timeout: float = 120) -> subprocess.CompletedProcess:
    """Run `code` in a fresh interpreter whose working directory is `cwd`, with
    the job directory first on the module search path."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        cwd=cwd,
        env=python_env(cwd, env),
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=timeout,
    )


class PythonSession:
    """A fresh interpreter for a job in `cwd` that runs snippets sent to it one
    at a time, keeping its state (imported modules, variables) between them.

    ``session.run(code)`` returns what the snippet printed; an exception that
    escapes the snippet is reported as ``RAISED <module>.<class>: <text>`` on
    the last line instead of ending the interpreter."""

    _END = "<<end of snippet>>"
    _DRIVER = textwrap.dedent("""
        import json, sys, traceback
        namespace = {"__name__": "__session__"}
        for line in sys.stdin:
            code = json.loads(line)
            try:
                exec(code, namespace)
            except BaseException as e:
                print(f"RAISED {type(e).__module__}.{type(e).__qualname__}: {e}")
            print(END, flush=True)
    """)

    def __init__(self, cwd: Path, env: dict | None = None):
        self.proc = subprocess.Popen(
            [sys.executable, "-c", f"END = {self._END!r}\n" + self._DRIVER],
            cwd=cwd,
            env=python_env(cwd, env),
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            text=True,
            encoding="utf-8",
            bufsize=1,
        )

    def run(self, code: str) -> str:
        self.proc.stdin.write(json.dumps(textwrap.dedent(code)) + "\n")
        self.proc.stdin.flush()
        out = []
        for line in self.proc.stdout:
            if line.rstrip("\n") == self._END:
                return "".join(out)
            out.append(line)
        raise RuntimeError("the interpreter ended: " + "".join(out))

    def close(self) -> int:
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
        return self.proc.returncode


def _heap_in_use():
    """Bytes the AddressSanitizer allocator holds for live blocks, when this
    process runs with it (`make test-asan`): there freed blocks sit in a
    quarantine, so resident memory grows without any leak."""
    try:
        fn = ctypes.CDLL(None).__sanitizer_get_current_allocated_bytes
    except AttributeError:
        return None
    fn.restype = ctypes.c_size_t
    return fn


_HEAP_IN_USE = _heap_in_use()


def rss_growth(fn, rounds: int = 5, calls: int = 20000) -> int:
    """Resident-memory growth in bytes over the later rounds of `calls` calls
    of `fn` (the first round warms caches up); under AddressSanitizer, the
    growth of the live heap instead, over a quarter of the calls: the sanitized
    run is there for memory errors, which a quarter of the calls reaches as
    well, while the small leaks that only the full number adds up past a test's
    bound are the release build's run to catch."""
    proc = psutil.Process()
    in_use = _HEAP_IN_USE or (lambda: proc.memory_info().rss)
    if _HEAP_IN_USE:
        calls = max(1, calls // 4)
    for _ in range(calls):
        fn()
    gc.collect()
    start = in_use()
    for _ in range(rounds - 1):
        for _ in range(calls):
            fn()
    gc.collect()
    return in_use() - start


def lock_pins(name: str) -> dict:
    """Canonical package name -> version of each `name==version` line of a lock
    file of the repository (constraints.txt, constraints-oldest.txt) whose
    environment marker, if any, holds for this interpreter."""
    from packaging.requirements import Requirement
    from packaging.utils import canonicalize_name

    lines = (line.split("#")[0].strip() for line in (ROOT / name).read_text().splitlines())
    reqs = [Requirement(line) for line in lines if line]
    return {
        canonicalize_name(r.name): str(r.specifier).lstrip("=") for r in reqs if r.marker is None or r.marker.evaluate()
    }


def unsanitized_env():
    """The environment without the sanitized build's preload, for LibreOffice."""
    drop = {"LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC", "PYTHONPATH"}
    return {k: v for k, v in os.environ.items() if k not in drop}


def libreoffice_rows(workbook: Path, workdir: Path) -> list:
    """The first sheet of `workbook` as LibreOffice reads it: its rows of cell
    texts, through a conversion to CSV (UTF-8) under `workdir`."""
    subprocess.run(
        [
            "soffice",
            f"-env:UserInstallation={(workdir / 'profile').as_uri()}",
            "--headless",
            "--convert-to",
            "csv:Text - txt - csv (StarCalc):44,34,76",
            "--outdir",
            str(workdir / "lo"),
            str(workbook),
        ],
        check=True,
        capture_output=True,
        timeout=300,
        env=unsanitized_env(),
    )
    with open(workdir / "lo" / (workbook.stem + ".csv"), newline="", encoding="utf-8") as f:
        return list(csv.reader(f))
