"""The embedded database of the tests and the example job.

A MongoDB-wire-compatible server: FerretDB v1.24.2 with its SQLite backend,
embedded in the small Go program of devtools/ferretdb, built once with the
machine's Go from the module proxy and cached.

    python devtools/testdb.py build                # build (or reuse) the server binary
    python devtools/testdb.py run --data DIR       # serve until Ctrl-C; prints the URI
    python devtools/testdb.py run --port 27017 --data DIR

From Python: ``with TestDB(data_dir) as uri: ...``.
"""

from __future__ import annotations

import argparse
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import threading
from pathlib import Path

SOURCE_DIR = Path(__file__).resolve().parent / "ferretdb"
FERRETDB_VERSION = "v1.24.2"


def cache_dir() -> Path:
    base = os.environ.get("NEXRA_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache"), "nexra-publish"
    )
    return Path(base)


def _source_digest() -> str:
    h = hashlib.sha256()
    for name in ("main.go", "go.mod", "go.sum"):
        h.update((SOURCE_DIR / name).read_bytes())
    return h.hexdigest()[:16]


def binary_path() -> Path:
    return cache_dir() / f"testdb-{FERRETDB_VERSION}-{_source_digest()}"


def build(quiet: bool = False) -> Path:
    """Build the server binary unless a build of the same sources is cached."""
    target = binary_path()
    if target.exists():
        return target
    go = shutil.which("go") or "/usr/local/go/bin/go"
    if not os.path.exists(go):
        raise RuntimeError("Go is needed to build the test database (FerretDB)")
    target.parent.mkdir(parents=True, exist_ok=True)
    tmp = target.with_name(target.name + f".tmp{os.getpid()}")
    if not quiet:
        print(f"building FerretDB {FERRETDB_VERSION} test server -> {target}", file=sys.stderr)
    subprocess.run([go, "build", "-o", str(tmp), "."], cwd=SOURCE_DIR, check=True)
    os.replace(tmp, target)
    return target


class TestDB:
    """A running server on loopback with its data in `data_dir`."""

    __test__ = False  # not a pytest class

    def __init__(self, data_dir: str | os.PathLike, port: int = 0, host: str = "127.0.0.1"):
        self.data_dir = Path(data_dir)
        self.address = f"{host}:{port}"
        self.proc: subprocess.Popen | None = None
        self.uri: str | None = None

    def start(self, timeout: float = 60.0) -> str:
        binary = build(quiet=True)
        self.data_dir.mkdir(parents=True, exist_ok=True)
        self.proc = subprocess.Popen(
            [str(binary), "-listen", self.address, "-data", str(self.data_dir)],
            stdout=subprocess.PIPE,
            stdin=subprocess.DEVNULL,
            text=True,
        )
        line: list[str] = []
        reader = threading.Thread(target=lambda: line.append(self.proc.stdout.readline()))
        reader.daemon = True
        reader.start()
        reader.join(timeout)
        if not line or not line[0].startswith("mongodb://"):
            self.stop()
            raise RuntimeError(f"test database did not start (got {line!r})")
        self.uri = line[0].strip()
        return self.uri

    def stop(self) -> None:
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc and self.proc.stdout:
            self.proc.stdout.close()
        self.proc = None

    def __enter__(self) -> str:
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("build", help="build the server binary (cached)")
    run = sub.add_parser("run", help="serve until interrupted")
    run.add_argument("--port", type=int, default=0)
    run.add_argument("--host", default="127.0.0.1")
    run.add_argument("--data", required=True, help="data directory")
    args = parser.parse_args(argv)

    if args.command == "build":
        print(build())
        return 0

    db = TestDB(args.data, port=args.port, host=args.host)
    print(db.start(), flush=True)
    stop = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.set())
    try:
        while not stop.wait(0.5):
            if db.proc is None or db.proc.poll() is not None:
                return 1
    finally:
        db.stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
