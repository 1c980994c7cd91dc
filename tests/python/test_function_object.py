"""The function object of the Python-level methods: attributes, setters and
their refusals, binding, pickling, weak references, garbage collection,
creation and a leak check.

The handler methods are only read (and refused) here; everything that changes
a function works on probe functions of the test module, made through the same
creation routine.
"""
import asyncio.coroutines
import gc
import importlib
import pickle
import sys
import types
import warnings
import weakref

import pytest

from conftest import assert_no_growth, import_testmod, refcount, run_python

_rt_testmod = import_testmod()

HOSTFACTS = "velmora.server.handlers.info.hostfacts"
GROUNDWORK = "velmora.server.handlers.pipeline_import.groundwork"
FASTCALL_KEYWORDS = 0x82
COROUTINE = 0x08
TYPE_NAME = "_velmora_shared_v1.compiled_function_or_method"

METHODS = {
    HOSTFACTS: dict(cls="ServerAppInfoHandler", name="_get_info",
                    annotations={"return": "Tuple[HTTPStatus, Dict[str, Any]]"}),
    GROUNDWORK: dict(cls="BasePipelineImportHandler", name="_finish_with_result",
                     annotations={"status_code": "HTTPStatus", "result": "Dict[str, Any]", "return": "None"}),
}


def method(module_name):
    info = METHODS[module_name]
    module = importlib.import_module(module_name)
    cls = getattr(module, info["cls"])
    return module, cls, cls.__dict__[info["name"]]


@pytest.fixture(params=[HOSTFACTS, GROUNDWORK], ids=["hostfacts", "groundwork"])
def handler(request):
    return (request.param,) + method(request.param)


def probe(**kwargs):
    return _rt_testmod.make_function(FASTCALL_KEYWORDS, **kwargs)


def interned(text):
    return sys.intern((text + "x")[:-1]) is text


class TestHandlerMethod:
    def test_names(self, handler):
        module_name, module, cls, f = handler
        info = METHODS[module_name]
        assert f.__name__ == info["name"] and interned(f.__name__)
        assert f.__name__ is f.__name__ is f.func_name
        assert f.__qualname__ == "%s.%s" % (info["cls"], info["name"])
        assert f.__module__ == module_name
        assert type(f).__name__ == "compiled_function_or_method"

    def test_plain_attributes(self, handler):
        module_name, module, cls, f = handler
        assert f.__doc__ is None and f.func_doc is None
        assert f.__closure__ is None and f.func_closure is None
        assert f.__globals__ is vars(module) and f.func_globals is vars(module)
        assert f.__code__ is f.func_code and f.__code__.co_name == METHODS[module_name]["name"]
        assert f.__defaults__ is None and f.func_defaults is None
        assert f.__kwdefaults__ is None
        for missing in ("__self__", "__signature__", "__text_signature__", "__wrapped__"):
            assert not hasattr(f, missing), missing

    def test_annotations(self, handler):
        module_name, module, cls, f = handler
        assert f.__annotations__ == METHODS[module_name]["annotations"]
        assert type(f.__annotations__) is dict
        assert f.__annotations__ is f.__annotations__

    def test_is_coroutine(self, handler):
        f = handler[3]
        first = f._is_coroutine
        assert first is False
        assert f._is_coroutine is first

    def test_repr(self, handler):
        module_name, module, cls, f = handler
        assert repr(f) == "<compiled function %s at %#x>" % (f.__qualname__, id(f))

    def test_reduce(self, handler):
        f = handler[3]
        assert f.__reduce__() is f.__qualname__
        assert f.__reduce__(1, 2) is f.__qualname__

    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    def test_pickles_by_qualified_name(self, handler, protocol):
        f = handler[3]
        data = pickle.dumps(f, protocol)
        assert f.__qualname__.encode() in data or f.__name__.encode() in data
        assert pickle.loads(data) is f

    def test_binding(self, handler):
        module_name, module, cls, f = handler
        assert getattr(cls, f.__name__) is f
        assert f.__get__(None, cls) is f
        instance = object.__new__(cls)
        bound = getattr(instance, f.__name__)
        assert type(bound) is types.MethodType
        assert bound.__func__ is f and bound.__self__ is instance
        assert f.__get__(instance, cls).__func__ is f

    def test_weak_reference(self, handler):
        f = handler[3]
        ref = weakref.ref(f)
        assert ref() is f

    @pytest.mark.parametrize("attr, value, message", [
        ("__name__", 3, "__name__ must be set to a string object"),
        ("__qualname__", b"x", "__qualname__ must be set to a string object"),
        ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
        # Not the empty tuple: every part of the process shares it, and its count moves.
        ("__kwdefaults__", (1,), "__kwdefaults__ must be set to a dict object"),
        ("__annotations__", [], "__annotations__ must be set to a dict object"),
    ])
    def test_refused_assignment_changes_nothing(self, handler, attr, value, message):
        f = handler[3]
        before = getattr(f, attr)
        refs = refcount(value)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with pytest.raises(TypeError) as e:
                setattr(f, attr, value)
        assert str(e.value) == message
        assert caught == []
        del e
        assert getattr(f, attr) is before
        assert refcount(value) == refs


