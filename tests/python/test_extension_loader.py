"""Loading velmora as a Jupyter server extension, into a stand-in server application."""
import datetime
import json
import logging
import os
import sys
import time

import pytest
from tornado import web
from traitlets import TraitError
from traitlets.config import Config, Configurable
from tornado.httpserver import HTTPServer
from tornado.netutil import bind_sockets

import velmora
from handler_standins import without_compiled_builds
from http_fixtures import KINDS, TOKEN, Client, ServerThread, load_handler_set
from jupyter_server.log import log_request

from velmora.server import extension, handler_sets, log_mask, misc
from velmora.server.app import server_settings
from velmora.server.handlers.pipeline_import.store import PipelineStore

JSON = {"Content-Type": "application/json"}


class StandInServerApp:
    """What the loader uses of jupyter_server's ServerApp."""

    def __init__(self, root_dir, base_url="/jupyter/", token=TOKEN, **settings):
        self.root_dir = root_dir
        self.token = token
        self.log = logging.getLogger("stand-in-serverapp")
        self.web_app = web.Application(
            [], **dict(server_settings(token=token or TOKEN, base_url=base_url), **settings))


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
    assert proc.stdout.strip() == "[] " + velmora.__version__


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
        "velmora %s: API mounted under /jupyter/api/velmora (interpreted handlers: %s)"
        % (velmora.__version__, handler_sets._why_interpreted())]


JUPYTER_TOKEN = "jupyter-" + "5f" * 20


def test_the_hosts_log_is_left_alone_and_velmoras_own_records_are_masked(tmp_path, caplog, monkeypatch):
    app = StandInServerApp(str(tmp_path), token=JUPYTER_TOKEN)
    names = (app.log.name, "tornado.access", "tornado.general", "velmora")
    # As in a Jupyter process: no standalone server has masked these loggers before.
    for name in names:
        monkeypatch.setattr(logging.getLogger(name), "filters", [])
    velmora._load_jupyter_server_extension(app, load_handler_set("twin"))
    banner = "http://127.0.0.1:8888/jupyter/?token=" + JUPYTER_TOKEN
    with caplog.at_level(logging.INFO):
        for name in names:
            logging.getLogger(name).info("%s", banner)
    masked = banner.replace(JUPYTER_TOKEN, "[secret]")
    assert [(r.name, r.getMessage()) for r in caplog.records] == [
        (app.log.name, banner), ("tornado.access", banner), ("tornado.general", banner),
        ("velmora", masked)]
    assert not any(isinstance(f, log_mask.TokenMask) for h in logging.getLogger().handlers for f in h.filters)


class StandInIdentityProvider:
    token = "from-the-provider"


@pytest.mark.parametrize("provider, app_token, settings_token, expected", [
    (StandInIdentityProvider(), "<DEPRECATED>", "t", "from-the-provider"),  # jupyter_server 2
    (None, "from-the-app", "t", "from-the-app"),
    (None, "", "from-the-settings", "from-the-settings"),
])
def test_the_token_is_read_where_the_server_keeps_it(tmp_path, provider, app_token, settings_token, expected):
    app = StandInServerApp(str(tmp_path), token=app_token)
    app.web_app.settings["token"] = settings_token
    if provider is not None:
        app.identity_provider = provider
    assert extension.server_token(app) == expected


def wait_for_record(caplog, predicate):
    # The access line follows the answer; the wait is a safety net, not a speed check.
    deadline = time.monotonic() + 10
    while not any(predicate(rec) for rec in caplog.records):
        if time.monotonic() > deadline:
            pytest.fail("no such log record:\n" + caplog.text)
        time.sleep(0.01)


INFO = "/jupyter/api/velmora/server-info"
IMPORT = "/jupyter/api/velmora/pipelines/import"


