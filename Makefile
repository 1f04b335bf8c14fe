# One command each, on a fresh machine: `make demo` (the main job) and `make test`.
PYTHON ?= python3
VENV   ?= .venv
BIN    := $(VENV)/bin
# The exact versions installed into $(VENV): constraints.txt, or the floors of
# the dependency ranges in constraints-oldest.txt (`make compat`).
LOCK   ?= constraints.txt
DEPS   := $(VENV)/.deps-installed
INSTALLED := $(VENV)/.package-installed

.PHONY: soffice test bench-scrapy test-scrapy-oldest demo-scrapy test-queue-long test-3.14 test-3.15 bench-3.14 bench-3.15 wheels-shipped test-asan test-scalar test-arm64 check-targets demo run bench install testdb clean \
        compat compat-build wheel wheels check-wheels load fuzz fuzz-short lint ci-setup \
        model-check model-check-long

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)

# The locked runtime and test packages, once per change of the lock file.
$(DEPS): $(LOCK) | $(BIN)/python
	$(BIN)/python -m pip install -q --upgrade pip
	$(BIN)/python -m pip install -q -r $(LOCK)
	touch $@

# The parts of pyproject.toml that the build reads, rewritten only when they
# change: an edit of the tools' settings ([tool.pytest...], [tool.ruff...])
# rebuilds nothing.
BUILD_CONFIG := $(VENV)/.build-config
$(BUILD_CONFIG): pyproject.toml | $(BIN)/python
	@$(BIN)/python -c 'import re, sys; \
	  keep = "".join(s for s in re.split(r"(?m)^(?=\[)", open("pyproject.toml").read()) \
	                 if not re.match(r"\[tool\.(pytest|ruff)", s)); \
	  old = open(sys.argv[1]).read() if __import__("os").path.exists(sys.argv[1]) else None; \
	  old == keep or open(sys.argv[1], "w").write(keep)' $@

# Build and install the package itself, as a user's `pip install .` does, when
# its sources, build files or dependencies changed since the last install
# (directories are listed too, so an added or removed file counts). The build
# backend comes from the lock file too.
$(INSTALLED): $(DEPS) CMakeLists.txt $(BUILD_CONFIG) $(shell find src tools -print)
	PIP_CONSTRAINT=$(CURDIR)/$(LOCK) $(BIN)/python -m pip install -q --no-deps --force-reinstall $(BUILD_ARGS) .
	touch $@

install: $(INSTALLED)

# What the lanes of .ci/run share, made before they start side by side: .venv
# with the package, the test database, LibreOffice, and the tools that make
# and run the Debian trees (apt-get runs once, not in two lanes at a time).
ci-setup: install testdb soffice
	$(BIN)/python -c 'import devtools.debian_tree as t; t.ensure_tools()'

# The test database server (FerretDB), built once and cached.
testdb: $(BIN)/python
	$(BIN)/python devtools/testdb.py build

# LibreOffice, the third reader of the exported workbooks in the tests (that test
# is skipped without it, except under CI): installed from Debian's packages when
# missing and root. A failed attempt is not repeated at every `make test` (each
# would cost an apt-get update) while build/.soffice-unavailable exists; under
# CI (the variable CI set) it is always tried, and a failure stops the run.
soffice:
	@command -v soffice > /dev/null || [ "$$(id -u)" != 0 ] || \
	  { [ -e build/.soffice-unavailable ] && [ -z "$$CI" ]; } || \
	  (apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
	    --no-install-recommends libreoffice-calc-nogui) > /dev/null 2>&1 || \
	  { if [ -n "$$CI" ]; then echo "LibreOffice could not be installed, and CI needs it"; exit 1; fi; \
	    mkdir -p build && touch build/.soffice-unavailable; \
	    echo "LibreOffice could not be installed: the workbook test that needs it is skipped"; }

# (SOFFICE= leaves the LibreOffice step out: the Debian sid tree below has no
# LibreOffice, and no apt to fetch it with.)
SOFFICE ?= soffice
test: install testdb $(SOFFICE)
	$(BIN)/python -m pytest $(PYTEST_ARGS)

# The work queue's state machine test at length: QUEUE_EXAMPLES examples of up
# to QUEUE_STEPS steps each (`make test` runs a bounded, derandomized share:
# 100 of 25), then the fixed step sequences.
QUEUE_EXAMPLES ?= 1000
QUEUE_STEPS    ?= 40
test-queue-long: install testdb
	NEXRA_QUEUE_EXAMPLES=$(QUEUE_EXAMPLES) NEXRA_QUEUE_STEPS=$(QUEUE_STEPS) \
	  $(BIN)/python -m pytest tests/test_workqueue_stateful.py $(PYTEST_ARGS)

