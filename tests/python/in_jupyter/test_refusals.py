"""Every refusal of the routes in a Jupyter server says what was wrong and what to do next,
with the headers its status calls for, and never quotes the token back."""
import os

import pytest

from .velmora_fixtures import BOTH_KINDS, IMPORT, INFO
from velmora.server.handlers.request_guard import NO_TOKEN, STALE_COOKIE, WRONG_TOKEN, XSRF

pytestmark = BOTH_KINDS

JSON = {"Content-Type": "application/json"}
PIPELINE = b'{"name": "p", "nodes": []}'
STALE = "stale-token-1234"
ABSENT = None

# (label, method, path, query, body, request headers, auth, status, response headers, message
# fragment); auth is "header" or "query", with ":<token>" to send another token than the server's;
# a response header given as ABSENT must not be sent at all, not even empty.
REFUSALS = [
    ("no token", "GET", INFO, "", None, {}, None, 403, {}, NO_TOKEN),
    ("wrong token in the header", "GET", INFO, "", None, {}, "header:" + STALE, 403, {}, WRONG_TOKEN),
    ("wrong token in the query", "POST", IMPORT, "", PIPELINE, JSON, "query:" + STALE, 403, {},
     WRONG_TOKEN),
    ("stale login cookie", "GET", INFO, "", None, {"Cookie": "{login}=2|1:0|10:1|x|y|z"}, None, 403, {},
     STALE_COOKIE),
    ("GET on the import route", "GET", IMPORT, "", None, {}, "header", 405, {"Allow": "POST, OPTIONS"},
     "GET is not allowed here: this URL answers POST and OPTIONS; to import a pipeline, POST it"),
    ("DELETE on server-info", "DELETE", INFO, "", None, {}, "header", 405,
     {"Allow": "GET, HEAD, OPTIONS"}, "answers GET, HEAD and OPTIONS; it reads the server's facts"),
    ("unknown method", "BREW", INFO, "", None, {}, "header", 405, {"Allow": "GET, HEAD, OPTIONS"},
     "this method is not allowed here"),
    ("bad value, server-info", "GET", INFO, "x=%ff", None, {}, "header", 400, {},
     "the query argument 'x' is not UTF-8 text once percent-decoded"),
    ("bad value, import", "POST", IMPORT, "x=%ff", PIPELINE, JSON, "header", 400, {},
     "the query argument 'x' is not UTF-8 text"),
    ("bad name, server-info", "GET", INFO, "%ff=1", None, {}, "header", 400, {},
     "a query argument is not UTF-8 text"),
    ("overwrite twice", "POST", IMPORT, "overwrite=true&overwrite=false", PIPELINE, JSON, "header",
     400, {}, "the query argument 'overwrite' is given more than once"),
    ("byte order mark", "POST", IMPORT, "", b"\xef\xbb\xbf" + PIPELINE, JSON, "header", 400, {},
     "starts with a byte order mark (EF BB BF)"),
    ("UTF-16", "POST", IMPORT, "", PIPELINE.decode().encode("utf-16"), JSON, "header", 400, {},
     "the request body is UTF-16 text"),
    ("empty body", "POST", IMPORT, "", b"", JSON, "header", 400, {}, "the request body is empty"),
    ("blank body", "POST", IMPORT, "", b" \r\n", JSON, "header", 400, {}, "the request body is empty"),
    ("suffix in the name", "POST", IMPORT, "", b'{"name": "x.pipeline", "nodes": []}', JSON, "header",
     400, {}, "must not end in '.pipeline'"),
    ("suffix in capitals", "POST", IMPORT, "", b'{"name": "x.PIPELINE", "nodes": []}', JSON, "header",
     400, {}, "must not end in '.pipeline'"),
    ("name held by a directory", "POST", IMPORT, "", b'{"name": "held", "nodes": []}', JSON, "header",
     409, {}, "the name is taken by a directory, which is never replaced: choose another name"),
    ("directory, overwrite", "POST", IMPORT, "overwrite=true", b'{"name": "held", "nodes": []}',
     JSON, "header", 409, {}, "or rename or remove the directory <name>.pipeline"),
    # Answers that are not refusals, with the headers their method calls for.
    ("OPTIONS", "OPTIONS", INFO, "", None, {"Access-Control-Request-Method": "GET"}, None, 204,
     {"Allow": "GET, HEAD, OPTIONS", "Access-Control-Allow-Methods": "GET, HEAD, OPTIONS",
      "Content-Type": ABSENT, "Access-Control-Allow-Origin": ABSENT}, None),
    ("token, no Origin", "GET", INFO, "", None, {}, "header", 200,
     {"Access-Control-Allow-Origin": ABSENT}, None),
    ("token, Origin", "GET", INFO, "", None, {"Origin": "http://127.0.0.1:1"}, "header", 200,
     {"Access-Control-Allow-Origin": "http://127.0.0.1:1"}, None),
]


