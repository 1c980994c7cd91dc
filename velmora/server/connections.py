"""HTTP connections of the standalone server: limits, timeouts, and an answer for every request.

tornado's HTTP server, left as it is, keeps a connection that sent half a
request head for an hour, accepts until the process runs out of file
descriptors (and then retries the failing accept() as fast as it can, logging
a traceback each time), answers a malformed request with a bare 400 or not at
all, and sends `100 Continue` before anyone has looked at the declared length.

`GuardedHTTPServer` keeps tornado's request handling and changes the parts
around it:
- the head of a request, and the pause between two requests on one
  connection, must arrive within the idle timeout, and a body within the body
  timeout;
- at most `max_connections` are open, fewer when the file-descriptor limit is
  lower; when that many are open, the connection that has waited longest for
  a request is closed to make room, so that a client can always get through
  while idle connections are held; when every one is busy, accepting waits
  for one to close;
- failures of accept() are logged at most once per interval, and accepting
  pauses for a moment after one instead of spinning;
- malformed requests and over-long bodies get a JSON answer (400, 413), and
  one access-log line; `100 Continue` is sent only to a request that has not
  been answered already;
- a body that comes after its answer (a refusal) is read and thrown away, up
  to `DRAIN_LIMIT`, so that the client sees the answer rather than a reset.
"""
import asyncio
import collections
import json
import re
import resource
import socket
import time
from http import HTTPStatus
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Set, Tuple

from tornado import gen, httputil, iostream
from tornado.concurrent import future_set_result_unless_cancelled
from tornado.http1connection import HTTP1Connection, HTTP1ServerConnection
from tornado.httpserver import HTTPServer, _HTTPRequestContext
from tornado.ioloop import IOLoop
from tornado.log import access_log, app_log, gen_log

from .handlers.pipeline_import.body_check import DRAIN_LIMIT, BadRequest, declared_length

# Connections accepted per readiness event, as tornado does.
ACCEPT_BATCH = 128
# After accept() failed (out of file descriptors, say): seconds without accepting.
ACCEPT_PAUSE = 0.5
# Repeated failures and evictions are logged at most once per this many seconds.
REPORT_INTERVAL = 10.0

_CHUNK_SIZE = re.compile(rb"[0-9A-Fa-f]{1,16}")


class ConnectionLimits(NamedTuple):
    idle_timeout: float = 20.0  # seconds for a request head, and between requests
    body_timeout: float = 60.0  # seconds for a whole body, and for the answer to go out
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


class Framing(NamedTuple):
    """How the body of a request is delimited: a length, chunks, or no body."""

    length: Optional[int]
    chunked: bool


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


def parse_framing(headers: httputil.HTTPHeaders) -> Framing:
    """The body framing of a request; raises HTTPInputError when it is ambiguous."""
    encoding = headers.get("Transfer-Encoding")
    length = headers.get("Content-Length")
    if encoding is not None:
        if length is not None:
            raise httputil.HTTPInputError("both Transfer-Encoding and Content-Length are given")
        if encoding.strip().lower() != "chunked":
            raise httputil.HTTPInputError("the only transfer coding accepted is chunked")
        return Framing(None, True)
    try:
        return Framing(declared_length(length), False)
    except BadRequest as e:
        raise httputil.HTTPInputError(str(e)) from None


