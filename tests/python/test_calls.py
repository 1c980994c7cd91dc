"""Call paths: the vectorcall entries and the call slot of function objects, and
the outward dispatcher with its guarded primitives."""
import sys
import types

import pytest

from conftest import assert_no_growth, import_testmod, refcount

t = import_testmod()

METH_VARARGS = 0x1
METH_KEYWORDS = 0x2
METH_NOARGS = 0x4
METH_O = 0x8
METH_STATIC = 0x20
METH_FASTCALL = 0x80
METH_METHOD = 0x200
FASTKW = METH_FASTCALL | METH_KEYWORDS
FASTKW_METHOD = FASTKW | METH_METHOD

STATIC_METHOD = 0x01
SELF_FROM_FIRST_ARG = 0x04


def raises(exc_type, call, *args, **kwargs):
    """The message of the exception `call` raises; nothing else is kept alive."""
    try:
        call(*args, **kwargs)
    except exc_type as e:
        return str(e)
    raise AssertionError("no %s raised" % exc_type.__name__)


class Plain:
    pass


def outcome(call, *args):
    """What a call gives back, or the type and text of its refusal."""
    try:
        return call(*args)
    except Exception as e:
        return type(e), str(e)


def both_ways(f, args, kwnames=None):
    """The result of a vectorcall with and without the spare leading slot; the
    two must agree."""
    with_slot = t.vectorcall(f, args, kwnames, True)
    without = t.vectorcall(f, args, kwnames, False)
    assert with_slot == without
    return with_slot


# --- creation --------------------------------------------------------------------------

class TestCreation:
    @pytest.mark.parametrize("convention", [METH_VARARGS, METH_FASTCALL, METH_O | METH_KEYWORDS])
    def test_conventions_outside_the_table_are_refused(self, convention):
        assert raises(SystemError, t.make_callable, convention) == "Bad call flags for CompiledFunction"

    @pytest.mark.parametrize("convention, kind", [
        (METH_NOARGS | METH_STATIC, "noargs"),
        (METH_O | METH_STATIC, "o"),
    ])
    def test_static_bit_does_not_change_the_entry(self, convention, kind):
        f = t.make_callable(convention)
        args = () if kind == "noargs" else (1,)
        assert f(*args)[0] == kind


# --- vectorcall entries ----------------------------------------------------------------

class TestNoArgsEntry:
    def test_call_without_arguments_passes_null(self):
        f = t.make_callable(METH_NOARGS)
        assert f() == ("noargs", f, True)
        assert both_ways(f, ()) == ("noargs", f, True)
        assert both_ways(f, (), ()) == ("noargs", f, True)  # an empty names tuple is no keyword

    @pytest.mark.parametrize("args", [(1,), (1, 2, 3)])
    def test_arguments_are_counted(self, args):
        f = t.make_callable(METH_NOARGS)
        assert raises(TypeError, f, *args) == "echo() takes no arguments (%d given)" % len(args)

    def test_keywords_are_refused_before_the_count(self):
        f = t.make_callable(METH_NOARGS)
        assert raises(TypeError, f, x=1) == "echo() takes no keyword arguments"
        assert raises(TypeError, f, 1, 2, x=1) == "echo() takes no keyword arguments"
        assert raises(TypeError, t.vectorcall, f, (1,), ("x",)) == "echo() takes no keyword arguments"


class TestOneArgEntry:
    def test_one_argument(self):
        f = t.make_callable(METH_O)
        marker = object()
        assert f(marker) == ("o", f, marker)
        assert both_ways(f, (marker,)) == ("o", f, marker)

    @pytest.mark.parametrize("args", [(), (1, 2)])
    def test_other_counts(self, args):
        f = t.make_callable(METH_O)
        assert raises(TypeError, f, *args) == "echo() takes exactly one argument (%d given)" % len(args)

    def test_keywords_are_refused(self):
        f = t.make_callable(METH_O)
        assert raises(TypeError, f, 1, x=2) == "echo() takes no keyword arguments"
        assert raises(TypeError, f, x=2) == "echo() takes no keyword arguments"


