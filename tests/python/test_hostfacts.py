"""ServerAppInfoHandler._get_info: the facts, the cookie text, every way the
guarded block fails, and the handled-exception state around a call."""
import builtins
import collections
import collections.abc
import decimal
import fractions
import gc
import sys
import types
from http import HTTPStatus
from http.cookies import SimpleCookie

import pytest

from conftest import format_failure, needs_compiled, refcount
from handler_standins import (FAILED, GET_INFO, HOSTFACTS_PATH, CountingDict, Facts, Item,
                              StatusObserver, ValuesOf, cookie_dict, entries, expected_cookie,
                              info_handler_class, load_hostfacts, make_info_handler, provider,
                              raising)

hostfacts = load_hostfacts()
InfoHandler = info_handler_class(hostfacts)
NO_EXC = (None, None, None)


@pytest.fixture
def install(monkeypatch):
    """Installs a JupyterServerAppInfo double in the compiled module's globals."""

    def put(factory):
        monkeypatch.setitem(hostfacts.__dict__, "JupyterServerAppInfo", factory)
        return factory

    return put


@pytest.fixture
def observer(monkeypatch):
    obs = StatusObserver()
    monkeypatch.setitem(hostfacts.__dict__, "HTTPStatus", obs)
    return obs


def handler(cookies=None):
    return make_info_handler(InfoHandler, {} if cookies is None else cookies)


# --- results ---------------------------------------------------------------


class TestResult:
    def test_pair_is_ok_and_the_very_facts_dict(self, install):
        facts = {"pid": 7, "root_dir": "/srv"}
        install(provider(facts))
        answer = handler(cookie_dict([("a", "1")]))._get_info()
        assert type(answer) is tuple and len(answer) == 2
        assert answer[0] is HTTPStatus.OK
        assert answer[1] is facts
        assert facts == {"pid": 7, "root_dir": "/srv", "cookie": "a=1"}

    def test_existing_cookie_key_is_replaced_in_place(self, install):
        facts = {"cookie": "stale", "pid": 1}
        install(provider(facts))
        status, result = handler(cookie_dict([("s", "v")]))._get_info()
        assert result is facts
        assert list(facts.items()) == [("cookie", "s=v"), ("pid", 1)]

    def test_provider_and_dict_called_once_per_call(self, install):
        calls = []
        facts = {}

        def JupyterServerAppInfo(*args, **kwargs):
            calls.append((args, kwargs))
            return made

        made = Facts(facts)
        install(JupyterServerAppInfo)
        h = handler()
        h._get_info()
        h._get_info()
        assert calls == [((), {}), ((), {})]
        assert made.calls == 2

    def test_bound_method_provider_gets_its_self(self, install):
        class Source:
            def __init__(self):
                self.seen = []

            def make(self, *args):
                self.seen.append((self, args))
                return Facts({"from": "method"})

        source = Source()
        install(source.make)
        assert handler()._get_info() == (HTTPStatus.OK, {"from": "method", "cookie": ""})
        assert source.seen == [(source, ())]

    def test_class_provider(self, install):
        class AppInfo:
            def dict(self):
                return {"kind": type(self).__name__}

        install(AppInfo)
        assert handler()._get_info() == (HTTPStatus.OK, {"kind": "AppInfo", "cookie": ""})

    def test_rebinding_the_global_is_seen_at_the_next_call(self, install):
        h = handler()
        install(provider({"n": 1}))
        assert h._get_info()[1] == {"n": 1, "cookie": ""}
        install(provider({"n": 2}))
        assert h._get_info()[1] == {"n": 2, "cookie": ""}

    def test_provider_found_in_builtins_when_not_a_global(self, monkeypatch):
        monkeypatch.delitem(hostfacts.__dict__, "JupyterServerAppInfo")
        monkeypatch.setattr(builtins, "JupyterServerAppInfo", provider({"b": True}), raising=False)
        assert handler()._get_info() == (HTTPStatus.OK, {"b": True, "cookie": ""})

    def test_called_by_keyword_and_unbound(self, install):
        install(provider({}))
        h = handler(cookie_dict([("k", "v")]))
        assert hostfacts.ServerAppInfoHandler._get_info(self=h) == (HTTPStatus.OK, {"cookie": "k=v"})
        assert hostfacts.ServerAppInfoHandler._get_info(h) == (HTTPStatus.OK, {"cookie": "k=v"})


# --- the cookie text -------------------------------------------------------


class FormatsAs(str):
    def __format__(self, fmt):
        return "<%s|%s>" % (str.__str__(self), fmt)


class PlainStr(str):
    pass


