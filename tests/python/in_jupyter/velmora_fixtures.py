"""Servers for the tests in this folder: pytest-jupyter's, with velmora alone among the extensions.

The plugin is brought in here rather than for the whole suite: its fixtures
start an event loop and clean up a server around every test they cover.
"""
import asyncio
import json
import urllib.parse
from typing import Any, Dict, NamedTuple, Optional

import pytest
from pytest_jupyter.jupyter_server import *  # noqa: F401,F403  (fixtures, and the hooks that run async tests)
from traitlets.config import Config

from handler_standins import KINDS, load_handler_set, without_compiled_builds
from velmora.server import extension, handler_sets

INFO = "api/velmora/server-info"
IMPORT = "api/velmora/pipelines/import"
# Each test marked so runs on the compiled handlers (skipped where not built) and on the twins.
BOTH_KINDS = pytest.mark.parametrize("handlers", KINDS, indirect=True)


@pytest.fixture
def handlers(request, monkeypatch):
    """The handler set the server mounts: what the import system finds, unless a test names a kind."""
    kind = getattr(request, "param", None)
    if kind is None:
        return None
    if kind == "unbuilt":
        # As where the compiled modules are not built: the loader falls back on its own.
        without_compiled_builds(monkeypatch, handler_sets.COMPILED_INFO)
        return None
    handler_set = load_handler_set(kind)
    monkeypatch.setattr(handler_sets, "load", lambda kind="auto": handler_set)
    return handler_set


@pytest.fixture
def velmora_config(request):
    """Extra server config of a test: none, unless given by indirect parametrization."""
    return getattr(request, "param", {})


@pytest.fixture
def jp_server_config(handlers, velmora_config):
    config = Config({"ServerApp": {"jpserver_extensions": {"velmora": True, "jupyter_server_terminals": False}}})
    config.merge(Config(velmora_config))
    return config


class Response(NamedTuple):
    status: int
    headers: Any
    body: bytes

    def json(self) -> Any:
        assert self.headers.get("Content-Type", "").startswith("application/json"), self.headers
        return json.loads(self.body)


class Api:
    """Requests to the server under test, under its base URL; `auth` is "header", "query" or None."""

    def __init__(self, serverapp: Any, client: Any, base_url: str, port: int) -> None:
        self.serverapp = serverapp
        self.client = client
        self.base_url = base_url
        self.port = port
        self.token = extension.server_token(serverapp)
        self.root = serverapp.root_dir

    async def request(self, method: str, path: str, body: Optional[bytes] = None, *,
                      headers: Optional[Dict[str, str]] = None, auth: Optional[str] = "header",
                      token: Optional[str] = None, query: str = "") -> Response:
        token = self.token if token is None else token
        headers = dict(headers or {})
        if auth == "header":
            headers["Authorization"] = "token " + token
        elif auth == "query":
            query += ("&" if query else "") + "token=" + urllib.parse.quote(token)
        url = self.base_url + path + ("?" + query if query else "")
        r = await self.client.fetch(url, method=method, body=body, headers=headers, raise_error=False,
                                    allow_nonstandard_methods=True, follow_redirects=False,
                                    request_timeout=60)
        return Response(r.code, r.headers, r.body or b"")

    async def info(self, **kw: Any) -> Response:
        return await self.request("GET", INFO, **kw)

    async def import_pipeline(self, pipeline: Any, query: str = "", **kw: Any) -> Response:
        body = pipeline if isinstance(pipeline, bytes) else json.dumps(pipeline).encode()
        headers = dict(kw.pop("headers", {}))
        headers.setdefault("Content-Type", "application/json")
        return await self.request("POST", IMPORT, body, headers=headers, query=query, **kw)

    async def exchange(self, data: bytes) -> bytes:
        """Sends raw bytes, returns all the server sent until it closed."""
        reader, writer = await asyncio.open_connection("127.0.0.1", self.port)
        try:
            writer.write(data)
            await writer.drain()
            return await asyncio.wait_for(reader.read(), 60)
        finally:
            writer.close()


def velmora_app(serverapp):
    """The extension application the server linked and loaded."""
    return serverapp.extension_manager.extension_points["velmora"].app


@pytest.fixture
def api(jp_serverapp, http_server_client, jp_base_url, jp_http_port):
    return Api(jp_serverapp, http_server_client, jp_base_url, jp_http_port)
