# Developer and user entry points. Every target installs what it needs itself: Debian packages
# through scripts/ensure-debs.sh, Python packages into the venv. Stamp files in the venv
# remember what was installed from which requirement file, so a second run reinstalls nothing
# unless a requirement file (or pyproject.toml, or a source file for the package) changed.
SHELL := /bin/bash

# The first interpreter >= 3.12 found (python3 honours .python-version under pyenv).
BOOT_PYTHON := $(shell for p in python3 python3.12 python3.13 $$HOME/.pyenv/versions/3.1[23]*/bin/python3; do \
  command -v $$p >/dev/null 2>&1 && $$p -c 'import sys; sys.exit(sys.version_info < (3, 12))' 2>/dev/null \
  && { echo $$p; break; }; done)
VENV ?= .venv
PY := $(VENV)/bin/python
BUILD ?= build/native
# scikit-build-core's build directory for `pip install .`; separate trees may build at once.
# It is kept between installs, so a reinstall compiles only what changed.
WHEEL_BUILD ?= build/wheel
JOBS ?= 2
STAMPS := $(VENV)/.stamps
PIP := $(PY) -m pip install -q
# A pip constraint file in the environment (as CI sets one) is part of every install's input.
PIP_INPUTS := $(wildcard $(PIP_CONSTRAINT))

# Debian packages each kind of target needs. The compiler and CMake build the module; the C++
# tests need GoogleTest.
BUILD_DEBS := g++ cmake
GTEST_DEBS := libgtest-dev libgmock-dev
ENSURE_DEBS := scripts/ensure-debs.sh

# What the installed package is built from: a change to any of these reinstalls it.
PACKAGE_INPUTS := CMakeLists.txt pyproject.toml README.md \
  $(shell find src python -type f ! -name '*.pyc' 2>/dev/null)

.PHONY: all venv install native ctest pytest test test-fast demo format format-check lint clean

all: test

# Creates the venv, or recreates it when it is missing or older than 3.12.
$(STAMPS)/venv:
	@if [ -z "$(BOOT_PYTHON)" ]; then echo "error: no Python >= 3.12 found" >&2; exit 1; fi
	@if ! $(PY) -c 'import sys; sys.exit(sys.version_info < (3, 12))' 2>/dev/null; then \
	  rm -rf $(VENV) && $(BOOT_PYTHON) -m venv $(VENV); fi
	$(PIP) --upgrade pip
	@mkdir -p $(STAMPS) && touch $@

$(STAMPS)/build: requirements-build.txt pyproject.toml $(PIP_INPUTS) $(STAMPS)/venv
	$(PIP) -r requirements-build.txt
	@touch $@

$(STAMPS)/test: requirements-test.txt $(PIP_INPUTS) $(STAMPS)/venv
	$(PIP) -r requirements-test.txt
	@touch $@

$(STAMPS)/demo: requirements-demo.txt $(PIP_INPUTS) $(STAMPS)/venv
	$(PIP) -r requirements-demo.txt
	@touch $@

$(STAMPS)/bench: requirements-bench.txt $(PIP_INPUTS) $(STAMPS)/venv
	$(PIP) -r requirements-bench.txt
	@touch $@

$(STAMPS)/fuzz: fuzz/requirements.txt $(PIP_INPUTS) $(STAMPS)/venv
	$(PIP) -r fuzz/requirements.txt
	@touch $@

# The package with its run-time dependencies (NumPy), built in WHEEL_BUILD.
$(STAMPS)/install: $(PACKAGE_INPUTS) $(STAMPS)/build
	$(ENSURE_DEBS) $(BUILD_DEBS)
	$(PIP) --no-build-isolation --config-settings=build-dir=$(WHEEL_BUILD) .
	@touch $@

# The venv with everything the tests and developer tools need.
venv: $(STAMPS)/build $(STAMPS)/test

install: $(STAMPS)/install

# Configured once; ninja reruns CMake by itself when a CMakeLists.txt changes.
native: $(STAMPS)/build
	$(ENSURE_DEBS) $(BUILD_DEBS) $(GTEST_DEBS)
	@[ -f $(BUILD)/build.ninja ] || cmake -S . -B $(BUILD) -G Ninja \
	  -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DTACITOR_BUILD_TESTS=ON -DPython_EXECUTABLE=$(abspath $(PY))
	cmake --build $(BUILD) -j $(JOBS)

ctest: native
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

pytest: $(STAMPS)/install $(STAMPS)/test
	$(PY) -m pytest -q tests/python

test: ctest pytest

# Day-to-day: the C++ tests and every Python test not marked slow.
test-fast: ctest $(STAMPS)/install $(STAMPS)/test
	$(PY) -m pytest -q -m "not slow" tests/python

