"""The velmora API over real HTTP on loopback, on the compiled handlers and on the twins."""
import concurrent.futures
import datetime
import errno
import json
import os
import sys
from urllib.parse import quote

import pytest
import tornado

import http_fixtures
import velmora
from velmora.server.handlers.pipeline_import import store
from velmora.server.handlers.request_guard import XSRF, how_to_authenticate
from http_fixtures import TOKEN, start_server

# The fixtures of this module.
live_server = http_fixtures.live_server
server = http_fixtures.server

INFO = "/api/velmora/server-info"
IMPORT = "/api/velmora/pipelines/import"


def listing(root):
    return sorted(os.listdir(root))


def login_cookie(server):
    """The signed login cookie that a token request leaves behind, as name=value."""
    r = server.client.info()
    assert r.status == 200
    cookies = [v for k, v in r.headers.items() if k.lower() == "set-cookie"]
    (morsel,) = [c for c in cookies if c.startswith("username-")]
    return morsel.split(";", 1)[0]


# --- authentication ---------------------------------------------------------------

@pytest.mark.parametrize("auth", ["header", "query"])
def test_token_in_header_or_query_opens_both_routes(server, auth):
    assert server.client.info(auth=auth).status == 200
    r = server.client.import_pipeline({"name": "p", "nodes": []}, auth=auth)
    assert r.status == 201, r.body
    assert listing(server.root) == ["p.pipeline"]


def test_authorization_scheme_is_case_insensitive(server):
    r = server.client.info(auth=None, headers={"Authorization": "Token " + TOKEN})
    assert r.status == 200


@pytest.mark.parametrize("auth,token", [(None, None), ("header", "wrong"), ("query", "wrong"),
                                        ("header", TOKEN + "x"), ("header", TOKEN[:-1]),
                                        ("query", "t\u00f6k\u00e9n"), ("header", "t\u00f6k\u00e9n")])
def test_missing_or_wrong_token_is_refused_with_json_403(server, auth, token):
    # The one error shape, saying how to authenticate.
    expected = {"message": how_to_authenticate(None, auth and "token")}
    r = server.client.info(auth=auth, token=token)
    assert (r.status, r.json()) == (403, expected)
    r = server.client.import_pipeline({"name": "p", "nodes": []}, auth=auth, token=token)
    assert (r.status, r.json()) == (403, expected)
    assert listing(server.root) == []


def test_login_cookie_reads_but_needs_xsrf_to_write(server):
    cookie = login_cookie(server)
    assert server.client.info(auth=None, headers={"Cookie": cookie}).status == 200

    # The cookie alone is what a cross-site form would carry: refused.
    r = server.client.import_pipeline({"name": "p", "nodes": []}, auth=None,
                                      headers={"Cookie": cookie})
    assert r.status == 403
    assert r.json()["message"].endswith(XSRF)
    assert listing(server.root) == []

    r = server.client.import_pipeline(
        {"name": "p", "nodes": []}, auth=None,
        headers={"Cookie": cookie + "; _xsrf=abc123", "X-XSRFToken": "abc123"})
    assert r.status == 201, r.body
    assert listing(server.root) == ["p.pipeline"]


def test_forged_login_cookie_is_refused(server):
    name = login_cookie(server).split("=", 1)[0]
    r = server.client.info(auth=None, headers={"Cookie": name + '="2|1:0|10:1|x|y|z"'})
    assert r.status == 403


def test_request_for_a_non_local_host_name_is_refused(server):
    r = server.client.info(headers={"Host": "example.com"})
    assert r.status == 403
    r = server.client.import_pipeline({"name": "p", "nodes": []},
                                      headers={"Host": "example.com:80"})
    assert r.status == 403
    assert listing(server.root) == []


# --- routing ----------------------------------------------------------------------

@pytest.mark.parametrize("path", ["/", "/api/velmora", INFO + "/extra", "/api/velmora/pipelines"])
def test_unknown_paths_answer_json_404(server, path):
    r = server.client.request("GET", path)
    assert r.status == 404
    assert r.json()["message"] == "Not Found"


@pytest.mark.parametrize("method,path", [("POST", INFO), ("GET", IMPORT), ("PUT", IMPORT),
                                         ("DELETE", INFO)])
