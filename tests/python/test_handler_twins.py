"""The handler methods on stand-in objects: the twins and the compiled modules agree.

Every case runs on both; where they differ (argument-parsing wording), only what
both guarantee is checked. Line numbers are those of the traceback entries.
"""
import collections
import json
import sys
import traceback
from http import HTTPStatus
from types import SimpleNamespace

import pytest

import velmora
from handler_standins import KINDS, load_handler_set

FAILED = {"message": "Failed to get information."}
SUBCLASS_NOTE = (
    "Note that the compiled handlers are deliberately stricter than PEP-484 and reject subclasses "
    "of builtin types: pass an exact dict instead."
)


@pytest.fixture(params=KINDS)
def hostfacts(request):
    return sys.modules[load_handler_set(request.param).info.__module__]


@pytest.fixture(params=KINDS)
def groundwork(request):
    handler = load_handler_set(request.param).pipeline_import
    base = next(c for c in handler.__mro__ if c.__name__ == "BasePipelineImportHandler")
    return sys.modules[base.__module__]


def lines_in(exc, *suffixes):
    return [f.lineno for f in traceback.extract_tb(exc.__traceback__)
            if f.filename.endswith(suffixes)]


def info_lines(exc):
    return lines_in(exc, "info/hostfacts.py")


def finish_lines(exc):
    return lines_in(exc, "pipeline_import/groundwork.py")


def cookie(key, value):
    return SimpleNamespace(key=key, value=value)


def get_info(module, cookies):
    return module.ServerAppInfoHandler._get_info(SimpleNamespace(cookies=cookies))


def facts_returning(value):
    return lambda: SimpleNamespace(dict=lambda: value)


# --- _get_info ----------------------------------------------------------------------

def test_facts_and_cookies_in_order(hostfacts):
    status, result = get_info(hostfacts, {"a": cookie("a", "1"), "b": cookie("b", "x y")})
    assert status is HTTPStatus.OK
    assert type(result) is dict
    assert result["cookie"] == "a=1; b=x y"
    assert result["velmora_version"] == velmora.__version__


def test_no_cookies_give_an_empty_text(hostfacts):
    status, result = get_info(hostfacts, {})
    assert status is HTTPStatus.OK and result["cookie"] == ""


class Formatted(str):
    def __format__(self, spec):
        return "formatted"


@pytest.mark.parametrize("value,text", [(42, "42"), (True, "True"), (1.5, "1.5"), (None, "None"),
                                        (Formatted("raw"), "formatted"), ("\U0001F600", "\U0001F600")])
def test_cookie_values_are_formatted_like_format(hostfacts, value, text):
    assert get_info(hostfacts, {"k": cookie("k", value)})[1]["cookie"] == "k=" + text


class CountingDict(dict):
    calls = 0

    def values(self):
        CountingDict.calls += 1
        return super().values()


def test_values_is_called_on_mappings_other_than_exact_dicts(hostfacts):
    CountingDict.calls = 0
    cookies = CountingDict(a=cookie("a", 1))
    assert get_info(hostfacts, cookies)[1]["cookie"] == "a=1"
    assert CountingDict.calls == 1


@pytest.mark.parametrize("make", [list, tuple, iter], ids=["list", "tuple", "iterator"])
def test_values_may_return_any_iterable(hostfacts, make):
    items = [cookie("a", 1), cookie("b", 2)]
    cookies = SimpleNamespace(values=lambda: make(items))
    assert get_info(hostfacts, cookies)[1]["cookie"] == "a=1; b=2"


def test_existing_cookie_key_is_replaced_in_the_very_dict(hostfacts, monkeypatch):
    facts = {"cookie": "old", "x": 1}
    monkeypatch.setattr(hostfacts, "JupyterServerAppInfo", facts_returning(facts))
    status, result = get_info(hostfacts, {"c": cookie("c", "new")})
    assert result is facts
    assert facts == {"cookie": "c=new", "x": 1}


@pytest.mark.parametrize("value", [None, collections.OrderedDict(a=1), [("a", 1)], "text"])
def test_facts_that_are_not_exactly_a_dict_answer_500(hostfacts, monkeypatch, value):
    monkeypatch.setattr(hostfacts, "JupyterServerAppInfo", facts_returning(value))
    status, result = get_info(hostfacts, {})
    assert status is HTTPStatus.INTERNAL_SERVER_ERROR
    assert result == FAILED


def changing(cookies):
    class Item:
        key = "k"

        @property
        def value(self):
            cookies["another"] = cookie("another", 1)
            return "v"
    return Item()


@pytest.mark.parametrize("cookies", [
    None, SimpleNamespace(), {"a": object()}, {"a": SimpleNamespace(key="a")},
], ids=["None", "no values", "item without key", "item without value"])
def test_bad_cookies_answer_500(hostfacts, cookies):
    assert get_info(hostfacts, cookies) == (HTTPStatus.INTERNAL_SERVER_ERROR, FAILED)


