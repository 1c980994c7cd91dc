"""The standalone velmora server: the API on loopback, protected like a Jupyter server's.

Requests authenticate with the token (header `Authorization: token ...`, or
`?token=...`); a token login also sets a signed cookie, and writes that rely on
the cookie alone must pass the XSRF check. The handler classes are a parameter
(`HandlerSet`): the compiled ones, or the interpreted fallback.
"""
import argparse
import asyncio
import logging
import os
import re
import secrets
import shlex
import signal
import sys
from typing import Any, Dict, List, Optional

from jupyter_server.auth.authorizer import AllowAllAuthorizer
from jupyter_server.auth.login import LoginHandler
from tornado import web
from tornado.escape import url_escape
from tornado.httpserver import HTTPServer
from tornado.log import access_log
from tornado.netutil import bind_sockets

from . import handler_sets, misc
from .handler_sets import HandlerSet
from .handlers.pipeline_import.handlers import DEFAULT_MAX_BODY_SIZE, drain_limit
from .handlers.pipeline_import.store import PipelineStore
from .routes import IMPORT_PATH, INFO_PATH, NotFoundHandler, route_table

HOST = "127.0.0.1"
DEFAULT_PORT = 8888
TOKEN_ENV = "VELMORA_TOKEN"
# How long a stop waits for open connections before it lets go of them.
STOP_GRACE_SECONDS = 5.0

_TOKEN_IN_QUERY = re.compile(r"([?&]token=)[^&]*")


def _log_request(handler: web.RequestHandler) -> None:
    # The token must not end up in log files when it came in the URL.
    status = handler.get_status()
    if status < 400:
        log = access_log.info
    elif status < 500:
        log = access_log.warning
    else:
        log = access_log.error
    request = handler.request
    uri = _TOKEN_IN_QUERY.sub(r"\1[secret]", request.uri or "")
    log("%d %s %s (%s) %.2fms", status, request.method, uri, request.remote_ip,
        1000.0 * request.request_time())


def server_settings(*, token: str, base_url: str = "/", cookie_secret: Optional[bytes] = None) -> Dict[str, Any]:
    """Tornado settings under which jupyter_server's APIHandler enforces authentication."""
    if not token:
        # An empty token makes the framework treat everybody as logged in.
        raise ValueError("the token must not be empty")
    return {
        "base_url": base_url,
        "token": token,
        "login_handler_class": LoginHandler,
        "cookie_secret": cookie_secret or os.urandom(32),
        "xsrf_cookies": True,
        "authorizer": AllowAllAuthorizer(),
        "allow_remote_access": False,
        "default_handler_class": NotFoundHandler,
        "log_function": _log_request,
    }


def make_app(
    handler_set: HandlerSet,
    *,
    root_dir: str,
    token: str,
    base_url: str = "/",
    max_body_size: int = DEFAULT_MAX_BODY_SIZE,
    cookie_secret: Optional[bytes] = None,
) -> web.Application:
    # Opened by VelmoraServer.listen, so that the root is resolved when serving starts.
    pipeline_store = PipelineStore(root_dir)
    routes = route_table(base_url, handler_set, pipeline_store=pipeline_store,
                         max_body_size=max_body_size)
    settings = server_settings(token=token, base_url=base_url, cookie_secret=cookie_secret)
    settings["velmora_max_body_size"] = max_body_size
    settings["velmora_pipeline_store"] = pipeline_store
    return web.Application(routes, **settings)


class VelmoraServer:
    """One application listening on loopback, registered for the server-info facts.

    Runs in the asyncio loop of the thread that calls `listen`. The
    application's pipeline store is open while it serves.
    """

    def __init__(self, app: web.Application, *, root_dir: str) -> None:
        self.app = app
        self.root_dir = root_dir
        self.port: Optional[int] = None
        self._http: Optional[HTTPServer] = None
        self._record: Optional[misc.ServerRecord] = None

    def listen(self, port: int = DEFAULT_PORT, host: str = HOST) -> int:
        """Starts serving; returns the port (the free one chosen for port 0)."""
        sockets = bind_sockets(port, host)
        pipeline_store = self.app.settings.get("velmora_pipeline_store")
        if pipeline_store is not None:
            try:
                pipeline_store.open()
            except BaseException:
                for sock in sockets:
                    sock.close()
                raise
        limit = self.app.settings.get("velmora_max_body_size", DEFAULT_MAX_BODY_SIZE)
        self._http = HTTPServer(self.app, max_body_size=drain_limit(limit))
        self._http.add_sockets(sockets)
        self.port = sockets[0].getsockname()[1]
        self._record = misc.register_server(
            base_url=self.app.settings.get("base_url", "/"), root_dir=self.root_dir
        )
        return self.port

    async def stop(self) -> None:
        if self._record is not None:
            misc.unregister_server(self._record)
            self._record = None
        if self._http is None:
            return
        http, self._http = self._http, None
        http.stop()
        try:
            await asyncio.wait_for(http.close_all_connections(), STOP_GRACE_SECONDS)
        except asyncio.TimeoutError:
            logging.getLogger("velmora").warning("velmora: some connections did not close in time")
        pipeline_store = self.app.settings.get("velmora_pipeline_store")
        if pipeline_store is not None:
            pipeline_store.close()


