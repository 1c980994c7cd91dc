"""velmora: a Jupyter server extension whose request handlers are compiled modules
(on the CPython versions they are built for), with the same handlers in plain Python wherever those do not import."""

__version__ = "0.2.0"


def _jupyter_server_extension_points():
    return [{"module": "velmora"}]


def _load_jupyter_server_extension(serverapp, handler_set=None):
    """Adds the velmora routes to a running Jupyter server application.

    `handler_set` is for tests that mount other handler classes; Jupyter passes
    only the application.
    """
    # Imported here: the package itself must stay cheap to import.
    from .server.extension import load

    load(serverapp, handler_set)


# Name looked up by older Jupyter servers.
load_jupyter_server_extension = _load_jupyter_server_extension
