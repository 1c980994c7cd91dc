"""Keeping secrets out of log records.

Secrets travel in known places, and those are masked whatever their value:
the credentials of an `Authorization` header, the values of the `token` and
`_xsrf` arguments (also with a percent-encoded name, `?to%6Ben=...`) and the
value of the login cookie (`username-...=`). Besides, the token's own text is
masked wherever it appears (literally, percent-encoded, or cut short, as in
tornado's "Invalid unicode in token: b'...'" which quotes the first 40 bytes of
a value: any run of `FRAGMENT` of its characters), but only for a token of
`FRAGMENT` characters or more: a shorter one would mask ordinary text (with
the token "T", every capital T). Placeholders such as velmora's own hint
`?token=<token>` are never rewritten.

`TokenMask` is a logging filter that rewrites every record passing a logger it
is attached to, including the text of an attached traceback. The loggers of a
Jupyter server are the host's: velmora masks only its own records, those of
the "velmora" logger (`guard_own_records`) and those its handlers make through
`MaskedLog`.
"""
import logging
import re
import sys
import threading
import urllib.parse
from typing import Any, Iterable, List, Optional, Set, Tuple

MASK = "[secret]"
# Tokens this long or longer are masked as text too; a run of this many of
# their characters is masked wherever it appears.
FRAGMENT = 8
# Arguments whose values are credentials.
SECRET_ARGUMENTS = ("token", "_xsrf")

# name=value pairs of a query string or a cookie list, as far as a log line shows them.
_QUERY_PAIR = re.compile(r"(^|[?&;,\s'\"(])([^=?&;,\s#'\"()]*)=([^&;\s#'\"]*)")
# The credentials after the scheme of an Authorization header: "Authorization: token X",
# or quoted as in a dict or JSON ('Authorization': 'token X').
_AUTHORIZATION = re.compile(r"""(authorization['"]?\s*[:=]\s*['"]?(?:[\w-]+[ \t]+)?)([^\s'",}]+)""",
                            re.IGNORECASE)
# Jupyter's login cookie, its value bare or quoted (and the quotes escaped, in JSON).
_LOGIN_COOKIE = re.compile(r"""(username-[\w.-]*=)(\\?"[^"]*?\\?"|[^;\s'",]*)""")
# What the hints show where a secret goes.
_PLACEHOLDER = re.compile(r"<[^<>\s]*>")


def _is_placeholder(value: str) -> bool:
    return value == MASK or _PLACEHOLDER.fullmatch(value) is not None


class TokenMask(logging.Filter):
    """Rewrites records so that no secret in a known place, and no long token, remains."""

    def __init__(self) -> None:
        super().__init__()
        self._lock = threading.Lock()
        self._secrets: Set[str] = set()
        self._fragments: Optional["re.Pattern[str]"] = None

    def add(self, token: str) -> None:
        if len(token) < FRAGMENT:
            # Masked only where secrets travel.
            return
        with self._lock:
            self._secrets.update({token, urllib.parse.quote(token, safe="")})
            pieces = {secret[i:i + FRAGMENT] for secret in self._secrets
                      for i in range(len(secret) - FRAGMENT + 1)}
            # In a look-ahead, so that overlapping runs are all found.
            alternatives = "|".join(re.escape(p) for p in sorted(pieces))
            self._fragments = re.compile("(?=(%s))" % alternatives)

    def mask(self, text: str) -> str:
        if not text:
            return text
        fragments = self._fragments
        text = _AUTHORIZATION.sub(_mask_value, text)
        text = _LOGIN_COOKIE.sub(_mask_value, text)
        text = _QUERY_PAIR.sub(lambda m: _mask_pair(m, fragments), text)
        if fragments is None:
            return text
        spans = _merge((m.start(), m.start() + len(m.group(1))) for m in fragments.finditer(text))
        if not spans:
            return text
        out: List[str] = []
        last = 0
        for start, end in spans:
            out.append(text[last:start])
            out.append(MASK)
            last = end
        out.append(text[last:])
        return "".join(out)

    def filter(self, record: logging.LogRecord) -> bool:
        try:
            message = record.getMessage()
        except Exception:  # a broken record is the logging module's to report
            return True
        masked = self.mask(message)
        if masked != message:
            record.msg, record.args = masked, None
        if record.exc_info and not record.exc_text:
            record.exc_text = logging.Formatter().formatException(record.exc_info)
        if record.exc_text:
            record.exc_text = self.mask(record.exc_text)
        if record.stack_info:
            record.stack_info = self.mask(record.stack_info)
        return True


def _mask_value(m: "re.Match[str]") -> str:
    value = m.group(2)
    if not value or _is_placeholder(value.strip('\\"')):
        return m.group(0)
    return m.group(1) + MASK


def _mask_pair(m: "re.Match[str]", fragments: "Optional[re.Pattern[str]]") -> str:
    raw_value = m.group(3)
    if not raw_value or _is_placeholder(raw_value):
        return m.group(0)
    name = urllib.parse.unquote_plus(m.group(2)).strip().lower()
    value = urllib.parse.unquote_plus(raw_value)
    if name in SECRET_ARGUMENTS or (fragments is not None and fragments.search(value)):
        return "%s%s=%s" % (m.group(1), m.group(2), MASK)
    return m.group(0)


def _merge(spans: Iterable[Tuple[int, int]]) -> List[Tuple[int, int]]:
    merged: List[Tuple[int, int]] = []
    for start, end in sorted(spans):
        if merged and start <= merged[-1][1]:
            merged[-1] = (merged[-1][0], max(end, merged[-1][1]))
        else:
            merged.append((start, end))
    return merged


_process_mask = TokenMask()
# velmora's own logger, the parent of any "velmora.*" logger.
OWN_LOGGER = "velmora"


def mask(text: str) -> str:
    """`text` without any token registered in this process."""
    return _process_mask.mask(text)


def guard_own_records(token: str) -> TokenMask:
    """Masks `token` in velmora's own records, leaving every other logger as it is."""
    _process_mask.add(token)
    own = logging.getLogger(OWN_LOGGER)
    if _process_mask not in own.filters:
        own.addFilter(_process_mask)
    return _process_mask


class MaskedLog(logging.LoggerAdapter):
    """A logger's view in which each record is masked before the logger handles it.

    The logger itself (the host's) gets no filter, so its other records stay
    exactly as their authors wrote them.
    """

    def __init__(self, logger: Any) -> None:
        super().__init__(logger, {})

    def log(self, level: int, msg: Any, *args: Any, **kwargs: Any) -> None:
        if not self.isEnabledFor(level):
            return
        target = self.logger
        if not isinstance(target, logging.Logger):
            # Some other adapter: hand it text that is already masked.
            text = _process_mask.mask(str(msg) % args if args else str(msg))
            exc_info = kwargs.pop("exc_info", None)
            if exc_info:
                text += "\n" + _process_mask.mask(_format_exception(exc_info))
            target.log(level, "%s", text, **kwargs)
            return
        exc_info = kwargs.get("exc_info")
        if exc_info:
            exc_info = _exc_tuple(exc_info)
        record = target.makeRecord(target.name, level, "(velmora)", 0, msg, args, exc_info,
                                   extra=kwargs.get("extra"))
        _process_mask.filter(record)
        target.handle(record)


def _exc_tuple(exc_info: Any) -> Any:
    if isinstance(exc_info, BaseException):
        return (type(exc_info), exc_info, exc_info.__traceback__)
    if not isinstance(exc_info, tuple):
        return sys.exc_info()
    return exc_info


def _format_exception(exc_info: Any) -> str:
    return logging.Formatter().formatException(_exc_tuple(exc_info))
