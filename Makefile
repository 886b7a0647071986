# Quick start: `make run` (the shell on the simulated feed) and `make test` (every test).
# Both set up everything they need: system packages, .venv, dependencies, the build.

SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check
# `make sanitize`: its own venv and build, with AddressSanitizer and UndefinedBehaviorSanitizer.
SANITIZE_VENV := .venv-sanitize
SANITIZE_BUILD_DIR := build/sanitize
BUILD_DIR := build/release
SYSTEM_PACKAGES := g++ libsqlite3-dev libxxhash-dev libgtest-dev ccache libhiredis-dev redis-server
BUILD_REQUIRES := scikit-build-core==1.1.2 nanobind==3.1.0 cmake ninja
NATIVE_SOURCES := CMakeLists.txt pyproject.toml $(shell find native tests/native -name '*.cpp' -o -name '*.hpp')
# Installs the package editable: Python files come from python/, the compiled
# modules are rebuilt incrementally in $(BUILD_DIR).
INSTALL = $(PIP) install --quiet --no-build-isolation --no-deps --editable . \
	--config-settings=build-dir=$(BUILD_DIR) --config-settings=cmake.define.VELTRAX_TESTS=ON
# The Python process is not built with the sanitizers, so their runtime is
# preloaded, with the C++ runtime (ASan must find __cxa_throw as it starts).
# Leak checking stays off there: CPython keeps much of its memory to the end on
# purpose. The C++ test binary is checked for leaks too.
SANITIZER_RUNTIME = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	ASAN_OPTIONS=detect_leaks=0:detect_odr_violation=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

.PHONY: run test test-native test-python bench sanitize build stubs install-check system-packages clean

run: $(VENV)/.built
	$(VENV)/bin/veltrax --demo

test: test-native test-python

test-native: $(VENV)/.built
	$(BUILD_DIR)/native_tests --gtest_brief=1

test-python: $(VENV)/.built
	$(PY) -m pytest -q

bench: $(VENV)/.built
	$(PY) -m bench

# The fuzzer of stored values (tests/test_store_reads_cost_what_their_bytes_justify.py)
# runs for FUZZ_SECONDS here, with the sanitizers watching every read.
FUZZ_SECONDS ?= 30

sanitize: $(SANITIZE_VENV)/.built
	$(SANITIZE_BUILD_DIR)/native_tests --gtest_brief=1
	$(SANITIZER_RUNTIME) VELTRAX_TEST_MODULES=$(SANITIZE_BUILD_DIR)/test_modules VELTRAX_FUZZ_SECONDS=$(FUZZ_SECONDS) \
		$(SANITIZE_VENV)/bin/python -m pytest -q -p no:cacheprovider

build: $(VENV)/.built

# The typed stubs of the extension modules are checked in beside them (a pip build then needs
# nothing but a compiler); after changing a module's bindings, make them anew from the build.
stubs: $(VENV)/.built
	$(PY) tools/generate_stubs.py $(BUILD_DIR) python

# As a pip user has it: from a clean clone, an sdist, a wheel built from it in pip's isolated
# build environment, installed into a fresh venv, and the demo run once.
install-check: system-packages
	PYTHON=$(PYTHON) tools/check_install.sh

$(VENV)/.built: $(VENV)/.deps $(NATIVE_SOURCES)
	$(INSTALL)
	touch $@

$(SANITIZE_VENV)/.built: $(SANITIZE_VENV)/.deps $(NATIVE_SOURCES)
	$(SANITIZE_VENV)/bin/python -m pip --disable-pip-version-check install --quiet --no-build-isolation \
		--no-deps --editable . --config-settings=build-dir=$(SANITIZE_BUILD_DIR) \
		--config-settings=cmake.build-type=RelWithDebInfo --config-settings=cmake.define.VELTRAX_TESTS=ON \
		--config-settings=cmake.define.VELTRAX_SANITIZE=ON
	touch $@

# A venv with the build tools, the dependencies and the test tools (either venv).
%/.deps: pyproject.toml | system-packages
	$(PYTHON) -m venv $*
	$*/bin/python -m pip --disable-pip-version-check install --quiet $(BUILD_REQUIRES)
	$*/bin/python -m pip --disable-pip-version-check install --quiet $$($(PYTHON) -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb"))["project"]; print(" ".join(p["dependencies"] + p["optional-dependencies"]["test"]))')
	touch $@

system-packages:
	@missing=$$(for p in $(SYSTEM_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
		echo "installing system packages: $$missing"; \
		sudo=$$([ "$$(id -u)" = 0 ] || echo sudo); \
		$$sudo apt-get install -y -q $$missing >/dev/null || \
		{ $$sudo apt-get update -q >/dev/null && $$sudo apt-get install -y -q $$missing >/dev/null; }; \
	fi

clean:
	rm -rf build $(VENV) $(SANITIZE_VENV)
