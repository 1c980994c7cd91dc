"""Start-up of the two handler modules: import, re-import, reload, odd import
specs, the one-interpreter rule, failed start-ups and what the files export.

Anything that changes process-wide state (a module can be created only once per
process) runs in a fresh interpreter, with stand-ins for the modules the bodies
import so that each body run can be counted.
"""
import builtins
import importlib
import importlib.util
import json
import os
import shutil
import subprocess
import sys
import tempfile
import textwrap
import types

import pytest

from conftest import ROOT, SANITIZED, needs_compiled, run_python

HOSTFACTS = "velmora.server.handlers.info.hostfacts"
GROUNDWORK = "velmora.server.handlers.pipeline_import.groundwork"
SOURCES = {
    HOSTFACTS: "velmora/server/handlers/info/hostfacts.py",
    GROUNDWORK: "velmora/server/handlers/pipeline_import/groundwork.py",
}
CLASSES = {HOSTFACTS: "ServerAppInfoHandler", GROUNDWORK: "BasePipelineImportHandler"}

# Child prelude: stand-ins for every module the two bodies take names from
# (http and typing are the real ones). Each base class counts the classes made
# from it, which is how many times a body got as far as its class statement;
# while `class_raises` holds an exception class, the class statement raises it.
STANDINS = """
import importlib, json, sys, types
# -c puts the working directory (the checkout) first; the modules under test
# are the ones on PYTHONPATH.
sys.path[:] = [p for p in sys.path if p not in ("", ".")]
HOSTFACTS = %r
GROUNDWORK = %r
counts = {HOSTFACTS: 0, GROUNDWORK: 0}
class_raises = []
def standin(name, **attrs):
    module = types.ModuleType(name)
    module.__dict__.update(attrs)
    sys.modules[name] = module
    return module
class JupyterServerAppInfo:
    pass
class BaseInfoHandler:
    def __init_subclass__(cls, **kwargs):
        if class_raises:
            raise class_raises[0]
        counts[HOSTFACTS] += 1
class APIHandler:
    def __init_subclass__(cls, **kwargs):
        if class_raises:
            raise class_raises[0]
        counts[GROUNDWORK] += 1
STANDIN_MODULES = {
    "velmora.server.misc": dict(JupyterServerAppInfo=JupyterServerAppInfo),
    "velmora.server.handlers.info.groundwork": dict(BaseInfoHandler=BaseInfoHandler),
    "jupyter_server.base.handlers": dict(APIHandler=APIHandler),
}
def install_standins():
    for name, attrs in STANDIN_MODULES.items():
        standin(name, **attrs)
install_standins()
def report(value):
    print(json.dumps(value))
""" % (HOSTFACTS, GROUNDWORK)


# Leaks that are the interpreter's, named by the frame that allocates them:
# - PyModule_ExecDef: when create hands back the module it made before, the
#   interpreter drops that module's state pointer (a 1-byte block for a module
#   without state) and allocates a new one on exec;
# - _Py_EncodeUTF8Ex: destroying any subinterpreter loses two small buffers.
REIMPORT_LEAK = "PyModule_ExecDef"
SUBINTERPRETER_LEAK = "_Py_EncodeUTF8Ex"


def _sanitizer_env(leaks):
    """Environment for a child under the sanitizers that suppresses exactly
    `leaks` besides what the run already suppresses."""
    if not (SANITIZED and leaks):
        return None, None
    options = [o for o in os.environ.get("LSAN_OPTIONS", "").split(":") if o]
    base = [o.split("=", 1)[1] for o in options if o.startswith("suppressions=")]
    lines = []
    for path in base:
        with open(path) as f:
            lines.append(f.read())
    lines += ["leak:%s" % frame for frame in leaks]
    handle, path = tempfile.mkstemp(prefix="lsan-", suffix=".supp")
    with os.fdopen(handle, "w") as f:
        f.write("\n".join(lines) + "\n")
    options = [o for o in options if not o.startswith("suppressions=")] + ["suppressions=" + path]
    return {"LSAN_OPTIONS": ":".join(options)}, path


