"""Test doubles for the two compiled handler modules: fact providers, cookie
items and mappings, handlers that record framework calls, and loaders that
fall back to stand-in sibling modules when the package's own are unusable."""
import importlib
import importlib.machinery
import sys
import traceback
import types
from http import HTTPStatus

HOSTFACTS = "velmora.server.handlers.info.hostfacts"
GROUNDWORK = "velmora.server.handlers.pipeline_import.groundwork"
HOSTFACTS_PATH = "velmora/server/handlers/info/hostfacts.py"
GROUNDWORK_PATH = "velmora/server/handlers/pipeline_import/groundwork.py"
GET_INFO = HOSTFACTS + ".ServerAppInfoHandler._get_info"
FINISH = GROUNDWORK + ".BasePipelineImportHandler._finish_with_result"
FAILED = {"message": "Failed to get information."}
SUBCLASS_NOTE = (
    "Note that the compiled handlers are deliberately stricter than PEP-484 and reject subclasses "
    "of builtin types: pass an exact dict instead."
)


def _standin_siblings():
    # Only what the compiled module's import sites need: the two names.
    misc = types.ModuleType("velmora.server.misc")

    class JupyterServerAppInfo:
        def dict(self):
            return {}

    misc.JupyterServerAppInfo = JupyterServerAppInfo
    base = types.ModuleType("velmora.server.handlers.info.groundwork")

    class BaseInfoHandler:
        pass

    base.BaseInfoHandler = BaseInfoHandler
    sys.modules[misc.__name__] = misc
    sys.modules[base.__name__] = base


def load_hostfacts():
    """The compiled module; when the package's sibling modules cannot be
    imported, it is started on stand-ins (a failed start-up can be retried)."""
    try:
        return importlib.import_module(HOSTFACTS)
    except Exception:  # noqa: BLE001 - any failure of the siblings
        _standin_siblings()
        return importlib.import_module(HOSTFACTS)


def load_groundwork():
    return importlib.import_module(GROUNDWORK)


def without_compiled_builds(monkeypatch, *names):
    """Makes the import system see each module's folder with its .py files
    only, as where no compiled build lies beside them; the next import of each
    name runs its .py. Everything is put back when the test ends."""
    for name in names:
        package_name, _, short = name.rpartition(".")
        package = importlib.import_module(package_name)
        folder = package.__path__[0]
        monkeypatch.setitem(sys.path_importer_cache, folder, importlib.machinery.FileFinder(
            folder, (importlib.machinery.SourceFileLoader, importlib.machinery.SOURCE_SUFFIXES)))
        monkeypatch.delitem(sys.modules, name, raising=False)
        monkeypatch.setattr(package, short, getattr(package, short, None), raising=False)


def entries(exc, path):
    """(line, function name) of the traceback entries that name `path`."""
    return [(f.lineno, f.name) for f in traceback.extract_tb(exc.__traceback__) if f.filename == path]


# --- _get_info -------------------------------------------------------------


class Facts:
    """What JupyterServerAppInfo() returns: `.dict()` hands out `facts`."""

    def __init__(self, facts):
        self.facts = facts
        self.calls = 0

    def dict(self):
        self.calls += 1
        return self.facts


class CountedFacts:
    """A JupyterServerAppInfo stand-in class that counts the objects made, so a
    test can tell whether the method body ran."""

    made = 0

    def __init__(self):
        CountedFacts.made += 1

    def dict(self):
        return {}


def provider(facts):
    """A JupyterServerAppInfo stand-in that returns the same Facts each call."""
    made = Facts(facts)

    def JupyterServerAppInfo():
        return made

    JupyterServerAppInfo.made = made
    return JupyterServerAppInfo


def raising(exc):
    def JupyterServerAppInfo():
        raise exc

    return JupyterServerAppInfo


class Item:
    """A cookie: what Morsel offers to the handler."""

    __slots__ = ("key", "value")

    def __init__(self, key, value):
        self.key = key
        self.value = value

    def __repr__(self):
        return "Item(%r, %r)" % (self.key, self.value)


