"""Checking an import body: its declared length, and, off the event loop, whether it is a
pipeline that can be stored as sent.

Kept free of the web framework, so that a worker process starts quickly.
"""
import asyncio
import codecs
import concurrent.futures
import gc
import itertools
import json
import math
import multiprocessing
import re
import sys
import threading
from typing import Any, Callable, Dict, List, Optional, Tuple

# Bodies up to this size are checked in a thread. The JSON parser holds the
# interpreter lock for as long as it runs, about 5 ms for this much nested
# text; larger bodies are checked in a worker process, so that the event
# loop keeps answering meanwhile.
IN_THREAD_LIMIT = 32 << 10
# Deepest nesting of arrays and objects accepted in a body, so that every stored
# file can be read back by ordinary recursive JSON readers.
MAX_NESTING = 128
# Longest integer accepted: the interpreter converts no longer ones from text.
MAX_INT_DIGITS = getattr(sys, "get_int_max_str_digits", lambda: 4300)() or 4300

# Bytes of a refused body read and thrown away, so that the client reads the
# answer rather than a reset; more than this ends the connection.
DRAIN_LIMIT = 64 << 20
# Longest declared length read: more digits than this is more than any limit.
MAX_LENGTH_DIGITS = 18
# The values of the overwrite argument, exactly as its error message names them.
OVERWRITE_VALUES = {"true": True, "false": False}


JSON_WHITESPACE = b" \t\r\n"
EMPTY_BODY = ('the request body is empty: send the pipeline as a JSON object, '
              'such as {"name": "example", "nodes": []}')


class BadRequest(ValueError):
    """The body does not describe a pipeline; the text is for the client."""


_LENGTH = re.compile(r"[0-9]{1,%d}" % MAX_LENGTH_DIGITS)


def declared_length(value: Optional[str]) -> Optional[int]:
    """The body length a Content-Length header value declares, None without one.

    Both servers read the header through this routine. Only the digits 0-9
    count: `int` would also take "+5", " 5", "5_0", and `str.isdigit` takes
    "\u00b2", which `int` then refuses. Equal repeated values ("5, 5", as some
    proxies send) are one length. Raises BadRequest for anything else.
    """
    if value is None:
        return None
    values = {v.strip() for v in value.split(",")}
    if len(values) != 1:
        raise BadRequest("the Content-Length values differ")
    (text,) = values
    if not _LENGTH.fullmatch(text):
        raise BadRequest("the Content-Length is not a number of bytes")
    return int(text)


def parse_overwrite(values: List[str]) -> bool:
    """The values of the `overwrite` query argument: none, or one of "true" and "false"."""
    if not values:
        return False
    if len(values) > 1:
        # Frameworks disagree on which of two values counts.
        raise BadRequest("the query argument 'overwrite' is given more than once: "
                         "give it once, as overwrite=true or overwrite=false")
    try:
        return OVERWRITE_VALUES[values[0]]
    except KeyError:
        raise BadRequest("the query argument 'overwrite' must be true or false") from None


_STRING = re.compile(r'"[^"\\]*(?:\\.[^"\\]*)*"')
_NOT_BRACKET = re.compile(r"[^\[\]{}]+")
_BRACKET_STEP = {"[": 1, "{": 1, "]": -1, "}": -1}
_SURROGATE_ESCAPE = re.compile(r"\\u[dD][89a-fA-F]")
_NONZERO_DIGIT = re.compile(r"[1-9]")


def nesting_depth(text: str) -> int:
    """The deepest nesting of arrays and objects in JSON text (of valid JSON, at least)."""
    brackets = _NOT_BRACKET.sub("", _STRING.sub("", text))
    return max(itertools.accumulate(map(_BRACKET_STEP.__getitem__, brackets)), default=0)


def _reject_constant(text: str) -> Any:
    # NaN and Infinity are not JSON: a file holding them could not be read back.
    raise BadRequest("the request body is not valid JSON (%s is not a JSON number)" % text)


def _exact_int(text: str) -> int:
    if len(text.lstrip("-")) > MAX_INT_DIGITS:
        raise BadRequest("the request body holds an integer of more than %d digits, "
                         "which cannot be read back exactly" % MAX_INT_DIGITS)
    return int(text)


def _exact_float(text: str) -> float:
    value = float(text)
    if math.isinf(value):
        raise BadRequest("the request body holds a number too large to be stored exactly "
                         "(it reads back as infinity)")
    if value == 0.0 and _NONZERO_DIGIT.search(text.lower().partition("e")[0]):
        raise BadRequest("the request body holds a number too small to be stored exactly "
                         "(it reads back as zero)")
    return value


