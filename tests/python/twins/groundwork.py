"""`twins.groundwork` is velmora.server.handlers.pipeline_import.groundwork run from its .py."""
import sys

from velmora.server import handler_sets

sys.modules[__name__] = handler_sets.interpreted(handler_sets.COMPILED_GROUNDWORK)