class TestFastKeywordsEntries:
    def test_vector_and_names_pass_through(self):
        f = t.make_callable(FASTKW)
        assert f(1, 2, x=3) == ("fastkw", f, (1, 2), ("x",), (3,))
        assert both_ways(f, (1, 2, 3), ("x",)) == ("fastkw", f, (1, 2), ("x",), (3,))
        assert f() == ("fastkw", f, (), None, ())

    def test_defining_class_is_passed(self):
        f = t.make_callable(FASTKW_METHOD, defining_class=Plain)
        assert f(1, y=2) == ("method", f, Plain, (1,), ("y",), (2,))
        g = t.make_callable(FASTKW_METHOD)
        assert g() == ("method", g, None, (), None, ())


class TestNativeSelf:
    """flags & 0x5 == 0x4 takes the native self from the first argument."""

    @pytest.mark.parametrize("flags", [0, STATIC_METHOD, SELF_FROM_FIRST_ARG | STATIC_METHOD])
    def test_function_is_self_unless_the_rule_applies(self, flags):
        f = t.make_callable(METH_NOARGS, flags)
        assert f() == ("noargs", f, True)
        assert raises(TypeError, f, Plain()) == "echo() takes no arguments (1 given)"

    def test_first_argument_becomes_self(self):
        obj = Plain()
        assert t.make_callable(METH_NOARGS, SELF_FROM_FIRST_ARG)(obj) == ("noargs", obj, True)
        assert t.make_callable(METH_O, SELF_FROM_FIRST_ARG)(obj, 5) == ("o", obj, 5)
        f = t.make_callable(FASTKW, SELF_FROM_FIRST_ARG)
        assert f(obj, 1, k=2) == ("fastkw", obj, (1,), ("k",), (2,))
        g = t.make_callable(FASTKW_METHOD, SELF_FROM_FIRST_ARG, defining_class=Plain)
        assert g(obj, 1) == ("method", obj, Plain, (1,), None, ())

    @pytest.mark.parametrize("convention", [METH_NOARGS, METH_O, FASTKW, FASTKW_METHOD])
    def test_no_argument_for_self(self, convention):
        f = t.make_callable(convention, SELF_FROM_FIRST_ARG)
        assert raises(TypeError, f) == "echo() needs an argument"
        # The self check comes before the keyword check.
        assert raises(TypeError, t.vectorcall, f, (1,), ("k",)) == "echo() needs an argument"

    def test_counts_exclude_the_self_taken_off(self):
        f = t.make_callable(METH_O, SELF_FROM_FIRST_ARG)
        assert raises(TypeError, f, Plain()) == "echo() takes exactly one argument (0 given)"
        assert raises(TypeError, f, Plain(), 1, 2) == "echo() takes exactly one argument (2 given)"
        g = t.make_callable(METH_NOARGS, SELF_FROM_FIRST_ARG)
        assert raises(TypeError, g, Plain(), 1) == "echo() takes no arguments (1 given)"

    def test_messages_use_the_definition_name_not_the_qualname(self):
        f = t.make_callable(METH_O, qualname="Holder.method")
        assert raises(TypeError, f) == "echo() takes exactly one argument (0 given)"


class TestBinding:
    def test_instance_reaches_the_entry_first(self):
        class Holder:
            m = t.make_callable(FASTKW)
        h = Holder()
        f = Holder.__dict__["m"]
        assert Holder.m is f
        assert h.m(1, k=2) == ("fastkw", f, (h, 1), ("k",), (2,))
        assert Holder.m(h, 1, k=2) == ("fastkw", f, (h, 1), ("k",), (2,))
        bound = h.m
        assert type(bound) is types.MethodType and bound.__func__ is f
        assert bound(1) == ("fastkw", f, (h, 1), None, ())


# --- the call slot ---------------------------------------------------------------------

