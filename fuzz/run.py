"""Build the fuzzing build and run the fuzz targets.

    python fuzz/run.py [--seconds N | --runs N] [--seed N] [TARGET ...]
    python fuzz/run.py --coverage [TARGET ...]
    python fuzz/run.py TARGET --replay FILE [FILE ...]

Targets: clean_data, doc_hash, page_save, export (default: all); export takes a
twentieth of --runs, its inputs costing more. Each runs under
atheris (libFuzzer) on its seeds in fuzz/corpus/<target>; the inputs it finds
go to build/fuzz-corpus/<target> (kept between runs) or, with --runs, to a
fresh directory, so that a short run with a fixed seed is repeatable. A crash,
a difference from the oracle or an error the oracle does not raise fails the
run, and its input is left in build/fuzz-artifacts/.

The extension is built with clang, -fsanitize=fuzzer-no-link,address
(CMake option NX_FUZZ), so libFuzzer sees the coverage of the native code;
atheris's sanitizer runtime is preloaded. Without clang (which, as root, is
installed with apt-get first) or with --no-clang, the installed package is
fuzzed with coverage of the Python code only; under CI (the variable CI set)
a missing clang fails the run instead.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
TARGETS = ["clean_data", "doc_hash", "page_save", "export"]
# Inputs that cost more than the others (a file written and read back per
# export) get this share of --runs.
RUNS_SHARE = {"export": 20}
BUILD = ROOT / "build" / "fuzz"
CLANGS = ["clang++"] + [f"clang++-{v}" for v in range(21, 13, -1)]


def find_clang() -> str | None:
    return next((c for c in map(shutil.which, CLANGS) if c), None)


def install_clang() -> None:
    if os.geteuid() != 0 or not shutil.which("apt-get"):
        return
    print("fuzz: clang not found; installing it with apt-get", flush=True)
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    for cmd in (["apt-get", "update", "-qq"], ["apt-get", "install", "-y", "-qq", "clang", "libclang-rt-dev"]):
        if subprocess.run(cmd, env=env, stdout=subprocess.DEVNULL).returncode != 0:
            print(f"fuzz: {' '.join(cmd)} failed", flush=True)
            return


def build() -> bool:
    """The instrumented build in build/fuzz; False when there is no clang."""
    clang = find_clang()
    if not clang:
        install_clang()
        clang = find_clang()
    if not clang:
        return False
    # A change of compiler makes CMake drop its cache and, with it, the options
    # given here: start such a build afresh.
    cache = BUILD / "CMakeCache.txt"
    if cache.exists() and f"CMAKE_CXX_COMPILER:STRING={clang}\n" not in cache.read_text():
        shutil.rmtree(BUILD)
    configure = [
        "cmake",
        "-S",
        str(ROOT),
        "-B",
        str(BUILD),
        "-G",
        "Ninja",
        "-DNX_FUZZ=ON",
        f"-DCMAKE_CXX_COMPILER={clang}",
        "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["ninja", "-C", str(BUILD)], check=True, stdout=subprocess.DEVNULL)
    for module in (BUILD / "Nexra_publish").glob("Scrape_common*.so"):
        if b"__sanitizer_cov_8bit_counters_init" not in module.read_bytes():
            raise SystemExit(f"fuzz: {module} was built without coverage instrumentation")
    return True


def sanitizer_runtime() -> str:
    import atheris

    return str(Path(atheris.path()) / "asan_with_fuzzer.so")


def fuzzer(target: str, flags, instrumented: bool, log_path: Path) -> tuple[int, str]:
    """Run one target with libFuzzer flags; its exit code and output."""
    cmd = [
        sys.executable,
        str(HERE / f"fuzz_{target}.py"),
        *flags,
        "-max_len=4096",
        "-timeout=60",
        "-rss_limit_mb=4096",
        "-detect_leaks=0",
    ]
    env = dict(os.environ)
    if instrumented:
        clang_bin = Path(os.path.realpath(find_clang())).parent  # llvm-symbolizer is there
        env.update(
            NEXRA_FUZZ_BUILD=str(BUILD),
            LD_PRELOAD=sanitizer_runtime(),
            ASAN_OPTIONS="detect_leaks=0:allocator_may_return_null=1:quarantine_size_mb=64",
            PATH=f"{env.get('PATH', '')}{os.pathsep}{clang_bin}",
        )
    with open(log_path, "w") as log:
        code = subprocess.run(cmd, env=env, stdout=log, stderr=subprocess.STDOUT).returncode
    return code, log_path.read_text(errors="replace")


def run_target(target: str, args, instrumented: bool, work: Path) -> dict:
    corpus = work / target
    corpus.mkdir(parents=True, exist_ok=True)
    artifacts = ROOT / "build" / "fuzz-artifacts"
    artifacts.mkdir(parents=True, exist_ok=True)
    flags = [
        str(corpus),
        str(HERE / "corpus" / target),
        f"-seed={args.seed}",
        "-print_final_stats=1",
        f"-artifact_prefix={artifacts}/{target}-",
        f"-runs={max(1, args.runs // RUNS_SHARE.get(target, 1))}" if args.runs else f"-max_total_time={args.seconds}",
    ]
    if (HERE / f"{target}.dict").exists():
        flags.append(f"-dict={HERE / f'{target}.dict'}")
    log_path = ROOT / "build" / f"fuzz-{target}{'-short' if args.runs else ''}.log"
    started = time.monotonic()
    code, text = fuzzer(target, flags, instrumented, log_path)
    stats = dict(re.findall(r"^stat::(\w+):\s+(\d+)", text, re.M))
    done = re.findall(r"^#\d+\s+DONE\s+cov: (\d+) ft: (\d+) corp: (\d+)/", text, re.M)
    result = {
        "target": target,
        "ok": code == 0,
        "seconds": time.monotonic() - started,
        "runs": int(stats.get("number_of_executed_units", 0)),
        "cov": done[-1][0] if done else "-",
        "ft": done[-1][1] if done else "-",
        "corpus": done[-1][2] if done else "-",
        "log": log_path,
    }
    if code != 0:
        tail = text[text.rfind("=== Uncaught") if "=== Uncaught" in text else -4000 :]
        print(tail[-6000:], flush=True)
    return result


def native_coverage(target: str) -> None:
    """Edges of the native sources that the kept corpus and the seeds reach."""
    dirs = [d for d in (ROOT / "build" / "fuzz-corpus" / target, HERE / "corpus" / target) if d.is_dir()]
    log_path = ROOT / "build" / f"fuzz-{target}-coverage.log"
    code, text = fuzzer(target, [*map(str, dirs), "-runs=0", "-print_coverage=1"], True, log_path)
    if code != 0:
        print(f"fuzz: coverage run of {target} failed, see {log_path}")
        return
    # Per source file: edges reached, edges of the functions reached, functions reached.
    edges: dict[str, list[int]] = {}
    for hit, total, source in re.findall(
        r"^(?:UN)?COVERED_FUNC: hits: \d+ edges: (\d+)/(\d+) .* (\S+):\d+$", text, re.M
    ):
        if "/src/scrape_common/" in source and int(hit):
            e = edges.setdefault(Path(source).name, [0, 0, 0])
            e[0] += int(hit)
            e[1] += int(total)
            e[2] += 1
    files = ", ".join(f"{name} {h}/{t} in {n} functions" for name, (h, t, n) in sorted(edges.items()))
    print(f"fuzz {target:<11} native edges reached (of the functions reached): {files}", flush=True)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description="coverage-guided fuzzing against the oracles")
    p.add_argument("targets", nargs="*", help=f"of {', '.join(TARGETS)} (default: all)")
    p.add_argument("--seconds", type=int, default=600, help="time per target (default 600)")
    p.add_argument("--runs", type=int, default=0, help="inputs per target instead of a time")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument(
        "--coverage",
        action="store_true",
        help="only report the native edges that build/fuzz-corpus and the seeds reach",
    )
    p.add_argument(
        "--replay",
        nargs="+",
        metavar="FILE",
        default=[],
        help="run one target on these inputs only (a crash file, say)",
    )
    p.add_argument(
        "--no-clang", action="store_true", help="fuzz the installed package, on coverage of the Python code only"
    )
    args = p.parse_args(argv)
    unknown = set(args.targets) - set(TARGETS)
    if unknown:
        p.error(f"unknown targets {sorted(unknown)}; choose from {TARGETS}")

    instrumented = not args.no_clang and build()
    if not instrumented and not args.no_clang and os.environ.get("CI"):
        # Fuzzing without the coverage of the native code passes too easily.
        print("fuzz: no clang for the instrumented build; under CI that fails the run", flush=True)
        return 1
    if args.replay:
        if len(args.targets) != 1:
            p.error("--replay takes exactly one target")
        log_path = ROOT / "build" / f"fuzz-{args.targets[0]}-replay.log"
        code, text = fuzzer(args.targets[0], [os.path.abspath(f) for f in args.replay], instrumented, log_path)
        print(text[-8000:])
        return code
    if args.coverage:
        if not instrumented:
            p.error("--coverage needs the clang build")
        for t in args.targets or TARGETS:
            native_coverage(t)
        return 0
    if not instrumented:
        print(
            "fuzz: native code not instrumented (no clang, or --no-clang); coverage from Python code only", flush=True
        )
    with tempfile.TemporaryDirectory() as tmp:
        work = Path(tmp) if args.runs else ROOT / "build" / "fuzz-corpus"
        results = [run_target(t, args, instrumented, work) for t in args.targets or TARGETS]
    for r in results:
        print(
            f"fuzz {r['target']:<11} {'ok' if r['ok'] else 'FAILED':<6} {r['runs']:>9} runs"
            f" {r['seconds']:7.1f} s  cov {r['cov']:>5}  ft {r['ft']:>5}  corpus {r['corpus']:>5}"
            f"  ({r['log'].relative_to(ROOT)})",
            flush=True,
        )
    failed = sum(not r["ok"] for r in results)
    print(f"fuzz: {len(results) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
