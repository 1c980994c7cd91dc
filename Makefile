# Entry points: `make test` (everything, from a fresh machine) and `make demo`.
SHELL := /bin/bash
.DEFAULT_GOAL := all

BUILD_DIR ?= build
ASAN_DIR ?= build-asan
VENV_PY := .venv/bin/python
CMAKE_ARGS ?=
# Tests never write bytecode caches into the system's package folders.
export PYTHONDONTWRITEBYTECODE := 1

.PHONY: all env build test test-cpp test-ctest test-python test-asan test-valgrind lint format demo bench bench-ir clean

all: build

env: .venv/.bootstrapped

.venv/.bootstrapped: tools/bootstrap.sh tools/find_python.sh
	tools/bootstrap.sh

$(BUILD_DIR)/build.ninja: CMakeLists.txt | env
	cmake -S . -B $(BUILD_DIR) -G Ninja -DPython_EXECUTABLE=$$(tools/find_python.sh) $(CMAKE_ARGS)

build: $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR)

test-cpp: build
	$(BUILD_DIR)/tests/runtime_tests --gtest_brief=1

test-python: build
	VELMORA_TESTMOD_DIR=$(BUILD_DIR)/testmods $(VENV_PY) -m pytest -q tests/python

test: lint test-cpp test-python test-asan test-valgrind

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
ASAN_RT = $$(g++ -print-file-name=libasan.so)
ASAN_ENV = PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
           LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan-python38.supp:print_suppressions=0 \
           UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

$(ASAN_DIR)/build.ninja: CMakeLists.txt | env
	cmake -S . -B $(ASAN_DIR) -G Ninja -DPython_EXECUTABLE=$$(tools/find_python.sh) \
	  -DVELMORA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DVELMORA_PKG_DIR=$(CURDIR)/$(ASAN_DIR)/pkg $(CMAKE_ARGS)

test-asan: $(ASAN_DIR)/build.ninja
	cmake --build $(ASAN_DIR)
	$(ASAN_ENV) $(ASAN_DIR)/tests/runtime_tests --gtest_brief=1
	# From the staged tree: the current directory comes first on sys.path, and
	# the checkout's own package holds the uninstrumented modules.
	cd $(ASAN_DIR)/pkg && $(ASAN_ENV) LD_PRELOAD=$(ASAN_RT) PYTHONPATH=$(CURDIR)/$(ASAN_DIR)/pkg \
	  VELMORA_TESTMOD_DIR=$(CURDIR)/$(ASAN_DIR)/testmods VELMORA_SANITIZED=1 \
	  $(CURDIR)/$(VENV_PY) -m pytest -q -p no:cacheprovider --rootdir=$(CURDIR) $(CURDIR)/tests/python

# memcheck over a focused subset: both modules' start-up and every method path
# under failing allocations (every 7th allocation), each call path, each
# failure row and the function object's cycles. The suppressions cover what
# the C library's loader keeps for the life of the process.
VALGRIND_SUPP ?= tools/valgrind-python38.supp
MEMCHECK_TESTS = tests/python/test_allocation_failures.py tests/python/test_handler_leaks.py \
                 tests/python/test_hostfacts.py tests/python/test_groundwork.py \
                 tests/python/test_function_object.py

test-valgrind: build
	VELMORA_TESTMOD_DIR=$(BUILD_DIR)/testmods VELMORA_MEMCHECK=1 VELMORA_SWEEP_STEP=7 PYTHONMALLOC=malloc \
	  valgrind -q --suppressions=$(VALGRIND_SUPP) --error-exitcode=99 --leak-check=full \
	  --show-leak-kinds=definite --errors-for-leak-kinds=definite --trace-children=yes \
	  $(VENV_PY) -m pytest -q -p no:cacheprovider $(MEMCHECK_TESTS)

# The demo serves a folder git ignores; a --root-dir in DEMO_ARGS wins (the last one counts).
DEMO_ROOT ?= demo-data
demo: build
	$(VENV_PY) -m velmora.server --root-dir $(DEMO_ROOT) $(DEMO_ARGS)

# Figures only. bench: time per call and import against the interpreted twins;
# bench-ir: the same scenarios in callgrind instructions, steady on a busy machine.
bench: build
	$(VENV_PY) bench/run.py

bench-ir: build
	$(VENV_PY) bench/ir.py

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
	find velmora -name '*.so' -delete
