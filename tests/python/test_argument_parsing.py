"""Argument parsing of the two handler methods: every way arguments arrive
(positional vector, keyword-names tuple, keyword dict), every wrong call with the
interpreter's wording, one traceback entry per failure, and no reference left."""
import sys
import traceback

import pytest

from conftest import assert_no_growth, import_testmod, refcount

t = import_testmod()
from handler_standins import CountedFacts
from velmora.server.handlers.info import hostfacts
from velmora.server.handlers.pipeline_import import groundwork

ServerAppInfoHandler = hostfacts.ServerAppInfoHandler
BasePipelineImportHandler = groundwork.BasePipelineImportHandler
GET_INFO = ServerAppInfoHandler.__dict__["_get_info"]
FINISH = BasePipelineImportHandler.__dict__["_finish_with_result"]

INFO_SOURCE = "velmora/server/handlers/info/hostfacts.py"
INFO_NAME = "velmora.server.handlers.info.hostfacts.ServerAppInfoHandler._get_info"
FINISH_SOURCE = "velmora/server/handlers/pipeline_import/groundwork.py"
FINISH_NAME = ("velmora.server.handlers.pipeline_import.groundwork."
               "BasePipelineImportHandler._finish_with_result")


class S(str):
    """A str subclass: matched by comparison, not by identity or bytes."""


def fresh(text):
    """An equal str that is not the interned one."""
    made = "".join(list(text))
    assert made == text and made is not text
    return made


class InfoHandler(ServerAppInfoHandler):
    """Records every entry into the body (the cookies read)."""

    reads = 0
    last = None

    @property
    def cookies(self):
        InfoHandler.reads += 1
        InfoHandler.last = self
        return {}


class FinishHandler(BasePipelineImportHandler):
    """Records the framework calls the body makes."""

    def __init__(self):  # the framework's constructor needs a live application
        self.calls = []

    def set_header(self, name, value):
        self.calls.append(("set_header", name, value))

    def set_status(self, status_code, reason=None):
        self.calls.append(("set_status", status_code))

    def finish(self, chunk=None):
        self.calls.append(("finish", chunk))


@pytest.fixture
def info(monkeypatch):
    """An instance of the handler class and a cheap facts source that counts."""
    monkeypatch.setitem(hostfacts.__dict__, "JupyterServerAppInfo", CountedFacts)
    InfoHandler.reads = 0
    InfoHandler.last = None
    CountedFacts.made = 0
    yield InfoHandler.__new__(InfoHandler)
    InfoHandler.last = None


def entries(exc, source):
    """(line, name) of the traceback entries that name `source`."""
    return [(fs.lineno, fs.name) for fs in traceback.extract_tb(exc.__traceback__)
            if fs.filename == source]


def failure(call):
    try:
        call()
    except TypeError as e:
        return e
    raise AssertionError("no TypeError raised")


C = ServerAppInfoHandler
B = BasePipelineImportHandler

# (label, call(h), message)
# From 3.9 the interpreter refuses the non-str keys of a ** mapping itself,
# before the callee runs: its own text, and no entry for the definition line.
KEYS_REFUSED_BEFORE_CALL = sys.version_info >= (3, 9)

