"""The attribute reads of _get_info keep where they found an attribute (a
slot, a data descriptor, a class's own value, an instance's own value kept
beside it) between calls: every change that the interpreter would see between
two calls, _get_info sees too."""
from http import HTTPStatus

import pytest

from handler_standins import FAILED, expected_cookie, info_handler_class, load_hostfacts, make_info_handler, provider

hostfacts = load_hostfacts()
InfoHandler = info_handler_class(hostfacts)


def _slotted():
    class Slotted:
        __slots__ = ("key", "value")

        def __init__(self, key, value):
            self.key, self.value = key, value

    return Slotted


def _with_properties():
    class Props:
        def __init__(self, key, value):
            self._key, self._value = key, value

        key = property(lambda self: self._key)
        value = property(lambda self: self._value)

    return Props


def _plain():
    class Plain:
        key = "class-key"

        def __init__(self, key, value):
            self.value = value
            if key is not None:
                self.key = key

    return Plain


def _instance_attributes():
    class Attributes:
        def __init__(self, key, value):
            self.key, self.value = key, value

    return Attributes


def _delete_value(items):
    del items[0].value


def _write_through_dict(items):
    # Makes the instance's dict, which then holds what was kept beside it.
    items[0].__dict__["value"] = "through-dict"


def _replace_dict(items):
    items[0].__dict__ = {"key": "own-dict", "value": "replaced"}


def _many_attributes(items):
    # More names than the class's instances share: the values move into a dict.
    for i in range(40):
        setattr(items[0], "extra%d" % i, i)
    items[0].value = "after-extras"


def _class_gains_property(items):
    type(items[0]).value = property(lambda self: "from-property")


def _class_swapped(items):
    class Other:
        value = property(lambda self: "other-class")

    items[0].__class__ = Other


def _rebind_slot(items):
    items[0].value = "changed"


def _empty_slot(items):
    del items[0].value


def _slot_becomes_property(items):
    type(items[0]).key = property(lambda self: "from-property")


def _replace_property(items):
    type(items[0]).key = property(lambda self: "replaced")


def _reinit_property(items):
    # The same property object with another getter: no dict changes.
    type(items[0]).__dict__["key"].__init__(lambda self: "reinitialised")


def _property_loses_getter(items):
    type(items[0]).__dict__["key"].__init__(None)


def _property_getter_raises(items):
    def getter(self):
        raise KeyError("inside")

    type(items[0]).__dict__["key"].__init__(getter)


def _with_own_descriptor():
    class Descriptor:
        def __get__(self, obj, owner=None):
            return "from-descriptor"

        def __set__(self, obj, value):
            raise AttributeError("read-only")

    class Described:
        key = Descriptor()

        def __init__(self, key, value):
            self.__dict__["key"], self.value = key, value

    return Described


def _descriptor_loses_set(items):
    # Only the descriptor's class changes: the instance dict now wins.
    del type(type(items[0]).__dict__["key"]).__set__


def _instance_dict_under_property(items):
    items[0].__dict__["key"] = "from-instance-dict"


def _shadow_class_attribute(items):
    items[0].key = "from-instance"


def _delete_shadow(items):
    del items[0].key


def _base_gains_property(items):
    base = type(items[0]).__mro__[1]
    base.value = property(lambda self: "from-base")


def _subclassed(make):
    def made():
        class Base:
            pass

        cls = make()
        return type("Derived", (cls, Base), {})

    return made


# (item class maker, key of the first item, mutation between the two calls)
COOKIE_CASES = {
    "slot rebound": (_slotted, "k", _rebind_slot),
    "slot emptied": (_slotted, "k", _empty_slot),
    "slot replaced by a property": (_slotted, "k", _slot_becomes_property),
    "property replaced": (_with_properties, "k", _replace_property),
    "property reinitialised in place": (_with_properties, "k", _reinit_property),
    "property loses its getter": (_with_properties, "k", _property_loses_getter),
    "property getter raises": (_with_properties, "k", _property_getter_raises),
    "instance dict under a property": (_with_properties, "k", _instance_dict_under_property),
    "data descriptor becomes non-data": (_with_own_descriptor, "k", _descriptor_loses_set),
    "class attribute shadowed": (_plain, None, _shadow_class_attribute),
    "shadow removed": (_plain, "k", _delete_shadow),
    "base gains a property": (_subclassed(_slotted), "k", _base_gains_property),
    "instance value rebound": (_instance_attributes, "k", _rebind_slot),
    "instance value deleted": (_instance_attributes, "k", _delete_value),
    "instance dict written": (_instance_attributes, "k", _write_through_dict),
    "instance dict replaced": (_instance_attributes, "k", _replace_dict),
    "instance outgrows shared names": (_instance_attributes, "k", _many_attributes),
    "class property over instance value": (_instance_attributes, "k", _class_gains_property),
    "instance changes class": (_instance_attributes, "k", _class_swapped),
}


@pytest.fixture
def empty_facts(monkeypatch):
    """The handler's facts come from an empty provider: the answers differ only by their cookies."""
    monkeypatch.setitem(hostfacts.__dict__, "JupyterServerAppInfo", lambda: provider({})())


def _answer(cookies):
    return make_info_handler(InfoHandler, cookies)._get_info()


