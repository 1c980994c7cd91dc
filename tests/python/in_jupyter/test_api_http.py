"""The velmora API in a Jupyter server (pytest-jupyter's, base URL /a%40b/), over real HTTP,
on the compiled handlers and on the twins: what velmora itself answers."""
import asyncio
import datetime
import errno
import json
import logging
import os
import sys
from urllib.parse import quote

import pytest
import tornado

from .velmora_fixtures import BOTH_KINDS, IMPORT, INFO
from http_client import first_answer, responses
from velmora.server.handlers.pipeline_import import body_check, store
from velmora.server.handlers.request_guard import XSRF

pytestmark = BOTH_KINDS


def listing(root):
    return sorted(os.listdir(root))


async def login_cookie(api):
    """The signed login cookie that a token in the URL leaves behind, as name=value."""
    r = await api.info(auth="query")
    assert r.status == 200
    (morsel,) = [c for c in r.headers.get_list("Set-Cookie") if c.startswith("username-")]
    return morsel.split(";", 1)[0]


# --- authentication ---------------------------------------------------------------

@pytest.mark.parametrize("auth", ["header", "query"])
async def test_token_in_header_or_query_opens_both_routes(api, handlers, auth):
    assert (await api.info(auth=auth)).status == 200
    r = await api.import_pipeline({"name": "p", "nodes": []}, auth=auth)
    assert r.status == 201, r.body
    assert listing(api.root) == ["p.pipeline"]


@pytest.mark.parametrize("auth,token", [(None, None), ("header", "wrong"), ("query", "wrong"),
                                        ("query", "t\u00f6k\u00e9n"), ("header", "t\u00f6k\u00e9n")])
async def test_missing_or_wrong_token_is_refused_with_json_403(api, handlers, auth, token):
    for r in (await api.info(auth=auth, token=token),
              await api.import_pipeline({"name": "p", "nodes": []}, auth=auth, token=token)):
        assert r.status == 403
        # The one error shape, saying what to do.
        assert list(r.json()) == ["message"] and "token" in r.json()["message"]
    assert listing(api.root) == []


async def test_login_cookie_reads_but_needs_xsrf_to_write(api, handlers):
    cookie = await login_cookie(api)
    assert (await api.info(auth=None, headers={"Cookie": cookie})).status == 200
    # The cookie alone is what a cross-site form would carry: refused.
    r = await api.import_pipeline({"name": "p", "nodes": []}, auth=None, headers={"Cookie": cookie})
    assert r.status == 403
    assert r.json()["message"].endswith(XSRF)
    assert listing(api.root) == []
    r = await api.import_pipeline({"name": "p", "nodes": []}, auth=None,
                                  headers={"Cookie": cookie + "; _xsrf=abc123", "X-XSRFToken": "abc123"})
    assert r.status == 201, r.body
    assert listing(api.root) == ["p.pipeline"]


async def test_request_for_a_non_local_host_name_is_refused(api, handlers):
    assert (await api.info(headers={"Host": "example.com"})).status == 403
    r = await api.import_pipeline({"name": "p", "nodes": []}, headers={"Host": "example.com:80"})
    assert r.status == 403
    assert listing(api.root) == []


@pytest.mark.parametrize("method,path", [("POST", INFO), ("GET", IMPORT), ("PUT", IMPORT), ("DELETE", INFO)])
async def test_wrong_method_answers_json_405(api, handlers, method, path):
    r = await api.request(method, path, b"{}" if method in ("POST", "PUT") else None)
    assert r.status == 405
    assert "message" in r.json()


# --- server information ------------------------------------------------------------

async def test_info_reports_this_server(api, handlers):
    r = await api.info()
    assert r.status == 200
    info = r.json()
    from velmora import __version__
    assert info["velmora_version"] == __version__
    assert info["tornado_version"] == tornado.version
    assert info["python_version"] == "%d.%d.%d" % sys.version_info[:3]
    assert info["root_dir"] == os.path.realpath(api.root)
    assert info["base_url"] == "/a%40b/"
    assert info["pid"] == os.getpid()
    started = datetime.datetime.fromisoformat(info["started"])
    assert abs(datetime.datetime.now(datetime.timezone.utc) - started) < datetime.timedelta(hours=1)
    assert info["cookie"] == ""


@pytest.mark.parametrize("cookie,echoed", [
    ('theme=dark; q="two words"; n=42', "theme=dark; q=two words; n=42"),
    ("a=1; username-127-0-0-1-8888=secret1; Username-localhost-9999=secret2; b=2; username-=x", "a=1; b=2"),
    ("x=</script>", "x=</script>"),
])
async def test_info_echoes_request_cookies_but_no_login_cookie(api, handlers, cookie, echoed):
    r = await api.info(headers={"Cookie": cookie})
    assert b"</" not in r.body
    assert r.json()["cookie"] == echoed


