"""The server-information handler: the running server's facts, plus the
cookies of the request, as one JSON object.

On the CPython versions velmora builds compiled handlers for, where velmora's extension module of this name is
built, the import system loads that module instead of this file, and this
file is its source: its traceback entries name the lines below, and the
build takes their numbers, names and texts from here. Elsewhere this module serves.

Both hold `result` to an exact dict, or None, when it is read from
`serverapp_info.dict()`: anything else fails inside the try statement, whose
handler answers with the 500 status.

An edit that moves a statement moves what the compiled module reports.
"""


from http import HTTPStatus
from typing import Any, Dict, Tuple

from ...misc import JupyterServerAppInfo
from .groundwork import BaseInfoHandler


class ServerAppInfoHandler(BaseInfoHandler):

    def _get_info(self) -> "Tuple[HTTPStatus, Dict[str, Any]]":
        status_code = HTTPStatus.OK
        # Facts of the running server, plus the request's cookies as one text.
        try:
            serverapp_info = JupyterServerAppInfo()
            result = _exact_dict_or_none(serverapp_info.dict())

            cookie = "; ".join([f"{item.key}={item.value}" for item in self.cookies.values()])
            result["cookie"] = cookie
        except Exception:
            status_code = HTTPStatus.INTERNAL_SERVER_ERROR
            result = {"message": "Failed to get information."}

        return status_code, result


def _exact_dict_or_none(obj):
    if obj is None or type(obj) is dict:
        return obj
    raise TypeError("Expected dict, got %s" % type(obj).__name__)
