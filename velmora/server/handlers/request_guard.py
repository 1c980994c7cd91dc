"""What every velmora handler does with a request it cannot serve: a JSON answer and one log line.

Put `GuardedAPIHandler` before jupyter_server's `APIHandler` among the bases.

- A query argument that is not UTF-8 once percent-decoded (`?x=%ff`) is a
  400, whether or not the handler reads it. The framework decodes `token`
  while it builds the default headers, inside the handler's constructor,
  where an error would drop the connection with a traceback; the error is
  kept and raised again in `prepare`.
- Every error answer is `{"message": ...}`, the one shape of the API's
  refusals, without a traceback for the client, and says what to do next: a
  403 tells a missing token from a wrong one and where the token is found, a
  405 lists the methods (also in `Allow`). The access line carries the
  message, and nothing else is logged for a refusal (a failure of our own code
  still logs its traceback).
- OPTIONS answers 204 with the route's methods and the host's CORS headers;
  no header goes out empty (the host's CORS code sets an empty
  `Access-Control-Allow-Origin` for a request without `Origin`).
- Whatever the handler logs is masked (`log_mask.MaskedLog`): in a Jupyter
  server the access line goes through the handler's log to the host's logger,
  which velmora leaves unfiltered.
"""
import json
import logging
import re
from http.client import responses
from typing import Any, List, Optional

from jupyter_server.auth import decorator as _auth_decorator
from tornado import web

from .. import log_mask

# jupyter_server 2 lets a host refuse unauthenticated requests before the
# method runs; a CORS preflight never carries credentials.
_allow_unauthenticated = getattr(_auth_decorator, "allow_unauthenticated", lambda method: method)
# Query argument names quoted back in a refusal: plain words only, never a value.
_QUOTABLE_NAME = re.compile(r"[A-Za-z0-9_.-]{1,40}\Z")


class _HandlerLog(log_mask.MaskedLog):
    """The handler's log: the framework's remarks on a refused request are debug
    lines, but the access line keeps its level (warning for a refusal in a Jupyter
    server, as for the host's own) and ends with the reason of the answer."""

    def __init__(self, logger: Any, handler: "GuardedAPIHandler") -> None:
        super().__init__(logger)
        self._handler = handler

    def log(self, level: int, msg: Any, *args: Any, **kwargs: Any) -> None:
        handler = self._handler
        if not handler._writing_access_line:
            if level == logging.WARNING:
                level = logging.DEBUG
        elif isinstance(msg, str):
            status = handler.get_status()  # type: ignore[attr-defined]
            reason = handler.error_message if status >= 400 else None
            text = msg % args if args else msg
            # Jupyter's access line starts with the status; a 500 also logs some headers before it.
            if reason and text.startswith("%d " % status):
                msg, args = "%s: %s", (text, reason)
        super().log(level, msg, *args, **kwargs)


