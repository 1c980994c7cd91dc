"""Loading velmora as a Jupyter server extension, into a stand-in server application."""
import datetime
import json
import logging
import os
import sys

import pytest
from tornado import web
from tornado.httpserver import HTTPServer
from tornado.netutil import bind_sockets

import velmora
from handler_standins import without_compiled_builds
from http_fixtures import KINDS, TOKEN, Client, ServerThread, load_handler_set
from velmora.server import handler_sets, misc
from velmora.server.app import server_settings

JSON = {"Content-Type": "application/json"}


class StandInServerApp:
    """What the loader uses of jupyter_server's ServerApp."""

    def __init__(self, root_dir, base_url="/jupyter/", token=TOKEN, **settings):
        self.root_dir = root_dir
        self.token = token
        self.log = logging.getLogger("stand-in-serverapp")
        self.web_app = web.Application(
            [], **server_settings(token=TOKEN, base_url=base_url), **settings)


class JupyterLikeServer:
    """Serves the web application the way Jupyter does: nothing registers but the loader."""

    def __init__(self, web_app):
        self.web_app = web_app
        self.http = None

    def listen(self, port):
        sockets = bind_sockets(port, "127.0.0.1")
        self.http = HTTPServer(self.web_app)
        self.http.add_sockets(sockets)
        return sockets[0].getsockname()[1]

    async def stop(self):
        self.http.stop()
        await self.http.close_all_connections()


@pytest.fixture(autouse=True)
def empty_registry(monkeypatch):
    monkeypatch.setattr(misc, "_registry", [])


@pytest.fixture
def serve():
    threads = []

    def start(serverapp):
        thread = ServerThread(JupyterLikeServer(serverapp.web_app)).start()
        threads.append(thread)
        return Client(thread.port)

    yield start
    for thread in threads:
        thread.stop()


def mounted_handlers(web_app):
    found = []
    for rule in web_app.default_router.rules:
        for inner in getattr(rule.target, "rules", []):
            found.append(inner.target)
    return found


def test_extension_points_name_the_package():
    assert velmora._jupyter_server_extension_points() == [{"module": "velmora"}]
    assert velmora.load_jupyter_server_extension is velmora._load_jupyter_server_extension


def test_package_import_is_light(fresh_python):
    proc = fresh_python("""
        import sys
        import velmora
        heavy = [m for m in ("tornado", "jupyter_server", "velmora.server",
                             "velmora.server.handlers.info.hostfacts",
                             "velmora.server.handlers.pipeline_import.groundwork")
                 if m in sys.modules]
        print(heavy, velmora.__version__)
    """)
    assert proc.stdout.strip() == "[] 0.1.0"


@pytest.mark.parametrize("kind", KINDS)
def test_loaded_routes_live_under_the_base_url(kind, tmp_path, serve):
    root = os.path.realpath(str(tmp_path))
    app = StandInServerApp(root, started=datetime.datetime(2024, 2, 3, 4, 5, 6))
    velmora._load_jupyter_server_extension(app, load_handler_set(kind))
    client = serve(app)

    r = client.request("GET", "/jupyter/api/velmora/server-info")
    assert r.status == 200
    info = r.json()
    assert (info["base_url"], info["root_dir"]) == ("/jupyter/", root)
    assert info["started"] == "2024-02-03T04:05:06+00:00"

    body = json.dumps({"name": "p", "nodes": [1, 2, 3]}).encode()
    r = client.request("POST", "/jupyter/api/velmora/pipelines/import", body, headers=JSON)
    assert r.status == 201
    assert r.json()["node_count"] == 3
    assert os.listdir(root) == ["p.pipeline"]

    assert client.request("GET", "/api/velmora/server-info").status == 404
    assert client.request("GET", "/jupyter/api/velmora/server-info", auth=None).status == 403


def test_base_url_is_matched_literally(tmp_path, serve):
    app = StandInServerApp(str(tmp_path), base_url="/a.b/")
    velmora._load_jupyter_server_extension(app, load_handler_set("twin"))
    client = serve(app)
    assert client.request("GET", "/a.b/api/velmora/server-info").status == 200
    assert client.request("GET", "/axb/api/velmora/server-info").status == 404


def test_body_limit_comes_from_the_jupyter_settings(tmp_path, serve):
    app = StandInServerApp(str(tmp_path), velmora_max_body_size=40)
    velmora._load_jupyter_server_extension(app, load_handler_set("twin"))
    client = serve(app)
    path = "/jupyter/api/velmora/pipelines/import"
    assert client.request("POST", path, b'{"name": "a", "nodes": [], "x": "123456"}',
                          headers=JSON).status == 413
    assert client.request("POST", path, b'{"name": "a", "nodes": []}', headers=JSON).status == 201


def test_loader_mounts_the_compiled_handlers_by_default(tmp_path):
    if not handler_sets.compiled_available():
        pytest.skip("the compiled handler modules are not built")
    app = StandInServerApp(str(tmp_path))
    velmora.load_jupyter_server_extension(app)
    mounted = mounted_handlers(app.web_app)
    compiled = handler_sets.compiled()
    assert compiled.info in mounted and compiled.pipeline_import in mounted
    assert compiled.info.__module__ == "velmora.server.handlers.info.hostfacts"
    from velmora.server.handlers.pipeline_import.handlers import PipelineImportHandler
    assert PipelineImportHandler is compiled.pipeline_import
    assert misc.current_server().base_url == "/jupyter/"


def test_loader_falls_back_to_the_interpreted_handlers_and_says_so(tmp_path, monkeypatch, caplog):
    without_compiled_builds(monkeypatch, handler_sets.COMPILED_INFO)
    app = StandInServerApp(str(tmp_path))
    with caplog.at_level(logging.INFO, logger=app.log.name):
        velmora.load_jupyter_server_extension(app)
    mounted = mounted_handlers(app.web_app)
    assert handler_sets.interpreted(handler_sets.COMPILED_INFO).ServerAppInfoHandler in mounted
    assert [r.getMessage() for r in caplog.records if r.name == app.log.name] == [
        "velmora 0.1.0: API mounted under /jupyter/api/velmora (interpreted handlers: %s)"
        % handler_sets._why_interpreted()]


def test_the_jupyter_token_is_masked_in_its_log(tmp_path, caplog):
    jupyter_token = "jupyter-" + "5f" * 20
    app = StandInServerApp(str(tmp_path), token=jupyter_token)
    velmora._load_jupyter_server_extension(app, load_handler_set("twin"))
    with caplog.at_level(logging.INFO):
        app.log.warning("GET /jupyter/api/contents?token=%s", jupyter_token)
        logging.getLogger("tornado.general").warning("Invalid unicode in token: %r",
                                                     jupyter_token.encode()[:40])
    assert [r.getMessage() for r in caplog.records] == [
        "GET /jupyter/api/contents?token=[secret]", "Invalid unicode in token: b'[secret]'"]
