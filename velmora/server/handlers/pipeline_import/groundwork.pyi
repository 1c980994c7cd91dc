# Interface of the compiled module groundwork.
from http import HTTPStatus
from typing import Any, Dict

from jupyter_server.base.handlers import APIHandler

class BasePipelineImportHandler(APIHandler):
    def _finish_with_result(self, status_code: HTTPStatus, result: Dict[str, Any]) -> None: ...
