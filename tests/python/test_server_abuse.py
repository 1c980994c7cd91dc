"""A hostile local client against the server on loopback: bodies, tokens in logs,
malformed requests, over-long bodies, cookies and content types."""
import json
import logging
import os
import re
import threading
import urllib.parse

import pytest

import http_fixtures
from http_fixtures import TOKEN, exchange, responses
from velmora.server.handlers.pipeline_import import body_check

live_server = http_fixtures.live_server
server = http_fixtures.server

IMPORT = "/api/velmora/pipelines/import"
INFO = "/api/velmora/server-info"
AUTH = "Authorization: token " + TOKEN


def raw(server, data: bytes, *, then: bytes = b"") -> bytes:
    return exchange(server.client.port, data, then=then)


def request_bytes(method, path, headers=(), body=b""):
    lines = ["%s %s HTTP/1.1" % (method, path), "Host: 127.0.0.1", "Connection: close", *headers]
    return ("\r\n".join(lines) + "\r\n\r\n").encode() + body


def post_bytes(body: bytes, *headers: str, content_type="application/json") -> bytes:
    extra = [AUTH, "Content-Length: %d" % len(body)]
    if content_type:
        extra.append("Content-Type: " + content_type)
    return request_bytes("POST", IMPORT, extra + list(headers), body)


def _logged_index(server, caplog, marker):
    """Index of the log record of a request made now with `marker` in its query."""
    server.client.request("GET", INFO + "?" + marker)
    for _ in range(3000):  # the line may come just after the answer
        for i, r in enumerate(caplog.records):
            if marker in r.getMessage():
                return i
        threading.Event().wait(0.01)
    pytest.fail("the server logged nothing for the marker request")


def records_of(server, caplog, send):
    """The log records (INFO and up) made while `send()` is served, and its result.

    Requests served before and after it mark where its records begin and end.
    """
    start = _logged_index(server, caplog, "start-mark")
    result = send()
    end = _logged_index(server, caplog, "end-mark")
    return [r for r in caplog.records[start + 1:end] if r.levelno >= logging.INFO], result


def stored(server, name):
    with open(os.path.join(server.root, name + ".pipeline"), "rb") as f:
        return f.read()


# --- what an import writes -----------------------------------------------------------

def nested(depth, copies):
    """A pipeline `depth` levels deep, counting its own object and its list of nodes."""
    item = "[" * (depth - 2) + "]" * (depth - 2)
    return ('{"name": "n", "nodes": [%s]}' % ",".join([item] * copies)).encode()


ACCEPTED_BODIES = {
    "nested to the limit": nested(body_check.MAX_NESTING, 50),
    "floats that re-encode longer": b'{"name": "n", "nodes": [1e15, 1E5, 1e-7, 5e-324, -0.0]}',
    "integer at the digit limit": b'{"name": "n", "nodes": [%s]}' % (b"9" * body_check.MAX_INT_DIGITS),
    "escapes and white space": b'{ "name" : "n" ,\n "nodes": ["\\u00e9\\n\\/", "\\ud83d\\ude00"] }',
    "large, checked in the worker": nested(20, 3000),
}


@pytest.mark.parametrize("body", ACCEPTED_BODIES.values(), ids=list(ACCEPTED_BODIES))
def test_import_stores_the_body_as_sent(server, body):
    r = server.client.import_pipeline(body)
    assert r.status == 201, r.body
    assert r.json()["bytes_written"] == len(body)
    assert stored(server, "n") == body
    assert json.loads(stored(server, "n")) == json.loads(body)


REFUSED_BODIES = {
    "too deep": (nested(body_check.MAX_NESTING + 1, 1), "nested more than 128 levels"),
    "too deep, large": (nested(300, 1000), "nested more than 128 levels"),
    "overflow": (b'{"name": "n", "nodes": [1e400]}', "reads back as infinity"),
    "negative overflow": (b'{"name": "n", "nodes": [-1.5E+309]}', "reads back as infinity"),
    "underflow": (b'{"name": "n", "nodes": [1e-400]}', "reads back as zero"),
    "long integer": (b'{"name": "n", "nodes": [-%s]}' % (b"1" * (body_check.MAX_INT_DIGITS + 1)),
                     "more than %d digits" % body_check.MAX_INT_DIGITS),
    "duplicate key": (b'{"name": "n", "nodes": [{"a": 1, "a": 2}]}', "same key twice"),
    "duplicate field": (b'{"name": "n", "name": "m", "nodes": []}', "same key twice"),
    "byte order mark": (b'\xef\xbb\xbf{"name": "n", "nodes": []}', "starts with a byte order mark"),
}


