# One command each, on a fresh machine: `make demo` (the main job) and `make test`.
PYTHON ?= python3
VENV   ?= .venv
BIN    := $(VENV)/bin
DEPS   := $(VENV)/.deps-installed

.PHONY: test demo run bench install testdb clean compat wheel load

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

# The example job, on an embedded database of its own under example/output;
# DEMO_ARGS passes options to example/run_job.py (--parcels N, --output DIR, ...).
demo: install testdb
	$(BIN)/python example/run_job.py $(DEMO_ARGS)

run: demo

# The wheel a user installs, in dist/ (tests/test_wheel.py installs one into
# a clean venv as part of `make test`).
wheel: $(BIN)/python
	$(BIN)/python -m pip wheel --no-deps -w dist .

# Sixteen threads drive a job's road against the test database and a faulty
# local web site for LOAD_SECONDS (default 180); prints the accounting.
LOAD_SECONDS ?= 180
load: install testdb
	LOAD_SECONDS=$(LOAD_SECONDS) $(BIN)/python devtools/load.py $(LOAD_ARGS)

bench: install
	$(BIN)/python bench/bench.py $(BENCH_ARGS)

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
	rm -rf build dist $(VENV)
