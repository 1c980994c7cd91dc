"""HTTP connections of the standalone server: what tornado's HTTPServer does not limit or check.

tornado times the request head, the pause between requests and the body
(`idle_connection_timeout`, `body_timeout`) and limits the head and the body
(`max_header_size`, `max_body_size`). `GuardedHTTPServer` adds:
- a cap on open connections, lowered to fit the file-descriptor limit; at the
  cap, the connection that has waited longest for a request is closed to make
  room, and when every one is busy, accepting waits for one to close;
- an accept loop that pauses after accept() fails (out of file descriptors,
  say) and logs that at most once per interval, where tornado's retries at
  once and logs a traceback each time;
- a strict reading of the body framing, answered in JSON before the body is
  read or `100 Continue` sent: a Content-Length of digits only, no transfer
  coding but chunked, not both; a declared length over the route's limit is a
  413, whose body is read and thrown away (up to `DRAIN_LIMIT`) so that the
  client sees the answer rather than a reset;
- before tornado 6.4.1, checked chunk framing;
- a time limit (the body timeout) on the sending of each answer: tornado
  waits without one for a client that does not read.
A head that is not HTTP/1.x at all gets tornado's own bare 400.
"""
import collections
import json
import re
import resource
import socket
import time
from asyncio import Future
from http import HTTPStatus
from typing import Any, Awaitable, Callable, List, NamedTuple, Optional, Set, Tuple

import tornado
from tornado import gen, httputil, iostream
from tornado.httpserver import HTTPServer
from tornado.ioloop import IOLoop
from tornado.log import access_log, gen_log

from .handlers.pipeline_import.body_check import DRAIN_LIMIT, BadRequest, declared_length

# Connections accepted per readiness event, as tornado does.
ACCEPT_BATCH = 128
# After accept() failed (out of file descriptors, say): seconds without accepting.
ACCEPT_PAUSE = 0.5
# Repeated failures and evictions are logged at most once per this many seconds.
REPORT_INTERVAL = 10.0
# From this release tornado refuses malformed chunk framing itself.
CHECKS_CHUNKS = tornado.version_info >= (6, 4, 1)

_CHUNK_SIZE = re.compile(rb"[0-9A-Fa-f]{1,16}")


class ConnectionLimits(NamedTuple):
    idle_timeout: float = 20.0  # seconds for a request head, and between requests
    body_timeout: float = 60.0  # seconds for a whole body
    max_connections: int = 512  # open at once, before the file-descriptor limit lowers it


