"""Shared fixtures: where the test-only module lives, and leak checks."""
import gc
import importlib
import importlib.util
import os
import subprocess
import sys
import textwrap
import tracemalloc

import pytest

from velmora.server import handler_sets

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
TESTMOD_DIR = os.path.abspath(os.environ.get("VELMORA_TESTMOD_DIR", os.path.join(ROOT, "build", "testmods")))
if TESTMOD_DIR not in sys.path:
    sys.path.append(TESTMOD_DIR)

TESTMOD = "_rt_testmod"
# Tests of what only the compiled handler modules do; the build does not cover
# every interpreter yet, and there the package serves the interpreted ones.
needs_compiled = pytest.mark.skipif(not handler_sets.compiled_available(),
                                    reason="the compiled handler modules are not built")


def import_testmod():
    """The runtime's test module; skips the calling test module when no build
    made one (as on interpreters the build does not support yet). One that is
    there but fails to import is a failure."""
    if importlib.util.find_spec(TESTMOD) is None:
        pytest.skip("the runtime's test module %s is not built (none in %s)" % (TESTMOD, TESTMOD_DIR),
                    allow_module_level=True)
    return importlib.import_module(TESTMOD)


def format_failure(obj):
    """The interpreter's own text for a __format__ that returns no str: 3.15
    names the type and method where older versions say only __format__."""
    try:
        format(obj, "")
    except TypeError as e:
        return str(e)
    raise AssertionError("format(%r) did not fail" % (obj,))


SANITIZED = os.environ.get("VELMORA_SANITIZED") == "1"


def _internals_built():
    """Whether the build takes the fast paths of the interpreter's internals
    (the CMake option VELMORA_INTERNALS), as the build recorded it."""
    try:
        with open(os.path.join(TESTMOD_DIR, "internals_switch.txt")) as f:
            return f.read().strip() == "1"
    except FileNotFoundError:
        return True


INTERNALS = _internals_built()


def fast_path(name):
    """Whether the runtime under test takes the fast path `name` (an RT_FAST_
    line of runtime/internals.h): off without the internals, or left out on
    its own (VELMORA_FAST_PATHS_OFF)."""
    if importlib.util.find_spec(TESTMOD) is None:
        return False
    return importlib.import_module(TESTMOD).FAST_PATHS[name]


def needs_fast_path(name):
    """For the few tests that look at a fast path's own state, which a build without it does not keep."""
    return pytest.mark.skipif(not fast_path(name), reason="the fast path %s, built off" % name)
MEMCHECK = os.environ.get("VELMORA_MEMCHECK") == "1"  # under valgrind: about 40 times slower
# A debug interpreter counts every reference it holds: a call that leaks one
# shows in its total after a few rounds.
DEBUG_INTERPRETER = hasattr(sys, "gettotalrefcount")


def run_python(code, *args, env=None, check=True):
    """Runs `code` in a fresh interpreter of this environment; returns the
    completed process. The fresh process sees the same package and test module."""
    environment = dict(os.environ)
    environment["VELMORA_TESTMOD_DIR"] = TESTMOD_DIR
    extra = [TESTMOD_DIR]
    if environment.get("PYTHONPATH"):
        extra.insert(0, environment["PYTHONPATH"])
    environment["PYTHONPATH"] = os.pathsep.join(extra)
    environment.update(env or {})
    proc = subprocess.run([sys.executable, *args, "-c", textwrap.dedent(code)], env=environment,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                          cwd=os.getcwd())
    if check and proc.returncode != 0:
        raise AssertionError("child failed (%d):\n%s\n%s" % (proc.returncode, proc.stdout, proc.stderr))
    return proc


def refcount(*args):
    """sys.getrefcount(obj) alike at every call site. From 3.14 the compiler
    passes a local to a call borrowed or owned by its own analysis, so two
    sites could see counts one apart with nothing changed; the argument tuple
    here owns its reference either way."""
    (obj,) = args
    return sys.getrefcount(obj)


def assert_no_growth(action, rounds=100_000, warmup=1000, slack_objects=50, slack_bytes=64 * 1024):
    """Runs `action` many times and checks that neither the number of live
    objects nor the traced memory grows beyond a small slack."""
    if SANITIZED:
        rounds = min(rounds, 2000)
    if MEMCHECK:
        rounds, warmup = min(rounds, 50), min(warmup, 50)
    if DEBUG_INTERPRETER:
        rounds = min(rounds, 5000)
    total_refs = getattr(sys, "gettotalrefcount", lambda: 0)
    for _ in range(warmup):
        action()
    gc.collect()
    tracemalloc.start()
    try:
        before_objects = len(gc.get_objects())
        before_bytes = tracemalloc.get_traced_memory()[0]
        before_refs = total_refs()
        for _ in range(rounds):
            action()
        gc.collect()
        after_refs = total_refs()
        after_objects = len(gc.get_objects())
        after_bytes = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert after_objects - before_objects <= slack_objects, (before_objects, after_objects)
    assert after_bytes - before_bytes <= slack_bytes, (before_bytes, after_bytes)
    if DEBUG_INTERPRETER:  # one reference kept per round would add `rounds`
        assert after_refs - before_refs < rounds // 2, (before_refs, after_refs)


@pytest.fixture
def fresh_python():
    return run_python


@pytest.fixture(scope="session")
def installed_venv(tmp_path_factory):
    """The checkout as a user installs it with pip, in a venv of its own."""
    from build_helpers import installed_venv as make

    return make(tmp_path_factory.mktemp("installed"))
