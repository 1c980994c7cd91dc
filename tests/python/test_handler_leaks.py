"""Every path through both handler methods, repeated: no growth in live
objects or traced memory, and the reference counts of what the methods touch
are where they started."""
import collections
import gc
import types
from http import HTTPStatus

import pytest

from conftest import assert_no_growth, refcount
from handler_standins import (Facts, Item, Recorder, ValuesOf, info_handler_class, load_groundwork,
                              load_hostfacts, make_info_handler)

hostfacts = load_hostfacts()
groundwork = load_groundwork()
InfoHandler = info_handler_class(hostfacts)
ROUNDS = 100_000


def _fresh(exc_type, *args):
    # A new instance per raise: a reused one collects traceback entries.
    def JupyterServerAppInfo():
        raise exc_type(*args)

    return JupyterServerAppInfo


class _DictRaises:
    def dict(self):
        raise ValueError("no facts")


class _FormatRaises:
    def __format__(self, fmt):
        raise ValueError("format")


class _Grower:
    value = "v"

    def __init__(self, jar):
        self.jar = jar

    @property
    def key(self):
        self.jar["extra"] = None
        return "k"


def _growing_jar():
    jar = {}
    jar["a"] = _Grower(jar)
    return jar


def _cookies(n):
    return {"c%d" % i: Item("name%d" % i, i if i % 3 else "val\u00e9%d" % i) for i in range(n)}


class _Missing:
    pass


# facts: what .dict() returns (the same object each call); provider: a
# JupyterServerAppInfo of its own (None: deleted); status: HTTPStatus stand-in
# (None: deleted); raises: the exception type that leaves the call.
INFO_PATHS = {
    "ok-0-cookies": dict(facts={"pid": 1}, cookies=lambda: {}),
    "ok-1-cookie": dict(facts={"pid": 1}, cookies=lambda: _cookies(1)),
    "ok-30-cookies": dict(facts={"pid": 1}, cookies=lambda: _cookies(30)),
    "ok-non-bmp": dict(facts={}, cookies=lambda: {"a": Item("\U0001F600", 2.5), "b": Item(True, "\u20ac")}),
    "ok-values-list": dict(facts={}, cookies=lambda: ValuesOf(lambda: [Item("a", 1), Item("b", 2)])),
    "provider-raising": dict(provider=_fresh(ValueError, "boom")),
    "provider-missing": dict(provider=None),
    "dict-raising": dict(provider=_DictRaises),
    "dict-none": dict(facts=None, cookies=lambda: _cookies(2)),
    "dict-ordereddict": dict(facts=collections.OrderedDict(a=1)),
    "dict-list": dict(facts=[]),
    "cookies-none": dict(facts={}, cookies=lambda: None),
    "cookies-missing": dict(facts={}, handler=lambda: _Missing()),
    "values-missing": dict(facts={}, cookies=lambda: object()),
    "values-raising": dict(facts={}, cookies=lambda: ValuesOf(_fresh(KeyError, "v"))),
    "dict-grows": dict(facts={}, cookies=_growing_jar, regrow=True),
    "item-without-key": dict(facts={}, cookies=lambda: {"a": Item("k", 1), "b": object()}),
    "format-raising": dict(facts={}, cookies=lambda: {"a": Item("k", _FormatRaises())}),
    "keyboard-interrupt": dict(provider=_fresh(KeyboardInterrupt), raises=KeyboardInterrupt),
    "status-missing": dict(facts={}, status=None, raises=NameError),
    "status-without-ok": dict(facts={}, status=types.SimpleNamespace(), raises=AttributeError),
    "error-member-missing": dict(provider=_fresh(ValueError, "boom"),
                                 status=types.SimpleNamespace(OK=HTTPStatus.OK), raises=AttributeError),
    "argument-error": dict(facts={}, call=lambda h: hostfacts.ServerAppInfoHandler._get_info(h, h),
                           raises=TypeError),
}


class Path:
    """One row of a path table made ready: `call(*args)` runs it once, after
    `before()`; `raises` is the exception type it ends in (None: a result);
    `tracked` the objects whose reference counts must not move."""

    def __init__(self, call, args, raises, tracked, before=lambda: None):
        self.call, self.args, self.raises, self.tracked, self.before = call, args, raises, tracked, before