def _unique_keys(pairs: List[Tuple[str, Any]]) -> Dict[str, Any]:
    # Readers disagree on which of two equal keys wins: the file must not hold any.
    obj = dict(pairs)
    if len(obj) != len(pairs):
        raise BadRequest("an object in the request body holds the same key twice")
    return obj


def parse_pipeline(body: bytes, check_name: Callable[[str], None] = lambda name: None
                   ) -> Tuple[Dict[str, Any], str, List[Any]]:
    """Returns (pipeline object, name, nodes) of a body that can be stored as it is.

    Stored as it is, the file is exactly the body, and reads back as the same
    value in any JSON reader: the checks refuse what would read back
    differently. Raises BadRequest, or what `check_name` raises for the name.
    Costs a few passes over the body: call it off the event loop.
    """
    if not body.strip(JSON_WHITESPACE):
        raise BadRequest(EMPTY_BODY)
    if body.startswith(codecs.BOM_UTF8):
        raise BadRequest("the request body starts with a byte order mark (EF BB BF), "
                         "which JSON does not allow: send the JSON text without it")
    if body.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)):
        raise BadRequest("the request body is UTF-16 text (it starts with a UTF-16 byte order "
                         "mark): send it as UTF-8")
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError:
        raise BadRequest("the request body is not UTF-8 text") from None
    if nesting_depth(text) > MAX_NESTING:
        raise BadRequest("the request body is nested more than %d levels deep" % MAX_NESTING)
    try:
        pipeline = json.loads(text, parse_constant=_reject_constant, parse_int=_exact_int,
                              parse_float=_exact_float, object_pairs_hook=_unique_keys)
    except BadRequest:
        raise
    except RecursionError:
        raise BadRequest("the request body is nested more than %d levels deep" % MAX_NESTING) from None
    except ValueError:
        raise BadRequest("the request body is not valid JSON") from None
    if type(pipeline) is not dict:
        raise BadRequest("the request body must be a JSON object")
    for field, kind, kind_name in (("name", str, "a string"), ("nodes", list, "a list")):
        if field not in pipeline:
            raise BadRequest("the pipeline lacks the field '%s'" % field)
        if type(pipeline[field]) is not kind:
            raise BadRequest("the field '%s' must be %s" % (field, kind_name))
    check_name(pipeline["name"])
    if _SURROGATE_ESCAPE.search(text):
        try:
            json.dumps(pipeline, ensure_ascii=False, check_circular=False).encode("utf-8")
        except UnicodeEncodeError:
            # A lone surrogate, sent as a \ud8xx escape.
            raise BadRequest("the request body holds text that is not valid Unicode") from None
    return pipeline, pipeline["name"], pipeline["nodes"]


def summarize(body: bytes, check_name: Callable[[str], None]) -> Tuple[str, int]:
    """(name, number of nodes) of a body that parse_pipeline accepts."""
    _, name, nodes = parse_pipeline(body, check_name)
    return name, len(nodes)


_pool_lock = threading.Lock()
_pool: Optional[concurrent.futures.ProcessPoolExecutor] = None


def _worker_pool() -> concurrent.futures.ProcessPoolExecutor:
    global _pool
    with _pool_lock:
        if _pool is None:
            # A fresh interpreter rather than a fork: the server's threads,
            # sockets and file descriptors stay out of the worker.
            _pool = concurrent.futures.ProcessPoolExecutor(
                max_workers=1, mp_context=multiprocessing.get_context("spawn"),
                initializer=gc.disable)
        return _pool


def shutdown_worker_pool() -> None:
    """Ends the worker process of large bodies, if one runs; the next large body starts another."""
    global _pool
    with _pool_lock:
        pool, _pool = _pool, None
    if pool is not None:
        pool.shutdown(wait=True)


def _drop_pool(broken: concurrent.futures.ProcessPoolExecutor) -> None:
    global _pool
    with _pool_lock:
        if _pool is broken:
            _pool = None
    broken.shutdown(wait=False)


async def check_off_loop(body: bytes, check_name: Callable[[str], None]) -> Tuple[str, int]:
    """summarize(body, check_name), run where it does not hold up the event loop."""
    loop = asyncio.get_running_loop()
    if len(body) <= IN_THREAD_LIMIT:
        return await loop.run_in_executor(None, summarize, body, check_name)
    pool = _worker_pool()
    try:
        return await loop.run_in_executor(pool, summarize, body, check_name)
    except concurrent.futures.process.BrokenProcessPool:
        # The worker died (killed, out of memory): the next body gets a new one.
        _drop_pool(pool)
        raise
