"""What Jupyter finds in the package, and reading the server's token, without a server."""
import pytest

import velmora
from velmora.server import extension
from velmora.server.app import Velmora


def test_extension_points_name_the_application():
    assert velmora._jupyter_server_extension_points() == [{"module": "velmora.server.app", "app": Velmora}]
    assert Velmora.name == "velmora" and Velmora.get_extension_package() == "velmora"


def test_package_import_is_light(fresh_python):
    proc = fresh_python("""
        import sys
        import velmora
        heavy = [m for m in ("tornado", "jupyter_server", "velmora.server",
                             "velmora.server.handlers.info.hostfacts",
                             "velmora.server.handlers.pipeline_import.groundwork")
                 if m in sys.modules]
        print(heavy, velmora.__version__)
    """)
    assert proc.stdout.strip() == "[] %s" % velmora.__version__


class StandInIdentityProvider:
    token = "from-the-provider"


class StandInServerApp:
    def __init__(self, token, settings_token):
        self.token = token
        self.web_app = type("WebApp", (), {"settings": {"token": settings_token}})()


@pytest.mark.parametrize("provider, app_token, settings_token, expected", [
    (StandInIdentityProvider(), "<DEPRECATED>", "t", "from-the-provider"),  # jupyter_server 2
    (None, "from-the-app", "t", "from-the-app"),
    (None, "", "from-the-settings", "from-the-settings"),
])
def test_the_token_is_read_where_the_server_keeps_it(provider, app_token, settings_token, expected):
    app = StandInServerApp(app_token, settings_token)
    if provider is not None:
        app.identity_provider = provider
    assert extension.server_token(app) == expected
