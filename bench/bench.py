"""Benchmarks: each native function of Nexra_publish against an interpreted
baseline of the same behaviour, on the same inputs, in this process.

    python bench/bench.py [--quick] [NAME ...]

Every bench/bench_*.py module offers `run(sc, report, quick)`; it calls
`report(name, native_seconds, baseline_seconds, target_ratio)` per case.
Ratios are baseline time / native time (higher is faster).
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path[:0] = [str(HERE), str(ROOT)]


def load_scrape_common(job: Path):
    """Import Scrape_common with a job whose database is never contacted."""
    job.mkdir(parents=True, exist_ok=True)
    (job / "config.py").write_text(
        "connection_string = 'mongodb://127.0.0.1:1/?serverSelectionTimeoutMS=100'\n"
        "data_base = 'bench'\ninput_table = 'i'\npl_input_table = 'p'\n"
        f"vantelo_path = {str(job)!r}\npagesave_path = {str(job / 'pages')!r}\n"
    )
    os.environ["NEXRA_CONFIG"] = str(job / "absent.json")
    sys.path.insert(0, str(job))
    import Nexra_publish.Scrape_common as sc

    return sc


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="native versus interpreted baseline")
    parser.add_argument("names", nargs="*", help="bench modules to run (default: all)")
    parser.add_argument("--quick", action="store_true", help="smaller inputs, fewer rounds")
    args = parser.parse_args(argv)

    with tempfile.TemporaryDirectory() as tmp:
        sc = load_scrape_common(Path(tmp) / "job")
        rows = []

        def report(name, native, baseline, target=None):
            ratio = baseline / native if native > 0 else float("inf")
            ok = "" if target is None else ("ok" if ratio >= target else "BELOW TARGET")
            rows.append((name, native, baseline, ratio, target, ok))
            print(
                f"{name:<48} native {native * 1e3:10.2f} ms  baseline {baseline * 1e3:10.2f} ms"
                f"  ratio {ratio:7.1f}x" + (f"  (target {target}x: {ok})" if target else ""),
                flush=True,
            )

        mods = sorted(p.stem for p in HERE.glob("bench_*.py"))
        for mod in mods:
            if args.names and mod.removeprefix("bench_") not in args.names and mod not in args.names:
                continue
            importlib.import_module(mod).run(sc, report, args.quick)
        below = [r for r in rows if r[5] == "BELOW TARGET"]
        print(f"{len(rows)} cases, {len(below)} below target")
        return 1 if below else 0


if __name__ == "__main__":
    sys.exit(main())
