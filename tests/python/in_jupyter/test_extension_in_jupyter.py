"""velmora loaded into a Jupyter server (pytest-jupyter's): where the routes live, its
settings, its log lines, and what stop_extension closes."""
import logging
import os

import pytest
from traitlets import TraitError
from traitlets.config import Config

from .velmora_fixtures import INFO, IMPORT, velmora_app
from velmora.server import handler_sets, log_mask, misc
from velmora.server.app import Velmora
from velmora.server.handlers.pipeline_import.store import PipelineStore
from test_pipeline_store import fds_on



def mounted_handlers(web_app):
    found = []
    for rule in web_app.default_router.rules:
        for inner in getattr(rule.target, "rules", []):
            found.append(inner.target)
    return found


# The log line that says which handlers serve is checked where the server's log is a process's
# stream (test_velmora_app.py): pytest-jupyter's server drops what it logs while it starts.
@pytest.mark.parametrize("velmora_config,kind", [
    ({}, "compiled"),  # by default, where they are built
    ({"Velmora": {"handler_kind": "twin"}}, "twin"),
    ({"Velmora": {"handler_kind": "compiled"}}, "compiled"),
], indirect=["velmora_config"])
async def test_the_handler_kind_option_picks_the_classes_that_serve(velmora_config, kind, api, jp_serverapp):
    if kind == "compiled" and not handler_sets.compiled_available():
        pytest.skip("the compiled handler modules are not built")
    expected = handler_sets.load(kind)
    mounted = mounted_handlers(jp_serverapp.web_app)
    assert expected.info in mounted and expected.pipeline_import in mounted
    assert (await api.info()).status == 200


@pytest.mark.parametrize("handlers", ["unbuilt"], indirect=True)
async def test_the_interpreted_fallback_serves_where_a_module_is_not_built(handlers, api, jp_serverapp):
    interpreted = handler_sets.interpreted(handler_sets.COMPILED_INFO).ServerAppInfoHandler
    assert interpreted in mounted_handlers(jp_serverapp.web_app)
    assert (await api.import_pipeline({"name": "p", "nodes": [1]})).status == 201


@pytest.mark.parametrize("jp_base_url", ["/a.b/"])
async def test_routes_live_under_the_base_url_taken_literally(api, jp_base_url):
    assert (await api.info()).json()["base_url"] == "/a.b/"
    for base in ("/", "/axb/"):
        api.base_url = base
        assert (await api.info()).status == 404


# (server config, the body limit); the tornado setting is the default of the option
LIMITS = [
    ({}, 1 << 20),
    ({"ServerApp": {"tornado_settings": {"velmora_max_body_size": 40}}}, 40),
    ({"ServerApp": {"tornado_settings": {"velmora_max_body_size": 40}}, "Velmora": {"max_body_size": 50}}, 50),
]


@pytest.mark.parametrize("velmora_config,limit", LIMITS, indirect=["velmora_config"])
async def test_the_body_limit_is_an_option(api, jp_serverapp, velmora_config, limit):
    assert velmora_app(jp_serverapp).max_body_size == limit
    r = await api.import_pipeline(b'{"name": "a", "nodes": [], "x": "%s"}' % (b"y" * (limit - 32)))
    assert r.status == 413 and str(limit) in r.json()["message"]
    assert (await api.import_pipeline({"name": "a", "nodes": []})).status == 201


@pytest.mark.parametrize("option,value", [("max_body_size", 0), ("idle_timeout", 0.0),
                                          ("body_timeout", float("inf"))])
def test_options_out_of_range_are_refused_by_name(option, value):
    with pytest.raises(TraitError, match="Velmora.%s must be" % option):
        Velmora(config=Config({"Velmora": {option: value}}))


async def test_the_hosts_log_is_left_alone_and_velmoras_own_records_are_masked(api, jp_serverapp, caplog):
    banner = "http://127.0.0.1:8888/a%40b/?token=" + api.token
    names = (jp_serverapp.log.name, "tornado.access", "velmora")
    with caplog.at_level(logging.INFO):
        caplog.clear()
        for name in names:
            logging.getLogger(name).info("%s", banner)
    masked = banner.replace(api.token, "[secret]")
    # Jupyter logs tornado's records under its own name.
    assert [r.getMessage() for r in caplog.records] == [banner, banner, masked]
    assert caplog.records[-1].name == "velmora"
    assert not any(isinstance(f, log_mask.TokenMask) for h in logging.getLogger().handlers for f in h.filters)


@pytest.mark.parametrize("velmora_config", [{"ServerApp": {"tornado_settings": {"velmora_max_body_size": 60}}}],
                         indirect=True)
