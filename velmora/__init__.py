"""velmora: a Jupyter server extension whose request handlers are compiled modules
(on the CPython versions they are built for), with the same handlers in plain Python wherever those do not import."""

__version__ = "0.2.0"


def _jupyter_server_extension_points():
    # Imported here: the package itself must stay cheap to import.
    from .server.app import Velmora

    return [{"module": "velmora.server.app", "app": Velmora}]