class TestCallSlot:
    def test_empty_dict_takes_the_no_keywords_branch(self):
        f = t.make_callable(FASTKW)
        assert t.slot_call(f, (1,), {}) == ("fastkw", f, (1,), None, ())
        assert t.slot_call(f, (1,), None) == ("fastkw", f, (1,), None, ())

    def test_keyword_dict_becomes_names_and_values(self):
        f = t.make_callable(FASTKW)
        assert t.slot_call(f, (1,), {"a": 2, "b": 3}) == ("fastkw", f, (1,), ("a", "b"), (2, 3))

    def test_str_subclass_keys_are_accepted(self):
        class S(str):
            pass
        f = t.make_callable(FASTKW)
        got = t.slot_call(f, (), {S("a"): 2})
        assert got[3] == ("a",) and type(got[3][0]) is S

    @pytest.mark.parametrize("convention, args, kwargs, answer, object_call_on_3_8", [
        (FASTKW, (1,), {"a": 1, 2: 3}, (TypeError, "keywords must be strings"), "passed on"),
        (FASTKW, (), {2: 3, "a": 1}, (TypeError, "keywords must be strings"), "passed on"),
        (FASTKW, (), {b"a": 1}, (TypeError, "keywords must be strings"), "passed on"),
        (FASTKW, (), {"a": 1}, "passed on", "passed on"),
        (METH_O, (1,), {"k": 1}, (TypeError, "echo() takes no keyword arguments"), "as the slot"),
        (METH_NOARGS, (), {2: 3}, (TypeError, "keywords must be strings"),
         (TypeError, "echo() takes no keyword arguments")),
        (METH_VARARGS | METH_KEYWORDS, (), {2: 3}, "passed on", "as the slot"),
    ])
    def test_keyword_dict_as_the_interpreter_passes_it(self, convention, args, kwargs, answer,
                                                       object_call_on_3_8):
        # The slot turns the dict into names and values as 3.9's own step
        # does: keys other than str are refused before the entry runs. 3.8's
        # PyObject_Call takes its own step, which hands them on, instead of
        # the slot. Without a vectorcall entry the dict reaches the function.
        f = t.make_callable(convention)
        passed_on = (("varargs_kw", f, args, kwargs) if convention == METH_VARARGS | METH_KEYWORDS
                     else ("fastkw", f, args, tuple(kwargs), tuple(kwargs.values())))
        answer = passed_on if answer == "passed on" else answer
        by_object_call = answer
        if sys.version_info < (3, 9) and object_call_on_3_8 != "as the slot":
            by_object_call = passed_on if object_call_on_3_8 == "passed on" else object_call_on_3_8
        assert outcome(t.slot_call, f, args, kwargs) == answer
        assert outcome(t.object_call, f, args, kwargs) == by_object_call

    def test_no_vectorcall_entry_gets_tuple_and_dict(self):
        f = t.make_callable(METH_VARARGS | METH_KEYWORDS)
        assert t.slot_call(f, (1, 2), {"k": 3}) == ("varargs_kw", f, (1, 2), {"k": 3})
        assert t.slot_call(f, (1,), None) == ("varargs_kw", f, (1,), None)
        assert f(1, k=3) == ("varargs_kw", f, (1,), {"k": 3})

    def test_self_from_the_tuple(self):
        f = t.make_callable(METH_VARARGS | METH_KEYWORDS, SELF_FROM_FIRST_ARG, qualname="Holder.echo")
        obj = Plain()
        assert t.slot_call(f, (obj, 1), {"k": 2}) == ("varargs_kw", obj, (1,), {"k": 2})
        assert t.slot_call(f, (obj,), None) == ("varargs_kw", obj, (), None)
        message = raises(TypeError, t.slot_call, f, ())
        assert message == "unbound method Holder.echo() needs an argument"

    def test_self_from_the_tuple_keeps_no_reference(self):
        f = t.make_callable(METH_VARARGS | METH_KEYWORDS, SELF_FROM_FIRST_ARG)
        obj, arg = Plain(), Plain()
        args = (obj, arg)
        before = (refcount(obj), refcount(arg), refcount(args))
        for _ in range(10):
            t.slot_call(f, args, None)
            raises(TypeError, t.slot_call, f, ())
        assert (refcount(obj), refcount(arg), refcount(args)) == before

    def test_object_call_reaches_the_entry(self):
        # PyObject_Call of this interpreter goes straight to the vectorcall entry.
        f = t.make_callable(FASTKW)
        assert t.object_call(f, (1,), {"a": 2}) == ("fastkw", f, (1,), ("a",), (2,))
        assert t.object_call(f, (1,), {}) == ("fastkw", f, (1,), None, ())


