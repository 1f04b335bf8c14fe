# One command each, on a fresh machine: `make test` and `make run`.
PYTHON ?= python3
VENV   ?= .venv
BIN    := $(VENV)/bin
DEPS   := $(VENV)/.deps-installed

.PHONY: test run bench install testdb clean

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

clean:
	rm -rf build $(VENV)
