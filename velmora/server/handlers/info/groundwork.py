"""Base of the server-info handler: the HTTP side around `_get_info`.

The compiled module `hostfacts` derives `ServerAppInfoHandler` from this class
and provides `_get_info`, which returns (status, facts dict) and reads the
request's cookies through `self.cookies`. This module is imported while that
compiled module starts: it must not import it back.
"""
from http.cookies import SimpleCookie

from jupyter_server.auth.decorator import authorized
from jupyter_server.base.handlers import APIHandler
from tornado import escape, web

from ..request_guard import GuardedAPIHandler

# The prefix of the login cookies Jupyter servers set ("username-127-0-0-1-8888").
LOGIN_COOKIE_PREFIX = "username-"


def is_login_cookie(name: str, own_name: str) -> bool:
    return name == own_name or name.lower().startswith(LOGIN_COOKIE_PREFIX)


class BaseInfoHandler(GuardedAPIHandler, APIHandler):
    auth_resource = "velmora"
    method_hint = ("it reads the server's facts, and pipelines are imported by a POST to "
                   "api/velmora/pipelines/import")

    @property
    def cookies(self) -> SimpleCookie:
        """The request's cookies without any Jupyter login cookie.

        The facts echo the cookies back in the response body; login cookies
        are HttpOnly precisely so that page scripts cannot read them, and a
        script that could call this endpoint would otherwise get them in plain
        text. Browsers send the cookies of every server on the same host
        whatever the port, so other Jupyter servers' login cookies are left
        out as well as this server's own.
        """
        jar = SimpleCookie()
        own = self._login_cookie_name()
        for key, morsel in self.request.cookies.items():
            if not is_login_cookie(key, own):
                # dict's own __setitem__ keeps the Morsel (and the order) as is.
                dict.__setitem__(jar, key, morsel)
        return jar

    @web.authenticated
    @authorized
    def get(self) -> None:
        status, info = self._get_info()
        if self.settings.get("xsrf_cookies"):
            # Reading the token sets the _xsrf cookie where the request has none:
            # a client that writes with the login cookie alone sends its value back.
            _ = self.xsrf_token
        self.set_status(int(status))
        # json_encode also escapes "</", which keeps echoed cookies inert.
        self.finish(escape.json_encode(info))

    # Answered like GET; tornado leaves the body out.
    head = get

    def _get_info(self):
        raise NotImplementedError("provided by the compiled ServerAppInfoHandler")