class TestCallWithSelf:
    """The explicit-self dispatch: keyword rule before count rule."""

    def test_varargs(self):
        obj = Plain()
        assert t.call_with_self(METH_VARARGS, obj, (1, 2)) == ("varargs", obj, (1, 2))
        assert t.call_with_self(METH_VARARGS, obj, (1,), {}) == ("varargs", obj, (1,))
        message = raises(TypeError, t.call_with_self, METH_VARARGS, obj, (1,), {"k": 1})
        assert message == "echo() takes no keyword arguments"

    def test_varargs_keywords_passes_the_dict(self):
        obj = Plain()
        got = t.call_with_self(METH_VARARGS | METH_KEYWORDS, obj, (1,), {"k": 1})
        assert got == ("varargs_kw", obj, (1,), {"k": 1})

    @pytest.mark.parametrize("convention, args, message", [
        (METH_NOARGS, (1,), "echo() takes no arguments (1 given)"),
        (METH_O, (), "echo() takes exactly one argument (0 given)"),
        (METH_O, (1, 2), "echo() takes exactly one argument (2 given)"),
    ])
    def test_counts(self, convention, args, message):
        assert raises(TypeError, t.call_with_self, convention, None, args) == message
        # With keywords as well, the keyword rule speaks first.
        assert raises(TypeError, t.call_with_self, convention, None, args, {"k": 1}) == \
            "echo() takes no keyword arguments"

    def test_right_counts(self):
        obj = Plain()
        assert t.call_with_self(METH_NOARGS, obj, (), {}) == ("noargs", obj, True)
        assert t.call_with_self(METH_O, obj, (5,)) == ("o", obj, 5)

    def test_other_conventions(self):
        message = raises(SystemError, t.call_with_self, FASTKW, None, ())
        assert message == "Bad call flags for CompiledFunction"


# --- the outward dispatcher ------------------------------------------------------------

class Recorder:
    """A callable without a vectorcall entry."""

    def __call__(self, *args, **kwargs):
        return args, kwargs


