# Set-up, build, tests and demo. `make demo` and `make test` work on a fresh machine.
#
# PYTHON may name another interpreter; otherwise the CPython 3.12 of pyenv is used (the
# `python3.12` on PATH may be a pyenv shim that refuses to run), then any python3.12.
PYTHON ?= $(or $(lastword $(wildcard $(shell pyenv root 2>/dev/null)/versions/3.12.*/bin/python3.12)),$(shell command -v python3.12 2>/dev/null))
VENV := .venv
VPY := $(VENV)/bin/python
CPP_BUILD := build/cpp

# Every apt-get waits for the package lock (another install, unattended upgrades) rather than
# failing; sudo only when not already root.
APT_GET := $(if $(filter 0,$(shell id -u)),,sudo) env DEBIAN_FRONTEND=noninteractive \
	apt-get -o DPkg::Lock::Timeout=600 -qq
# `apt-get update` takes the package lists' own lock, which the timeout above may not cover:
# while another update holds it, try again for up to ten minutes; any other failure stops.
APT_UPDATE = for try in $$(seq 60); do \
	  out=$$($(APT_GET) update 2>&1) && break; \
	  case "$$out" in *lock*) sleep 10;; *) echo "$$out" >&2; exit 1;; esac; \
	done
# Installs the Debian packages named by $(1) that the check $(2) finds missing, saying what
# for ($(3)).
apt_install = $(2) || { $(call step,installing $(3) (apt),$(APT_UPDATE); \
	$(APT_GET) install -y --no-install-recommends $(1)); }

# A set-up step: one line saying what it does ($(1), without commas), its output appended to
# SETUP_LOG, and on failure the log named with its last lines. Everything that installs or
# builds for the set-up goes through it, so a first `make test` says what it waits for.
SETUP_LOG := build/setup.log
step = mkdir -p $(dir $(SETUP_LOG)); echo "$(1)..."; echo "== $$(date '+%F %T') $(1)" >>$(SETUP_LOG); \
	from=$$(wc -l <$(SETUP_LOG)); ( $(2) ) >>$(SETUP_LOG) 2>&1 || { status=$$?; \
	  echo "failed: $(1); its output is in $(SETUP_LOG), which ends with:" >&2; \
	  tail -n +$$((from + 1)) $(SETUP_LOG) | tail -n 20 >&2; exit $$status; }

# What the installed package is built from: a change to any of them reinstalls it. The build
# folder is kept and the build runs without isolation (its tools live in the venv), so a
# reinstall recompiles only the C++ files that changed, and an unchanged tree none at all.
BUILD_TOOLS := "scikit-build-core>=0.10" "cmake>=3.24" "ninja>=1.10"
SOURCES := $(shell find src python -type f ! -name '*.so' ! -path '*/__pycache__/*' 2>/dev/null) \
	CMakeLists.txt pyproject.toml
INSTALLED := $(VENV)/.quarn-installed
TEST_DEPS := $(VENV)/.quarn-test-deps

.PHONY: all venv install install-test demo bench test test-python test-cpp gtest system-deps \
	clean test-sanitize fuzz fuzz-tools lint lint-tools

all: test

$(VPY):
	@test -n "$(PYTHON)" || { echo "no CPython 3.12 found: set PYTHON=/path/to/python3.12" >&2; exit 1; }
	@$(call step,creating $(VENV) with $(PYTHON),$(PYTHON) -m venv $(VENV) && \
	  $(VPY) -m pip install --upgrade pip)

venv: $(VPY)

$(VENV)/.quarn-build-tools: | $(VPY)
	@$(call step,installing the build tools: scikit-build-core and CMake and Ninja (pip),\
	  $(VPY) -m pip install $(BUILD_TOOLS))
	@touch $@

$(INSTALLED): $(VENV)/.quarn-build-tools $(SOURCES)
	@$(call step,building and installing quarn into $(VENV) (pip; C++ files that changed),\
	  $(VPY) -m pip install --no-build-isolation .)
	@touch $@

install: $(INSTALLED)

# Every extra of pyproject.toml (the test tools and the optional libraries the tests use),
# read from it and installed without rebuilding the package.
$(TEST_DEPS): pyproject.toml | $(VPY)
	@$(VPY) -c 'import tomllib; extras = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]; print("\n".join(sorted({r for group in extras.values() for r in group if not r.startswith("quarn")})))' >$(VENV)/test-requirements.txt
	@$(call step,installing the test tools and optional libraries (pip),\
	  $(VPY) -m pip install -r $(VENV)/test-requirements.txt)
	@touch $@