def test_wrong_method_answers_json_405(server, method, path):
    r = server.client.request(method, path, b"{}" if method in ("POST", "PUT") else None)
    assert r.status == 405
    assert "message" in r.json()


# --- server information ------------------------------------------------------------

def test_info_reports_this_server(server):
    r = server.client.info()
    assert r.status == 200
    info = r.json()
    assert info["velmora_version"] == velmora.__version__
    assert info["tornado_version"] == tornado.version
    assert info["python_version"] == "%d.%d.%d" % sys.version_info[:3]
    assert info["root_dir"] == server.root
    assert info["base_url"] == "/"
    assert info["pid"] == os.getpid()
    started = datetime.datetime.fromisoformat(info["started"])
    assert abs(datetime.datetime.now(datetime.timezone.utc) - started) < datetime.timedelta(hours=1)
    assert info["cookie"] == ""


def test_info_echoes_request_cookies_in_order(server):
    r = server.client.info(headers={"Cookie": 'theme=dark; q="two words"; n=42'})
    assert r.json()["cookie"] == "theme=dark; q=two words; n=42"


def test_info_leaves_out_the_login_cookie(server):
    cookie = login_cookie(server)
    r = server.client.info(auth=None, headers={"Cookie": "a=1; " + cookie + "; _xsrf=t"})
    assert r.status == 200
    assert r.json()["cookie"] == "a=1; _xsrf=t"


def test_info_escapes_markup_in_echoed_cookies(server):
    r = server.client.info(headers={"Cookie": "x=</script>"})
    assert b"</" not in r.body
    assert r.json()["cookie"] == "x=</script>"


def test_failure_to_gather_facts_answers_500_with_fixed_message(server, monkeypatch):
    module = sys.modules[server.handler_set.info.__module__]

    def broken():
        raise OSError("disk gone")

    monkeypatch.setattr(module, "JupyterServerAppInfo", broken)
    r = server.client.info()
    assert r.status == 500
    assert r.json() == {"message": "Failed to get information."}
    monkeypatch.undo()
    assert server.client.info().status == 200


# --- pipeline import: success ------------------------------------------------------

def test_import_writes_the_pipeline_and_answers_a_summary(server):
    pipeline = {"name": "etl", "nodes": [{"id": "a"}, {"id": "b", "n": 1.5}], "extra": None}
    r = server.client.import_pipeline(pipeline)
    assert r.status == 201
    assert r.headers["Content-Type"].startswith("application/json")
    assert int(r.headers["Content-Length"]) == len(r.body)
    summary = r.json()
    path = os.path.join(server.root, "etl.pipeline")
    assert summary == {"name": "etl", "path": "etl.pipeline", "node_count": 2,
                       "bytes_written": os.path.getsize(path)}
    with open(path, encoding="utf-8") as f:
        assert json.load(f) == pipeline
    assert listing(server.root) == ["etl.pipeline"]


@pytest.mark.parametrize("name", ["données", "a b", "x" * 246, "é" * 123, "名前", "a.b", "-"])
def test_import_accepts_plain_names(server, name):
    r = server.client.import_pipeline({"name": name, "nodes": [1]})
    assert r.status == 201, r.body
    assert r.json()["path"] == name + ".pipeline"
    assert listing(server.root) == [name + ".pipeline"]


def test_import_keeps_non_ascii_text(server):
    pipeline = {"name": "u", "nodes": ["ünïcødé", "\U0001F600"]}
    assert server.client.import_pipeline(pipeline).status == 201
    with open(os.path.join(server.root, "u.pipeline"), encoding="utf-8") as f:
        assert json.load(f) == pipeline


# --- pipeline import: refused -----------------------------------------------------

BAD_BODIES = {
    "empty": b"",
    "not json": b"name=x&nodes=1",
    "truncated": b'{"name": "x", "nodes": [',
    "array": b'[{"name": "x", "nodes": []}]',
    "string": b'"x"',
    "null": b"null",
    "not utf-8": b'{"name": "\xff", "nodes": []}',
    "no name": b'{"nodes": []}',
    "no nodes": b'{"name": "x"}',
    "name not str": b'{"name": 5, "nodes": []}',
    "name null": b'{"name": null, "nodes": []}',
    "nodes not list": b'{"name": "x", "nodes": {}}',
    "nodes string": b'{"name": "x", "nodes": "abc"}',
    "NaN": b'{"name": "x", "nodes": [NaN]}',
    "Infinity": b'{"name": "x", "nodes": [-Infinity]}',
    "lone surrogate": b'{"name": "x", "nodes": ["\\ud800"]}',
    "deep": b'{"name": "x", "nodes": ' + b"[" * 100000 + b"]" * 100000 + b"}",
}