@pytest.mark.parametrize("method, path, query, body, content_type, auth, status, reason", [
    ("GET", INFO, "", None, None, None, 403, ""),  # whatever text the 403 has
    ("POST", IMPORT, "", b"not json", "application/json", "query", 400, "the request body is not valid JSON"),
    ("POST", IMPORT, "", b"{}", "text/plain", "query", 415, "the request body must be sent as application/json"),
    ("POST", IMPORT, "", b'{"name": "a", "nodes": [], "x": "%s"}' % (b"y" * 64), "application/json", "query",
     413, "the request body is larger than 60 bytes"),
    ("POST", IMPORT, "", b'{"name": "taken", "nodes": []}', "application/json", "query", 409, "exists"),
    ("POST", IMPORT, "token=%ff", b"{}", "application/json", None, 400, "the query argument 'token' is not UTF-8"),
])
async def test_each_refusal_has_one_warning_access_line_with_its_reason(api, velmora_config, caplog, method, path,
                                                                        query, body, content_type, auth, status,
                                                                        reason):
    with open(os.path.join(api.root, "taken.pipeline"), "w") as f:
        f.write("{}")
    headers = {"Content-Type": content_type} if content_type else {}
    with caplog.at_level(logging.DEBUG):
        caplog.clear()
        r = await api.request(method, path, body, headers=headers, auth=auth, query=query)
    assert r.status == status
    warnings = [rec for rec in caplog.records if rec.levelno >= logging.WARNING]
    assert [rec.levelno for rec in warnings] == [logging.WARNING], caplog.text
    line = warnings[0].getMessage()
    assert line.startswith("%d %s /a%%40b/api/velmora/" % (status, method)), line
    shown = line.partition(" referer=None: ")[2]
    assert shown and reason in shown, line
    assert api.token not in caplog.text


async def test_a_failure_of_our_code_logs_its_traceback_without_the_token(api, caplog, monkeypatch):
    def write(*args, **kwargs):
        raise RuntimeError("the disk is on fire")

    monkeypatch.setattr(PipelineStore, "write", write)
    with caplog.at_level(logging.DEBUG):
        caplog.clear()
        r = await api.import_pipeline({"name": "a", "nodes": []}, auth="query")
    assert r.status == 500
    crash = [rec for rec in caplog.records if rec.getMessage().startswith("Uncaught exception POST")]
    assert len(crash) == 1 and crash[0].levelno == logging.ERROR
    assert "RuntimeError: the disk is on fire" in caplog.text
    assert api.token not in caplog.text


async def test_writes_go_to_the_directory_opened_at_load_until_stop_extension_closes_it(api, jp_serverapp, tmp_path):
    root = os.path.realpath(api.root)
    moved, elsewhere = str(tmp_path / "moved"), str(tmp_path / "elsewhere")
    os.mkdir(elsewhere)
    os.rename(root, moved)
    os.symlink(elsewhere, root)
    assert (await api.import_pipeline({"name": "p", "nodes": []})).status == 201
    assert (os.listdir(moved), os.listdir(elsewhere)) == (["p.pipeline"], [])
    assert fds_on(moved) and misc.current_server().root_dir == root

    await velmora_app(jp_serverapp).stop_extension()
    assert fds_on(moved) == [] and misc.current_server() is None


@pytest.mark.skipif(not hasattr(__import__("jupyter_server.utils").utils, "JupyterServerAuthWarning"),
                    reason="jupyter_server checks its handlers' authentication from 2.13 on")
@pytest.mark.parametrize("velmora_config", [{"ServerApp": {"allow_unauthenticated_access": False}}], indirect=True)
async def test_a_server_that_refuses_unauthenticated_endpoints_finds_none_of_velmoras(api, jp_serverapp):
    import warnings

    from jupyter_server.utils import JupyterServerAuthWarning

    from velmora.server import extension

    # Mounted again, watched: the server names each endpoint it finds undecorated.
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        extension.load(jp_serverapp).close()
    ours = [str(w.message) for w in caught
            if issubclass(w.category, JupyterServerAuthWarning) and "api/velmora" in str(w.message)]
    assert not ours
    assert (await api.info()).status == 200


async def test_stop_extension_ends_the_worker_that_checked_a_large_body(api, jp_serverapp):
    from velmora.server.handlers.pipeline_import import body_check

    large = {"name": "big", "nodes": [], "pad": "x" * (body_check.IN_THREAD_LIMIT + 1)}
    r = await api.import_pipeline(large, query="overwrite=true")
    assert r.status == 201, r.body
    pool = body_check._pool
    assert pool is not None
    await velmora_app(jp_serverapp).stop_extension()
    assert body_check._pool is None
    # Shut down: it takes no more work, and its threads have ended.
    with pytest.raises(RuntimeError):
        pool.submit(int)
