# `make demo` and `make test` do all the set-up on a fresh machine.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
JOBS ?= $(shell nproc)
# clang and its runtime libraries build the libFuzzer target.
DEB_PACKAGES := libgtest-dev libbenchmark-dev clang libclang-rt-14-dev
# Developer and CI builds treat warnings as errors; a plain `pip install .` does not.
CONFIGURE = $(CMAKE) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(PY)) \
  -DMORVA_WERROR=ON

.PHONY: all setup module demo test test-cpp test-sanitize test-thread test-python test-fuzz fuzz bench clean

all: module

$(VENV)/.stamp: requirements-dev.txt
	@test -x $(PY) || "$$(tools/find_python.sh)" -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	@touch $@

# The C++ tests and benchmarks need $(DEB_PACKAGES). Missing ones are installed with apt-get, which
# needs root; anyone else is told what to install instead of meeting apt's lock error.
.deb.stamp: Makefile
	@missing=""; for p in $(DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then \
	    echo "make: the C++ tests and benchmarks need the Debian packages:$$missing" >&2; \
	    echo "make: install them as root (apt-get install$$missing) or run make as root" >&2; \
	    exit 1; \
	  fi; \
	  apt-get update -qq && apt-get install -y -qq $$missing; \
	fi
	@touch $@

setup: $(VENV)/.stamp

module: setup
	$(PY) -m pip install -q --no-build-isolation --config-settings=cmake.define.MORVA_WERROR=ON .

demo: module
	$(PY) examples/cell_sorting.py

build/release/build.ninja: setup .deb.stamp CMakeLists.txt
	$(CONFIGURE) -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DMORVA_BUILD_TESTS=ON -DMORVA_BUILD_BENCH=ON

build/sanitize/build.ninja: setup .deb.stamp CMakeLists.txt
	$(CONFIGURE) -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVA_BUILD_TESTS=ON \
	  -DMORVA_BUILD_PYTHON=OFF -DMORVA_SANITIZE=address,undefined

build/thread/build.ninja: setup .deb.stamp CMakeLists.txt
	$(CONFIGURE) -S . -B build/thread -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVA_BUILD_TESTS=ON \
	  -DMORVA_BUILD_PYTHON=OFF -DMORVA_SANITIZE=thread

test-cpp: build/release/build.ninja
	$(CMAKE) --build build/release -j $(JOBS)
	cd build/release && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

test-sanitize: build/sanitize/build.ninja
	$(CMAKE) --build build/sanitize -j $(JOBS) --target morva_tests
	cd build/sanitize && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

# The parallel sweep under ThreadSanitizer.
test-thread: build/thread/build.ninja
	$(CMAKE) --build build/thread -j $(JOBS) --target morva_tests
	cd build/thread && TSAN_OPTIONS=halt_on_error=1 $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS) -R 'Parallel'

test-python: module
	$(PY) -m pytest -q

# The checkpoint reader under libFuzzer with AddressSanitizer and UBSan. make test fuzzes for
# FUZZ_SECONDS; make fuzz runs FUZZ_RUNS inputs. New inputs go to build/fuzz/corpus, the seeds stay.
FUZZ_SECONDS ?= 45
FUZZ_RUNS ?= 2000000
FUZZ_FLAGS = -max_len=8192 -timeout=10 -print_final_stats=1
build/fuzz/build.ninja: setup .deb.stamp CMakeLists.txt
	CXX=clang++ $(CONFIGURE) -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVA_BUILD_PYTHON=OFF \
	  -DMORVA_BUILD_FUZZ=ON -DMORVA_SANITIZE=address,undefined

build/fuzz/fuzz_checkpoint: build/fuzz/build.ninja FORCE
	$(CMAKE) --build build/fuzz -j $(JOBS) --target fuzz_checkpoint

test-fuzz: build/fuzz/fuzz_checkpoint
	mkdir -p build/fuzz/corpus
	build/fuzz/fuzz_checkpoint $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) build/fuzz/corpus tests/fuzz/corpus

fuzz: build/fuzz/fuzz_checkpoint
	mkdir -p build/fuzz/corpus
	build/fuzz/fuzz_checkpoint $(FUZZ_FLAGS) -runs=$(FUZZ_RUNS) build/fuzz/corpus tests/fuzz/corpus

FORCE:

test: test-cpp test-sanitize test-thread test-python test-fuzz

bench: build/release/build.ninja
	$(CMAKE) --build build/release -j $(JOBS) --target morva_bench
	build/release/morva_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true

clean:
	rm -rf build
