"""Helpers of the handler bodies: mapping-value iteration, f-string fields,
three-part joins, decimal text, keyword-only method calls and method lookup."""
import inspect
import random
import sys

import pytest

from conftest import assert_no_growth, fast_path, format_failure, import_testmod, refcount

t = import_testmod()

PY_SSIZE_T_MAX = sys.maxsize
PY_SSIZE_T_MIN = -sys.maxsize - 1


class Walk:
    """The init/next protocol as the handler runs it: position from 0, the
    entries left from the size at the start."""

    def __init__(self, mapping):
        self.source, self.size, self.is_dict = t.dict_values_init(mapping)
        self.position, self.left = 0, self.size

    def next(self):
        """(more, value)"""
        more, value, self.position, self.left = t.dict_values_next(
            self.source, self.size, self.position, self.left, self.is_dict)
        return more, value


def values_of(mapping):
    """Runs the init/next protocol to its end; the values in order."""
    walk, out = Walk(mapping), []
    while True:
        more, value = walk.next()
        if not more:
            return out
        out.append(value)


class CountingDict(dict):
    calls = 0

    def values(self):
        CountingDict.calls += 1
        return super().values()


class Returns:
    """A mapping stand-in whose values() hands back a fixed object."""

    def __init__(self, result):
        self.result = result
        self.calls = 0

    def values(self):
        self.calls += 1
        return self.result


class TestDictValues:
    def test_exact_dict_is_read_in_place(self):
        d = {"a": 1, "b": 2}
        source, size, is_dict = t.dict_values_init(d)
        assert source is d and size == 2 and is_dict is True
        assert values_of(d) == [1, 2]
        assert values_of({}) == []

    def test_dict_subclass_calls_values_once(self):
        CountingDict.calls = 0
        d = CountingDict(a=1, b=2)
        source, size, is_dict = t.dict_values_init(d)
        assert CountingDict.calls == 1 and is_dict is False and size == 0
        assert type(source).__name__ == "dict_valueiterator"
        CountingDict.calls = 0
        assert values_of(d) == [1, 2] and CountingDict.calls == 1

    def test_dict_subclass_with_dicts_values_is_read_in_place(self):
        class Plain(dict):
            pass
        d = Plain(a=1, b=2)
        source, size, is_dict = t.dict_values_init(d)
        if fast_path("DICT_VALUES"):
            assert source is d and size == 2 and is_dict is True
        else:  # the public lookup binds values(), which is called
            assert type(source).__name__ == "dict_valueiterator" and is_dict is False
        assert values_of(d) == [1, 2]
        d["c"] = 3
        with pytest.raises(RuntimeError) as e:
            t.dict_values_next(source, size, 0, size, is_dict)
        assert str(e.value) == "dictionary changed size during iteration"

    @pytest.mark.parametrize("change", [
        lambda d: setattr(type(d), "values", lambda self: [9]),
        lambda d: setattr(type(d).__mro__[1], "values", lambda self: [9]),
        lambda d: setattr(d, "values", lambda: [9]),
        lambda d: d.__dict__.__setitem__("values", lambda: [9]),
    ], ids=["class gains values", "base gains values", "instance attribute", "instance dict"])
    def test_dict_subclass_values_found_later_is_called(self, change):
        class Base(dict):
            pass

        class Sub(Base):
            pass
        d = Sub(a=1)
        assert values_of(d) == [1]
        change(d)
        assert values_of(d) == [9]
        assert t.dict_values_init(d)[2] is False

    def test_dicts_values_on_another_type_raises(self):
        class Borrowed:
            values = dict.values
        with pytest.raises(TypeError):
            t.dict_values_init(Borrowed())

    @pytest.mark.parametrize("result", [(1, 2, 3), [1, 2, 3]])
    def test_tuple_and_list_are_read_by_index(self, result):
        m = Returns(result)
        source, size, is_dict = t.dict_values_init(m)
        assert source is result and is_dict is False and m.calls == 1
        assert values_of(Returns(result)) == [1, 2, 3]

    def test_list_growing_during_the_loop_is_followed(self):
        items = [1, 2]
        walk = Walk(Returns(items))
        more, value = walk.next()
        items.append(3)
        seen = [value]
        while True:
            more, value = walk.next()
            if not more:
                break
            seen.append(value)
        assert seen == [1, 2, 3]

    def test_other_iterables(self):
        assert values_of(Returns(x for x in "ab")) == ["a", "b"]
        assert values_of(Returns({"k": "v"}.values())) == ["v"]
        assert values_of(Returns(frozenset([5]))) == [5]

    def test_values_as_instance_attribute(self):
        class Bare:
            pass
        m = Bare()
        m.values = lambda: [7]
        assert values_of(m) == [7]

    @pytest.mark.parametrize("make, exc, message", [
        (lambda: object(), AttributeError, "'object' object has no attribute 'values'"),
        (lambda: Returns(5), TypeError, "'int' object is not iterable"),
    ])
    def test_init_failures(self, make, exc, message):
        with pytest.raises(exc) as e:
            t.dict_values_init(make())
        assert str(e.value) == message

    def test_values_raising(self):
        class Raising:
            def values(self):
                raise KeyError("inside")
        with pytest.raises(KeyError):
            t.dict_values_init(Raising())

    def test_growing_dict_fails_at_the_next_step(self):
        d = {"a": 1, "b": 2}
        walk = Walk(d)
        assert walk.next() == (1, 1)
        d["c"] = 3
        with pytest.raises(RuntimeError) as e:
            walk.next()
        assert str(e.value) == "dictionary changed size during iteration"

    def test_same_size_replacement_goes_on(self):
        d = {"a": 1, "b": 2}
        walk = Walk(d)
        walk.next()
        d["b"] = 20
        assert walk.next() == (1, 20)
        assert walk.next()[0] == 0

    def test_iterator_errors(self):
        def failing():
            yield 1
            raise ValueError("mid-way")
        walk = Walk(Returns(failing()))
        assert walk.next() == (1, 1)
        with pytest.raises(ValueError):
            walk.next()

        class ExplicitStop:
            def __iter__(self):
                return self

            def __next__(self):
                raise StopIteration("done")
        assert values_of(Returns(ExplicitStop())) == []
        assert sys.exc_info() == (None, None, None)

    def test_values_keep_their_reference_counts(self):
        value = object()
        containers = [{"k": value}, (value,), [value], CountingDict(k=value)]
        before = refcount(value)
        for c in containers:
            for _ in range(5):
                assert values_of(Returns(c) if not isinstance(c, dict) else c) == [value]
        assert refcount(value) == before


