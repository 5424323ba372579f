# Set-up, build, tests and demo. `make demo` and `make test` work on a fresh machine.
#
# PYTHON may name another interpreter; otherwise the CPython 3.12 of pyenv is used (the
# `python3.12` on PATH may be a pyenv shim that refuses to run), then any python3.12.
PYTHON ?= $(or $(lastword $(wildcard $(shell pyenv root 2>/dev/null)/versions/3.12.*/bin/python3.12)),$(shell command -v python3.12 2>/dev/null))
VENV := .venv
VPY := $(VENV)/bin/python
CPP_BUILD := build/cpp

.PHONY: all venv install install-test demo bench test test-python test-cpp gtest clean

all: test

$(VPY):
	@test -n "$(PYTHON)" || { echo "no CPython 3.12 found: set PYTHON=/path/to/python3.12" >&2; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip

venv: $(VPY)

install: $(VPY)
	$(VPY) -m pip install --quiet .

install-test: $(VPY)
	$(VPY) -m pip install --quiet ".[test]"

demo: install
	PYTHON=$(abspath $(VPY)) bash examples/demo.sh

# Every bench/bench_*.py script, each printing its own figures.
bench: install
	@for script in bench/bench_*.py; do echo "== $$script"; $(VPY) $$script || exit 1; done

# GoogleTest comes from Debian's packages when it is missing.
gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ]; then \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null; \
	fi

test-cpp: gtest
	cmake -S . -B $(CPP_BUILD) -G Ninja -DQUARN_BUILD_EXTENSION=OFF -DQUARN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(CPP_BUILD)
	ctest --test-dir $(CPP_BUILD) --output-on-failure

test-python: install-test
	$(VPY) -m pytest -q tests

test: test-python test-cpp

clean:
	rm -rf build $(VENV) out
