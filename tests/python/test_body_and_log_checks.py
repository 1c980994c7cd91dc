"""The import-body checks against generated bodies, and the token mask of the logs."""
import json
import logging
import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmora.server import log_mask
from velmora.server.handlers.pipeline_import import body_check
from velmora.server.handlers.pipeline_import.body_check import BadRequest, parse_pipeline

# --- generated bodies -------------------------------------------------------------
# Each piece of JSON text comes with the reasons it must be refused, known from
# how it was made rather than from the code under test.

NUMBER = st.from_regex(r"\A-?(0|[1-9][0-9]{0,25})(\.[0-9]{1,25})?([eE][-+]?[0-9]{1,3})?\Z")
SPACE = st.sampled_from(["", " ", "\n  ", "\t"])


def number_piece(text):
    hazards = set()
    if any(c in text for c in ".eE"):
        value = float(text)
        if math.isinf(value):
            hazards.add("infinity")
        elif value == 0 and any(c in "123456789" for c in text.lower().partition("e")[0]):
            hazards.add("zero")
    return text, hazards, 0


def string_piece(value, ascii_only):
    return json.dumps(value, ensure_ascii=ascii_only), set(), 0


SCALARS = st.one_of(
    NUMBER.map(number_piece),
    st.builds(string_piece, st.text(max_size=8), st.booleans()),
    st.sampled_from(["true", "false", "null"]).map(lambda t: (t, set(), 0)),
)


def array_piece(items, pad):
    text = "[" + pad + ("," + pad).join(t for t, _, _ in items) + pad + "]"
    return text, set().union(*(h for _, h, _ in items)), 1 + max((d for _, _, d in items), default=0)


def object_piece(pairs, pad):
    keys = [k for k, _ in pairs]
    hazards = set().union(*(h for _, (_, h, _) in pairs))
    if len(set(keys)) != len(keys):
        hazards.add("duplicate")
    text = "{" + ",".join("%s%s:%s%s" % (pad, json.dumps(k), pad, v[0]) for k, v in pairs) + "}"
    return text, hazards, 1 + max((v[2] for _, v in pairs), default=0)


def deep(piece, levels):
    text, hazards, depth = piece
    return "[" * levels + text + "]" * levels, hazards, depth + levels


PIECES = st.recursive(
    SCALARS,
    lambda inner: st.one_of(
        st.builds(array_piece, st.lists(inner, max_size=4), SPACE),
        st.builds(object_piece, st.lists(st.tuples(st.sampled_from("abc"), inner), max_size=3), SPACE),
        st.builds(deep, inner, st.integers(1, 80)),
    ),
    max_leaves=12,
)


def pipeline_body(nodes):
    text, hazards, depth = nodes
    # The pipeline object and its list of nodes add two levels.
    if depth + 2 > body_check.MAX_NESTING:
        hazards = hazards | {"depth"}
    return ('{"name": "p", "nodes": [%s]}' % text).encode(), hazards


def strict_load(data):
    def refuse(pairs):
        assert len(set(k for k, _ in pairs)) == len(pairs)
        return dict(pairs)

    def no_constants(name):
        raise AssertionError(name)

    return json.loads(data, object_pairs_hook=refuse, parse_constant=no_constants)


@settings(max_examples=300, deadline=None)
@given(PIECES.map(pipeline_body))
def test_bodies_are_accepted_exactly_when_they_read_back_as_sent(case):
    body, hazards = case
    try:
        pipeline, name, nodes = parse_pipeline(body)
    except BadRequest as e:
        assert hazards, "refused a body that reads back as sent: %s" % e
        return
    assert not hazards, "accepted a body with %s" % hazards
    # What is stored is the body itself, so a strict reader gets the same value back.
    assert strict_load(body) == pipeline and name == "p"
    assert all(not isinstance(v, float) or math.isfinite(v) for v in _leaves(pipeline))


def _leaves(value):
    stack = [value]
    while stack:
        v = stack.pop()
        if isinstance(v, dict):
            stack.extend(v.values())
        elif isinstance(v, list):
            stack.extend(v)
        else:
            yield v


@pytest.mark.parametrize("text,depth", [
    ('"[[[{"', 0),
    ('["\\"[[", {"a": [1]}]', 3),
    ('[[], [[]], {"x": {"y": []}}]', 4),
    ('"\\\\" [', 1),
    ("", 0),
])
def test_nesting_depth_ignores_brackets_in_strings(text, depth):
    assert body_check.nesting_depth(text) == depth


# --- the token mask ----------------------------------------------------------------

SECRET = "0123456789abcdef0123456789abcdef01234567"


@pytest.fixture
def mask():
    m = log_mask.TokenMask()
    m.add(SECRET)
    return m