def prepare_info_path(monkeypatch, case):
    facts = case.get("facts")
    if "provider" in case:
        if case["provider"] is None:
            monkeypatch.delitem(hostfacts.__dict__, "JupyterServerAppInfo")
        else:
            monkeypatch.setitem(hostfacts.__dict__, "JupyterServerAppInfo", case["provider"])
    else:
        made = Facts(facts)
        monkeypatch.setitem(hostfacts.__dict__, "JupyterServerAppInfo", lambda: made)
    if "status" in case:
        if case["status"] is None:
            monkeypatch.delitem(hostfacts.__dict__, "HTTPStatus")
        else:
            monkeypatch.setitem(hostfacts.__dict__, "HTTPStatus", case["status"])
    cookies = case.get("cookies", dict)()
    handler = case["handler"]() if "handler" in case else make_info_handler(InfoHandler, cookies)
    before = (lambda: cookies.pop("extra", None)) if case.get("regrow") else (lambda: None)
    tracked = [o for o in (handler, cookies, facts, HTTPStatus.OK, HTTPStatus.INTERNAL_SERVER_ERROR)
               if o is not None]  # None's count moves with everything else
    return Path(case.get("call", hostfacts.ServerAppInfoHandler._get_info), (handler,),
                case.get("raises"), tracked, before)


def run_repeatedly(path):
    def action():
        path.before()
        try:
            path.call(*path.args)
        except BaseException as exc:  # noqa: B902
            if path.raises is None or type(exc) is not path.raises:
                raise

    action()
    gc.collect()  # garbage of earlier tests may still hold some of them
    counts = [refcount(o) for o in path.tracked]
    assert_no_growth(action, rounds=ROUNDS)
    assert [refcount(o) for o in path.tracked] == counts


@pytest.mark.parametrize("path", list(INFO_PATHS))
def test_get_info_paths(monkeypatch, path):
    run_repeatedly(prepare_info_path(monkeypatch, INFO_PATHS[path]))


def _finish_call(handler, status, result):
    return groundwork.BasePipelineImportHandler._finish_with_result(handler, status, result)


class _Quiet(Recorder):
    """Records nothing: a recording list would grow on its own."""

    def _record(self, name, args, kwargs):
        exc = self.fail.get(name)
        if exc is not None:
            raise exc()


class _QuietCallable:
    class _M:
        def __call__(self, *args, **kwargs):
            return None

    def __init__(self):
        self.set_header = self.set_status = self.finish = _QuietCallable._M()


FINISH_PATHS = {
    "ok": dict(),
    "ok-callable-objects": dict(handler=_QuietCallable),
    "ok-digits-status": dict(status="201"),
    "ok-big-result": dict(result={str(i): [i, "\u00e9"] for i in range(8)}),
    "result-none": dict(result=None, raises=TypeError),
    "result-ordereddict": dict(result=collections.OrderedDict(a=1), raises=TypeError),
    "unserialisable": dict(result={"a": object()}, raises=TypeError),
    "status-none": dict(status=None, raises=TypeError),
    "status-text": dict(status="abc", raises=ValueError),
    "set-header-raising": dict(fail={"set_header": OSError}, raises=OSError),
    "set-status-raising": dict(fail={"set_status": OSError}, raises=OSError),
    "finish-raising": dict(fail={"finish": OSError}, raises=OSError),
    "json-missing": dict(json=None, raises=NameError),
    "argument-error": dict(call=lambda h, s, r: _finish_call(h, s), raises=TypeError),
    "keywords": dict(call=lambda h, s, r: groundwork.BasePipelineImportHandler._finish_with_result(
        result=r, status_code=s, self=h)),
}


def prepare_finish_path(monkeypatch, case):
    handler = case["handler"]() if "handler" in case else _Quiet(fail=case.get("fail"))
    status = case.get("status", HTTPStatus.CREATED)
    result = case.get("result", {"a": 1, "b": [1, 2]})
    if "json" in case:
        monkeypatch.delitem(groundwork.__dict__, "json")
    tracked = [o for o in (handler, status, result, HTTPStatus.CREATED) if o is not None]
    return Path(case.get("call", groundwork.BasePipelineImportHandler._finish_with_result),
                (handler, status, result), case.get("raises"), tracked)


@pytest.mark.parametrize("path", list(FINISH_PATHS))
def test_finish_with_result_paths(monkeypatch, path):
    run_repeatedly(prepare_finish_path(monkeypatch, FINISH_PATHS[path]))
