"""Module globals read through per-site caches, imports with the sys.modules
shortcut and relative levels, and class construction (bases, metaclass,
namespace) - through the handler modules and through probes."""
import builtins
import itertools
import json
import sys
import textwrap
import traceback
import types

import pytest

from conftest import fast_path, import_testmod, needs_fast_path, refcount, run_python

t = import_testmod()
from handler_standins import CountedFacts
from velmora.server.handlers.info import hostfacts

INFO_SOURCE = "velmora/server/handlers/info/hostfacts.py"
INFO_NAME = "velmora.server.handlers.info.hostfacts.ServerAppInfoHandler._get_info"
INFO_INIT = "init velmora.server.handlers.info.hostfacts"


def hostfacts_entries(exc):
    return [(fs.lineno, fs.name) for fs in traceback.extract_tb(exc.__traceback__)
            if fs.filename == INFO_SOURCE]


class Handler:
    cookies = {}


class StandInStatus:
    OK = "stand-in OK"
    INTERNAL_SERVER_ERROR = "stand-in 500"


class OtherStatus:
    OK = "other OK"


@pytest.fixture
def info(monkeypatch):
    monkeypatch.setitem(hostfacts.__dict__, "JupyterServerAppInfo", CountedFacts)
    CountedFacts.made = 0
    return Handler()


GET_INFO = hostfacts.ServerAppInfoHandler._get_info


# --- module globals through the handler ------------------------------------------------

class TestHandlerGlobals:
    def test_rebinding_is_seen_at_the_next_call(self, info, monkeypatch):
        assert GET_INFO(info)[0] is hostfacts.HTTPStatus.OK
        monkeypatch.setitem(hostfacts.__dict__, "HTTPStatus", StandInStatus)
        assert GET_INFO(info) == ("stand-in OK", {"cookie": ""})
        hostfacts.__dict__["HTTPStatus"] = OtherStatus
        assert GET_INFO(info)[0] == "other OK"
        assert GET_INFO(info)[0] == "other OK"  # the cached value, version unchanged

    def test_deleted_global_fails_at_its_line(self, info, monkeypatch):
        monkeypatch.delitem(hostfacts.__dict__, "HTTPStatus")
        for _ in range(2):  # the second read answers from the cache
            try:
                GET_INFO(info)
            except NameError as e:
                assert str(e) == "name 'HTTPStatus' is not defined"
                assert hostfacts_entries(e) == [(27, INFO_NAME)]
            else:
                raise AssertionError("no NameError")
        assert CountedFacts.made == 0  # failed before the guarded block

    def test_builtin_is_found_and_shadowed(self, info, monkeypatch):
        monkeypatch.delitem(hostfacts.__dict__, "HTTPStatus")
        monkeypatch.setattr(builtins, "HTTPStatus", StandInStatus, raising=False)
        assert GET_INFO(info)[0] == "stand-in OK"
        # Builtins are read at every call: a change there is seen at once.
        builtins.HTTPStatus = OtherStatus
        assert GET_INFO(info)[0] == "other OK"
        # A module global of the same name wins over the builtin...
        hostfacts.__dict__["HTTPStatus"] = StandInStatus
        assert GET_INFO(info)[0] == "stand-in OK"
        # ...and deleting it makes the builtin visible again.
        del hostfacts.__dict__["HTTPStatus"]
        assert GET_INFO(info)[0] == "other OK"

    def test_missing_factory_is_caught(self, info, monkeypatch):
        monkeypatch.delitem(hostfacts.__dict__, "JupyterServerAppInfo")
        status, result = GET_INFO(info)
        assert status is hostfacts.HTTPStatus.INTERNAL_SERVER_ERROR
        assert result == {"message": "Failed to get information."}
        assert sys.exc_info() == (None, None, None)


# --- module globals through the probe's read sites -------------------------------------

_names = itertools.count()


