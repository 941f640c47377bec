# Developer and user entry points. Every target does its own set-up.
SHELL := /bin/bash

# The first interpreter >= 3.12 found (python3 honours .python-version under pyenv).
BOOT_PYTHON := $(shell for p in python3 python3.12 python3.13 $$HOME/.pyenv/versions/3.1[23]*/bin/python3; do \
  command -v $$p >/dev/null 2>&1 && $$p -c 'import sys; sys.exit(sys.version_info < (3, 12))' 2>/dev/null \
  && { echo $$p; break; }; done)
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD ?= build/native
# scikit-build-core's build directory for `pip install .`; separate trees may build at once.
WHEEL_BUILD ?= build/wheel
JOBS ?= 2

.PHONY: all venv install native ctest pytest test demo format format-check clean

all: test

# Creates the venv, or recreates it when it is missing or older than 3.12; refreshes packages.
venv:
	@if [ -z "$(BOOT_PYTHON)" ]; then echo "error: no Python >= 3.12 found" >&2; exit 1; fi
	@if ! $(PY) -c 'import sys; sys.exit(sys.version_info < (3, 12))' 2>/dev/null; then \
	  rm -rf $(VENV) && $(BOOT_PYTHON) -m venv $(VENV); fi
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-build.txt -r requirements-test.txt

install: venv
	$(PY) -m pip install -q --no-build-isolation --force-reinstall --no-deps \
	  --config-settings=build-dir=$(WHEEL_BUILD) .

native: venv
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DTACITOR_BUILD_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY))
	cmake --build $(BUILD) -j $(JOBS)

ctest: native
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

pytest: install
	$(PY) -m pytest -q tests/python

test: ctest pytest

# The demo's figure needs matplotlib, which tacitor itself does not depend on.
demo: install
	@$(PY) -c 'import matplotlib' 2>/dev/null || $(PY) -m pip install -q matplotlib
	$(PY) -m tacitor_cli.main demo

format: venv
	$(VENV)/bin/clang-format -i $$(git ls-files '*.cpp' '*.hpp')

format-check: venv
	$(VENV)/bin/clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build

# Benchmarks against a NumPy + scikit-learn version of the same method (see bench/README.md).
# BENCH_ARGS passes options through, e.g. `make bench BENCH_ARGS=--quick`.
BENCH_ARGS ?=
.PHONY: bench bench-quality
bench: install
	$(PY) -m pip install -q -r requirements-bench.txt
	$(PY) bench/speed.py --wheel-build $(WHEEL_BUILD) $(BENCH_ARGS)

bench-quality: install
	$(PY) -m pip install -q -r requirements-bench.txt
	$(PY) bench/quality.py $(BENCH_ARGS)