VALUES = [
    pytest.param("1", id="str"),
    pytest.param("", id="empty-str"),
    pytest.param(0, id="int-0"),
    pytest.param(-7, id="int-negative"),
    pytest.param(12345678901234567890123, id="int-big"),
    pytest.param(True, id="bool-true"),
    pytest.param(False, id="bool-false"),
    pytest.param(HTTPStatus.OK, id="int-enum"),
    pytest.param(1.5, id="float"),
    pytest.param(0.1 + 0.2, id="float-repr"),
    pytest.param(1e100, id="float-exp"),
    pytest.param(float("nan"), id="float-nan"),
    pytest.param(-0.0, id="float-negzero"),
    pytest.param(FormatsAs("x"), id="str-subclass-format"),
    pytest.param(PlainStr("plain"), id="str-subclass"),
    pytest.param(None, id="none"),
    pytest.param(decimal.Decimal("1.10"), id="decimal"),
    pytest.param(fractions.Fraction(1, 3), id="fraction"),
    pytest.param("\u00e9t\u00e9", id="latin1"),
    pytest.param("\u20ac5", id="bmp"),
    pytest.param("a\U0001F600b", id="non-bmp"),
]


class TestCookieText:
    @pytest.mark.parametrize("value", VALUES)
    def test_value_text(self, install, value):
        install(provider({}))
        items = [Item("k", value)]
        cookie = handler(cookie_dict([("k", value)]))._get_info()[1]["cookie"]
        assert cookie == expected_cookie(items)

    def test_literal_texts(self, install):
        install(provider({}))
        pairs = [("i", 42), ("b", True), ("f", 1.5), ("s", FormatsAs("v")), ("n", None)]
        cookie = handler(cookie_dict(pairs))._get_info()[1]["cookie"]
        assert cookie == "i=42; b=True; f=1.5; s=<v|>; n=None"

    @pytest.mark.parametrize("key", ["k", 5, 2.5, False, "\u00e9", "\u20ac", "\U0001F600", FormatsAs("q")])
    def test_key_text(self, install, key):
        install(provider({}))
        cookie = handler(cookie_dict([(key, "v")]))._get_info()[1]["cookie"]
        assert cookie == expected_cookie([Item(key, "v")])

    @pytest.mark.parametrize("key, value", [
        ("a", "\U0001F600"), ("\U0001F600", "a"), ("\u00e9", "\U0001F600"), ("\u20ac", "\u00e9"),
        ("\u00e9", "\u20ac"), ("\U00010000", "\u00ff"), ("", "\U0010FFFF"), ("\u0100", ""),
    ])
    def test_width_is_that_of_the_widest_part(self, install, key, value):
        install(provider({}))
        # One field: the join hands the field itself back, so its width shows.
        cookie = handler(cookie_dict([(key, value)]))._get_info()[1]["cookie"]
        expected = "%s=%s" % (key, value)
        assert cookie == expected  # str equality also compares the storage width
        assert len(cookie) == len(key) + len(value) + 1
        assert max(map(ord, cookie)) == max(map(ord, expected))

    @pytest.mark.parametrize("count", [0, 1, 2, 30])
    def test_count_and_order(self, install, count):
        install(provider({}))
        pairs = [("name%d" % i, i * 11) for i in range(count)]
        cookie = handler(cookie_dict(pairs))._get_info()[1]["cookie"]
        assert cookie == "; ".join("name%d=%d" % (i, i * 11) for i in range(count))

    def test_no_cookies_still_sets_the_key(self, install):
        facts = {"x": 1}
        install(provider(facts))
        assert handler({})._get_info() == (HTTPStatus.OK, {"x": 1, "cookie": ""})
        assert facts["cookie"] == ""

    def test_simple_cookie_from_a_header(self, install):
        install(provider({}))
        jar = SimpleCookie()
        jar.load('a=1; b=2; c="x y"')
        assert handler(jar)._get_info()[1]["cookie"] == "a=1; b=2; c=x y"

    def test_exact_dict_is_iterated_in_place(self, install):
        install(provider({}))
        cookies = cookie_dict([("a", "1"), ("b", "2")])
        assert handler(cookies)._get_info()[1]["cookie"] == "a=1; b=2"

    def test_dict_subclass_is_asked_for_values_once_per_call(self, install):
        install(provider({}))
        cookies = CountingDict(cookie_dict([("a", "1"), ("b", "2")]))
        h = handler(cookies)
        assert h._get_info()[1]["cookie"] == "a=1; b=2"
        assert cookies.values_calls == 1
        h._get_info()
        assert cookies.values_calls == 2

    def test_dict_subclass_values_override_is_what_counts(self, install):
        class Reordered(dict):
            def values(self):
                return list(reversed(list(dict.values(self))))

        install(provider({}))
        cookies = Reordered(cookie_dict([("a", "1"), ("b", "2")]))
        assert handler(cookies)._get_info()[1]["cookie"] == "b=2; a=1"

    @pytest.mark.parametrize("shape", [tuple, list, iter, lambda items: (i for i in items),
                                       lambda items: dict(enumerate(items)).values()])
    def test_values_result_shapes(self, install, shape):
        install(provider({}))
        items = [Item("a", 1), Item("b", "\u00e9"), Item("c", 2.5)]
        cookies = ValuesOf(lambda: shape(items))
        assert handler(cookies)._get_info()[1]["cookie"] == "a=1; b=\u00e9; c=2.5"
        assert cookies.values_calls == 1

    def test_abc_mapping(self, install):
        class Jar(collections.abc.Mapping):
            def __init__(self, items):
                self._items = items

            def __getitem__(self, key):
                return self._items[key]

            def __iter__(self):
                return iter(self._items)

            def __len__(self):
                return len(self._items)

        install(provider({}))
        assert handler(Jar(cookie_dict([("x", 1), ("y", 2)])))._get_info()[1]["cookie"] == "x=1; y=2"

    def test_list_entries_appended_meanwhile_are_visited(self, install):
        entries_list = []

        class Growing:
            value = "1"

            @property
            def key(self):
                if len(entries_list) == 1:
                    entries_list.append(Item("late", "2"))
                return "first"

        entries_list.append(Growing())
        install(provider({}))
        assert handler(ValuesOf(lambda: entries_list))._get_info()[1]["cookie"] == "first=1; late=2"

    def test_exact_dict_entry_replaced_at_same_size_goes_on(self, install):
        cookies = {}

        class Replacer:
            value = "1"

            @property
            def key(self):
                cookies["b"] = Item("b", "new")
                return "a"

        cookies["a"] = Replacer()
        cookies["b"] = Item("b", "old")
        install(provider({}))
        assert handler(cookies)._get_info() == (HTTPStatus.OK, {"cookie": "a=1; b=new"})

    def test_cookies_read_once_per_call(self, install):
        reads = []

        class Counted(InfoHandler):
            @property
            def cookies(self):
                reads.append(1)
                return {}

        install(provider({}))
        h = object.__new__(Counted)
        h._get_info()
        assert len(reads) == 1