def child(code, *args, prelude="", leaks=(), env=None):
    """Runs the stand-ins, `prelude` and `code` in a fresh interpreter (with
    `env` added to its environment); returns what the child passed to report()."""
    sanitizer_env, suppressions = _sanitizer_env(leaks)
    try:
        proc = run_python(STANDINS + prelude + textwrap.dedent(code), *args,
                          env=dict(env or {}, **(sanitizer_env or {})))
    finally:
        if suppressions:
            os.unlink(suppressions)
    return json.loads(proc.stdout.splitlines()[-1])


def import_handler(name):
    """The module in this process: with the real sibling modules when they
    import, otherwise with stand-ins (installed before the first import only)."""
    if name not in sys.modules:
        try:
            importlib.import_module("velmora.server.misc")
            importlib.import_module("velmora.server.handlers.info.groundwork")
        except ImportError:
            # Only the package's own siblings: the rest of the process keeps
            # the real framework.
            class JupyterServerAppInfo:
                pass

            class BaseInfoHandler:
                pass

            for sibling, attrs in (("velmora.server.misc", {"JupyterServerAppInfo": JupyterServerAppInfo}),
                                   ("velmora.server.handlers.info.groundwork", {"BaseInfoHandler": BaseInfoHandler})):
                sys.modules.setdefault(sibling, types.ModuleType(sibling)).__dict__.update(attrs)
    return importlib.import_module(name)


@pytest.fixture(params=[HOSTFACTS, GROUNDWORK], ids=["hostfacts", "groundwork"])
def module_name(request):
    return request.param


@needs_compiled
class TestLoadedModule:
    def test_start_up_leaves_its_marks(self, module_name):
        module = import_handler(module_name)
        assert isinstance(sys.modules["_velmora_runtime"], type(sys))
        assert module.__builtins__ is builtins
        assert module.__test__ == {} and type(module.__test__) is dict
        assert module.__name__ == module_name
        assert module.__package__ == module_name.rpartition(".")[0]
        assert module.__file__ == importlib.util.find_spec(module_name).origin
        assert module.__loader__ is module.__spec__.loader
        assert "__path__" not in vars(module)
        assert module.__doc__ is None

    @pytest.mark.skipif(SANITIZED, reason="re-creating leaks the interpreter's module state block; "
                                          "test_body_runs_once_per_process covers this under the sanitizers")
    def test_reimport_after_removal_gives_the_same_module(self, module_name, monkeypatch):
        module = import_handler(module_name)
        cls = getattr(module, CLASSES[module_name])
        test_dict = module.__test__
        monkeypatch.delitem(sys.modules, module_name)
        again = importlib.import_module(module_name)
        assert again is module
        assert getattr(again, CLASSES[module_name]) is cls
        assert again.__test__ is test_dict
        assert sys.modules[module_name] is module

    def test_reload_runs_nothing_again(self, module_name):
        module = import_handler(module_name)
        cls = getattr(module, CLASSES[module_name])
        test_dict = module.__test__
        assert importlib.reload(module) is module
        assert getattr(module, CLASSES[module_name]) is cls
        assert module.__test__ is test_dict
        assert sys.modules[module_name] is module


@pytest.mark.parametrize("name", [HOSTFACTS, GROUNDWORK], ids=["hostfacts", "groundwork"])
@needs_compiled
def test_body_runs_once_per_process(name):
    result = child("""
        name = %r
        first = importlib.import_module(name)
        after_import = counts[name]
        del sys.modules[name]
        second = importlib.import_module(name)
        third = importlib.reload(second)
        report({"counts": [after_import, counts[name]],
                "same": [second is first, third is first],
                "registered": sys.modules[name] is first,
                "_velmora_runtime": type(sys.modules.get("_velmora_runtime")).__name__})
    """ % name, leaks=[REIMPORT_LEAK])
    assert result == {"counts": [1, 1], "same": [True, True], "registered": True,
                      "_velmora_runtime": "module"}