install-test: install $(TEST_DEPS)

demo: install
	PYTHON=$(abspath $(VPY)) bash examples/demo.sh

# Every bench/bench_*.py script, each printing its own figures.
bench: install
	@for script in bench/bench_*.py; do echo "== $$script"; $(VPY) $$script || exit 1; done

# GoogleTest for the C++ tests; Graphviz and Chromium for the graph pictures and the report's
# browser test: from Debian's packages when missing.
gtest:
	@$(call apt_install,libgtest-dev,test -f /usr/include/gtest/gtest.h,GoogleTest for the C++ tests)

system-deps: gtest
	@$(call apt_install,graphviz,command -v dot >/dev/null,Graphviz for the graph pictures)
	@$(call apt_install,chromium,command -v chromium >/dev/null,Chromium for the report test)

test-cpp: gtest
	cmake -S . -B $(CPP_BUILD) -G Ninja -DQUARN_BUILD_EXTENSION=OFF -DQUARN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	cmake --build $(CPP_BUILD)
	ctest --test-dir $(CPP_BUILD) --output-on-failure

# QUARN_REQUIRE_BROWSER: here the report's browser test fails, rather than skips, without
# Chromium.
test-python: install-test system-deps
	QUARN_REQUIRE_BROWSER=1 $(VPY) -m pytest -q tests

test: test-python test-cpp

# ---- Sanitizer run -------------------------------------------------------------------------
# The extension is built with QUARN_SANITIZE (ASan + UBSan, no recovery) into its own venv and
# build dir, and the whole pytest suite runs against it. The interpreter is not instrumented, so:
#  - LD_PRELOAD puts the ASan runtime first. libstdc++ is preloaded with it: ASan looks up the
#    real __cxa_throw when it starts, before the interpreter has loaded libstdc++ along with the
#    module, and without it the module's first C++ throw stops the process with a CHECK failure.
#  - PYTHONMALLOC=malloc sends every Python allocation through the instrumented malloc.
#  - LeakSanitizer records two frames per allocation (malloc_context_size=2): the allocator and
#    its caller. tests/lsan.supp drops allocations whose caller is in libpython: memory that
#    the interpreter never frees at exit. What the module allocates (new, std::string and
#    std::vector buffers) has a module or libstdc++ frame there and is reported. Deeper stacks
#    would not do: every stack of the module leads back into libpython, and the suppression would
#    hide it. Leaked Python objects are libpython allocations and so are left to the reference
#    count checks of tests/test_hardening_leaks.py. To debug a report with full allocation stacks,
#    run one test with ASAN_OPTIONS=...:malloc_context_size=30 and without the suppression file.
#    (Checked by hand: `new std::string(100, 'x')` dropped in Partitions.__repr__ gives a direct
#    and an indirect leak report.)
#  - Reports go to files in $(ASAN_LOGS) (log_path), not to fd 2, which tests capture; test
#    subprocesses inherit the environment and report there too. Any file there fails the run.
#  - QUARN_SANITIZED tells the leak tests that ASan's quarantine makes RSS meaningless and asks
#    for fewer iterations.
ASAN_VENV := .venv-asan
ASAN_VPY := $(ASAN_VENV)/bin/python
ASAN_LOGS := build/asan-logs
ASAN_ENV = LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=detect_leaks=1:malloc_context_size=2:log_path=$(abspath $(ASAN_LOGS))/asan:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1 \
	LSAN_OPTIONS=suppressions=$(abspath tests/lsan.supp):print_suppressions=0 \
	UBSAN_OPTIONS=log_path=$(abspath $(ASAN_LOGS))/ubsan:print_stacktrace=1:halt_on_error=1 \
	QUARN_SANITIZED=1

$(ASAN_VPY):
	@test -n "$(PYTHON)" || { echo "no CPython 3.12 found: set PYTHON=/path/to/python3.12" >&2; exit 1; }
	@$(call step,creating $(ASAN_VENV) with $(PYTHON),$(PYTHON) -m venv $(ASAN_VENV) && \
	  $(ASAN_VPY) -m pip install --upgrade pip)