# The whole suite on CPython 3.14 or 3.15, which neither pyenv nor Debian 12 has:
# the interpreters of a Debian sid tree of this machine's processor, with its gcc
# and CMake (devtools/debian_tree.py; made once, cached under ~/.cache/nexra-publish),
# run natively through chroot (as root), in .venv-3.14 or .venv-3.15, with the
# dependencies' wheels for that version (constraints.txt). `make bench-3.15` runs
# the benchmarks there.
SID_PYTHONS := 3.14 3.15
SID_RUN = $(BIN)/python devtools/debian_tree.py --arch amd64 --suite sid \
  $(SID_PYTHONS:%=--python %) --run
$(SID_PYTHONS:%=test-%): $(DEPS) testdb
	$(SID_RUN) $(MAKE) test PYTHON=python$(@:test-%=%) VENV=.venv-$(@:test-%=%) SOFFICE= \
	  PYTEST_ARGS="$(PYTEST_ARGS)"
$(SID_PYTHONS:%=bench-%): $(DEPS)
	$(SID_RUN) $(MAKE) bench PYTHON=python$(@:bench-%=%) VENV=.venv-$(@:bench-%=%) \
	  BENCH_ARGS="$(BENCH_ARGS)"

# The whole suite on a build with AddressSanitizer and UndefinedBehaviorSanitizer,
# in a virtual environment and build directory of its own. The interpreter is not
# sanitized, so the ASan runtime is preloaded; PYTHONMALLOC=malloc lets ASan see
# the interpreter's own allocations; fresh interpreters the tests start inherit
# all of it (libubsan comes in with the modules). Leak detection is off: extension
# modules of the pinned packages leave blocks behind at exit; the memory-growth
# tests count the live heap instead. Stack use after return, static initialisation
# order and unterminated strings passed to libc are checked too.
# Every report goes to a file under $(SAN_LOGS) (devtools/sanitize/sitecustomize.py
# does that for UBSan), so a report from a process whose failure a test expected,
# or whose output it captured, still fails the run.
ASAN_VENV := .venv-asan
SAN_LOGS  := build/sanitizer-logs
ASAN_OPTS := detect_leaks=0:detect_stack_use_after_return=1:check_initialization_order=1
ASAN_OPTS := $(ASAN_OPTS):strict_init_order=1:strict_string_checks=1
SAN_ENV = LD_PRELOAD=$$($(CXX) -print-file-name=libasan.so) PYTHONMALLOC=malloc \
  PYTHONPATH=$(CURDIR)/devtools/sanitize \
  ASAN_OPTIONS=$(ASAN_OPTS):log_path=$(CURDIR)/$(SAN_LOGS)/report \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$(CURDIR)/$(SAN_LOGS)/report