# --- the walk of a dict changed under it, against the interpreter's own --------------

class PlainDict(dict):
    """A subclass with dict's own values(): walked in place as well."""


class Slots:
    def __init__(self):
        self.a, self.b, self.c = 1, 2, 3


def instance_dict():
    """An exact dict whose keys are shared with its class's other instances."""
    Slots()
    return Slots().__dict__


CONTAINERS = {
    "dict": lambda: {"a": 1, "b": 2, "c": 3},
    "subclass": lambda: PlainDict(a=1, b=2, c=3),
    "instance dict": instance_dict,
}


def delete(position):
    return lambda d: d.pop(list(d)[position])


def add(key, value=0):
    return lambda d: d.__setitem__(key, value)


def replace(position, value):
    return lambda d: d.__setitem__(list(d)[position], value)


def both(*changes):
    def change(d):
        for c in changes:
            c(d)
    return change


def churn(d):
    # Enough deletions and additions of the same count to rebuild the table.
    for i in range(20):
        d.pop(list(d)[0])
        d["churn%d" % i] = i


# (label, {step after which: change})
CHANGES = [
    ("grows", {0: add("x")}),
    ("shrinks", {0: delete(-1)}),
    ("grows and shrinks back", {0: both(add("x"), delete(-1))}),
    ("a visited entry swapped for another", {1: both(delete(0), add("x"))}),
    ("an entry ahead swapped for another", {0: both(delete(-1), add("x"))}),
    ("the entry read swapped for another", {0: both(delete(0), add("x"))}),
    ("an entry deleted and put back", {1: both(delete(0), add("a", 9))}),
    ("swapped after the last value", {2: both(delete(0), add("x"))}),
    ("a value replaced", {0: replace(1, 20)}),
    ("every value replaced", {0: replace(0, 10), 1: replace(1, 20), 2: replace(2, 30)}),
    ("the table rebuilt", {0: churn}),
    ("emptied and refilled", {1: lambda d: (d.clear(), d.update(x=7, y=8, z=9))}),
    ("swapped twice", {0: both(delete(-1), add("x")), 1: both(delete(0), add("y"))}),
]


