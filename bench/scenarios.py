"""The scenarios both benchmarks measure: one call of a handler method, in
the compiled module and in its interpreted twin, loaded side by side.

Each scenario gives a statement, the names it reads, and a floor: the same
statement with the method replaced by a no-op built-in of the same call shape
(the loop, the call and the try block, without the method).
"""
import importlib
import importlib.machinery
import importlib.util
import json
import os
import subprocess
import sys
from typing import Callable, Dict, NamedTuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Last: a staged package tree on PYTHONPATH (bench/fastpaths.py) comes first.
if ROOT not in sys.path:
    sys.path.append(ROOT)

COMPILED = ("velmora.server.handlers.info.hostfacts",
            "velmora.server.handlers.pipeline_import.groundwork")

# What each module imports when it starts, loaded before its import is timed.
DEPENDENCIES = {
    "hostfacts": ["http", "typing", "velmora.server.misc", "velmora.server.handlers.info.groundwork"],
    "groundwork": ["json", "http", "typing", "jupyter_server.base.handlers"],
}


def load_twins():
    """The interpreted twins (hostfacts, groundwork), wherever the package keeps them."""
    from velmora.server import handler_sets

    handlers = handler_sets.twin()
    base = next(c for c in handlers.pipeline_import.__mro__
                if c.__name__ == "BasePipelineImportHandler")
    return sys.modules[handlers.info.__module__], sys.modules[base.__module__]


def load_compiled():
    return tuple(importlib.import_module(name) for name in COMPILED)


def _folder_of(module):
    """The sys.path entry that holds a module: its file path less its dotted name."""
    folder = os.path.dirname(module.__file__)
    for _ in range(module.__name__.count(".")):
        folder = os.path.dirname(folder)
    return folder


def import_targets():
    """(label, compiled, twin) for each module, each side as the child-import
    arguments [name, folder, JSON of the modules it loads besides itself]."""
    out = []
    for compiled, twin in zip(load_compiled(), load_twins()):
        sides = []
        for module in (compiled, twin):
            folder = _folder_of(module)
            proc = subprocess.run([sys.executable, os.path.abspath(__file__), "--extras",
                                   module.__name__, folder], check=True, cwd=ROOT,
                                  stdout=subprocess.PIPE, universal_newlines=True)
            sides.append([module.__name__, folder, proc.stdout.splitlines()[-1]])
        out.append((compiled.__name__.rpartition(".")[2], sides[0], sides[1]))
    return out


def prepare_import(name, folder, helpers):
    """Loads what importing `name` would load besides the module itself."""
    if folder and folder not in sys.path:
        sys.path.append(folder)
    short = name.rpartition(".")[2]
    for dep in next(deps for key, deps in DEPENDENCIES.items() if short.endswith(key)):
        importlib.import_module(dep)
    package = name.rpartition(".")[0]
    importlib.import_module(package)
    for helper in helpers:
        importlib.import_module(helper)
    # The package folder listed, as a sibling's import would have left it: a
    # first look-up in a folder lists it, which is no part of either module.
    importlib.util.find_spec(package + ".no_such_module_here")


def importer(name):
    """What imports `name`: the import system, or for a twin's name (its
    module's, prefixed "interpreted_") a loader of that module's .py under
    it, as velmora.server.handler_sets loads it. Chosen before an import is
    measured, so that the choice is not."""
    package, _, short = name.rpartition(".")
    prefix = "interpreted_"
    if not short.startswith(prefix):
        return importlib.import_module

    def load_source(name):
        if name in sys.modules:
            return sys.modules[name]
        folder = os.path.dirname(importlib.import_module(package).__file__)
        spec = importlib.util.spec_from_file_location(name, os.path.join(folder, short[len(prefix):] + ".py"))
        module = importlib.util.module_from_spec(spec)
        sys.modules[name] = module
        spec.loader.exec_module(module)
        return module

    return load_source


# Small extension modules of the interpreter's own that nothing imports on the
# way: the first one not yet loaded gives the loader's floor, the import of an
# extension module that does next to nothing.
FLOOR_MODULES = ("syslog", "cmath", "_lsprof")


def floor_module():
    for module in FLOOR_MODULES:
        spec = importlib.util.find_spec(module) if module not in sys.modules else None
        if spec is not None and spec.origin.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)):
            return module
    raise SystemExit("none of %s is an extension module not yet loaded" % (FLOOR_MODULES,))


def extra_imports(name, folder):
    """What importing `name` loads besides its dependencies and itself (a
    twin's helpers, say): loaded before either import is measured."""
    prepare_import(name, folder, [])
    load = importer(name)
    before = set(sys.modules)
    load(name)
    # Modules the import only enters in sys.modules (the shared-type module of
    # the compiled ones) have no `__spec__`: making them is part of the import.
    return sorted(m for m in set(sys.modules) - before - {name}
                  if getattr(sys.modules[m], "__spec__", None) is not None)


class Cookie:
    __slots__ = ("key", "value")

    def __init__(self, key, value):
        self.key, self.value = key, value


class PlainCookie:
    """A cookie as callers without tornado pass one: its fields in the instance's dict."""

    def __init__(self, key, value):
        self.key, self.value = key, value


class CookieDict(dict):
    """A mapping of cookies that is a dict subclass overriding nothing."""


class Facts:
    def dict(self):
        return {"version": "1", "python": "3.8"}


