"""Check the wheels and the sdist in a directory (what `make wheels` wrote):

    python devtools/check_wheels.py DIST [--tree 3.11=DIR ...] [--no-sdist]

(--tree names a Debian arm64 tree; by default devtools/debian_tree.py makes or
finds the one of the wheel's version.)

For each wheel:
- `auditwheel show` finds it consistent with manylinux_2_17 for its processor,
  and its name carries that tag;
- each module needs no library but glibc's own (no C++ runtime: it is linked
  in), no symbol version newer than GLIBC_2.17 and none of another library, and
  leaves no symbol unresolved but the interpreter's (Py*, _Py*): a glibc function
  newer than 2.17 would show up there;
- x86-64: installed with its dependencies into a fresh venv of its interpreter
  (from pyenv, or for 3.14 and 3.15 Debian sid's, run natively through
  chroot), it runs devtools/wheel_smoke.py against a test database;
- aarch64: installed for that platform (pip --platform) beside the
  dependencies of the Debian arm64 tree DIR (devtools/debian_tree.py), the same
  job runs under qemu-aarch64 with the tree's interpreter.
The sdist is built and installed from source into a fresh venv, and imported.
Prints one line per check with its time; exits non-zero on the first failure."""

from __future__ import annotations

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

from elftools.elf.elffile import ELFFile
from elftools.elf.dynamic import DynamicSection
from elftools.elf.gnuversions import GNUVerNeedSection

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT))
from devtools.testdb import TestDB  # noqa: E402
from devtools.debian_tree import merged_usr_links  # noqa: E402
from devtools.wheel import arm64_tree, python_of  # noqa: E402

GLIBC_LIBS = {
    "libc.so.6",
    "libm.so.6",
    "libpthread.so.0",
    "libdl.so.2",
    "librt.so.1",
    "ld-linux-x86-64.so.2",
    "ld-linux-aarch64.so.1",
}
NEWEST_GLIBC = (2, 17)
# Weak references that may stay unresolved: the C runtime's start files', and
# glibc 2.18's thread_local destructor hook, which the linked-in C++ runtime
# uses when the system has it and otherwise replaces with its own.
RUNTIME_WEAK = {
    "__gmon_start__",
    "_ITM_registerTMCloneTable",
    "_ITM_deregisterTMCloneTable",
    "__cxa_finalize",
    "__cxa_thread_atexit_impl",
}


def run(cmd, **kwargs) -> str:
    proc = subprocess.run([str(c) for c in cmd], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kwargs)
    if proc.returncode:
        raise SystemExit(f"FAILED: {' '.join(map(str, cmd))}\n{proc.stdout}")
    return proc.stdout


def module_faults(name: str, data: bytes) -> list[str]:
    """What in one shared object the manylinux_2_17 policy forbids."""
    import io

    elf = ELFFile(io.BytesIO(data))
    faults = []
    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags():
                if tag.entry.d_tag == "DT_NEEDED" and tag.needed not in GLIBC_LIBS:
                    faults.append(f"{name} needs {tag.needed}")
        elif isinstance(section, GNUVerNeedSection):
            for need, aux in section.iter_versions():
                for version in aux:
                    m = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?", version.name)
                    if not m:
                        faults.append(f"{name} asks {need.name} for {version.name}")
                    elif (int(m[1]), int(m[2])) > NEWEST_GLIBC:
                        faults.append(f"{name} needs {version.name}")
    dynsym = elf.get_section_by_name(".dynsym")
    versions = elf.get_section_by_name(".gnu.version")
    for index, symbol in enumerate(dynsym.iter_symbols()):
        if symbol["st_shndx"] != "SHN_UNDEF" or not symbol.name:
            continue
        versioned = versions is not None and versions.get_symbol(index).entry["ndx"] not in (
            "VER_NDX_LOCAL",
            "VER_NDX_GLOBAL",
        )
        weak = symbol["st_info"]["bind"] == "STB_WEAK"
        if not versioned and not symbol.name.startswith(("Py", "_Py")) and not (weak and symbol.name in RUNTIME_WEAK):
            faults.append(f"{name} leaves {symbol.name} unresolved")
    return faults


def check_tag(wheel: Path, arch: str) -> None:
    plat = f"manylinux_2_17_{arch}"
    assert plat in wheel.name, f"{wheel.name} is not tagged {plat}"
    shown = " ".join(run([sys.executable, "-m", "auditwheel", "show", wheel]).split())
    assert f'consistent with the following platform tag: "{plat}"' in shown, shown
    with zipfile.ZipFile(wheel) as z:
        modules = [n for n in z.namelist() if n.endswith(".so")]
        names = sorted(Path(n).name.split(".")[0] for n in modules)
        assert names == ["Scrape_common", "configuration", "durable", "tables", "workqueue"], modules
        faults = [f for n in modules for f in module_faults(n, z.read(n))]
    assert not faults, "\n".join(faults)


def job_dir(base: Path, uri: str) -> Path:
    job = base / "job"
    job.mkdir(parents=True)
    settings = {
        "connection_string": uri,
        "data_base": "wheel_smoke",
        "input_table": "input",
        "pl_input_table": "pl_input",
        "vantelo_path": str(job),
        "pagesave_path": str(job / "pages"),
    }
    (job / "config.py").write_text("".join(f"{k} = {v!r}\n" for k, v in settings.items()))
    return job


