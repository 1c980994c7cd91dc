"""`twins.groundwork` is velmora.server.handlers.pipeline_import.interpreted_groundwork."""
import sys

from velmora.server.handlers.pipeline_import import interpreted_groundwork

sys.modules[__name__] = interpreted_groundwork
