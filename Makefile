# Entry points: `make test` (everything, from a fresh machine) and `make demo`.
SHELL := /bin/bash
.DEFAULT_GOAL := all

# One build folder and one venv per Python version: build and .venv for 3.8,
# build-3.X and .venv-3.X for the others (make test-python PYVER=3.11).
PYVER ?= 3.8
ifeq ($(PYVER),3.8)
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
VENV ?= .venv
BOOTSTRAP := tools/bootstrap.sh
else
BUILD_DIR ?= build-$(PYVER)
ASAN_DIR ?= build-asan-$(PYVER)
VENV ?= .venv-$(PYVER)
BOOTSTRAP := tools/bootstrap.sh --venv $(PYVER)
endif
VENV_PY := $(VENV)/bin/python
PYTAG := $(subst .,,$(PYVER))
# The versions make test builds and tests besides 3.8 where it finds them, and
# those that also get the sanitizer run (3.8 also valgrind); TEST_JOBS suites at once.
OTHER_VERSIONS ?= 3.9 3.10 3.11 3.12 3.13
CHECKED_VERSIONS ?= 3.8 3.11
TEST_JOBS ?= 2
CMAKE_ARGS ?=
# INTERNALS=OFF builds on the interpreter's public API alone (ON forces the
# fast paths), in a folder and staged package of its own: the checkout's
# modules stay those of the default build.
INTERNALS ?=
ifneq ($(INTERNALS),)
BUILD_DIR := $(BUILD_DIR)-internals-$(INTERNALS)
override CMAKE_ARGS += -DVELMORA_INTERNALS=$(INTERNALS) -DVELMORA_PKG_DIR=$(CURDIR)/$(BUILD_DIR)/pkg
# Run from the staged tree, whose package comes first on sys.path.
PKG_RUN := cd $(BUILD_DIR)/pkg && PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/pkg
PKG_ROOT := $(CURDIR)/
endif
PYTEST := -m pytest -q -p no:cacheprovider
# Tests never write bytecode caches into the system's package folders.
export PYTHONDONTWRITEBYTECODE := 1

.PHONY: all env build test test-setup test-cpp test-ctest test-python test-asan test-valgrind test-version lint format demo bench bench-ir bench-one bench-ir-one clean

all: build

env: $(VENV)/.bootstrapped

# Never installs system packages: it says what is missing and how to get it.
$(VENV)/.bootstrapped: tools/bootstrap.sh tools/find_python.sh
	$(BOOTSTRAP)

$(BUILD_DIR)/build.ninja: CMakeLists.txt | env
	cmake -S . -B $(BUILD_DIR) -G Ninja -DPython_EXECUTABLE=$$(tools/find_python.sh $(PYVER)) $(CMAKE_ARGS)

build: $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR)

test-cpp: build
	$(BUILD_DIR)/tests/runtime_tests --gtest_brief=1

test-python: build
	$(PKG_RUN) VELMORA_TESTMOD_DIR=$(CURDIR)/$(BUILD_DIR)/testmods $(PKG_ROOT)$(VENV_PY) $(PYTEST) \
	  $(if $(PKG_ROOT),--rootdir=$(CURDIR)) $(PKG_ROOT)tests/python

# Installs what the tests need (as root, with apt), then runs every version's
# checks, TEST_JOBS at a time, each into its log, with one summary per version.
test: test-setup
	$(VENV_PY) tools/version_runs.py --jobs $(TEST_JOBS) --checked "$(CHECKED_VERSIONS)" 3.8 $(OTHER_VERSIONS)

test-setup:
	tools/bootstrap.sh --install

# What make test runs on one version (a version of CHECKED_VERSIONS also gets
# the sanitizer run; 3.8 also make lint and valgrind).
test-version: test-cpp test-python

# The same C++ tests as CTest sees them.
test-ctest: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure

# Formatting and the checks of .clang-tidy over every source of the compile
# database (the generated tables aside); about half a minute.
CXX_FILES = $$(find runtime server tests bench -name '*.cpp' -o -name '*.h' | sort)
TIDY_FILES = $$($(VENV_PY) -c 'import json, sys; \
  print("\n".join(sorted({e["file"] for e in json.load(open(sys.argv[1])) if "/generated/" not in e["file"]})))' \
  $(BUILD_DIR)/compile_commands.json)

# The shared names check exists beside a development checkout only; a user's
# clone skips it.
NAMES_CHECK := ../shared/tools/check-names