def test_import_issues_no_warning():
    result = child("""
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            importlib.import_module(HOSTFACTS)
            importlib.import_module(GROUNDWORK)
        report([str(w.message) for w in caught])
    """, "-W", "error")
    assert result == []


# An import spec object whose attributes are exactly what each case gives. The loader
# needs "name" and "origin" to find the file; "origin" disappears once the
# create step starts reading (it reads "loader" first).
ODD_SPECS = """
import importlib.machinery, importlib.util
FILE = importlib.util.find_spec(HOSTFACTS).origin
LOADER = importlib.machinery.ExtensionFileLoader("hostfacts", FILE)
class ImportSpec:
    def __init__(self, name, **attrs):
        self.name = name
        self._attrs = attrs
        self._creating = False
    def __getattr__(self, attr):
        if attr == "loader":
            self._creating = True
        if attr == "origin" and not self._creating:
            return FILE
        if attr in self._attrs:
            value = self._attrs[attr]
            if isinstance(value, BaseException):
                raise value
            return value
        raise AttributeError(attr)
def create(name="hostfacts", **attrs):
    return LOADER.create_module(ImportSpec(name, **attrs))
def described(module):
    return {k: repr(v) for k, v in vars(module).items() if k not in ("__loader__", "__doc__")}
"""


@needs_compiled
def test_create_copies_only_what_the_spec_has():
    result = child(prelude=ODD_SPECS, code="""
        bare = create()
        full = create("some.where.hostfacts", loader=LOADER, origin="/x/hostfacts.so", parent="some.where",
                      submodule_search_locations=["/x"])
        nones = create(loader=None, origin=None, parent=None, submodule_search_locations=None)
        try:
            create(parent=RuntimeError("import spec broken"))
            failure = None
        except RuntimeError as e:
            failure = str(e)
        try:
            LOADER.create_module(type("Nameless", (), {"origin": FILE})())
            nameless = None
        except AttributeError as e:
            nameless = type(e).__name__
        report({"bare": described(bare), "full": described(full), "nones": described(nones),
                "loaders": [bare.__loader__ is None, full.__loader__ is LOADER, nones.__loader__ is None],
                "distinct": bare is not full, "failure": failure, "nameless": nameless,
                "registered": HOSTFACTS in sys.modules, "counts": counts[HOSTFACTS]})
    """)
    # A new module starts with __package__ and __loader__ None.
    assert result["bare"] == {"__name__": "'hostfacts'", "__spec__": "None", "__package__": "None"}
    assert result["full"] == {"__name__": "'some.where.hostfacts'", "__spec__": "None",
                              "__file__": "'/x/hostfacts.so'", "__package__": "'some.where'",
                              "__path__": "['/x']"}
    # None is stored for every attribute but the search locations.
    assert result["nones"] == {"__name__": "'hostfacts'", "__spec__": "None", "__file__": "None",
                               "__package__": "None"}
    assert result["loaders"] == [True, True, True]
    assert result["distinct"] is True
    assert result["failure"] == "import spec broken"
    assert result["nameless"] == "AttributeError"
    # Creating runs nothing of the start-up.
    assert result["registered"] is False and result["counts"] == 0