def test_cookies_changing_while_read_answer_500(hostfacts):
    cookies = {}
    cookies["k"] = changing(cookies)
    assert get_info(hostfacts, cookies) == (HTTPStatus.INTERNAL_SERVER_ERROR, FAILED)


class ChangingCookie:
    """A cookie whose key, when read, runs `change` once (the cookie dict
    changed while the handler walks it)."""

    def __init__(self, key, value):
        self._key, self.value, self.change = key, value, None

    @property
    def key(self):
        change, self.change = self.change, None
        if change:
            change()
        return self._key


class PlainDict(dict):
    pass


def swap(gone, new):
    return lambda d: (d.pop(gone), d.__setitem__(new, cookie(new, "Y")))


# (label, key whose reading changes the cookies, change, answer)
COOKIES_CHANGED = [
    ("grows", "a", lambda d: d.__setitem__("x", cookie("x", "X")), None),
    ("shrinks", "a", lambda d: d.pop("b"), None),
    ("visited cookie swapped for another", "b", swap("a", "swapped"), None),
    ("cookie being read swapped for another", "a", swap("a", "swapped"), None),
    ("cookie ahead swapped for another", "a", swap("b", "swapped"), "a=1; swapped=Y"),
    ("cookie deleted and put back", "b", lambda d: d.__setitem__("a", d.pop("a")), None),
    ("value replaced", "a", lambda d: d.__setitem__("b", cookie("b", "new")), "a=1; b=new"),
]


@pytest.mark.parametrize("container", [dict, PlainDict, CountingDict])
@pytest.mark.parametrize("label, reading, change, answer", COOKIES_CHANGED,
                         ids=[c[0] for c in COOKIES_CHANGED])
def test_cookies_changed_during_the_walk_as_the_twin(container, label, reading, change, answer):
    # The dict's own iterator refuses a change of size and an entry it did
    # not count on (None: the 500 answer); a cookie swapped for one ahead of
    # the walk, or a value replaced, goes on.
    got = {}
    for kind in KINDS:
        cookies = container(a=ChangingCookie("a", 1), b=ChangingCookie("b", 2))
        cookies[reading].change = lambda: change(cookies)
        got[kind] = get_info(sys.modules[load_handler_set(kind).info.__module__], cookies)
    expected = (HTTPStatus.INTERNAL_SERVER_ERROR, FAILED) if answer is None else HTTPStatus.OK
    assert got["compiled"] == got["twin"]
    if answer is None:
        assert got["twin"] == expected
    else:
        assert (got["twin"][0], got["twin"][1]["cookie"]) == (expected, answer)


def test_handler_without_cookies_answers_500(hostfacts):
    result = hostfacts.ServerAppInfoHandler._get_info(object())
    assert result == (HTTPStatus.INTERNAL_SERVER_ERROR, FAILED)


def test_caught_failure_leaves_the_handled_exception_as_it_was(hostfacts, monkeypatch):
    seen = []

    def broken():
        raise ValueError("no facts")

    monkeypatch.setattr(hostfacts, "JupyterServerAppInfo", broken)
    try:
        raise KeyError("outer")
    except KeyError:
        before = sys.exc_info()
        seen.append(get_info(hostfacts, {}))
        assert sys.exc_info() == before
    assert sys.exc_info() == (None, None, None)
    assert seen == [(HTTPStatus.INTERNAL_SERVER_ERROR, FAILED)]


def test_keyboard_interrupt_is_not_caught(hostfacts, monkeypatch):
    def interrupted():
        raise KeyboardInterrupt

    monkeypatch.setattr(hostfacts, "JupyterServerAppInfo", interrupted)
    with pytest.raises(KeyboardInterrupt) as e:
        get_info(hostfacts, {})
    assert info_lines(e.value) == [30]


def test_missing_http_status_fails_before_the_guarded_block(hostfacts, monkeypatch):
    monkeypatch.delattr(hostfacts, "HTTPStatus")
    with pytest.raises(NameError) as e:
        get_info(hostfacts, {})
    assert str(e.value) == "name 'HTTPStatus' is not defined"
    assert info_lines(e.value) == [27]


@pytest.mark.parametrize("args", [(), (1, 2)])
def test_get_info_takes_only_self(hostfacts, args):
    with pytest.raises(TypeError, match="_get_info"):
        hostfacts.ServerAppInfoHandler._get_info(*args)


def test_get_info_annotation(hostfacts):
    annotations = hostfacts.ServerAppInfoHandler._get_info.__annotations__
    assert annotations == {"return": "Tuple[HTTPStatus, Dict[str, Any]]"}


# --- _finish_with_result ------------------------------------------------------------