lint: build
	@if [ -x $(NAMES_CHECK) ]; then $(NAMES_CHECK); else echo "lint: $(NAMES_CHECK) not found, names check skipped"; fi
	clang-format --dry-run -Werror $(CXX_FILES)
	clang-tidy -p $(BUILD_DIR) --quiet $(TIDY_FILES) 2>&1 | { grep -v '^[0-9]* warnings\? generated\.$$' || true; }; \
	  exit $${PIPESTATUS[0]}

format:
	clang-format -i $(CXX_FILES)

# The same suites with AddressSanitizer and UndefinedBehaviorSanitizer, on a
# staged copy of the package so the development build stays as it is.
LSAN_SUPP ?= $(firstword $(wildcard tools/lsan-python$(PYTAG).supp) tools/lsan-python38.supp)
ASAN_RT = $$(g++ -print-file-name=libasan.so)
ASAN_ENV = PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
           LSAN_OPTIONS=suppressions=$(CURDIR)/$(LSAN_SUPP):print_suppressions=0 \
           UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

$(ASAN_DIR)/build.ninja: CMakeLists.txt | env
	cmake -S . -B $(ASAN_DIR) -G Ninja -DPython_EXECUTABLE=$$(tools/find_python.sh $(PYVER)) \
	  -DVELMORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DVELMORA_PKG_DIR=$(CURDIR)/$(ASAN_DIR)/pkg $(CMAKE_ARGS)

test-asan: $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR)
	$(ASAN_ENV) $(ASAN_DIR)/tests/runtime_tests --gtest_brief=1
	# From the staged tree: the current directory comes first on sys.path, and
	# the checkout's own package holds the uninstrumented modules.
	cd $(ASAN_DIR)/pkg && $(ASAN_ENV) LD_PRELOAD=$(ASAN_RT) PYTHONPATH=$(CURDIR)/$(ASAN_DIR)/pkg \
	  VELMORA_TESTMOD_DIR=$(CURDIR)/$(ASAN_DIR)/testmods VELMORA_SANITIZED=1 \
	  $(CURDIR)/$(VENV_PY) $(PYTEST) --rootdir=$(CURDIR) $(CURDIR)/tests/python

# memcheck over a focused subset: both modules' start-up and every method path
# under failing allocations (every 7th allocation), each call path, each
# failure row and the function object's cycles. The suppressions cover what
# the C library's loader keeps for the life of the process.
VALGRIND_SUPP ?= $(firstword $(wildcard tools/valgrind-python$(PYTAG).supp) tools/valgrind-python38.supp)
MEMCHECK_TESTS = tests/python/test_allocation_failures.py tests/python/test_handler_leaks.py \
                 tests/python/test_hostfacts.py tests/python/test_groundwork.py \
                 tests/python/test_function_object.py

test-valgrind: build
	VELMORA_TESTMOD_DIR=$(BUILD_DIR)/testmods VELMORA_MEMCHECK=1 VELMORA_SWEEP_STEP=7 PYTHONMALLOC=malloc \
	  valgrind -q --suppressions=$(VALGRIND_SUPP) --error-exitcode=99 --leak-check=full \
	  --show-leak-kinds=definite --errors-for-leak-kinds=definite --trace-children=yes \
	  $(VENV_PY) $(PYTEST) $(MEMCHECK_TESTS)

# The demo serves a folder git ignores; a --root-dir in DEMO_ARGS wins (the last one counts).
DEMO_ROOT ?= demo-data
demo: build
	$(VENV_PY) -m velmora.server --root-dir $(DEMO_ROOT) $(DEMO_ARGS)

# Figures only. bench: time per call and import against the interpreted twins;
# bench-ir: the same scenarios in callgrind instructions, steady on a busy machine.
# Both run for 3.8 and every other version built here (make test builds them),
# each against that version's interpreted handlers in the same process;
# BENCH_VERSIONS="3.11" picks, BENCH_ARGS=--quick shortens.
BENCH_VERSIONS ?= 3.8 $(foreach v,$(OTHER_VERSIONS),$(if $(wildcard build-$(v)/build.ninja .venv-$(v)/bin/python),$(v)))
BENCH_ARGS ?=

bench bench-ir:
	@set -e; for v in $(BENCH_VERSIONS); do \
	  $(MAKE) --no-print-directory PYVER=$$v $@-one; done

bench-one: build
	@echo "== CPython $$($(VENV_PY) -c 'import platform; print(platform.python_version())')"
	$(VENV_PY) bench/run.py $(BENCH_ARGS)

bench-ir-one: build
	@echo "== CPython $$($(VENV_PY) -c 'import platform; print(platform.python_version())')"
	$(VENV_PY) bench/ir.py $(BENCH_ARGS)

clean:
	rm -rf build build-asan $(foreach v,$(OTHER_VERSIONS),build-$(v) build-asan-$(v))
	find velmora -name '*.so' -delete