@needs_compiled
def test_exec_under_another_name_registers_the_full_name():
    result = child(prelude=ODD_SPECS, code="""
        module = create(loader=LOADER, parent=None, submodule_search_locations=None)
        other = create(loader=LOADER, parent=None)
        LOADER.exec_module(module)
        try:
            LOADER.exec_module(other)
            refused = None
        except RuntimeError as e:
            refused = str(e)
        imported = importlib.import_module(HOSTFACTS)
        report({"name": module.__name__, "file": "__file__" in vars(module), "path": "__path__" in vars(module),
                "package": module.__package__, "registered": sys.modules[HOSTFACTS] is module,
                "imported": imported is module, "recreated": create() is module,
                "refused": refused, "other_runs": "__test__" in vars(other),
                "counts": counts[HOSTFACTS], "test": module.__test__,
                "cls": module.ServerAppInfoHandler.__module__})
    """, leaks=[REIMPORT_LEAK])
    assert result == {
        "name": "hostfacts", "file": False, "path": False, "package": None, "registered": True,
        "imported": True, "recreated": True,
        "refused": "Module 'hostfacts' has already been imported. Re-initialisation is not supported.",
        "other_runs": False, "counts": 1, "test": {}, "cls": HOSTFACTS,
    }


@needs_compiled
def test_failed_exec_outside_the_import_system_takes_its_entry_back():
    # The entry that start-up added itself goes with the failure; an import
    # then runs the whole start-up again instead of handing out a half-made module.
    result = child(prelude=ODD_SPECS, code="""
        import traceback
        module = create(HOSTFACTS, loader=LOADER, parent="velmora.server.handlers.info")
        class_raises.append(LookupError)
        try:
            LOADER.exec_module(module)
            failure = None
        except LookupError as e:
            failure = list(traceback.extract_tb(e.__traceback__)[-2])[1:3]
        registered = HOSTFACTS in sys.modules
        class_raises.clear()
        imported = importlib.import_module(HOSTFACTS)
        report({"failure": failure, "registered": registered, "fresh": imported is not module,
                "counts": counts[HOSTFACTS], "cls": imported.ServerAppInfoHandler.__name__})
    """)
    assert result == {"failure": [24, "init " + HOSTFACTS], "registered": False, "fresh": True,
                      "counts": 1, "cls": "ServerAppInfoHandler"}


# Sub-interpreters in the child: 3.13 renamed the private module and reports a
# failure as a returned summary instead of raising; both give "<class 'E'>: text".
SUBINTERPRETERS = textwrap.dedent("""
    try:
        import _interpreters as interpreters

        def run_in(interp, code):
            failure = interpreters.run_string(interp, code)
            if failure is not None:
                return "<class '%s'>: %s" % (failure.type.__name__, failure.msg)

        def new_interpreter():
            # The legacy configuration shares the import machinery's rules
            # with 3.8; an isolated one refuses every module of one interpreter.
            return interpreters.create("legacy")
    except ImportError:
        import _xxsubinterpreters as interpreters

        def run_in(interp, code):
            try:
                interpreters.run_string(interp, code)
            except interpreters.RunFailedError as e:
                return str(e)

        def new_interpreter():
            try:  # from 3.12 an isolated one unless asked otherwise
                return interpreters.create(isolated=False)
            except TypeError:
                return interpreters.create()
""")


@pytest.mark.parametrize("name", [HOSTFACTS, GROUNDWORK], ids=["hostfacts", "groundwork"])
@needs_compiled
def test_second_interpreter_is_refused(name):
    result = child("""
        name = %r
        module = importlib.import_module(name)
        interp = new_interpreter()
        try:
            error = run_in(interp, "import " + name)
        finally:
            interpreters.destroy(interp)
        cls = getattr(module, %r)
        report({"error": error, "same": sys.modules[name] is module,
                "usable": type(cls.__dict__[%r]).__name__, "counts": counts[name]})
    """ % (name, CLASSES[name], "_get_info" if name == HOSTFACTS else "_finish_with_result"),
                   prelude=SUBINTERPRETERS, leaks=[SUBINTERPRETER_LEAK])
    assert result == {
        "error": "<class 'ImportError'>: Interpreter change detected - this module can only be "
                 "loaded into one interpreter per process.",
        "same": True, "usable": "compiled_function_or_method", "counts": 1,
    }