class TestSetters:
    @pytest.mark.parametrize("attr, alias", [("__name__", "func_name"), ("__qualname__", None)])
    def test_string_fields(self, attr, alias):
        f = probe()
        class Text(str):
            pass
        value = Text("renamed")
        setattr(f, attr, value)
        assert getattr(f, attr) is value
        if alias:
            assert getattr(f, alias) is value
        old = getattr(f, attr)
        refs = refcount(old)
        setattr(f, attr, "again")
        assert refcount(old) == refs - 1
        message = "%s must be set to a string object" % attr
        with pytest.raises(TypeError) as e:
            delattr(f, attr)
        assert str(e.value) == message
        assert getattr(f, attr) == "again"

    def test_qualname_drives_repr_and_reduce(self):
        f = probe(qualname="Outer.inner")
        assert f.__qualname__ == "Outer.inner"
        f.__qualname__ = "Other.name"
        assert repr(f) == "<compiled function Other.name at %#x>" % id(f)
        assert f.__reduce__() == "Other.name"

    def test_doc_takes_anything(self):
        f = probe()
        assert f.__doc__ is None
        f.__doc__ = 5
        assert f.__doc__ == 5 and f.func_doc == 5
        del f.__doc__
        assert f.__doc__ is None
        f.func_doc = "text"
        assert f.__doc__ == "text"

    @pytest.mark.parametrize("attr, value, other, kind", [
        ("__defaults__", (1,), type("T", (tuple,), {})((2,)), "tuple"),
        ("__kwdefaults__", {"a": 1}, type("D", (dict,), {})(b=2), "dict"),
    ])
    def test_defaults_warn_and_store(self, attr, value, other, kind):
        f = probe()
        warning = "changes to compiled_function.%s will not currently affect the values used in function calls" % attr
        with pytest.warns(RuntimeWarning) as caught:
            setattr(f, attr, value)
        assert [str(w.message) for w in caught] == [warning]
        assert caught[0].filename == __file__  # stack level 1: the assignment's frame
        assert getattr(f, attr) is value
        with pytest.warns(RuntimeWarning):
            setattr(f, attr, other)
        assert getattr(f, attr) is other
        # Calls never see the stored values.
        assert f() == (f, (), None, None)
        with pytest.warns(RuntimeWarning) as caught:
            delattr(f, attr)
        assert [str(w.message) for w in caught] == [warning]
        assert getattr(f, attr) is None
        with pytest.warns(RuntimeWarning):
            setattr(f, attr, None)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with pytest.raises(TypeError) as e:
                setattr(f, attr, "neither")
        assert str(e.value) == "%s must be set to a %s object" % (attr, kind)
        assert caught == []

    def test_func_defaults_is_the_same_field(self):
        f = probe()
        with pytest.warns(RuntimeWarning):
            f.func_defaults = (3,)
        assert f.__defaults__ == (3,)

    @pytest.mark.parametrize("attr, value", [("__defaults__", (1,)), ("__kwdefaults__", {})])
    def test_warning_turned_error_refuses_the_store(self, attr, value):
        f = probe()
        # The tuple is a constant of this file: garbage of earlier tests may hold it.
        gc.collect()
        refs = refcount(value)
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            with pytest.raises(RuntimeWarning):
                setattr(f, attr, value)
        assert getattr(f, attr) is None
        assert refcount(value) == refs

    def test_annotations(self):
        f = probe()
        first = f.__annotations__
        assert first == {} and f.__annotations__ is first
        mine = {"a": "int"}
        f.__annotations__ = mine
        assert f.__annotations__ is mine
        f.__annotations__ = None
        fresh = f.__annotations__
        assert fresh == {} and fresh is not mine and fresh is not first
        assert f.__annotations__ is fresh
        class Annotations(dict):
            pass
        sub = Annotations(x=1)
        f.__annotations__ = sub
        assert f.__annotations__ is sub
        del f.__annotations__
        assert f.__annotations__ == {} and f.__annotations__ is not sub
        refs = refcount(mine)
        with pytest.raises(TypeError) as e:
            f.__annotations__ = [("a", 1)]
        assert str(e.value) == "__annotations__ must be set to a dict object"
        assert refcount(mine) == refs

    def test_attribute_dict(self):
        f = probe()
        assert f.__dict__ == {}
        f.attr = 1
        assert f.__dict__ == {"attr": 1} and f.func_dict is f.__dict__
        replacement = {"other": 2}
        f.__dict__ = replacement
        assert f.other == 2 and f.__dict__ is replacement and not hasattr(f, "attr")
        with pytest.raises(TypeError) as e:
            f.__dict__ = 5
        assert str(e.value) == "__dict__ must be set to a dictionary, not a 'int'"
        with pytest.raises(TypeError) as e:
            del f.__dict__
        assert str(e.value) == "cannot delete __dict__"
        assert f.__dict__ is replacement

    def test_module_member(self):
        f = probe()
        assert f.__module__ == "_rt_testmod"
        f.__module__ = 5
        assert f.__module__ == 5
        del f.__module__
        assert f.__module__ is None

    @pytest.mark.parametrize("attr", ["__globals__", "func_globals", "__closure__", "func_closure",
                                      "__code__", "func_code", "_is_coroutine"])
    def test_read_only(self, attr):
        f = probe()
        before = getattr(f, attr)
        with pytest.raises(AttributeError) as e:
            setattr(f, attr, None)
        assert str(e.value) == "attribute '%s' of '%s' objects is not writable" % (attr, TYPE_NAME)
        assert getattr(f, attr) is before


