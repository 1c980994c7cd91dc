"""Mounting velmora's routes in a running Jupyter server application.

The settings are the traitlets of the extension application (`app.Velmora`);
the tornado setting "velmora_max_body_size" (`ServerApp.tornado_settings`)
still sets the default of the body limit.

The server's log is the host's: velmora masks the token only in the records it
makes itself (its own logger, and through its handlers' log, the access lines
of its routes). Connections, their limits and timeouts belong to the server.
"""
import os
from typing import Any, Optional

from . import handler_sets, log_mask, misc
from .handler_sets import HandlerSet
from .handlers.pipeline_import import body_check
from .handlers.pipeline_import.handlers import DEFAULT_MAX_BODY_SIZE
from .handlers.pipeline_import.store import PipelineStore
from .routes import route_table

TORNADO_MAX_BODY_SIZE = "velmora_max_body_size"


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


class Mounted:
    """What velmora opened in a server: the pipeline store, its entry in the
    server registry, and the worker process that checks large bodies."""

    def __init__(self, pipeline_store: PipelineStore, record: misc.ServerRecord) -> None:
        self.pipeline_store = pipeline_store
        self.record = record

    def close(self) -> None:
        misc.unregister_server(self.record)
        self.pipeline_store.close()
        body_check.shutdown_worker_pool()


def load(serverapp: Any, handler_set: Optional[HandlerSet] = None, *,
         max_body_size: Optional[int] = None) -> Mounted:
    """Mounts the routes under the server's base URL; give the result's `close` the server's stop."""
    if handler_set is None:
        handler_set = handler_sets.load("auto")
    web_app = serverapp.web_app
    settings = web_app.settings
    if max_body_size is None:
        max_body_size = int(settings.get(TORNADO_MAX_BODY_SIZE, DEFAULT_MAX_BODY_SIZE))
    base_url = settings.get("base_url", "/")
    root_dir = getattr(serverapp, "root_dir", None) or settings.get("server_root_dir") or os.getcwd()
    root_dir = os.path.realpath(os.path.expanduser(root_dir))
    pipeline_store = PipelineStore(root_dir).open()
    web_app.add_handlers(
        ".*$",
        route_table(base_url, handler_set, pipeline_store=pipeline_store, max_body_size=max_body_size),
    )
    # Jupyter records its start in the settings.
    record = misc.register_server(base_url=base_url, root_dir=root_dir, started=settings.get("started"))
    token = server_token(serverapp)
    if token:
        log_mask.guard_own_records(token)
    log = getattr(serverapp, "log", None)
    if log is not None:
        log.info("%s", handler_sets.mount_message(base_url, handler_set))
    return Mounted(pipeline_store, record)
