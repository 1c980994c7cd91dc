"""BasePipelineImportHandler._finish_with_result: what the framework methods
receive and in which order, the type test of `result`, every failing line,
and one real response through the web framework."""
import asyncio
import collections
import enum
import json
import sys
import types
from http import HTTPStatus
from unittest import mock

import pytest
import tornado.escape
import tornado.httputil
import tornado.web
from tornado.concurrent import Future

from conftest import needs_compiled, refcount
from handler_standins import (FINISH, GROUNDWORK_PATH, SUBCLASS_NOTE, CallableRecorder, Recorder,
                              body_length, entries, expected_calls, load_groundwork)

groundwork = load_groundwork()
Base = groundwork.BasePipelineImportHandler
finish_with_result = Base._finish_with_result
NO_EXC = (None, None, None)
# int()'s refusal of other types: 3.10 reworded it.
INT_NUMBER = "a real number" if sys.version_info >= (3, 10) else "a number"


class SubRecorder(Base):
    """A real subclass whose framework methods record instead of answering."""

    set_header = Recorder.set_header
    set_status = Recorder.set_status
    finish = Recorder.finish
    _record = Recorder._record


def sub_recorder(fail=None):
    handler = object.__new__(SubRecorder)  # no request needed
    handler.calls = []
    handler.fail = fail or {}
    return handler


DOUBLES = {
    "methods": Recorder,
    "callable-objects": CallableRecorder,
    "subclass": sub_recorder,
}


@pytest.fixture(params=list(DOUBLES), ids=list(DOUBLES))
def make(request):
    return DOUBLES[request.param]


def run(handler, status, result):
    return finish_with_result(handler, status, result)


# --- the calls the handler sees --------------------------------------------


class TestCalls:
    def test_order_and_arguments(self, make):
        h = make()
        result = {"id": 3, "name": "import"}
        assert run(h, HTTPStatus.CREATED, result) is None
        assert h.calls == [
            ("set_header", (), {"name": "Content-Type", "value": "application/json"}),
            ("set_header", (), {"name": "Content-Length", "value": str(len(json.dumps(result)))}),
            ("set_status", (), {"status_code": 201}),
            ("finish", (result,), {}),
        ]
        assert h.calls[3][1][0] is result

    def test_bound_through_an_instance(self):
        h = sub_recorder()
        assert h._finish_with_result(200, {}) is None
        assert h.calls == expected_calls(200, {})

    def test_keyword_only_call(self, make):
        h = make()
        result = {"k": [1, 2]}
        assert finish_with_result(self=h, status_code=202, result=result) is None
        assert h.calls == expected_calls(202, result)

    def test_mixed_positional_and_keyword(self, make):
        h = make()
        finish_with_result(h, result={}, status_code=204)
        assert h.calls == expected_calls(204, {})

    def test_empty_result_is_two_characters(self, make):
        h = make()
        run(h, 200, {})
        assert h.calls[1] == ("set_header", (), {"name": "Content-Length", "value": "2"})

    @pytest.mark.parametrize("result, length", [
        ({"\u00e9": "\u20ac"}, len('{"\\u00e9": "\\u20ac"}')),
        ({"emoji": "\U0001F600"}, len('{"emoji": "\\ud83d\\ude00"}')),
        ({"t": "</b></i>"}, len('{"t": "<\\/b><\\/i>"}')),
        ({"</": "<", "x": "/"}, len('{"<\\/": "<", "x": "/"}')),
    ], ids=["latin-bmp", "non-bmp", "closing-tags", "closing-tag-key"])
    def test_length_is_that_of_the_body_text(self, make, result, length):
        h = make()
        run(h, 200, result)
        value = h.calls[1][2]["value"]
        assert type(value) is str and value == str(length)
        assert length == len(tornado.escape.json_encode(result))

    @pytest.mark.parametrize("result", [
        {"nested": {"a": [1, 2.5, None, True]}, "text": "</script>"},
        {str(i): i for i in range(500)},
        {"a": "b" * 12345},
    ], ids=["nested", "large", "long-text"])
    def test_length_matches_the_framework_encoder(self, make, result):
        h = make()
        run(h, 200, result)
        assert h.calls[1][2]["value"] == str(len(tornado.escape.json_encode(result)))

    def test_return_values_of_framework_methods_are_dropped(self):
        h = Recorder()
        assert run(h, 200, {}) is None  # finish() returns "finished"

    def test_result_identity_unchanged(self):
        h = Recorder()
        result = {"a": 1}
        before = refcount(result)
        run(h, 200, result)
        assert result == {"a": 1}
        del h
        assert refcount(result) == before