class TestFastCall:
    def test_builtin_one_argument(self):
        assert t.fast_call(len, [1, 2, 3]) == 3
        assert t.fast_call(abs, -4) == 4

    @pytest.mark.parametrize("convention, flags, args", [
        (METH_O, SELF_FROM_FIRST_ARG, (5,)),
        (METH_O, SELF_FROM_FIRST_ARG, ()),
        (METH_NOARGS, SELF_FROM_FIRST_ARG, ()),
        (METH_NOARGS, SELF_FROM_FIRST_ARG, (5,)),
        (METH_O, SELF_FROM_FIRST_ARG | STATIC_METHOD, (5,)),
        (METH_NOARGS, SELF_FROM_FIRST_ARG | STATIC_METHOD, ()),
        (METH_O | METH_STATIC, 0, (5,)),
        (METH_NOARGS | METH_STATIC, 0, ()),
        (METH_O, 0, (5,)),
        (METH_NOARGS, 0, ()),
    ])
    def test_dispatcher_agrees_with_a_direct_call(self, convention, flags, args):
        # The shortcut past the vectorcall entry must not change which self
        # the native entry gets, nor turn a refusal into a call.
        f = t.make_callable(convention, flags)
        direct = outcome(f, *args)
        assert outcome(t.fast_call, f, *args) == direct
        assert outcome(t.vectorcall, f, args, None, True) == direct

    def test_builtin_functions(self):
        marker = Plain()
        assert t.fast_call(t.make_builtin(METH_O, marker), 1) == ("o", marker, 1)
        assert t.fast_call(t.make_builtin(METH_NOARGS, marker)) == ("noargs", marker, True)
        # METH_STATIC: no self.
        assert t.fast_call(t.make_builtin(METH_O | METH_STATIC, marker), 1) == ("o", None, 1)

    def test_convention_mismatch_goes_to_the_callee(self):
        noargs = t.make_builtin(METH_NOARGS)
        assert raises(TypeError, t.fast_call, noargs, 1) == "echo() takes no arguments (1 given)"
        one = t.make_builtin(METH_O)
        assert raises(TypeError, t.fast_call, one) == "echo() takes exactly one argument (0 given)"
        assert raises(TypeError, t.fast_call, one, 1, 2) == "echo() takes exactly one argument (2 given)"

    def test_vectorcall_objects(self):
        f = t.make_callable(FASTKW)
        assert t.fast_call(f, 1, 2) == ("fastkw", f, (1, 2), None, ())
        assert t.fast_call(lambda *a: a, 1, 2, 3) == (1, 2, 3)

    def test_object_without_vectorcall(self):
        r = Recorder()
        assert t.fast_call(r) == ((), {})
        assert t.fast_call(r, 1, 2) == ((1, 2), {})

    def test_keyword_dict(self):
        r = Recorder()
        assert t.fast_call_kw(r, (), {"k": 1}) == ((), {"k": 1})
        assert t.fast_call_kw(r, (1, 2), {"k": 1}) == ((1, 2), {"k": 1})
        assert t.fast_call_kw(r, (), {}) == ((), {})
        f = t.make_callable(FASTKW)
        assert t.fast_call_kw(f, (1,), {"k": 2}) == ("fastkw", f, (1,), ("k",), (2,))
        assert t.fast_call_kw(f, (), {}) == ("fastkw", f, (), None, ())

    def test_not_callable(self):
        assert raises(TypeError, t.fast_call, 1) == "'int' object is not callable"
        assert raises(TypeError, t.fast_call, 1, 2) == "'int' object is not callable"
        assert raises(TypeError, t.call_tuple, 1, ()) == "'int' object is not callable"

    def test_arguments_keep_no_reference(self):
        r, one = Recorder(), t.make_builtin(METH_O)
        a, b = Plain(), Plain()
        before = (refcount(a), refcount(b))
        for _ in range(10):
            t.fast_call(r, a, b)
            t.fast_call_kw(r, (a,), {"k": b})
            t.fast_call(one, a)
            raises(TypeError, t.fast_call, one, a, b)
        assert (refcount(a), refcount(b)) == before


class TestGuardedPrimitives:
    def test_null_without_exception_becomes_system_error(self):
        message = "NULL result without error in PyObject_Call"
        assert raises(SystemError, t.call_tuple, t.make_callable(METH_VARARGS | METH_KEYWORDS), ("null",)) == message
        assert raises(SystemError, t.call_cfunction, t.make_builtin(METH_O), "null") == message
        assert raises(SystemError, t.fast_call, t.make_callable(METH_O), "null") == message

    def test_call_cfunction_self(self):
        marker = Plain()
        assert t.call_cfunction(t.make_builtin(METH_O, marker), 1) == ("o", marker, 1)
        assert t.call_cfunction(t.make_builtin(METH_NOARGS, marker)) == ("noargs", marker, True)
        assert t.call_cfunction(t.make_builtin(METH_NOARGS | METH_STATIC, marker)) == ("noargs", None, True)
        f = t.make_callable(METH_O)
        assert t.call_cfunction(f, 2) == ("o", f, 2)

    def test_call_tuple_passes_tuple_and_dict(self):
        assert t.call_tuple(Recorder(), (1,), {"k": 2}) == ((1,), {"k": 2})
        assert t.call_tuple(Recorder(), ()) == ((), {})

    def test_recursion_guard(self):
        depth = t.recursion_depth()
        # call_tuple(call_tuple, (call_tuple, (... (len, ((),)) ...))): every level
        # goes through Rt_Call and its guard, deeper than the limit allows.
        args = (len, ((),))
        if depth is None:
            # From 3.14 the guard measures the machine stack and keeps no count:
            # the chain doubles until the stack runs out.
            levels, message = 1 << 10, None
            while message is None:
                assert levels < 1 << 24, "no RecursionError at %d levels" % levels
                for _ in range(levels):
                    args = (t.call_tuple, args)
                levels *= 2
                try:
                    t.call_tuple(*args)
                except RecursionError as e:
                    message = str(e)
        else:
            # From 3.12 the guard counts C recursion against a limit of its own,
            # apart from sys.getrecursionlimit(); the probe gives minus what remains.
            levels = -depth if sys.version_info >= (3, 12) else sys.getrecursionlimit()
            for _ in range(levels + 50):
                args = (t.call_tuple, args)
            message = raises(RecursionError, t.call_tuple, *args)
        assert message.endswith(" while calling a Python object"), message
        assert t.recursion_depth() == depth
        # The guard leaves the counter balanced: a shallow chain still works.
        shallow = (len, ((1, 2),))
        for _ in range(20):
            shallow = (t.call_tuple, shallow)
        assert t.call_tuple(*shallow) == 2


