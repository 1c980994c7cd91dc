"""HTTP test fixtures: the velmora app served from a thread on loopback, and a small client.

Every server runs twice, on the compiled handler modules (skipped when they are
not built) and on the interpreted twins. Import the fixtures into a test module
by name.
"""
import asyncio
import http.client
import json
import os
import secrets
import shutil
import socket
import threading
import urllib.parse
from typing import Any, Dict, List, NamedTuple, Optional, Tuple

import pytest

from velmora.server import handler_sets
from velmora.server.app import VelmoraServer, make_app
from velmora.server.connections import ConnectionLimits

TOKEN = "test-" + secrets.token_hex(16)
KINDS = ("compiled", "twin")


def load_handler_set(kind: str) -> handler_sets.HandlerSet:
    if kind == "compiled":
        # Only a missing build skips; a module that is there but fails to load is a failure.
        if not handler_sets.compiled_available():
            pytest.skip("the compiled handler modules are not built")
        return handler_sets.compiled()
    import twins.groundwork
    import twins.hostfacts

    return handler_sets.from_modules("twin", twins.hostfacts, twins.groundwork)


class ServerThread:
    """Runs a server (`listen(port) -> port`, `async stop()`) in its own asyncio loop
    in a daemon thread."""

    def __init__(self, server) -> None:
        self.server = server
        self.port: Optional[int] = None
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._ready = threading.Event()
        self._error: Optional[BaseException] = None
        self._thread = threading.Thread(target=self._run, name="velmora-test-server", daemon=True)

    def _run(self) -> None:
        loop = asyncio.new_event_loop()
        asyncio.set_event_loop(loop)
        self._loop = loop
        try:
            self.port = self.server.listen(0)
        except BaseException as e:  # reported to the starting thread
            self._error = e
            self._ready.set()
            loop.close()
            return
        self._ready.set()
        try:
            loop.run_forever()
        finally:
            loop.close()

    def start(self) -> "ServerThread":
        self._thread.start()
        self._ready.wait()
        if self._error is not None:
            raise self._error
        return self

    def stop(self) -> None:
        if self._loop is None or not self._thread.is_alive():
            return
        asyncio.run_coroutine_threadsafe(self.server.stop(), self._loop).result()
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join()


class Response(NamedTuple):
    status: int
    headers: http.client.HTTPMessage
    body: bytes

    def json(self) -> Any:
        assert self.headers.get("Content-Type", "").startswith("application/json"), self.headers
        return json.loads(self.body)


class Client:
    """Plain http.client requests; `auth` is "header", "query" or None."""

    def __init__(self, port: int, token: str = TOKEN) -> None:
        self.port = port
        self.token = token

    def connect(self) -> http.client.HTTPConnection:
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)

    def request(self, method: str, path: str, body: Optional[bytes] = None, *,
                headers: Optional[Dict[str, str]] = None, auth: Optional[str] = "header",
                token: Optional[str] = None,
                conn: Optional[http.client.HTTPConnection] = None) -> Response:
        token = self.token if token is None else token
        headers = dict(headers or {})
        if auth == "header":
            headers["Authorization"] = "token " + token
        elif auth == "query":
            path += ("&" if "?" in path else "?") + "token=" + urllib.parse.quote(token)
        own = conn is None
        conn = conn or self.connect()
        try:
            conn.request(method, path, body=body, headers=headers)
            r = conn.getresponse()
            return Response(r.status, r.headers, r.read())
        finally:
            if own:
                conn.close()

    def info(self, **kw: Any) -> Response:
        return self.request("GET", "/api/velmora/server-info", **kw)

    def import_pipeline(self, pipeline: Any, query: str = "", **kw: Any) -> Response:
        body = pipeline if isinstance(pipeline, bytes) else json.dumps(pipeline).encode()
        headers = dict(kw.pop("headers", {}))
        headers.setdefault("Content-Type", "application/json")
        return self.request("POST", "/api/velmora/pipelines/import" + query, body,
                            headers=headers, **kw)


def exchange(port: int, data: bytes, *, then: bytes = b"") -> bytes:
    """Sends `data` whole (and `then` once an answer started), then returns all the server
    sent until it closed; a reset is a failure."""
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        # No half-close: tornado takes the end of the client's stream for a client that left.
        s.sendall(data)
        received = b""
        if then:
            received = s.recv(65536)
            s.sendall(then)
        while True:
            piece = s.recv(65536)
            if not piece:
                return received
            received += piece


def responses(data: bytes) -> List[Tuple[int, Dict[str, str], bytes]]:
    """(status, headers, body) of each response in a byte stream, interim ones included."""
    out = []
    while data:
        head, _, data = data.partition(b"\r\n\r\n")
        lines = head.decode("latin1").split("\r\n")
        headers = {k.lower(): v.strip() for k, _, v in (line.partition(":") for line in lines[1:])}
        length = int(headers.get("content-length", 0))
        out.append((int(lines[0].split()[1]), headers, data[:length]))
        data = data[length:]
    return out


class LiveServer(NamedTuple):
    kind: str
    handler_set: handler_sets.HandlerSet
    root: str
    client: Client
    thread: ServerThread


def start_server(kind: str, root: str, limits: ConnectionLimits = ConnectionLimits(),
                 **app_kw: Any) -> LiveServer:
    handler_set = load_handler_set(kind)
    app = make_app(handler_set, root_dir=root, token=TOKEN, **app_kw)
    thread = ServerThread(VelmoraServer(app, root_dir=root, limits=limits)).start()
    return LiveServer(kind, handler_set, root, Client(thread.port), thread)


@pytest.fixture(scope="module", params=KINDS)
def live_server(request, tmp_path_factory):
    root = os.path.realpath(str(tmp_path_factory.mktemp("root-" + request.param)))
    live = start_server(request.param, root)
    yield live
    live.thread.stop()


@pytest.fixture
def server(live_server):
    """The module's server for one kind of handlers, with an empty root directory."""
    for name in os.listdir(live_server.root):
        path = os.path.join(live_server.root, name)
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path)
        else:
            os.unlink(path)
    return live_server