def _expected(items):
    try:
        return expected_cookie(items)
    except Exception:  # noqa: BLE001 - the handler answers 500 for any of these
        return None


@pytest.mark.parametrize("case", list(COOKIE_CASES))
def test_cookie_reads_follow_changes(empty_facts, case):
    make, key, mutate = COOKIE_CASES[case]
    cls = make()
    items = [cls(key, "v0"), cls("k1", 1)]
    cookies = {"a": items[0], "b": items[1]}
    for _ in range(3):  # the sites remember what they found
        assert _answer(cookies)[1]["cookie"] == expected_cookie(items)
    mutate(items)
    expected = _expected(items)
    for _ in range(2):
        status, result = _answer(cookies)
        if expected is None:
            assert (status, result) == (HTTPStatus.INTERNAL_SERVER_ERROR, FAILED)
        else:
            assert result["cookie"] == expected


def test_one_object_under_both_names_of_the_first_item(empty_facts):
    # Where the first item keeps the object does not tell which name it is
    # under: the sites must not take one name's place for the other's.
    cls = _instance_attributes()
    shared = "same"
    items = [cls(shared, shared), cls("k1", 1), cls("k2", 2)]
    cookies = {str(i): item for i, item in enumerate(items)}
    for _ in range(3):
        assert _answer(cookies)[1]["cookie"] == "same=same; k1=1; k2=2"


def test_item_types_taking_turns_at_one_site(empty_facts):
    kinds = [_slotted(), _with_properties(), _plain(), _slotted()]
    items = [make("k%d" % i, i) for i, make in enumerate(kinds * 2)]
    cookies = {str(i): item for i, item in enumerate(items)}
    for _ in range(3):
        assert _answer(cookies)[1]["cookie"] == expected_cookie(items)


def _status_class(hook):
    """A stand-in for HTTPStatus under a metaclass of its own; with `hook`,
    one that answers unknown names from __getattr__, as enum's did up to 3.11."""
    namespace = {"__getattr__": lambda cls, name: 299} if hook else {}
    meta = type("Meta", (type,), namespace)
    base = meta("Base", (), {"OK": 200, "INTERNAL_SERVER_ERROR": 500})
    return meta("Status", (base,), {})


def _meta_getattribute(cls):
    type(cls).__getattribute__ = lambda c, name: 205 if name == "OK" else type.__getattribute__(c, name)


class _Refusing:
    """A descriptor of the class, as enum's members are from 3.11, that finds nothing."""

    def __get__(self, obj, owner=None):
        raise AttributeError("OK")


def _replace_getattr(cls):
    type(cls).__getattr__ = lambda c, name: 298
    delattr(cls.__mro__[1], "OK")


# Changes to the class that stands in for HTTPStatus, and what OK reads as
# after, without and with the metaclass's __getattr__.
STATUS_CASES = {
    "own value set": (lambda cls: setattr(cls, "OK", 201), 201, 201),
    "base value changed": (lambda cls: setattr(cls.__mro__[1], "OK", 202), 202, 202),
    "metaclass data descriptor": (lambda cls: setattr(type(cls), "OK", property(lambda c: 203)), 203, 203),
    "value becomes a descriptor": (lambda cls: setattr(cls, "OK", classmethod(lambda c: 204)), None, None),
    "metaclass gains __getattribute__": (_meta_getattribute, 205, 205),
    "value removed": (lambda cls: delattr(cls.__mro__[1], "OK"), AttributeError, 299),
    "descriptor finds nothing": (lambda cls: setattr(cls, "OK", _Refusing()), AttributeError, 299),
    "__getattr__ replaced": (_replace_getattr, 298, 298),
}


@pytest.mark.parametrize("hook", [False, True], ids=["type's read", "__getattr__ hook"])
@pytest.mark.parametrize("case", list(STATUS_CASES))
def test_status_reads_follow_changes(monkeypatch, empty_facts, case, hook):
    mutate, *after = STATUS_CASES[case]
    expected = after[hook]
    cls = _status_class(hook)
    monkeypatch.setitem(hostfacts.__dict__, "HTTPStatus", cls)
    for _ in range(3):
        assert _answer({})[0] == 200
    mutate(cls)
    for _ in range(2):  # the read that finds the change, then the one it left in the cache
        if expected is AttributeError:
            with pytest.raises(AttributeError, match="OK"):
                _answer({})
        elif expected is None:
            status, bound = _answer({})[0], cls.OK  # bound methods: compared by what they bind
            assert status.__self__ is bound.__self__ and status.__func__ is bound.__func__
        else:
            assert _answer({})[0] == expected


def test_property_getter_replaced_while_it_runs(empty_facts):
    cls = _with_properties()
    items = [cls("k", "v0"), cls("k1", 1)]
    cookies = {"a": items[0], "b": items[1]}
    for _ in range(3):
        assert _answer(cookies)[1]["cookie"] == expected_cookie(items)
    prop = cls.__dict__["key"]

    def getter(self):
        # The property held the last reference to the running getter.
        prop.__init__(lambda self: "other")
        return "first"

    prop.__init__(getter)
    del getter
    assert _answer(cookies)[1]["cookie"] == "first=v0; other=1"
