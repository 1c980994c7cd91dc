"""Interpreted fallback of velmora.server.handlers.info.hostfacts, mounted where
that compiled module does not import (a Python other than CPython 3.8, no build).

Same class, same results, same exceptions where plain Python raises them. The
statements stand on the source lines that the compiled module reports in its
traceback entries (imports 17-21, class 24, method 26-39); lines 31 and 34 go
through small checks below the class, for the exact-dict typing of `result`.
"""
# Not part of the compiled module: a helper for its messages.
from .._typename import c_type_name

# ---------------------------------------------------------------------------
# The module as compiled starts here.



from http import HTTPStatus
from typing import Any, Dict, Tuple

from velmora.server.misc import JupyterServerAppInfo
from velmora.server.handlers.info.groundwork import BaseInfoHandler


class ServerAppInfoHandler(BaseInfoHandler):

    def _get_info(self) -> "Tuple[HTTPStatus, Dict[str, Any]]":
        status_code = HTTPStatus.OK
        # Facts of the running server, plus the request's cookies as one text.
        try:
            serverapp_info = JupyterServerAppInfo()
            result = _exact_dict_or_none(serverapp_info.dict())

            cookie = "; ".join([f"{item.key}={item.value}" for item in self.cookies.values()])
            _subscriptable(result)["cookie"] = cookie
        except Exception:
            status_code = HTTPStatus.INTERNAL_SERVER_ERROR
            result = {"message": "Failed to get information."}

        return status_code, result


# The compiled module ends here.
# ---------------------------------------------------------------------------


def _exact_dict_or_none(obj):
    if obj is None or type(obj) is dict:
        return obj
    raise TypeError("Expected %s, got %s" % ("dict", c_type_name(type(obj))))


def _subscriptable(obj):
    if obj is None:
        raise TypeError("'NoneType' object is not subscriptable")
    return obj
