"""A property whose getter only returns an attribute of its argument (as
http.cookies.Morsel's do) may be read in place by _get_info: its answers,
its failures and what tracers, profilers and monitoring tools see stay those
of the interpreted twin, whatever changes between two calls."""
import http.cookies
import os
import sys
import traceback
from http import HTTPStatus

import pytest

from handler_standins import FAILED, StatusObserver, info_handler_class, load_hostfacts, make_info_handler, provider

_TWINS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "twins")
if not os.path.exists(os.path.join(_TWINS, "hostfacts.py")):
    pytest.skip("the interpreted twin tests/python/twins/hostfacts.py is missing", allow_module_level=True)

hostfacts = load_hostfacts()
from twins import hostfacts as twin_hostfacts  # noqa: E402 - after the compiled module

SIDES = {"compiled": (hostfacts, info_handler_class(hostfacts)),
         "twin": (twin_hostfacts, info_handler_class(twin_hostfacts))}


@pytest.fixture(autouse=True)
def empty_facts(monkeypatch):
    for module, _ in SIDES.values():
        monkeypatch.setitem(module.__dict__, "JupyterServerAppInfo", lambda: provider({})())


def _answer(side, cookies):
    module, cls = SIDES[side]
    return cls._get_info(make_info_handler(cls, cookies))


# --- the item classes: getters that only return an attribute, and some that nearly do --------------


def _trivial(base=object, slots=None):
    namespace = {"key": property(lambda self: self._key), "value": property(lambda self: self._value)}
    if slots is not None:
        namespace["__slots__"] = slots

    def __init__(self, key, value):
        self._key, self._value = key, value

    namespace["__init__"] = __init__
    return type("Cookie", (base,), namespace)


def _dict_subclass():
    return _trivial(dict)  # Morsel is one


def _slotted():
    return _trivial(slots=("_key", "_value"))


def _two_names():
    cls = _trivial()

    def key(self):
        self._value
        return self._key

    cls.key = property(key)
    return cls


def _attribute_of_attribute():
    cls = _trivial()
    cls.key = property(lambda self: self._value.real)
    return cls


def _default():
    cls = _trivial()

    def key(self, default=None):
        return self._key

    cls.key = property(key)
    return cls


def _closure():
    cls = _trivial()
    suffix = ""

    def key(self):
        return self._key if suffix == "" else suffix

    cls.key = property(key)
    return cls


def _own_cell():
    cls = _trivial()

    def key(self):
        (lambda: self)
        return self._key

    cls.key = property(key)
    return cls


class _Morsels:
    """Stands in for a maker: tornado's cookies are http.cookies' Morsels."""

    def __call__(self):
        return self

    def items(self, count):
        jar = http.cookies.SimpleCookie("; ".join("k%d=%d" % (i, i) for i in range(count)))
        return list(jar.values())


def _items(make, count=3):
    cls = make()
    if isinstance(cls, _Morsels):
        return cls.items(count)
    return [cls("k%d" % i, i) for i in range(count)]


MAKERS = {
    "instance values": _trivial,
    "dict subclass": _dict_subclass,
    "slots": _slotted,
    "Morsel": _Morsels(),
    "two names": _two_names,
    "attribute of an attribute": _attribute_of_attribute,
    "a default": _default,
    "a closure": _closure,
    "a cell of its own": _own_cell,
}


# --- changes between two calls ---------------------------------------------------------------------


def _code_replaced(items):
    getter = type(items[0]).__dict__["key"].fget
    getter.__code__ = (lambda self: self._value).__code__


def _code_replaced_by_non_trivial(items):
    getter = type(items[0]).__dict__["key"].fget
    getter.__code__ = (lambda self: str(self._key) + "!").__code__


def _property_replaced(items):
    type(items[0]).key = property(lambda self: self._value)


def _property_reinitialised(items):
    # The same property object with a getter reading another name: the type does not change.
    type(items[0]).__dict__["key"].__init__(lambda self: self._value)


def _attribute_deleted(items):
    del items[1]._key


def _attribute_rebound(items):
    items[0]._key = "rebound"


def _instance_dict_read(items):
    if hasattr(items[0], "__dict__"):
        items[0].__dict__  # 3.11, 3.12: the values move into a dict made now
    items[0]._key = "after-dict"


def _non_str_key(items):
    if hasattr(items[0], "__dict__"):
        items[0].__dict__[1] = "one"


def _name_becomes_class_property(items):
    type(items[0])._key = property(lambda self: "from-class")


CHANGES = {
    "getter's code replaced": _code_replaced,
    "getter's code replaced by other code": _code_replaced_by_non_trivial,
    "property replaced": _property_replaced,
    "property reinitialised": _property_reinitialised,
    "attribute deleted": _attribute_deleted,
    "attribute rebound": _attribute_rebound,
    "instance dict made": _instance_dict_read,
    "instance dict with a non-str key": _non_str_key,
    "name becomes a class property": _name_becomes_class_property,
}


def _replaceable(make):
    # Morsel's class and getters are shared with the rest of the process: changed on a subclass only.
    if isinstance(make, _Morsels):
        return lambda: [_morsel_copy(m) for m in make.items(3)]
    return lambda: _items(make)


