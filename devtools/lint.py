"""`make lint`: the three checks, in check mode, each timed.

clang-format  the C++ sources keep the layout of .clang-format (nothing rewritten)
clang-tidy    .clang-tidy's fault checks over every C++ source that a CMake
              configure of its own (build/lint) compiles, with its
              compile_commands.json; the headers through them
ruff          every Python file of the tree ([tool.ruff] in pyproject.toml), and
              its layout ([tool.ruff.format])

Exits non-zero when any of them found something; all of them run regardless.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BIN = Path(sys.executable).parent
BUILD = ROOT / "build" / "lint"
# Whether `ruff format --check` is part of the check (on since the tree was
# formatted with `ruff format`; off, the check only says how many files it
# would reformat).
FORMAT_CHECKED = True


def sources(*suffixes):
    return sorted(str(p.relative_to(ROOT)) for p in (ROOT / "src").rglob("*") if p.suffix in suffixes)


def clang_format():
    return subprocess.call([BIN / "clang-format", "--dry-run", "--Werror", *sources(".cpp", ".h")], cwd=ROOT)


def clang_tidy():
    # Configure once (seconds), then only the generated tables the sources include.
    subprocess.check_call(
        [
            "cmake",
            "-S",
            ROOT,
            "-B",
            BUILD,
            "-G",
            "Ninja",
            "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
            f"-DPython_EXECUTABLE={sys.executable}",
        ],
        stdout=subprocess.DEVNULL,
    )
    subprocess.check_call(["ninja", "-C", BUILD, "nx_clean_tables"], stdout=subprocess.DEVNULL)
    # The sources this configuration compiles (those of another instruction set
    # are left out), one process per core, each over its share.
    commands = json.loads((BUILD / "compile_commands.json").read_text())
    files = sorted(
        {
            str(Path(c["file"]).resolve().relative_to(ROOT))
            for c in commands
            if Path(c["file"]).resolve().is_relative_to(ROOT / "src")
        }
    )
    jobs = max(1, min(os.cpu_count() or 1, len(files)))
    procs = [
        subprocess.Popen(
            [BIN / "clang-tidy", "-p", BUILD, "--quiet", *files[i::jobs]], cwd=ROOT, stderr=subprocess.DEVNULL
        )
        for i in range(jobs)
    ]
    return max(p.wait() for p in procs)


def ruff():
    return subprocess.call([BIN / "ruff", "check", "--quiet"], cwd=ROOT)


def ruff_format():
    if FORMAT_CHECKED:
        return subprocess.call([BIN / "ruff", "format", "--check", "--quiet"], cwd=ROOT)
    out = subprocess.run([BIN / "ruff", "format", "--check"], cwd=ROOT, capture_output=True, text=True)
    print(f"lint: ruff-format not checked yet (FORMAT_CHECKED): {out.stdout.strip().splitlines()[-1]}")
    return 0


def main():
    failed = []
    for check in (clang_format, ruff, ruff_format, clang_tidy):
        start = time.monotonic()
        status = check()
        print(
            f"lint: {check.__name__.replace('_', '-')} {'failed' if status else 'ok'}"
            f" ({time.monotonic() - start:.1f} s)",
            flush=True,
        )
        if status:
            failed.append(check.__name__)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