@pytest.mark.parametrize("body", BAD_BODIES.values(), ids=list(BAD_BODIES))
def test_import_refuses_bodies_that_are_not_a_pipeline(server, body):
    r = server.client.import_pipeline(body)
    assert r.status == 400
    message = r.json()["message"]
    assert isinstance(message, str) and message
    assert listing(server.root) == []


BAD_NAMES = ["", ".", "..", ".hidden", "../escape", "a/b", "/abs", "a\\b", "..\\x", "a\x00b",
             "a\nb", "tab\t", "\x7f", " lead", "trail ", "x" * 247, "é" * 124, "\ud800x",
             "a</b"]


@pytest.mark.parametrize("name", BAD_NAMES, ids=[repr(n)[:20] for n in BAD_NAMES])
def test_import_refuses_names_that_are_not_plain_file_names(server, name):
    parent = os.path.dirname(server.root)
    before = listing(parent)
    r = server.client.import_pipeline(json.dumps({"name": name, "nodes": []}).encode())
    assert r.status == 400
    assert "name" in r.json()["message"]
    assert listing(server.root) == []
    assert listing(parent) == before


def test_import_of_existing_name_conflicts_unless_overwrite(server):
    first = {"name": "p", "nodes": [1]}
    second = {"name": "p", "nodes": [1, 2]}
    path = os.path.join(server.root, "p.pipeline")
    assert server.client.import_pipeline(first).status == 201
    for query in ("", "?overwrite=false"):
        r = server.client.import_pipeline(second, query)
        assert r.status == 409
        assert "overwrite" in r.json()["message"]
        with open(path) as f:
            assert json.load(f) == first
    r = server.client.import_pipeline(second, "?overwrite=true")
    assert r.status == 201
    assert r.json()["node_count"] == 2
    with open(path) as f:
        assert json.load(f) == second
    assert listing(server.root) == ["p.pipeline"]


def test_overwrite_of_a_new_name_creates_it(server):
    assert server.client.import_pipeline({"name": "n", "nodes": []}, "?overwrite=true").status == 201
    assert listing(server.root) == ["n.pipeline"]


# Only the two values the message names are taken.
@pytest.mark.parametrize("value", ["maybe", "TRUE", "True", "1", "0", "", "yes"])
def test_bad_overwrite_argument_is_refused(server, value):
    r = server.client.import_pipeline({"name": "p", "nodes": []}, "?overwrite=" + quote(value))
    assert (r.status, r.json()) == (400, {"message": "the query argument 'overwrite' must be true or false"})
    assert listing(server.root) == []


@pytest.mark.parametrize("query", ["", "?overwrite=true"])
def test_directory_in_the_way_is_a_conflict(server, query):
    os.mkdir(os.path.join(server.root, "d.pipeline"))
    r = server.client.import_pipeline({"name": "d", "nodes": []}, query)
    assert r.status == 409
    assert os.path.isdir(os.path.join(server.root, "d.pipeline"))
    assert listing(server.root) == ["d.pipeline"]


def test_overwrite_replaces_a_symlink_not_its_target(server, tmp_path):
    outside = tmp_path / "outside.txt"
    outside.write_text("keep me")
    link = os.path.join(server.root, "s.pipeline")
    os.symlink(str(outside), link)
    assert server.client.import_pipeline({"name": "s", "nodes": []}).status == 409
    assert server.client.import_pipeline({"name": "s", "nodes": []}, "?overwrite=true").status == 201
    assert outside.read_text() == "keep me"
    assert not os.path.islink(link)


@pytest.mark.parametrize("err,status", [(errno.ENOSPC, 507), (errno.EACCES, 500), (errno.EIO, 500)])
def test_storage_failures_answer_without_details(server, monkeypatch, err, status):
    def failing(self, name, data, *, overwrite):
        raise OSError(err, os.strerror(err), os.path.join(self.root_dir, name + ".pipeline"))

    monkeypatch.setattr(store.PipelineStore, "write", failing)
    r = server.client.import_pipeline({"name": "p", "nodes": []})
    assert r.status == status
    message = r.json()["message"]
    assert server.root not in message and "Traceback" not in message