def _morsel_copy(morsel):
    cls = type("MorselCopy", (http.cookies.Morsel,), {
        "key": property(lambda self: self._key), "value": property(lambda self: self._value)})
    copy = cls()
    copy.set(morsel.key, morsel.value, morsel.coded_value)
    return copy


def _outcome(side, cookies):
    status, result = _answer(side, cookies)
    return status, result.get("cookie", result)


@pytest.mark.parametrize("change", list(CHANGES))
@pytest.mark.parametrize("maker", list(MAKERS))
def test_answers_follow_changes_as_the_twins_do(maker, change):
    outcomes = {}
    for side in SIDES:
        items = _replaceable(MAKERS[maker])()
        cookies = {str(i): item for i, item in enumerate(items)}
        before = [_outcome(side, cookies) for _ in range(3)]  # the sites remember the getters
        try:
            CHANGES[change](items)
        except (AttributeError, TypeError, ValueError):  # a closure's code takes no other code
            pytest.skip("the item class does not allow this change")
        outcomes[side] = before + [_outcome(side, cookies) for _ in range(2)]
    assert outcomes["compiled"] == outcomes["twin"]
    assert outcomes["twin"][0][0] is HTTPStatus.OK


def _caught(side, monkeypatch, cookies):
    observer = StatusObserver()
    monkeypatch.setitem(SIDES[side][0].__dict__, "HTTPStatus", observer)
    assert _answer(side, cookies) == (HTTPStatus.INTERNAL_SERVER_ERROR, FAILED)
    [(exc_type, exc, tb)] = observer.seen
    here = [(f.name, f.lineno) for f in traceback.extract_tb(tb) if f.filename == __file__]
    return exc_type, str(exc), here


@pytest.mark.parametrize("maker", ["instance values", "dict subclass", "slots"])
def test_missing_attribute_fails_inside_the_getter(monkeypatch, maker):
    caught = {}
    for side in SIDES:
        items = _items(MAKERS[maker])
        cookies = {str(i): item for i, item in enumerate(items)}
        for _ in range(3):
            assert _answer(side, cookies)[0] is HTTPStatus.OK
        del items[1]._key
        caught[side] = [_caught(side, monkeypatch, cookies) for _ in range(2)]
    assert caught["compiled"] == caught["twin"]
    exc_type, _, here = caught["twin"][0]
    assert exc_type is AttributeError and [name for name, _ in here] == ["<lambda>"]


# --- what watches calls sees the getter's ----------------------------------------------------------


def _getter_code(items):
    return type(items[0]).__dict__["key"].fget.__code__


def _with_trace(code, seen):
    def tracer(frame, event, arg):
        if frame.f_code is code:
            seen.append(event)
        return tracer

    sys.settrace(tracer)
    return lambda: sys.settrace(None)


def _with_profile(code, seen):
    sys.setprofile(lambda frame, event, arg: seen.append(event) if frame.f_code is code else None)
    return lambda: sys.setprofile(None)


def _monitoring(local):
    def start(code, seen):
        monitoring = sys.monitoring
        tool = next(t for t in range(6) if monitoring.get_tool(t) is None)
        monitoring.use_tool_id(tool, "velmora-test")
        events = monitoring.events.PY_START | monitoring.events.PY_RETURN

        def record(event):
            return lambda got, *rest: seen.append(event) if got is code else None

        monitoring.register_callback(tool, monitoring.events.PY_START, record("start"))
        monitoring.register_callback(tool, monitoring.events.PY_RETURN, record("return"))
        if local:
            monitoring.set_local_events(tool, code, events)
        else:
            monitoring.set_events(tool, events)

        def stop():
            if local:
                monitoring.set_local_events(tool, code, 0)
            monitoring.set_events(tool, 0)
            monitoring.free_tool_id(tool)

        return stop

    return start


WATCHERS = {"sys.settrace": _with_trace, "sys.setprofile": _with_profile}
if sys.version_info >= (3, 12):
    WATCHERS["sys.monitoring, global events"] = _monitoring(False)
    WATCHERS["sys.monitoring, the getter's own events"] = _monitoring(True)


@pytest.mark.parametrize("maker", ["instance values", "dict subclass", "slots", "Morsel"])
@pytest.mark.parametrize("watcher", list(WATCHERS))
def test_watchers_see_the_getter_called(watcher, maker):
    seen = {}
    for side in SIDES:
        items = _items(MAKERS[maker])
        cookies = {str(i): item for i, item in enumerate(items)}
        expected = _outcome(side, cookies)
        for _ in range(2):
            assert _outcome(side, cookies) == expected
        seen[side] = []
        stop = WATCHERS[watcher](_getter_code(items), seen[side])
        try:
            watched = _outcome(side, cookies)
        finally:
            stop()
        assert watched == expected == _outcome(side, cookies)
    assert seen["compiled"] == seen["twin"]
    assert seen["twin"].count(seen["twin"][0]) == len(items)  # each item's getter was seen starting