class Shade(enum.IntEnum):
    CUSTOM = 299


class LongSub(int):
    pass


class TestStatus:
    @pytest.mark.parametrize("status, expected", [
        (HTTPStatus.CREATED, 201),
        (HTTPStatus.OK, 200),
        (Shade.CUSTOM, 299),
        ("201", 201),
        (" 404 ", 404),
        (201.9, 201),
        (True, 1),
        (LongSub(418), 418),
    ], ids=["httpstatus", "ok", "intenum", "digits", "padded-digits", "float", "bool", "int-subclass"])
    def test_converted_to_exact_int(self, make, status, expected):
        h = make()
        run(h, status, {})
        got = h.calls[2][2]["status_code"]
        assert type(got) is int and got == expected

    def test_exact_int_is_passed_as_the_same_object(self):
        h = Recorder()
        status = 10 ** 30  # not a cached small int
        run(h, status, {})
        assert h.calls[2][2]["status_code"] is status

    @pytest.mark.parametrize("status, exc_type, message", [
        (None, TypeError, "int() argument must be a string, a bytes-like object or %s, not 'NoneType'" % INT_NUMBER),
        ("abc", ValueError, "invalid literal for int() with base 10: 'abc'"),
        ([], TypeError, "int() argument must be a string, a bytes-like object or %s, not 'list'" % INT_NUMBER),
        (float("nan"), ValueError, "cannot convert float NaN to integer"),
    ], ids=["none", "text", "list", "nan"])
    @needs_compiled
    def test_unconvertible_fails_at_line_29_after_both_headers(self, make, status, exc_type, message):
        h = make()
        with pytest.raises(exc_type) as info:
            run(h, status, {"a": 1})
        assert str(info.value) == message
        assert entries(info.value, GROUNDWORK_PATH) == [(29, FINISH)]
        assert [c[0] for c in h.calls] == ["set_header", "set_header"]
        assert h.calls == expected_calls(200, {"a": 1})[:2]


# --- the result type test -------------------------------------------------------


class MyDict(dict):
    pass


class TestResultType:
    @pytest.mark.parametrize("result, got, note", [
        (None, "NoneType", False),
        ([], "list", False),
        ((), "tuple", False),
        ("{}", "str", False),
        (types.MappingProxyType({}), "mappingproxy", False),
        (collections.OrderedDict(), "collections.OrderedDict", True),
        (collections.defaultdict(int), "collections.defaultdict", True),
        (MyDict(), "MyDict", True),
    ], ids=["none", "list", "tuple", "str", "mappingproxy", "ordereddict", "defaultdict", "subclass"])
    def test_refused_before_any_call_without_entry(self, make, result, got, note):
        h = make()
        before = refcount(result)
        with pytest.raises(TypeError) as info:
            run(h, 200, result)
        expected = "Argument 'result' has incorrect type (expected dict, got %s)" % got
        if note:
            expected += ". " + SUBCLASS_NOTE
        assert str(info.value) == expected
        assert entries(info.value, GROUNDWORK_PATH) == []
        assert h.calls == []
        del info
        # The counts of None and the empty tuple move with everything else.
        if not (result is None or (type(result) is tuple and len(result) == 0)):
            assert refcount(result) == before

    def test_refused_by_keyword_too(self):
        h = Recorder()
        with pytest.raises(TypeError, match=r"^Argument 'result' has incorrect type \(expected dict, got NoneType\)$"):
            finish_with_result(result=None, status_code=200, self=h)
        assert h.calls == []


# --- failing lines ------------------------------------------------------------


class Unserialisable:
    pass