def padded_pipeline(size):
    """A valid pipeline body of exactly `size` bytes."""
    head, tail = b'{"name": "big", "nodes": [], "pad": "', b'"}'
    return head + b"x" * (size - len(head) - len(tail)) + tail


def test_body_limit_is_inclusive(server):
    r = server.client.import_pipeline(padded_pipeline(1 << 20))
    assert r.status == 201, r.body
    assert r.json()["node_count"] == 0


@pytest.mark.parametrize("size", [(1 << 20) + 1, 3 << 20])
def test_body_over_limit_is_refused_with_413(server, size):
    r = server.client.import_pipeline(padded_pipeline(size))
    assert r.status == 413
    assert str(1 << 20) in r.json()["message"]
    assert listing(server.root) == []
    # The connection is still good for the next request.
    assert server.client.info().status == 200


@pytest.mark.parametrize("size", [100_000, (1 << 20) + 1])
@pytest.mark.parametrize("refusal", ["no token", "cookie without xsrf", "remote host"])
def test_refusals_of_large_bodies_reach_the_client(server, refusal, size):
    # Refused before the body is read, the answer could be lost to a reset.
    kw = {"auth": None} if refusal != "remote host" else {}
    headers = {"Content-Type": "application/json"}
    if refusal == "cookie without xsrf":
        headers["Cookie"] = login_cookie(server)
    elif refusal == "remote host":
        headers["Host"] = "example.com"
    r = server.client.import_pipeline(padded_pipeline(size), headers=headers, **kw)
    assert r.status == 403
    assert listing(server.root) == []


@pytest.mark.parametrize("kind", ["compiled", "twin"])
def test_body_limit_is_configurable(kind, tmp_path):
    live = start_server(kind, str(tmp_path), max_body_size=64)
    try:
        assert live.client.import_pipeline(padded_pipeline(65)).status == 413
        assert live.client.import_pipeline(padded_pipeline(64)).status == 201
    finally:
        live.thread.stop()
    assert listing(str(tmp_path)) == ["big.pipeline"]


# --- load -------------------------------------------------------------------------

def test_concurrent_imports_of_distinct_names_all_land(server):
    names = ["c%02d" % i for i in range(40)]
    with concurrent.futures.ThreadPoolExecutor(16) as pool:
        results = list(pool.map(
            lambda n: server.client.import_pipeline({"name": n, "nodes": [n]}), names))
    assert [r.status for r in results] == [201] * len(names)
    assert listing(server.root) == sorted(n + ".pipeline" for n in names)
    for n in names:
        with open(os.path.join(server.root, n + ".pipeline")) as f:
            assert json.load(f) == {"name": n, "nodes": [n]}


def test_concurrent_imports_of_one_name_create_it_once(server):
    with concurrent.futures.ThreadPoolExecutor(16) as pool:
        results = list(pool.map(
            lambda i: server.client.import_pipeline({"name": "same", "nodes": [i]}), range(24)))
    statuses = sorted(r.status for r in results)
    assert statuses == [201] + [409] * 23
    (winner,) = [i for i, r in enumerate(results) if r.status == 201]
    with open(os.path.join(server.root, "same.pipeline")) as f:
        assert json.load(f)["nodes"] == [winner]
    assert listing(server.root) == ["same.pipeline"]


def test_burst_of_requests_is_answered_in_full(server):
    def worker(w):
        conn = server.client.connect()  # keep-alive: many requests per connection
        statuses = []
        try:
            for i in range(25):
                if i % 5 == 4:
                    r = server.client.import_pipeline({"name": "b%d-%d" % (w, i), "nodes": []},
                                                      conn=conn)
                else:
                    r = server.client.info(conn=conn)
                statuses.append(r.status)
        finally:
            conn.close()
        return statuses

    with concurrent.futures.ThreadPoolExecutor(12) as pool:
        statuses = [s for batch in pool.map(worker, range(12)) for s in batch]
    assert len(statuses) == 300
    assert statuses.count(201) == 60 and statuses.count(200) == 240
    assert len(listing(server.root)) == 60