async def test_info_leaves_out_this_servers_login_cookie(api, handlers):
    cookie = await login_cookie(api)
    r = await api.info(auth=None, headers={"Cookie": "a=1; " + cookie + "; _xsrf=t"})
    assert r.status == 200
    assert r.json()["cookie"] == "a=1; _xsrf=t"


async def test_failure_to_gather_facts_answers_500_with_fixed_message(api, handlers, monkeypatch):
    module = sys.modules[handlers.info.__module__]

    def broken():
        raise OSError("disk gone")

    monkeypatch.setattr(module, "JupyterServerAppInfo", broken)
    r = await api.info()
    assert (r.status, r.json()) == (500, {"message": "Failed to get information."})
    monkeypatch.undo()
    assert (await api.info()).status == 200


# --- pipeline import: success ------------------------------------------------------

async def test_import_writes_the_pipeline_and_answers_a_summary(api, handlers):
    pipeline = {"name": "etl", "nodes": [{"id": "a"}, {"id": "b", "n": 1.5}], "extra": None}
    r = await api.import_pipeline(pipeline)
    assert r.status == 201
    assert int(r.headers["Content-Length"]) == len(r.body)
    path = os.path.join(api.root, "etl.pipeline")
    assert r.json() == {"name": "etl", "path": "etl.pipeline", "node_count": 2,
                        "bytes_written": os.path.getsize(path)}
    with open(path, encoding="utf-8") as f:
        assert json.load(f) == pipeline


@pytest.mark.parametrize("name", ["données", "a b", "x" * 246, "é" * 123, "名前", "a.b", "-", "\u00e9"])
async def test_import_accepts_plain_names(api, handlers, name):
    r = await api.import_pipeline({"name": name, "nodes": [1]})
    assert r.status == 201, r.body
    assert r.json()["path"] == name + ".pipeline"
    assert listing(api.root) == [name + ".pipeline"]


def nested(depth, copies):
    """A pipeline `depth` levels deep, counting its own object and its list of nodes."""
    item = "[" * (depth - 2) + "]" * (depth - 2)
    return ('{"name": "n", "nodes": [%s]}' % ",".join([item] * copies)).encode()


ACCEPTED_BODIES = {
    "non-ASCII text": '{"name": "n", "nodes": ["ünïcødé", "\U0001F600"]}'.encode(),
    "nested to the limit": nested(body_check.MAX_NESTING, 50),
    "floats that re-encode longer": b'{"name": "n", "nodes": [1e15, 1E5, 1e-7, 5e-324, -0.0]}',
    "integer at the digit limit": b'{"name": "n", "nodes": [%s]}' % (b"9" * body_check.MAX_INT_DIGITS),
    "escapes and white space": b'{ "name" : "n" ,\n "nodes": ["\\u00e9\\n\\/", "\\ud83d\\ude00"] }',
    "large, checked in the worker": nested(20, 3000),
}


@pytest.mark.parametrize("body", ACCEPTED_BODIES.values(), ids=list(ACCEPTED_BODIES))
async def test_import_stores_the_body_as_sent(api, handlers, body):
    r = await api.import_pipeline(body)
    assert r.status == 201, r.body
    assert r.json()["bytes_written"] == len(body)
    with open(os.path.join(api.root, "n.pipeline"), "rb") as f:
        assert f.read() == body


# --- pipeline import: refused -----------------------------------------------------