@pytest.mark.parametrize("method, path, body, content_type, auth, status, reason", [
    ("GET", INFO, None, None, None, 403, ""),  # whatever text the 403 has
    ("POST", IMPORT, b"not json", "application/json", "query", 400, "the request body is not valid JSON"),
    ("POST", IMPORT, b"{}", "text/plain", "query", 415, "the request body must be sent as application/json"),
    ("POST", IMPORT, b'{"name": "a", "nodes": [], "x": "%s"}' % (b"y" * 64), "application/json", "query", 413,
     "the request body is larger than 60 bytes"),
    ("POST", IMPORT, b'{"name": "taken", "nodes": []}', "application/json", "query", 409, "exists"),
    ("POST", IMPORT + "?token=%ff", b"{}", "application/json", None, 400,
     "the query argument 'token' is not UTF-8 text"),
])
def test_each_refusal_has_a_warning_access_line_with_its_reason(tmp_path, serve, caplog, method, path, body,
                                                                   content_type, auth, status, reason):
    # Jupyter's own access line, which it writes through the handler's log.
    app = StandInServerApp(str(tmp_path), token=JUPYTER_TOKEN, log_function=log_request,
                           velmora_max_body_size=60)
    (tmp_path / "taken.pipeline").write_text("{}")
    velmora._load_jupyter_server_extension(app, load_handler_set("twin"))
    client = serve(app)
    headers = {"Content-Type": content_type} if content_type else {}
    with caplog.at_level(logging.DEBUG):
        r = client.request(method, path, body, headers=headers, auth=auth, token=JUPYTER_TOKEN)
        wait_for_record(caplog, lambda rec: rec.getMessage().startswith("%d " % status))
    assert r.status == status
    lines = [rec.getMessage() for rec in caplog.records if rec.levelno >= logging.WARNING]
    assert [rec.levelno for rec in caplog.records if rec.levelno >= logging.WARNING] == [logging.WARNING]
    assert lines[0].startswith("%d %s /jupyter/api/velmora/" % (status, method)), lines
    reason_shown = lines[0].partition(" referer=None: ")[2]
    assert reason_shown and reason in reason_shown, lines
    assert JUPYTER_TOKEN not in caplog.text


class ServerApp(Configurable):
    """A configurable parent, named as Jupyter's, for "c.ServerApp.Velmora" settings."""


@pytest.mark.parametrize("config, tornado_limit, expected", [
    ({}, None, 1 << 20),
    ({}, 40, 40),  # the tornado setting is the default
    ({"Velmora": {"max_body_size": 50}}, 40, 50),
    ({"ServerApp": {"Velmora": {"max_body_size": 70}}}, None, 70),
    ({"Velmora": {"max_body_size": 0}}, None, TraitError),
])
def test_the_body_limit_is_a_traitlet(tmp_path, config, tornado_limit, expected):
    settings = {} if tornado_limit is None else {"velmora_max_body_size": tornado_limit}
    app = StandInServerApp(str(tmp_path), **settings)
    parent = ServerApp(config=Config(config))
    parent.web_app = app.web_app
    if expected is TraitError:
        with pytest.raises(TraitError, match="at least 1 byte"):
            extension.options_for(parent)
    else:
        assert extension.options_for(parent).max_body_size == expected


def test_help_all_lists_the_traitlets(fresh_python):
    out = fresh_python("from velmora.server.extension import VelmoraHelp; "
                       "VelmoraHelp.launch_instance(['--help-all'])").stdout
    assert "--Velmora.max_body_size=<Int>" in out and "Default: 1048576" in out, out


def test_a_failure_of_our_code_logs_its_traceback_without_the_token(tmp_path, serve, caplog, monkeypatch):
    def write(*args, **kwargs):
        raise RuntimeError("the disk is on fire")

    monkeypatch.setattr(PipelineStore, "write", write)
    monkeypatch.setattr(logging.getLogger("tornado.application"), "filters", [])
    app = StandInServerApp(str(tmp_path), token=JUPYTER_TOKEN, log_function=log_request)
    velmora._load_jupyter_server_extension(app, load_handler_set("twin"))
    client = serve(app)
    with caplog.at_level(logging.DEBUG):
        r = client.request("POST", IMPORT, b'{"name": "a", "nodes": []}', headers=JSON, auth="query",
                           token=JUPYTER_TOKEN)
        wait_for_record(caplog, lambda rec: rec.getMessage().startswith("500 "))
    assert r.status == 500
    crash = [rec for rec in caplog.records if rec.getMessage().startswith("Uncaught exception POST")]
    assert len(crash) == 1 and crash[0].levelno == logging.ERROR
    assert "RuntimeError: the disk is on fire" in caplog.text
    assert JUPYTER_TOKEN not in caplog.text