def fd_reserve(soft_limit: int) -> int:
    """File descriptors kept free of connections: log files, written pipelines, the loop."""
    return max(8, min(64, soft_limit // 4))


def connection_cap(requested: int, soft_limit: Optional[int] = None) -> int:
    """`requested`, lowered so that connections never take the last file descriptors."""
    if soft_limit is None:
        soft_limit = resource.getrlimit(resource.RLIMIT_NOFILE)[0]
    if soft_limit == resource.RLIM_INFINITY:
        return requested
    return max(1, min(requested, soft_limit - fd_reserve(soft_limit)))


class RateLimitedLog:
    """Logs a repeated event at most once per interval, counting what it left out."""

    def __init__(self, interval: float = REPORT_INTERVAL, clock: Callable[[], float] = time.monotonic) -> None:
        self.interval = interval
        self._clock = clock
        self._next = float("-inf")
        self._left_out = 0

    def __call__(self, log: Callable[..., None], message: str, *args: Any) -> bool:
        now = self._clock()
        if now < self._next:
            self._left_out += 1
            return False
        if self._left_out:
            message += " (and %d more times since the last report)" % self._left_out
        log(message, *args)
        self._left_out = 0
        self._next = now + self.interval
        return True


def json_answer(status: int, message: str) -> bytes:
    """A complete response that ends the connection, in the API's error shape."""
    body = json.dumps({"message": message}).encode()
    head = (
        "HTTP/1.1 %d %s\r\nContent-Type: application/json\r\nContent-Length: %d\r\n"
        "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n"
        % (status, HTTPStatus(status).phrase, len(body))
    )
    return head.encode("latin1") + body


def too_large_message(limit: int) -> str:
    return "the request body is larger than %d bytes" % limit


def declared_body(headers: httputil.HTTPHeaders) -> Optional[int]:
    """The declared body length, None for a chunked body or none; BadRequest when ambiguous."""
    coding = headers.get("Transfer-Encoding")
    if coding is None:
        return declared_length(headers.get("Content-Length"))
    if "Content-Length" in headers:
        raise BadRequest("both Transfer-Encoding and Content-Length are given")
    if coding.strip().lower() != "chunked":
        # tornado would take the body for the next request.
        raise BadRequest("the only transfer coding accepted is chunked")
    return None


class _SeenConnection:
    """The request's connection as the application sees it, noting the body limit it sets
    and whether it has started an answer, and timing the sending of the answer."""

    def __init__(self, conn: Any, body_limit: int, answer_timeout: float) -> None:
        self._conn = conn
        self.body_limit = body_limit
        self.answer_timeout = answer_timeout
        self.answered = False

    def __getattr__(self, name: str) -> Any:
        return getattr(self._conn, name)

    def set_max_body_size(self, size: int) -> None:
        self.body_limit = size
        self._conn.set_max_body_size(size)

    def write_headers(self, *args: Any, **kwargs: Any) -> Any:
        self.answered = True
        return self._conn.write_headers(*args, **kwargs)

    def finish(self) -> None:
        self._conn.finish()
        stream = self._conn.stream
        if stream is not None and not stream.closed():
            IOLoop.current().spawn_callback(_sent_within, stream, self.answer_timeout,
                                            self._conn.context)


async def _sent_within(stream: iostream.IOStream, seconds: float, client: object) -> None:
    """Closes `stream` unless what was written to it goes out within `seconds`: a client
    that does not read its answers would hold the connection busy for good."""
    try:
        await gen.with_timeout(IOLoop.current().time() + seconds, stream.write(b""),
                               quiet_exceptions=iostream.StreamClosedError)
    except gen.TimeoutError:
        gen_log.info("Timeout writing the answer to %s", client)
        stream.close()
    except iostream.StreamClosedError:
        pass


class _Request(httputil.HTTPMessageDelegate):
    """Wraps the application's delegate for one request: marks the connection busy once
    its head is in, and refuses bad framing and over-long bodies itself."""

    def __init__(self, server: "GuardedHTTPServer", server_conn: Any, conn: Any) -> None:
        self.server = server
        self.server_conn = server_conn
        self.conn = conn
        self.seen = _SeenConnection(conn, server.max_body_size, server.limits.body_timeout)
        self.app: Any = None
        self.start_line: Optional[httputil.RequestStartLine] = None

    async def headers_received(self, start_line: Any, headers: httputil.HTTPHeaders) -> None:
        self.server.connection_busy(self.server_conn)
        self.start_line = start_line
        try:
            length = declared_body(headers)
        except BadRequest as e:
            await self._refuse(HTTPStatus.BAD_REQUEST, "the request is malformed: %s" % e)
            return
        if "Transfer-Encoding" in headers and not CHECKS_CHUNKS:
            # tornado 6.2 to 6.4.0 parse a chunk size with int(), so that a bad one
            # raises ValueError (logged with a traceback), and check the CRLF after a
            # chunk with `assert`, which `python -O` removes. Nothing public reads the
            # chunks instead: the one private method is replaced on this connection.
            self.conn._read_chunked_body = self._read_chunks
        pending = self.app.headers_received(start_line, headers)
        if pending is not None:
            await pending
        if not self.seen.answered and length is not None and length > self.seen.body_limit:
            self.app.on_connection_close()
            waits = headers.get("Expect", "").strip().lower() == "100-continue"
            await self._refuse(HTTPStatus.REQUEST_ENTITY_TOO_LARGE,
                               too_large_message(self.server.max_body_size), 0 if waits else length)

    def data_received(self, chunk: bytes) -> Optional[Awaitable[None]]:
        return self.app.data_received(chunk)

    def finish(self) -> None:
        self.app.finish()

    def on_connection_close(self) -> None:
        self.app.on_connection_close()

    def _answer(self, stream: iostream.IOStream, status: int, message: str) -> "Future[None]":
        self.seen.answered = True
        start = self.start_line
        access_log.warning("%d %s %s (%s): %s", status, start.method if start else "-",
                           start.path if start else "-",
                           getattr(self.conn.context, "remote_ip", "-"), message)
        return stream.write(json_answer(status, message))

    async def _refuse(self, status: int, message: str, drain: int = 0) -> None:
        """Takes the stream from tornado, answers, reads what is declared to come (within
        limits, so that the client sees the answer), and closes."""
        stream = self.conn.detach()
        answer = _drain(self._answer(stream, status, message), stream,
                        drain if drain <= DRAIN_LIMIT else 0)
        try:
            await gen.with_timeout(IOLoop.current().time() + self.server.limits.body_timeout, answer)
        except (iostream.StreamClosedError, gen.TimeoutError):
            pass
        stream.close()

    async def _read_chunks(self, delegate: httputil.HTTPMessageDelegate) -> None:
        stream, total, refused = self.conn.stream, 0, None
        while True:
            line = await stream.read_until(b"\r\n", max_bytes=1024)
            # Chunk extensions (";name=value") are allowed and ignored.
            size_text = line[:-2].split(b";", 1)[0].strip()
            if not _CHUNK_SIZE.fullmatch(size_text):
                await self._end(stream, "a chunk size is not a hexadecimal number")
            left = int(size_text, 16)
            last, total = left == 0, total + left
            if total > self.seen.body_limit and not self.seen.answered:
                # The rest is read and thrown away, so that the client sees the answer.
                refused = self._answer(stream, HTTPStatus.REQUEST_ENTITY_TOO_LARGE,
                                       too_large_message(self.server.max_body_size))
            if self.seen.answered and total > DRAIN_LIMIT:
                await self._end(stream, "")
            while left:
                piece = await stream.read_bytes(min(left, self.conn.params.chunk_size), partial=True)
                left -= len(piece)
                if not self.seen.answered:
                    pending = delegate.data_received(piece)
                    if pending is not None:
                        await pending
            if await stream.read_bytes(2) != b"\r\n":
                await self._end(stream, "a chunk is not followed by CRLF")
            if last:
                if refused is not None:
                    await refused
                    await self._end(stream, "")
                return

    async def _end(self, stream: iostream.IOStream, malformed: str) -> None:
        """Answers a malformed body unless the request has an answer; ends the connection."""
        if not self.seen.answered:
            try:
                await self._answer(stream, HTTPStatus.BAD_REQUEST,
                                   "the request body is malformed: " + malformed)
            except iostream.StreamClosedError:
                pass
        stream.close()
        raise iostream.StreamClosedError()


async def _drain(answer: "Future[None]", stream: iostream.IOStream, length: int) -> None:
    await answer
    while length > 0:
        length -= len(await stream.read_bytes(min(length, 65536), partial=True))


class _Listener:
    """Readiness watch of one listening socket, which can pause and resume."""

    def __init__(self, server: "GuardedHTTPServer", sock: socket.socket) -> None:
        self.server = server
        self.sock = sock
        self.loop = IOLoop.current()
        self.armed = False
        self.removed = False
        self._timer: Optional[object] = None
        self.arm()

    def arm(self) -> None:
        if not self.armed and not self.removed and self._timer is None:
            self.loop.add_handler(self.sock, lambda fd, events: self.server.accept_from(self),
                                  IOLoop.READ)
            self.armed = True

    def disarm(self) -> None:
        if self.armed:
            self.loop.remove_handler(self.sock)
            self.armed = False

    def pause(self, seconds: float) -> None:
        self.disarm()
        if self._timer is None:
            self._timer = self.loop.call_later(seconds, self._resume)

    def _resume(self) -> None:
        self._timer = None
        self.arm()

    def remove(self) -> None:
        self.removed = True
        self.disarm()
        if self._timer is not None:
            self.loop.remove_timeout(self._timer)
            self._timer = None


class GuardedHTTPServer(HTTPServer):
    """tornado's HTTPServer with the limits described in this module's docstring."""

    def initialize(self, request_callback: Any, *, max_body_size: int,
                   limits: ConnectionLimits = ConnectionLimits(),
                   report_interval: float = REPORT_INTERVAL, **kwargs: Any) -> None:
        super().initialize(request_callback, idle_connection_timeout=limits.idle_timeout,
                           body_timeout=limits.body_timeout, max_body_size=max_body_size, **kwargs)
        self.max_body_size = max_body_size
        self.limits = limits
        self.max_connections = connection_cap(limits.max_connections)
        self._open = 0
        self._waiting: "collections.OrderedDict[Any, None]" = collections.OrderedDict()
        self._evicted: Set[Any] = set()
        self._full: Set[_Listener] = set()
        self._listeners: List[_Listener] = []
        self._report_accept_error = RateLimitedLog(report_interval)
        self._report_eviction = RateLimitedLog(report_interval)

    # --- accepting -------------------------------------------------------------------

    def add_sockets(self, sockets: Any) -> None:
        # Our own accept loop, which can pause; tornado's retries a failing accept() at once.
        self._listeners.extend(_Listener(self, sock) for sock in sockets)

    def stop(self) -> None:
        listeners, self._listeners = self._listeners, []
        for listener in listeners:
            listener.remove()
            listener.sock.close()
        super().stop()

    def open_connections(self) -> int:
        return self._open - len(self._evicted)

    def accept_from(self, listener: _Listener) -> None:
        for _ in range(ACCEPT_BATCH):
            if listener.removed:
                return
            if self.open_connections() >= self.max_connections and not self._evict_idle():
                # Every connection is busy: accept again when one closes or waits.
                listener.disarm()
                self._full.add(listener)
                return
            try:
                connection, address = listener.sock.accept()
            except BlockingIOError:
                return
            except ConnectionAbortedError:
                continue
            except OSError as e:
                self._report_accept_error(
                    gen_log.error, "cannot accept connections: %s; pausing for %.1fs",
                    e.strerror or e, ACCEPT_PAUSE)
                listener.pause(ACCEPT_PAUSE)
                return
            self.handle_stream(iostream.IOStream(connection, max_buffer_size=self.max_buffer_size,
                                                 read_chunk_size=self.read_chunk_size), address)

    def _evict_idle(self) -> bool:
        if not self._waiting:
            return False
        conn, _ = self._waiting.popitem(last=False)
        self._evicted.add(conn)
        self._report_eviction(
            gen_log.warning, "%d connections open: closing the ones idle the longest",
            self.max_connections)
        conn.stream.close()
        return True

    def _resume_accepting(self) -> None:
        full, self._full = self._full, set()
        for listener in full:
            listener.arm()

    # --- connection states -----------------------------------------------------------

    def handle_stream(self, stream: iostream.IOStream, address: Tuple) -> None:
        self._open += 1
        super().handle_stream(stream, address)

    def start_request(self, server_conn: object, request_conn: Any) -> httputil.HTTPMessageDelegate:
        # The connection now waits for the head of a request: it may be closed to make room.
        if server_conn not in self._evicted:
            self._waiting[server_conn] = None
            self._waiting.move_to_end(server_conn)
            if self._full:
                self._resume_accepting()
        request = _Request(self, server_conn, request_conn)
        request.app = super().start_request(server_conn, request.seen)
        return request

    def connection_busy(self, server_conn: object) -> None:
        self._waiting.pop(server_conn, None)

    def on_close(self, server_conn: object) -> None:
        super().on_close(server_conn)
        self._open -= 1
        self._waiting.pop(server_conn, None)
        self._evicted.discard(server_conn)
        if self._full:
            self._resume_accepting()