def walk_outcome(mapping, changes, walk):
    """The values handed out, each change made after its step, then the
    error text if the walk refused."""
    out = []
    try:
        for step, value in enumerate(walk(mapping)):
            out.append(value)
            changes.get(step, lambda d: None)(mapping)
    except RuntimeError as e:
        out.append(str(e))
    return out


def probe_values(mapping):
    walk = Walk(mapping)
    while True:
        more, value = walk.next()
        if not more:
            return
        yield value


@pytest.mark.parametrize("container", list(CONTAINERS))
@pytest.mark.parametrize("label, changes", CHANGES, ids=[c[0] for c in CHANGES])
def test_changed_dict_is_walked_as_the_interpreter_walks_it(container, label, changes):
    make = CONTAINERS[container]
    interpreted = walk_outcome(make(), changes, lambda d: iter(d.values()))
    assert walk_outcome(make(), changes, probe_values) == interpreted


def random_changes(rng):
    """{step: change} of random adds, deletions, swaps, re-insertions and
    replaced values, each on a key chosen by its place when it is made."""
    def on_key(change):
        at = rng.randrange(-3, 3)
        return lambda d: d and change(d, list(d)[at % len(d)])
    kinds = {
        "add": lambda key: add(key),
        "delete": lambda key: on_key(lambda d, k: d.pop(k)),
        "swap": lambda key: on_key(lambda d, k: key not in d and (d.pop(k), d.__setitem__(key, 0))),
        "put back": lambda key: on_key(lambda d, k: d.__setitem__(k, d.pop(k))),
        "replace": lambda key: on_key(lambda d, k: d.__setitem__(k, -1)),
        "none": lambda key: lambda d: None,
    }
    return {step: kinds[rng.choice(sorted(kinds))]("n%d" % rng.randrange(6))
            for step in range(rng.randrange(0, 8))}


@pytest.mark.parametrize("seed", range(40))
def test_random_changes_are_refused_as_the_interpreter_refuses(seed):
    rng = random.Random(seed)
    for _ in range(10):
        size = rng.randrange(0, 7)
        items = [("k%d" % i, i) for i in range(size)]
        changes = random_changes(rng)
        for make in (lambda: dict(items), lambda: PlainDict(items)):
            assert walk_outcome(make(), changes, probe_values) == \
                walk_outcome(make(), changes, lambda d: iter(d.values())), (seed, items)


class FormatsItself(str):
    def __format__(self, format_spec):
        return "formatted:" + format_spec


class ReprInt(int):
    def __repr__(self):
        return "own repr"


class TestFormatSimple:
    def test_exact_str_is_returned_itself(self):
        s = "".join(["a", "bc"])
        assert t.format_simple(s) is s

    @pytest.mark.parametrize("value", [0, 42, -7, 10 ** 30, 1.5, -0.0, 1e22, float("inf"), float("nan")])
    def test_int_and_float_use_their_repr(self, value):
        got = t.format_simple(value)
        assert got == repr(value) and type(got) is str

    @pytest.mark.parametrize("value, text", [
        (True, "True"),
        (False, "False"),
        (FormatsItself("x"), "formatted:"),
        (ReprInt(5), "own repr"),
        (None, "None"),
    ])
    def test_other_types_go_through_format(self, value, text):
        got = t.format_simple(value)
        assert got == text == format(value, "") and type(got) is str

    def test_plain_str_subclass(self):
        class S(str):
            pass
        got = t.format_simple(S("abc"))
        assert got == "abc" and type(got) is str

    def test_format_returning_non_str(self):
        class Bad:
            def __format__(self, spec):
                return 1
        with pytest.raises(TypeError) as e:
            t.format_simple(Bad())
        assert str(e.value) == format_failure(Bad())