# --- failures the handler turns into the 500 answer -------------------------


class _NoValue:
    key = "k"


class _BadFormat:
    def __init__(self, exc=None, result=None):
        self.exc, self.result = exc, result

    def __format__(self, fmt):
        if self.exc is not None:
            raise self.exc
        return self.result


class _Getattr:
    def __getattr__(self, name):
        raise AttributeError("no %s here" % name)


class _RaisingCookies(InfoHandler):
    @property
    def cookies(self):
        raise LookupError("no jar")


class _MissingCookies(InfoHandler):
    @property
    def cookies(self):
        raise AttributeError("cookies are gone")


class FactsDict(dict):
    pass


def _growing_dict():
    cookies = {}

    class Grower:
        value = "v"

        @property
        def key(self):
            cookies["extra%d" % len(cookies)] = Item("e", "e")
            return "k"

    cookies["a"] = Grower()
    return cookies


def _growing_on_last():
    cookies = cookie_dict([("a", "1")])

    class Grower:
        value = "v"

        @property
        def key(self):
            cookies["late"] = Item("late", "x")
            return "k"

    cookies["z"] = Grower()
    return cookies


def _raising_iteration():
    def gen():
        yield Item("a", 1)
        raise OSError("iteration broke")

    return ValuesOf(gen)


class _RaisingDict:
    def dict(self):
        raise ValueError("no facts")


def _no_dict():
    return object()


MISSING = object()