class _RequestConnection(HTTP1Connection):
    """One request of a server connection; tornado's writing side, our reading side."""

    # Tells handlers that an early answer cannot cost the client its response:
    # the rest of the body is read before the connection closes.
    drains_after_answer = True

    def __init__(self, stream: iostream.IOStream, params: Any, context: Any,
                 on_head: Callable[[], None]) -> None:
        super().__init__(stream, False, params, context)
        self._on_head = on_head
        # True once this layer, not a handler, has answered the request.
        self._refused = False

    async def _read_message(self, delegate: httputil.HTTPMessageDelegate) -> bool:
        head = await self._read_head()
        if head is None:
            return False
        self._on_head()
        try:
            start_text, headers = self._parse_headers(head)
            start_line = httputil.parse_request_start_line(start_text)
            framing = parse_framing(headers)
        except httputil.HTTPInputError as e:
            await self._refuse(HTTPStatus.BAD_REQUEST, "the request is malformed: %s" % e)
            return False
        self._request_start_line = start_line
        self._request_headers = headers
        self._disconnect_on_finish = not self._can_keep_alive(start_line, headers)
        delegate_open = True
        try:
            if not await self._deliver(delegate.headers_received, start_line, headers):
                return False
            if self.stream is None:  # detached by the delegate
                delegate_open = False
                return False
            if (not self._write_finished and framing.length is not None
                    and framing.length > self._max_body_size):
                await self._refuse(HTTPStatus.REQUEST_ENTITY_TOO_LARGE,
                                   too_large_message(self._max_body_size), framing)
                return False
            expects_continue = headers.get("Expect", "").strip().lower() == "100-continue"
            # A client that waits for 100 Continue and got its answer sends no body;
            # one that sends more than can be drained is cut off.
            skip_body = self._write_finished and (
                expects_continue or (framing.length or 0) > DRAIN_LIMIT)
            if not skip_body:
                if expects_continue and start_line.version == "HTTP/1.1":
                    self.stream.write(b"HTTP/1.1 100 (Continue)\r\n\r\n")
                if not await self._receive_body(delegate, framing):
                    return False
            self._read_finished = True
            if not self._write_finished:
                delegate_open = False
                if not await self._deliver(delegate.finish):
                    return False
            return await self._await_answer()
        finally:
            if delegate_open:
                await self._deliver(delegate.on_connection_close)
            self._clear_callbacks()

    async def _read_head(self) -> Optional[bytes]:
        future = self.stream.read_until_regex(b"\r?\n\r?\n", max_bytes=self.params.max_header_size)
        try:
            return await gen.with_timeout(
                self.stream.io_loop.time() + self.params.header_timeout, future,
                quiet_exceptions=iostream.StreamClosedError)
        except gen.TimeoutError:
            self.close()
            return None

    async def _deliver(self, method: Callable[..., Any], *args: Any) -> bool:
        """Calls a delegate method as tornado does: its failure is logged and ends the connection."""
        try:
            result = method(*args)
            if result is not None:
                await result
            return True
        except iostream.StreamClosedError:
            self.close()
            return False
        except Exception:
            app_log.error("Uncaught exception", exc_info=True)
            self.close()
            return False

    async def _receive_body(self, delegate: httputil.HTTPMessageDelegate, framing: Framing) -> bool:
        if framing.length is None and not framing.chunked:
            return True
        consume = self._consume_body(delegate, framing)
        try:
            if self._body_timeout is None:
                await consume
            else:
                await gen.with_timeout(self.stream.io_loop.time() + self._body_timeout, consume,
                                       quiet_exceptions=(iostream.StreamClosedError,
                                                         httputil.HTTPInputError))
        except gen.TimeoutError:
            gen_log.info("Timeout reading body from %s", self.context)
            self.close()
            return False
        except httputil.HTTPInputError as e:
            if self._write_finished:
                self.close()
            else:
                await self._refuse(HTTPStatus.BAD_REQUEST, "the request body is malformed: %s" % e)
            return False
        return not self.stream.closed()

    async def _consume_body(self, delegate: httputil.HTTPMessageDelegate, framing: Framing) -> None:
        received = 0
        async for piece in self._body_pieces(framing):
            received += len(piece)
            if self._write_finished:
                if received > DRAIN_LIMIT:
                    self.close()
                    return
            elif received > self._max_body_size:
                # Only a chunked body gets here: a declared length was checked before.
                self._send_refusal(HTTPStatus.REQUEST_ENTITY_TOO_LARGE,
                                   too_large_message(self._max_body_size))
            elif not await self._deliver(delegate.data_received, piece):
                return

    async def _body_pieces(self, framing: Framing):
        chunk_size = self.params.chunk_size
        read = self.stream.read_bytes
        if framing.length is not None:
            left = framing.length
            while left > 0:
                piece = await read(min(chunk_size, left), partial=True)
                left -= len(piece)
                yield piece
            return
        while True:
            line = await self.stream.read_until(b"\r\n", max_bytes=1024)
            # Chunk extensions (";name=value") are allowed and ignored.
            size_text = line[:-2].split(b";", 1)[0].strip()
            if not _CHUNK_SIZE.fullmatch(size_text):
                raise httputil.HTTPInputError("a chunk size is not a hexadecimal number")
            left = int(size_text, 16)
            if left == 0:
                if await read(2) != b"\r\n":
                    raise httputil.HTTPInputError("the chunked body does not end with an empty line")
                return
            while left:
                piece = await read(min(chunk_size, left), partial=True)
                left -= len(piece)
                yield piece
            if await read(2) != b"\r\n":
                raise httputil.HTTPInputError("a chunk is not followed by CRLF")

    async def _await_answer(self) -> bool:
        """Waits until the answer has gone out; True when the connection stays open."""
        if self._refused:
            await self._flush_quietly()
            self.close()
            return False
        if not self._finish_future.done() and not self.stream.closed():
            self.stream.set_close_callback(self._on_connection_close)
            try:
                if self._body_timeout is None:
                    await self._finish_future
                else:
                    await gen.with_timeout(self.stream.io_loop.time() + self._body_timeout,
                                           self._finish_future)
            except gen.TimeoutError:
                # The client does not read what it asked for.
                gen_log.info("Timeout writing the answer to %s", self.context)
                self.close()
                return False
        if self._disconnect_on_finish:
            self.close()
        return self.stream is not None and not self.stream.closed()

    async def _flush_quietly(self) -> None:
        if self._pending_write is not None:
            try:
                await self._pending_write
            except iostream.StreamClosedError:
                pass

    def _finish_request(self, future: Any) -> None:
        if not self._read_finished and self.stream is not None and not self.stream.closed():
            # Answered before the body arrived: the reader drains it, then closes.
            self._clear_callbacks()
            future_set_result_unless_cancelled(self._finish_future, None)
            return
        super()._finish_request(future)

    def _send_refusal(self, status: int, message: str) -> None:
        """Answers from here, for a request no handler has answered; the connection will close."""
        if self._response_start_line is not None or self._write_finished:
            self.close()
            return
        self._write_finished = True
        self._disconnect_on_finish = True
        self._refused = True
        self._pending_write = self.stream.write(json_answer(status, message))
        start = self._request_start_line
        method, uri = (start.method, start.path) if start is not None else ("-", "-")
        access_log.warning("%d %s %s (%s): %s", status, method, uri,
                           getattr(self.context, "remote_ip", "-"), message)

    async def _refuse(self, status: int, message: str, framing: Optional[Framing] = None) -> None:
        """Answers, reads a declared body that is coming anyway (within limits), and closes."""
        self._send_refusal(status, message)
        try:
            await self._flush_quietly()
            headers = self._request_headers
            waits = headers is not None and headers.get("Expect", "").lower() == "100-continue"
            if framing is not None and framing.length is not None and not waits \
                    and framing.length <= DRAIN_LIMIT:
                await gen.with_timeout(self.stream.io_loop.time() + (self._body_timeout or 60.0),
                                       self._consume_body(_DISCARD, framing),
                                       quiet_exceptions=iostream.StreamClosedError)
        except (iostream.StreamClosedError, gen.TimeoutError):
            pass
        self.close()


