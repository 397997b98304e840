# One-command workflows. `make test` and `make demo` do all set-up on a fresh machine.
SHELL := /bin/bash
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(PY) -m pip
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)
NATIVE_DIR := build/native
ASAN_DIR := build/asan

.PHONY: all deps venv build native pytest test demo bench asan fuzz stress wheel clean

all: test

# System packages: only what pkg-config / the compiler cannot find is installed.
deps:
	@missing=""; \
	pkg-config --version >/dev/null 2>&1 || missing="$$missing pkg-config"; \
	pkg-config --exists yaml-0.1 2>/dev/null || missing="$$missing libyaml-dev"; \
	[ -f /usr/include/gtest/gtest.h ] || missing="$$missing libgtest-dev"; \
	command -v cmake >/dev/null 2>&1 || missing="$$missing cmake"; \
	command -v g++ >/dev/null 2>&1 || missing="$$missing g++"; \
	if [ -n "$$missing" ]; then \
	  echo "installing system packages:$$missing"; \
	  $(SUDO) apt-get update -qq && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

$(VENV)/.stamp: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q -r requirements-dev.txt
	@command -v ninja >/dev/null 2>&1 || $(PIP) install -q ninja
	touch $@

venv: $(VENV)/.stamp

build: deps venv
	$(PIP) install -q --no-build-isolation -C cmake.define.MORVA_WERROR=ON .

native: deps venv
	cmake -S . -B $(NATIVE_DIR) -G Ninja -DMORVA_NATIVE_TESTS=ON -DMORVA_WERROR=ON -DMORVA_DEBUG_CHECKS=ON \
	  -DPython_EXECUTABLE=$$(readlink -f $(PY)) >/dev/null
	cmake --build $(NATIVE_DIR)
	$(NATIVE_DIR)/morva_native_tests

pytest: build
	$(PY) -m pytest -q tests

test: build native pytest

demo: build
	$(PY) examples/demo.py

bench: build
	$(PY) benchmarks/run.py

# The module built with ASan+UBSan and the whole suite run against it. The interpreter's
# allocator is set to malloc so the sanitizer sees every allocation.
asan: deps venv
	cmake -S . -B $(ASAN_DIR) -G Ninja -DMORVA_SANITIZE=ON -DMORVA_DEBUG_CHECKS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPython_EXECUTABLE=$$(readlink -f $(PY)) >/dev/null
	cmake --build $(ASAN_DIR) --target morva_core
	cp morva_core.pyi $(ASAN_DIR)/
	MORVA_ASAN=1 MORVA_MODULE_DIR=$(ASAN_DIR) PYTHONMALLOC=malloc \
	  LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:halt_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  PYTHONPATH=$(ASAN_DIR) $(PY) -m pytest -q -p no:cacheprovider tests

# Longer fuzzing than the test run's smoke pass: every harness for FUZZ_SECONDS each.
FUZZ_SECONDS ?= 120
fuzz: build
	@for h in tests/fuzz/fuzz_*.py; do \
	  echo "== $$h"; \
	  (cd tests/fuzz && ../../$(PY) $$(basename $$h) -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -print_final_stats=1) 2>&1 | tail -4 || exit 1; \
	done

# A longer search of random multi-threaded programs than the test run's (STRESS_SEEDS of them).
STRESS_SEEDS ?= 400
stress: build
	MORVA_STRESS_SEEDS=$(STRESS_SEEDS) MORVA_STRESS_ROUNDS=80 $(PY) -m pytest -q tests/test_concurrency_property.py tests/test_stress.py

wheel: venv
	$(PIP) wheel --no-build-isolation --no-deps -w dist .

clean:
	rm -rf build dist $(VENV)