class GuardedAPIHandler:
    _malformed: Optional[web.HTTPError] = None
    # What the access line adds to the status of an error answer.
    error_message: Optional[str] = None
    # What a 405 adds after the methods the URL answers.
    method_hint = ""

    _writing_access_line = False

    @property
    def log(self) -> logging.LoggerAdapter:
        return _HandlerLog(super().log, self)  # type: ignore[misc]

    def _log(self) -> None:
        self._writing_access_line = True
        try:
            super()._log()  # type: ignore[misc]
        finally:
            self._writing_access_line = False

    def decode_argument(self, value: bytes, name: Optional[str] = None) -> str:
        try:
            return value.decode("utf-8")
        except UnicodeDecodeError:
            # The value is not quoted back: it may be a token.
            raise web.HTTPError(400, not_utf8(name)) from None

    def set_default_headers(self) -> None:
        try:
            super().set_default_headers()  # type: ignore[misc]
        except web.HTTPError as e:
            self._malformed = e

    def prepare(self) -> Any:
        if self._malformed is not None:
            raise self._malformed
        self._check_query_encoding()
        if not self.check_host():  # type: ignore[attr-defined]
            raise web.HTTPError(403, WRONG_HOST)
        return super().prepare()  # type: ignore[misc]

    def _check_query_encoding(self) -> None:
        # tornado keeps names as latin-1 text and values as bytes.
        for name, values in self.request.query_arguments.items():  # type: ignore[attr-defined]
            try:
                name = name.encode("latin-1").decode("utf-8")
            except UnicodeError:
                raise web.HTTPError(400, not_utf8("")) from None
            for value in values:
                self.decode_argument(value, name)

    def allowed_methods(self) -> List[str]:
        """The methods this handler answers, in tornado's order."""
        cls = type(self)
        return [m for m in cls.SUPPORTED_METHODS  # type: ignore[attr-defined]
                if getattr(cls, m.lower(), None) is not getattr(web.RequestHandler, m.lower(), None)]

    @_allow_unauthenticated
    def options(self, *args: Any, **kwargs: Any) -> None:
        # The host's preflight answer (allowed headers, the origin its CORS
        # settings allow), with this route's methods and no body.
        super().options(*args, **kwargs)  # type: ignore[misc]
        methods = ", ".join(self.allowed_methods())
        self.set_header("Allow", methods)  # type: ignore[attr-defined]
        self.set_header("Access-Control-Allow-Methods", methods)  # type: ignore[attr-defined]
        self.set_status(204)  # type: ignore[attr-defined]

    def flush(self, include_footers: bool = False) -> Any:
        if not self._headers_written:  # type: ignore[attr-defined]
            headers = self._headers  # type: ignore[attr-defined]
            for name in [name for name, value in headers.get_all() if value == ""]:
                self.clear_header(name)  # type: ignore[attr-defined]
        return super().flush(include_footers)  # type: ignore[misc]

    def _method_not_allowed(self) -> str:
        allowed = self.allowed_methods()
        self.set_header("Allow", ", ".join(allowed))  # type: ignore[attr-defined]
        method = self.request.method  # type: ignore[attr-defined]
        # Only a method tornado knows is named: the request line is the client's text.
        if method not in self.SUPPORTED_METHODS:  # type: ignore[attr-defined]
            method = "this method"
        return method_not_allowed(method, allowed, self.method_hint)

    def _login_cookie_name(self) -> str:
        # Servers with an identity provider (jupyter_server 2) name the cookie
        # there and deprecate the handler's own property.
        provider = self.settings.get("identity_provider")  # type: ignore[attr-defined]
        if provider is not None:
            return provider.get_cookie_name(self)
        return self.cookie_name  # type: ignore[attr-defined]

    def _credential_sent(self) -> Optional[str]:
        """"token" when the request carries a token, else "cookie" when it carries a login
        cookie, else None; the token is read as the host reads it, and never kept."""
        provider = self.settings.get("identity_provider")  # type: ignore[attr-defined]
        try:
            if provider is not None:
                token = provider.get_token(self)
            else:  # jupyter_server 1
                token = self.login_handler.get_token(self)  # type: ignore[attr-defined]
        except web.HTTPError:
            token = None
        if token:
            return "token"
        if self.request.cookies.get(self._login_cookie_name()) is not None:  # type: ignore[attr-defined]
            return "cookie"
        return None

    def log_exception(self, typ: Any, value: Optional[BaseException], tb: Any) -> None:
        if not isinstance(value, web.HTTPError):
            # Tornado's own line, through the masked log: it quotes the URI, token and all.
            self.log.error("Uncaught exception %s\n%r", self._request_summary(),  # type: ignore[attr-defined]
                           self.request, exc_info=(typ, value, tb))  # type: ignore[attr-defined]

    def write_error(self, status_code: int, **kwargs: Any) -> None:
        self.set_header("Content-Type", "application/json")
        message = responses.get(status_code, "Unknown HTTP Error")
        exc_info = kwargs.get("exc_info")
        error = exc_info[1] if exc_info else None
        if isinstance(error, web.HTTPError):
            message = error.log_message or message
            if status_code == 403:
                message = how_to_authenticate(error.log_message, self._credential_sent())
            elif status_code == 405:
                message = self._method_not_allowed()
        elif error is not None:
            message = "Unhandled error"
        self.error_message = message
        self.finish(json.dumps({"message": message}))  # type: ignore[attr-defined]


AUTHENTICATE = ("send the token in the header 'Authorization: token <token>', "
                "or once in the URL as ?token=<token> to log this browser in")
FIND_TOKEN = ("the token is in the URL the server printed when it started, "
              "and `jupyter server list` shows it")
NO_TOKEN = "the request carries no token: %s; %s" % (AUTHENTICATE, FIND_TOKEN)
WRONG_TOKEN = ("the token sent is not this server's token (it may belong to an earlier run "
               "or another server): " + FIND_TOKEN)
STALE_COOKIE = ("the login cookie sent is not valid for this server (it may be from an earlier "
                "run or another server): %s; %s" % (AUTHENTICATE, FIND_TOKEN))
XSRF = ("a request that relies on the login cookie alone must send the value of "
        "the _xsrf cookie in the X-XSRFToken header (a GET of api/velmora/server-info "
        "sets that cookie), or send the token instead")
WRONG_HOST = ("the Host header does not name this machine: connect through localhost or "
              "127.0.0.1 (a Jupyter server accepts other names with "
              "ServerApp.allow_remote_access or ServerApp.local_hostnames)")


def how_to_authenticate(log_message: Optional[str], sent: Optional[str] = None) -> str:
    """The text of a 403: why, and what the client can do about it; `sent` is the
    credential the request carried ("token", "cookie" or None)."""
    if not log_message:
        return {"token": WRONG_TOKEN, "cookie": STALE_COOKIE}.get(sent or "", NO_TOKEN)
    if "xsrf" in log_message.lower():
        return "%s: %s" % (log_message, XSRF)
    return log_message


def not_utf8(name: Optional[str]) -> str:
    """The text of a 400 for a query argument (or URL path, for None) that is not UTF-8."""
    if name is None:
        what = "the URL path is"
    elif _QUOTABLE_NAME.match(name):
        what = "the query argument %r is" % name
    else:
        what = "a query argument is"
    return "%s not UTF-8 text once percent-decoded: percent-encode the UTF-8 bytes of the text" % what


def method_not_allowed(method: str, allowed: List[str], hint: str) -> str:
    """The text of a 405."""
    listed = ", ".join(allowed[:-1]) + " and " + allowed[-1] if len(allowed) > 1 else "".join(allowed)
    message = "%s is not allowed here: this URL answers %s" % (method, listed)
    return "%s; %s" % (message, hint) if hint else message
