"""Build the package for another processor and test it there under qemu-user
(`make test-arm64`).

    python devtools/cross_test.py [--suite bookworm --python 3.11] [-- PYTEST_ARGS]

The tree and the packages come from devtools/debian_tree.py (cached). The
modules are built with Debian's cross compiler against the tree's Python
headers into build/cross-<arch>-py<version>, then one emulated interpreter runs
pytest on TESTS below (a second interpreter started from the emulated one
would be a native program, so none of these starts one). The test database server runs
natively, started by that interpreter as the tests always start it.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
from devtools import debian_tree  # noqa: E402
from devtools.testdb import build as build_testdb  # noqa: E402
from devtools.wheel import pyenv_pythons  # noqa: E402

# What runs under emulation (the tests that need no second interpreter, whose
# twins run in reasonable time there): the modules load; the differential
# tests of clean_data over seeded samples and markers at every block and width
# edge, of doc_hash and of is_valid_page_save; CSV and Excel exports of a few
# hundred awkward records against their twins.
TESTS = [
    "tests/test_modules.py",
    *(
        f"tests/test_clean_data.py::test_{name}"
        for name in (
            "clean_string_rules",
            "document_shape",
            "differential_strings",
            "differential_documents",
            "markers_at_every_block_offset",
            "markers_across_the_pieces_of_the_first_pass",
            "kernels_in_use",
        )
    ),
    *(
        f"tests/test_doc_hash.py::test_{name}"
        for name in (
            "canonical_text",
            "same_result_or_error_as_json",
            "differential",
            "key_order_differential",
            "escape_at_every_offset",
            "float_text_differential",
        )
    ),
    "tests/test_storage.py::test_page_save_status",
    "tests/test_storage.py::test_page_save_differential",
    "tests/test_export_scale.py::test_csv_bytes_are_dictwriters",
    "tests/test_export_scale.py::test_excel_cells_match_the_twin",
    "tests/test_export_scale.py::test_excel_cells_are_text_for_openpyxl_and_pandas",
]
# (2,500 records through the interpreted twin take minutes there.)
DESELECT = "spilled"


def host_python(version: str) -> str:
    """An interpreter of this machine of `version`: CMake takes the version of
    the headers from the interpreter it is given, and the generator of the
    cleaner's tables runs on it."""
    if f"{sys.version_info[0]}.{sys.version_info[1]}" == version:
        return sys.executable
    host = pyenv_pythons([version]).get(version)
    if host is None:
        raise SystemExit(f"building for Python {version} needs a CPython {version} here")
    return str(host)


def build(tree: Path, arch: str, python: str, out: Path) -> None:
    cpu, triple = debian_tree.CPUS[arch]
    include = tree / "root" / "usr" / "include"
    subprocess.run(
        [
            "cmake",
            "-S",
            str(ROOT),
            "-B",
            str(out),
            "-G",
            "Ninja",
            "-Wno-dev",
            "-DCMAKE_SYSTEM_NAME=Linux",
            f"-DCMAKE_SYSTEM_PROCESSOR={cpu}",
            f"-DCMAKE_CXX_COMPILER={triple}-g++",
            f"-DPython_EXECUTABLE={host_python(python)}",
            f"-DPython_INCLUDE_DIR={include / ('python' + python)}",
            f"-DPython_SOABI=cpython-{python.replace('.', '')}-{triple}",
            # The tree's headers after the cross compiler's own C library.
            f"-DCMAKE_CXX_FLAGS=-idirafter {include}",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    subprocess.run(["ninja", "-C", str(out)], check=True, stdout=subprocess.DEVNULL)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--arch", default="arm64", choices=sorted(debian_tree.CPUS))
    ap.add_argument("--suite", default="bookworm")
    ap.add_argument("--python", default="3.11")
    ap.add_argument("--constraints", type=Path)
    args, pytest_args = ap.parse_known_args(argv)
    started = time.monotonic()
    tree_args = ["--arch", args.arch, "--suite", args.suite, "--python", args.python]
    if args.constraints:
        tree_args += ["--constraints", str(args.constraints)]
    debian_tree.main(tree_args)
    tree = debian_tree.cache_dir() / f"debian-{args.arch}-{args.suite}-py{args.python}"
    out = ROOT / "build" / f"cross-{args.arch}-py{args.python}"
    build(tree, args.arch, args.python, out)
    build_testdb(quiet=True)
    built = time.monotonic()
    cpu = debian_tree.CPUS[args.arch][0]
    root = tree / "root"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(out), str(tree / "site")]), PYTHONDONTWRITEBYTECODE="1")
    cmd = [
        f"qemu-{cpu}",
        "-L",
        str(root),
        str(root / "usr" / "bin" / f"python{args.python}"),
        "-m",
        "pytest",
        "-q",
        "-p",
        "no:cacheprovider",
        "-m",
        "not slow",
        "-k",
        f"not {DESELECT}",
        *TESTS,
        *pytest_args,
    ]
    rc = subprocess.run(cmd, cwd=ROOT, env=env).returncode
    print(
        f"cross_test {args.arch} python{args.python}: built in {built - started:.0f} s,"
        f" tests in {time.monotonic() - built:.0f} s",
        flush=True,
    )
    return rc


if __name__ == "__main__":
    sys.exit(main())