# id, provider, handler maker, exception type, message, line
ROWS = [
    ("provider-missing", MISSING, handler, NameError, "name 'JupyterServerAppInfo' is not defined", 30),
    ("provider-raising", raising(ValueError("boom")), handler, ValueError, "boom", 30),
    ("provider-not-callable", 5, handler, TypeError, "'int' object is not callable", 30),
    ("provider-wrong-arity", lambda x: x, handler, TypeError,
     "<lambda>() missing 1 required positional argument: 'x'", 30),
    ("dict-missing", _no_dict, handler, AttributeError, "'object' object has no attribute 'dict'", 31),
    ("dict-raising", _RaisingDict, handler, ValueError, "no facts", 31),
    ("dict-none", provider(None), handler, TypeError, "'NoneType' object is not subscriptable", 34),
    ("dict-ordereddict", provider(collections.OrderedDict(a=1)), handler, TypeError,
     "Expected dict, got collections.OrderedDict", 31),
    ("dict-subclass", provider(FactsDict()), handler, TypeError, "Expected dict, got FactsDict", 31),
    ("dict-list", provider([]), handler, TypeError, "Expected dict, got list", 31),
    ("cookies-missing", provider({}), lambda: object(), AttributeError,
     "'object' object has no attribute 'cookies'", 33),
    ("cookies-attributeerror", provider({}), lambda: object.__new__(_MissingCookies), AttributeError,
     "cookies are gone", 33),
    ("cookies-raising", provider({}), lambda: object.__new__(_RaisingCookies), LookupError, "no jar", 33),
    ("cookies-none", provider({}), lambda: make_info_handler(InfoHandler, None), AttributeError,
     "'NoneType' object has no attribute 'values'", 33),
    ("values-missing", provider({}), lambda: handler(object()), AttributeError,
     "'object' object has no attribute 'values'", 33),
    ("values-missing-getattr", provider({}), lambda: handler(_Getattr()), AttributeError,
     "no values here", 33),
    ("values-raising", provider({}), lambda: handler(ValuesOf(raising(KeyError("v")))), KeyError, "'v'", 33),
    ("values-not-iterable", provider({}), lambda: handler(ValuesOf(lambda: 5)), TypeError,
     "'int' object is not iterable", 33),
    ("iteration-raising", provider({}), lambda: handler(_raising_iteration()), OSError, "iteration broke", 33),
    ("dict-grows", provider({}), lambda: handler(_growing_dict()), RuntimeError,
     "dictionary changed size during iteration", 33),
    ("dict-grows-on-last", provider({}), lambda: handler(_growing_on_last()), RuntimeError,
     "dictionary changed size during iteration", 33),
    ("item-without-key", provider({}), lambda: handler({"a": object()}), AttributeError,
     "'object' object has no attribute 'key'", 33),
    ("item-without-value", provider({}), lambda: handler({"a": _NoValue()}), AttributeError,
     "'_NoValue' object has no attribute 'value'", 33),
    ("key-format-raising", provider({}), lambda: handler({"a": Item(_BadFormat(ValueError("kf")), 1)}),
     ValueError, "kf", 33),
    ("value-format-raising", provider({}), lambda: handler({"a": Item("k", _BadFormat(ValueError("vf")))}),
     ValueError, "vf", 33),
    ("value-format-not-str", provider({}), lambda: handler({"a": Item("k", _BadFormat(result=3))}),
     TypeError, format_failure(_BadFormat(result=3)), 33),
    ("second-item-broken", provider({}), lambda: handler({"a": Item("k", 1), "b": object()}),
     AttributeError, "'object' object has no attribute 'key'", 33),
]


@pytest.mark.parametrize("prov, make, exc_type, message, line",
                         [pytest.param(*row[1:], id=row[0]) for row in ROWS])
class TestHandledFailures:
    def _install(self, monkeypatch, prov):
        if prov is MISSING:
            monkeypatch.delitem(hostfacts.__dict__, "JupyterServerAppInfo")
        else:
            monkeypatch.setitem(hostfacts.__dict__, "JupyterServerAppInfo", prov)

    @needs_compiled
    def test_answer_and_caught_exception(self, monkeypatch, observer, prov, make, exc_type, message, line):
        self._install(monkeypatch, prov)
        answer = hostfacts.ServerAppInfoHandler._get_info(make())
        assert answer == (HTTPStatus.INTERNAL_SERVER_ERROR, FAILED)
        assert answer[0] is HTTPStatus.INTERNAL_SERVER_ERROR
        assert type(answer[1]) is dict
        # Observed from inside the except clause: the caught exception is the
        # handled one, carrying the entry of the failing line.
        [(seen_type, seen, seen_tb)] = observer.seen
        assert seen_type is exc_type and type(seen) is exc_type
        assert str(seen) == message
        assert seen_tb is seen.__traceback__
        assert entries(seen, HOSTFACTS_PATH) == [(line, GET_INFO)]
        assert sys.exc_info() == NO_EXC

    @needs_compiled
    def test_real_status_and_outer_state_kept(self, monkeypatch, prov, make, exc_type, message, line):
        self._install(monkeypatch, prov)
        target = make()
        gc.collect()  # garbage of earlier tests may hold the status member
        counts = [refcount(target), refcount(HTTPStatus.INTERNAL_SERVER_ERROR)]
        try:
            raise ZeroDivisionError("outer")
        except ZeroDivisionError:
            outer = sys.exc_info()
            answer = hostfacts.ServerAppInfoHandler._get_info(target)
            assert sys.exc_info() == outer
        assert answer == (HTTPStatus.INTERNAL_SERVER_ERROR, FAILED)
        assert sys.exc_info() == NO_EXC
        del answer, outer
        # The caught exception (and the frames it held) is gone with the call.
        assert [refcount(target), refcount(HTTPStatus.INTERNAL_SERVER_ERROR)] == counts

    def test_answers_are_fresh_dicts(self, monkeypatch, prov, make, exc_type, message, line):
        self._install(monkeypatch, prov)
        first = hostfacts.ServerAppInfoHandler._get_info(make())[1]
        second = hostfacts.ServerAppInfoHandler._get_info(make())[1]
        assert first == second == FAILED and first is not second