async def login_cookies(api):
    """The cookies a token in the URL leaves behind, as {name: value}, and the login cookie's
    name: whichever of them is not _xsrf, as the server names it."""
    r = await api.info(auth="query")
    assert r.status == 200, r.body
    cookies = dict(c.split(";", 1)[0].split("=", 1) for c in r.headers.get_list("Set-Cookie"))
    (login,) = set(cookies) - {"_xsrf"}
    return cookies, login


def send(api, method, path, body=None, headers=(), auth="header", query=""):
    auth, _, token = (auth or "").partition(":")
    return api.request(method, path, body, headers=dict(headers), auth=auth or None, token=token or None,
                       query=query)


def listing(root):
    return sorted(os.listdir(root))


@pytest.mark.parametrize("method,path,query,body,headers,auth,status,answer_headers,message",
                         [r[1:] for r in REFUSALS], ids=[r[0] for r in REFUSALS])
async def test_each_answer_names_the_problem_and_what_to_do(api, handlers, method, path, query, body,
                                                            headers, auth, status, answer_headers, message):
    os.mkdir(os.path.join(api.root, "held.pipeline"))
    if any("{login}" in value for value in headers.values()):
        _, login = await login_cookies(api)
        headers = {name: value.format(login=login) for name, value in headers.items()}
    r = await send(api, method, path, body, headers, auth, query)
    assert r.status == status, r.body
    for name, value in answer_headers.items():
        assert r.headers.get(name) == value, (name, list(r.headers.get_all()))
    assert all(value != "" for _, value in r.headers.get_all()), list(r.headers.get_all())
    if message is not None:
        assert message in r.json()["message"], r.json()
    answer = r.body + str(list(r.headers.get_all())).encode()
    assert STALE.encode() not in answer and api.token.encode() not in answer
    assert listing(api.root) == ["held.pipeline"]
    assert listing(os.path.join(api.root, "held.pipeline")) == []


@pytest.mark.parametrize("velmora_config", [{"ServerApp": {"allow_origin": "https://app.example"}}],
                         indirect=True)
async def test_options_follows_the_hosts_cors_settings(api, handlers, velmora_config):
    r = await send(api, "OPTIONS", IMPORT, headers={"Origin": "https://other.example"}, auth=None)
    assert (r.status, r.body) == (204, b"")
    assert r.headers["Access-Control-Allow-Origin"] == "https://app.example"
    assert r.headers["Access-Control-Allow-Methods"] == "POST, OPTIONS"
    assert "authorization" in r.headers["Access-Control-Allow-Headers"].lower()


async def test_head_answers_as_get_without_the_body(api, handlers):
    get, head = [await send(api, method, INFO) for method in ("GET", "HEAD")]
    assert (head.status, head.body) == (200, b"")
    assert head.headers["Content-Type"] == get.headers["Content-Type"]
    assert int(head.headers["Content-Length"]) == len(get.body) > 0
    assert (await send(api, "HEAD", INFO, auth=None)).status == 403


async def test_server_info_gives_cookie_clients_the_xsrf_cookie(api, handlers):
    cookies, login = await login_cookies(api)
    jar = "%s=%s; _xsrf=%s" % (login, cookies[login], cookies["_xsrf"])
    # The login cookie alone is refused, and told where the _xsrf cookie comes from.
    r = await send(api, "POST", IMPORT, PIPELINE, dict(JSON, Cookie="%s=%s" % (login, cookies[login])),
                   auth=None)
    assert r.status == 403 and r.json()["message"].endswith(XSRF)
    assert listing(api.root) == []
    r = await send(api, "POST", IMPORT, PIPELINE, dict(JSON, Cookie=jar, **{"X-XSRFToken": cookies["_xsrf"]}),
                   auth=None)
    assert r.status == 201, r.body
    assert r.json()["path"] == "p.pipeline"
    # A request that has the cookie is not given another one.
    r = await send(api, "GET", INFO, headers={"Cookie": jar}, auth=None)
    assert r.status == 200 and "_xsrf" not in str(r.headers.get_list("Set-Cookie"))
