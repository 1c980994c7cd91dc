"""The runtime's shared types: one function type and one metatype per process,
registered in the shared module whichever module starts first, and the
metatype's refusals."""
import importlib
import sys

import pytest

from conftest import needs_compiled, refcount
from test_module_startup import GROUNDWORK, HOSTFACTS, SOURCES, child

pytestmark = needs_compiled

SHARED = "_velmora_shared_v1"
NEW_MODULE_KEYS = ["__doc__", "__loader__", "__name__", "__package__", "__spec__"]

# Child helpers: each module's function object, whichever module it is.
FUNCTIONS = """
import traceback
def function_of(name):
    if name == "_rt_testmod":
        return importlib.import_module(name).make_function(0x82)
    module = importlib.import_module(name)
    if name == HOSTFACTS:
        return module.ServerAppInfoHandler.__dict__["_get_info"]
    return module.BasePipelineImportHandler.__dict__["_finish_with_result"]
def failure_of(name):
    try:
        importlib.import_module(name)
    except BaseException as e:
        last = traceback.extract_tb(e.__traceback__)[-1]
        return [type(e).__name__, str(e), [last.filename, last.lineno, last.name]]
    return None
def shared():
    return sys.modules.get("%s")
""" % SHARED


@pytest.mark.parametrize("order", [
    [HOSTFACTS, GROUNDWORK, "_rt_testmod"],
    [GROUNDWORK, HOSTFACTS, "_rt_testmod"],
    ["_rt_testmod", GROUNDWORK, HOSTFACTS],
], ids=["hostfacts-first", "groundwork-first", "testmod-first"])
def test_every_module_uses_the_first_registered_types(order):
    result = child(prelude=FUNCTIONS, code="""
        order = %r
        seen = []
        for name in order:
            f = function_of(name)
            seen.append((type(f), type(type(f))))
        registry = vars(shared())
        function_type = registry["compiled_function_or_method"]
        metatype = registry["_common_types_metatype"]
        report({"keys": sorted(registry),
                "types": [t is function_type for t, _ in seen],
                "metatypes": [m is metatype for _, m in seen],
                "names": [function_type.__qualname__, metatype.__qualname__],
                "bases": [b.__name__ for b in metatype.__bases__] + [b.__name__ for b in function_type.__bases__],
                "shared_is_module": type(shared()) is type(sys)})
    """ % (order,))
    assert result == {
        "keys": sorted(NEW_MODULE_KEYS + ["_common_types_metatype", "compiled_function_or_method"]),
        "types": [True] * 3, "metatypes": [True] * 3,
        "names": ["compiled_function_or_method", "_common_types_metatype"],
        "bases": ["type", "object"], "shared_is_module": True,
    }


INIT_LINE_1 = [SOURCES[HOSTFACTS], 1, "init " + HOSTFACTS]


def test_non_type_under_the_function_key_fails_start_up():
    result = child(prelude=FUNCTIONS, code="""
        seeded = standin(%r, compiled_function_or_method=12345)
        failure = failure_of(HOSTFACTS)
        kept = [seeded.compiled_function_or_method, isinstance(seeded._common_types_metatype, type)]
        del seeded.compiled_function_or_method
        metatype = seeded._common_types_metatype
        f = function_of(HOSTFACTS)
        report({"failure": failure, "kept": kept, "retry": [type(type(f)) is metatype,
                type(f) is seeded.compiled_function_or_method, counts[HOSTFACTS]]})
    """ % SHARED)
    assert result == {
        "failure": ["TypeError", "Shared runtime type compiled_function_or_method is not a type object",
                    INIT_LINE_1],
        # The metatype registered before the failure stays, and serves the retry.
        "kept": [12345, True],
        "retry": [True, True, 1],
    }