class _Discard(httputil.HTTPMessageDelegate):
    def data_received(self, chunk: bytes) -> None:
        return None


_DISCARD = _Discard()


class _ServerConnection(HTTP1ServerConnection):
    """The request loop of one accepted connection, reporting idle and busy to the server."""

    def __init__(self, stream: iostream.IOStream, params: Any, context: Any,
                 server: "GuardedHTTPServer") -> None:
        super().__init__(stream, params, context)
        self._server = server

    async def _server_request_loop(self, delegate: httputil.HTTPServerConnectionDelegate) -> None:
        try:
            while True:
                self._server.connection_waiting(self)
                conn = _RequestConnection(self.stream, self.params, self.context,
                                          lambda: self._server.connection_busy(self))
                request_delegate = delegate.start_request(self, conn)
                try:
                    keep = await conn.read_response(request_delegate)
                except (iostream.StreamClosedError, iostream.UnsatisfiableReadError,
                        asyncio.CancelledError):
                    return
                except Exception:
                    gen_log.error("Uncaught exception", exc_info=True)
                    conn.close()
                    return
                if not keep:
                    return
                await asyncio.sleep(0)
        finally:
            delegate.on_close(self)


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

    def initialize(self, request_callback: Any, *, limits: ConnectionLimits = ConnectionLimits(),
                   report_interval: float = REPORT_INTERVAL, **kwargs: Any) -> None:
        super().initialize(request_callback, idle_connection_timeout=limits.idle_timeout,
                           body_timeout=limits.body_timeout, **kwargs)
        self.limits = limits
        self.max_connections = connection_cap(limits.max_connections)
        self._waiting: "collections.OrderedDict[_ServerConnection, None]" = collections.OrderedDict()
        self._evicted: Set[_ServerConnection] = set()
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
        return len(self._connections) - len(self._evicted)

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
            self._handle_connection(connection, address)

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
        context = _HTTPRequestContext(stream, address, self.protocol, self.trusted_downstream)
        conn = _ServerConnection(stream, self.conn_params, context, self)
        self._connections.add(conn)
        conn.start_serving(self)

    def connection_waiting(self, conn: _ServerConnection) -> None:
        """`conn` waits for the head of a request: it may be closed to make room."""
        if conn in self._evicted:
            return
        self._waiting[conn] = None
        self._waiting.move_to_end(conn)
        if self._full:
            self._resume_accepting()

    def connection_busy(self, conn: _ServerConnection) -> None:
        self._waiting.pop(conn, None)

    def on_close(self, server_conn: object) -> None:
        super().on_close(server_conn)
        conn = server_conn  # type: ignore[assignment]
        self._waiting.pop(conn, None)  # type: ignore[arg-type]
        self._evicted.discard(conn)  # type: ignore[arg-type]
        if self._full:
            self._resume_accepting()

    def connection_states(self) -> Dict[str, int]:
        """Counts for benchmarks and tests: open, waiting for a request, busy."""
        open_now = self.open_connections()
        return {"open": open_now, "waiting": len(self._waiting), "busy": open_now - len(self._waiting),
                "cap": self.max_connections}