def test_none_facts_still_read_the_cookies(install, observer):
    reads = []

    class Counted(InfoHandler):
        @property
        def cookies(self):
            reads.append(1)
            return {"a": Item("a", 1)}

    install(provider(None))
    assert object.__new__(Counted)._get_info() == (HTTPStatus.INTERNAL_SERVER_ERROR, FAILED)
    assert len(reads) == 1


def test_wrong_facts_type_skips_the_cookies(install, observer):
    reads = []

    class Counted(InfoHandler):
        @property
        def cookies(self):
            reads.append(1)
            return {}

    install(provider(collections.OrderedDict()))
    assert object.__new__(Counted)._get_info()[0] is HTTPStatus.INTERNAL_SERVER_ERROR
    assert reads == []


def test_handler_without_cookies_attribute_type_unchecked(install):
    install(provider({}))
    assert hostfacts.ServerAppInfoHandler._get_info(42) == (HTTPStatus.INTERNAL_SERVER_ERROR, FAILED)


# --- failures that propagate -------------------------------------------------


class Interrupt(BaseException):
    pass


@pytest.fixture(params=[KeyboardInterrupt, lambda: SystemExit(3), GeneratorExit, lambda: Interrupt("x")],
                ids=["KeyboardInterrupt", "SystemExit", "GeneratorExit", "BaseException-subclass"])
def exc(request):
    return request.param()  # a fresh instance: tracebacks accumulate on reuse


class TestNotAnException:
    @needs_compiled
    def test_from_provider_at_line_30(self, install, observer, exc):
        install(raising(exc))
        with pytest.raises(type(exc)) as info:
            handler()._get_info()
        assert info.value is exc
        assert entries(info.value, HOSTFACTS_PATH) == [(30, GET_INFO)]
        assert observer.seen == []
        assert sys.exc_info() == NO_EXC

    @needs_compiled
    def test_from_dict_at_line_31(self, install, observer, exc):
        class Source:
            def dict(self):
                raise exc

        install(Source)
        with pytest.raises(type(exc)) as info:
            handler()._get_info()
        assert entries(info.value, HOSTFACTS_PATH) == [(31, GET_INFO)]
        assert observer.seen == []

    @needs_compiled
    def test_from_cookie_formatting_at_line_33(self, install, observer, exc):
        install(provider({}))
        with pytest.raises(type(exc)) as info:
            handler({"a": Item("k", _BadFormat(exc))})._get_info()
        assert entries(info.value, HOSTFACTS_PATH) == [(33, GET_INFO)]
        assert observer.seen == []

    def test_outer_handled_exception_restored(self, install, exc):
        install(raising(exc))
        h = handler()
        try:
            raise ZeroDivisionError("outer")
        except ZeroDivisionError:
            outer = sys.exc_info()
            try:
                h._get_info()
            except BaseException as caught:  # noqa: B902
                assert caught is exc
            # Left the inner handler: what the call left behind shows again.
            assert sys.exc_info() == outer
        assert sys.exc_info() == NO_EXC