class TestLazyFields:
    """Fields filled on first read show up in what the collector visits:
    closure, module, dict, name, qualname, doc, globals, code, ...,
    is_coroutine, in that order."""

    def test_doc_is_not_cached_without_a_description(self):
        f = probe()
        assert f.__doc__ is None and f.__doc__ is None
        referents = gc.get_referents(f)
        assert [id(r) for r in referents] == [id(f.__module__), id(f.__qualname__), id(f.__globals__),
                                              id(f.__code__)]
        f.__doc__ = "text"
        assert gc.get_referents(f)[2] == "text"

    def test_is_coroutine_is_computed_once(self):
        f = probe()
        assert f._is_coroutine is False
        assert gc.get_referents(f)[-1] is False

    def test_closure_is_held_but_not_shown(self):
        cell = object()
        f = probe(closure=cell)
        assert f.__closure__ is None
        assert gc.get_referents(f)[0] is cell


class TestCoroutineFlag:
    def test_marker_of_asyncio(self):
        f = probe(flags=COROUTINE)
        marker = f._is_coroutine
        assert marker is asyncio.coroutines._is_coroutine
        assert f._is_coroutine is marker
        assert asyncio.iscoroutinefunction(f)

    def test_without_asyncio_the_answer_is_true(self):
        proc = run_python("""
            import sys
            sys.modules["asyncio.coroutines"] = None
            import _rt_testmod
            f = _rt_testmod.make_function(0x82, 0x08)
            first = f._is_coroutine
            print(first is True, f._is_coroutine is first, sys.exc_info() == (None, None, None))
        """)
        assert proc.stdout.split() == ["True", "True", "True"]
        assert proc.stderr == ""


class TestCreation:
    @pytest.mark.parametrize("convention", [0x001, 0x080, 0x002, 0x00C, 0x200, 0x000],
                             ids=["varargs", "fastcall", "keywords", "noargs-onearg", "method", "none"])
    def test_bad_call_flags(self, convention):
        function_type = type(probe())
        qualname = "refused.qualname"
        refs = refcount(function_type), refcount(_rt_testmod.__dict__)
        with pytest.raises(SystemError) as e:
            _rt_testmod.make_function(convention, qualname=qualname)
        assert str(e.value) == "Bad call flags for CompiledFunction"
        del e
        assert (refcount(function_type), refcount(_rt_testmod.__dict__)) == refs

    @pytest.mark.parametrize("convention, call, received", [
        (0x003, lambda f: f(1, k=2), ((1,), {"k": 2})),
        (0x004, lambda f: f(), ((), None)),
        (0x008, lambda f: f(1), ((1,), None)),
        (0x082, lambda f: f(1, k=2), ((1, 2), ("k",))),
        (0x092, lambda f: f(1), ((1,), None)),
        (0x044, lambda f: f(), ((), None)),
        (0x028, lambda f: f(1), ((1,), None)),
    ], ids=["varargs-keywords", "noargs", "onearg", "fastcall-keywords", "with-class-bit",
            "with-coexist-bit", "with-static-bit"])
    def test_accepted_conventions(self, convention, call, received):
        f = _rt_testmod.make_function(convention)
        assert gc.is_tracked(f)
        self_, args, kw, cls = call(f)
        assert self_ is f and (args, kw) == received and cls is None