# (body, a part of the message, or None where the text is not settled here)
BAD_BODIES = {
    "empty": (b"", None),
    "not json": (b"name=x&nodes=1", "not valid JSON"),
    "truncated": (b'{"name": "x", "nodes": [', "not valid JSON"),
    "array": (b'[{"name": "x", "nodes": []}]', "must be a JSON object"),
    "null": (b"null", "must be a JSON object"),
    "not utf-8": (b'{"name": "\xff", "nodes": []}', "not UTF-8"),
    "no name": (b'{"nodes": []}', "lacks the field 'name'"),
    "no nodes": (b'{"name": "x"}', "lacks the field 'nodes'"),
    "name not str": (b'{"name": 5, "nodes": []}', "'name' must be a string"),
    "nodes not list": (b'{"name": "x", "nodes": {}}', "'nodes' must be a list"),
    "NaN": (b'{"name": "x", "nodes": [NaN]}', "not a JSON number"),
    "lone surrogate": (b'{"name": "x", "nodes": ["\\ud800"]}', "not valid Unicode"),
    "too deep": (nested(body_check.MAX_NESTING + 1, 1), "nested more than 128 levels"),
    "very deep": (b'{"name": "x", "nodes": ' + b"[" * 100000 + b"]" * 100000 + b"}", "nested more than"),
    "overflow": (b'{"name": "n", "nodes": [-1.5E+309]}', "reads back as infinity"),
    "underflow": (b'{"name": "n", "nodes": [1e-400]}', "reads back as zero"),
    "long integer": (b'{"name": "n", "nodes": [-%s]}' % (b"1" * (body_check.MAX_INT_DIGITS + 1)),
                     "more than %d digits" % body_check.MAX_INT_DIGITS),
    "duplicate key": (b'{"name": "n", "nodes": [{"a": 1, "a": 2}]}', "same key twice"),
    "byte order mark": (b'\xef\xbb\xbf{"name": "n", "nodes": []}', None),
}


@pytest.mark.parametrize("body,message", BAD_BODIES.values(), ids=list(BAD_BODIES))
async def test_import_refuses_bodies_that_are_not_a_pipeline_read_back_as_sent(api, handlers, body, message):
    r = await api.import_pipeline(body)
    assert r.status == 400
    assert list(r.json()) == ["message"]
    assert message is None or message in r.json()["message"], r.json()
    assert listing(api.root) == []


BAD_NAMES = ["", ".", "..", ".hidden", "../escape", "a/b", "/abs", "a\\b", "a\x00b", "a\nb", " lead",
             "trail ", "x" * 247, "é" * 124, "\ud800x", "a</b", "e\u0301", "\uff0e\uff0e\uff0fx", "a\u202eb",
             "a\u2028b"]


@pytest.mark.parametrize("name", BAD_NAMES, ids=[repr(n)[:20] for n in BAD_NAMES])
async def test_import_refuses_names_that_are_not_plain_file_names(api, handlers, name):
    parent = os.path.dirname(api.root)
    before = listing(parent)
    r = await api.import_pipeline(json.dumps({"name": name, "nodes": []}).encode())
    assert r.status == 400 and int(r.headers["Content-Length"]) == len(r.body)
    assert "name" in r.json()["message"]
    assert listing(api.root) == []
    assert listing(parent) == before


async def test_import_of_existing_name_conflicts_unless_overwrite(api, handlers):
    first, second = {"name": "p", "nodes": [1]}, {"name": "p", "nodes": [1, 2]}
    path = os.path.join(api.root, "p.pipeline")
    assert (await api.import_pipeline(first)).status == 201
    for query in ("", "overwrite=false"):
        r = await api.import_pipeline(second, query)
        assert r.status == 409
        assert "overwrite" in r.json()["message"]
        with open(path) as f:
            assert json.load(f) == first
    r = await api.import_pipeline(second, "overwrite=true")
    assert (r.status, r.json()["node_count"]) == (201, 2)
    with open(path) as f:
        assert json.load(f) == second
    assert (await api.import_pipeline({"name": "n", "nodes": []}, "overwrite=true")).status == 201
    assert listing(api.root) == ["n.pipeline", "p.pipeline"]


@pytest.mark.parametrize("value", ["maybe", "TRUE", "1", "", "yes"])
async def test_bad_overwrite_argument_is_refused(api, handlers, value):
    r = await api.import_pipeline({"name": "p", "nodes": []}, "overwrite=" + quote(value))
    assert r.status == 400 and "overwrite" in r.json()["message"]
    assert listing(api.root) == []


@pytest.mark.parametrize("query", ["", "overwrite=true"])
async def test_directory_in_the_way_is_a_conflict(api, handlers, query):
    os.mkdir(os.path.join(api.root, "d.pipeline"))
    r = await api.import_pipeline({"name": "d", "nodes": []}, query)
    assert r.status == 409
    assert listing(api.root) == ["d.pipeline"] and os.path.isdir(os.path.join(api.root, "d.pipeline"))


async def test_overwrite_replaces_a_symlink_not_its_target(api, handlers, tmp_path):
    outside = tmp_path / "outside.txt"
    outside.write_text("keep me")
    link = os.path.join(api.root, "s.pipeline")
    os.symlink(str(outside), link)
    assert (await api.import_pipeline({"name": "s", "nodes": []})).status == 409
    assert (await api.import_pipeline({"name": "s", "nodes": []}, "overwrite=true")).status == 201
    assert outside.read_text() == "keep me"
    assert not os.path.islink(link)


