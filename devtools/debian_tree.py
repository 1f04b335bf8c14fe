"""A Debian tree of another processor with its Python, for building the package
for that processor and running it under qemu-user, plus that Python's job
dependencies (and the test tools) installed beside it from their wheels.

    python devtools/debian_tree.py [--arch arm64] [--suite bookworm] [--python 3.11]

prints the tree's directory. It holds `root/` (the Debian tree: the interpreter,
its headers, libstdc++) and `site/` (the packages, for PYTHONPATH). Both are
made once and kept under the cache directory (~/.cache/nexra-publish, or
NEXRA_CACHE); a second call only checks them. Debian 12 (bookworm) has Python
3.11, Debian 13 (trixie) 3.13. Needs root for apt-get (mmdebstrap, qemu-user)
when these (or the cross compiler) are missing.

Run a program of the tree with `qemu-<cpu> -L ROOT ROOT/usr/bin/python3.11`;
a program it starts runs natively (no binfmt): keep the work in one process.
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
CPUS = {"arm64": ("aarch64", "aarch64-linux-gnu")}
# The job's dependencies and what the emulated tests need beside them.
PACKAGES = ["pymongo", "requests", "scrapy", "openpyxl", "pandas", "pytest", "psutil"]
TOOLS = {"mmdebstrap": "mmdebstrap", "qemu-aarch64": "qemu-user",
         "aarch64-linux-gnu-g++": "g++-aarch64-linux-gnu"}


def ensure_tools() -> None:
    missing = sorted({pkg for tool, pkg in TOOLS.items() if not shutil.which(tool)})
    if not missing:
        return
    if os.geteuid() != 0:
        raise SystemExit(f"needs {' '.join(missing)} (apt-get install as root)")
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-qq"], check=True, env=env)
    subprocess.run(["apt-get", "install", "-y", "-qq", *missing], check=True, env=env,
                   stdout=subprocess.DEVNULL)


def make_root(root: Path, arch: str, suite: str, python: str) -> None:
    if (root / "usr" / "bin" / f"python{python}").exists():
        return
    tmp = root.with_name(root.name + ".tmp")
    shutil.rmtree(tmp, ignore_errors=True)
    include = [f"python{python}", f"python{python}-venv", f"libpython{python}-dev",
               "libstdc++6", "libc6-dev"]
    subprocess.run(["mmdebstrap", "--quiet", f"--arch={arch}", "--variant=extract",
                    "--include=" + ",".join(include), suite, str(tmp), MIRROR], check=True)
    os.replace(tmp, root)


def make_site(site: Path, cpu: str, python: str, constraints: Path | None) -> None:
    done = site / ".complete"
    if done.exists():
        return
    shutil.rmtree(site, ignore_errors=True)
    cmd = [sys.executable, "-m", "pip", "install", "-q", "--no-warn-conflicts", "--target", str(site),
           "--only-binary=:all:", "--implementation", "cp", "--python-version", python,
           *[f"--platform={p}_{cpu}" for p in ("manylinux2014", "manylinux_2_17",
                                                "manylinux_2_28", "manylinux_2_31",
                                                "manylinux_2_34", "manylinux_2_36")],
           *PACKAGES]
    if constraints:
        cmd[4:4] = ["-c", str(constraints)]
    subprocess.run(cmd, check=True)
    done.touch()


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--arch", default="arm64", choices=sorted(CPUS))
    ap.add_argument("--suite", default="bookworm", help="bookworm (3.11) or trixie (3.13)")
    ap.add_argument("--python", default="3.11", help="the suite's Python version")
    ap.add_argument("--constraints", type=Path,
                    help="pin the dependencies (a lock file whose pins have wheels there)")
    args = ap.parse_args(argv)
    cpu = CPUS[args.arch][0]
    base = cache_dir() / f"debian-{args.arch}-{args.suite}-py{args.python}"
    base.mkdir(parents=True, exist_ok=True)
    ensure_tools()
    make_root(base / "root", args.arch, args.suite, args.python)
    make_site(base / "site", cpu, args.python, args.constraints)
    print(base)
    return 0


if __name__ == "__main__":
    sys.exit(main())