GET_INFO_WRONG = [
    ("class-no-args", lambda h: C._get_info(), "_get_info() takes exactly 1 positional argument (0 given)"),
    ("class-two", lambda h: C._get_info(h, h), "_get_info() takes exactly 1 positional argument (2 given)"),
    ("bound-one-extra", lambda h: h._get_info(1), "_get_info() takes exactly 1 positional argument (2 given)"),
    ("count-before-keywords", lambda h: h._get_info(1, 2, x=3),
     "_get_info() takes exactly 1 positional argument (3 given)"),
    ("bound-self-keyword", lambda h: h._get_info(self=h),
     "_get_info() got multiple values for keyword argument 'self'"),
    ("bound-unexpected", lambda h: h._get_info(x=1), "_get_info() got an unexpected keyword argument 'x'"),
    ("class-unexpected", lambda h: C._get_info(x=1), "_get_info() got an unexpected keyword argument 'x'"),
    ("class-self-unexpected", lambda h: C._get_info(h, x=1),
     "_get_info() got an unexpected keyword argument 'x'"),
    ("dict-non-string", lambda h: C._get_info(**{1: 2}),
     "keywords must be strings" if KEYS_REFUSED_BEFORE_CALL else "_get_info() keywords must be strings"),
    ("fresh-self-repeats", lambda h: h._get_info(**{fresh("self"): h}),
     "_get_info() got multiple values for keyword argument 'self'"),
    ("subclass-self-repeats", lambda h: h._get_info(**{S("self"): h}),
     "_get_info() got multiple values for keyword argument 'self'"),
    ("subclass-unexpected", lambda h: C._get_info(**{S("other"): h}),
     "_get_info() got an unexpected keyword argument 'other'"),
    ("names-non-string", lambda h: t.vectorcall(GET_INFO, (h, 1), (1,)), "_get_info() keywords must be strings"),
    ("names-self-repeats", lambda h: t.vectorcall(GET_INFO, (h, h), ("self",)),
     "_get_info() got multiple values for keyword argument 'self'"),
    ("names-duplicate", lambda h: t.vectorcall(GET_INFO, (h, h), ("self", "self")),
     "_get_info() got multiple values for keyword argument 'self'"),
    ("native-dict-self-repeats", lambda h: t.call_native(GET_INFO, (h,), {"self": h}),
     "_get_info() got multiple values for keyword argument 'self'"),
    ("native-dict-unexpected", lambda h: t.call_native(GET_INFO, (), {"x": 1}),
     "_get_info() got an unexpected keyword argument 'x'"),
    ("native-dict-one-unexpected", lambda h: t.call_native(GET_INFO, (), {"self": h, "x": 1}),
     "_get_info() got an unexpected keyword argument 'x'"),
    ("native-dict-subclass-unexpected", lambda h: t.call_native(GET_INFO, (h,), {S("x"): 1}),
     "_get_info() got an unexpected keyword argument 'x'"),
    ("native-dict-non-string", lambda h: t.call_native(GET_INFO, (), {1: 2}), "keywords must be strings"),
    ("native-two", lambda h: t.call_native(GET_INFO, (h, h)), "_get_info() takes exactly 1 positional argument (2 given)"),
    ("native-empty-dict-two", lambda h: t.call_native(GET_INFO, (h, h), {}),
     "_get_info() takes exactly 1 positional argument (2 given)"),
    ("native-dict-two", lambda h: t.call_native(GET_INFO, (h, h), {"self": 1}),
     "_get_info() takes exactly 1 positional argument (2 given)"),
]

GET_INFO_RIGHT = [
    ("bound", lambda h: h._get_info()),
    ("class", lambda h: C._get_info(h)),
    ("class-keyword", lambda h: C._get_info(self=h)),
    ("fresh-keyword", lambda h: C._get_info(**{fresh("self"): h})),
    ("subclass-keyword", lambda h: C._get_info(**{S("self"): h})),
    ("empty-names", lambda h: t.vectorcall(GET_INFO, (h,), ())),
    ("names", lambda h: t.vectorcall(GET_INFO, (h,), ("self",))),
    ("names-fresh", lambda h: t.vectorcall(GET_INFO, (h,), (fresh("self"),))),
    ("slot-empty-dict", lambda h: t.slot_call(GET_INFO, (h,), {})),
    ("slot-bound", lambda h: t.slot_call(h._get_info, (), {})),
    ("object-call-bound", lambda h: t.object_call(h._get_info, (), {})),
    ("object-call-class", lambda h: t.object_call(C._get_info, (h,), {})),
    ("object-call-class-keyword", lambda h: t.object_call(C._get_info, (), {"self": h})),
    ("slot-dict", lambda h: t.slot_call(GET_INFO, (), {"self": h})),
    ("native-dict", lambda h: t.call_native(GET_INFO, (), {"self": h})),
    ("native-dict-fresh", lambda h: t.call_native(GET_INFO, (), {fresh("self"): h})),
    ("native-empty-dict", lambda h: t.call_native(GET_INFO, (h,), {})),
    ("native-empty-names", lambda h: t.call_native(GET_INFO, (h,), ())),
]


