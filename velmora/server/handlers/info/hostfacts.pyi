# Interface of the compiled module hostfacts.
from http import HTTPStatus
from typing import Any, Dict, Tuple

from velmora.server.handlers.info.groundwork import BaseInfoHandler

class ServerAppInfoHandler(BaseInfoHandler):
    def _get_info(self) -> Tuple[HTTPStatus, Dict[str, Any]]: ...
