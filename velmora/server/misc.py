"""Facts about the running server application, as reported by the server-info endpoint.

A server learns nothing about its host through the handler: whoever starts
serving (the extension, when a Jupyter server loads it) registers itself
here, and `JupyterServerAppInfo` reads the registry. With no server registered
the server keys ("base_url", "root_dir", "pid", "started") are present and None,
so that clients see one fixed set of keys.

This module is imported by the compiled info handler while it starts: it must
not import the compiled modules (nor anything heavy) at module level.
"""
import datetime
import functools
import os
import platform
import sys
import threading
from typing import Any, Dict, List, NamedTuple, Optional


class ServerRecord(NamedTuple):
    base_url: str
    root_dir: str
    pid: int
    started: datetime.datetime


_registry_lock = threading.Lock()
# Most recent last: a process may serve more than once (tests do), and stopping
# one server must not make the info endpoint forget another one that still runs.
_registry: List[ServerRecord] = []


def register_server(
    *, base_url: str, root_dir: str, started: Optional[datetime.datetime] = None
) -> ServerRecord:
    """Records a server that starts serving; give the result to `unregister_server`."""
    if started is None:
        started = datetime.datetime.now(datetime.timezone.utc)
    elif started.tzinfo is None:
        # Jupyter keeps naive UTC times.
        started = started.replace(tzinfo=datetime.timezone.utc)
    record = ServerRecord(str(base_url), os.fspath(root_dir), os.getpid(), started)
    with _registry_lock:
        _registry.append(record)
    return record


def unregister_server(record: ServerRecord) -> None:
    """Forgets a server that stopped; unknown records are ignored."""
    with _registry_lock:
        for i in range(len(_registry) - 1, -1, -1):
            if _registry[i] is record:
                del _registry[i]
                break


def current_server() -> Optional[ServerRecord]:
    with _registry_lock:
        return _registry[-1] if _registry else None


@functools.lru_cache(maxsize=None)
def _process_facts() -> Dict[str, Any]:
    # platform.platform() reads the interpreter binary: once per process is enough.
    from velmora import __version__

    try:
        import jupyter_server

        jupyter_server_version = jupyter_server.__version__
    except ImportError:
        jupyter_server_version = None
    try:
        import tornado

        tornado_version = tornado.version
    except ImportError:
        tornado_version = None
    return {
        "velmora_version": __version__,
        "jupyter_server_version": jupyter_server_version,
        "tornado_version": tornado_version,
        "python_version": platform.python_version(),
        "python_implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "sys_platform": sys.platform,
    }


class JupyterServerAppInfo:
    """A snapshot of the facts, taken when the object is made."""

    def __init__(self) -> None:
        self._process = _process_facts()
        self._server = current_server()

    def dict(self) -> Dict[str, Any]:
        """A new plain dict of JSON-ready values; the caller may change it freely."""
        facts = dict(self._process)
        server = self._server
        if server is None:
            facts.update(base_url=None, root_dir=None, pid=None, started=None)
        else:
            facts.update(
                base_url=server.base_url,
                root_dir=server.root_dir,
                pid=server.pid,
                started=server.started.isoformat(),
            )
        return facts