class TestStatusGlobal:
    @needs_compiled
    def test_deleted_status_is_name_error_at_line_27(self, install, monkeypatch):
        made = install(provider({}))
        monkeypatch.delitem(hostfacts.__dict__, "HTTPStatus")
        for _ in range(2):  # the second call goes through the refreshed cache
            with pytest.raises(NameError) as info:
                handler()._get_info()
            assert str(info.value) == "name 'HTTPStatus' is not defined"
            assert entries(info.value, HOSTFACTS_PATH) == [(27, GET_INFO)]
        assert made.made.calls == 0
        monkeypatch.undo()
        assert handler()._get_info()[0] is HTTPStatus.OK

    def test_status_from_builtins_when_not_a_global(self, install, monkeypatch):
        install(provider({}))
        monkeypatch.delitem(hostfacts.__dict__, "HTTPStatus")
        monkeypatch.setattr(builtins, "HTTPStatus", types.SimpleNamespace(OK="ok!"), raising=False)
        assert handler()._get_info() == ("ok!", {"cookie": ""})

    @needs_compiled
    def test_status_without_ok_is_attribute_error_at_line_27(self, install, monkeypatch):
        made = install(provider({}))
        monkeypatch.setitem(hostfacts.__dict__, "HTTPStatus", types.SimpleNamespace())
        with pytest.raises(AttributeError) as info:
            handler()._get_info()
        assert str(info.value) == "'types.SimpleNamespace' object has no attribute 'OK'"
        assert entries(info.value, HOSTFACTS_PATH) == [(27, GET_INFO)]
        assert made.made.calls == 0

    def test_ok_member_is_passed_through(self, install, monkeypatch):
        sentinel = object()
        install(provider({}))
        monkeypatch.setitem(hostfacts.__dict__, "HTTPStatus", types.SimpleNamespace(OK=sentinel))
        assert handler()._get_info()[0] is sentinel

    @pytest.mark.parametrize("outer", [False, True])
    @needs_compiled
    def test_error_member_missing_fails_at_36_with_context(self, install, monkeypatch, outer):
        boom = ValueError("boom")
        install(raising(boom))
        monkeypatch.setitem(hostfacts.__dict__, "HTTPStatus", types.SimpleNamespace(OK=HTTPStatus.OK))

        def call():
            with pytest.raises(AttributeError) as info:
                handler()._get_info()
            return info.value

        if outer:
            try:
                raise ZeroDivisionError("outer")
            except ZeroDivisionError:
                before = sys.exc_info()
                err = call()
                assert sys.exc_info() == before
        else:
            err = call()
            assert sys.exc_info() == NO_EXC
        assert str(err) == "'types.SimpleNamespace' object has no attribute 'INTERNAL_SERVER_ERROR'"
        assert entries(err, HOSTFACTS_PATH) == [(36, GET_INFO)]
        assert err.__context__ is boom
        assert entries(boom, HOSTFACTS_PATH) == [(30, GET_INFO)]

    @pytest.mark.parametrize("line, setup", [
        (31, lambda install: install(provider(collections.OrderedDict()))),
        (33, lambda install: install(provider({}))),
        (34, lambda install: install(provider(None))),
    ])
    @needs_compiled
    def test_error_member_raising_chains_the_caught_exception(self, install, monkeypatch, line, setup):
        setup(install)
        obs = StatusObserver(on_error=LookupError("status broke"))
        monkeypatch.setitem(hostfacts.__dict__, "HTTPStatus", obs)
        cookies = None if line == 33 else {}
        with pytest.raises(LookupError) as info:
            make_info_handler(InfoHandler, cookies)._get_info()
        err = info.value
        [(_, caught, _)] = obs.seen
        assert err.__context__ is caught
        assert entries(err, HOSTFACTS_PATH) == [(36, GET_INFO)]
        assert entries(caught, HOSTFACTS_PATH) == [(line, GET_INFO)]
        assert sys.exc_info() == NO_EXC


# --- the handled-exception state ----------------------------------------------


def _ok():
    return handler({"a": Item("a", 1)})


def _fails():
    return handler(None)


class TestHandledExceptionState:
    @pytest.mark.parametrize("make", [_ok, _fails], ids=["success", "handled"])
    def test_no_outer_exception(self, install, make):
        install(provider({}))
        assert sys.exc_info() == NO_EXC
        make()._get_info()
        assert sys.exc_info() == NO_EXC

    @pytest.mark.parametrize("make", [_ok, _fails], ids=["success", "handled"])
    def test_inside_outer_except(self, install, make):
        install(provider({}))
        try:
            raise ZeroDivisionError("outer")
        except ZeroDivisionError:
            before = sys.exc_info()
            make()._get_info()
            make()._get_info()
            assert sys.exc_info() == before
        assert sys.exc_info() == NO_EXC

    @pytest.mark.parametrize("facts, status", [({}, HTTPStatus.OK), (None, HTTPStatus.INTERNAL_SERVER_ERROR)],
                             ids=["success", "handled"])
    def test_generator_keeps_no_outer_exception(self, install, facts, status):
        # A generator has a handled-exception entry of its own: after the call
        # it must hold nothing, as in interpreted code, not the exception that
        # was being handled where the generator was resumed.
        install(provider(facts))

        def gen():
            assert handler()._get_info()[0] is status
            yield sys.exc_info()
            yield sys.exc_info()

        g = gen()
        try:
            raise ZeroDivisionError("outer")
        except ZeroDivisionError:
            outer = sys.exc_info()
            assert next(g) == outer  # seen through the generator's empty entry
            assert sys.exc_info() == outer
        assert next(g) == NO_EXC

    @pytest.mark.parametrize("make", [_ok, _fails], ids=["success", "handled"])
    def test_nested_excepts(self, install, make):
        install(provider({}))
        try:
            raise ZeroDivisionError("outer")
        except ZeroDivisionError:
            outer = sys.exc_info()
            try:
                raise KeyError("inner")
            except KeyError:
                inner = sys.exc_info()
                make()._get_info()
                assert sys.exc_info() == inner
            assert sys.exc_info() == outer

    @pytest.mark.parametrize("make", [_ok, _fails], ids=["success", "handled"])
    def test_inside_generator_within_except(self, install, make):
        install(provider({}))

        def gen():
            seen = sys.exc_info()
            make()._get_info()
            yield seen, sys.exc_info()

        try:
            raise ZeroDivisionError("outer")
        except ZeroDivisionError:
            before, after = next(gen())
            assert before == after == sys.exc_info()

    def test_handler_sees_the_caught_exception_with_outer_context(self, install, observer):
        boom = ValueError("boom")
        install(raising(boom))
        try:
            raise ZeroDivisionError("outer")
        except ZeroDivisionError:
            outer = sys.exc_info()[1]
            handler()._get_info()
            assert sys.exc_info()[1] is outer
        [(t, v, tb)] = observer.seen
        assert (t, v) == (ValueError, boom)
        assert boom.__context__ is outer  # raised while `outer` was being handled

    def test_handled_exception_released_after_the_call(self, install, observer):
        import weakref

        refs = []

        class Boom(Exception):
            def __init__(self):
                refs.append(weakref.ref(self))

        def JupyterServerAppInfo():
            raise Boom()  # no local keeps it: no cycle through the frame

        install(JupyterServerAppInfo)
        handler()._get_info()
        observer.seen.clear()
        assert refs[0]() is None


