"""Which handlers a server mounts: the compiled ones where they import, else the
interpreted fallback as a whole, and the one log line that says which."""
import logging
import sys
from types import SimpleNamespace

import pytest

from velmora.server import app, handler_sets
from velmora.server.handlers.info import interpreted_hostfacts
from velmora.server.handlers.pipeline_import import interpreted_groundwork

INFO, GROUNDWORK = handler_sets.COMPILED_INFO, handler_sets.COMPILED_GROUNDWORK


def block(monkeypatch, *modules):
    # None in sys.modules makes the import system refuse the module with ImportError.
    for name in modules:
        monkeypatch.setitem(sys.modules, name, None)


def halted(name):
    return "compiled modules do not import: import of %s halted; None in sys.modules" % name


def is_interpreted(handler_set):
    return (handler_set.kind == "twin"
            and handler_set.info is interpreted_hostfacts.ServerAppInfoHandler
            and interpreted_groundwork.BasePipelineImportHandler in handler_set.pipeline_import.__mro__)


def test_auto_takes_the_compiled_handlers_when_they_import():
    if not handler_sets.compiled_available():
        pytest.skip("the compiled handler modules are not built")
    chosen = handler_sets.load("auto")
    assert (chosen.kind, chosen.description, chosen.fallback_reason) == ("compiled", "compiled handlers", "")
    assert chosen.info.__module__ == INFO
    assert GROUNDWORK in [c.__module__ for c in chosen.pipeline_import.__mro__]


@pytest.mark.parametrize("blocked", [[INFO], [GROUNDWORK], [INFO, GROUNDWORK]])
def test_auto_falls_back_as_a_whole_when_one_module_does_not_import(monkeypatch, blocked):
    block(monkeypatch, *blocked)
    chosen = handler_sets.load("auto")
    assert is_interpreted(chosen)
    assert chosen.description == "interpreted handlers: " + halted(blocked[0])


@pytest.mark.parametrize("implementation,version,reason", [
    ("CPython", (3, 11, 2), handler_sets.NEEDS_CPYTHON_38),
    ("CPython", (3, 7, 9), handler_sets.NEEDS_CPYTHON_38),
    ("PyPy", (3, 8, 16), handler_sets.NEEDS_CPYTHON_38),
    ("CPython", (3, 8, 18), halted(INFO)),
])
def test_the_reason_names_the_interpreter_the_modules_need(monkeypatch, implementation, version, reason):
    block(monkeypatch, INFO)
    monkeypatch.setattr(handler_sets, "platform",
                        SimpleNamespace(python_implementation=lambda: implementation))
    monkeypatch.setattr(handler_sets, "sys", SimpleNamespace(version_info=version))
    assert handler_sets.load("auto").fallback_reason == reason


def test_only_an_import_error_falls_back(monkeypatch):
    def broken():
        raise RuntimeError("start-up failed")

    monkeypatch.setattr(handler_sets, "compiled", broken)
    with pytest.raises(RuntimeError, match="start-up failed"):
        handler_sets.load("auto")


def test_kinds_asked_for_do_not_fall_back(monkeypatch):
    twin = handler_sets.load("twin")
    assert is_interpreted(twin) and twin.description == "interpreted handlers"
    block(monkeypatch, GROUNDWORK)
    with pytest.raises(ImportError):
        handler_sets.load("compiled")
    with pytest.raises(ValueError):
        handler_sets.load("fast")


@pytest.mark.parametrize("base_url,handler_set,line", [
    ("/", handler_sets.HandlerSet("compiled", object, object),
     "velmora 0.1.0: API mounted under /api/velmora (compiled handlers)"),
    ("/jupyter/", handler_sets.HandlerSet("twin", object, object, handler_sets.NEEDS_CPYTHON_38),
     "velmora 0.1.0: API mounted under /jupyter/api/velmora "
     "(interpreted handlers: compiled modules need CPython 3.8)"),
    ("/", handler_sets.HandlerSet("twin", object, object),
     "velmora 0.1.0: API mounted under /api/velmora (interpreted handlers)"),
])
def test_mount_message(base_url, handler_set, line):
    assert handler_sets.mount_message(base_url, handler_set) == line


def test_standalone_server_logs_its_choice_once(monkeypatch, caplog):
    block(monkeypatch, GROUNDWORK)
    with caplog.at_level(logging.INFO, logger="velmora"):
        chosen = app._load_handlers("auto")
    assert is_interpreted(chosen)
    assert [r.getMessage() for r in caplog.records if r.name == "velmora"] == [
        "velmora 0.1.0: API mounted under /api/velmora (interpreted handlers: %s)" % halted(GROUNDWORK)]
