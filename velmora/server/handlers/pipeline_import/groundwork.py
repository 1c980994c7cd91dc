"""The base of the pipeline-import handler: answers a request with a JSON
document, its content type and length declared before the body.

On the CPython versions velmora builds compiled handlers for, where velmora's extension module of this name is
built, the import system loads that module instead of this file, and this
file is its source: its traceback entries name the lines below, and the
build takes their numbers, names and texts from here. Elsewhere this module serves.
An edit that moves a statement moves what the compiled module reports.

Both take `result` only as an exact dict, as its annotation says: anything
else, a dict subclass included, is refused before the body runs, with the
same message. The declared length counts the text the framework writes,
whose JSON encoder escapes every "</".
"""


import json
from http import HTTPStatus
from typing import Any, Dict

from jupyter_server.base.handlers import APIHandler
from .._exact_dict import exact_dict_argument

class BasePipelineImportHandler(APIHandler):
    @exact_dict_argument("result", 2)
    def _finish_with_result(self, status_code: "HTTPStatus", result: "Dict[str, Any]") -> "None":
        self.set_header(name="Content-Type", value="application/json")
        self.set_header(name="Content-Length", value=str(len(json.dumps(result).replace("</", "<\\/"))))
        self.set_status(status_code=int(status_code))
        self.finish(result)