class TestGetInfo:
    @pytest.mark.parametrize("label, call, message", GET_INFO_WRONG, ids=[c[0] for c in GET_INFO_WRONG])
    def test_wrong_calls(self, info, label, call, message):
        before = refcount(info)
        e = failure(lambda: call(info))
        assert str(e) == message
        # One entry at the definition line, and the body was never entered.
        refused_before = label == "dict-non-string" and KEYS_REFUSED_BEFORE_CALL
        assert entries(e, INFO_SOURCE) == ([] if refused_before else [(26, INFO_NAME)])
        assert InfoHandler.reads == 0 and CountedFacts.made == 0
        del e
        assert refcount(info) == before

    @pytest.mark.parametrize("label, call", GET_INFO_RIGHT, ids=[c[0] for c in GET_INFO_RIGHT])
    def test_right_calls_bind_self(self, info, label, call):
        before = refcount(info)
        status, result = call(info)
        assert status is hostfacts.HTTPStatus.OK and result == {"cookie": ""}
        assert (InfoHandler.reads, InfoHandler.last, CountedFacts.made) == (1, info, 1)
        InfoHandler.last = None
        assert refcount(info) == before

    def test_non_string_key_through_the_call_slot(self, info):
        # Refused before the wrapper runs, as 3.9's own dict-to-vector step
        # refuses: the interpreter's text, no entry for the definition line.
        e = failure(lambda: t.slot_call(GET_INFO, (info,), {1: 2}))
        assert (str(e), entries(e, INFO_SOURCE)) == ("keywords must be strings", [])
        assert InfoHandler.reads == 0

    def test_keyword_value_keeps_no_reference(self, info):
        value = object()
        before = refcount(value), refcount(info)
        for _ in range(5):
            failure(lambda: t.vectorcall(GET_INFO, (info, value), ("x",)))
            failure(lambda: t.call_native(GET_INFO, (), {"self": value, "x": value}))
            failure(lambda: t.vectorcall(GET_INFO, (value, value), ("self", "self")))
        assert (refcount(value), refcount(info)) == before

    def test_dict_key_equal_by_comparison_only(self, info):
        class AlwaysEqual(str):
            def __eq__(self, other):
                return True
            __hash__ = str.__hash__
        # The dict lookup misses the name and the report walk takes the key for
        # a match: the call still fails with an exception, naming the key.
        e = failure(lambda: t.call_native(GET_INFO, (), {AlwaysEqual("zz"): 1}))
        assert str(e) == "_get_info() got an unexpected keyword argument 'zz'"
        assert entries(e, INFO_SOURCE) == [(26, INFO_NAME)]


@pytest.fixture
def fin():
    return FinishHandler()


# (label, call(g), message)
FINISH_WRONG = [
    ("result-only", lambda g: g._finish_with_result(result={}),
     "_finish_with_result() takes exactly 3 positional arguments (1 given)"),
    ("status-only", lambda g: g._finish_with_result(status_code=200),
     "_finish_with_result() takes exactly 3 positional arguments (2 given)"),
    ("class-result-only", lambda g: B._finish_with_result(result={}),
     "_finish_with_result() takes exactly 3 positional arguments (0 given)"),
    ("class-self-only", lambda g: B._finish_with_result(g),
     "_finish_with_result() takes exactly 3 positional arguments (1 given)"),
    ("bound-nothing", lambda g: g._finish_with_result(),
     "_finish_with_result() takes exactly 3 positional arguments (1 given)"),
    ("four", lambda g: g._finish_with_result(1, 2, 3),
     "_finish_with_result() takes exactly 3 positional arguments (4 given)"),
    ("four-before-keywords", lambda g: g._finish_with_result(1, 2, 3, x=4),
     "_finish_with_result() takes exactly 3 positional arguments (4 given)"),
    ("status-repeats", lambda g: g._finish_with_result(1, {}, status_code=2),
     "_finish_with_result() got multiple values for keyword argument 'status_code'"),
    ("self-repeats", lambda g: g._finish_with_result(1, {}, self=2),
     "_finish_with_result() got multiple values for keyword argument 'self'"),
    ("all-filled-unexpected", lambda g: g._finish_with_result(1, {}, x=2),
     "_finish_with_result() got an unexpected keyword argument 'x'"),
    ("extra", lambda g: g._finish_with_result(200, result={}, extra=1),
     "_finish_with_result() got an unexpected keyword argument 'extra'"),
    ("subclass-repeats", lambda g: g._finish_with_result(200, **{S("status_code"): 1, "result": {}}),
     "_finish_with_result() got multiple values for keyword argument 'status_code'"),
    ("names-duplicate", lambda g: t.vectorcall(FINISH, (g, 200, {}, {}), ("result", "result")),
     "_finish_with_result() got multiple values for keyword argument 'result'"),
    ("names-non-string", lambda g: t.vectorcall(FINISH, (g, 200, {}), (3,)),
     "_finish_with_result() keywords must be strings"),
    ("native-result-only", lambda g: t.call_native(FINISH, (g,), {"result": {}}),
     "_finish_with_result() takes exactly 3 positional arguments (1 given)"),
    ("native-unexpected", lambda g: t.call_native(FINISH, (g, 200), {"result": {}, "x": 1}),
     "_finish_with_result() got an unexpected keyword argument 'x'"),
    ("native-all-filled", lambda g: t.call_native(FINISH, (g, 200, {}), {"result": 1}),
     "_finish_with_result() got multiple values for keyword argument 'result'"),
    ("native-self-repeats", lambda g: t.call_native(FINISH, (g,), {"status_code": 1, "result": {}, "self": 3}),
     "_finish_with_result() got multiple values for keyword argument 'self'"),
]

