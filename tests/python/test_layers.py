"""The runtime's layers as the build draws them: module code and the body
helpers compile against the public headers only, so an include of a core
header from them fails to build."""
import glob
import json
import os
import re
import shlex

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PUBLIC = os.path.join(ROOT, "runtime", "include")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def build_dir():
    testmods = os.environ.get("VELMORA_TESTMOD_DIR")
    return os.path.dirname(os.path.abspath(testmods)) if testmods else os.path.join(ROOT, "build")


@pytest.fixture(scope="module")
def include_dirs():
    """Per source file, the directories its compile command names with -I."""
    path = os.path.join(build_dir(), "compile_commands.json")
    if not os.path.exists(path):
        pytest.skip("no compile database in %s" % build_dir())
    dirs = {}
    for entry in json.load(open(path)):
        words = shlex.split(entry["command"]) if "command" in entry else entry["arguments"]
        found = [w[2:] for w in words if w.startswith("-I") and len(w) > 2]
        found += [words[i + 1] for i, w in enumerate(words[:-1]) if w == "-I"]
        dirs[os.path.relpath(entry["file"], ROOT)] = {os.path.normpath(d) for d in found}
    return dirs


MODULE_FACING = ["server/handlers/info/hostfacts/module.cpp", "server/handlers/info/hostfacts/get_info.cpp",
                 "server/handlers/pipeline_import/groundwork/module.cpp",
                 "server/handlers/pipeline_import/groundwork/finish_with_result.cpp", "runtime/body_helpers.cpp"]


@pytest.mark.parametrize("source", MODULE_FACING)
def test_module_facing_code_sees_only_the_public_headers(include_dirs, source):
    dirs = include_dirs[source]
    assert PUBLIC in dirs
    generated = {d for d in dirs if os.sep + "generated" + os.sep in d}
    assert dirs - generated == {PUBLIC}, "reaches past the public headers: %s" % sorted(dirs - generated)


def test_the_core_sees_its_own_headers(include_dirs):
    core = [f for f in include_dirs if f.startswith("runtime" + os.sep) and f != "runtime/body_helpers.cpp"]
    assert len(core) >= 10
    for source in core:
        assert ROOT in include_dirs[source], source


@pytest.mark.parametrize("header", sorted(glob.glob(os.path.join(PUBLIC, "runtime", "*.h"))),
                         ids=os.path.basename)
def test_public_headers_include_public_headers_only(header):
    for name in INCLUDE.findall(open(header).read()):
        assert os.path.exists(os.path.join(PUBLIC, name)), "%s includes the core header %s" % (header, name)


# --- the interpreter's internals: one unit, one switch ------------------------------------

INTERNALS_UNIT = {"runtime/internals.cpp", "runtime/internals.h"}
# The older versions' spellings of names the newest CPython makes public.
BACKPORTED = {"_PyThreadState_UncheckedGet", "_PyVectorcall_Function", "_PyObject_Vectorcall",
              "_PyObject_FastCallDict", "_Py_TPFLAGS_HAVE_VECTORCALL"}
PRIVATE_NAME = re.compile(r"\b(_Py[A-Za-z_]+)\b")


def runtime_sources():
    found = []
    for folder in ("runtime", "server"):
        for base, _, files in os.walk(os.path.join(ROOT, folder)):
            found += [os.path.relpath(os.path.join(base, f), ROOT) for f in files if f.endswith((".cpp", ".h"))]
    return sorted(found)


def code_of(source):
    """The source without its comments."""
    text = open(os.path.join(ROOT, source)).read()
    return re.sub(r"//[^\n]*|/\*.*?\*/", "", text, flags=re.S)


@pytest.mark.parametrize("source", runtime_sources())
def test_only_the_internals_unit_reaches_the_internals(source):
    code = code_of(source)
    if source in INTERNALS_UNIT:
        return
    private = set(PRIVATE_NAME.findall(code))
    if source == "runtime/include/runtime/python_compat.h":
        private -= BACKPORTED
    assert not private, "private names outside the internals unit: %s" % sorted(private)
    for marker in ("VELMORA_INTERNALS", "Py_BUILD_CORE", "internal/pycore"):
        assert marker not in code, "%s outside the internals unit" % marker
    includes_internals = "runtime/internals.h" in INCLUDE.findall(code)
    assert not includes_internals or not (source.startswith("server") or "include" in source.split(os.sep)
                                          or source == "runtime/body_helpers.cpp"), \
        "module-facing code includes the internals"


def built_switch():
    path = os.path.join(os.environ.get("VELMORA_TESTMOD_DIR", os.path.join(build_dir(), "testmods")),
                        "internals_switch.txt")
    if not os.path.exists(path):
        pytest.skip("no switch record in %s" % path)
    return open(path).read().strip() == "1"


def test_the_test_module_reports_the_builds_switch():
    switch = built_switch()
    import _rt_testmod
    assert _rt_testmod.INTERNALS is switch


# What the public macros and the backported names expand to, by version.
def public_expansions(version, debug=False):
    names = {"_Py_Dealloc", "_Py_NoneStruct", "_Py_TrueStruct", "_Py_FalseStruct", "_Py_NotImplementedStruct",
             "_PyObject_GC_New"}
    if debug:  # a debug interpreter's reference counting keeps its total and checks for negatives
        names |= ({"_Py_INCREF_IncRefTotal", "_Py_DECREF_DecRefTotal"} if version >= (3, 12) else {"_Py_RefTotal"})
        names.add("_Py_NegativeRefcount")
    if version < (3, 13):
        names.add("_PyThreadState_UncheckedGet")  # PyThreadState_GetUnchecked
    if version < (3, 12):
        names.add("_PyUnicode_Ready")  # PyUnicode_READY
    if version < (3, 9):
        # PyObject_Vectorcall and Py_EnterRecursiveCall, inline there
        names |= {"_Py_CheckFunctionResult", "_PyObject_MakeTpCall", "_Py_CheckRecursionLimit",
                  "_Py_CheckRecursiveCall"}
    return names


@pytest.mark.parametrize("module", ["velmora.server.handlers.info.hostfacts",
                                    "velmora.server.handlers.pipeline_import.groundwork"])
def test_without_the_internals_the_modules_link_only_public_names(module):
    import importlib.util
    import shutil
    import subprocess
    import sys
    if built_switch():
        pytest.skip("built with the internals")
    if not shutil.which("nm"):
        pytest.skip("no nm")
    origin = importlib.util.find_spec(module).origin
    assert origin.endswith(".so"), origin
    listing = subprocess.run(["nm", "-D", "--undefined-only", origin], check=True, stdout=subprocess.PIPE,
                             universal_newlines=True).stdout
    private = {line.split()[-1] for line in listing.splitlines() if line.split()[-1].startswith("_Py")}
    public = public_expansions(sys.version_info[:2], debug=hasattr(sys, "gettotalrefcount"))
    assert private <= public, sorted(private - public)