class Recorder:
    def __init__(self):
        self.calls = []

    def set_header(self, name, value):
        self.calls.append(("set_header", name, value))

    def set_status(self, status_code):
        self.calls.append(("set_status", status_code))

    def finish(self, chunk):
        self.calls.append(("finish", chunk))


def finish(module, status, result, **kw):
    rec = Recorder()
    assert module.BasePipelineImportHandler._finish_with_result(rec, status, result, **kw) is None
    return rec.calls


def test_finish_declares_json_length_status_then_body(groundwork):
    result = {}
    calls = finish(groundwork, HTTPStatus.CREATED, result)
    assert calls == [("set_header", "Content-Type", "application/json"),
                     ("set_header", "Content-Length", "2"),
                     ("set_status", 201),
                     ("finish", {})]
    assert type(calls[2][1]) is int
    assert calls[3][1] is result


@pytest.mark.parametrize("result,length", [({"k": "é"}, 15), ({"a": [1, 2.5, None, True]}, 27),
                                           ({"x": "</y>"}, 14), ({"x": "</</"}, 15)])
def test_content_length_counts_the_text_the_framework_writes(groundwork, result, length):
    # The framework's JSON encoder writes "</" as "<\/": the declared length follows it.
    calls = finish(groundwork, 200, result)
    assert calls[1] == ("set_header", "Content-Length", str(length))


@pytest.mark.parametrize("status,expected", [(HTTPStatus.CONFLICT, 409), ("201", 201), (201.9, 201),
                                             (True, 1)])
def test_status_becomes_a_plain_int(groundwork, status, expected):
    value = finish(groundwork, status, {})[2][1]
    assert value == expected and type(value) is int


def test_exact_int_status_is_passed_as_is(groundwork):
    status = int("1000001")
    assert finish(groundwork, status, {})[2][1] is status


def test_keywords_only_call(groundwork):
    rec = Recorder()
    groundwork.BasePipelineImportHandler._finish_with_result(self=rec, status_code=200, result={})
    assert [c[0] for c in rec.calls] == ["set_header", "set_header", "set_status", "finish"]


@pytest.mark.parametrize("result,got,note", [
    (None, "NoneType", False), ([], "list", False),
    (collections.OrderedDict(), "collections.OrderedDict", True),
    (collections.defaultdict(int), "collections.defaultdict", True),
    (CountingDict(), "CountingDict", True),
])
def test_result_must_be_exactly_a_dict(groundwork, result, got, note):
    rec = Recorder()
    with pytest.raises(TypeError) as e:
        groundwork.BasePipelineImportHandler._finish_with_result(rec, 200, result)
    expected = "Argument 'result' has incorrect type (expected dict, got %s)" % got
    assert str(e.value) == expected + (". " + SUBCLASS_NOTE if note else "")
    assert rec.calls == []


@pytest.mark.parametrize("args, kwargs", [
    ((200, [], 4), {}), ((200, []), {"result": {}}), ((200, []), {"extra": 1}), ((), {"result": []}),
], ids=["one too many", "result twice", "unknown keyword", "status missing"])
def test_a_call_refused_anyway_is_refused_for_its_arguments_first(groundwork, args, kwargs):
    rec = Recorder()
    with pytest.raises(TypeError) as e:
        groundwork.BasePipelineImportHandler._finish_with_result(rec, *args, **kwargs)
    assert "incorrect type" not in str(e.value)
    assert rec.calls == []


def test_unserialisable_result_fails_after_the_content_type(groundwork):
    rec = Recorder()
    with pytest.raises(TypeError) as e:
        groundwork.BasePipelineImportHandler._finish_with_result(rec, 200, {"x": object()})
    assert finish_lines(e.value) == [28]
    assert rec.calls == [("set_header", "Content-Type", "application/json")]


@pytest.mark.parametrize("status,error", [(None, TypeError), ("ok", ValueError)])
def test_bad_status_fails_after_both_headers(groundwork, status, error):
    rec = Recorder()
    with pytest.raises(error) as e:
        groundwork.BasePipelineImportHandler._finish_with_result(rec, status, {})
    assert finish_lines(e.value) == [29]
    assert [c[1] for c in rec.calls] == ["Content-Type", "Content-Length"]


def test_failing_finish_reports_line_30(groundwork):
    rec = Recorder()
    rec.finish = None
    with pytest.raises(TypeError) as e:
        groundwork.BasePipelineImportHandler._finish_with_result(rec, 200, {})
    assert finish_lines(e.value) == [30]
    assert len(rec.calls) == 3


def test_finish_annotations(groundwork):
    annotations = groundwork.BasePipelineImportHandler._finish_with_result.__annotations__
    assert list(annotations.items()) == [("status_code", "HTTPStatus"),
                                         ("result", "Dict[str, Any]"), ("return", "None")]
