"""Keeping API tokens out of log records.

A token can reach a log line in many shapes: literally (a header, a path, the
repr of a request), percent-encoded in a query (`?to%6Ben=...`, `?token=%61...`),
or cut short, as in tornado's "Invalid unicode in token: b'...'" which quotes
the first 40 bytes of the value. `TokenMask` is a logging filter that rewrites
every record passing a logger it is attached to, whatever emitted it (our code,
tornado's, jupyter_server's), including the text of an attached traceback.

The standalone server owns its process and masks every logger it writes to
(`install`). Inside a Jupyter server the loggers are the host's: velmora masks
only its own records, those of the "velmora" logger (`guard_own_records`) and
those its handlers make through `MaskedLog`.
"""
import logging
import re
import sys
import threading
import urllib.parse
from typing import Any, Iterable, List, Optional, Set, Tuple

MASK = "[secret]"
# A run of this many characters of a token is masked wherever it appears, so
# that a truncated quote of a token does not give most of it away.
FRAGMENT = 8
# The loggers tornado, asyncio and this package write to.
SERVER_LOGGERS = ("tornado.access", "tornado.application", "tornado.general", "asyncio", "velmora")

# name=value pairs of a query string, as far as a log line shows them.
_QUERY_PAIR = re.compile(r"([?&;])([^=&;\s#'\"]*)=([^&;\s#'\"]*)")


class TokenMask(logging.Filter):
    """Rewrites records so that no registered token, nor a long piece of one, remains."""

    def __init__(self) -> None:
        super().__init__()
        self._lock = threading.Lock()
        self._secrets: Set[str] = set()
        self._fragments: Optional["re.Pattern[str]"] = None

    def add(self, token: str) -> None:
        if not token:
            return
        with self._lock:
            self._secrets.update({token, urllib.parse.quote(token, safe="")})
            pieces = set()
            for secret in self._secrets:
                n = min(FRAGMENT, len(secret))
                pieces.update(secret[i:i + n] for i in range(len(secret) - n + 1))
            # Longest first, and in a look-ahead, so that overlapping runs are all found.
            alternatives = "|".join(re.escape(p) for p in sorted(pieces, key=len, reverse=True))
            self._fragments = re.compile("(?=(%s))" % alternatives)

    def mask(self, text: str) -> str:
        fragments = self._fragments
        if fragments is None or not text:
            return text
        text = _QUERY_PAIR.sub(lambda m: self._mask_pair(m, fragments), text)
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

    @staticmethod
    def _mask_pair(m: "re.Match[str]", fragments: "re.Pattern[str]") -> str:
        name = urllib.parse.unquote_plus(m.group(2)).strip().lower()
        value = urllib.parse.unquote_plus(m.group(3))
        if m.group(3) == MASK or not (name == "token" or fragments.search(value)):
            return m.group(0)
        return "%s%s=%s" % (m.group(1), m.group(2), MASK)

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


def install(token: str, loggers: Iterable[logging.Logger] = (),
            handlers: Iterable[logging.Handler] = ()) -> TokenMask:
    """Masks `token` in the server's loggers, in `loggers` and in `handlers`.

    One mask serves the whole process; each logger or handler gets it once.
    A logger's filter sees only the records made on that logger, a handler's
    sees all it writes: give the handlers that write the log files too.
    """
    _process_mask.add(token)
    targets = [logging.getLogger(name) for name in SERVER_LOGGERS] + list(loggers) + list(handlers)
    for target in targets:
        if _process_mask not in target.filters:
            target.addFilter(_process_mask)
    return _process_mask
