"""`twins.hostfacts` is velmora.server.handlers.info.interpreted_hostfacts."""
import sys

from velmora.server.handlers.info import interpreted_hostfacts

sys.modules[__name__] = interpreted_hostfacts
