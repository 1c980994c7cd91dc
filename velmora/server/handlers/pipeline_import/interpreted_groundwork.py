"""Interpreted fallback of velmora.server.handlers.pipeline_import.groundwork.

Same class, same results, same exceptions where plain Python raises them. The
statements stand on the source lines that the compiled module reports in its
traceback entries (imports 17-21, class 24, method 26-30). The compiled
method tests that `result` is exactly a dict before its body runs; here that
test shares line 27 with the first statement.
"""
# Not part of the compiled module: a helper for its messages.
from .._typename import c_type_name

# ---------------------------------------------------------------------------
# The module as compiled starts here.



import json
from http import HTTPStatus
from typing import Any, Dict

from jupyter_server.base.handlers import APIHandler


class BasePipelineImportHandler(APIHandler):

    def _finish_with_result(self, status_code: "HTTPStatus", result: "Dict[str, Any]") -> "None":
        _exact_dict_argument("result", result); self.set_header(name="Content-Type", value="application/json")  # noqa: E702
        self.set_header(name="Content-Length", value=str(len(json.dumps(result).replace("</", "<\\/"))))
        self.set_status(status_code=int(status_code))
        self.finish(result)


# The compiled module ends here.
# ---------------------------------------------------------------------------

_SUBCLASS_NOTE = (
    "Note that the compiled handlers are deliberately stricter than PEP-484 and reject subclasses "
    "of builtin types: pass an exact dict instead."
)


def _exact_dict_argument(name, value):
    if type(value) is dict:
        return
    subclass = isinstance(value, dict)
    raise TypeError("Argument '%s' has incorrect type (expected %s, got %s)%s%s" % (
        name[:200], "dict", c_type_name(type(value)),
        ". " if subclass else "", _SUBCLASS_NOTE if subclass else ""))
