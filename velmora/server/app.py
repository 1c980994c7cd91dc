"""The standalone velmora server: the API on loopback, protected like a Jupyter server's.

Requests authenticate with the token (header `Authorization: token ...`, or
`?token=...`); a token login also sets a signed cookie (SameSite=Lax), and
writes that rely on the cookie alone must pass the XSRF check. The token is
masked in every log line (`log_mask`), and the connections are limited and
timed (`connections`). The handler classes are a parameter (`HandlerSet`):
the compiled ones, or the interpreted fallback.
"""
import argparse
import asyncio
import hmac
import inspect
import logging
import os
import secrets
import shlex
import signal
import sys
import uuid
from typing import Any, Dict, List, Optional

from jupyter_server.auth.authorizer import AllowAllAuthorizer
from jupyter_server.auth.login import LoginHandler
from tornado import web
from tornado.escape import url_escape
from tornado.log import access_log
from tornado.netutil import bind_sockets

from . import handler_sets, log_mask, misc
from .connections import ConnectionLimits, GuardedHTTPServer
from .handler_sets import HandlerSet
from .handlers.pipeline_import.handlers import DEFAULT_MAX_BODY_SIZE
from .handlers.pipeline_import.store import PipelineStore
from .routes import IMPORT_PATH, INFO_PATH, NotFoundHandler, route_table

HOST = "127.0.0.1"
DEFAULT_PORT = 8888
TOKEN_ENV = "VELMORA_TOKEN"
# How long a stop waits for open connections before it lets go of them.
STOP_GRACE_SECONDS = 5.0


def _log_request(handler: web.RequestHandler) -> None:
    # One line per request, with the reason of a refusal; the token mask on
    # the access log takes the token out of the URI.
    status = handler.get_status()
    if status < 400:
        log = access_log.info
    elif status < 500:
        log = access_log.warning
    else:
        log = access_log.error
    request = handler.request
    reason = getattr(handler, "error_message", None) if status >= 400 else None
    log("%d %s %s (%s) %.2fms%s", status, request.method, request.uri, request.remote_ip,
        1000.0 * request.request_time(), ": " + reason if reason else "")


class TokenLoginHandler(LoginHandler):
    """jupyter_server's login, with the token compared in constant time."""

    @classmethod
    def get_user_token(cls, handler: web.RequestHandler) -> Optional[str]:
        token = handler.token
        if not token:
            return None
        # Bytes: compare_digest refuses str that is not ASCII, and clients choose what they send.
        sent = cls.get_token(handler).encode("utf-8", "surrogatepass")
        if not hmac.compare_digest(sent, token.encode("utf-8", "surrogatepass")):
            return None
        return uuid.uuid4().hex


def _token_identity_provider(token: str, cookie_options: Dict[str, Any]) -> Any:
    """jupyter_server 2's identity provider for our token, compared in constant time; None before 2."""
    try:
        from jupyter_server.auth.identity import IdentityProvider
    except ImportError:
        return None

    class TokenIdentityProvider(IdentityProvider):  # type: ignore[misc,valid-type]
        async def get_user_token(self, handler: web.RequestHandler) -> Any:
            sent = self.get_token(handler) or ""
            if not hmac.compare_digest(sent.encode("utf-8", "surrogatepass"),
                                       self.token.encode("utf-8", "surrogatepass")):
                return None
            user = self.get_user_cookie(handler)
            if inspect.isawaitable(user):
                user = await user
            return user or self.generate_anonymous_user(handler)

    return TokenIdentityProvider(token=token, cookie_options=cookie_options)