# --- argument parsing -----------------------------------------------------------


@pytest.mark.parametrize("call, message", [
    (lambda f: f(), "_get_info() takes exactly 1 positional argument (0 given)"),
    (lambda f: f(1, 2), "_get_info() takes exactly 1 positional argument (2 given)"),
    (lambda f: f(x=1), "_get_info() got an unexpected keyword argument 'x'"),
    (lambda f: f(1, self=1), "_get_info() got multiple values for keyword argument 'self'"),
], ids=["none", "two", "unknown-keyword", "duplicate"])
@needs_compiled
def test_argument_errors_at_line_26(install, call, message):
    made = install(provider({}))
    with pytest.raises(TypeError) as info:
        call(hostfacts.ServerAppInfoHandler._get_info)
    assert str(info.value) == message
    assert entries(info.value, HOSTFACTS_PATH) == [(26, GET_INFO)]
    assert made.made.calls == 0
    assert sys.exc_info() == NO_EXC


def test_facts_class_hierarchy():
    assert issubclass(InfoHandler, hostfacts.BaseInfoHandler)
    assert hostfacts.ServerAppInfoHandler.__bases__ == (hostfacts.BaseInfoHandler,)


# --- how `values` is found on a cookies object that is not exactly a dict -------


_ITEMS = [Item("a", 1), Item("b", "x")]


class _StaticValues:
    values = staticmethod(lambda: _ITEMS)


class _ClassValues:
    @classmethod
    def values(cls):
        return [Item(cls.__name__, 0)]


class _PropertyValues:
    @property
    def values(self):
        return lambda: _ITEMS


class _DataDescriptorValues:
    class _D:
        def __get__(self, obj, owner):
            return lambda: _ITEMS

        def __set__(self, obj, value):
            raise AttributeError("read-only")

    values = _D()


class _CallableClassAttr:
    class _D:  # no __get__: handed out as it is, without the instance
        def __call__(self, *args):
            return _ITEMS if not args else []

    values = _D()


class _Slotted:
    __slots__ = ()

    def values(self):
        return iter(_ITEMS)


class _Getattribute:
    def __getattribute__(self, name):
        if name == "values":
            return lambda: _ITEMS
        return object.__getattribute__(self, name)


class _MethodShadowed:
    def values(self):
        return []


def _shadowed():
    obj = _MethodShadowed()
    obj.values = lambda: _ITEMS  # the instance dict wins over a plain method
    return obj


def _dict_shadows_nondata():
    obj = _CallableClassAttr()
    obj.__dict__["values"] = lambda: _ITEMS[:1]
    return obj


@pytest.mark.parametrize("make, cookie", [
    (_StaticValues, "a=1; b=x"),
    (_ClassValues, "_ClassValues=0"),
    (_PropertyValues, "a=1; b=x"),
    (_DataDescriptorValues, "a=1; b=x"),
    (_CallableClassAttr, "a=1; b=x"),
    (_Slotted, "a=1; b=x"),
    (_Getattribute, "a=1; b=x"),
    (_shadowed, "a=1; b=x"),
    (_dict_shadows_nondata, "a=1"),
    (lambda: types.MappingProxyType({"x": Item("m", 1)}), "m=1"),
    (lambda: collections.UserDict({"x": Item("u", 2)}), "u=2"),
    (lambda: collections.ChainMap({"x": Item("c", 3)}, {"y": Item("d", 4)}), "d=4; c=3"),
], ids=["staticmethod", "classmethod", "property", "data-descriptor", "callable-class-attr", "slots",
        "getattribute", "instance-shadows-method", "instance-shadows-nondata", "mappingproxy", "userdict",
        "chainmap"])
def test_values_lookup(install, make, cookie):
    install(provider({}))
    assert handler(make())._get_info() == (HTTPStatus.OK, {"cookie": cookie})