@pytest.fixture
def site():
    """A clean read site and a global name unique to the test."""
    t.global_cache_reset(0)
    name = "probe_global_%d" % next(_names)
    yield name
    t.__dict__.pop(name, None)
    t.__dict__.pop("len", None)
    t.global_cache_reset(0)


def version():
    return t.dict_version(t.__dict__)


class TestReadSite:
    def test_cache_follows_the_dict_version(self, site):
        assert t.global_cache(0) == (0, False, None)
        value = object()
        t.__dict__[site] = value
        assert t.global_read(site) is value
        if not fast_path("GLOBAL_CACHE"):  # left out: the site keeps nothing
            assert t.global_cache(0) == (0, False, None)
            return
        assert t.global_cache(0) == (version(), True, value)
        seen = version()
        assert t.global_read(site) is value
        assert t.global_cache(0)[0] == seen
        replacement = object()
        t.__dict__[site] = replacement
        assert version() != seen
        assert t.global_read(site) is replacement
        assert t.global_cache(0) == (version(), True, replacement)

    @needs_fast_path("GLOBAL_CACHE")
    def test_missing_name(self, site):
        for _ in range(2):
            try:
                t.global_read(site)
            except NameError as e:
                assert str(e) == "name '%s' is not defined" % site
            else:
                raise AssertionError("no NameError")
            # The failed lookup still records the version it saw.
            assert t.global_cache(0) == (version(), False, None)

    @needs_fast_path("GLOBAL_CACHE")
    def test_builtins_are_read_every_time(self, site, monkeypatch):
        first, second = object(), object()
        monkeypatch.setattr(builtins, site, first, raising=False)
        assert t.global_read(site) is first
        cached = t.global_cache(0)
        assert cached == (version(), False, None)
        setattr(builtins, site, second)
        assert t.global_read(site) is second
        assert t.global_cache(0) == cached

    def test_global_shadows_builtin(self, site):
        mine = object()
        t.__dict__["len"] = mine
        assert t.global_read("len") is mine
        del t.__dict__["len"]
        assert t.global_read("len") is len

    @needs_fast_path("GLOBAL_CACHE")
    def test_sites_are_independent(self, site):
        t.global_cache_reset(1)
        t.__dict__[site] = 1
        assert t.global_read(site, 0) == 1
        assert t.global_read("len", 1) is len
        assert t.global_cache(0)[1:] == (True, 1)
        assert t.global_cache(1)[1:] == (False, None)
        t.global_cache_reset(1)

    def test_value_keeps_its_reference_count(self, site):
        value = object()
        t.__dict__[site] = value
        before = refcount(value)
        for _ in range(10):
            t.global_read(site)
        assert refcount(value) == before


class RaisesOnGet:
    def __init__(self, exc):
        self.exc = exc

    def __getattr__(self, name):
        raise self.exc


class AttributeErrorSubclass(AttributeError):
    pass


class TestAttributeWithoutError:
    @pytest.mark.parametrize("obj", [
        object(),
        RaisesOnGet(AttributeError("x")),
        RaisesOnGet(AttributeErrorSubclass("x")),
        types.ModuleType("m"),
    ])
    def test_missing(self, obj):
        assert t.get_attr_no_error(obj, "nothing_here") == ("missing",)

    def test_other_errors_stand(self):
        with pytest.raises(KeyError):
            t.get_attr_no_error(RaisesOnGet(KeyError("k")), "nothing_here")

    def test_present(self):
        m = types.ModuleType("m")
        m.x = 5
        assert t.get_attr_no_error(m, "x") == 5

    def test_builtin_name(self):
        assert t.get_builtin_name("len") is len
        with pytest.raises(NameError) as e:
            t.get_builtin_name("no_such_builtin_anywhere")
        assert str(e.value) == "name 'no_such_builtin_anywhere' is not defined"


# --- imports -----------------------------------------------------------------------------

class Finder:
    """Records every module the import machinery looks for."""

    def __init__(self):
        self.names = []

    def find_spec(self, name, path=None, target=None):
        self.names.append(name)
        return None