def server_settings(*, token: str, base_url: str = "/", cookie_secret: Optional[bytes] = None) -> Dict[str, Any]:
    """Tornado settings under which jupyter_server's APIHandler enforces authentication."""
    if not token:
        # An empty token makes the framework treat everybody as logged in.
        raise ValueError("the token must not be empty")
    # A page of another site cannot make the browser send the login cookie
    # with its requests; following a link here still logs in.
    cookie_options = {"samesite": "Lax"}
    identity = _token_identity_provider(token, cookie_options)
    auth: Dict[str, Any] = {"login_handler_class": TokenLoginHandler, "authorizer": AllowAllAuthorizer()}
    if identity is not None:
        # jupyter_server 2 authenticates through the provider, and would make one
        # with a token of its own if the settings had none.
        auth = {"identity_provider": identity,
                "authorizer": AllowAllAuthorizer(identity_provider=identity)}
    return {
        "base_url": base_url,
        "token": token,
        **auth,
        "cookie_secret": cookie_secret or os.urandom(32),
        "cookie_options": cookie_options,
        "xsrf_cookies": True,
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
    log_mask.install(token)
    return web.Application(routes, **settings)


class VelmoraServer:
    """One application listening on loopback, registered for the server-info facts.

    Runs in the asyncio loop of the thread that calls `listen`. The
    application's pipeline store is open while it serves.
    """

    def __init__(self, app: web.Application, *, root_dir: str,
                 limits: ConnectionLimits = ConnectionLimits()) -> None:
        self.app = app
        self.root_dir = root_dir
        self.limits = limits
        self.port: Optional[int] = None
        self._http: Optional[GuardedHTTPServer] = None
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
        # Bodies over the import limit are refused on every route; the import
        # handler itself reads a little more, to refuse with its own answer.
        limit = self.app.settings.get("velmora_max_body_size", DEFAULT_MAX_BODY_SIZE)
        self._http = GuardedHTTPServer(self.app, max_body_size=limit, limits=self.limits)
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


# argparse names the function of a type that raises ValueError ("invalid _port
# value"): each says instead what the option takes, after the option as typed.
def _number(kind: type, text: str, expected: str) -> Any:
    try:
        return kind(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%s, not %r" % (expected, text)) from None


def _port(text: str) -> int:
    expected = "a port is a number from 0 to 65535"
    port = _number(int, text, expected)
    if not 0 <= port <= 65535:
        raise argparse.ArgumentTypeError("%s, not %r" % (expected, text))
    return port


def _positive(text: str) -> int:
    expected = "expected a whole number of at least 1"
    value = _number(int, text, expected)
    if value < 1:
        raise argparse.ArgumentTypeError("%s, not %r" % (expected, text))
    return value


def _seconds(text: str) -> float:
    expected = "expected a positive number of seconds"
    value = _number(float, text, expected)
    if not 0 < value < float("inf"):
        raise argparse.ArgumentTypeError("%s, not %r" % (expected, text))
    return value


def _program_name() -> str:
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    # Under -m, argv[0] is the path of __main__.py.
    return "python -m velmora.server" if name in ("", "__main__.py", "-c") else name


def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog=_program_name(),
        description="Serve the velmora API (server facts, pipeline import) on %s." % HOST,
    )
    parser.add_argument("--version", action="version", version="velmora %s" % _version())
    parser.add_argument("--port", type=_port, default=DEFAULT_PORT,
                        help="port to listen on; 0 picks a free one (default %(default)s)")
    parser.add_argument("--root-dir", default=None,
                        help="directory that receives imported pipelines, created when missing "
                             "(default: the current one)")
    parser.add_argument("--token", default=None,
                        help="API token (default: $%s, else a random one, which is printed at "
                             "start); a token given here is visible to other users in the process "
                             "list" % TOKEN_ENV)
    parser.add_argument("--max-body-size", type=_positive, default=DEFAULT_MAX_BODY_SIZE,
                        help="largest pipeline import body, in bytes (default %(default)s)")
    defaults = ConnectionLimits()
    parser.add_argument("--idle-timeout", type=_seconds, default=defaults.idle_timeout,
                        help="seconds a connection may take to send a request head, or stay idle "
                             "between requests (default %(default)s)")
    parser.add_argument("--body-timeout", type=_seconds, default=defaults.body_timeout,
                        help="seconds for a request body, and for an answer to be read "
                             "(default %(default)s)")
    parser.add_argument("--max-connections", type=_positive, default=defaults.max_connections,
                        help="open connections at most; lowered to fit the file-descriptor limit "
                             "(default %(default)s)")
    # For benchmarks and development: which handler classes to mount.
    parser.add_argument("--handlers", choices=("auto", "compiled", "twin"), default="auto",
                        help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    args.token_generated = False
    if args.token is None:
        args.token = os.environ.get(TOKEN_ENV)
        if not args.token:
            args.token, args.token_generated = secrets.token_hex(24), True
    elif not args.token:
        parser.error("--token must not be empty: without a token anybody on this machine could use the API")
    try:
        args.root_dir = root_directory(args.root_dir or os.getcwd())
    except ValueError as e:
        parser.error("--root-dir %s" % e)
    return args


def root_directory(path: str) -> str:
    """The real path of the directory `path`, made (with its parents) when it does not exist."""
    root = os.path.realpath(os.path.expanduser(path))
    if not os.path.lexists(root):
        try:
            os.makedirs(root)
        except FileExistsError:
            pass  # made meanwhile by someone else: checked below like any other
        except OSError as e:
            raise ValueError("%s does not exist and cannot be created: %s" % (root, e.strerror or e)) from None
    if not os.path.isdir(root):
        raise ValueError("%s is not a directory" % root)
    return root


# Stands for a token the user chose, which the banner never shows: it could
# reach a shared terminal or a log that the user did not expect it in.
TOKEN_PLACEHOLDER = "<your token>"


def _banner(port: int, token: Optional[str], handler_set: HandlerSet, root_dir: str) -> str:
    """The start-up text; `token` is None when the user chose it (it is not printed then)."""
    base = "http://%s:%d/" % (HOST, port)
    shown = token if token is not None else TOKEN_PLACEHOLDER
    auth = shlex.quote("Authorization: token " + shown)
    body = shlex.quote('{"name": "example", "nodes": []}')
    query = url_escape(token) if token is not None else TOKEN_PLACEHOLDER
    lines = [
        "velmora %s (%s handlers) serving %s" % (_version(), handler_set.kind, root_dir),
        "Listening on %s" % base,
        "    %s%s?token=%s" % (base, INFO_PATH, query),
        "    POST %s%s" % (base, IMPORT_PATH),
        "Or copy and paste:",
        "    curl -H %s %s%s" % (auth, base, INFO_PATH),
        "    curl -H %s -H 'Content-Type: application/json' -d %s %s%s"
        % (auth, body, base, IMPORT_PATH),
    ]
    if token is None:
        lines.append("(%s: the token you gave with --token or $%s)" % (TOKEN_PLACEHOLDER, TOKEN_ENV))
    lines.append("Press Ctrl-C to stop.")
    return "\n".join(lines)


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
    limits = ConnectionLimits(args.idle_timeout, args.body_timeout, args.max_connections)
    server = VelmoraServer(app, root_dir=args.root_dir, limits=limits)
    try:
        port = server.listen(args.port)
    except OSError as e:
        print("velmora: cannot listen on %s:%d: %s" % (HOST, args.port, e.strerror or e), file=sys.stderr)
        return 1
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop.set)
    shown = args.token if args.token_generated else None
    print(_banner(port, shown, handler_set, args.root_dir), flush=True)
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
    # Whatever logger a record comes from, the console handler masks the token.
    log_mask.install(args.token, handlers=logging.getLogger().handlers)
    try:
        handler_set = _load_handlers(args.handlers)
    except ImportError as e:
        print("velmora: cannot load the %s handlers: %s" % (args.handlers, e), file=sys.stderr)
        return 1
    return asyncio.run(_serve(args, handler_set))