# The demo needs the package and matplotlib for its figure, not the test stack.
demo: $(STAMPS)/install $(STAMPS)/demo
	$(PY) -m tacitor_tools.cli.main demo

format: $(STAMPS)/test
	$(VENV)/bin/clang-format -i $$(git ls-files '*.cpp' '*.hpp')

format-check: $(STAMPS)/test
	$(VENV)/bin/clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.hpp')

# Python: ruff's lint rules and its formatting, over the package, tests, benchmarks, examples.
PY_SOURCES = python tests/python bench examples fuzz scripts
lint: $(STAMPS)/test
	$(VENV)/bin/ruff check $(PY_SOURCES)
	$(VENV)/bin/ruff format --check $(PY_SOURCES)

clean:
	rm -rf build

# ---- Reliability: sanitizers, memcheck and fuzzing ----
ASAN_BUILD ?= build/asan
TSAN_BUILD ?= build/tsan
# An instrumented module needs the sanitizer runtime loaded before the interpreter starts, and
# the C++ runtime with it, so that the runtime's exception interceptors find what they wrap.
ASAN_RUNTIME := $(shell gcc -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so)
# Fewer random hostile cases under the sanitizers, which slow every call down.
ASAN_HOSTILE_EXAMPLES ?= 400
SANITIZER_OPTIONS := UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The environment that makes the interpreter import the instrumented module. Large failed
# allocations return null, so that they still end as MemoryError.
ASAN_PYTHON = LD_PRELOAD="$(ASAN_RUNTIME)" ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
  $(SANITIZER_OPTIONS) PYTHONPATH=$(abspath $(ASAN_BUILD))/python
ASAN_TARGETS ?=
VALGRIND_LOG ?= build/valgrind.log
# The worker pool's own tests, and the pipeline's, whose loops run on the pool.
TSAN_TESTS ?= parallel_map_test cancellation_test pool_size_test classical_test
FUZZ_SECONDS ?= 60
# The model-file reader's fuzzing (fuzz/fuzz_model_file.py), after the entry points'.
MODEL_FUZZ_SECONDS ?= 20
# A fixed seed makes the bounded CI run explore the same inputs first every time; inputs of
# any length from the start, so that arrays of every shape and value turn up early.
FUZZ_FLAGS ?= -seed=1 -len_control=0 -max_len=2048
FUZZ_DIR ?= build/fuzz

.PHONY: asan-build test-asan test-tsan valgrind fuzz fuzz-asan-module

# Fails unless `import tacitor` and the companion's native module find the builds in the
# directory given as argument.
export ASAN_MODULE_CHECK := import sys, tacitor, tacitor_tools._native as companion; \
  print("tacitor:", tacitor.__file__); print("companion:", companion.__file__); \
  sys.exit(not all(m.__file__.startswith(sys.argv[1]) for m in (tacitor, companion)))

# The module and the C++ tests built with ASan and UBSan.
asan-build: $(STAMPS)/build
	$(ENSURE_DEBS) $(BUILD_DEBS) $(GTEST_DEBS)
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTACITOR_BUILD_TESTS=ON -DTACITOR_SANITIZE=address \
	  -DPython_EXECUTABLE=$(abspath $(PY))
	cmake --build $(ASAN_BUILD) -j $(JOBS) $(ASAN_TARGETS)

# ASan and UBSan over the C++ tests (with leak detection) and the pytest suite, but for the
# files that exercise no native path of their own: mypy over the package and its stubs, the
# README's examples, the Dask example script and the Dask cluster tests (their calls are the ones
# the other files make directly; the error and option tests still run Dask's blocks here). Those
# run in the plain builds.
ASAN_PYTEST_SKIP ?= test_typing.py test_readme.py test_dask_example.py test_dask_api.py
# Tests of the window search's own decisions: each makes dozens of calls on paths that the
# other tests take too, and together they took a minute of the stage's four. They run in the
# plain builds.
ASAN_PYTEST_DESELECT ?= test_selection.py::test_grid_edges \
  test_selection.py::test_the_search_stops_once_the_estimate_levels_off \
  test_slower_rate.py::test_the_full_rate_stays_where_the_data_say_so_and_is_tacitors_call \
  test_sklearn_api.py::test_auto_window_is_chosen_by_fit_and_kept_by_transform