def test_builtin_provider_is_never_cached(monkeypatch):
    monkeypatch.delitem(hostfacts.__dict__, "JupyterServerAppInfo")
    monkeypatch.setattr(builtins, "JupyterServerAppInfo", provider({"n": 1}), raising=False)
    h = handler()
    assert h._get_info()[1] == {"n": 1, "cookie": ""}
    builtins.JupyterServerAppInfo = provider({"n": 2})  # the module dict is unchanged
    assert h._get_info()[1] == {"n": 2, "cookie": ""}


def test_module_global_shadows_the_builtin_and_deleting_uncovers_it(monkeypatch):
    monkeypatch.setattr(builtins, "JupyterServerAppInfo", provider({"from": "builtins"}), raising=False)
    monkeypatch.setitem(hostfacts.__dict__, "JupyterServerAppInfo", provider({"from": "module"}))
    assert handler()._get_info()[1]["from"] == "module"
    del hostfacts.__dict__["JupyterServerAppInfo"]
    assert handler()._get_info()[1]["from"] == "builtins"


# --- re-entrancy and threads ----------------------------------------------------------


@pytest.mark.parametrize("inner_fails, outer_fails", [(False, False), (True, False), (False, True), (True, True)])
def test_nested_calls_keep_their_own_state(install, inner_fails, outer_fails):
    seen = []
    depth = []

    def JupyterServerAppInfo():
        if depth:  # the inner call
            return Facts(None if inner_fails else {"inner": 1})
        depth.append(1)
        # The outer call's guarded block is active here.
        state = sys.exc_info()
        seen.append(handler()._get_info())
        seen.append((state, sys.exc_info()))
        return Facts(None if outer_fails else {"outer": 1})

    install(JupyterServerAppInfo)
    try:
        raise ZeroDivisionError("outer")
    except ZeroDivisionError:
        before = sys.exc_info()
        answer = handler()._get_info()
        assert sys.exc_info() == before
    inner, (state_in, state_after_inner) = seen
    assert state_in == state_after_inner == before
    assert inner == ((HTTPStatus.INTERNAL_SERVER_ERROR, FAILED) if inner_fails
                     else (HTTPStatus.OK, {"inner": 1, "cookie": ""}))
    assert answer == ((HTTPStatus.INTERNAL_SERVER_ERROR, FAILED) if outer_fails
                      else (HTTPStatus.OK, {"outer": 1, "cookie": ""}))


def test_threads_keep_their_own_handled_exception(install):
    import threading

    entered, release = threading.Event(), threading.Event()
    report = {}

    def JupyterServerAppInfo():
        if threading.current_thread().name == "slow":
            entered.set()
            release.wait(10)  # the other thread runs its failing calls meanwhile
            raise ValueError("slow failure")
        return Facts(None)

    def slow():
        try:
            raise KeyError("slow outer")
        except KeyError:
            before = sys.exc_info()
            report["answer"] = handler()._get_info()
            report["same"] = sys.exc_info() == before

    install(JupyterServerAppInfo)
    thread = threading.Thread(target=slow, name="slow")
    thread.start()
    assert entered.wait(10)
    for _ in range(3):
        assert handler()._get_info() == (HTTPStatus.INTERNAL_SERVER_ERROR, FAILED)
        assert sys.exc_info() == NO_EXC
    release.set()
    thread.join(10)
    assert report == {"answer": (HTTPStatus.INTERNAL_SERVER_ERROR, FAILED), "same": True}


# --- texts that are not yet in their compact form -----------------------------------


def _legacy_str(text):
    """A str made through the deprecated wide-character API and filled in
    afterwards: valid, but not ready until something asks for its data."""
    import ctypes

    api = ctypes.pythonapi
    api.PyUnicode_FromUnicode.restype = ctypes.py_object
    api.PyUnicode_FromUnicode.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
    api.PyUnicode_AsUnicode.restype = ctypes.c_void_p
    api.PyUnicode_AsUnicode.argtypes = [ctypes.py_object]
    s = api.PyUnicode_FromUnicode(None, len(text))
    wide = text.encode("utf-32-le")
    ctypes.memmove(api.PyUnicode_AsUnicode(s), wide, len(wide))
    return s


@pytest.mark.skipif(sys.version_info >= (3, 12),
                    reason="3.12 removed the wide-character form: every str is ready")
@pytest.mark.parametrize("side", ["key", "value"])
def test_not_ready_texts_are_measured_after_readying(install, side):
    install(provider({}))
    text = _legacy_str("abc\u20ac")
    item = Item(text, "v") if side == "key" else Item("k", text)
    expected = expected_cookie([Item(_legacy_str("abc\u20ac"), "v") if side == "key"
                                else Item("k", _legacy_str("abc\u20ac"))])
    assert handler({"a": item})._get_info() == (HTTPStatus.OK, {"cookie": expected})