@pytest.mark.parametrize("body,message", REFUSED_BODIES.values(), ids=list(REFUSED_BODIES))
def test_import_refuses_bodies_that_would_not_read_back_as_sent(server, body, message):
    r = server.client.import_pipeline(body)
    assert r.status == 400
    assert message in r.json()["message"]
    assert os.listdir(server.root) == []


def test_the_event_loop_answers_while_a_large_body_is_checked(server):
    # The check runs elsewhere: while it runs, other requests are served on the loop.
    conn = server.client.connect()
    body = nested(100, 5000)
    conn.request("POST", IMPORT, body=body, headers={"Authorization": "token " + TOKEN,
                                                     "Content-Type": "application/json"})
    assert server.client.info().status == 200
    r = conn.getresponse()
    assert r.status == 201
    conn.close()
    assert stored(server, "n") == body


# --- malformed requests ------------------------------------------------------------

MALFORMED = {
    "token not UTF-8": (request_bytes("GET", INFO + "?token=%ff"), 400, "'token' is not UTF-8"),
    "argument not UTF-8": (request_bytes("POST", IMPORT + "?overwrite=%C3",
                                         [AUTH, "Content-Type: application/json"]), 400,
                           "'overwrite' is not UTF-8"),
    "length with underscore": (request_bytes("POST", IMPORT, ["Content-Length: 1_0"]), 400,
                               "Content-Length"),
    # A byte that str.isdigit takes (as latin-1 text) and int refuses.
    "length \u00b2": (request_bytes("POST", IMPORT, [AUTH, "Content-Length: 2"]).replace(
        b"Length: 2", b"Length: \xb2"), 400, "Content-Length is not a number"),
    "length with sign": (request_bytes("POST", IMPORT, ["Content-Length: +5"]), 400, "Content-Length"),
    "two lengths": (request_bytes("POST", IMPORT, ["Content-Length: 1, 2"]), 400, "differ"),
    "length and chunks": (request_bytes("POST", IMPORT, ["Content-Length: 3",
                                                         "Transfer-Encoding: chunked"]), 400, "both"),
    "other transfer coding": (request_bytes("POST", IMPORT, ["Transfer-Encoding: gzip"]), 400,
                              "chunked"),
    "chunk size": (request_bytes("POST", IMPORT, [AUTH, "Transfer-Encoding: chunked",
                                                  "Content-Type: application/json"]) + b"zz\r\n",
                   400, "hexadecimal"),
    "chunk end": (request_bytes("POST", IMPORT, [AUTH, "Transfer-Encoding: chunked",
                                                 "Content-Type: application/json"]) + b"2\r\n{}XX",
                  400, "CRLF"),
    "remote host": (request_bytes("GET", INFO, [AUTH]).replace(b"127.0.0.1", b"example.org"), 403,
                    "Host"),
    "unknown path": (request_bytes("GET", "/api/velmora/%ff%fe", [AUTH]), 404, "Not Found"),
    "wrong method": (request_bytes("DELETE", IMPORT, [AUTH]), 405, "DELETE is not allowed here"),
}


@pytest.mark.parametrize("data,status,message", MALFORMED.values(), ids=list(MALFORMED))
def test_malformed_requests_get_one_json_answer_and_one_log_line(server, caplog, data, status,
                                                                 message):
    with caplog.at_level(logging.DEBUG):
        records, received = records_of(server, caplog, lambda: raw(server, data))
    answers = responses(received)
    assert [a[0] for a in answers] == [status]
    _, headers, body = answers[0]
    assert headers["content-type"].startswith("application/json")
    # The one shape of every error answer.
    assert list(json.loads(body)) == ["message"]
    assert message in json.loads(body)["message"]
    assert len(records) == 1, [r.getMessage() for r in records]
    assert records[0].name == "tornado.access" and str(status) in records[0].getMessage()
    assert "Traceback" not in caplog.text
    # The server still answers.
    assert server.client.info().status == 200