class _Name(str):
    """A str that can hold the function it names."""


def _name_holding(f):
    name = _Name("held")
    name.f = f
    return name


# Each writable field made to hold the function itself (the attribute dict's
# own entries are the tests below).
CYCLES = {
    "__dict__": lambda f: setattr(f, "__dict__", {"me": f}),
    "__annotations__ item": lambda f: f.__annotations__.__setitem__("x", f),
    "__annotations__": lambda f: setattr(f, "__annotations__", {"return": f}),
    "__defaults__": lambda f: setattr(f, "__defaults__", (f,)),
    "__kwdefaults__": lambda f: setattr(f, "__kwdefaults__", {"k": f}),
    "__doc__": lambda f: setattr(f, "__doc__", [f]),
    "__name__": lambda f: setattr(f, "__name__", _name_holding(f)),
    "__qualname__": lambda f: setattr(f, "__qualname__", _name_holding(f)),
    "__module__": lambda f: setattr(f, "__module__", [f]),
}


class TestLifetime:
    @pytest.mark.parametrize("field", list(CYCLES))
    def test_cycle_through_each_writable_field_is_collected(self, field):
        f = probe()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # the defaults setters warn
            CYCLES[field](f)
        ref = weakref.ref(f)
        del f
        assert ref() is not None  # only the collector can free it
        gc.collect()
        assert ref() is None

    def test_cycle_through_the_attribute_dict_is_collected(self):
        f = probe()
        f.me = f
        ref = weakref.ref(f)
        del f
        gc.collect()
        assert ref() is None

    def test_cycle_through_the_closure_is_collected(self):
        holder = []
        f = probe(closure=holder)
        holder.append(f)
        ref = weakref.ref(f)
        del f, holder
        gc.collect()
        assert ref() is None

    def test_dropping_a_function_releases_its_fields(self):
        doc, qualname = object(), "Probe.lifetime"
        f = probe(qualname=qualname)
        f.__doc__ = doc
        with pytest.warns(RuntimeWarning):
            f.__defaults__ = defaults = (object(),)
        refs = refcount(doc), refcount(defaults), refcount(qualname)
        function_type = type(f)
        type_refs = refcount(function_type)
        del f
        assert (refcount(doc), refcount(defaults), refcount(qualname)) == tuple(
            n - 1 for n in refs)
        assert refcount(function_type) == type_refs - 1


# Code meets the function between its clear and its deallocation: its
# annotations, the field that clear releases last, park an object outside the
# collector's view (a code object), and the callback of a weak reference to
# that object reads everything and calls the function. The collector's way:
# a cycle's finaliser (run before any clear) takes a weak reference to the
# function, and the annotations are a dict the collector does not track. From
# 3.14 the collector clears such references and tracks every dict, so only C
# code can meet a cleared function; the test module calls the clear slot as C
# code would.
AFTER_CLEAR = """
import gc, weakref, _rt_testmod

class Name(str):
    pass

refs, report = [], {}

class Finder:
    def __del__(self):
        refs.append(weakref.ref(self.f))

def late(_):
    f = refs[0]()
    for attr in %(attributes)r:
        try:
            report[attr] = repr(getattr(f, attr))
        except Exception as e:
            report[attr] = "%%s: %%s" %% (type(e).__name__, e)
    report["repr"] = repr(f).split(" at ")[0]
    report["reduce"] = repr(f.__reduce__())
    report["call"] = repr(f(1, k=2)[1:])

f = _rt_testmod.make_function(0x82, qualname=%(qualname)s)
f.__name__ = %(name)s
f.me = f
code = compile("0", "late", "eval")
watch = weakref.ref(code, late)
f.__annotations__ = {"late": code}
%(clear)s
print(repr(report))
"""

