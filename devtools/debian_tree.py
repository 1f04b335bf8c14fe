"""A Debian tree with its Python, for building the package for another
processor and running it under qemu-user, plus that Python's job dependencies
(and the test tools) installed beside it from their wheels; or a tree of this
machine's own processor holding Pythons that neither pyenv nor this Debian has
(sid's 3.14 and 3.15), with a compiler, run natively through chroot.

    python devtools/debian_tree.py [--arch arm64] [--suite bookworm] [--python 3.11]
    python devtools/debian_tree.py --arch amd64 --suite sid --python 3.14 --python 3.15
    python devtools/debian_tree.py --arch amd64 --suite sid --python 3.14 --python 3.15 \
        --run CMD ...        # CMD inside the tree, in the current directory

prints the tree's directory. It holds `root/` (the Debian tree: the interpreter,
its headers, libstdc++) and `site/` (the packages, for PYTHONPATH; an amd64
tree has none: its runs make venvs of their own). Both are made once and kept
under the cache directory (~/.cache/nexra-publish, or NEXRA_CACHE); a second
call only checks them. Debian 12 (bookworm) has Python
3.11, Debian 13 (trixie) 3.13. Needs root for apt-get (mmdebstrap, qemu-user)
when these (or the cross compiler) are missing.

Run a program of an arm64 tree with `qemu-<cpu> -L ROOT ROOT/usr/bin/python3.11`;
a program it starts runs natively (no binfmt): keep the work in one process.
A program of an amd64 tree runs with `chroot` (`chroot_command` below), with
this machine's /proc, /dev, /tmp, the source tree and the cache directory
bound into it at their own paths.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent))
from devtools.testdb import cache_dir  # noqa: E402

MIRROR = "http://deb.debian.org/debian"
# Debian's architecture names, and what qemu, pip and the compilers call them.
CPUS = {"arm64": ("aarch64", "aarch64-linux-gnu"), "amd64": ("x86_64", "x86_64-linux-gnu")}
# The tree of this machine's own processor is a whole system to build and test
# in: apt's essential set (a shell, coreutils, findutils) and the build tools.
NATIVE = "amd64"
BUILD_TOOLS = ["g++", "make", "cmake", "ninja-build"]
# The job's dependencies and what the emulated tests need beside them.
PACKAGES = ["pymongo", "requests", "scrapy", "openpyxl", "pandas", "pytest", "psutil"]
TOOLS = {"mmdebstrap": "mmdebstrap", "qemu-aarch64": "qemu-user", "aarch64-linux-gnu-g++": "g++-aarch64-linux-gnu"}


def ensure_tools() -> None:
    missing = sorted({pkg for tool, pkg in TOOLS.items() if not shutil.which(tool)})
    if not missing:
        return
    if os.geteuid() != 0:
        raise SystemExit(f"needs {' '.join(missing)} (apt-get install as root)")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-qq"], check=True, env=env)
    subprocess.run(["apt-get", "install", "-y", "-qq", *missing], check=True, env=env, stdout=subprocess.DEVNULL)


def make_root(root: Path, arch: str, suite: str, pythons: list[str]) -> None:
    if all((root / "usr" / "bin" / f"python{v}").exists() for v in pythons):
        merged_usr_links(root)
        return
    tmp = root.with_name(root.name + ".tmp")
    shutil.rmtree(tmp, ignore_errors=True)
    include = [pkg for v in pythons for pkg in (f"python{v}", f"python{v}-venv", f"libpython{v}-dev")]
    if arch == NATIVE:
        # Installed, maintainer scripts and all: it runs natively.
        variant, include = "essential", include + BUILD_TOOLS
    else:
        variant, include = "extract", include + ["libstdc++6", "libc6-dev"]
    # A mirror's Release file of a moving suite (sid) can be past its validity
    # date; the packages are still checked against its hashes.
    subprocess.run(
        [
            "mmdebstrap",
            "--quiet",
            f"--arch={arch}",
            f"--variant={variant}",
            '--aptopt=Acquire::Check-Valid-Until "false"',
            "--include=" + ",".join(include),
            suite,
            str(tmp),
            MIRROR,
        ],
        check=True,
    )
    merged_usr_links(tmp)
    os.replace(tmp, root)


def merged_usr_links(root: Path) -> None:
    """Debian 13 and later keep everything under /usr, and the /lib -> usr/lib
    link (where the interpreter's ELF header looks for the loader) comes from a
    maintainer script, which an extracted tree never runs: make the links that
    are missing."""
    for name in ("bin", "sbin", "lib", "lib64"):
        link = root / name
        if not link.exists() and not link.is_symlink() and (root / "usr" / name).is_dir():
            link.symlink_to(f"usr/{name}")


def tree_dir(arch: str, suite: str, pythons: list[str]) -> Path:
    return cache_dir() / f"debian-{arch}-{suite}-py{'+'.join(pythons)}"


# What a program run in a native tree sees of this machine, at the same paths:
# the kernel's file systems, the temporary directory, name resolution and the
# certificates pip is told to use; the source tree and the caches are added.
HOST_PATHS = ["/proc", "/sys", "/dev", "/tmp", "/etc/resolv.conf", "/etc/ssl/certs"]
TREE_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"


def chroot_command(root: Path, argv: list, cwd: Path | str | None = None) -> list[str]:
    """The command that runs `argv` inside the tree `root` in `cwd` (default:
    the current directory). The binds are made in a mount namespace of the
    command's own (unshare), so nothing stays mounted after it, however it ends.
    Needs root. Environment variables pass through, PATH is the tree's."""
    source = Path(__file__).resolve().parents[1]
    where = Path(cwd or os.getcwd()).resolve()
    binds = [p for p in HOST_PATHS if os.path.exists(p)] + [str(source), str(cache_dir().parent)]
    # The local wheel directories this machine's pip is told of.
    binds += [p for p in os.environ.get("PIP_FIND_LINKS", "").split() if os.path.isdir(p)]
    if not any(where == Path(b) or Path(b) in where.parents for b in binds):
        binds.append(str(where))
    script = (
        "r=$1; shift; n=$1; shift; i=0\n"
        'while [ $i -lt "$n" ]; do p=$1; shift; i=$((i + 1))\n'
        '  if [ -d "$p" ]; then mkdir -p "$r$p"; else mkdir -p "$(dirname "$r$p")"; touch "$r$p"; fi\n'
        '  mount --rbind "$p" "$r$p" || exit 1\n'
        "done\n"
        'exec chroot "$r" /usr/bin/env "$@"\n'
    )
    return [
        "unshare",
        "--mount",
        "--propagation",
        "private",
        "sh",
        "-c",
        script,
        "sh",
        str(root),
        str(len(binds)),
        *binds,
        f"--chdir={where}",
        f"PATH={TREE_PATH}",
        *map(str, argv),
    ]


def make_site(site: Path, cpu: str, python: str, constraints: Path | None) -> None:
    done = site / ".complete"
    if done.exists():
        return
    shutil.rmtree(site, ignore_errors=True)
    cmd = [
        sys.executable,
        "-m",
        "pip",
        "install",
        "-q",
        "--no-warn-conflicts",
        "--target",
        str(site),
        "--only-binary=:all:",
        "--implementation",
        "cp",
        "--python-version",
        python,
        *[
            f"--platform={p}_{cpu}"
            for p in (
                "manylinux2014",
                "manylinux_2_17",
                "manylinux_2_28",
                "manylinux_2_31",
                "manylinux_2_34",
                "manylinux_2_36",
            )
        ],
        *PACKAGES,
    ]
    if constraints:
        cmd[4:4] = ["-c", str(constraints)]
    subprocess.run(cmd, check=True)
    done.touch()


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--arch", default="arm64", choices=sorted(CPUS))
    ap.add_argument("--suite", default="bookworm", help="bookworm (3.11), trixie (3.13) or sid (3.14, 3.15)")
    ap.add_argument("--python", action="append", help="the suite's Python version (repeatable)")
    ap.add_argument("--constraints", type=Path, help="pin the dependencies (a lock file whose pins have wheels there)")
    ap.add_argument("--run", nargs=argparse.REMAINDER, help="then run this command inside the tree (native arch only)")
    args = ap.parse_args(argv)
    pythons = args.python or ["3.11"]
    cpu = CPUS[args.arch][0]
    base = tree_dir(args.arch, args.suite, pythons)
    base.mkdir(parents=True, exist_ok=True)
    ensure_tools()
    make_root(base / "root", args.arch, args.suite, pythons)
    if args.arch != NATIVE:
        if len(pythons) != 1:
            raise SystemExit("an emulated tree holds one Python")
        make_site(base / "site", cpu, pythons[0], args.constraints)
    if args.run:
        if args.arch != NATIVE:
            raise SystemExit(f"--run runs programs of the {NATIVE} tree only")
        return subprocess.run(chroot_command(base / "root", args.run)).returncode
    print(base)
    return 0


if __name__ == "__main__":
    sys.exit(main())
