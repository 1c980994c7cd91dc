"""Idle connections, timeouts and the connection cap, on loopback; accept() failures in process."""
import asyncio
import errno
import logging
import os
import resource
import signal
import socket

import pytest
from tornado import iostream
from tornado.ioloop import IOLoop

from http_fixtures import TOKEN, Client, start_server
from test_server_cli import server_env, start, stop
from velmora.server import connections
from velmora.server.connections import ConnectionLimits

HALF_HEAD = b"GET /api/velmora/server-info HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Waiting: "


def closed_by_server(s: socket.socket) -> bool:
    """Waits (30 s at most, a safety net) until the server closes `s`; False if it does not."""
    return read_until_closed(s)[0]


def read_until_closed(s: socket.socket):
    """(closed by the server, what it sent before), waiting 30 s at most."""
    s.settimeout(30)
    data = b""
    try:
        while True:
            piece = s.recv(65536)
            if not piece:
                return True, data
            data += piece
    except socket.timeout:
        return False, data
    except ConnectionResetError:
        return True, data


@pytest.fixture
def quick_server(tmp_path):
    live = start_server("twin", str(tmp_path), ConnectionLimits(idle_timeout=0.3, body_timeout=0.3))
    yield live
    live.thread.stop()


AUTH = b"Authorization: token " + TOKEN.encode() + b"\r\n"


@pytest.mark.parametrize("sent,answer", [
    (b"", b""),  # connected, sent nothing
    (HALF_HEAD, b""),  # half a request head
    # A whole request, then idle on the kept-alive connection.
    (b"GET /api/velmora/server-info HTTP/1.1\r\nHost: 127.0.0.1\r\n" + AUTH + b"\r\n",
     b"HTTP/1.1 200 "),
    # A body that stops coming.
    (b"POST /api/velmora/pipelines/import HTTP/1.1\r\nHost: 127.0.0.1\r\n" + AUTH
     + b"Content-Type: application/json\r\nContent-Length: 100\r\n\r\n{\"na", b""),
], ids=["nothing", "half a head", "idle after a request", "half a body"])
def test_stalled_connections_are_closed(quick_server, sent, answer):
    with socket.create_connection(("127.0.0.1", quick_server.client.port)) as s:
        s.sendall(sent)
        closed, received = read_until_closed(s)
    assert closed
    assert received.startswith(answer) and (answer or received == b"")
    assert quick_server.client.info().status == 200
    assert os.listdir(quick_server.root) == []


def test_reachable_while_idle_connections_exceed_the_file_limit(tmp_path):
    """A subprocess server under a low file limit; more idle connections than it can hold."""
    nofile = 96
    cap = connections.connection_cap(512, nofile)
    assert cap < nofile

    env = server_env()
    proc, banner = start(["--port", "0", "--root-dir", str(tmp_path), "--token", TOKEN,
                          "--handlers", "twin"], env, file_limit=nofile)
    held = []
    try:
        port = int(banner[1].rsplit(":", 1)[1].rstrip("/"))
        client = Client(port)
        for round_ in range(3):
            for _ in range(cap):
                s = socket.create_connection(("127.0.0.1", port))
                s.sendall(HALF_HEAD)
                held.append(s)
            # Every round pushes the server past its cap; the client still gets through.
            assert [client.info().status for _ in range(5)] == [200] * 5
        # The oldest idle ones were closed to make room, the newest are still open.
        assert closed_by_server(held[0])
        held[-1].setblocking(False)
        with pytest.raises(BlockingIOError):
            held[-1].recv(1)
    finally:
        for s in held:
            s.close()
        code, out, err = stop(proc, signal.SIGTERM)
    assert code == 0, err
    assert "Traceback" not in err and "Too many open files" not in err
    # Reported once per interval, not once per connection.
    assert 1 <= err.count("closing the ones idle the longest") < 10, err


class FailingSocket:
    """A listening socket whose accept() fails as a process out of file descriptors does."""

    def __init__(self):
        self.calls = 0

    def fileno(self):
        return -1

    def accept(self):
        self.calls += 1
        raise OSError(errno.EMFILE, os.strerror(errno.EMFILE))


class StubListener:
    def __init__(self):
        self.sock = FailingSocket()
        self.removed = False
        self.pauses = []

    def pause(self, seconds):
        self.pauses.append(seconds)

    def disarm(self):
        raise AssertionError("not full: the listener must pause, not wait for a close")


def test_accept_failures_pause_accepting_and_are_logged_once(caplog, tmp_path):
    live = start_server("twin", str(tmp_path))
    try:
        http = live.thread.server._http
        listener = StubListener()
        with caplog.at_level(logging.INFO):
            for _ in range(50):
                http.accept_from(listener)
    finally:
        live.thread.stop()
    # One accept() per readiness event, then a pause: no busy loop.
    assert listener.sock.calls == 50
    assert listener.pauses == [connections.ACCEPT_PAUSE] * 50
    lines = [r.getMessage() for r in caplog.records if "cannot accept" in r.getMessage()]
    assert lines == ["cannot accept connections: Too many open files; pausing for 0.5s"]


def test_repeated_reports_count_what_they_left_out():
    now = [0.0]
    lines = []
    report = connections.RateLimitedLog(10.0, clock=lambda: now[0])
    for t in (0.0, 1.0, 9.9, 10.0, 10.5, 25.0):
        now[0] = t
        report(lambda msg, *args: lines.append(msg % args), "failed %s", t)
    assert lines == ["failed 0.0", "failed 10.0 (and 2 more times since the last report)",
                     "failed 25.0 (and 1 more times since the last report)"]


@pytest.mark.parametrize("requested,soft,expected", [
    (512, 1024, 512), (2000, 1024, 960), (512, 96, 72), (512, 16, 8), (512, 4, 1),
    (512, resource.RLIM_INFINITY, 512),
])
def test_connection_cap_leaves_descriptors_free(requested, soft, expected):
    assert connections.connection_cap(requested, soft) == expected


@pytest.mark.parametrize("paused", [False, True])
def test_stop_closes_the_listening_socket(tmp_path, paused):
    live = start_server("twin", str(tmp_path))
    port = live.client.port
    http = live.thread.server._http
    if paused:
        # A pause whose timer is still pending must not bring the listener back.
        (listener,) = http._listeners
        live.thread._loop.call_soon_threadsafe(listener.pause, 0.2)
    live.thread.stop()
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port), timeout=5).close()


@pytest.mark.parametrize("peer_reads", [True, False])
def test_an_answer_the_client_does_not_read_closes_the_connection(peer_reads):
    # Pipelined requests whose answers are never read would hold a connection busy for good.
    async def run():
        ours, peer = socket.socketpair()
        ours.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
        peer.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        stream = iostream.IOStream(ours)
        stream.write(b"x" * (1 << 20))
        if peer_reads:
            peer.setblocking(False)
            IOLoop.current().add_handler(peer, lambda fd, events: peer.recv(1 << 20), IOLoop.READ)
        # A reader gets all the time a loaded machine may need; a non-reader the short limit.
        await connections._sent_within(stream, 60.0 if peer_reads else 0.5, "peer")
        closed = stream.closed()
        if peer_reads:
            IOLoop.current().remove_handler(peer)
        stream.close()
        peer.close()
        return closed

    # A loop of its own: asyncio.run would leave the thread without a current loop.
    loop = asyncio.new_event_loop()
    try:
        assert loop.run_until_complete(run()) is not peer_reads
    finally:
        loop.close()
