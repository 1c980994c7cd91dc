"""Which handlers a server mounts: what the import system found under each
module's name (the compiled build beside the .py, else the .py), the
interpreted ones as a whole when either is not compiled, and the one log
line that says which."""
import sys
from types import SimpleNamespace

import pytest

import velmora
from handler_standins import without_compiled_builds
from velmora.server import handler_sets

INFO, GROUNDWORK = handler_sets.COMPILED_INFO, handler_sets.COMPILED_GROUNDWORK


def needs_build():
    if not handler_sets.compiled_available():
        pytest.skip("the compiled handler modules are not built")


def runs_from_source(cls):
    return sys.modules[cls.__module__].__file__.endswith(".py")


def is_interpreted(handler_set):
    base = next(c for c in handler_set.pipeline_import.__mro__ if c.__name__ == "BasePipelineImportHandler")
    return (handler_set.kind == "twin" and runs_from_source(handler_set.info) and runs_from_source(base))


def test_auto_takes_the_compiled_handlers_when_they_import():
    needs_build()
    chosen = handler_sets.load("auto")
    assert (chosen.kind, chosen.description, chosen.fallback_reason) == ("compiled", "compiled handlers", "")
    assert chosen.info.__module__ == INFO
    assert GROUNDWORK in [c.__module__ for c in chosen.pipeline_import.__mro__]
    assert not runs_from_source(chosen.info)


@pytest.mark.parametrize("unbuilt", [[INFO], [GROUNDWORK], [INFO, GROUNDWORK]])
def test_auto_serves_the_py_files_as_a_whole_when_one_is_not_compiled(monkeypatch, unbuilt):
    without_compiled_builds(monkeypatch, *unbuilt)
    chosen = handler_sets.load("auto")
    assert is_interpreted(chosen)
    assert chosen.fallback_reason in (handler_sets.NOT_BUILT, handler_sets.NEEDS_CPYTHON)
    assert chosen.description == "interpreted handlers: " + chosen.fallback_reason
    # A module the import system ran from its .py serves under its own name.
    for name in unbuilt:
        assert not handler_sets.is_compiled(sys.modules[name])
    assert chosen.info.__module__ in (INFO, handler_sets.interpreted_name(INFO))


@pytest.mark.parametrize("implementation,version,reason", [
    ("CPython", (3, 16, 0), handler_sets.NEEDS_CPYTHON),
    ("CPython", (3, 7, 9), handler_sets.NEEDS_CPYTHON),
    ("PyPy", (3, 8, 16), handler_sets.NEEDS_CPYTHON),
    ("CPython", (3, 8, 18), handler_sets.NOT_BUILT),
    ("CPython", (3, 11, 2), handler_sets.NOT_BUILT),
    ("CPython", (3, 13, 0), handler_sets.NOT_BUILT),
    ("CPython", (3, 14, 0), handler_sets.NOT_BUILT),
    ("CPython", (3, 15, 2), handler_sets.NOT_BUILT),
])
def test_the_reason_names_the_interpreter_the_modules_need(monkeypatch, implementation, version, reason):
    without_compiled_builds(monkeypatch, INFO, GROUNDWORK)
    monkeypatch.setattr(handler_sets, "platform",
                        SimpleNamespace(python_implementation=lambda: implementation))
    monkeypatch.setattr(handler_sets, "sys", SimpleNamespace(version_info=version, modules=sys.modules))
    assert handler_sets.load("auto").fallback_reason == reason


def test_a_compiled_module_that_fails_to_load_is_an_error(monkeypatch):
    # Nothing is chosen around the import system: its failure is the server's.
    monkeypatch.setitem(sys.modules, INFO, None)
    with pytest.raises(ImportError, match="halted"):
        handler_sets.load("auto")


def test_kinds_asked_for(monkeypatch):
    twin = handler_sets.load("twin")
    assert is_interpreted(twin) and twin.description == "interpreted handlers"
    # Asked for while the compiled modules import, the .py files load under names of their own.
    if handler_sets.compiled_available():
        assert twin.info.__module__ == handler_sets.interpreted_name(INFO)
        assert handler_sets.load("twin").info is twin.info
    without_compiled_builds(monkeypatch, GROUNDWORK)
    with pytest.raises(ImportError, match="is not compiled here"):
        handler_sets.load("compiled")
    with pytest.raises(ValueError):
        handler_sets.load("fast")


def test_interpreted_load_that_fails_leaves_no_module(monkeypatch, tmp_path):
    needs_build()
    alias = handler_sets.interpreted_name(INFO)
    monkeypatch.delitem(sys.modules, alias, raising=False)
    monkeypatch.delitem(sys.modules, "velmora.server.misc")
    monkeypatch.setitem(sys.modules, "velmora.server.misc", None)
    with pytest.raises(ImportError):
        handler_sets.interpreted(INFO)
    assert alias not in sys.modules


MOUNTED = "velmora %s: API mounted under " % velmora.__version__


@pytest.mark.parametrize("base_url,handler_set,line", [
    ("/", handler_sets.HandlerSet("compiled", object, object),
     MOUNTED + "/api/velmora (compiled handlers)"),
    ("/jupyter/", handler_sets.HandlerSet("twin", object, object, handler_sets.NEEDS_CPYTHON),
     MOUNTED + "/jupyter/api/velmora "
     "(interpreted handlers: compiled modules need CPython 3.8 to 3.15)"),
    ("/", handler_sets.HandlerSet("twin", object, object),
     MOUNTED + "/api/velmora (interpreted handlers)"),
])
def test_mount_message(base_url, handler_set, line):
    assert handler_sets.mount_message(base_url, handler_set) == line