@pytest.mark.parametrize("seed, message", [
    ("type('Small', (), {})", "Shared runtime type compiled_function_or_method has the wrong size, try recompiling"),
    ("type('Big', (), {'__slots__': tuple('s%d' % i for i in range(40))})",
     "Shared runtime type compiled_function_or_method has the wrong size, try recompiling"),
], ids=["smaller", "larger"])
def test_function_type_of_another_size_fails_start_up(seed, message):
    result = child(prelude=FUNCTIONS, code="""
        seeded = standin(%r, compiled_function_or_method=%s)
        report({"failure": failure_of(HOSTFACTS), "size": seeded.compiled_function_or_method.__basicsize__,
                "counts": counts[HOSTFACTS]})
    """ % (SHARED, seed))
    assert result["size"] != 176
    assert result == {"failure": ["TypeError", message, INIT_LINE_1], "size": result["size"], "counts": 0}


def test_non_type_under_the_metatype_key_fails_start_up():
    result = child(prelude=FUNCTIONS, code="""
        seeded = standin(%r, _common_types_metatype="not a type")
        report({"failure": failure_of(GROUNDWORK), "keys": sorted(vars(seeded))})
    """ % SHARED)
    assert result == {
        "failure": ["TypeError", "Shared runtime type _common_types_metatype is not a type object",
                    [SOURCES[GROUNDWORK], 1, "init " + GROUNDWORK]],
        # A failed fetch registers nothing.
        "keys": sorted(NEW_MODULE_KEYS + ["_common_types_metatype"]),
    }


def test_any_seeded_metatype_is_accepted():
    # The metatype's size is never compared; any type will do.
    result = child(prelude=FUNCTIONS, code="""
        class Meta(type):
            extra = "seeded"
        seeded = standin(%r, _common_types_metatype=Meta)
        f = function_of(HOSTFACTS)
        report({"meta": type(type(f)) is Meta, "registered": type(f) is seeded.compiled_function_or_method,
                "kept": seeded._common_types_metatype is Meta, "counts": counts[HOSTFACTS]})
    """ % SHARED)
    assert result == {"meta": True, "registered": True, "kept": True, "counts": 1}


def test_a_seeded_metatype_cannot_make_function_records():
    # Only the runtime makes function objects; a metatype without a refusing
    # call slot must not hand out a record with null fields.
    result = child(prelude=FUNCTIONS, code="""
        class Meta(type):
            pass
        standin(%r, _common_types_metatype=Meta)
        t = type(function_of(HOSTFACTS))
        try:
            t()
            report("made")
        except TypeError as e:
            report(str(e))
    """ % SHARED)
    assert result == "cannot create '_velmora_shared_v1.compiled_function_or_method' instances"


# --- in this process ---------------------------------------------------------


@pytest.fixture(scope="module")
def f():
    module = importlib.import_module(HOSTFACTS)
    return module.ServerAppInfoHandler.__dict__["_get_info"]


@pytest.fixture(scope="module")
def function_type(f):
    return type(f)


@pytest.fixture(scope="module")
def metatype(function_type):
    return type(function_type)


def test_registry_holds_this_process_types(function_type, metatype):
    registry = vars(sys.modules[SHARED])
    assert registry["compiled_function_or_method"] is function_type
    assert registry["_common_types_metatype"] is metatype
    g = importlib.import_module(GROUNDWORK).BasePipelineImportHandler.__dict__["_finish_with_result"]
    assert type(g) is function_type


def test_module_names(f, function_type, metatype):
    assert function_type.__module__ == SHARED
    assert f.__module__ == HOSTFACTS
    assert function_type.__name__ == "compiled_function_or_method"
    assert repr(function_type) == "<class '%s.compiled_function_or_method'>" % SHARED
    assert metatype.__name__ == "_common_types_metatype"


