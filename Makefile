# Entry points: `make demo` (build the two modules and serve), `make test`
# (install what is missing, build and test on every supported CPython), `make`
# (the development environment: .venv and the modules).
SHELL := /bin/bash
.DEFAULT_GOAL := all

# The newest supported CPython found here, or PYVER=3.X for another one.
NEWEST := $(shell tools/newest_python.sh 2>/dev/null)
PYVER ?= $(firstword $(NEWEST))
PYTHON ?= $(if $(filter $(PYVER),$(firstword $(NEWEST))),$(lastword $(NEWEST)),$(lastword $(shell tools/newest_python.sh $(PYVER))))
BUILD_DIR ?= build-$(PYVER)
ASAN_DIR ?= build-asan-$(PYVER)
VENV ?= .venv
VENV_PY := $(VENV)/bin/python
PYTAG := $(subst .,,$(PYVER))
TOOLS := .venv-tools
CMAKE_ARGS ?=
# INTERNALS=OFF builds on the interpreter's public API alone (ON forces the
# fast paths), and FAST_PATHS_OFF="GLOBAL_CACHE;ATTR_CACHE" without those fast
# paths (names of runtime/internals.h), each in a folder and staged package of
# its own: the checkout's modules stay those of the default build.
INTERNALS ?=
FAST_PATHS_OFF ?=
ifneq ($(INTERNALS)$(FAST_PATHS_OFF),)
BUILD_DIR := $(BUILD_DIR)$(if $(INTERNALS),-internals-$(INTERNALS))$(if $(FAST_PATHS_OFF),-without-$(subst ;,-,$(FAST_PATHS_OFF)))
override CMAKE_ARGS += $(if $(INTERNALS),-DVELMORA_INTERNALS=$(INTERNALS)) "-DVELMORA_FAST_PATHS_OFF=$(FAST_PATHS_OFF)" \
  -DVELMORA_PKG_DIR=$(CURDIR)/$(BUILD_DIR)/pkg
# Run from the staged tree, whose package comes first on sys.path.
PKG_RUN := cd $(BUILD_DIR)/pkg && PYTHONPATH=$(CURDIR)/$(BUILD_DIR)/pkg
PKG_ROOT := $(CURDIR)/
endif
PYTEST := -m pytest -q -p no:cacheprovider
# Tests never write bytecode caches into the package folders.
export PYTHONDONTWRITEBYTECODE := 1

.PHONY: all env modules build test test-setup test-public test-python test-asan test-valgrind lint format demo \
        bench bench-ir bench-fastpaths bench-one bench-ir-one bench-fastpaths-one clean

all: env build

no-python:
	@if [ -z "$(PYTHON)" ]; then tools/newest_python.sh $(filter-out $(firstword $(NEWEST)),$(PYVER)); exit 1; fi

# .venv: the newest CPython with the test and Jupyter packages pinned in
# locks/, from PyPI, and this checkout importable.
env: $(VENV)/.made

$(VENV)/.made: locks/py$(PYVER).txt | no-python
	@echo "velmora: making $(VENV) with CPython $(PYVER) ($(PYTHON)) and the packages of locks/py$(PYVER).txt, from PyPI"
	rm -rf $(VENV)
	$(PYTHON) -m venv $(VENV)
	$(VENV_PY) -m pip install -q -r locks/py$(PYVER).txt
	echo "$(CURDIR)" > "$$($(VENV_PY) -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')/00-velmora-checkout.pth"
	touch $@

$(BUILD_DIR)/build.ninja: CMakeLists.txt | no-python
	cmake -S . -B $(BUILD_DIR) -G Ninja -DPython_EXECUTABLE=$(PYTHON) $(CMAKE_ARGS)

# The two modules, into the checkout's package tree.
modules: $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) --target hostfacts groundwork

# Everything: the modules, the C++ tests, the test-only module, the benchmarks.
build: $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR)

test-python: build
	$(PKG_RUN) VELMORA_TESTMOD_DIR=$(CURDIR)/$(BUILD_DIR)/testmods $(PKG_ROOT)$(VENV_PY) $(PYTEST) \
	  $(if $(PKG_ROOT),--rootdir=$(CURDIR)) $(PKG_ROOT)tests/python

# Installs what the runs need (Debian's packages for the toolchain, as root;
# the runner and lint tools pinned from PyPI), then runs every nox session,
# two at a time, one line each.
test: test-setup env
	tools/test_runs.sh

# The suite without the fast paths on every compiled version this machine has
# (make test: the oldest and the newest).
test-public: test-setup
	$(TOOLS)/bin/nox -s public-all