test-asan: $(STAMPS)/install $(STAMPS)/test asan-build
	$(SANITIZER_OPTIONS) ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(abspath tests/sanitizers/lsan.supp):print_suppressions=0 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)
	$(ASAN_PYTHON) $(PY) -c "$$ASAN_MODULE_CHECK" $(abspath $(ASAN_BUILD))/python/
	$(ASAN_PYTHON) TACITOR_HOSTILE_EXAMPLES=$(ASAN_HOSTILE_EXAMPLES) \
	  $(PY) -m pytest -q -p no:cacheprovider --capture=sys tests/python \
	  $(ASAN_PYTEST_SKIP:%=--ignore=tests/python/%) \
	  $(ASAN_PYTEST_DESELECT:%=--deselect=tests/python/%)

# TSan over the worker pool's tests and the pipeline on the pool.
test-tsan: $(STAMPS)/build
	$(ENSURE_DEBS) $(BUILD_DEBS) $(GTEST_DEBS)
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTACITOR_BUILD_TESTS=ON -DTACITOR_SANITIZE=thread \
	  -DPython_EXECUTABLE=$(abspath $(PY))
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TESTS)
	for test in $(TSAN_TESTS); do \
	  TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 $(TSAN_BUILD)/tests/cpp/$$test \
	    || exit 1; done

# Memcheck over a short script on the installed module; fails on memory errors and definite
# leaks that pass through tacitor's code (the interpreter's own are not ours to fix).
valgrind: $(STAMPS)/install
	$(ENSURE_DEBS) valgrind
	PYTHONMALLOC=malloc valgrind --tool=memcheck \
	  --leak-check=full --show-leak-kinds=definite --num-callers=50 \
	  --suppressions=tests/valgrind/python.supp --log-file=$(VALGRIND_LOG) \
	  $(PY) tests/valgrind/exercise.py
	$(PY) tests/valgrind/check_log.py $(VALGRIND_LOG)

# Coverage-guided fuzzing of the entry points for FUZZ_SECONDS and of the model-file reader for
# MODEL_FUZZ_SECONDS on the installed package, then
# every input of the corpus once more on the ASan build (FUZZ_ASAN=0 skips that replay; the
# sanitizer runtime takes over the coverage hooks, so the guided run itself cannot use it).
# Crash inputs land in $(FUZZ_DIR)/artifacts.
FUZZ_ASAN ?= 1
fuzz: $(STAMPS)/install $(STAMPS)/fuzz $(if $(filter 1,$(FUZZ_ASAN)),fuzz-asan-module)
	mkdir -p $(FUZZ_DIR)/corpus $(FUZZ_DIR)/artifacts
	$(PY) fuzz/fuzz_entry_points.py $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) -timeout=60 \
	  -rss_limit_mb=4096 -artifact_prefix=$(FUZZ_DIR)/artifacts/ $(FUZZ_DIR)/corpus
	$(if $(filter 1,$(FUZZ_ASAN)),$(ASAN_PYTHON) $(PY) fuzz/fuzz_entry_points.py -runs=0 \
	  -timeout=60 -artifact_prefix=$(FUZZ_DIR)/artifacts/ $(FUZZ_DIR)/corpus)
	mkdir -p $(FUZZ_DIR)/model-corpus
	$(PY) fuzz/fuzz_model_file.py -seed=1 -max_len=2048 -max_total_time=$(MODEL_FUZZ_SECONDS) \
	  -timeout=60 -rss_limit_mb=4096 -artifact_prefix=$(FUZZ_DIR)/artifacts/ \
	  $(FUZZ_DIR)/model-corpus
	$(if $(filter 1,$(FUZZ_ASAN)),$(ASAN_PYTHON) $(PY) fuzz/fuzz_model_file.py -runs=0 \
	  -timeout=60 -artifact_prefix=$(FUZZ_DIR)/artifacts/ $(FUZZ_DIR)/model-corpus)

fuzz-asan-module:
	$(MAKE) asan-build ASAN_TARGETS="--target tacitor --target tacitor_tools_dev_package"

# Benchmarks against a NumPy + scikit-learn version of the same method (see bench/README.md).
# BENCH_ARGS passes options through, e.g. `make bench BENCH_ARGS=--quick`. The speed run ends
# with a perf profile (unless --no-profile or --only), hence linux-perf.
BENCH_ARGS ?=
.PHONY: bench bench-quality
bench: $(STAMPS)/install $(STAMPS)/bench
	$(ENSURE_DEBS) $(BUILD_DEBS) linux-perf
	$(PY) bench/speed.py --wheel-build $(WHEEL_BUILD) $(BENCH_ARGS)

bench-quality: $(STAMPS)/install $(STAMPS)/bench
	$(PY) bench/quality.py $(BENCH_ARGS)

# Further targets (ports, packaging) live in mk/.
include $(wildcard mk/*.mk)