RESULT = {"k": 1}

FINISH_RIGHT = [
    ("positional", lambda g: g._finish_with_result(201, RESULT)),
    ("mixed", lambda g: g._finish_with_result(201, result=RESULT)),
    ("class-keywords", lambda g: B._finish_with_result(g, status_code=201, result=RESULT)),
    ("all-keywords", lambda g: B._finish_with_result(result=RESULT, self=g, status_code=201)),
    ("subclass", lambda g: g._finish_with_result(201, **{S("result"): RESULT})),
    ("fresh", lambda g: g._finish_with_result(**{fresh("result"): RESULT, fresh("status_code"): 201})),
    ("names", lambda g: t.vectorcall(FINISH, (g, RESULT, 201), ("result", "status_code"))),
    ("slot-dict", lambda g: t.slot_call(FINISH, (g,), {"result": RESULT, "status_code": 201})),
    ("native-dict", lambda g: t.call_native(FINISH, (g,), {"result": RESULT, "status_code": 201})),
    ("native-empty-dict", lambda g: t.call_native(FINISH, (g, 201, RESULT), {})),
]


class TestFinishWithResult:
    @pytest.mark.parametrize("label, call, message", FINISH_WRONG, ids=[c[0] for c in FINISH_WRONG])
    def test_wrong_calls(self, fin, label, call, message):
        before = refcount(fin)
        e = failure(lambda: call(fin))
        assert str(e) == message
        assert entries(e, FINISH_SOURCE) == [(26, FINISH_NAME)]
        assert fin.calls == []
        del e
        assert refcount(fin) == before

    @pytest.mark.parametrize("label, call", FINISH_RIGHT, ids=[c[0] for c in FINISH_RIGHT])
    def test_right_calls_bind_by_name(self, fin, label, call):
        before = refcount(fin), refcount(RESULT)
        assert call(fin) is None
        assert fin.calls[2:] == [("set_status", 201), ("finish", RESULT)]
        assert fin.calls[-1][1] is RESULT
        fin.calls.clear()
        assert (refcount(fin), refcount(RESULT)) == before


# --- keys of a ** mapping: the compiled methods against their twins --------------------

class RaisingEq(str):
    """A keyword name whose comparison with a parameter name fails."""

    def __eq__(self, other):
        raise LookupError("compared")

    __hash__ = str.__hash__


def recording(cls):
    """A handler class on `cls` that records what the method body touches."""
    class Recording(cls):
        def __init__(self):  # the framework's constructors need a live application
            self.calls = []

        @property
        def cookies(self):
            self.calls.append("cookies")
            return {}

        def set_header(self, name, value):
            self.calls.append("set_header")

        def set_status(self, status_code, reason=None):
            self.calls.append("set_status")

        def finish(self, chunk=None):
            self.calls.append("finish")
    return Recording


REFUSED = (TypeError, "keywords must be strings")
SAME = "as from 3.9"
INFO_REFUSES = (TypeError, "_get_info() keywords must be strings")
COMPARED = (LookupError, "compared")


def info_slot(m, h, args, kwargs):
    """The call slot of the class's _get_info, entered directly."""
    return t.slot_call(m.ServerAppInfoHandler.__dict__["_get_info"], args, kwargs)


