"""Mounting velmora in a running Jupyter server application.

Settings are traitlets of the `Velmora` class, set like any Jupyter option:
`--Velmora.max_body_size=4194304` on the command line, or
`c.Velmora.max_body_size = 4 << 20` in `jupyter_server_config.py`;
`python -m velmora.server.extension --help-all` lists them. The tornado setting
"velmora_max_body_size" (`ServerApp.tornado_settings`) still sets the default.

The server's log is the host's: velmora masks the token only in the records it
makes itself (its own logger, and through its handlers' log, the access lines
of its routes). Connections, their limits and timeouts belong to the server.
"""
import os
from typing import Any, Optional

from traitlets import Int, TraitError, default, validate
from traitlets.config import Application, Configurable

from . import handler_sets, log_mask, misc
from .handler_sets import HandlerSet
from .handlers.pipeline_import.handlers import DEFAULT_MAX_BODY_SIZE
from .handlers.pipeline_import.store import PipelineStore
from .routes import route_table

TORNADO_MAX_BODY_SIZE = "velmora_max_body_size"


class Velmora(Configurable):
    """velmora's settings in a Jupyter server."""

    max_body_size = Int(
        DEFAULT_MAX_BODY_SIZE,
        help="""The largest pipeline import body, in bytes. A larger one is
        refused with 413. Default: the tornado setting "velmora_max_body_size"
        when the server has one, else 1 MiB.""",
    ).tag(config=True)

    def __init__(self, tornado_settings: Optional[dict] = None, **kwargs: Any) -> None:
        self._tornado_settings = tornado_settings or {}
        super().__init__(**kwargs)

    @default("max_body_size")
    def _max_body_size_default(self) -> int:
        return int(self._tornado_settings.get(TORNADO_MAX_BODY_SIZE, DEFAULT_MAX_BODY_SIZE))

    @validate("max_body_size")
    def _check_max_body_size(self, proposal: Any) -> int:
        if proposal["value"] < 1:
            raise TraitError("Velmora.max_body_size must be at least 1 byte, not %r" % proposal["value"])
        return proposal["value"]


def server_token(serverapp: Any) -> Optional[str]:
    """The server's token, read where the server keeps it.

    jupyter_server 2 keeps it in its identity provider and deprecates
    `ServerApp.token`; 1.x has only the latter.
    """
    provider = getattr(serverapp, "identity_provider", None)
    if provider is not None:
        return getattr(provider, "token", None)
    token = getattr(serverapp, "token", None)
    if token:
        return token
    return serverapp.web_app.settings.get("token")


def options_for(serverapp: Any) -> Velmora:
    settings = serverapp.web_app.settings
    if isinstance(serverapp, Configurable):
        # As a child of the server, "c.ServerApp.Velmora..." works as well.
        return Velmora(tornado_settings=settings, parent=serverapp)
    return Velmora(tornado_settings=settings, config=getattr(serverapp, "config", None))


def load(serverapp, handler_set: Optional[HandlerSet] = None) -> None:
    options = options_for(serverapp)
    if handler_set is None:
        handler_set = handler_sets.load("auto")
    web_app = serverapp.web_app
    settings = web_app.settings
    base_url = settings.get("base_url", "/")
    root_dir = getattr(serverapp, "root_dir", None) or settings.get("server_root_dir") or os.getcwd()
    root_dir = os.path.realpath(os.path.expanduser(root_dir))
    # Jupyter has no stop hook for a plain extension: the handle lives as long as the process.
    pipeline_store = PipelineStore(root_dir).open()
    web_app.add_handlers(
        ".*$",
        route_table(base_url, handler_set, pipeline_store=pipeline_store, max_body_size=options.max_body_size),
    )
    # Jupyter records its start in the settings; the record lives as long as the process.
    misc.register_server(base_url=base_url, root_dir=root_dir, started=settings.get("started"))
    token = server_token(serverapp)
    if token:
        log_mask.guard_own_records(token)
    log = getattr(serverapp, "log", None)
    if log is not None:
        log.info("%s", handler_sets.mount_message(base_url, handler_set))


class VelmoraHelp(Application):
    """Lists velmora's settings: `python -m velmora.server.extension --help-all`."""

    name = "velmora"
    description = ("velmora's settings in a Jupyter server: pass them to the server "
                   "(--Velmora.max_body_size=...) or set them in jupyter_server_config.py "
                   "(c.Velmora.max_body_size = ...).")
    classes = [Velmora]

    def start(self) -> None:
        self.print_help(classes=True)


if __name__ == "__main__":
    VelmoraHelp.launch_instance()
