"""pytest-jupyter's fixtures and velmora's, for the tests in this folder alone: they start an
event loop and clean up a server around every test they cover."""
import pytest

from velmora.server.handlers.pipeline_import import body_check

from .velmora_fixtures import *  # noqa: F401,F403


@pytest.fixture(autouse=True, scope="module")
def no_worker_left():
    """The allocation sweeps after this folder need a process with one thread:
    a server that was not stopped leaves the large-body worker's threads."""
    yield
    body_check.shutdown_worker_pool()
