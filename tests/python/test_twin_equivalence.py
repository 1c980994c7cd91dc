"""The compiled handler modules and their interpreted twins agree: same
results, same exception types and messages, same calls on the framework."""
import collections
import contextlib
import os
from http import HTTPStatus

import pytest
import tornado.escape
from hypothesis import given, settings
from hypothesis import strategies as st

from handler_standins import (CountingDict, Facts, Item, Recorder, ValuesOf, info_handler_class,
                              load_groundwork, load_hostfacts, make_info_handler)

_TWINS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "twins")
if not all(os.path.exists(os.path.join(_TWINS, name)) for name in ("hostfacts.py", "groundwork.py")):
    pytest.skip("the interpreted twins (tests/python/twins/hostfacts.py, groundwork.py) are missing",
                allow_module_level=True)

hostfacts = load_hostfacts()
groundwork = load_groundwork()
from twins import groundwork as twin_groundwork  # noqa: E402 - after the compiled modules
from twins import hostfacts as twin_hostfacts  # noqa: E402

SIDES = [(hostfacts, info_handler_class(hostfacts)),
         (twin_hostfacts, info_handler_class(twin_hostfacts))]
EXAMPLES = settings(max_examples=200, deadline=None)


class _Exploding:
    def __init__(self, exc_type):
        self.exc_type = exc_type

    def __format__(self, fmt):
        raise self.exc_type("format of %s" % self.exc_type.__name__)


class _StrSub(str):
    pass


class _FormatsAs(str):
    def __format__(self, fmt):
        return "[" + str.__str__(self) + "]"


# --- what gets generated: recipes, so that each side gets fresh objects ----

_non_bmp = st.characters(min_codepoint=0x10000, max_codepoint=0x10FFFF)
texts = st.one_of(st.text(max_size=8), st.text(alphabet=_non_bmp, max_size=3),
                  st.text(alphabet="\u00e9\u20ac\u00ff", max_size=4))
cookie_values = st.one_of(
    texts,
    st.integers(),
    st.floats(allow_nan=True, allow_infinity=True),
    st.booleans(),
    texts.map(_StrSub),
    texts.map(_FormatsAs),
    st.none(),
    st.sampled_from([("explode", ValueError), ("explode", KeyboardInterrupt)]),
)
cookie_pairs = st.lists(st.tuples(texts, cookie_values), max_size=6)
containers = st.sampled_from(["dict", "dict-subclass", "values-list", "values-tuple", "values-gen",
                              "none", "no-values"])
json_scalars = st.one_of(st.none(), st.booleans(), st.integers(), st.text(max_size=6), st.sampled_from(["</b>", "a</"]),
                         st.floats(allow_nan=False, allow_infinity=False))
json_values = st.recursive(json_scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.dictionaries(st.text(max_size=4), inner, max_size=3)), max_leaves=8)
facts_dicts = st.dictionaries(st.text(max_size=6), json_values, max_size=4)
facts_kinds = st.one_of(
    facts_dicts.map(lambda d: ("dict", d)),
    facts_dicts.map(lambda d: ("dict-with-cookie", d)),
    st.sampled_from([("none", None), ("ordereddict", None), ("list", None),
                     ("raise", ValueError), ("raise", KeyboardInterrupt), ("dict-raise", LookupError)]),
)


def _value(v):
    if isinstance(v, tuple):
        return _Exploding(v[1])
    return v


def _cookies(container, pairs):
    items = {"c%d" % i: Item(k, _value(v)) for i, (k, v) in enumerate(pairs)}
    if container == "dict":
        return items
    if container == "dict-subclass":
        return CountingDict(items)
    if container == "values-list":
        return ValuesOf(lambda: list(items.values()))
    if container == "values-tuple":
        return ValuesOf(lambda: tuple(items.values()))
    if container == "values-gen":
        return ValuesOf(lambda: (i for i in items.values()))
    if container == "none":
        return None
    return object()


def _provider(kind):
    tag, payload = kind
    if tag == "raise":
        def JupyterServerAppInfo():
            raise payload("provider")

        return JupyterServerAppInfo, None
    if tag == "dict-raise":
        class Broken:
            def dict(self):
                raise payload("dict")

        return Broken, None
    facts = {"dict": lambda: dict(payload or {}),
             "dict-with-cookie": lambda: dict(payload or {}, cookie="old"),
             "none": lambda: None,
             "ordereddict": lambda: collections.OrderedDict(a=1),
             "list": lambda: [1]}[tag]()
    made = Facts(facts)
    return (lambda: made), facts


@contextlib.contextmanager
def _installed(module, factory):
    # The same installation for both sides: the module global the method reads.
    saved = module.__dict__["JupyterServerAppInfo"]
    module.__dict__["JupyterServerAppInfo"] = factory
    try:
        yield
    finally:
        module.__dict__["JupyterServerAppInfo"] = saved


def _outcome(call):
    try:
        value = call()
    except BaseException as exc:  # noqa: B902 - KeyboardInterrupt is compared too
        return ("raise", type(exc), str(exc))
    return ("ok", value)


def _get_info_outcome(module, handler_class, kind, container, pairs):
    factory, facts = _provider(kind)
    cookies = _cookies(container, pairs)
    handler = make_info_handler(handler_class, cookies)
    with _installed(module, factory):
        out = _outcome(lambda: module.ServerAppInfoHandler._get_info(handler))
    if out[0] == "ok":
        status, result = out[1]
        out = ("ok", status, type(status), result, type(result), result is facts and facts is not None)
    calls = getattr(cookies, "values_calls", None)
    return out, (dict(facts) if type(facts) is dict else None), calls


