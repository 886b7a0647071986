# Quick start: `make run` (the shell on the simulated feed) and `make test` (every test).
# Both set up everything they need: system packages, .venv, dependencies, the build.

SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check
BUILD_DIR := build/release
SYSTEM_PACKAGES := g++ libsqlite3-dev libgtest-dev ccache
BUILD_REQUIRES := scikit-build-core==1.1.2 nanobind==3.1.0 cmake ninja
NATIVE_SOURCES := CMakeLists.txt pyproject.toml $(shell find native tests/native -name '*.cpp' -o -name '*.hpp')
# Installs the package editable: Python files come from python/, the compiled
# modules are rebuilt incrementally in $(BUILD_DIR).
INSTALL = $(PIP) install --quiet --no-build-isolation --no-deps --editable . \
	--config-settings=build-dir=$(BUILD_DIR) --config-settings=cmake.define.VELTRAX_TESTS=ON

.PHONY: run test test-native test-python bench build system-packages clean

run: $(VENV)/.built
	$(VENV)/bin/veltrax --demo

test: test-native test-python

test-native: $(VENV)/.built
	$(BUILD_DIR)/native_tests --gtest_brief=1

test-python: $(VENV)/.built
	$(PY) -m pytest -q

bench: $(VENV)/.built
	$(PY) -m bench

build: $(VENV)/.built

$(VENV)/.built: $(VENV)/.deps $(NATIVE_SOURCES)
	$(INSTALL)
	touch $@

$(VENV)/.deps: pyproject.toml | system-packages
	$(PYTHON) -m venv $(VENV)
	$(PIP) install --quiet $(BUILD_REQUIRES)
	$(PIP) install --quiet $$($(PY) -c 'import tomllib; p = tomllib.load(open("pyproject.toml", "rb"))["project"]; print(" ".join(p["dependencies"] + p["optional-dependencies"]["test"]))')
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
	rm -rf build $(VENV)