# (label, call(module, handler), answer from 3.9 on, 3.8's twin, 3.8's compiled
# method). The compiled call slot refuses keys other than str before anything
# runs, as 3.9's own dict-to-vector step does. 3.8's hands them on, and the
# function refuses them in its own words, or compares a str subclass first;
# 3.8's calls written in Python (f(**d), bound or not) take that step, not the
# slot, for both methods alike.
KEY_CASES = [
    ("slot, non-str", lambda m, h: info_slot(m, h, (), {1: h}), REFUSED, INFO_REFUSES, SAME),
    ("slot, bytes", lambda m, h: info_slot(m, h, (), {b"self": h}), REFUSED, INFO_REFUSES, SAME),
    ("slot, positional and non-str", lambda m, h: info_slot(m, h, (h,), {2: 3}), REFUSED, INFO_REFUSES, SAME),
    ("slot, raising name, then non-str", lambda m, h: info_slot(m, h, (), {RaisingEq("self"): h, 1: h}),
     REFUSED, COMPARED, SAME),
    ("slot, non-str, then raising name", lambda m, h: info_slot(m, h, (), {1: h, RaisingEq("self"): h}),
     REFUSED, INFO_REFUSES, SAME),
    ("slot, raising name alone", lambda m, h: info_slot(m, h, (), {RaisingEq("self"): h}), COMPARED, SAME, SAME),
    ("finish slot, non-str", lambda m, g: t.slot_call(m.BasePipelineImportHandler.__dict__["_finish_with_result"],
                                                      (g, 200), {"result": {}, 1: 2}),
     REFUSED, (TypeError, "checked() keywords must be strings"), SAME),  # the twin's argument check
    ("mapping, non-str", lambda m, h: m.ServerAppInfoHandler._get_info(**{1: h}), REFUSED,
     INFO_REFUSES, INFO_REFUSES),
    ("mapping, raising name, then non-str", lambda m, h: m.ServerAppInfoHandler._get_info(
        **{RaisingEq("self"): h, 1: h}), REFUSED, COMPARED, COMPARED),
    ("bound, non-str", lambda m, h: h._get_info(**{1: h}), REFUSED, INFO_REFUSES, INFO_REFUSES),
    ("bound, raising name, then non-str", lambda m, h: h._get_info(**{RaisingEq("x"): 1, 1: h}),
     REFUSED, COMPARED, COMPARED),
]


@pytest.mark.parametrize("label, call, answer, twin_3_8, compiled_3_8", KEY_CASES,
                         ids=[c[0] for c in KEY_CASES])
def test_mapping_keys_as_the_twin(label, call, answer, twin_3_8, compiled_3_8):
    import twins.groundwork
    import twins.hostfacts

    expected = {"twin": answer, "compiled": answer}
    if sys.version_info < (3, 9):
        expected = {"twin": answer if twin_3_8 is SAME else twin_3_8,
                    "compiled": answer if compiled_3_8 is SAME else compiled_3_8}
    source = "groundwork.py" if label.startswith("finish") else "hostfacts.py"
    got = {}
    for kind, info_module, finish_module in [("compiled", hostfacts, groundwork),
                                             ("twin", twins.hostfacts, twins.groundwork)]:
        module = finish_module if label.startswith("finish") else info_module
        cls = module.BasePipelineImportHandler if label.startswith("finish") else module.ServerAppInfoHandler
        handler = recording(cls)()
        try:
            call(module, handler)
        except Exception as e:  # noqa: BLE001 - the outcome is compared
            got[kind] = (type(e), str(e))
            if kind == "compiled" and got[kind] == REFUSED:
                # Refused before the method's wrapper: no entry for its definition.
                assert [f for f in traceback.extract_tb(e.__traceback__) if f.filename.endswith(source)] == []
        else:
            got[kind] = "ran"
        assert handler.calls == [], kind
    assert got == expected


# --- a three-parameter signature in isolation -------------------------------------------