class FailingFacts:
    def dict(self):
        raise RuntimeError("facts unavailable")


class Recorder:
    """The framework methods `_finish_with_result` calls, doing nothing."""

    def set_header(self, name, value):
        pass

    def set_status(self, status_code):
        pass

    def finish(self, chunk):
        pass


def exact_cookies(n, cookie=Cookie, mapping=dict):
    return mapping(("c%d" % i, cookie("c%d" % i, "v%d" % i)) for i in range(n))


def simple_cookie(n):
    """The SimpleCookie of Morsels that tornado makes of a request's Cookie header."""
    from tornado.httputil import HTTPHeaders, HTTPServerRequest, RequestStartLine

    header = "; ".join("c%d=v%d" % (i, i) for i in range(n))
    return HTTPServerRequest(start_line=RequestStartLine("GET", "/", "HTTP/1.1"),
                             headers=HTTPHeaders({"Host": "localhost", "Cookie": header})).cookies


def info_handler(module, cookies):
    # A request's cookies without a request: the class attribute shadows the property.
    cls = type("H", (module.ServerAppInfoHandler,), {"cookies": cookies})
    return object.__new__(cls)


CALL = "f()"
CALL_FINISH = "f(h, s, r)"
GUARDED = "try:\n    {}\nexcept TypeError:\n    pass"


class Scenario(NamedTuple):
    name: str
    stmt: str
    # (hostfacts, groundwork) -> the statement's names; installs the facts factory.
    names: Callable[[tuple], Dict[str, object]]
    floor: Dict[str, object]


def _get_info_of(cookies, facts=Facts):
    def names(pair):
        pair[0].__dict__["JupyterServerAppInfo"] = facts
        return {"f": info_handler(pair[0], cookies)._get_info}
    return names


def _finish_of(result):
    from http import HTTPStatus

    def names(pair):
        return {"f": pair[1].BasePipelineImportHandler._finish_with_result,
                "h": Recorder(), "s": HTTPStatus.CREATED, "r": result}
    return names


def _unbound_get_info(pair):
    return {"f": pair[0].ServerAppInfoHandler._get_info}


def _finish_two_args(pair):
    from http import HTTPStatus

    return {"f": pair[1].BasePipelineImportHandler._finish_with_result,
            "h": Recorder(), "s": HTTPStatus.CREATED}


NOOP = {"f": ().__len__}
NOOP3 = {"f": slice, "h": 0, "s": 1, "r": 2}

SCENARIOS = [
    Scenario("_get_info, 0 cookies", CALL, _get_info_of(exact_cookies(0)), NOOP),
    Scenario("_get_info, 3 cookies, __slots__, exact dict", CALL, _get_info_of(exact_cookies(3)), NOOP),
    Scenario("_get_info, 30 cookies, __slots__, exact dict", CALL, _get_info_of(exact_cookies(30)), NOOP),
    Scenario("_get_info, 30 cookies, attributes, exact dict", CALL,
             _get_info_of(exact_cookies(30, PlainCookie)), NOOP),
    Scenario("_get_info, 30 cookies, attributes, dict subclass", CALL,
             _get_info_of(exact_cookies(30, PlainCookie, CookieDict)), NOOP),
    Scenario("_get_info, 3 cookies, SimpleCookie", CALL, _get_info_of(simple_cookie(3)), NOOP),
    Scenario("_get_info, 30 cookies, SimpleCookie", CALL, _get_info_of(simple_cookie(30)), NOOP),
    Scenario("_get_info, the 500 answer", CALL, _get_info_of(exact_cookies(3), FailingFacts), NOOP),
    Scenario("_finish_with_result, {}", CALL_FINISH, _finish_of({}), NOOP3),
    Scenario("_finish_with_result, 20 keys", CALL_FINISH,
             _finish_of({"key%d" % i: "value </%d>" % i if i % 5 == 0 else i for i in range(20)}),
             NOOP3),
    Scenario("ServerAppInfoHandler._get_info() -> TypeError", GUARDED.format("f()"),
             _unbound_get_info, NOOP),
    Scenario("_finish_with_result(h, s) -> TypeError", GUARDED.format("f(h, s)"),
             _finish_two_args, {"f": slice, "h": 0, "s": 1}),
]

VARIANTS = ("compiled", "twin", "floor")


def statements():
    """Yields (scenario, {variant: names}), each set up just before it is measured
    (a scenario installs its own facts factory in the modules)."""
    pairs = {"compiled": load_compiled(), "twin": load_twins()}
    for sc in SCENARIOS:
        yield sc, {v: (sc.floor if v == "floor" else sc.names(pairs[v])) for v in VARIANTS}


def check_same_answers():
    """Both sides give the same result on every success scenario: the table compares like with like."""
    pairs = {"compiled": load_compiled(), "twin": load_twins()}
    for sc in SCENARIOS:
        if sc.stmt.startswith("try"):
            continue
        results = []
        for kind in ("compiled", "twin"):
            ns = sc.names(pairs[kind])
            results.append(eval(sc.stmt, dict(ns)))
        if results[0] != results[1]:
            raise SystemExit("%s: compiled %r, twin %r" % (sc.name, results[0], results[1]))


if __name__ == "__main__" and sys.argv[1:2] == ["--extras"]:
    print(json.dumps(extra_imports(sys.argv[2], sys.argv[3])))
