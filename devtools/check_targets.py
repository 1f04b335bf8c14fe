"""Compile every C++ source of the build for the targets this machine cannot run
natively (`make check-targets`): macOS on x86-64 and arm64, and arm64 Linux,
with zig's clang and its bundled system headers, each to a throwaway object file.

Each file is compiled with the command a build for that target gives it: a CMake
configure of its own per target (build/check-targets/<target>, a toolchain file
naming zig for that target) writes compile_commands.json, as for clang-tidy in
devtools/lint.py, so the AVX2 kernels get -mavx2 on x86-64 macOS and the vector
code each target builds is the one compiled. The Python headers are this
interpreter's, with a pyconfig.h for the target:
- aarch64-linux-gnu: the arm64 interpreter's own, from the Debian arm64 tree of
  this version (devtools/debian_tree.py, cached);
- macOS: no Mac interpreter is to be had here, so a stand-in is derived from the
  pyconfig.h of a Linux build for the same processor (the sizes of C types are
  the same on both, LP64): the defines of headers that the macOS SDK lacks are
  dropped (tested with __has_include against zig's macOS headers), and the
  feature macros are set as CPython's configure sets them on macOS
  (_DARWIN_C_SOURCE, no _POSIX_C_SOURCE or _XOPEN_SOURCE, which hide parts of
  the SDK there).
Prints one line per target and fails on the first compiler error, which it
shows. The first run for a target also builds zig's C++ runtime for it, once
(kept in zig's cache).

    python devtools/check_targets.py [TARGET ...]
"""

from __future__ import annotations

import concurrent.futures
import json
import os
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
from devtools.wheel import arm64_tree, write_once, zig  # noqa: E402

# Target -> (CMAKE_SYSTEM_NAME, CMAKE_SYSTEM_PROCESSOR, processor of the Linux
# pyconfig.h it starts from).
TARGETS = {
    "x86_64-macos": ("Darwin", "x86_64", "x86_64"),
    "aarch64-macos": ("Darwin", "arm64", "aarch64"),
    "aarch64-linux-gnu": ("Linux", "aarch64", "aarch64"),
}
VERSION = "%d.%d" % sys.version_info[:2]
WORK = ROOT / "build" / "check-targets"


def linux_pyconfig(cpu: str) -> str:
    """The text of pyconfig.h of a Linux CPython of this version for `cpu`."""
    if cpu == "x86_64":
        return (Path(sysconfig.get_paths()["platinclude"]) / "pyconfig.h").read_text()
    root = arm64_tree(VERSION) / "root"
    return (root / "usr/include/aarch64-linux-gnu" / f"python{VERSION}" / "pyconfig.h").read_text()


def macos_pyconfig(text: str, target: str, include: Path) -> str:
    """The macOS stand-in made from a Linux pyconfig.h (see the module's text)."""
    headers = sorted(set(re.findall(r"(?m)^#define (HAVE_\w+_H) 1$", text)))
    # HAVE_SYS_TIME_H is <sys/time.h>, HAVE_NETINET_IN_H <netinet/in.h>; a name
    # guessed wrong is only ever dropped.
    dirs = ("sys_", "linux_", "net_", "netinet_", "netpacket_", "arpa_", "asm_", "bluetooth_")
    names = {}
    for macro in headers:
        name = macro[5:-2].lower()
        names[macro] = (name.replace("_", "/", 1) if name.startswith(dirs) else name) + ".h"
    probe = include / "probe.cpp"
    probe.write_text(
        "".join(f'#if !__has_include(<{name}>)\n#warning "MISSING {macro}"\n#endif\n' for macro, name in names.items())
    )
    # (#warning is the preprocessor's: -E is enough, and writes nothing.)
    r = subprocess.run(
        [zig(), "c++", "-target", target, "-E", "-o", os.devnull, str(probe)], capture_output=True, text=True
    )
    missing = set(re.findall(r"MISSING (\w+)", r.stderr))
    out = []
    for line in text.splitlines():
        m = re.match(r"#define (\w+)", line)
        if m and (
            m[1] in missing
            or m[1]
            in ("_POSIX_C_SOURCE", "_XOPEN_SOURCE", "_XOPEN_SOURCE_EXTENDED", "_LARGEFILE_SOURCE", "_FILE_OFFSET_BITS")
        ):
            out.append(f"/* {line} (not on macOS) */")
        else:
            out.append(line)
    out.append("#define _DARWIN_C_SOURCE 1")
    return "\n".join(out) + "\n"


