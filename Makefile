# One command each, on a fresh machine: `make test` and `make run`.
PYTHON ?= python3
VENV   ?= .venv
BIN    := $(VENV)/bin
DEPS   := $(VENV)/.deps-installed

.PHONY: test run bench install testdb clean compat fuzz fuzz-short

$(BIN)/python:
	$(PYTHON) -m venv $(VENV)

# The pinned runtime and test packages (pyproject.toml), once per change of it.
$(DEPS): pyproject.toml | $(BIN)/python
	$(BIN)/python -m pip install -q --upgrade pip
	$(BIN)/python -m pip install -q ".[test]"
	touch $@

# Build and install the package itself, as a user's `pip install .` does.
install: $(DEPS)
	$(BIN)/python -m pip install -q --no-deps --force-reinstall .

# The test database server (FerretDB), built once and cached.
testdb: $(BIN)/python
	$(BIN)/python devtools/testdb.py build

test: install testdb
	$(BIN)/python -m pytest $(PYTEST_ARGS)

# The example job, on an embedded database of its own.
run: install testdb
	$(BIN)/python example/run_job.py

bench: install
	$(BIN)/python bench/bench.py $(BENCH_ARGS)

# Fuzzing (fuzz/run.py): the packages of the `fuzz` extra, then a clang build
# with libFuzzer coverage; `fuzz` runs each target FUZZ_SECONDS, `fuzz-short`
# FUZZ_RUNS inputs per target with a fixed seed (part of CI).
FUZZ_DEPS    := $(VENV)/.fuzz-deps-installed
FUZZ_SECONDS ?= 600
FUZZ_RUNS    ?= 20000
FUZZ_SEED    ?= 1
$(FUZZ_DEPS): pyproject.toml | $(DEPS)
	$(BIN)/python -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["fuzz"]))' > $(VENV)/fuzz-requirements.txt
	$(BIN)/python -m pip install -q -r $(VENV)/fuzz-requirements.txt
	touch $@

fuzz: install $(FUZZ_DEPS)
	$(BIN)/python fuzz/run.py --seconds $(FUZZ_SECONDS) --seed $(FUZZ_SEED) $(FUZZ_TARGETS)

fuzz-short: install $(FUZZ_DEPS)
	$(BIN)/python fuzz/run.py --runs $(FUZZ_RUNS) --seed $(FUZZ_SEED) $(FUZZ_TARGETS)

# Build against every other interpreter pyenv has (3.8 and newer) and smoke-test
# the build; where the pinned packages install (3.11+), `make test` with
# PYTHON=<that interpreter> VENV=.venv-<version> runs the whole suite.
COMPAT_PYTHONS ?= $(wildcard $(HOME)/.pyenv/versions/3.*/bin/python)
compat:
	@set -e; tmp=$$(mktemp -d); printf 'a = 1\n' > $$tmp/config.py; printf '{"c": 3}' > $$tmp/config.json; \
	for py in $(COMPAT_PYTHONS); do \
	  $$py -c 'import sys; sys.exit(sys.version_info < (3, 8))' || continue; \
	  v=$$($$py -c 'import sys; print("%d.%d" % sys.version_info[:2])'); \
	  cmake -S . -B build/compat-$$v -G Ninja -DPython_EXECUTABLE=$$py > /dev/null; \
	  ninja -C build/compat-$$v > /dev/null; \
	  (cd $$tmp && PYTHONPATH=$(CURDIR)/build/compat-$$v:$$tmp $$py $(CURDIR)/devtools/compat_smoke.py); \
	done; rm -rf $$tmp

clean:
	rm -rf build $(VENV)
