# `make demo` and `make test` do all the set-up on a fresh machine.
SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
JOBS ?= $(shell nproc)
# clang and its runtime libraries build the libFuzzer targets and the sanitized C++ tests. The viewer's tests draw napari on a
# virtual X server (Xvfb) with Mesa's software OpenGL: Qt's X11 platform needs the libraries below.
DEB_PACKAGES := libgtest-dev libbenchmark-dev clang libclang-rt-14-dev \
  xvfb libgl1 libegl1 libopengl0 libgl1-mesa-dri libglx-mesa0 libxkbcommon0 libxkbcommon-x11-0 libfontconfig1 \
  libdbus-1-3 libglib2.0-0 libxcb-icccm4 libxcb-keysyms1 libxcb-cursor0 libxcb-image0 libxcb-render-util0 \
  libxcb-xkb1 libxcb-shape0 libxcb-randr0 libxcb-xinerama0 libxcb-xfixes0
# Developer and CI builds treat warnings as errors; a plain `pip install .` does not.
CONFIGURE = $(CMAKE) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) -DPython_EXECUTABLE=$(abspath $(PY)) \
  -DMORVA_WERROR=ON
# The sanitized trees: optimised, with line tables only (-g1): reports name file and line, and the
# compile takes a fifth less than with full debug information. The ThreadSanitizer tree optimises
# less (-O1): its few tests run short sweeps, and its engine then compiles in a third less time.
SANITIZED = -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$(1) -g1 -DNDEBUG"

.PHONY: all setup module demo test test-cpp test-sanitize test-thread test-python test-fuzz test-fuzz-engine \
  test-lane-sanitized test-lane-python test-unsanitized FORCE \
  test-fuzz-checkpoint fuzz-targets fuzz docs docs-serve bench clean

all: module

# The build tools (requirements-dev.txt's cmake and ninja) first, so that the C++ trees compile while
# pip installs the rest. pip byte-compiles what it installs: skipping that costs more than it saves
# where PYTHONDONTWRITEBYTECODE is set (every test process then compiles every module it imports).
PIP_INSTALL = $(PY) -m pip install -q
$(VENV)/.tools.stamp: requirements-dev.txt
	@test -x $(PY) || "$$(tools/find_python.sh)" -m venv $(VENV)
	$(PIP_INSTALL) --upgrade pip
	grep -E '^(cmake|ninja)\b' requirements-dev.txt | $(PIP_INSTALL) -r /dev/stdin
	@touch $@

$(VENV)/.stamp: requirements-dev.txt $(VENV)/.tools.stamp
	$(PIP_INSTALL) -r requirements-dev.txt
	@touch $@

# The tests and benchmarks need $(DEB_PACKAGES). Missing ones are installed with apt-get, which
# needs root; anyone else is told what to install instead of meeting apt's lock error.
.deb.stamp: Makefile
	@missing=""; for p in $(DEB_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" != 0 ] || ! command -v apt-get >/dev/null; then \
	    echo "make: the tests and benchmarks need the Debian packages:$$missing" >&2; \
	    echo "make: install them as root (apt-get install$$missing) or run make as root" >&2; \
	    exit 1; \
	  fi; \
	  apt-get update -qq && apt-get install -y -qq $$missing; \
	fi
	@touch $@

setup: $(VENV)/.stamp

# pip builds the module in the release tree, next to the C++ tests, so the engine is compiled once at
# release flags (and pip only links the module when the tests built the engine first). A plain
# `pip install .` builds in build/wheel instead.
module: setup
	$(PY) -m pip install -q --no-build-isolation -Cbuild-dir=build/release -Cbuild.targets=morva_core \
	  $(foreach o,$(RELEASE_OPTIONS),-Ccmake.define.$(o)) .

demo: module
	$(PY) examples/cell_sorting.py

# Each build tree compiles the engine once for what it holds. build/release: the Python module (built
# there by `make module`), the C++ tests that only run without sanitizers, and every C++ test and the
# benchmarks when `make test-cpp` and `make bench` ask for them. build/fuzz (clang, ASan + UBSan): every
# C++ test and the libFuzzer targets. build/thread (ThreadSanitizer): the parallel sweep's test files
# only. `make test` compiles each test file in one tree: the sanitized ones.
# `make module` may have configured the release tree first, without the tests: configure it again then.
# pip's build type is pyproject.toml's (Release) and it passes the options both need; the tests and
# benchmarks (which need the Debian packages) are turned on here only and stay on in the tree's cache.
RELEASE_OPTIONS := MORVA_BUILD_PYTHON=ON MORVA_WERROR=ON
RELEASE_HAS_TESTS := $(shell grep -qs '^MORVA_BUILD_TESTS:BOOL=ON' build/release/CMakeCache.txt && echo yes)
build/release/build.ninja: $(VENV)/.tools.stamp .deb.stamp CMakeLists.txt $(if $(RELEASE_HAS_TESTS),,FORCE)
	$(CONFIGURE) -S . -B build/release -DCMAKE_BUILD_TYPE=Release $(addprefix -D,$(RELEASE_OPTIONS)) \
	  -DMORVA_BUILD_TESTS=ON -DMORVA_BUILD_BENCH=ON

FORCE:

build/thread/build.ninja: $(VENV)/.tools.stamp .deb.stamp CMakeLists.txt
	$(CONFIGURE) -S . -B build/thread $(call SANITIZED,-O1) -DMORVA_BUILD_PYTHON=OFF \
	  -DMORVA_BUILD_TESTS=ON -DMORVA_PARALLEL_TESTS_ONLY=ON -DMORVA_SANITIZE=thread

# Every C++ test at release flags, for developers (`make test` runs them in the sanitized trees).
test-cpp: build/release/build.ninja
	$(CMAKE) --build build/release -j $(JOBS) --target morva_tests
	cd build/release && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

# The tests that skip themselves under the sanitizers, at release flags: the only test file `make test`
# compiles in the release tree.
test-unsanitized: build/release/build.ninja
	$(CMAKE) --build build/release -j $(JOBS) --target morva_unsanitized_tests
	build/release/morva_unsanitized_tests

# The C++ tests under ASan and UBSan, in the fuzz targets' tree.
test-sanitize: build/fuzz/build.ninja
	$(CMAKE) --build build/fuzz -j $(JOBS) --target morva_tests
	cd build/fuzz && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

# The parallel sweep under ThreadSanitizer.
test-thread: build/thread/build.ninja
	$(CMAKE) --build build/thread -j $(JOBS) --target morva_tests
	cd build/thread && TSAN_OPTIONS=halt_on_error=1 $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS) -R 'Parallel'

