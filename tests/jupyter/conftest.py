"""velmora inside jupyter_server's own test server (pytest-jupyter's fixtures).

A suite of its own: the plugin's fixtures apply to every test it sees.
"""
import os
import sys

import pytest

pytest_plugins = ["pytest_jupyter.jupyter_server"]

# The test-only helpers of the main suite (the interpreted twins among them).
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))


@pytest.fixture
def jp_server_config():
    return {"ServerApp": {"jpserver_extensions": {"velmora": True}}}