class TestBindProbe:
    """probe(self, a, b): which value lands in which parameter."""

    @pytest.mark.parametrize("args, kw, bound", [
        ((1, 2, 3), None, (1, 2, 3)),
        ((1, 2, 3), {}, (1, 2, 3)),
        ((1, 2, 3), (), (1, 2, 3)),
        ((1, 3, 2), ("b", "a"), (1, 2, 3)),
        ((1, 2, 3), ("a", "b"), (1, 2, 3)),
        ((1,), {"b": 3, "a": 2}, (1, 2, 3)),
        ((1, 2, 3), (S("b"),), (1, 2, 3)),
        ((1,), {S("b"): 3, "a": 2}, (1, 2, 3)),
        ((3, 1, 2), ("b", "self", "a"), (1, 2, 3)),
    ])
    def test_binding(self, args, kw, bound):
        assert t.bind_probe(args, kw) == bound

    @pytest.mark.parametrize("args, kw, message", [
        ((1, 2), None, "probe() takes exactly 3 positional arguments (2 given)"),
        ((1, 2, 3, 4, 5), ("x",), "probe() takes exactly 3 positional arguments (4 given)"),
        ((1, 3), ("b",), "probe() takes exactly 3 positional arguments (1 given)"),
        ((1,), {"a": 2}, "probe() takes exactly 3 positional arguments (2 given)"),
        ((1, 2, 3), ("a",), "probe() got multiple values for keyword argument 'a'"),
        ((1, 2, 3), (S("a"),), "probe() got multiple values for keyword argument 'a'"),
        ((1, 2), {"a": 3}, "probe() got multiple values for keyword argument 'a'"),
        ((1, 2, 3), ("bb",), "probe() got an unexpected keyword argument 'bb'"),
        ((1, 2, 3), ("\U0001F600",), "probe() got an unexpected keyword argument '\U0001F600'"),
        ((1, 2, 3), (b"b",), "probe() keywords must be strings"),
        ((1,), {"a": 2, "b": 3, "c": 4}, "probe() got an unexpected keyword argument 'c'"),
    ])
    def test_errors(self, args, kw, message):
        try:
            t.bind_probe(args, kw)
        except TypeError as e:
            assert str(e) == message
        else:
            raise AssertionError("bound")

    def test_hash_failure_of_a_key_subclass(self):
        class Unhashable(str):
            def __eq__(self, other):
                raise KeyError("compare")
            __hash__ = str.__hash__
        try:
            t.bind_probe((1, 2, 3), (Unhashable("zz"),))
        except KeyError as e:
            assert e.args == ("compare",)
        else:
            raise AssertionError("bound")


# --- leaks ------------------------------------------------------------------------------

def _quiet(call):
    try:
        call()
    except TypeError:
        pass
    else:
        raise AssertionError("expected TypeError")


@pytest.mark.parametrize("label", ["count", "unexpected", "multiple", "non-string-names",
                                   "non-string-dict", "dict-unexpected", "finish-first-unbound"])
def test_wrong_calls_do_not_leak(info, fin, label):
    h = info
    action = {
        "count": lambda: _quiet(lambda: C._get_info(h, h)),
        "unexpected": lambda: _quiet(lambda: h._get_info(x=1)),
        "multiple": lambda: _quiet(lambda: h._get_info(self=h)),
        "non-string-names": lambda: _quiet(lambda: t.vectorcall(GET_INFO, (h, 1), (1,))),
        "non-string-dict": lambda: _quiet(lambda: C._get_info(**{1: 2})),
        "dict-unexpected": lambda: _quiet(lambda: t.call_native(GET_INFO, (), {"self": h, "x": 1})),
        "finish-first-unbound": lambda: _quiet(lambda: fin._finish_with_result(status_code=200)),
    }[label]
    assert_no_growth(action)
    assert InfoHandler.reads == 0 and fin.calls == []


@pytest.mark.parametrize("label", ["bound", "class-keyword", "names-fresh", "slot-dict", "native-dict",
                                   "finish-mixed"])
def test_right_calls_do_not_leak(info, fin, label):
    h = info
    action = {
        "bound": lambda: h._get_info(),
        "class-keyword": lambda: C._get_info(self=h),
        "names-fresh": lambda: t.vectorcall(GET_INFO, (h,), (fresh("self"),)),
        "slot-dict": lambda: t.slot_call(GET_INFO, (), {"self": h}),
        "native-dict": lambda: t.call_native(GET_INFO, (), {"self": h}),
        "finish-mixed": lambda: (fin._finish_with_result(200, result=RESULT), fin.calls.clear()),
    }[label]
    assert_no_growth(action)