class TestMaxCharAndJoin:
    @pytest.mark.parametrize("text, widest", [
        ("", 127), ("abc", 127), ("caf\xe9", 255), ("\u0100", 0xFFFF), ("a\U0001F600", 0x10FFFF),
    ])
    def test_max_char(self, text, widest):
        assert t.max_char_of(text) == widest

    @pytest.mark.parametrize("parts", [
        ("key", "=", "value"),
        ("k\xe9y", "=", "v"),
        ("key", "=", "\u20ac"),
        ("key", "=", "\U0001F600x"),
        ("\U0001F600", "=", "\xe9"),
        ("", "=", ""),
        ("", "", ""),
        ("abc", "", "\u0100"),
    ])
    def test_join(self, parts):
        got = t.join3(*parts)
        assert got == "".join(parts) and type(got) is str
        assert len(got) == sum(map(len, parts))
        # The result has the width of its widest part, no wider.
        assert t.max_char_of(got) == max(t.max_char_of(p) for p in parts)

    def test_four_byte_kind(self):
        got = t.join3("cookie_key", "=", "\U0001F600")
        assert got == "cookie_key=\U0001F600" and len(got) == 12
        assert t.max_char_of(got) == 0x10FFFF
        assert sys.getsizeof(got) == sys.getsizeof("\U0001F600" * 12)

    def test_widest_character_is_clamped(self):
        got = t.join3("a", "=", "b", None, 0xFFFFFFFF)
        # Four bytes per character as asked, so not equal to the compact "a=b".
        assert [ord(c) for c in got] == [97, 61, 98] and t.max_char_of(got) == 0x10FFFF

    @pytest.mark.parametrize("total, maxchar", [
        (PY_SSIZE_T_MAX, 0x10FFFF),
        (PY_SSIZE_T_MAX // 2 + 1, 0xFFFF),
    ])
    def test_too_long(self, total, maxchar):
        with pytest.raises(OverflowError) as e:
            t.join3("a", "=", "b", total, maxchar)
        assert str(e.value) == "join() result is too long for a Python string"

    def test_parts_longer_than_the_total_are_refused(self):
        with pytest.raises(OverflowError):
            t.join3("abc", "=", "def", 3)


class TestSsizeToUnicode:
    @pytest.mark.parametrize("value", [
        0, 7, 9, 10, 11, 99, 100, 101, 999, 1000, 12345, -1, -7, -10, -99, -100, -101,
        PY_SSIZE_T_MIN, PY_SSIZE_T_MIN + 1, PY_SSIZE_T_MAX, PY_SSIZE_T_MAX - 1,
    ])
    def test_decimal_text(self, value):
        got = t.ssize_to_unicode(value)
        assert got == str(value) and type(got) is str and t.max_char_of(got) == 127

    def test_sample(self):
        rng = random.Random(1234)
        for _ in range(2000):
            v = rng.randint(PY_SSIZE_T_MIN, PY_SSIZE_T_MAX) >> rng.randint(0, 63)
            assert t.ssize_to_unicode(v) == str(v)

    @pytest.mark.parametrize("value", range(10))
    def test_one_character_is_the_shared_str(self, value):
        assert t.ssize_to_unicode(value) is chr(ord("0") + value)


class KeywordsOnly:
    def method(self, *, a, b=None):
        return self, a, b


class TakesKeywords:
    """Callable object without a vectorcall entry."""

    def __call__(self, **kwargs):
        return kwargs


class TestCallMethodKw:
    def test_python_method(self):
        k = KeywordsOnly()
        assert t.call_method_kw(k, "method", ("a", "b"), (1, 2)) == (k, 1, 2)
        assert t.call_method_kw(k, "method", ("b", "a"), (2, 1)) == (k, 1, 2)

    def test_callable_object_without_vectorcall(self):
        holder = KeywordsOnly()
        holder.hook = TakesKeywords()
        assert t.call_method_kw(holder, "hook", ("x", "y"), (1, 2)) == {"x": 1, "y": 2}
        assert t.call_method_kw(holder, "hook", (), ()) == {}

    def test_builtin_method(self):
        d = {}
        assert t.call_method_kw(d, "update", ("x",), (1,)) is None
        assert d == {"x": 1}

    def test_failures(self):
        k = KeywordsOnly()
        with pytest.raises(TypeError) as e:
            t.call_method_kw(k, "method", ("c",), (1,))
        # From 3.10 the interpreter names the function by its qualified name.
        callee = "KeywordsOnly.method" if sys.version_info >= (3, 10) else "method"
        assert str(e.value) == callee + "() got an unexpected keyword argument 'c'"
        with pytest.raises(AttributeError) as e:
            t.call_method_kw(k, "absent", ("a",), (1,))
        assert str(e.value) == "'KeywordsOnly' object has no attribute 'absent'"

    def test_references(self):
        k, value = KeywordsOnly(), object()
        before = refcount(k), refcount(value)
        for _ in range(10):
            t.call_method_kw(k, "method", ("a",), (value,))
            with pytest.raises(TypeError):
                t.call_method_kw(k, "method", ("zz",), (value,))
        assert (refcount(k), refcount(value)) == before


class Getter:
    """A descriptor with a getter only."""

    def __get__(self, obj, owner):
        return ("got", obj)


class Opaque:
    """Found on the type, with neither getter nor setter."""


OPAQUE = Opaque()


class Sample:
    def method(self):
        return "method"

    @property
    def prop(self):
        return "property"

    getter = Getter()
    opaque = OPAQUE
    plain = 5


class Hooked:
    def method(self):
        return "hooked"

    def __getattr__(self, name):
        raise AttributeError(name)


def _other_method():
    h = Hooked()
    h.other_method = Hooked().method
    return h


def _shadowed(attr, value):
    s = Sample()
    s.__dict__[attr] = value
    return s


class TestLookupMethod:
    """Whatever the lookup answers, bound or not, reads what the attribute read gives."""

    @pytest.mark.parametrize("obj, name", [
        (Sample(), "method"),
        ([], "append"),
        (_shadowed("method", object()), "method"),  # the instance's own value wins
        (_shadowed("prop", "shadow"), "prop"),  # a data descriptor wins over it
        (Sample(), "getter"),
        (Sample(), "opaque"),
        (Sample(), "plain"),
        (_shadowed("getter", "instance"), "getter"),
        (Hooked(), "method"),  # an attribute hook that is not called
        (_other_method(), "other_method"),  # another object's bound method
    ])
    def test_reads_what_the_attribute_read_gives(self, obj, name):
        unbound, found = t.lookup_method(obj, name)
        expected = getattr(obj, name)
        if unbound:
            assert found is inspect.getattr_static(type(obj), name)
            assert found.__get__(obj, type(obj)) == expected
        else:
            assert found == expected or found is expected

    @pytest.mark.parametrize("obj, type_name", [(Sample(), "Sample"), (1, "int")])
    def test_missing(self, obj, type_name):
        with pytest.raises(AttributeError) as e:
            t.lookup_method(obj, "x")
        assert str(e.value) == "'%s' object has no attribute 'x'" % type_name

    def test_references(self):
        s = Sample()
        method = Sample.__dict__["method"]
        before = refcount(s), refcount(method)
        for _ in range(10):
            t.lookup_method(s, "method")
            with pytest.raises(AttributeError):
                t.lookup_method(s, "x")
        assert (refcount(s), refcount(method)) == before


class TestListAppendFast:
    def test_appends_with_and_without_room(self):
        items, value = [], object()
        before = refcount(value)
        for i in range(100):
            t.list_append_fast(items, value)
        assert items == [value] * 100
        assert refcount(value) == before + 100


@pytest.mark.parametrize("label, action", [
    ("dict-values", lambda d={"a": 1, "b": "x"}: values_of(d)),
    ("subclass-values", lambda d=CountingDict(a=1): values_of(d)),
    ("join", lambda: t.join3("key", "=", "\U0001F600")),
    ("decimal", lambda: t.ssize_to_unicode(123456)),
    ("call-kw", lambda k=KeywordsOnly(): t.call_method_kw(k, "method", ("a",), (1,))),
    ("lookup-method", lambda s=Sample(): t.lookup_method(s, "method")),
])
def test_helpers_do_not_leak(label, action):
    assert_no_growth(action, rounds=20_000)