def test_type_layout(function_type, metatype):
    assert function_type.__basicsize__ == 176 and function_type.__itemsize__ == 0
    assert function_type.__dictoffset__ > 0 and function_type.__weakrefoffset__ > 0
    assert function_type.__flags__ & 0x64D80 == 0x64D80
    if sys.version_info >= (3, 10):
        # 0x100 and 0x80 became the interpreter's immutable and no-instances
        # flags: on the metatype they would replace its own refusals (and its
        # creation slot), so it carries neither there.
        assert metatype.__flags__ & 0x40180 == 0x40000
    else:
        assert metatype.__flags__ & 0x40180 == 0x40180
    assert not metatype.__flags__ & 0x400  # not a base type
    assert metatype.__bases__ == (type,) and function_type.__bases__ == (object,)


def test_offset_members_are_not_instance_attributes(f, function_type):
    # They only tell the type where its fields are; on an instance they would
    # read those fields' pointers as numbers.
    for name in ("__dictoffset__", "__vectorcalloffset__", "__weaklistoffset__"):
        assert name not in vars(function_type)
        with pytest.raises(AttributeError):
            getattr(f, name)
    assert function_type.__dictoffset__ == 56 and function_type.__weakrefoffset__ == 40


INSTANTIATE = "Cannot instantiate runtime internal types"
IMMUTABLE = "Runtime internal types are immutable"


class TestMetatypeRefusals:
    @pytest.mark.parametrize("make", [
        lambda t, m: t(),
        lambda t, m: t("x", y=1),
        lambda t, m: m("X", (), {}),
        lambda t, m: m(),
        lambda t, m: type("X", (t,), {}),
    ], ids=["call-type", "call-type-args", "call-metatype", "call-metatype-bare", "type-with-base"])
    def test_instantiation(self, function_type, metatype, make):
        refs = refcount(function_type), refcount(metatype)
        with pytest.raises(TypeError) as e:
            make(function_type, metatype)
        assert str(e.value) == INSTANTIATE
        del e
        assert (refcount(function_type), refcount(metatype)) == refs

    @pytest.mark.parametrize("new", [lambda t: t.__new__(t), lambda t: object.__new__(t)],
                             ids=["type-new", "object-new"])
    def test_new_cannot_bypass_the_metatype(self, function_type, new):
        # Refused as the interpreter refuses its own function type, which has
        # no creation slot either (each version in its own words).
        with pytest.raises(TypeError) as builtin:
            new(type(len))
        with pytest.raises(TypeError) as e:
            new(function_type)
        assert str(e.value) == str(builtin.value).replace(
            type(len).__name__, "%s.%s" % (function_type.__module__, function_type.__name__))

    def test_class_statement_with_the_function_type_as_base(self, function_type):
        with pytest.raises(TypeError) as e:
            class Derived(function_type):
                pass
        assert str(e.value) == INSTANTIATE

    def test_class_statement_deriving_from_the_metatype(self, metatype):
        with pytest.raises(TypeError) as e:
            class DerivedMeta(metatype):
                pass
        assert str(e.value) == "type '%s._common_types_metatype' is not an acceptable base type" % SHARED

    @pytest.mark.parametrize("change", [
        lambda t: setattr(t, "extra", 1),
        lambda t: setattr(t, "__repr__", lambda self: "x"),
        lambda t: setattr(t, "__doc__", "doc"),
        lambda t: delattr(t, "__repr__"),
        lambda t: delattr(t, "missing"),
    ], ids=["set-new", "set-slot", "set-doc", "del-existing", "del-missing"])
    def test_attributes_are_fixed(self, f, function_type, change):
        refs = refcount(function_type)
        with pytest.raises(TypeError) as e:
            change(function_type)
        assert str(e.value) == IMMUTABLE
        del e
        assert refcount(function_type) == refs
        assert "extra" not in vars(function_type)
        assert "__repr__" in vars(function_type)
        assert repr(f).startswith("<compiled function ")

    def test_metatype_keeps_ordinary_attributes(self, metatype):
        metatype.probe_attribute = 1
        try:
            assert metatype.probe_attribute == 1
        finally:
            del metatype.probe_attribute
        assert not hasattr(metatype, "probe_attribute")
