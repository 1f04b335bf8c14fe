"""Compile every C++ source under src/ for the targets this machine cannot run
natively (`make check-targets`): macOS on x86-64 and arm64, and arm64 Linux,
with zig's clang and its bundled system headers, against this interpreter's
Python headers (enough for a compile check), each to a throwaway object file.
Prints one line per target and fails on the first compiler error, which it
shows. The first run for a target also builds zig's C++ runtime for it, once
(kept in zig's cache).

    python devtools/check_targets.py [TARGET ...]
"""

from __future__ import annotations

import concurrent.futures
import functools
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
TARGETS = ["x86_64-macos", "aarch64-macos", "aarch64-linux-gnu"]
def compile_one(target: str, source: Path, generated: Path) -> str | None:
    # (zig, given -fsyntax-only, fails to move the object file it did not write.)
    obj = generated / f"{target}-{source.stem}.o"
    cmd = [sys.executable, "-m", "ziglang", "c++", "-target", target, "-std=c++17",
           "-O0", "-c", "-o", str(obj), "-Wall", "-Wextra",
           "-I", sysconfig.get_paths()["include"], "-I", str(generated), str(source)]
    r = subprocess.run(cmd, capture_output=True, text=True)
    obj.unlink(missing_ok=True)
    if r.returncode != 0:
        return f"{target}: {source.relative_to(ROOT)}\n" + (r.stdout + r.stderr)[-4000:]
    return None


def main(argv=None) -> int:
    targets = (argv if argv is not None else sys.argv[1:]) or TARGETS
    generated = ROOT / "build" / "check-targets"
    generated.mkdir(parents=True, exist_ok=True)
    subprocess.run([sys.executable, str(ROOT / "tools" / "gen_html_tables.py"),
                    str(generated / "clean_html_tables.h")], check=True)
    sources = sorted((ROOT / "src").rglob("*.cpp"))
    started = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        for target in targets:
            t0 = time.monotonic()
            for failure in pool.map(functools.partial(compile_one, target, generated=generated), sources):
                if failure:
                    print(failure)
                    return 1
            print(f"{target}: {len(sources)} sources compile ({time.monotonic() - t0:.0f} s)")
    print(f"check-targets: {len(targets)} targets in {time.monotonic() - started:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