# A head that is not HTTP/1.x gets the framework's own answer: a bare 400, then the close.
MALFORMED_HEADS = {
    "request line": (b"NOT HTTP\r\n\r\n", "request line"),
    "HTTP/2 preface": (b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", "HTTP version"),
    "header line": (b"GET / HTTP/1.1\r\nno colon here\r\n\r\n", "no colon"),
    "token in the request line": (("GET /?token=%s HTTP/9\r\n\r\n" % TOKEN).encode(), "HTTP version"),
}


@pytest.mark.parametrize("data,reason", MALFORMED_HEADS.values(), ids=list(MALFORMED_HEADS))
def test_malformed_heads_get_one_bare_400_and_one_log_line(server, caplog, data, reason):
    with caplog.at_level(logging.DEBUG):
        records, received = records_of(server, caplog, lambda: raw(server, data))
    assert responses(received) == [(400, {}, b"")]
    assert [r.name for r in records] == ["tornado.general"]
    assert reason in records[0].getMessage()
    assert "Traceback" not in caplog.text and TOKEN not in caplog.text
    assert server.client.info().status == 200


# --- the token in the logs -----------------------------------------------------------

TOKEN_SHAPES = {
    "header": {"auth": "header"},
    "query": {"auth": "query"},
    "encoded name": {"auth": None, "path": INFO + "?to%6Ben=" + TOKEN},
    "encoded value": {"auth": None, "path": INFO + "?token=" + "".join("%%%02X" % ord(c) for c in TOKEN)},
    "plus-encoded name": {"auth": None, "path": INFO + "?x=1&+token+=" + TOKEN},
    "truncated in a framework message": {"auth": None, "path": INFO + "?token=" + TOKEN + "%ff"},
    "wrong token with a bad byte": {"auth": None, "path": IMPORT + "?overwrite=%ff&token=" + TOKEN},
    "in the path": {"auth": "header", "path": "/api/velmora/" + TOKEN},
    "in another argument": {"auth": "header", "path": INFO + "?next=" + urllib.parse.quote(TOKEN)},
}


def fragments(secret, n=8):
    return [secret[i:i + n] for i in range(len(secret) - n + 1)]


@pytest.mark.parametrize("shape", TOKEN_SHAPES.values(), ids=list(TOKEN_SHAPES))
def test_no_log_record_holds_the_token(server, caplog, shape):
    with caplog.at_level(logging.DEBUG):
        records, _ = records_of(server, caplog, lambda: server.client.request(
            "GET", shape.get("path", INFO), auth=shape["auth"]))
    text = "\n".join(r.getMessage() for r in records)
    assert records, "the request was not logged"
    assert not [f for f in fragments(TOKEN) if f in text], text
    assert "[secret]" in text or shape["auth"] == "header"


# --- declared and chunked bodies over the limit -------------------------------------

def test_over_limit_length_is_refused_before_100_continue(server):
    data = post_bytes(b"", "Expect: 100-continue").replace(b"Content-Length: 0",
                                                          b"Content-Length: %d" % (8 << 20))
    answers = responses(raw(server, data))
    assert [a[0] for a in answers] == [413]
    assert str(1 << 20) in json.loads(answers[0][2])["message"]


def test_a_body_within_the_limit_gets_100_continue_first(server):
    body = b'{"name": "c", "nodes": []}'
    answers = responses(raw(server, post_bytes(body, "Expect: 100-continue")[:-len(body)], then=body))
    assert [a[0] for a in answers] == [100, 201]
    assert stored(server, "c") == body


@pytest.mark.parametrize("size", [(1 << 20) + 1, 5 << 20, 20 << 20])
def test_over_limit_bodies_get_413_not_a_reset(server, size):
    # Each is read to its end before the connection closes (the client sends it all).
    r = server.client.import_pipeline(b"x" * size)
    assert r.status == 413
    assert os.listdir(server.root) == []


def test_chunked_body_is_refused_once_it_passes_the_limit(server):
    piece = b"x" * 60000
    chunks = b"".join(b"%x\r\n%s\r\n" % (len(piece), piece) for _ in range(40)) + b"0\r\n\r\n"
    data = request_bytes("POST", IMPORT, [AUTH, "Transfer-Encoding: chunked",
                                          "Content-Type: application/json"]) + chunks
    answers = responses(raw(server, data))
    assert [a[0] for a in answers] == [413]
    assert os.listdir(server.root) == []


def test_bodies_on_other_routes_are_limited_too(server):
    data = request_bytes("GET", INFO, [AUTH, "Content-Length: %d" % (2 << 20), "Expect: 100-continue"])
    assert [a[0] for a in responses(raw(server, data))] == [413]


def chunked(*chunks: bytes) -> bytes:
    return b"".join(b"%s\r\n%s\r\n" % (size, data) for size, data in chunks) + b"0\r\n\r\n"


PIPELINE = b'{"name": "c", "nodes": []}'
# Chunk framing as sent: what the body must read back as, or the refusal.
CHUNKINGS = {
    "one chunk": ([(b"%x" % len(PIPELINE), PIPELINE)], 201),
    "upper-case size, extension": ([(b"1A;name=value", PIPELINE[:26])], 201),
    "leading zeros": ([(b"000a", PIPELINE[:10]), (b"%x" % (len(PIPELINE) - 10), PIPELINE[10:])], 201),
    "byte by byte": ([(b"1", PIPELINE[i:i + 1]) for i in range(len(PIPELINE))], 201),
    # int(text, 16) takes each of these.
    "0x prefix": ([(b"0x1a", PIPELINE)], "hexadecimal"),
    "sign": ([(b"+1a", PIPELINE)], "hexadecimal"),
    "underscore": ([(b"1_a", PIPELINE)], "hexadecimal"),
    "17 digits": ([(b"0" * 15 + b"1a", PIPELINE)], "hexadecimal"),
    "empty size": ([(b"", PIPELINE)], "hexadecimal"),
    "size larger than the chunk": ([(b"1b", PIPELINE + b"\r\n0")], "CRLF"),
}


@pytest.mark.parametrize("chunks,expected", CHUNKINGS.values(), ids=list(CHUNKINGS))
def test_chunk_framing_is_read_strictly(server, chunks, expected):
    data = request_bytes("POST", IMPORT, [AUTH, "Transfer-Encoding: chunked",
                                          "Content-Type: application/json"]) + chunked(*chunks)
    answers = responses(raw(server, data))
    if expected == 201:
        assert [a[0] for a in answers] == [201]
        assert stored(server, "c") == PIPELINE
    else:
        assert [a[0] for a in answers] == [400]
        assert expected in json.loads(answers[0][2])["message"]
        assert os.listdir(server.root) == []


# Routes other than the import hold the same framing rules and limit, answered before the app.
OTHER_ROUTES = {
    "length with sign": (request_bytes("GET", INFO, [AUTH, "Content-Length: +2"], b"{}"), 400,
                         "Content-Length"),
    "gzip coding": (request_bytes("GET", INFO, [AUTH, "Transfer-Encoding: gzip"]) + b"GET / HTTP/1.1",
                    400, "chunked"),
    "length over the limit, sent": (request_bytes("GET", "/nowhere", [AUTH, "Content-Length: %d" % (3 << 20)],
                                                  b"x" * (3 << 20)), 413, str(1 << 20)),
    "chunks over the limit": (request_bytes("GET", INFO, [AUTH, "Transfer-Encoding: chunked"])
                              + chunked(*[(b"ea60", b"x" * 60000)] * 40), 413, str(1 << 20)),
    "chunk size": (request_bytes("GET", INFO, [AUTH, "Transfer-Encoding: chunked"]) + b"-1\r\n",
                   400, "hexadecimal"),
}


@pytest.mark.parametrize("data,status,message", OTHER_ROUTES.values(), ids=list(OTHER_ROUTES))
def test_other_routes_hold_the_framing_rules_and_the_limit(server, caplog, data, status, message):
    with caplog.at_level(logging.INFO):
        records, received = records_of(server, caplog, lambda: raw(server, data))
    answers = responses(received)
    assert [a[0] for a in answers] == [status]
    assert message in json.loads(answers[0][2])["message"]
    assert [r.name for r in records] == ["tornado.access"]
    assert server.client.info().status == 200


# --- content types ----------------------------------------------------------------

CONTENT_TYPES = {
    "application/json": 201,
    "application/json; charset=utf-8": 201,
    "Application/JSON;charset=\"UTF-8\"": 201,
    "application/json; charset=iso-8859-1": 415,
    "text/plain": 415,
    "application/x-www-form-urlencoded": 415,
    "multipart/form-data; boundary=x": 415,
    "application/jsonx": 415,
    None: 415,
}


@pytest.mark.parametrize("content_type,status", CONTENT_TYPES.items(), ids=[str(k) for k in CONTENT_TYPES])
def test_import_needs_a_json_content_type(server, content_type, status):
    headers = {} if content_type is None else {"Content-Type": content_type}
    r = server.client.request("POST", IMPORT, b'{"name": "t", "nodes": []}', headers=headers)
    assert r.status == status, r.body
    assert os.listdir(server.root) == (["t.pipeline"] if status == 201 else [])
    if status == 415:
        assert "application/json" in r.json()["message"] or "UTF-8" in r.json()["message"]


# --- cookies --------------------------------------------------------------------------

def test_info_leaves_out_every_jupyter_login_cookie(server):
    cookie = "a=1; username-127-0-0-1-8888=secret1; Username-localhost-9999=secret2; b=2; username-=x"
    r = server.client.info(headers={"Cookie": cookie})
    assert r.json()["cookie"] == "a=1; b=2"


def test_login_cookie_is_samesite_lax(server):
    r = server.client.info()
    (login,) = [v for k, v in r.headers.items()
                if k.lower() == "set-cookie" and v.startswith("username-")]
    assert re.search(r";\s*SameSite=Lax\b", login) and "HttpOnly" in login