@pytest.mark.parametrize("err,status", [(errno.ENOSPC, 507), (errno.EACCES, 500), (errno.EIO, 500)])
async def test_storage_failures_answer_without_details(api, handlers, monkeypatch, err, status):
    def failing(self, name, data, *, overwrite):
        raise OSError(err, os.strerror(err), os.path.join(self.root_dir, name + ".pipeline"))

    monkeypatch.setattr(store.PipelineStore, "write", failing)
    r = await api.import_pipeline({"name": "p", "nodes": []})
    assert r.status == status
    assert api.root not in r.json()["message"] and "Traceback" not in r.json()["message"]


def refuse(code):
    def refused(*args, **kwargs):
        raise OSError(code, os.strerror(code))
    return refused


@pytest.mark.parametrize("rename,status", [(None, 201), (refuse(errno.ENOSYS), 500)])
async def test_without_hard_links_whole_files_are_stored_or_refused(api, handlers, monkeypatch, rename, status):
    monkeypatch.setattr(store, "hard_link", refuse(errno.EPERM))
    if rename is not None:
        monkeypatch.setattr(store, "rename_noreplace", rename)
    r = await api.import_pipeline({"name": "p", "nodes": [1]})
    assert r.status == status
    if status == 201:
        with open(os.path.join(api.root, "p.pipeline")) as f:
            assert json.load(f) == {"name": "p", "nodes": [1]}
    else:
        assert "hard links" in r.json()["message"] and listing(api.root) == []


@pytest.mark.parametrize("content_type,status", [
    ("application/json", 201), ("application/json; charset=utf-8", 201), ('Application/JSON;charset="UTF-8"', 201),
    ("application/json; charset=iso-8859-1", 415), ("text/plain", 415), ("application/jsonx", 415), (None, 415),
])
async def test_import_needs_a_json_content_type(api, handlers, content_type, status):
    headers = {} if content_type is None else {"Content-Type": content_type}
    r = await api.request("POST", IMPORT, b'{"name": "t", "nodes": []}', headers=headers)
    assert r.status == status, r.body
    assert listing(api.root) == (["t.pipeline"] if status == 201 else [])


# --- bodies over the limit -----------------------------------------------------------

def padded_pipeline(size):
    """A valid pipeline body of exactly `size` bytes."""
    head, tail = b'{"name": "big", "nodes": [], "pad": "', b'"}'
    return head + b"x" * (size - len(head) - len(tail)) + tail


async def test_body_limit_is_inclusive(api, handlers):
    r = await api.import_pipeline(padded_pipeline(1 << 20))
    assert r.status == 201, r.body
    r = await api.import_pipeline(padded_pipeline((1 << 20) + 1), "overwrite=true")
    assert r.status == 413 and str(1 << 20) in r.json()["message"]


@pytest.mark.parametrize("size", [100_000, (1 << 20) + 1])
@pytest.mark.parametrize("refusal", ["no token", "cookie without xsrf", "remote host"])
async def test_refusals_of_large_bodies_reach_the_client(api, handlers, refusal, size):
    # Refused before the body is read, the answer could be lost to a reset.
    headers = {"Content-Type": "application/json"}
    if refusal == "cookie without xsrf":
        headers["Cookie"] = await login_cookie(api)
    elif refusal == "remote host":
        headers["Host"] = "example.com"
    r = await api.import_pipeline(padded_pipeline(size), headers=headers,
                                  auth="header" if refusal == "remote host" else None)
    assert r.status == 403
    assert listing(api.root) == []


def raw_post(api, length_header, body=b"", *extra, auth=True):
    head = ["POST %s%s HTTP/1.1" % (api.base_url, IMPORT), "Host: 127.0.0.1", "Connection: close",
            "Content-Type: application/json", *extra]
    if auth:
        head.append("Authorization: token " + api.token)
    return ("\r\n".join(head) + "\r\n").encode() + length_header + b"\r\n\r\n" + body