@needs_compiled
def test_second_interpreter_is_refused_even_when_it_came_first():
    # The first create binds the module to its interpreter, whichever that is.
    result = child("""
        interp = new_interpreter()
        try:
            run_in(interp, "import sys; sys.modules['zlib'] = None\\n"
                           "try:\\n import %s\\nexcept ImportError: pass")
        finally:
            interpreters.destroy(interp)
        try:
            importlib.import_module(HOSTFACTS)
            error = None
        except ImportError as e:
            error = str(e)
        report(error)
    """ % HOSTFACTS, prelude=SUBINTERPRETERS, leaks=[SUBINTERPRETER_LEAK])
    assert result == ("Interpreter change detected - this module can only be loaded into one "
                      "interpreter per process.")


def source_line(source, line):
    # Tracebacks show the statement from the module's .py, found through sys.path.
    with open(os.path.join(ROOT, source), encoding="utf-8") as f:
        return f.read().splitlines()[line - 1].strip()


FAILING_STARTS = [
    (HOSTFACTS, "velmora.server.misc", 20),
    (HOSTFACTS, "velmora.server.handlers.info.groundwork", 21),
    (GROUNDWORK, "json", 17),  # a plain import blocked in sys.modules fails, binds no None
    (GROUNDWORK, "http", 18),
    (GROUNDWORK, "jupyter_server.base.handlers", 21),
]


@pytest.mark.parametrize("name, blocked, line", FAILING_STARTS,
                         ids=["hostfacts-misc", "hostfacts-groundwork", "groundwork-json",
                              "groundwork-http", "groundwork-apihandler"])
@needs_compiled
def test_failed_start_up_leaves_the_module_importable(name, blocked, line):
    result = child("""
        import traceback
        name, blocked = %r, %r
        saved = sys.modules.get(blocked)
        sys.modules[blocked] = None
        try:
            importlib.import_module(name)
            failure = None
        except ImportError as e:
            failure = [type(e).__name__, str(e), list(traceback.extract_tb(e.__traceback__)[-1])[:3],
                       traceback.format_tb(e.__traceback__)[-1]]
        present = name in sys.modules
        sys.modules[blocked] = saved
        if saved is None:
            del sys.modules[blocked]
        module = importlib.import_module(name)
        report({"failure": failure, "present": present, "counts": counts[name],
                "test": module.__test__, "registered": sys.modules[name] is module})
    """ % (name, blocked))
    source, init = SOURCES[name], "init " + name
    assert result == {
        "failure": ["ModuleNotFoundError", "import of %s halted; None in sys.modules" % blocked,
                    [source, line, init],
                    '  File "%s", line %d, in %s\n    %s\n' % (source, line, init, source_line(source, line))],
        "present": False, "counts": 1, "test": {}, "registered": True,
    }


@needs_compiled
def test_line_shared_by_start_up_and_method_names_each_its_own():
    # Line 26 is both the method statement of the class body and the def line
    # that argument errors of the method report.
    result = child("""
        import traceback
        class RefusingNamespace(dict):
            def __setitem__(self, key, value):
                if key == "_get_info":
                    raise LookupError("refused " + key)
                dict.__setitem__(self, key, value)
        class Meta(type):
            @classmethod
            def __prepare__(mcls, name, bases):
                return RefusingNamespace()
        plain = sys.modules["velmora.server.handlers.info.groundwork"].BaseInfoHandler
        sys.modules["velmora.server.handlers.info.groundwork"].BaseInfoHandler = Meta("Refusing", (), {})
        entries = []
        try:
            importlib.import_module(HOSTFACTS)
        except LookupError as e:
            # The refusing __setitem__ is the innermost entry; start-up's comes before it.
            entries.append(list(traceback.extract_tb(e.__traceback__)[-2])[:3])
        sys.modules["velmora.server.handlers.info.groundwork"].BaseInfoHandler = plain
        module = importlib.import_module(HOSTFACTS)
        for _ in range(2):
            try:
                module.ServerAppInfoHandler._get_info()
            except TypeError as e:
                entries.append(list(traceback.extract_tb(e.__traceback__)[-1])[:3])
        report(entries)
    """)
    source = SOURCES[HOSTFACTS]
    assert result == [[source, 26, "init " + HOSTFACTS]] + [
        [source, 26, HOSTFACTS + ".ServerAppInfoHandler._get_info"]] * 2


