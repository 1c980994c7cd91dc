"""velmora mounted by a ServerApp as an installed extension is: under the
server's base URL (pytest-jupyter's "/a%40b/", which needs escaping), behind
the server's authentication, and silent in the server's handler-auth check."""
import json
import warnings

import pytest
from tornado.httpclient import HTTPClientError

import jupyter_server

INFO = "api/velmora/server-info"
IMPORT = "api/velmora/pipelines/import"
SERVER_MAJOR_MINOR = tuple(int(p) for p in jupyter_server.__version__.split(".")[:2])


async def test_both_routes_answer_under_the_servers_base_url(jp_fetch, jp_serverapp, jp_root_dir):
    r = await jp_fetch(INFO, headers={"Cookie": "theme=dark"})
    info = json.loads(r.body)
    assert (r.code, info["base_url"], info["cookie"]) == (200, jp_serverapp.base_url, "theme=dark")
    assert info["root_dir"] == str(jp_root_dir)

    body = json.dumps({"name": "p", "nodes": [{"id": "a"}]})
    r = await jp_fetch(IMPORT, method="POST", body=body, headers={"Content-Type": "application/json"})
    assert (r.code, json.loads(r.body)["path"]) == (201, "p.pipeline")
    assert json.loads((jp_root_dir / "p.pipeline").read_text()) == json.loads(body)


@pytest.mark.parametrize("route, method, body", [(INFO, "GET", None), (IMPORT, "POST", "{}")])
async def test_requests_without_the_token_are_refused(jp_fetch, route, method, body):
    with pytest.raises(HTTPClientError) as refused:
        await jp_fetch(route, method=method, body=body, headers={"Authorization": ""})
    assert refused.value.code == 403


@pytest.mark.skipif(SERVER_MAJOR_MINOR < (2, 13), reason="jupyter_server has no handler-auth check before 2.13")
@pytest.mark.parametrize("jp_server_config", [{"ServerApp": {"allow_unauthenticated_access": False}}])
async def test_the_handler_auth_check_finds_every_method_authenticated(jp_serverapp, jp_fetch):
    from jupyter_server.utils import JupyterServerAuthWarning

    import velmora

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        velmora._load_jupyter_server_extension(jp_serverapp)
    # The check names each undecorated method with its route; other extensions may have some.
    ours = [str(w.message) for w in caught
            if issubclass(w.category, JupyterServerAuthWarning) and "api/velmora" in str(w.message)]
    assert not ours
    r = await jp_fetch(INFO)
    assert r.code == 200
