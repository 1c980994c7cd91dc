"""What every velmora handler does with a request it cannot serve: a JSON answer and one log line.

Put `GuardedAPIHandler` before jupyter_server's `APIHandler` among the bases.

- An argument that is not UTF-8 once percent-decoded (`?token=%ff`) is a 400.
  The framework decodes `token` while it builds the default headers, inside
  the handler's constructor, where an error would drop the connection with a
  traceback; the error is kept and raised again in `prepare`.
- Every error answer is `{"message": ...}`, the one shape of the API's
  refusals, without a traceback for the client; a 403 says how to
  authenticate. The access line carries the message, and nothing else is
  logged for a refusal (a failure of our own code still logs its traceback).
- Whatever the handler logs is masked (`log_mask.MaskedLog`): in a Jupyter
  server the access line goes through the handler's log to the host's logger,
  which velmora leaves unfiltered.
"""
import json
import logging
from http.client import responses
from typing import Any, Optional

from tornado import web

from .. import log_mask


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
            what = "the query argument %r" % name if name else "the URL path"
            raise web.HTTPError(400, "%s is not UTF-8 text" % what) from None

    def set_default_headers(self) -> None:
        try:
            super().set_default_headers()  # type: ignore[misc]
        except web.HTTPError as e:
            self._malformed = e

    def prepare(self) -> Any:
        if self._malformed is not None:
            raise self._malformed
        if not self.check_host():  # type: ignore[attr-defined]
            raise web.HTTPError(403, "the Host header does not name this machine")
        return super().prepare()  # type: ignore[misc]

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
                message = how_to_authenticate(error.log_message)
        elif error is not None:
            message = "Unhandled error"
        self.error_message = message
        self.finish(json.dumps({"message": message}))  # type: ignore[attr-defined]


AUTHENTICATE = ("send the token in the header 'Authorization: token <token>', "
                "or once in the URL as ?token=<token> to log this browser in")
XSRF = ("a request that relies on the login cookie alone must send the value of "
        "the _xsrf cookie in the X-XSRFToken header")


def how_to_authenticate(log_message: Optional[str]) -> str:
    """The text of a 403: why, and what the client can do about it."""
    if not log_message:
        return "the request is not authenticated: " + AUTHENTICATE
    if "xsrf" in log_message.lower():
        return "%s: %s" % (log_message, XSRF)
    return log_message