class TestUnpackedCalls:
    def test_bound_methods_are_unpacked(self):
        class K:
            def m(self, *args):
                return self, args
        k = K()
        assert t.call_no_args(k.m) == (k, ())
        assert t.call_one_arg(k.m, 1) == (k, (1,))

    def test_bound_function_object_gets_self_as_first_argument(self):
        obj = Plain()
        f = t.make_callable(FASTKW)
        bound = types.MethodType(f, obj)
        assert t.call_no_args(bound) == ("fastkw", f, (obj,), None, ())
        assert t.call_one_arg(bound, 1) == ("fastkw", f, (obj, 1), None, ())

    def test_plain_callables(self):
        assert t.call_no_args(Recorder()) == ((), {})
        assert t.call_one_arg(len, "abc") == 3


# --- leaks -----------------------------------------------------------------------------

def _swallow(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except TypeError:
        pass
    else:
        raise AssertionError("expected TypeError")


@pytest.mark.parametrize("name, action", [
    ("noargs", lambda f=t.make_callable(METH_NOARGS): f()),
    ("one", lambda f=t.make_callable(METH_O): f(1)),
    ("fastkw", lambda f=t.make_callable(FASTKW): f(1, k=2)),
    ("fastkw-method", lambda f=t.make_callable(FASTKW_METHOD, defining_class=Plain): f(1, k=2)),
    ("slot-kwdict", lambda f=t.make_callable(FASTKW): t.slot_call(f, (1,), {"k": 2})),
    ("slot-varargs", lambda f=t.make_callable(METH_VARARGS | METH_KEYWORDS): t.slot_call(f, (1,), {"k": 2})),
    ("fast-call-tuple", lambda r=Recorder(): t.fast_call(r, 1, 2)),
    ("fast-call-kw", lambda r=Recorder(): t.fast_call_kw(r, (1,), {"k": 2})),
])
def test_right_calls_do_not_leak(name, action):
    assert_no_growth(action)


@pytest.mark.parametrize("name, action", [
    ("noargs-count", lambda f=t.make_callable(METH_NOARGS): _swallow(f, 1)),
    ("noargs-keyword", lambda f=t.make_callable(METH_NOARGS): _swallow(f, x=1)),
    ("one-count", lambda f=t.make_callable(METH_O): _swallow(f, 1, 2)),
    ("needs-self", lambda f=t.make_callable(FASTKW, SELF_FROM_FIRST_ARG): _swallow(f)),
    ("slot-keyword", lambda f=t.make_callable(METH_O): _swallow(t.slot_call, f, (1,), {"k": 3})),
    ("slot-unbound", lambda f=t.make_callable(METH_VARARGS | METH_KEYWORDS, SELF_FROM_FIRST_ARG):
        _swallow(t.slot_call, f, ())),
])
def test_wrong_calls_do_not_leak(name, action):
    assert_no_growth(action)
