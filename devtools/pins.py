"""The pins of constraints.txt that only one make target installs: the lines
under the marker `extra == "NAME"`, which a plain `pip install -r` skips.

    python devtools/pins.py NAME [--install DIR]

prints them, one per line; with --install, installs them (without their
dependencies: the rest comes from the lock as it is) into DIR, to be put
ahead of the environment's own packages with PYTHONPATH.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
from pathlib import Path

LOCK = Path(__file__).resolve().parents[1] / "constraints.txt"


def pins(extra: str) -> list[str]:
    """The `name==version` pins of constraints.txt under `extra == "<extra>"`."""
    found = []
    for line in LOCK.read_text().splitlines():
        req, _, marker = line.partition(";")
        if marker.strip() == f'extra == "{extra}"':
            found.append(req.strip())
    if not found:
        raise SystemExit(f"no pins under extra == {extra!r} in {LOCK}")
    return found


def install(extra: str, target: str | None = None) -> None:
    """pip install the pins of `extra` without dependencies: into the running
    environment, or into the directory `target` (replacing the versions it
    holds of them)."""
    args = [sys.executable, "-m", "pip", "install", "-q", "--no-deps"]
    if target is not None:
        args += ["--upgrade", "--target", target]
    subprocess.run(args + pins(extra), check=True)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("extra")
    parser.add_argument("--install", metavar="DIR")
    args = parser.parse_args(argv)
    if args.install:
        install(args.extra, args.install)
    else:
        print("\n".join(pins(args.extra)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