CLEAR_BY = {
    "collector": """
assert not gc.is_tracked(f.__annotations__)
finder = Finder()
finder.f, finder.me = f, finder
del f, finder, code
gc.collect()
""",
    "clear slot": """
refs.append(weakref.ref(f))
del code
_rt_testmod.clear(f)
""",
}

CLEARED = {"__doc__": "None", "func_doc": "None", "__dict__": "{}", "func_dict": "{}",
           "__globals__": "None", "func_globals": "None", "__closure__": "None", "func_closure": "None",
           "__code__": "None", "func_code": "None", "__defaults__": "None", "func_defaults": "None",
           "__kwdefaults__": "None", "__annotations__": "{}", "_is_coroutine": "False",
           "__module__": "None", "call": "((1, 2), ('k',), None)"}


@pytest.mark.parametrize("clear_by", [
    pytest.param("collector", marks=pytest.mark.skipif(
        sys.version_info >= (3, 14), reason="from 3.14 no Python code meets what the collector cleared")),
    "clear slot",
])
@pytest.mark.parametrize("qualname, name, kept_qualname, kept_name", [
    # An exact str holds no reference, so it is in no cycle and stays.
    ('"Probe.cleared"', '"renamed"', "Probe.cleared", "renamed"),
    # A str subclass may hold the function: released, the qualified name
    # becomes empty and the name falls back to the definition's.
    ('Name("Probe.cleared")', 'Name("renamed")', "", "fastcall_keywords"),
], ids=["str", "str subclass"])
def test_a_cleared_function_is_safe_to_touch(qualname, name, kept_qualname, kept_name, clear_by):
    proc = run_python(AFTER_CLEAR % dict(attributes=ATTRIBUTES, qualname=qualname, name=name,
                                         clear=CLEAR_BY[clear_by]))
    report = eval(proc.stdout)
    expected = dict(CLEARED, __name__=repr(kept_name), func_name=repr(kept_name),
                    __qualname__=repr(kept_qualname), reduce=repr(kept_qualname),
                    repr="<compiled function %s" % kept_qualname)
    assert report == expected
    assert proc.stderr == ""


ATTRIBUTES = ["__name__", "func_name", "__qualname__", "__doc__", "func_doc", "__dict__", "func_dict",
              "__globals__", "func_globals", "__closure__", "func_closure", "__code__", "func_code",
              "__defaults__", "func_defaults", "__kwdefaults__", "__annotations__", "_is_coroutine",
              "__module__"]


def test_no_growth_over_many_functions():
    _, cls, method_f = method(HOSTFACTS)
    owner = type("Owner", (), {})()
    function_type = type(method_f)
    # Keeps the interned name alive: otherwise each round interns it anew and
    # frees it, and the resizes of the interpreter's interned dict show up as
    # traced memory that is not a leak.
    keep = probe()
    assert keep.__name__ == "fastcall_keywords"

    def action():
        f = probe(qualname="Owner.leak")
        for attr in ATTRIBUTES:
            getattr(f, attr)
            getattr(method_f, attr)
        f.__get__(owner, type(owner))()
        f.__get__(None, type(owner))
        repr(f)
        f.__reduce__()
        coroutine = probe(flags=COROUTINE)
        coroutine._is_coroutine
        try:
            _rt_testmod.make_function(0x001)
        except SystemError:
            pass

    refs = refcount(function_type)
    assert_no_growth(action)
    assert refcount(function_type) == refs


def _last_entry(error):
    tb = error.__traceback__
    while tb.tb_next:
        tb = tb.tb_next
    return tb


@pytest.mark.parametrize("module_name, source", [
    (HOSTFACTS, "velmora/server/handlers/info/hostfacts.py"),
    (GROUNDWORK, "velmora/server/handlers/pipeline_import/groundwork.py"),
], ids=["hostfacts", "groundwork"])
def test_wrong_call_shows_the_def_line(module_name, source):
    _, cls, f = method(module_name)
    entries = []
    for _ in range(2):
        with pytest.raises(TypeError) as e:
            getattr(cls, f.__name__)()
        entries.append(_last_entry(e.value))
    first, second = entries
    code = first.tb_frame.f_code
    assert (code.co_filename, first.tb_lineno, code.co_name) == (
        source, 26, "%s.%s" % (module_name, f.__qualname__))
    assert first.tb_frame.f_globals is f.__globals__
    # The second failure at the line reuses the first one's code object.
    assert second.tb_frame.f_code is code