LEAKS = [
    "GET /api?token=%s HTTP/1.1" % SECRET,
    "GET /api?TOKEN=%s" % SECRET,
    "GET /api?a=1&to%%6Ben=%s" % SECRET,
    "GET /api?token=%%%s" % "%".join("%02x" % ord(c) for c in SECRET),
    "GET /api?next=%s%%26x" % SECRET[:20],
    "Invalid unicode in token: %r" % (SECRET.encode()[:40] + b"\xff"),
    "Authorization: token %s" % SECRET,
    "headers={'Authorization': 'token %s'}" % SECRET,
    "path /files/%s/x" % SECRET,
]


@pytest.mark.parametrize("text", LEAKS)
def test_mask_leaves_no_fragment_of_the_token(mask, text):
    masked = mask.mask(text)
    assert log_mask.MASK in masked
    assert not any(SECRET[i:i + log_mask.FRAGMENT] in masked
                   for i in range(len(SECRET) - log_mask.FRAGMENT + 1)), masked


@pytest.mark.parametrize("text", [
    "200 GET /api/velmora/server-info?overwrite=true (127.0.0.1) 1.52ms",
    "a fragment too short to matter: %s" % SECRET[:7],
    "",
])
def test_mask_keeps_lines_without_the_token(mask, text):
    assert mask.mask(text) == text


def test_mask_rewrites_arguments_and_tracebacks_of_a_record(mask):
    logger = logging.getLogger("velmora.test-mask")
    try:
        raise ValueError("bad uri /x?token=" + SECRET)
    except ValueError as e:
        record = logger.makeRecord(logger.name, logging.ERROR, __file__, 1, "failed %s %d",
                                   ("?token=" + SECRET, 3), (type(e), e, e.__traceback__))
    assert mask.filter(record)
    text = logging.Formatter().format(record)
    assert SECRET not in text and SECRET[:8] not in text
    assert "failed ?token=[secret] 3" in text and "ValueError: bad uri /x?token=[secret]" in text


def test_guarding_adds_the_mask_once_to_velmoras_logger_alone():
    for token in ("another-" + SECRET, "T", "another-" + SECRET):
        mask = log_mask.guard_own_records(token)
    assert logging.getLogger(log_mask.OWN_LOGGER).filters.count(mask) == 1
    assert mask not in logging.getLogger("tornado.access").filters


# The shape of velmora's hints in its answers, which its access lines quote.
HINT = "send the header 'Authorization: token <token>', or once ?token=<token> in the URL"
# (token, text, what the log shows): secrets are masked where they travel whatever the token; the
# token's own text only when it has 8 characters or more; hints are never rewritten.
MASKING = [
    ("T", "403 GET /api/velmora/server-info (127.0.0.1) 0.52ms", None),
    ("T", "the request body must be UTF-8 (charset=utf-8)", None),
    ("T", "GET /api?token=T&x=Tea", "GET /api?token=[secret]&x=Tea"),
    ("T", "GET /api?a=1&to%6Ben=T", "GET /api?a=1&to%6Ben=[secret]"),
    ("T", "GET /api?_xsrf=2|abc|T|1", "GET /api?_xsrf=[secret]"),
    ("T", "GET /api?token=", None),
    ("T", "GET /api?next=T", None),
    ("T", "Authorization: token T", "Authorization: token [secret]"),
    ("T", "headers={'Authorization': 'Bearer T', 'Host': 'h'}",
     "headers={'Authorization': 'Bearer [secret]', 'Host': 'h'}"),
    ("T", '{"Authorization": "T"}', '{"Authorization": "[secret]"}'),
    ("T", 'Cookie: a=1; username-127-0-0-1-8888="2|1:0|10:17|T"; _xsrf=2|ab',
     "Cookie: a=1; username-127-0-0-1-8888=[secret]; _xsrf=[secret]"),
    ("T", '{"Cookie": "username-localhost-8888=\\"2|1:0|x\\"; b=2"}',
     '{"Cookie": "username-localhost-8888=[secret]; b=2"}'),
    ("T", HINT, None),
    (SECRET, HINT, None),
    (SECRET, "Authorization: token <token>", None),
    ("abcdefg", "x abcdefg y", None),
    ("abcdefgh", "x abcdefgh y", "x [secret] y"),
    ("abcdefgh", "GET /api?next=abcdefgh%26x", "GET /api?next=[secret]"),
]


@pytest.mark.parametrize("token,text,shown", MASKING)
def test_secrets_are_masked_where_they_travel(token, text, shown):
    mask = log_mask.TokenMask()
    mask.add(token)
    assert mask.mask(text) == (text if shown is None else shown)