test-python: module .deb.stamp
	$(PY) -m pytest -q

# ---------------------------------------------------------------------------------------- fuzzing
# Two libFuzzer targets, built with clang under ASan and UBSan: morva_fuzz runs engine operation
# programs against a reference copy attempt; fuzz_checkpoint feeds the checkpoint reader. New inputs
# go to build/fuzz/<target>-corpus; the committed seeds in tests/fuzz/*_corpus are only read. A crash
# leaves its input in build/fuzz/ (replay: build/fuzz/<target> FILE).
FUZZ_CXX ?= clang++
FUZZ_ENV := ASAN_OPTIONS=quarantine_size_mb=32:malloc_context_size=8
FUZZ_FLAGS := -rss_limit_mb=3000 -timeout=10 -artifact_prefix=build/fuzz/ -print_final_stats=1
FUZZ_ENGINE_FLAGS := $(FUZZ_FLAGS) -max_len=192
FUZZ_CHECKPOINT_FLAGS := $(FUZZ_FLAGS) -max_len=8192
FUZZ_TEST_SECONDS ?= 45
FUZZ_SECONDS ?= 3600
FUZZ_EXAMPLES ?= 20000

build/fuzz/build.ninja: $(VENV)/.tools.stamp .deb.stamp CMakeLists.txt
	CXX=$(FUZZ_CXX) $(CONFIGURE) -S . -B build/fuzz $(call SANITIZED,-O2) -DMORVA_BUILD_PYTHON=OFF \
	  -DMORVA_BUILD_FUZZ=ON -DMORVA_BUILD_TESTS=ON -DMORVA_SANITIZE=address,undefined

# morva_core itself under ASan and UBSan, for the program fuzzer in an uninstrumented interpreter.
build/fuzz-python/build.ninja: $(VENV)/.tools.stamp CMakeLists.txt
	$(CONFIGURE) -S . -B build/fuzz-python $(call SANITIZED,-O2) -DMORVA_SANITIZE=address,undefined

# The interpreter is not instrumented: the sanitizer runtimes must be loaded before anything else, and
# its own allocations at exit are not leaks of ours.
SAN_PRELOAD = $(shell g++ -print-file-name=libasan.so):$(shell g++ -print-file-name=libubsan.so)
SAN_PYTHON = LD_PRELOAD=$(SAN_PRELOAD) ASAN_OPTIONS=detect_leaks=0 MORVA_SANITIZED=1 PYTHONPATH=build/fuzz-python

fuzz-targets: build/fuzz/build.ninja
	$(CMAKE) --build build/fuzz -j $(JOBS) --target morva_fuzz fuzz_checkpoint
	mkdir -p build/fuzz/engine-corpus build/fuzz/checkpoint-corpus

# Bounded: part of make test.
test-fuzz-engine: fuzz-targets
	$(FUZZ_ENV) build/fuzz/morva_fuzz $(FUZZ_ENGINE_FLAGS) -max_total_time=$(FUZZ_TEST_SECONDS) \
	  build/fuzz/engine-corpus tests/fuzz/engine_corpus

