"""The runtime's layers as the build draws them: module code and the body
helpers compile against the public headers only, so an include of a core
header from them fails to build."""
import glob
import json
import os
import re
import shlex
import subprocess
import sys

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
# What public macros become in preprocessed code: Py_IS_TYPE on 3.9, 3.10 and 3.15.
MACRO_EXPANSIONS = {"_Py_IS_TYPE", "_Py_IS_TYPE_impl"}


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


# --- each fast path's own switch ----------------------------------------------------------

SWITCH_HEADER = os.path.join("generated", "config", "runtime", "internals_switch.h")
# What only each fast path's code says, in the internals unit: gone when the path is left out.
FAST_PATH_MARKERS = {
    "METHOD_LOOKUP": ["_PyObject_GetMethod(obj, name, method)"],
    "DICT_VALUES": ["&PyDict_Type"],
    "LIST_SPARE": ["->allocated"],
    "GLOBAL_CACHE": ["cache->value = value"],
    "ATTR_CACHE": ["tp_version_tag"],
    "CLASS_GETATTR": ["ReadTypeThenGetattr"],
    "ENTRY_FRAMES": ["f_trace_opcodes"],
    "CODE_NAME": ["->co_name"],
    "TRIVIAL_GETTER": ["kTrivialGetterCode", "c_tracefunc", "PropertyHead"],
}
FAST_NAME = re.compile(r"^#define RT_FAST_([A-Z_]+) ", re.M)


def header_fast_paths():
    return FAST_NAME.findall(open(os.path.join(ROOT, "runtime", "internals.h")).read())


@pytest.fixture(scope="module")
def internals_unit():
    """Preprocesses the internals unit as the build compiles it, with the fast
    paths given left out: the unit's own lines (its header's too), joined."""
    path = os.path.join(build_dir(), "compile_commands.json")
    switch = os.path.join(build_dir(), SWITCH_HEADER)
    if not os.path.exists(path) or not os.path.exists(switch):
        pytest.skip("no compile database or switch header in %s" % build_dir())
    entry = next(e for e in json.load(open(path)) if e["file"].endswith("runtime/internals.cpp"))
    words = shlex.split(entry["command"]) if "command" in entry else entry["arguments"]
    flags = []
    for i, word in enumerate(words[1:], 1):
        if word.startswith(("-I", "-D", "-std")) or words[i - 1] == "-isystem" or word == "-isystem":
            flags.append(word)
    default = open(switch).read()

    def run(off, tmp):
        text = default
        for name in off:
            text, found = re.subn(r"(#define VELMORA_NO_%s) [01]" % name, r"\1 1", text)
            assert found == 1, name
        folder = tmp / "_".join(off or ["none"]) / "runtime"
        folder.mkdir(parents=True)
        (folder / "internals_switch.h").write_text(text)
        # Not under the sanitizer run's preloaded runtime: the compiler's own leaks would fail it.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        out = subprocess.run([words[0], "-I" + str(folder.parent)] + flags + ["-E", entry["file"]], check=True,
                             stdout=subprocess.PIPE, universal_newlines=True, cwd=entry["directory"],
                             env=env).stdout
        own, keep = [], False
        for line in out.splitlines():
            marker = re.match(r'# \d+ "([^"]+)"', line)
            if marker:
                keep = marker.group(1).endswith(("runtime/internals.cpp", "runtime/internals.h"))
            elif keep:
                own.append(line)
        return "\n".join(own)

    return run


def test_the_switch_header_names_every_fast_path_of_the_internals_header():
    switch = os.path.join(build_dir(), SWITCH_HEADER)
    if not os.path.exists(switch):
        pytest.skip("no switch header in %s" % build_dir())
    names = header_fast_paths()
    assert sorted(names) == sorted(FAST_PATH_MARKERS)
    assert re.findall(r"^#define VELMORA_NO_([A-Z_]+) [01]$", open(switch).read(), re.M) == names


def test_a_fast_path_left_out_leaves_nothing_of_its_own(internals_unit, tmp_path):
    default = internals_unit([], tmp_path)
    if "VELMORA_INTERNALS 1" not in open(os.path.join(build_dir(), SWITCH_HEADER)).read():
        pytest.skip("built without the internals")
    # Each path the build takes shows its code (frames are reused from 3.11 on): the markers mean something.
    import _rt_testmod
    on = {name for name, built in _rt_testmod.FAST_PATHS.items() if built}
    taken = [name for name, markers in FAST_PATH_MARKERS.items() if any(m in default for m in markers)]
    assert on - set(taken) <= ({"ENTRY_FRAMES"} if sys.version_info < (3, 11) else set()), sorted(on - set(taken))
    for name in taken:
        left = internals_unit([name], tmp_path)
        assert not [m for m in FAST_PATH_MARKERS[name] if m in left], name
    everything_off = internals_unit(header_fast_paths(), tmp_path)
    private = set(PRIVATE_NAME.findall(everything_off)) - BACKPORTED - MACRO_EXPANSIONS
    assert not private, "private names outside every fast path's switch: %s" % sorted(private)


def test_the_runtime_takes_the_fast_paths_the_build_asked_for():
    cache = os.path.join(build_dir(), "CMakeCache.txt")
    if not os.path.exists(cache):
        pytest.skip("no CMake cache in %s" % build_dir())
    found = re.search(r"^VELMORA_FAST_PATHS_OFF:STRING=(.*)$", open(cache).read(), re.M)
    off = set(filter(None, found.group(1).split(";"))) if found else set()
    header = open(os.path.join(ROOT, "runtime", "internals.h")).read()
    parents = dict(re.findall(r"^#define RT_FAST_([A-Z_]+) \(RT_FAST_([A-Z_]+) &&", header, re.M))
    # A path whose condition names a version (RT_PY3NN) is left out before it.
    lowest = {name: int(minor) for name, minor in
              re.findall(r"^#define RT_FAST_([A-Z_]+) \(.*RT_PY3(\d+)", header, re.M)}

    def expected(name):
        if name in off or sys.version_info[:2] < (3, lowest.get(name, 0)):
            return False
        return expected(parents[name]) if name in parents else built_switch()

    import _rt_testmod
    assert sorted(_rt_testmod.FAST_PATHS) == sorted(header_fast_paths())
    assert _rt_testmod.FAST_PATHS == {name: expected(name) for name in header_fast_paths()}