_packages = itertools.count()


@pytest.fixture
def tree(tmp_path, monkeypatch):
    """A package tree on disk with a name unique to the test, and a finder
    that records lookups; both gone afterwards."""
    top = "imptree_%d" % next(_packages)
    files = {
        "__init__.py": "VALUE = 1\n",
        "misc.py": "NAME = 'misc'\n",
        "a/__init__.py": "",
        "a/b/__init__.py": "",
        "a/b/sib.py": "X = 'sib'\n",
        "a/b/c.py": "",
    }
    for rel, text in files.items():
        path = tmp_path / top / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    monkeypatch.syspath_prepend(str(tmp_path))
    finder = Finder()
    monkeypatch.setattr(sys, "meta_path", [finder] + sys.meta_path)
    imports = []
    original = builtins.__import__

    def recording_import(name, *args, **kwargs):
        # Other threads of the test process import too: keep only this tree's names.
        if name == "misc" or name.startswith(top):
            imports.append(name)
        return original(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", recording_import)
    yield types.SimpleNamespace(
        top=top, finder=finder, imports=imports,
        globals={"__name__": top + ".a.b.c", "__package__": top + ".a.b"})
    for name in [n for n in sys.modules if n == top or n.startswith(top + ".")]:
        del sys.modules[name]


class TestImportModule:
    def test_sys_modules_entry_with_every_name_skips_the_machinery(self, tree, monkeypatch):
        stand_in = types.ModuleType(tree.top + ".misc")
        stand_in.NAME = "stand-in"
        stand_in.OTHER = 2
        monkeypatch.setitem(sys.modules, tree.top + ".misc", stand_in)
        got = t.import_module("misc", ("NAME", "OTHER"), 3, tree.globals, tree.top + ".misc")
        assert got is stand_in
        assert tree.finder.names == [] and tree.imports == []

    def test_missing_name_imports_with_the_whole_list(self, tree, monkeypatch):
        stand_in = types.ModuleType(tree.top + ".misc")
        stand_in.__path__ = []  # a package: the machinery looks for the names as submodules
        stand_in.NAME = "present"
        monkeypatch.setitem(sys.modules, tree.top + ".misc", stand_in)
        got = t.import_module("misc", ("NAME", "ABSENT"), 3, tree.globals, tree.top + ".misc")
        assert got is stand_in
        assert tree.finder.names == [tree.top + ".misc.ABSENT"]
        assert tree.imports == []  # the C-level import, not builtins.__import__

    @pytest.mark.parametrize("level, name, absolute, attr, value", [
        (1, "sib", ".a.b.sib", "X", "sib"),
        (3, "misc", ".misc", "NAME", "misc"),
    ])
    def test_relative_levels(self, tree, level, name, absolute, attr, value):
        absolute = tree.top + absolute
        got = t.import_module(name, (attr,), level, tree.globals, absolute)
        assert got is sys.modules[absolute] and getattr(got, attr) == value
        assert absolute in tree.finder.names
        # Now the shortcut answers, and nothing is looked up any more.
        del tree.finder.names[:]
        assert t.import_module(name, (attr,), level, tree.globals, absolute) is got
        assert tree.finder.names == []

    def test_plain_dotted_import_binds_the_top_package(self, tree):
        dotted = tree.top + ".a.b.sib"
        top = t.import_module(dotted)
        assert top is sys.modules[tree.top] and dotted in sys.modules
        del tree.finder.names[:]
        assert t.import_module(dotted) is top
        assert t.import_module(tree.top) is top
        assert tree.finder.names == []

    def test_plain_import_without_the_top_package(self, tree, monkeypatch):
        ghost = tree.top + "_ghost"
        monkeypatch.setitem(sys.modules, ghost + ".sub", types.ModuleType(ghost + ".sub"))
        with pytest.raises(ModuleNotFoundError) as e:
            t.import_module(ghost + ".sub")
        assert str(e.value) == "No module named '%s'" % ghost
        assert tree.finder.names == [ghost]

    @pytest.mark.parametrize("blocked, name, fromlist", [
        ("", "", None),
        ("", ".a.b.sib", None),
        (".a.b.sib", ".a.b.sib", ("X",)),
    ])
    def test_blocked_entry_fails_as_the_interpreter_does(self, tree, monkeypatch, blocked, name, fromlist):
        t.import_module(tree.top + name)  # the real modules are in sys.modules now
        monkeypatch.setitem(sys.modules, tree.top + blocked, None)
        with pytest.raises(ModuleNotFoundError) as e:
            t.import_module(tree.top + name, fromlist, 0, None, tree.top + name)
        assert str(e.value) == "import of %s halted; None in sys.modules" % (tree.top + blocked)

    def test_missing_module(self, tree):
        with pytest.raises(ModuleNotFoundError):
            t.import_module(tree.top + ".nope", ("x",), 0, None, tree.top + ".nope")


class TestImportFrom:
    def test_attribute(self, tree):
        top = t.import_module(tree.top)
        assert t.import_from(top, "VALUE") == 1

    def test_submodule_only_in_sys_modules(self, tree, monkeypatch):
        top = t.import_module(tree.top)
        extra = types.ModuleType(tree.top + ".extra")
        monkeypatch.setitem(sys.modules, tree.top + ".extra", extra)
        assert not hasattr(top, "extra")
        assert t.import_from(top, "extra") is extra

    @pytest.mark.parametrize("make", [
        lambda: types.ModuleType("plain"),
        lambda: RaisesOnGet(KeyError("other failure")),
        lambda: object(),
    ])
    def test_failures_become_import_error(self, make):
        obj = make()
        try:
            t.import_from(obj, "nothere")
        except ImportError as e:
            assert str(e) == "cannot import name nothere"
            assert type(e) is ImportError and e.__context__ is None
        else:
            raise AssertionError("no ImportError")

    def test_module_without_a_name(self):
        m = types.ModuleType("nameless")
        del m.__name__
        with pytest.raises(ImportError) as e:
            t.import_from(m, "nothere")
        assert str(e.value) == "cannot import name nothere"

    def test_names_are_stored_in_order_until_a_failure(self, tree, monkeypatch):
        stand_in = types.ModuleType(tree.top + ".partial")
        stand_in.first = 1
        monkeypatch.setitem(sys.modules, tree.top + ".partial", stand_in)
        g = dict(tree.globals)
        with pytest.raises(ImportError) as e:
            t.import_names_into(g, tree.top + ".partial", ("first", "second"), 0, tree.top + ".partial")
        assert str(e.value) == "cannot import name second"
        assert g["first"] == 1 and "second" not in g
        stand_in.second = 2
        t.import_names_into(g, tree.top + ".partial", ("second", "first"), 0, tree.top + ".partial")
        assert list(g)[-2:] == ["first", "second"] and g["second"] == 2


# --- the handler module's own imports, in a fresh interpreter ----------------------------

RECORDING_PRELUDE = """
import builtins, importlib, json, sys, traceback, types

class Finder:
    def __init__(self):
        self.names = []
    def find_spec(self, name, path=None, target=None):
        self.names.append(name)
        return None

def record():
    finder = Finder()
    sys.meta_path.insert(0, finder)
    calls = []
    original = builtins.__import__
    def recording_import(name, *args, **kwargs):
        calls.append(name)
        return original(name, *args, **kwargs)
    builtins.__import__ = recording_import
    return finder, calls
"""


def run_json(*pieces):
    code = RECORDING_PRELUDE + "".join(textwrap.dedent(p) for p in pieces)
    out = run_python(code).stdout
    return json.loads(out.strip().splitlines()[-1])


class TestHandlerImports:
    def test_present_modules_are_not_imported_again(self):
        got = run_json("""
            import http, typing
            import velmora.server.misc, velmora.server.handlers.info.groundwork
            finder, calls = record()
            m = importlib.import_module("velmora.server.handlers.info.hostfacts")
            print(json.dumps([finder.names, calls,
                              m.JupyterServerAppInfo is velmora.server.misc.JupyterServerAppInfo]))
        """)
        names, calls, same = got
        assert names == ["velmora.server.handlers.info.hostfacts"] and same
        # Only the constant table's own zlib import goes through __import__.
        assert set(calls) <= {"zlib"}

    def test_entry_without_the_name_takes_the_full_import(self):
        got = run_json("""
            import http, typing
            import velmora.server.handlers.info.groundwork
            stand_in = types.ModuleType("velmora.server.misc")
            stand_in.__path__ = []
            sys.modules["velmora.server.misc"] = stand_in
            finder, calls = record()
            try:
                importlib.import_module("velmora.server.handlers.info.hostfacts")
            except ImportError as e:
                entries = [(f.filename, f.lineno, f.name) for f in traceback.extract_tb(e.__traceback__)
                           if f.filename.startswith("velmora/")]
                print(json.dumps([str(e), entries, finder.names,
                                  "velmora.server.handlers.info.hostfacts" in sys.modules]))
        """)
        message, entries, names, kept = got
        assert message == "cannot import name JupyterServerAppInfo"
        assert entries == [[INFO_SOURCE, 20, INFO_INIT]]
        assert "velmora.server.misc.JupyterServerAppInfo" in names
        assert not kept


# --- class construction ------------------------------------------------------------------

class Recorded(type):
    """A metaclass that records what class construction hands it."""

    log = []

    @classmethod
    def __prepare__(mcs, name, bases, **kwargs):
        Recorded.log.append(("prepare", name, bases, kwargs))
        return OrderedNamespace()

    def __new__(mcs, name, bases, ns, **kwargs):
        Recorded.log.append(("new", name, bases, list(ns.order), type(ns).__name__, kwargs))
        return super().__new__(mcs, name, bases, dict(ns))


class OrderedNamespace(dict):
    def __init__(self):
        super().__init__()
        self.order = []

    def __setitem__(self, key, value):
        self.order.append(key)
        super().__setitem__(key, value)


class RecordedBase(metaclass=Recorded):
    pass


class MetaA(type):
    pass


class MetaB(type):
    pass


class MetaAB(MetaA, MetaB):
    pass


class WithA(metaclass=MetaA):
    pass


class WithB(metaclass=MetaB):
    pass


class WithAB(metaclass=MetaAB):
    pass


class Entries:
    """A base that is not a class and stands for the classes it returns."""

    def __init__(self, *classes):
        self.classes = classes
        self.seen = []

    def __mro_entries__(self, bases):
        self.seen.append(bases)
        return self.classes


CONFLICT = ("metaclass conflict: the metaclass of a derived class must be a (non-strict) "
            "subclass of the metaclasses of all its bases")


class TestResolveBases:
    def test_class_bases_give_the_same_tuple(self):
        bases = (int, RecordedBase)
        assert t.resolve_bases(bases) is bases
        assert t.resolve_bases(()) == ()

    def test_entries_are_spliced_in(self):
        e = Entries(WithA, WithB)
        bases = (int, e, str)
        assert t.resolve_bases(bases) == (int, WithA, WithB, str)
        assert e.seen == [bases]  # called with the whole unresolved tuple
        assert t.resolve_bases((e, Entries())) == (WithA, WithB)

    def test_non_class_without_entries_is_kept(self):
        obj = object()
        assert t.resolve_bases((obj,)) == (obj,)
        assert t.resolve_bases((RaisesOnGet(AttributeError("x")),))[0].exc.args == ("x",)

    def test_class_with_an_entries_method_stays(self):
        class HasEntries:
            def __mro_entries__(self, bases):
                raise AssertionError("not called for a class")
        assert t.resolve_bases((HasEntries,)) == (HasEntries,)

    @pytest.mark.parametrize("make, exc, message", [
        (lambda: types.SimpleNamespace(__mro_entries__=lambda bases: [int]), TypeError,
         "__mro_entries__ must return a tuple"),
        (lambda: RaisesOnGet(KeyError("lookup")), KeyError, "'lookup'"),
        (lambda: types.SimpleNamespace(__mro_entries__=lambda bases: 1 / 0), ZeroDivisionError,
         "division by zero"),
    ])
    def test_failures(self, make, exc, message):
        with pytest.raises(exc) as e:
            t.resolve_bases((int, make()))
        assert str(e.value) == message


class TestCalculateMetaclass:
    @pytest.mark.parametrize("bases, winner", [
        ((), type),
        ((int,), type),
        ((WithA,), MetaA),
        ((int, WithA), MetaA),
        ((WithA, WithAB), MetaAB),
        ((WithAB, WithA, WithB), MetaAB),
    ])
    def test_most_derived(self, bases, winner):
        assert t.calculate_metaclass(bases) is winner

    def test_conflict(self):
        with pytest.raises(TypeError) as e:
            t.calculate_metaclass((WithA, WithB))
        assert str(e.value) == CONFLICT


class TestNamespace:
    def test_prepare_gets_name_and_bases(self):
        Recorded.log.clear()
        bases = (RecordedBase,)
        ns = t.prepare_namespace(Recorded, bases, "N", "Q.N", "mod")
        assert Recorded.log == [("prepare", "N", bases, {})]
        assert ns.order == ["__module__", "__qualname__"]
        assert ns == {"__module__": "mod", "__qualname__": "Q.N"}

    def test_without_metaclass(self):
        ns = t.prepare_namespace(None, (), "N", "N", "mod")
        assert type(ns) is dict and list(ns.items()) == [("__module__", "mod"), ("__qualname__", "N")]

    def test_prepare_result_that_refuses_items(self):
        class Meta(type):
            @classmethod
            def __prepare__(mcs, name, bases):
                return []
        with pytest.raises(TypeError) as e:
            t.prepare_namespace(Meta, (), "N", "N", "mod")
        assert str(e.value) == "list indices must be integers or slices, not str"

    def test_store_into_dict_and_mapping(self):
        ns = {}
        t.set_namespace_item(ns, "some_name", 1)
        assert ns == {"some_name": 1}
        mapping = OrderedNamespace()
        t.set_namespace_item(mapping, "some_name", 2)
        assert mapping.order == ["some_name"]

    def test_create_class(self):
        Recorded.log.clear()
        ns = OrderedNamespace()
        ns["__module__"] = "mod"
        cls = t.create_class(Recorded, "Made", (RecordedBase,), ns)
        assert type(cls) is Recorded and cls.__name__ == "Made" and cls.__bases__ == (RecordedBase,)
        assert Recorded.log == [("new", "Made", (RecordedBase,), ["__module__"], "OrderedNamespace", {})]


class TestDefineClass:
    def test_plain_base(self):
        cls = t.define_class("ProbePlain", int)
        assert cls.__bases__ == (int,) and cls.__module__ == "_rt_testmod"
        assert cls.__qualname__ == "ProbePlain" and t.ProbePlain is cls
        assert "__orig_bases__" not in cls.__dict__
        f = cls.__dict__["probe"]
        assert f.__qualname__ == "ProbePlain.probe" and f.__annotations__ == {"a": "b"}
        assert cls(5).probe(1, 2) == 3  # the instance, then the two arguments

    def test_metaclass_sees_the_namespace_in_statement_order(self):
        Recorded.log.clear()
        cls = t.define_class("ProbeRecorded", RecordedBase)
        assert type(cls) is Recorded
        assert Recorded.log == [
            ("prepare", "ProbeRecorded", (RecordedBase,), {}),
            ("new", "ProbeRecorded", (RecordedBase,), ["__module__", "__qualname__", "probe"],
             "OrderedNamespace", {}),
        ]

    def test_entries_base_sets_orig_bases(self):
        Recorded.log.clear()
        e = Entries(RecordedBase)
        cls = t.define_class("ProbeEntries", e)
        assert cls.__bases__ == (RecordedBase,) and cls.__orig_bases__ == (e,)
        assert Recorded.log[1][3] == ["__module__", "__qualname__", "__orig_bases__", "probe"]

    def test_conflict(self):
        with pytest.raises(TypeError) as e:
            t.define_class("ProbeConflict", Entries(WithA, WithB))
        assert str(e.value) == CONFLICT
        assert t.define_class_line() == 24
        assert "ProbeConflict" not in t.__dict__

    def test_failing_body(self):
        with pytest.raises(RuntimeError):
            t.define_class("ProbeFailing", int, True)
        assert t.define_class_line() == 26
        assert "ProbeFailing" not in t.__dict__


class TestHandlerClassStatement:
    """The real module body, with the base class replaced before it runs."""

    STAND_IN = """
        import http, typing, velmora.server.misc

        class Meta(type):
            log = []
            @classmethod
            def __prepare__(mcs, name, bases, **kwargs):
                Meta.log.append(["prepare", name, [b.__name__ for b in bases], sorted(kwargs)])
                return Namespace()
            def __new__(mcs, name, bases, ns, **kwargs):
                Meta.log.append(["new", name, [b.__name__ for b in bases], ns.order, type(ns).__name__])
                return super().__new__(mcs, name, bases, dict(ns))

        class Namespace(dict):
            def __init__(self):
                super().__init__()
                self.order = []
            def __setitem__(self, key, value):
                self.order.append(key)
                super().__setitem__(key, value)

        class Base(metaclass=Meta):
            pass

        class Other(type):
            pass

        class OtherBase(metaclass=Other):
            pass

        class Entries:
            def __init__(self, *classes):
                self.classes = classes
            def __mro_entries__(self, bases):
                return self.classes

        stand_in = types.ModuleType("velmora.server.handlers.info.groundwork")
        sys.modules[stand_in.__name__] = stand_in
        """

    def test_namespace_order_and_no_orig_bases(self):
        got = run_json(self.STAND_IN, """
            stand_in.BaseInfoHandler = Base
            Meta.log.clear()
            m = importlib.import_module("velmora.server.handlers.info.hostfacts")
            cls = m.ServerAppInfoHandler
            print(json.dumps([Meta.log, type(cls).__name__, "__orig_bases__" in cls.__dict__]))
        """)
        assert got == [[["prepare", "ServerAppInfoHandler", ["Base"], []],
                        ["new", "ServerAppInfoHandler", ["Base"], ["__module__", "__qualname__", "_get_info"],
                         "Namespace"]],
                       "Meta", False]

    def test_entries_base(self):
        got = run_json(self.STAND_IN, """
            entries = Entries(Base)
            stand_in.BaseInfoHandler = entries
            Meta.log.clear()
            m = importlib.import_module("velmora.server.handlers.info.hostfacts")
            cls = m.ServerAppInfoHandler
            print(json.dumps([Meta.log[1][3], cls.__orig_bases__ == (entries,),
                              [b.__name__ for b in cls.__bases__]]))
        """)
        assert got == [["__module__", "__qualname__", "__orig_bases__", "_get_info"], True, ["Base"]]

    def test_metaclass_conflict_fails_the_import(self):
        got = run_json(self.STAND_IN, """
            stand_in.BaseInfoHandler = Entries(Base, OtherBase)
            try:
                importlib.import_module("velmora.server.handlers.info.hostfacts")
            except TypeError as e:
                entries = [(f.filename, f.lineno, f.name) for f in traceback.extract_tb(e.__traceback__)
                           if f.filename.startswith("velmora/")]
                print(json.dumps([str(e), entries]))
        """)
        assert got == [CONFLICT, [[INFO_SOURCE, 24, INFO_INIT]]]
