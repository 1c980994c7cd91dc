"""pytest-jupyter's fixtures and velmora's, for the tests in this folder alone: they start an
event loop and clean up a server around every test they cover."""
from .velmora_fixtures import *  # noqa: F401,F403