@needs_compiled
class TestFailures:
    @pytest.mark.parametrize("result, message", [
        ({"a": Unserialisable()}, "Object of type Unserialisable is not JSON serializable"),
        ({"a": {1, 2}}, "Object of type set is not JSON serializable"),
        ({(1, 2): 1}, "keys must be str, int, float, bool or None, not tuple"),
    ], ids=["object", "set", "tuple-key"])
    def test_unserialisable_fails_at_line_28_after_content_type(self, make, result, message):
        h = make()
        with pytest.raises(TypeError) as info:
            run(h, 200, result)
        assert str(info.value) == message
        assert entries(info.value, GROUNDWORK_PATH) == [(28, FINISH)]
        assert h.calls == expected_calls(200, {})[:1]

    def test_circular_result_fails_at_line_28(self):
        h = Recorder()
        result = {}
        result["self"] = result
        with pytest.raises(ValueError) as info:
            run(h, 200, result)
        # Not match=: pytest matches the notes too, and 3.14's json adds one.
        assert str(info.value) == "Circular reference detected"
        assert entries(info.value, GROUNDWORK_PATH) == [(28, FINISH)]

    @pytest.mark.parametrize("name, position, line", [
        ("set_status", 2, 29), ("finish", 3, 30),
    ])
    def test_framework_method_raising(self, make, name, position, line):
        err = LookupError("framework says no")
        h = make(fail={name: err})
        with pytest.raises(LookupError) as info:
            run(h, 200, {"x": 1})
        assert info.value is err
        assert entries(err, GROUNDWORK_PATH) == [(line, FINISH)]
        assert h.calls == expected_calls(200, {"x": 1})[:position + 1]

    def test_first_set_header_raising_at_line_27(self, make):
        err = OSError("headers closed")
        h = make(fail={"set_header": err})
        with pytest.raises(OSError) as info:
            run(h, 200, {})
        assert entries(info.value, GROUNDWORK_PATH) == [(27, FINISH)]
        assert len(h.calls) == 1

    def test_second_set_header_raising_at_line_28(self):
        class SecondFails(Recorder):
            def set_header(self, *args, **kwargs):
                super().set_header(*args, **kwargs)
                if len(self.calls) == 2:
                    raise OSError("length refused")

        h = SecondFails()
        with pytest.raises(OSError, match="^length refused$") as info:
            run(h, 200, {})
        assert entries(info.value, GROUNDWORK_PATH) == [(28, FINISH)]
        assert [c[0] for c in h.calls] == ["set_header", "set_header"]

    @pytest.mark.parametrize("missing, line", [("set_header", 27), ("set_status", 29), ("finish", 30)])
    def test_framework_method_missing(self, missing, line):
        h = types.SimpleNamespace(calls=[])
        for name in ("set_header", "set_status", "finish"):
            if name != missing:
                setattr(h, name, lambda *a, _n=name, **k: h.calls.append(_n))
        with pytest.raises(AttributeError) as info:
            run(h, 200, {})
        assert str(info.value) == "'types.SimpleNamespace' object has no attribute '%s'" % missing
        assert entries(info.value, GROUNDWORK_PATH) == [(line, FINISH)]

    def test_keyword_names_reach_the_callee(self):
        class Strict:
            def set_header(self, name, value):
                pass

            def set_status(self, code):
                pass

            def finish(self, chunk):
                pass

        with pytest.raises(TypeError) as info:
            run(Strict(), 200, {})
        # From 3.10 the interpreter names the function by its qualified name.
        callee = Strict.set_status.__qualname__ if sys.version_info >= (3, 10) else "set_status"
        assert str(info.value) == callee + "() got an unexpected keyword argument 'status_code'"
        assert entries(info.value, GROUNDWORK_PATH) == [(29, FINISH)]

    @pytest.mark.parametrize("call, message", [
        (lambda: finish_with_result(), "_finish_with_result() takes exactly 3 positional arguments (0 given)"),
        (lambda: finish_with_result(1, 2), "_finish_with_result() takes exactly 3 positional arguments (2 given)"),
        (lambda: finish_with_result(1, 2, {}, 4),
         "_finish_with_result() takes exactly 3 positional arguments (4 given)"),
        (lambda: finish_with_result(1, 2, result={}, extra=1),
         "_finish_with_result() got an unexpected keyword argument 'extra'"),
        (lambda: finish_with_result(1, 2, {}, status_code=3),
         "_finish_with_result() got multiple values for keyword argument 'status_code'"),
    ], ids=["none", "two", "four", "unknown-keyword", "duplicate"])
    def test_argument_errors_at_line_26(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
        assert entries(info.value, GROUNDWORK_PATH) == [(26, FINISH)]


class TestJsonGlobal:
    def test_rebound_json_is_seen(self, monkeypatch):
        seen = []
        fake = types.SimpleNamespace(dumps=lambda obj: seen.append(obj) or "x" * 77)
        h = Recorder()
        result = {"a": 1}
        run(h, 200, result)
        monkeypatch.setitem(groundwork.__dict__, "json", fake)
        run(h, 200, result)
        assert seen == [result]
        assert h.calls[5][2]["value"] == "77"
        monkeypatch.undo()
        run(h, 200, result)
        assert h.calls[9][2]["value"] == str(len(json.dumps(result)))

    def test_bound_method_dumps(self, monkeypatch):
        class Encoder:
            def dumps(self, obj, *extra):
                self.args = (obj, extra)
                return "12345"

        enc = Encoder()
        monkeypatch.setitem(groundwork.__dict__, "json", enc)
        h = Recorder()
        run(h, 200, {})
        assert enc.args == ({}, ())
        assert h.calls[1][2]["value"] == "5"

    @pytest.mark.parametrize("replacement, exc_type, message", [
        (None, NameError, "name 'json' is not defined"),
        (types.SimpleNamespace(), AttributeError, "'types.SimpleNamespace' object has no attribute 'dumps'"),
        (types.SimpleNamespace(dumps=lambda obj: 5), TypeError, "object of type 'int' has no len()"),
    ], ids=["missing", "no-dumps", "no-length"])
    @needs_compiled
    def test_json_failures_at_line_28(self, monkeypatch, replacement, exc_type, message):
        if replacement is None:
            monkeypatch.delitem(groundwork.__dict__, "json")
        else:
            monkeypatch.setitem(groundwork.__dict__, "json", replacement)
        h = Recorder()
        with pytest.raises(exc_type) as info:
            run(h, 200, {})
        assert str(info.value) == message
        assert entries(info.value, GROUNDWORK_PATH) == [(28, FINISH)]
        assert len(h.calls) == 1

    def test_closing_tags_of_the_dumped_text_are_counted(self, monkeypatch):
        monkeypatch.setitem(groundwork.__dict__, "json", types.SimpleNamespace(dumps=lambda obj: "</a></"))
        h = Recorder()
        run(h, 200, {})
        assert h.calls[1][2]["value"] == "8"

    @needs_compiled
    def test_length_of_any_sized_text(self, monkeypatch):
        monkeypatch.setitem(groundwork.__dict__, "json", types.SimpleNamespace(dumps=lambda obj: [0] * 10))
        h = Recorder()
        run(h, 200, {})
        assert h.calls[1][2]["value"] == "10"


# --- through the web framework -----------------------------------------------------


@pytest.fixture
def loop():
    # From 3.14 a Future made outside a running loop finds none by itself.
    loop = asyncio.new_event_loop()
    yield loop
    loop.close()


def _request(loop):
    connection = mock.Mock()

    def write_headers(start_line, headers, chunk=None):
        done = Future(loop=loop)
        done.set_result(None)
        return done

    connection.write_headers.side_effect = write_headers
    request = tornado.httputil.HTTPServerRequest(method="POST", uri="/api/import", connection=connection)
    return request, connection


class PipelineHandler(Base):
    pass


def _answer(loop, status, result):
    request, connection = _request(loop)
    handler = PipelineHandler(tornado.web.Application(), request)
    handler._transforms = []  # set by the framework's own request execution
    assert handler._finish_with_result(status, result) is None
    return handler, connection


class TestThroughTheFramework:
    def test_created_response(self, loop):
        result = {"a": 1, "name": "caf\u00e9"}
        handler, connection = _answer(loop, HTTPStatus.CREATED, result)
        assert handler.get_status() == 201 and type(handler.get_status()) is int
        assert handler._finished
        [call] = connection.write_headers.call_args_list
        start_line, headers, body = call[0]
        assert start_line.code == 201
        assert headers["Content-Type"].startswith("application/json")
        assert headers["Content-Length"] == str(body_length(result))
        assert body == tornado.escape.json_encode(result).encode()
        assert json.loads(body) == result
        assert int(headers["Content-Length"]) == len(body)
        connection.finish.assert_called_once_with()

    def test_error_status_from_digits(self, loop):
        handler, connection = _answer(loop, "422", {"error": "bad pipeline"})
        assert handler.get_status() == 422
        assert connection.write_headers.call_args[0][0].code == 422

    def test_length_matches_body_with_closing_tags(self, loop):
        handler, connection = _answer(loop, 200, {"html": "</b></i>", "</": 1})
        _, headers, body = connection.write_headers.call_args[0]
        assert int(headers["Content-Length"]) == len(body)

    def test_unserialisable_leaves_the_response_open(self, loop):
        request, connection = _request(loop)
        handler = PipelineHandler(tornado.web.Application(), request)
        handler._transforms = []
        with pytest.raises(TypeError):
            handler._finish_with_result(201, {"a": object()})
        assert handler.get_status() == 200
        assert not handler._finished
        assert handler._headers["Content-Type"] == "application/json"
        assert "Content-Length" not in handler._headers
        connection.write_headers.assert_not_called()


def test_no_handled_exception_left_behind():
    h = Recorder(fail={"finish": ValueError("x")})
    try:
        raise KeyError("outer")
    except KeyError:
        before = sys.exc_info()
        with pytest.raises(ValueError):
            run(h, 200, {})
        assert sys.exc_info() == before
    run(Recorder(), 200, {})
    assert sys.exc_info() == NO_EXC
