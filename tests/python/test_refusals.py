"""Every refusal of the routes, mounted in a Jupyter-like host, says what was wrong and what
to do next, with the headers its status calls for, and never quotes the token back."""
import json
import os

import pytest

import velmora
from http_fixtures import TOKEN, load_handler_set
from test_extension_loader import StandInServerApp, empty_registry, serve  # noqa: F401 (fixtures)
from velmora.server.handlers.request_guard import NO_TOKEN, STALE_COOKIE, WRONG_TOKEN, XSRF

BASE = "/jupyter/api/velmora/"
INFO = BASE + "server-info"
IMPORT = BASE + "pipelines/import"
JSON = {"Content-Type": "application/json"}
PIPELINE = b'{"name": "p", "nodes": []}'
ABSENT = None

# (label, method, path, body, request headers, auth, status, response headers, message fragment);
# a response header given as ABSENT must not be sent at all, not even empty.
REFUSALS = [
    ("no token", "GET", INFO, None, {}, None, 403, {}, NO_TOKEN),
    ("wrong token in the header", "GET", INFO, None, {}, "header:stale-token-1234", 403, {},
     WRONG_TOKEN),
    ("wrong token in the query", "POST", IMPORT, PIPELINE, JSON, "query:stale-token-1234", 403, {},
     WRONG_TOKEN),
    ("stale login cookie", "GET", INFO, None, {"Cookie": "{login}=2|1:0|10:1|x|y|z"}, None, 403, {},
     STALE_COOKIE),
    ("GET on the import route", "GET", IMPORT, None, {}, "header", 405, {"Allow": "POST, OPTIONS"},
     "GET is not allowed here: this URL answers POST and OPTIONS; to import a pipeline, POST it"),
    ("DELETE on server-info", "DELETE", INFO, None, {}, "header", 405,
     {"Allow": "GET, HEAD, OPTIONS"}, "answers GET, HEAD and OPTIONS; it reads the server's facts"),
    ("unknown method", "BREW", INFO, None, {}, "header", 405, {"Allow": "GET, HEAD, OPTIONS"},
     "this method is not allowed here"),
    ("bad value, server-info", "GET", INFO + "?x=%ff", None, {}, "header", 400, {},
     "the query argument 'x' is not UTF-8 text once percent-decoded"),
    ("bad value, import", "POST", IMPORT + "?x=%ff", PIPELINE, JSON, "header", 400, {},
     "the query argument 'x' is not UTF-8 text"),
    ("bad name, server-info", "GET", INFO + "?%ff=1", None, {}, "header", 400, {},
     "a query argument is not UTF-8 text"),
    ("overwrite twice", "POST", IMPORT + "?overwrite=true&overwrite=false", PIPELINE, JSON, "header",
     400, {}, "the query argument 'overwrite' is given more than once"),
    ("byte order mark", "POST", IMPORT, b"\xef\xbb\xbf" + PIPELINE, JSON, "header", 400, {},
     "starts with a byte order mark (EF BB BF)"),
    ("UTF-16", "POST", IMPORT, PIPELINE.decode().encode("utf-16"), JSON, "header", 400, {},
     "the request body is UTF-16 text"),
    ("empty body", "POST", IMPORT, b"", JSON, "header", 400, {}, "the request body is empty"),
    ("blank body", "POST", IMPORT, b" \r\n", JSON, "header", 400, {}, "the request body is empty"),
    ("suffix in the name", "POST", IMPORT, b'{"name": "x.pipeline", "nodes": []}', JSON, "header",
     400, {}, "must not end in '.pipeline'"),
    ("suffix in capitals", "POST", IMPORT, b'{"name": "x.PIPELINE", "nodes": []}', JSON, "header",
     400, {}, "must not end in '.pipeline'"),
    ("name held by a directory", "POST", IMPORT, b'{"name": "held", "nodes": []}', JSON, "header",
     409, {}, "the name is taken by a directory, which is never replaced: choose another name"),
    ("directory, overwrite", "POST", IMPORT + "?overwrite=true", b'{"name": "held", "nodes": []}',
     JSON, "header", 409, {}, "or rename or remove the directory <name>.pipeline"),
    # Answers that are not refusals, with the headers their method calls for.
    ("OPTIONS", "OPTIONS", INFO, None, {"Access-Control-Request-Method": "GET"}, None, 204,
     {"Allow": "GET, HEAD, OPTIONS", "Access-Control-Allow-Methods": "GET, HEAD, OPTIONS",
      "Content-Type": ABSENT, "Access-Control-Allow-Origin": ABSENT}, None),
    ("token, no Origin", "GET", INFO, None, {}, "header", 200,
     {"Access-Control-Allow-Origin": ABSENT}, None),
    ("token, Origin", "GET", INFO, None, {"Origin": "http://127.0.0.1:1"}, "header", 200,
     {"Access-Control-Allow-Origin": "http://127.0.0.1:1"}, None),
]


