"""Mounting velmora in a running Jupyter server application.

Settings read from the Jupyter application's tornado settings
(`ServerApp.tornado_settings`): "velmora_max_body_size", the largest pipeline
import body in bytes (1 MiB by default).

The Jupyter server's token is masked in the log records of tornado, of this
package and of the server's own log. Connections, their limits and timeouts
belong to the Jupyter server.
"""
import os
from typing import Optional

from . import handler_sets, log_mask, misc
from .handler_sets import HandlerSet
from .handlers.pipeline_import.handlers import DEFAULT_MAX_BODY_SIZE
from .handlers.pipeline_import.store import PipelineStore
from .routes import route_table


def load(serverapp, handler_set: Optional[HandlerSet] = None) -> None:
    if handler_set is None:
        handler_set = handler_sets.load("auto")
    web_app = serverapp.web_app
    settings = web_app.settings
    base_url = settings.get("base_url", "/")
    root_dir = getattr(serverapp, "root_dir", None) or settings.get("server_root_dir") or os.getcwd()
    root_dir = os.path.realpath(os.path.expanduser(root_dir))
    max_body_size = int(settings.get("velmora_max_body_size", DEFAULT_MAX_BODY_SIZE))
    # Jupyter has no stop hook for a plain extension: the handle lives as long as the process.
    pipeline_store = PipelineStore(root_dir).open()
    web_app.add_handlers(
        ".*$",
        route_table(base_url, handler_set, pipeline_store=pipeline_store, max_body_size=max_body_size),
    )
    # Jupyter records its start in the settings; the record lives as long as the process.
    misc.register_server(base_url=base_url, root_dir=root_dir, started=settings.get("started"))
    log = getattr(serverapp, "log", None)
    token = getattr(serverapp, "token", None) or settings.get("token")
    if token:
        loggers = [log] if log is not None else []
        log_mask.install(token, loggers=loggers, handlers=[h for lg in loggers for h in lg.handlers])
    if log is not None:
        log.info("%s", handler_sets.mount_message(base_url, handler_set))