test-fuzz-checkpoint: fuzz-targets
	$(FUZZ_ENV) build/fuzz/fuzz_checkpoint $(FUZZ_CHECKPOINT_FLAGS) -max_total_time=$(FUZZ_TEST_SECONDS) \
	  build/fuzz/checkpoint-corpus tests/fuzz/checkpoint_corpus

# The two side by side when there are cores for both, each one's report printed in one piece.
test-fuzz:
	$(MAKE) --no-print-directory -j $(JOBS) --output-sync=target test-fuzz-engine test-fuzz-checkpoint

# Long: FUZZ_SECONDS of each libFuzzer target, then FUZZ_EXAMPLES random programs and the robustness
# tests against the sanitized module.
fuzz: fuzz-targets build/fuzz-python/build.ninja module
	$(CMAKE) --build build/fuzz-python -j $(JOBS) --target morva_core
	$(FUZZ_ENV) nice build/fuzz/morva_fuzz $(FUZZ_ENGINE_FLAGS) -max_total_time=$(FUZZ_SECONDS) \
	  build/fuzz/engine-corpus tests/fuzz/engine_corpus
	$(FUZZ_ENV) nice build/fuzz/fuzz_checkpoint $(FUZZ_CHECKPOINT_FLAGS) -max_total_time=$(FUZZ_SECONDS) \
	  build/fuzz/checkpoint-corpus tests/fuzz/checkpoint_corpus
	$(SAN_PYTHON) $(PY) -c "import morva_core; assert morva_core.__file__.startswith('$(abspath build/fuzz-python)')"
	$(SAN_PYTHON) MORVA_FUZZ_EXAMPLES=$(FUZZ_EXAMPLES) $(PY) -m pytest -q -p no:cacheprovider \
	  tests/python/test_fuzz_programs.py tests/python/test_robustness.py

# The documentation site: every page runs its code while it is built, so tutorials cannot rot.
$(VENV)/.docs.stamp: requirements-docs.txt $(VENV)/.stamp
	$(PY) -m pip install -q -r requirements-docs.txt
	@touch $@

docs: module $(VENV)/.docs.stamp
	NO_MKDOCS_2_WARNING=1 MPLBACKEND=Agg $(PY) -m mkdocs build --strict

# The site at http://127.0.0.1:8000, rebuilt when a page changes (opened as files, folder links of
# the built site show listings).
docs-serve: module $(VENV)/.docs.stamp
	NO_MKDOCS_2_WARNING=1 MPLBACKEND=Agg $(PY) -m mkdocs serve

# In two lanes side by side (each lane's output printed in one piece when it ends), once the build tools
# are in. The Python lane: pip installs the rest of the Python packages while the release tree
# compiles the engine at release flags and the C++ tests that only run without sanitizers (that tree
# needs only the build tools); then the module, pytest and the docs, one core at a time, one step
# after another, so this lane goes first. The sanitized lane takes what the Python lane leaves (nice):
# every C++ test under ASan and UBSan in the fuzz targets' tree, the parallel ones under
# ThreadSanitizer, then, at normal priority, the two bounded fuzz runs side by side. Its builds and
# ctest use every core they get, so no core idles while the other lane runs one process.
test: $(VENV)/.tools.stamp .deb.stamp
	$(MAKE) --no-print-directory -j 2 --output-sync=target test-lane-sanitized test-lane-python

# Each lane in order (no two pip runs in one environment, no two builds of one tree).
test-lane-sanitized:
	nice -n 10 $(MAKE) --no-print-directory -j1 test-sanitize fuzz-targets test-thread
	$(MAKE) --no-print-directory test-fuzz

test-lane-python:
	$(MAKE) --no-print-directory -j 2 --output-sync=target setup test-unsanitized
	$(MAKE) --no-print-directory -j1 module test-python docs

# Three rounds of every benchmark: medians with their spread, and each step over the floor measured
# in the same run, as are B1 with every cell motile (Act model, persistent motion) over plain B1.
# Compare builds with bench/rounds.py directly (label=binary for each). Also builds
# build/release/morva_profile, the fixed stretch of sweeps for instruction-count profilers.
bench: build/release/build.ninja
	$(CMAKE) --build build/release -j $(JOBS) --target morva_bench morva_profile
	$(PY) bench/rounds.py --rounds 3 --out build/bench-runs this=build/release/morva_bench \
	  --ratio B1_step:B1_floor --ratio B2_step:B2_floor \
	  --ratio B1_act_step:B1_step --ratio B1_persistent_step:B1_step

# ------------------------------------------------------------------------------------- validation
# The validation suite (validation/, one script per result): each checks the engine against an exact
# solution or a published result, writes its figure and table of numbers into
# docs/images/validation/ (shown on docs/validation.md) and fails when a number leaves its stated
# tolerance. Minutes on two cores; the reduced versions run with the tests (tests/validation).
.PHONY: validate
validate: module
	MPLBACKEND=Agg $(PY) -m validation --out docs/images/validation

clean:
	rm -rf build