def _port(text: str) -> int:
    port = int(text)
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError("a port is a number from 0 to 65535")
    return port


def _positive(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="python -m velmora.server",
        description="Serve the velmora API (server facts, pipeline import) on %s." % HOST,
    )
    parser.add_argument("--port", type=_port, default=DEFAULT_PORT,
                        help="port to listen on; 0 picks a free one (default %(default)s)")
    parser.add_argument("--root-dir", default=None,
                        help="directory that receives imported pipelines (default: the current one)")
    parser.add_argument("--token", default=None,
                        help="API token (default: $%s, else a random one); a token given here "
                             "is visible to other users in the process list" % TOKEN_ENV)
    parser.add_argument("--max-body-size", type=_positive, default=DEFAULT_MAX_BODY_SIZE,
                        help="largest pipeline import body, in bytes (default %(default)s)")
    # For benchmarks and development: which handler classes to mount.
    parser.add_argument("--handlers", choices=("auto", "compiled", "twin"), default="auto",
                        help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.token is None:
        args.token = os.environ.get(TOKEN_ENV) or secrets.token_hex(24)
    elif not args.token:
        parser.error("--token must not be empty: without a token anybody on this machine could use the API")
    root = os.path.realpath(os.path.expanduser(args.root_dir or os.getcwd()))
    if not os.path.isdir(root):
        parser.error("--root-dir %s is not a directory" % root)
    args.root_dir = root
    return args


def _banner(port: int, token: str, handler_set: HandlerSet, root_dir: str) -> str:
    base = "http://%s:%d/" % (HOST, port)
    auth = shlex.quote("Authorization: token " + token)
    body = shlex.quote('{"name": "example", "nodes": []}')
    return "\n".join([
        "velmora %s (%s handlers) serving %s" % (_version(), handler_set.kind, root_dir),
        "Listening on %s" % base,
        "    %s%s?token=%s" % (base, INFO_PATH, url_escape(token)),
        "    POST %s%s" % (base, IMPORT_PATH),
        "Or copy and paste:",
        "    curl -H %s %s%s" % (auth, base, INFO_PATH),
        "    curl -H %s -H 'Content-Type: application/json' -d %s %s%s"
        % (auth, body, base, IMPORT_PATH),
        "Press Ctrl-C to stop.",
    ])


def _version() -> str:
    from velmora import __version__

    return __version__


def _load_handlers(kind: str) -> HandlerSet:
    handler_set = handler_sets.load(kind)
    # The standalone server mounts the API under "/".
    logging.getLogger("velmora").info("%s", handler_sets.mount_message("/", handler_set))
    return handler_set


async def _serve(args: argparse.Namespace, handler_set: HandlerSet) -> int:
    app = make_app(handler_set, root_dir=args.root_dir, token=args.token,
                   max_body_size=args.max_body_size)
    server = VelmoraServer(app, root_dir=args.root_dir)
    try:
        port = server.listen(args.port)
    except OSError as e:
        print("velmora: cannot listen on %s:%d: %s" % (HOST, args.port, e.strerror or e), file=sys.stderr)
        return 1
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    print(_banner(port, args.token, handler_set, args.root_dir), flush=True)
    try:
        await stop.wait()
    finally:
        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.remove_signal_handler(sig)
        await server.stop()
    print("velmora: stopped", flush=True)
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    args = parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="[%(levelname).1s %(asctime)s %(name)s] %(message)s")
    try:
        handler_set = _load_handlers(args.handlers)
    except ImportError as e:
        print("velmora: cannot load the %s handlers: %s" % (args.handlers, e), file=sys.stderr)
        return 1
    return asyncio.run(_serve(args, handler_set))
