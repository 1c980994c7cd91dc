"""velmora: a Jupyter server extension whose request handlers are compiled modules
(CPython 3.8 to 3.13), with the same handlers in plain Python wherever those do not import."""

__version__ = "0.1.0"


def _jupyter_server_extension_points():
    # Imported here: the package itself must stay cheap to import.
    from .server.app import Velmora

    return [{"module": "velmora.server.app", "app": Velmora}]