TOO_LARGE = "the request body is larger than %d bytes" % (1 << 20)
LENGTH = "the Content-Length is not a number of bytes"
# (label, request maker, status, message); the host's own tornado answers what velmora does not.
RAW_REFUSALS = [
    # "\xb2" (superscript two) passes str.isdigit and fails int.
    ("length \\xb2", lambda api: raw_post(api, b"Content-Length: \xb2"), 400, LENGTH),
    ("length +1", lambda api: raw_post(api, b"Content-Length: +1", b"{"), 400, LENGTH),
    ("6 MiB body", lambda api: raw_post(api, b"Content-Length: %d" % (6 << 20), b"x" * (6 << 20)), 413, TOO_LARGE),
    ("6 MiB body, no token", lambda api: raw_post(api, b"Content-Length: %d" % (6 << 20), b"x" * (6 << 20),
                                                  auth=False), 403, None),
    ("over the limit, before 100 Continue",
     lambda api: raw_post(api, b"Content-Length: %d" % (8 << 20), b"", "Expect: 100-continue"), 413, TOO_LARGE),
    ("chunked, past the limit", lambda api: raw_post(
        api, b"Transfer-Encoding: chunked",
        b"".join(b"ea60\r\n" + b"x" * 60000 + b"\r\n" for _ in range(40)) + b"0\r\n\r\n"), 413, TOO_LARGE),
    ("token not UTF-8", lambda api: raw_post(api, b"Content-Length: 2", b"{}", auth=False).replace(
        b"import HTTP", b"import?token=%ff HTTP"), 400, "'token' is not UTF-8"),
    ("argument not UTF-8", lambda api: raw_post(api, b"Content-Length: 2", b"{}").replace(
        b"import HTTP", b"import?overwrite=%C3 HTTP"), 400, "'overwrite' is not UTF-8"),
]


@pytest.mark.parametrize("make,status,message", [r[1:] for r in RAW_REFUSALS], ids=[r[0] for r in RAW_REFUSALS])
async def test_refusals_reach_the_client_in_the_one_shape(api, handlers, make, status, message):
    answer_status, answer = first_answer(await api.exchange(make(api)))
    assert answer_status == status and list(answer) == ["message"], answer
    assert message is None or message in answer["message"], answer
    assert listing(api.root) == []
    # The host still serves.
    assert (await api.info()).status == 200


async def test_a_body_within_the_limit_gets_100_continue_first(api, handlers):
    body = b'{"name": "c", "nodes": []}'
    reader, writer = await asyncio.open_connection("127.0.0.1", api.port)
    try:
        writer.write(raw_post(api, b"Content-Length: %d" % len(body), b"", "Expect: 100-continue"))
        assert (await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 60)).startswith(b"HTTP/1.1 100")
        writer.write(body)
        answers = responses(await asyncio.wait_for(reader.read(), 60))
    finally:
        writer.close()
    assert [a[0] for a in answers] == [201]
    with open(os.path.join(api.root, "c.pipeline"), "rb") as f:
        assert f.read() == body


# --- load -------------------------------------------------------------------------

async def test_the_event_loop_answers_while_a_large_body_is_checked(api, handlers):
    body = nested(100, 5000)
    pending = asyncio.ensure_future(api.import_pipeline(body))
    await asyncio.sleep(0)
    assert (await api.info()).status == 200
    assert (await pending).status == 201


async def test_concurrent_imports_of_distinct_names_all_land(api, handlers):
    names = ["c%02d" % i for i in range(24)]
    results = await asyncio.gather(*(api.import_pipeline({"name": n, "nodes": [n]}) for n in names))
    assert [r.status for r in results] == [201] * len(names)
    assert listing(api.root) == sorted(n + ".pipeline" for n in names)


async def test_concurrent_imports_of_one_name_create_it_once(api, handlers):
    results = await asyncio.gather(*(api.import_pipeline({"name": "same", "nodes": [i]}) for i in range(16)))
    assert sorted(r.status for r in results) == [201] + [409] * 15
    (winner,) = [i for i, r in enumerate(results) if r.status == 201]
    with open(os.path.join(api.root, "same.pipeline")) as f:
        assert json.load(f)["nodes"] == [winner]


# --- the token in the log ------------------------------------------------------------

SHAPES = {
    "header": ("header", "", INFO),
    "query": ("query", "", INFO),
    "encoded name": (None, "to%6Ben={token}", INFO),
    "encoded value": (None, "token={encoded}", INFO),
    "truncated in a framework message": (None, "token={token}%ff", INFO),
    "with a bad byte": (None, "overwrite=%ff&token={token}", IMPORT),
    "in another argument": ("header", "next={token}", INFO),
}


@pytest.mark.parametrize("auth,query,path", SHAPES.values(), ids=list(SHAPES))
async def test_no_record_of_velmoras_routes_holds_the_token(api, handlers, caplog, auth, query, path):
    encoded = "".join("%%%02X" % ord(c) for c in api.token)
    with caplog.at_level(logging.DEBUG):
        caplog.clear()
        await api.request("GET", path, auth=auth, query=query.format(token=api.token, encoded=encoded))
    text = "\n".join(r.getMessage() for r in caplog.records)
    assert "api/velmora/" in text, "the request was not logged"
    assert api.token not in text, text
