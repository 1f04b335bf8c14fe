"""Helpers shared by the tests."""

from __future__ import annotations

import ctypes
import gc
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import psutil

ROOT = Path(__file__).resolve().parents[2]


def write_job(directory: Path, settings: dict | None = None, config_source: str | None = None,
              config_json: str | None = None) -> Path:
    """Lay out a job directory: config.py from `settings` (or raw source) and an
    optional config.json text."""
    directory.mkdir(parents=True, exist_ok=True)
    if config_source is None:
        config_source = "".join(f"{k} = {v!r}\n" for k, v in (settings or {}).items())
    (directory / "config.py").write_text(config_source)
    if config_json is not None:
        (directory / "config.json").write_text(config_json)
    return directory


def run_python(code: str, cwd: Path, env: dict | None = None,
               timeout: float = 120) -> subprocess.CompletedProcess:
    """Run `code` in a fresh interpreter whose working directory is `cwd`, with
    the job directory first on the module search path."""
    full_env = dict(os.environ)
    full_env.pop("NEXRA_CONFIG", None)
    full_env["PYTHONPATH"] = os.pathsep.join(
        [str(cwd)] + [os.path.abspath(p)
                      for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])
    full_env["PYTHONIOENCODING"] = "utf-8"
    if env:
        full_env.update(env)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], cwd=cwd, env=full_env,
                          capture_output=True, text=True, encoding="utf-8", timeout=timeout)


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
    growth of the live heap instead."""
    proc = psutil.Process()
    in_use = _HEAP_IN_USE or (lambda: proc.memory_info().rss)
    for _ in range(calls):
        fn()
    gc.collect()
    start = in_use()
    for _ in range(rounds - 1):
        for _ in range(calls):
            fn()
    gc.collect()
    return in_use() - start