def cookie_dict(pairs):
    return {"c%d" % i: Item(k, v) for i, (k, v) in enumerate(pairs)}


def expected_cookie(items):
    # The interpreted expression that the compiled line stands for.
    return "; ".join([f"{item.key}={item.value}" for item in items])


class CountingDict(dict):
    """A dict subclass: the handler must ask it for values()."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.values_calls = 0

    def values(self):
        self.values_calls += 1
        return super().values()


class ValuesOf:
    """A non-dict mapping whose values() returns whatever `make` builds."""

    def __init__(self, make):
        self.make = make
        self.values_calls = 0

    def values(self):
        self.values_calls += 1
        return self.make()


class StatusObserver:
    """Stands in for HTTPStatus in the module dict. Reading INTERNAL_SERVER_ERROR
    happens inside the except clause, so it records the handled exception."""

    def __init__(self, on_error=None):
        self.seen = []
        self.on_error = on_error

    @property
    def OK(self):
        return HTTPStatus.OK

    @property
    def INTERNAL_SERVER_ERROR(self):
        self.seen.append(sys.exc_info())
        if self.on_error is not None:
            raise self.on_error
        return HTTPStatus.INTERNAL_SERVER_ERROR


def info_handler_class(hostfacts):
    """A ServerAppInfoHandler whose instances carry their cookies as a plain
    attribute (the base's request-bound property is shadowed)."""

    class InfoHandler(hostfacts.ServerAppInfoHandler):
        cookies = None

    return InfoHandler


def make_info_handler(cls, cookies):
    handler = object.__new__(cls)  # no request: tornado's __init__ is not run
    handler.cookies = cookies
    return handler


# --- _finish_with_result ---------------------------------------------------


class Recorder:
    """Framework methods as plain Python methods, recording each call."""

    def __init__(self, fail=None):
        self.calls = []
        self.fail = fail or {}

    def _record(self, name, args, kwargs):
        self.calls.append((name, args, kwargs))
        exc = self.fail.get(name)
        if exc is not None:
            raise exc

    def set_header(self, *args, **kwargs):
        self._record("set_header", args, kwargs)

    def set_status(self, *args, **kwargs):
        self._record("set_status", args, kwargs)

    def finish(self, *args, **kwargs):
        self._record("finish", args, kwargs)
        return "finished"


class CallableRecorder:
    """Framework methods as instance attributes that are callable objects of a
    class without a vectorcall entry."""

    class _Method:
        def __init__(self, owner, name):
            self.owner = owner
            self.name = name

        def __call__(self, *args, **kwargs):
            self.owner._record(self.name, args, kwargs)

    def __init__(self, fail=None):
        self.calls = []
        self.fail = fail or {}
        for name in ("set_header", "set_status", "finish"):
            setattr(self, name, CallableRecorder._Method(self, name))

    _record = Recorder._record


def body_length(result, dumps=None):
    """The length finish(result) writes: the framework's JSON encoder escapes
    every "</" as "<\\/" on top of json.dumps."""
    import json

    text = (dumps or json.dumps)(result)
    return len(text) + (text.count("</") if isinstance(text, str) else 0)


def expected_calls(status, result, dumps=None):
    return [
        ("set_header", (), {"name": "Content-Type", "value": "application/json"}),
        ("set_header", (), {"name": "Content-Length", "value": str(body_length(result, dumps))}),
        ("set_status", (), {"status_code": int(status)}),
        ("finish", (result,), {}),
    ]


# The handler classes a server test mounts: the compiled ones, and the twins.
KINDS = ("compiled", "twin")


def load_handler_set(kind):
    """The handler set of `kind`; "compiled" skips the test where the modules are not built."""
    import pytest

    from velmora.server import handler_sets

    if kind == "compiled":
        # Only a missing build skips; a module that is there but fails to load is a failure.
        if not handler_sets.compiled_available():
            pytest.skip("the compiled handler modules are not built")
        return handler_sets.compiled()
    import twins.groundwork
    import twins.hostfacts

    return handler_sets.from_modules("twin", twins.hostfacts, twins.groundwork)