ZLIB_MESSAGE = ("Failed to import 'zlib.decompress' - cannot initialise module strings. String "
                "compression was configured with the C macro 'VELMORA_COMPRESS_STRINGS=1'.")


@pytest.mark.parametrize("name", [HOSTFACTS, GROUNDWORK], ids=["hostfacts", "groundwork"])
@needs_compiled
def test_zlib_that_cannot_be_imported(name):
    result = child("""
        import traceback, zlib
        name = %r
        sys.modules["zlib"] = None
        try:
            importlib.import_module(name)
            failure = None
        except BaseException as e:
            failure = [type(e).__name__, str(e), repr(e.__context__), repr(e.__cause__),
                       [f.filename for f in traceback.extract_tb(e.__traceback__)]]
        sys.modules["zlib"] = zlib
        module = importlib.import_module(name)
        report({"failure": failure, "counts": counts[name], "test": module.__test__})
    """ % name)
    kind, message, context, cause, files = result["failure"]
    assert (kind, message, context, cause) == ("ImportError", ZLIB_MESSAGE, "None", "None")
    # Constants failed: no entry names the module's source.
    assert SOURCES[name] not in files
    assert result["counts"] == 1 and result["test"] == {}


def _library_of(name):
    return importlib.util.find_spec(name).origin


@pytest.mark.skipif(SANITIZED, reason="sanitizer runtimes add their own symbols and libraries")
@pytest.mark.skipif(not (shutil.which("nm") and shutil.which("readelf")), reason="binutils missing")
@needs_compiled
class TestSharedObject:
    @pytest.mark.parametrize("name", [HOSTFACTS, GROUNDWORK], ids=["hostfacts", "groundwork"])
    def test_exports_only_its_init_function(self, name):
        out = subprocess.run(["nm", "-D", "--defined-only", _library_of(name)], check=True,
                             stdout=subprocess.PIPE, universal_newlines=True).stdout
        symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
        assert symbols == ["PyInit_" + name.rpartition(".")[2]]

    @pytest.mark.parametrize("name", [HOSTFACTS, GROUNDWORK], ids=["hostfacts", "groundwork"])
    def test_needs_no_python_or_cxx_library(self, name):
        out = subprocess.run(["readelf", "-d", _library_of(name)], check=True,
                             stdout=subprocess.PIPE, universal_newlines=True).stdout
        needed = [line.rsplit("[", 1)[1].rstrip("]") for line in out.splitlines() if "(NEEDED)" in line]
        assert needed, out
        offending = [lib for lib in needed if lib.startswith(("libpython", "libstdc++", "libgcc_s"))]
        assert offending == []
        assert os.path.basename(_library_of(name)).endswith(importlib.machinery.EXTENSION_SUFFIXES[0])

    @pytest.mark.parametrize("name", [HOSTFACTS, GROUNDWORK], ids=["hostfacts", "groundwork"])
    def test_carries_no_cxx_exception_support(self, name):
        # A guarded function-local static or a throwing call links the static C++
        # runtime's unwinder and demangler in: tripled the module once.
        out = subprocess.run(["nm", _library_of(name)], check=True,
                             stdout=subprocess.PIPE, universal_newlines=True).stdout
        pulled = {line.split()[-1] for line in out.splitlines()
                  if line.split()[-1].startswith(("__gxx_personality", "__cxa_", "_Unwind_"))}
        # The C library's own unload hook is the one such name every module has.
        assert pulled <= {"__cxa_finalize@GLIBC_2.2.5", "__cxa_finalize"}, pulled