@pytest.fixture(params=["compiled", "twin"])
def host(request, tmp_path, serve):  # noqa: F811
    """A client of the routes in a Jupyter-like host, and the host's settings."""
    def start(**settings):
        app = StandInServerApp(str(tmp_path), **settings)
        velmora._load_jupyter_server_extension(app, load_handler_set(request.param))
        return serve(app)
    return start


def login_cookie_name(client):
    return "username-127-0-0-1-%d" % client.port


def send(client, method, path, body=None, headers=(), auth="header"):
    headers = {k: v.format(login=login_cookie_name(client)) for k, v in dict(headers).items()}
    auth, _, token = (auth or "").partition(":")
    return client.request(method, path, body, headers=headers, auth=auth or None, token=token or None)


@pytest.mark.parametrize("method,path,body,headers,auth,status,answer_headers,message",
                         [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS])
def test_each_answer_names_the_problem_and_what_to_do(host, tmp_path, method, path, body, headers,
                                                      auth, status, answer_headers, message):
    client = host()
    os.mkdir(str(tmp_path / "held.pipeline"))
    r = send(client, method, path, body, headers, auth)
    assert r.status == status, r.body
    for name, value in answer_headers.items():
        assert r.headers.get(name) == value, (name, r.headers.items())
    assert all(value != "" for _, value in r.headers.items()), r.headers.items()
    if message is not None:
        assert message in r.json()["message"]
    assert b"stale-token-1234" not in r.body and TOKEN.encode() not in r.body
    assert sorted(os.listdir(str(tmp_path))) == ["held.pipeline"]
    assert os.listdir(str(tmp_path / "held.pipeline")) == []


def test_options_follows_the_hosts_cors_settings(host):
    client = host(allow_origin="https://app.example")
    r = send(client, "OPTIONS", IMPORT, headers={"Origin": "https://other.example"}, auth=None)
    assert (r.status, r.body) == (204, b"")
    assert r.headers["Access-Control-Allow-Origin"] == "https://app.example"
    assert r.headers["Access-Control-Allow-Methods"] == "POST, OPTIONS"
    assert "authorization" in r.headers["Access-Control-Allow-Headers"]


def test_head_answers_as_get_without_the_body(host):
    client = host()
    get, head = (send(client, method, INFO) for method in ("GET", "HEAD"))
    assert (head.status, head.body) == (200, b"")
    assert head.headers["Content-Type"] == get.headers["Content-Type"]
    assert int(head.headers["Content-Length"]) == len(get.body) > 0
    assert send(client, "HEAD", INFO, auth=None).status == 403


def test_server_info_gives_cookie_clients_the_xsrf_cookie(host, tmp_path):
    client = host()
    r = send(client, "GET", INFO, auth="query")
    cookies = dict(c.split(";", 1)[0].split("=", 1) for c in r.headers.get_all("Set-Cookie"))
    login = login_cookie_name(client)
    jar = "%s=%s; _xsrf=%s" % (login, cookies[login], cookies["_xsrf"])
    # The login cookie alone is refused, and told where the _xsrf cookie comes from.
    r = send(client, "POST", IMPORT, PIPELINE, dict(JSON, Cookie="%s=%s" % (login, cookies[login])),
             auth=None)
    assert r.status == 403 and r.json()["message"].endswith(XSRF)
    r = send(client, "POST", IMPORT, PIPELINE,
             dict(JSON, Cookie=jar, **{"X-XSRFToken": cookies["_xsrf"]}), auth=None)
    assert r.status == 201, r.body
    assert json.loads(r.body)["path"] == "p.pipeline"
    # A request that has the cookie is not given another one.
    r = send(client, "GET", INFO, headers={"Cookie": jar}, auth=None)
    assert r.status == 200 and "_xsrf" not in str(r.headers.get_all("Set-Cookie"))