def python_headers(target: str) -> Path:
    """This interpreter's headers with the target's pyconfig.h, as one directory."""
    system, _, cpu = TARGETS[target]
    include = WORK / target / "include"
    python = include / f"python{VERSION}"
    shutil.copytree(sysconfig.get_paths()["include"], python, dirs_exist_ok=True)
    text = linux_pyconfig(cpu)
    if system == "Darwin":
        text = macos_pyconfig(text, target, include)
    write_once(python / "pyconfig.h", text)
    return python


def configure(target: str) -> list[dict]:
    """CMake's compile commands for `target`, after generating the tables."""
    system, processor, _ = TARGETS[target]
    build = WORK / target
    build.mkdir(parents=True, exist_ok=True)
    cxx = build / "zig-c++"
    write_once(cxx, f'#!/bin/sh\nexec "{zig()}" c++ -target {target} "$@"\n', 0o755)
    chain = build / "toolchain.cmake"
    write_once(
        chain,
        f'set(CMAKE_SYSTEM_NAME {system})\nset(CMAKE_SYSTEM_PROCESSOR {processor})\nset(CMAKE_CXX_COMPILER "{cxx}")\n',
    )
    include = python_headers(target)
    soabi = f"cpython-{VERSION.replace('.', '')}" + ("-darwin" if system == "Darwin" else "-aarch64-linux-gnu")
    subprocess.run(
        [
            "cmake",
            "-S",
            ROOT,
            "-B",
            build / "cmake",
            "-G",
            "Ninja",
            "-Wno-dev",
            f"-DCMAKE_TOOLCHAIN_FILE={chain}",
            "-DCMAKE_EXPORT_COMPILE_COMMANDS=ON",
            f"-DPython_EXECUTABLE={sys.executable}",
            f"-DPython_INCLUDE_DIR={include}",
            f"-DPython_SOABI={soabi}",
        ],
        check=True,
        stdout=subprocess.DEVNULL,
    )
    subprocess.run(["ninja", "-C", build / "cmake", "nx_clean_tables"], check=True, stdout=subprocess.DEVNULL)
    commands = json.loads((build / "cmake" / "compile_commands.json").read_text())
    return [c for c in commands if Path(c["file"]).resolve().is_relative_to(ROOT / "src")]


def compile_one(target: str, command: dict) -> str | None:
    """The build's command for one file, its object written to a throwaway name."""
    args = shlex.split(command["command"])
    out = args.index("-o")
    obj = WORK / target / f"check-{Path(command['file']).stem}.o"
    args[out + 1] = str(obj)
    r = subprocess.run(args, cwd=command["directory"], capture_output=True, text=True)
    obj.unlink(missing_ok=True)
    if r.returncode != 0:
        source = Path(command["file"]).resolve().relative_to(ROOT)
        return f"{target}: {source}\n" + (r.stdout + r.stderr)[-4000:]
    return None


def main(argv=None) -> int:
    targets = (argv if argv is not None else sys.argv[1:]) or list(TARGETS)
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for target in targets:
            t0 = time.monotonic()
            commands = configure(target)
            for failure in pool.map(lambda c, t=target: compile_one(t, c), commands):
                if failure:
                    print(failure)
                    return 1
            print(
                f"{target}: {len(commands)} sources compile with the build's flags ({time.monotonic() - t0:.0f} s)",
                flush=True,
            )
    print(f"check-targets: {len(targets)} targets in {time.monotonic() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