test-asan:
	$(MAKE) install testdb VENV=$(ASAN_VENV) \
	  BUILD_ARGS="-Cbuild-dir=build/asan -Ccmake.define.NEXRA_SANITIZE=ON -Cinstall.strip=false"
	rm -rf $(SAN_LOGS) && mkdir -p $(SAN_LOGS)
	@status=0; $(SAN_ENV) $(ASAN_VENV)/bin/python -m pytest $(PYTEST_ARGS) || status=$$?; \
	if [ -n "$$(ls $(SAN_LOGS))" ]; then \
	  cat $(SAN_LOGS)/*; echo "make test-asan: sanitizer reports above (kept in $(SAN_LOGS))"; exit 1; \
	fi; exit $$status

# The scalar build: the plain loops that targets without SSE2 or NEON run
# (NEXRA_SIMD=scalar), in a venv and build directory of its own, through the
# differential tests of clean_data, doc_hash and is_valid_page_save (part of CI);
# test_clean_data.py checks that the module runs the plain loops indeed.
SCALAR_VENV  := .venv-scalar
SCALAR_TESTS ?= tests/test_clean_data.py tests/test_doc_hash.py tests/test_storage.py
test-scalar:
	$(MAKE) install testdb VENV=$(SCALAR_VENV) \
	  BUILD_ARGS="-Cbuild-dir=build/scalar -Ccmake.define.NEXRA_SIMD=scalar"
	NEXRA_EXPECT_KERNELS=scalar $(SCALAR_VENV)/bin/python -m pytest -q -m "not slow" $(SCALAR_TESTS) $(PYTEST_ARGS)

# The package built for arm64 Linux with Debian's cross compiler and tested
# under qemu-user with the arm64 Python 3.11 of a Debian 12 tree, in one
# emulated process (devtools/cross_test.py; the tree and its packages are
# cached under ~/.cache/nexra-publish); part of CI. ARM64_ARGS="--suite
# trixie --python 3.13" takes Debian 13's Python instead, built with this
# machine's pyenv CPython 3.13 (far slower under qemu: not in CI).
ARM64_ARGS ?= --suite bookworm --python 3.11 --constraints constraints.txt
test-arm64: $(DEPS) testdb
	$(BIN)/python devtools/cross_test.py $(ARM64_ARGS) $(PYTEST_ARGS)

# Every source compiles for macOS (x86-64, arm64) and arm64 Linux, with zig
# (devtools/check_targets.py; part of CI).
check-targets: $(DEPS)
	$(BIN)/python devtools/check_targets.py

# The example job, on an embedded database of its own under example/output;
# DEMO_ARGS passes options to example/run_job.py (--parcels N, --output DIR, ...).
demo: install testdb
	$(BIN)/python example/run_job.py $(DEMO_ARGS)

run: demo

# The example job's Scrapy variant (example/run_scrapy_job.py): two crawlers of
# example/scrapy_job on one queue of an embedded database, over the item site;
# output under example/output-scrapy. DEMO_SCRAPY_ARGS passes options.
demo-scrapy: install testdb
	$(BIN)/python example/run_scrapy_job.py $(DEMO_SCRAPY_ARGS)

# LeasedScheduler beside scrapy-redis on the same crawl and kill, then its
# throughput against Scrapy's memory scheduler (devtools/bench_scrapy.py). Only
# this target installs scrapy-redis and redis-py (pinned in the lock file) and
# Debian's redis-server.
bench-scrapy: install testdb
	$(BIN)/python devtools/bench_scrapy.py $(BENCH_SCRAPY_ARGS)

# The Scrapy tests, the crawls included, on the oldest Scrapy the components
# support: its pins in the lock file (extra == "scrapy-oldest") installed into
# build/scrapy-oldest and put ahead of .venv's packages, which give the rest.
SCRAPY_OLDEST := build/scrapy-oldest
test-scrapy-oldest: install testdb $(SOFFICE)
	$(BIN)/python devtools/pins.py scrapy-oldest --install $(SCRAPY_OLDEST)
	PYTHONPATH=$(CURDIR)/$(SCRAPY_OLDEST) $(BIN)/python -m pytest tests/test_scrapy_scheduler.py \
		tests/test_scrapy_store.py tests/test_scrapy_exporters.py tests/test_scrapy_crawl.py $(PYTEST_ARGS)

# The wheel a user installs, in dist/: manylinux_2_17 for this machine's
# processor and .venv's interpreter, compiled by zig against glibc 2.17 and
# checked by auditwheel (devtools/wheel.py; tests/test_wheel.py installs one
# into a clean venv as part of `make test`).
wheel: $(DEPS)
	$(BIN)/python devtools/wheel.py dist

# Every wheel a user can install without a compiler, and the sdist, in dist/:
# x86-64 for each CPython 3.8+ that pyenv has and for Debian sid's 3.14 and 3.15,
# aarch64 (cross-compiled) for the arm64 Pythons of Debian 12 (3.11), 13 (3.13)
# and sid (3.14, 3.15); then each is checked (check-wheels). WHEELS_ARGS
# replaces the matrix, e.g. "--python 3.11 --aarch64 3.11" (see wheels-shipped).
WHEELS_ARGS ?= --matrix
wheels: $(DEPS) testdb
	rm -f dist/*.whl dist/*.tar.gz
	$(BIN)/python devtools/wheel.py dist $(WHEELS_ARGS)
	$(MAKE) check-wheels

# The wheels most jobs install, built with the release toolchain (zig, glibc
# 2.17, libc++ linked in) and checked as `make wheels` checks them, smoke jobs
# included (aarch64 under qemu): cp311 for x86-64 and aarch64, and the newest
# interpreter's x86-64 wheel (part of CI).
SHIPPED_ARGS ?= --python 3.11 --aarch64 3.11 --python 3.15
wheels-shipped:
	$(MAKE) wheels WHEELS_ARGS="$(SHIPPED_ARGS)"

# Each wheel in dist/: its tag and the symbols and libraries it needs, then a
# smoke job in a fresh venv of its interpreter (aarch64: under qemu-aarch64 with
# the Debian tree's Python); the sdist builds from source and imports.
check-wheels: $(DEPS) testdb
	$(BIN)/python devtools/check_wheels.py dist

# Sixteen threads drive a job's road against the test database and a faulty
# local web site for LOAD_SECONDS (default 180); prints the accounting.
LOAD_SECONDS ?= 180
load: install testdb
	LOAD_SECONDS=$(LOAD_SECONDS) $(BIN)/python devtools/load.py $(LOAD_ARGS)

# The packages of the `bench` extra come with the lock file (a case whose
# package is missing says so).
bench: install
	$(BIN)/python bench/bench.py $(BENCH_ARGS)

# Fuzzing (fuzz/run.py): atheris (the `fuzz` extra, pinned in the lock file),
# then a clang build with libFuzzer coverage; `fuzz` runs each target
# FUZZ_SECONDS, `fuzz-short` FUZZ_RUNS inputs per target with a fixed seed
# (part of CI).
FUZZ_SECONDS ?= 600
FUZZ_RUNS    ?= 20000
FUZZ_SEED    ?= 1
fuzz: install
	$(BIN)/python fuzz/run.py --seconds $(FUZZ_SECONDS) --seed $(FUZZ_SEED) $(FUZZ_TARGETS)

fuzz-short: install
	$(BIN)/python fuzz/run.py --runs $(FUZZ_RUNS) --seed $(FUZZ_SEED) $(FUZZ_TARGETS)

# The work queue's lease protocol as a model (model/, a stateright crate; cargo fetches
# its crates): every fault scenario explored exhaustively, then each behaviour the protocol
# replaced put back on the scenario that shows its fault, where it must fail with its own
# property (part of CI). The build is cached under ~/.cache/nexra-publish. model-check-long
# checks the deeper scenarios (a few minutes).
MODEL_TARGET ?= $(HOME)/.cache/nexra-publish/model-target
MODEL_CARGO  := cd model && CARGO_TARGET_DIR=$(MODEL_TARGET) cargo
model-check:
	$(MODEL_CARGO) test --release --locked -- --nocapture --test-threads 1

model-check-long:
	$(MODEL_CARGO) run --release --locked -- --all --long

# clang-format (layout), clang-tidy (fault checks) and ruff (Python), all in
# check mode, each timed (devtools/lint.py; the tools come with the lock file).
lint: $(DEPS)
	$(BIN)/python devtools/lint.py

# The whole suite on the oldest interpreter pyproject.toml declares, with the
# oldest versions its dependency ranges allow (constraints-oldest.txt), in a
# venv of its own (part of CI).
OLDEST_PYTHON ?= $(firstword $(wildcard $(HOME)/.pyenv/versions/3.8.*/bin/python) python3.8)
compat:
	$(MAKE) test PYTHON=$(OLDEST_PYTHON) VENV=.venv-oldest LOCK=constraints-oldest.txt

# Build against every other interpreter pyenv has (3.8 and newer) and smoke-test
# the build; `make test PYTHON=<that interpreter> VENV=.venv-<version>` runs the
# whole suite on one of 3.11 and newer (constraints.txt), `make compat` on 3.8.
COMPAT_PYTHONS ?= $(wildcard $(HOME)/.pyenv/versions/3.*/bin/python)
compat-build:
	@set -e; tmp=$$(mktemp -d); printf 'a = 1\n' > $$tmp/config.py; printf '{"c": 3}' > $$tmp/config.json; \
	for py in $(COMPAT_PYTHONS); do \
	  $$py -c 'import sys; sys.exit(sys.version_info < (3, 8))' || continue; \
	  v=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	  cmake -S . -B build/compat-$$v -G Ninja -DPython_EXECUTABLE=$$py > /dev/null; \
	  ninja -C build/compat-$$v > /dev/null; \
	  (cd $$tmp && PYTHONPATH=$(CURDIR)/build/compat-$$v:$$tmp $$py $(CURDIR)/devtools/compat_smoke.py); \
	done; rm -rf $$tmp

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) $(SCALAR_VENV) .venv-oldest $(SID_PYTHONS:%=.venv-%)