test-setup:
	tools/install_toolchain.sh
	@if [ ! -f $(TOOLS)/.made ] || [ locks/tools.txt -nt $(TOOLS)/.made ]; then \
	  echo "velmora: making $(TOOLS) with the runner and lint tools of locks/tools.txt, from PyPI"; \
	  rm -rf $(TOOLS) && $(PYTHON) -m venv $(TOOLS) && $(TOOLS)/bin/python -m pip install -q -r locks/tools.txt && touch $(TOOLS)/.made; fi

# Formatting and the checks of .clang-tidy over every source of the compile
# database (the generated tables aside).
CXX_FILES = $$(find runtime server tests bench -name '*.cpp' -o -name '*.h' | sort)
TIDY_FILES = $$($(PYTHON) -c 'import json, sys; \
  print("\n".join(sorted({e["file"] for e in json.load(open(sys.argv[1])) if "/generated/" not in e["file"]})))' \
  $(BUILD_DIR)/compile_commands.json)
# The versions pinned in locks/tools.txt (make test-setup installs them), for
# one verdict on every machine. The clang-tidy wheel brings no compiler
# headers of its own: it reads the C++ compiler's; it has no use for (and
# would refuse) GCC's link-time optimisation flags.
CLANG_FORMAT = $(TOOLS)/bin/clang-format
CLANG_TIDY = $(TOOLS)/bin/clang-tidy --extra-arg=-isystem$$(g++ -print-file-name=include) --extra-arg=-Wno-ignored-optimization-argument

# The shared names check exists beside a development checkout only; a user's
# clone skips it.
NAMES_CHECK := ../shared/tools/check-names

lint: build
	@[ -x $(TOOLS)/bin/clang-tidy ] || { echo "make lint: run make test-setup first (it makes $(TOOLS) with the pinned lint tools)" >&2; exit 1; }
	@if [ -x $(NAMES_CHECK) ]; then $(NAMES_CHECK); else echo "lint: $(NAMES_CHECK) not found, names check skipped"; fi
	$(CLANG_FORMAT) --dry-run -Werror $(CXX_FILES)
	$(CLANG_TIDY) -p $(BUILD_DIR) --quiet $(TIDY_FILES) 2>&1 | { grep -v '^[0-9]* warnings\? generated\.$$' || true; }; \
	  exit $${PIPESTATUS[0]}

format:
	@[ -x $(TOOLS)/bin/clang-format ] || { echo "make format: run make test-setup first (it makes $(TOOLS) with the pinned lint tools)" >&2; exit 1; }
	$(CLANG_FORMAT) -i $(CXX_FILES)

# The same suites with AddressSanitizer and UndefinedBehaviorSanitizer, on a
# staged copy of the package so the development build stays as it is.
LSAN_SUPP ?= $(firstword $(wildcard tools/lsan-python$(PYTAG).supp) tools/lsan-python38.supp)
ASAN_RT = $$(g++ -print-file-name=libasan.so)
ASAN_ENV = PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
           LSAN_OPTIONS=suppressions=$(CURDIR)/$(LSAN_SUPP):print_suppressions=0 \
           UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

test-asan: | no-python
	cmake -S . -B $(ASAN_DIR) -G Ninja -DPython_EXECUTABLE=$(PYTHON) \
	  -DVELMORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DVELMORA_PKG_DIR=$(CURDIR)/$(ASAN_DIR)/pkg $(CMAKE_ARGS)
	cmake --build $(ASAN_DIR)
	$(ASAN_ENV) $(ASAN_DIR)/tests/runtime_tests --gtest_brief=1
	# From the staged tree: the current directory comes first on sys.path, and
	# the checkout's own package holds the uninstrumented modules.
	cd $(ASAN_DIR)/pkg && $(ASAN_ENV) LD_PRELOAD=$(ASAN_RT) PYTHONPATH=$(CURDIR)/$(ASAN_DIR)/pkg \
	  VELMORA_TESTMOD_DIR=$(CURDIR)/$(ASAN_DIR)/testmods VELMORA_SANITIZED=1 \
	  $(abspath $(VENV_PY)) $(PYTEST) --rootdir=$(CURDIR) $(CURDIR)/tests/python

# memcheck over a focused subset: both modules' start-up and every method path
# under failing allocations (every 7th allocation), each call path, each
# failure row and the function object's cycles. The suppressions cover what
# the C library's loader keeps for the life of the process.
VALGRIND_SUPP ?= $(firstword $(wildcard tools/valgrind-python$(PYTAG).supp) tools/valgrind-python38.supp)
MEMCHECK_TESTS = tests/python/test_allocation_failures.py tests/python/test_handler_leaks.py \
                 tests/python/test_hostfacts.py tests/python/test_groundwork.py \
                 tests/python/test_function_object.py