test-sanitize: $(ASAN_VPY)
	$(ASAN_VPY) -m pip install --quiet -C cmake.define.QUARN_SANITIZE=ON -C cmake.build-type=Debug \
	  -C build-dir=build/asan ".[test]"
	rm -rf $(ASAN_LOGS) && mkdir -p $(ASAN_LOGS)
	$(ASAN_ENV) $(ASAN_VPY) -m pytest -q -p no:cacheprovider tests --ignore=tests/runner
	@if [ -n "$$(ls -A $(ASAN_LOGS))" ]; then cat $(ASAN_LOGS)/*; echo "sanitizer reports above" >&2; exit 1; fi
	@echo "sanitizers: no reports"

# ---- Fuzzing ---------------------------------------------------------------------------------
# libFuzzer over the JSON parser and writer (fuzz/json_fuzz.cpp), built with clang 14 and ASan +
# UBSan. New inputs go to $(FUZZ_WORK) (ignored by git); fuzz/corpus is the committed seed set and
# is only read. A crash leaves its input in $(FUZZ_BUILD)/crash-*.
FUZZ_SECONDS ?= 60
FUZZ_CXX := clang++-14
FUZZ_BUILD := build/fuzz
FUZZ_WORK := fuzz-corpus-work
FUZZ_RT := /usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a

fuzz-tools:
	@$(call apt_install,clang-14 libclang-rt-14-dev,command -v $(FUZZ_CXX) >/dev/null && test -f $(FUZZ_RT),clang 14 and libFuzzer)

$(FUZZ_BUILD)/json_fuzz: fuzz/json_fuzz.cpp $(wildcard src/json/*.cpp src/json/*.hpp) | fuzz-tools
	@mkdir -p $(FUZZ_BUILD)
	$(FUZZ_CXX) -std=c++20 -g -O1 -Wall -Wextra -Werror -fsanitize=fuzzer,address,undefined \
	  -fno-sanitize-recover=all -Isrc fuzz/json_fuzz.cpp src/json/value.cpp src/json/parse.cpp \
	  src/json/write.cpp -o $@

fuzz: $(FUZZ_BUILD)/json_fuzz
	@mkdir -p $(FUZZ_WORK)
	$(FUZZ_BUILD)/json_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -timeout=10 \
	  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_WORK) fuzz/corpus

# ---- Lint ------------------------------------------------------------------------------------
# clang-tidy (.clang-tidy) over every src/**/*.cpp with the compile commands of a lint-only
# configure, clang-format over every C++ file, ruff over the Python trees, mypy, and the
# runner's layers (the contracts of [tool.importlinter] in pyproject.toml). Any finding fails.
# clang-tidy 16 because clang-tidy 14 cannot parse libstdc++ 12's <source_location>; clang-format
# stays at 14, the version the sources are formatted with.
CLANG_TIDY := clang-tidy-16
CLANG_FORMAT := clang-format-14
LINT_BUILD := build/lint
CPP_SOURCES = $(shell find src tests/cpp fuzz -name '*.cpp' -o -name '*.hpp' | sort)
PY_TREES = $(wildcard python tests bench examples fuzz)

lint-tools:
	@$(call apt_install,clang-tidy-16 clang-format-14,command -v $(CLANG_TIDY) >/dev/null && command -v $(CLANG_FORMAT) >/dev/null,clang-tidy and clang-format for the lint)

lint: lint-tools gtest install-test
	cmake -S . -B $(LINT_BUILD) -G Ninja -DQUARN_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug \
	  -DPython_EXECUTABLE=$(abspath $(VPY)) >/dev/null
	$(CLANG_FORMAT) --dry-run --Werror $(CPP_SOURCES)
	$(VPY) -m ruff check $(PY_TREES)
	$(VPY) -m ruff format --check $(PY_TREES)
	$(VPY) -m mypy --strict python/quarn
	PYTHONPATH=python $(VENV)/bin/lint-imports --no-cache
	@# Output only for a file with findings: clang-tidy always counts the warnings it filtered out.
	find src -name '*.cpp' | sort | xargs -P 2 -I{} sh -c \
	  'out=$$($(CLANG_TIDY) -p $(LINT_BUILD) --quiet {} 2>&1) || { printf "%s\n" "$$out"; exit 1; }'
	@echo "lint: clean"

clean:
	rm -rf build $(VENV) $(ASAN_VENV) out $(FUZZ_WORK)
