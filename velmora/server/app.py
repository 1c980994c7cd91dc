"""velmora as a Jupyter server extension application.

`Velmora` is what a Jupyter server loads (through `_jupyter_server_extension_points`)
and what `velmora-server`, `python -m velmora.server` and `jupyter velmora`
launch: a Jupyter server with velmora alone, taking every Jupyter option.
Authentication, cookies, XSRF, the Host check, logging and connections are the
Jupyter server's, whichever way it started.

Launched by velmora, the server also gets tornado's idle and body timeouts
(`Velmora.idle_timeout`, `Velmora.body_timeout`), which jupyter_server leaves
unset; in a server started otherwise, they are that server's to choose.
"""
from typing import Any, List, Optional, Tuple

from jupyter_server.extension.application import ExtensionApp
from tornado.httpserver import HTTPServer
from traitlets import Enum, Float, Int, TraitError, default, validate

from . import extension, handler_sets
from .handlers.pipeline_import.handlers import DEFAULT_MAX_BODY_SIZE
from .routes import INFO_PATH


def _version() -> str:
    from velmora import __version__

    return __version__


def _token_option() -> Tuple[str, List[type]]:
    """The option the token is, and the class that holds it beside ServerApp."""
    # jupyter_server 2 keeps the token in its identity provider; ServerApp.token is deprecated there.
    try:
        from jupyter_server.auth.identity import IdentityProvider
    except ImportError:
        return "ServerApp.token", []
    return "IdentityProvider.token", [IdentityProvider]


_TOKEN_OPTION, _TOKEN_CLASSES = _token_option()


class Velmora(ExtensionApp):
    """The velmora API (server facts, pipeline import) in a Jupyter server."""

    name = "velmora"
    description = ("The velmora API in a Jupyter server of its own. Every Jupyter option applies "
                   "(--ServerApp.*, --IdentityProvider.*); velmora's are the Velmora ones.")
    version = _version()
    extension_url = "/" + INFO_PATH
    # Launched by itself, the server carries velmora alone.
    load_other_extensions = False

    classes = list(ExtensionApp.classes) + _TOKEN_CLASSES
    aliases = {
        "port": "ServerApp.port",
        "root-dir": "ServerApp.root_dir",
        "token": _TOKEN_OPTION,
        "max-body-size": "Velmora.max_body_size",
    }

    max_body_size = Int(
        DEFAULT_MAX_BODY_SIZE,
        help="""The largest pipeline import body, in bytes. A larger one is
        refused with 413. Default: the tornado setting "velmora_max_body_size"
        when the server has one, else 1 MiB.""",
    ).tag(config=True)

    idle_timeout = Float(
        20.0,
        help="""Seconds a connection may take to send a request head, or stay
        idle between requests. Applies when velmora starts the server
        (velmora-server, jupyter velmora).""",
    ).tag(config=True)

    body_timeout = Float(
        60.0,
        help="""Seconds a request body may take to arrive. Applies when velmora
        starts the server (velmora-server, jupyter velmora).""",
    ).tag(config=True)

    handler_kind = Enum(
        ["auto", "compiled", "twin"], "auto",
        help="""Which handler classes serve: "auto" (the compiled ones where they
        import, else the interpreted ones), or either kind by name, for
        benchmarks and comparisons.""",
    ).tag(config=True)

    _launched = False
    _mounted: Optional[extension.Mounted] = None

    @default("open_browser")
    def _default_open_browser(self) -> bool:
        # An API, not a page: nothing to open unless asked for.
        return bool(self.serverapp.config["ServerApp"].get("open_browser", False))

    @default("max_body_size")
    def _max_body_size_default(self) -> int:
        web_app = getattr(self.serverapp, "web_app", None)
        settings = web_app.settings if web_app is not None else {}
        return int(settings.get(extension.TORNADO_MAX_BODY_SIZE, DEFAULT_MAX_BODY_SIZE))

    @validate("max_body_size")
    def _check_max_body_size(self, proposal: Any) -> int:
        if proposal["value"] < 1:
            raise TraitError("Velmora.max_body_size must be at least 1 byte, not %r" % proposal["value"])
        return proposal["value"]

    @validate("idle_timeout", "body_timeout")
    def _check_timeout(self, proposal: Any) -> float:
        if not 0 < proposal["value"] < float("inf"):
            raise TraitError("Velmora.%s must be a positive number of seconds, not %r"
                             % (proposal["trait"].name, proposal["value"]))
        return proposal["value"]

    def print_version(self) -> None:
        print("velmora %s" % self.version)

    @classmethod
    def initialize_server(cls, argv: Any = None, load_other_extensions: bool = True, **kwargs: Any) -> Any:
        cls._launched = True
        return super().initialize_server(argv=argv, load_other_extensions=load_other_extensions, **kwargs)

    def _link_jupyter_server_extension(self, serverapp: Any) -> None:
        super()._link_jupyter_server_extension(serverapp)
        if type(self)._launched:
            # The server takes any int and fails on it only when it binds, with a traceback.
            if not 0 <= serverapp.port <= 65535:
                raise SystemExit("velmora-server: --port: a port is a number from 0 to 65535, not %d"
                                 % serverapp.port)
            # The server makes its HTTPServer after linking its extensions; tornado
            # adds these to the arguments of every HTTPServer made in this process,
            # which velmora owns when it started the server.
            HTTPServer.configure(None, idle_connection_timeout=self.idle_timeout,
                                 body_timeout=self.body_timeout)

    def initialize_handlers(self) -> None:
        handler_set = handler_sets.load(self.handler_kind)
        self._mounted = extension.load(self.serverapp, handler_set, max_body_size=self.max_body_size)

    async def stop_extension(self) -> None:
        mounted, self._mounted = self._mounted, None
        if mounted is not None:
            mounted.close()
            self.serverapp.log.info("velmora: stopped serving %s", mounted.pipeline_store.root_dir)
        if type(self)._launched:
            HTTPServer.configure(None)
            type(self)._launched = False


def main(argv: Optional[list] = None) -> None:
    Velmora.launch_instance(argv)