MEMCHECK_DIR ?= build-memcheck-$(PYVER)
test-valgrind: | no-python
	cmake -S . -B $(MEMCHECK_DIR) -G Ninja -DPython_EXECUTABLE=$(PYTHON) \
	  -DVELMORA_PKG_DIR=$(CURDIR)/$(MEMCHECK_DIR)/pkg $(CMAKE_ARGS)
	cmake --build $(MEMCHECK_DIR)
	# From a staged tree, as the sanitizer run: other runs build the checkout's own modules meanwhile.
	cd $(MEMCHECK_DIR)/pkg && PYTHONPATH=$(CURDIR)/$(MEMCHECK_DIR)/pkg \
	  VELMORA_TESTMOD_DIR=$(CURDIR)/$(MEMCHECK_DIR)/testmods VELMORA_MEMCHECK=1 VELMORA_SWEEP_STEP=7 PYTHONMALLOC=malloc \
	  valgrind -q --suppressions=$(CURDIR)/$(VALGRIND_SUPP) --error-exitcode=99 --leak-check=full \
	  --show-leak-kinds=definite --errors-for-leak-kinds=definite --trace-children=yes \
	  $(abspath $(VENV_PY)) $(PYTEST) --rootdir=$(CURDIR) $(addprefix $(CURDIR)/,$(MEMCHECK_TESTS))

# Builds the two modules and serves a folder git ignores; a --root-dir in
# DEMO_ARGS wins (the last one counts). Installs nothing: it runs in .venv
# (made by `make`), or in the newest CPython when that has jupyter_server.
DEMO_ROOT ?= demo-data
DEMO_PY = $(if $(wildcard $(VENV_PY)),$(VENV_PY),$(PYTHON))
demo: modules
	mkdir -p $(DEMO_ROOT)
	@$(DEMO_PY) -c 'import jupyter_server, tornado' 2>/dev/null || { \
	  echo "velmora: make demo needs tornado and jupyter_server, which $(DEMO_PY) lacks: run make (it makes .venv from PyPI, pinned) or pip install jupyter_server" >&2; exit 1; }
	PYTHONPATH=$(CURDIR) $(DEMO_PY) -m velmora.server --root-dir $(DEMO_ROOT) $$([ "$$(id -u)" = 0 ] && echo --allow-root) $(DEMO_ARGS)

# Figures only. bench: time per call and import against the interpreted twins;
# bench-ir: the same scenarios in callgrind instructions, steady on a busy machine.
# Both run for every version with a build and a venv here (make test leaves
# them: build-3.X and .nox/tests-3-X); BENCH_VERSIONS="3.11" picks,
# BENCH_ARGS=--quick shortens. Each run's table replaces that version's
# section of BENCH_DOCS (empty: print only).
nox_venv = $(firstword $(wildcard .nox/tests-$(subst .,-,$(1))))
BENCH_VERSIONS ?= $(foreach v,3.8 3.9 3.10 3.11 3.12 3.13 3.14 3.15,$(if $(and $(wildcard build-$(v)/build.ninja),$(call nox_venv,$(v))),$(v)))
BENCH_ARGS ?=
BENCH_DOCS ?= docs/benchmarks.md

bench bench-ir bench-fastpaths:
	@set -e; for v in $(BENCH_VERSIONS); do \
	  $(MAKE) --no-print-directory PYVER=$$v VENV=$$( [ $$v = $(firstword $(NEWEST)) ] && [ -x .venv/bin/python ] && echo .venv || echo .nox/tests-$${v/./-}) $@-one; done

bench-one: build
	@echo "== CPython $$($(VENV_PY) -c 'import platform; print(platform.python_version())')"
	$(VENV_PY) bench/run.py $(BENCH_ARGS) $(if $(BENCH_DOCS),--docs $(BENCH_DOCS))

bench-ir-one: build
	@echo "== CPython $$($(VENV_PY) -c 'import platform; print(platform.python_version())')"
	$(VENV_PY) bench/ir.py $(BENCH_ARGS) $(if $(BENCH_DOCS),--docs $(BENCH_DOCS))

# What each fast path saves: builds of its own without each one (in
# build-fastpaths-3.X/), bench/ir.py on every build. FASTPATHS_ARGS="--only
# ATTR_CACHE" picks; "--imports NAME" also counts the imports for that one.
FASTPATHS_ARGS ?=
bench-fastpaths-one: | no-python
	@echo "== CPython $$($(VENV_PY) -c 'import platform; print(platform.python_version())')"
	$(VENV_PY) bench/fastpaths.py $(FASTPATHS_ARGS) $(if $(BENCH_DOCS),--docs $(BENCH_DOCS))

clean:
	rm -rf build build-* .nox
	find velmora -name '*.so' -delete