@EXAMPLES
@given(kind=facts_kinds, container=containers, pairs=cookie_pairs)
def test_get_info_agrees(kind, container, pairs):
    compiled, twin = (_get_info_outcome(m, cls, kind, container, pairs) for m, cls in SIDES)
    assert compiled == twin


@EXAMPLES
@given(pairs=cookie_pairs)
def test_cookie_text_agrees_exactly(pairs):
    # Values that format without raising: the texts themselves, widths included.
    pairs = [(k, v) for k, v in pairs if not isinstance(v, tuple)]
    texts_seen = []
    for module, cls in SIDES:
        factory, facts = _provider(("dict", {}))
        with _installed(module, factory):
            status, result = module.ServerAppInfoHandler._get_info(make_info_handler(cls, _cookies("dict", pairs)))
        assert status is HTTPStatus.OK
        texts_seen.append(result["cookie"])
    compiled, twin = texts_seen
    assert compiled == twin  # equal str objects also share their storage width
    assert compiled == "; ".join("%s=%s" % (format(k), format(_value(v))) for k, v in pairs)


# --- _finish_with_result ---------------------------------------------------------

# Usable values are drawn more often than refused ones, so that every line runs.
statuses = st.one_of(
    st.sampled_from(list(HTTPStatus)),
    st.integers(min_value=-10 ** 20, max_value=10 ** 20),
    st.from_regex(r"\A[0-9]{1,4}\Z"),
    st.one_of(st.text(max_size=4), st.none(), st.floats(), st.booleans()),
)
refused_results = st.one_of(
    facts_dicts.map(lambda d: dict(d, bad=object())),
    facts_dicts.map(lambda d: dict(d, bad={1, 2})),
    st.none(),
    facts_dicts.map(collections.OrderedDict),
    st.lists(json_scalars, max_size=2),
)
results = st.integers(0, 9).flatmap(lambda i: facts_dicts if i < 6 else refused_results)
failing = st.integers(0, 9).flatmap(
    lambda i: st.none() if i < 6 else st.sampled_from(["set_header", "set_status", "finish"]))


class _FailingRecorder(Recorder):
    def __init__(self, name):
        super().__init__()
        self.fail_name = name

    def _record(self, name, args, kwargs):
        self.calls.append((name, args, kwargs))
        if name == self.fail_name:
            raise OSError(name + " refused")


def _finish_outcome(module, status, result, fail, by_keyword):
    handler = _FailingRecorder(fail)
    method = module.BasePipelineImportHandler._finish_with_result
    if by_keyword:
        out = _outcome(lambda: method(result=result, self=handler, status_code=status))
    else:
        out = _outcome(lambda: method(handler, status, result))
    calls = [(name, args, {k: (type(v), v) for k, v in kwargs.items()})
             for name, args, kwargs in handler.calls]
    return out, calls


@EXAMPLES
@given(status=statuses, result=results, fail=failing, by_keyword=st.booleans())
def test_finish_with_result_agrees(status, result, fail, by_keyword):
    compiled = _finish_outcome(groundwork, status, result, fail, by_keyword)
    twin = _finish_outcome(twin_groundwork, status, result, fail, by_keyword)
    assert compiled == twin
    if compiled[0][0] == "ok":
        assert compiled[1][1][2]["value"] == (str, str(len(tornado.escape.json_encode(result))))


# --- how the framework methods are found ------------------------------------------
# The compiled calls look methods up as the interpreter's method call does,
# without a bound method: every way of providing (or lacking) one must give
# the twin's outcome, messages included.

class _WithoutFramework:
    pass


class AHandlerClassWhoseNameIsLongerThanFiftyCharactersSoMessagesCapIt:
    pass


class _GetattrFramework:
    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        return lambda *a, **k: self.calls.append((name, a, k))


class _StaticFramework(Recorder):
    set_status = staticmethod(lambda **k: None)


def _shadowed():
    # An instance attribute shadows the class's method.
    rec = Recorder()
    rec.set_header = lambda **k: rec.calls.append(("instance set_header", (), k))
    return rec


class _ClassMethodFinish(Recorder):
    finish = classmethod(lambda cls, chunk: cls.__name__)


@pytest.mark.parametrize("make", [
    _WithoutFramework, AHandlerClassWhoseNameIsLongerThanFiftyCharactersSoMessagesCapIt,
    _GetattrFramework, _StaticFramework, _shadowed, _ClassMethodFinish,
], ids=lambda f: f.__name__[:20])
def test_framework_methods_are_found_as_the_interpreter_finds_them(make):
    outcomes = []
    for module in (groundwork, twin_groundwork):
        handler = make()
        out = _outcome(lambda: module.BasePipelineImportHandler._finish_with_result(
            handler, HTTPStatus.OK, {"a": 1}))
        outcomes.append((out, getattr(handler, "calls", None)))
    assert outcomes[0] == outcomes[1]


class _LongNamedFactsWithoutTheDictMethodWhoseNameRunsPastFifty:
    pass


class _FactsWithGetattr:
    def __getattr__(self, name):
        return lambda: {"via": name}


@pytest.mark.parametrize("facts_class", [
    _LongNamedFactsWithoutTheDictMethodWhoseNameRunsPastFifty, _FactsWithGetattr])
def test_facts_method_is_found_as_the_interpreter_finds_it(facts_class):
    outcomes = []
    for module, handler_class in SIDES:
        handler = make_info_handler(handler_class, {})
        with _installed(module, facts_class):
            outcomes.append(_outcome(handler._get_info))
    assert outcomes[0] == outcomes[1]