def smoke(cmd: list, job: Path, pythonpath: list) -> dict:
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "NEXRA_CONFIG", "PYTHONHOME", "VIRTUAL_ENV")}
    env["PYTHONPATH"] = os.pathsep.join([str(job), *map(str, pythonpath)])
    out = run([*cmd, ROOT / "devtools" / "wheel_smoke.py", ROOT], cwd=job, env=env)
    return json.loads(out.strip().splitlines()[-1])


def check_x86_64(wheel: Path, tag: str, base: Path, uri: str) -> dict:
    version = f"{tag[2]}.{tag[3:]}"
    python = python_of(version)
    if python is None:
        raise SystemExit(f"no CPython {version} (pyenv or Debian sid) for {wheel.name}")
    run([*python, "-m", "venv", base / "venv"])
    job = job_dir(base, uri)
    # The fresh venv's interpreter, run as its base is (natively, or through
    # chroot with the job directory as its working directory): the command's
    # last word is the interpreter.
    venv_python = python_of(version, job)
    venv_python[-1] = str(base / "venv" / "bin" / "python")
    run([*venv_python, "-m", "pip", "install", "-q", "--no-compile", "--disable-pip-version-check", wheel])
    return smoke(venv_python, job, [])


def check_aarch64(wheel: Path, tag: str, base: Path, uri: str, trees: dict) -> dict:
    version = f"{tag[2]}.{tag[3:]}"
    if version in trees:
        tree = Path(trees[version])
        merged_usr_links(tree / "root")
    else:
        tree = arm64_tree(version)
    target = base / "site"
    # pip refuses a wheel whose tags that platform and interpreter do not accept.
    run(
        [
            sys.executable,
            "-m",
            "pip",
            "install",
            "-q",
            "--no-deps",
            "--target",
            target,
            "--platform",
            "manylinux2014_aarch64",
            "--python-version",
            version,
            "--implementation",
            "cp",
            "--only-binary=:all:",
            wheel,
        ]
    )
    root = tree / "root"
    cmd = ["qemu-aarch64", "-L", root, root / "usr" / "bin" / f"python{version}"]
    return smoke(cmd, job_dir(base, uri), [target, tree / "site"])


def check_sdist(sdist: Path, base: Path) -> dict:
    """Built from source (with this machine's compiler) into a fresh venv, without
    the dependencies: the modules are there, and the one that needs none of
    them imports."""
    run([sys.executable, "-m", "venv", base / "venv"])
    python = base / "venv" / "bin" / "python"
    run([python, "-m", "pip", "install", "-q", "--no-deps", "--no-cache-dir", "--no-binary", "Nexra_publish", sdist])
    out = run(
        [
            python,
            "-c",
            "import pathlib, Nexra_publish.configuration as c; "
            "print(*sorted(p.name for p in pathlib.Path(c.__file__).parent.glob('*.so')))",
        ],
        cwd=job_dir(base, "mongodb://127.0.0.1:1/"),
    )
    modules = sorted(name.split(".")[0] for name in out.split())
    assert modules == ["Scrape_common", "configuration", "durable", "tables", "workqueue"], out
    return {"modules": out.split()}


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("dist", type=Path)
    ap.add_argument(
        "--tree",
        action="append",
        default=[],
        metavar="VERSION=DIR",
        help="the Debian arm64 tree of that CPython version",
    )
    ap.add_argument("--no-sdist", action="store_true")
    args = ap.parse_args(argv)
    trees = dict(t.split("=", 1) for t in args.tree)
    # Absolute: a smoke job's pip runs in the job's directory (through chroot
    # for a Debian sid interpreter), where a relative path names nothing.
    args.dist = args.dist.resolve()
    wheels = sorted(args.dist.glob("*.whl"))
    if not wheels and not list(args.dist.glob("*.tar.gz")):
        raise SystemExit(f"no wheels or sdist in {args.dist}")
    with tempfile.TemporaryDirectory() as tmp, TestDB(Path(tmp) / "db") as uri:
        for number, wheel in enumerate(wheels):
            start = time.time()
            tag = wheel.name.split("-")[2]
            arch = "aarch64" if wheel.name.endswith("_aarch64.whl") else "x86_64"
            check_tag(wheel, arch)
            base = Path(tmp) / f"w{number}"
            if arch == "x86_64":
                result = check_x86_64(wheel, tag, base, uri)
            else:
                result = check_aarch64(wheel, tag, base, uri, trees)
            print(
                f"ok  {wheel.name} ({wheel.stat().st_size // 1024} KiB): {json.dumps(result)}, "
                f"checked in {time.time() - start:.0f} s",
                flush=True,
            )
        for sdist in [] if args.no_sdist else sorted(args.dist.glob("*.tar.gz")):
            start = time.time()
            result = check_sdist(sdist, Path(tmp) / "sdist")
            print(
                f"ok  {sdist.name}: builds and installs from source, {json.dumps(result)}, "
                f"in {time.time() - start:.0f} s",
                flush=True,
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
