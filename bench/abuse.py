"""Prints how the server fares against a hostile local client. Figures only; nothing passes or fails.

    .venv/bin/python bench/abuse.py [--idle 1000] [--nofile 1024]

1. A 1 MiB body of nested arrays: the file written and the time, next to what
   the former encoding (indent=2) made of the same value; the slowest answer
   to server-info while such imports run.
2. Idle connections that sent half a request head, held open: how long a
   client with the token waits for its answers meanwhile, and the server's
   CPU time while it holds them.
3. Malformed requests: the answer's status and the log bytes each one costs.

The server runs as `python -m velmora.server` on 127.0.0.1 with a random port,
under the file-descriptor limit given; every loop here is bounded.
"""
import argparse
import http.client
import json
import multiprocessing
import os
import resource
import secrets
import socket
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOKEN = "bench-" + secrets.token_hex(16)
IMPORT = "/api/velmora/pipelines/import"
INFO = "/api/velmora/server-info"


class Server:
    def __init__(self, root: str, nofile: int, *extra: str) -> None:
        self.log_path = os.path.join(root, "server.log")
        self.root = os.path.join(root, "pipelines")
        os.mkdir(self.root)
        env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1",
                   VELMORA_TWINS_DIR=os.path.join(ROOT, "tests", "python"))

        def limit() -> None:
            resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))

        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        as_root = ["--allow-root"] if os.geteuid() == 0 else []
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "velmora.server", "--port", str(self.port), "--root-dir", self.root,
             "--token", TOKEN, *as_root, *extra],
            cwd=ROOT, env=env, stdout=subprocess.DEVNULL, stderr=open(self.log_path, "wb"),
            preexec_fn=limit)
        # The server logs its address before it listens: wait for an answer, at most a minute.
        for _ in range(600):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.1)

    def log_size(self) -> int:
        return os.path.getsize(self.log_path)

    def cpu_seconds(self) -> float:
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self) -> None:
        self.proc.terminate()
        self.proc.wait(timeout=30)


def request(port: int, method: str, path: str, body: bytes = None, timeout: float = 60):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        headers = {"Authorization": "token " + TOKEN}
        if body is not None:
            headers["Content-Type"] = "application/json"
        conn.request(method, path, body=body, headers=headers)
        r = conn.getresponse()
        return r.status, r.read()
    finally:
        conn.close()


def nested_body(depth: int, size: int = 1 << 20) -> bytes:
    head, tail = b'{"name":"deep%d","nodes":[' % depth, b"]}"
    item = b"[" * depth + b"]" * depth
    count = (size - len(head) - len(tail)) // (len(item) + 1)
    return head + b",".join([item] * count) + tail


def watch_latency(port: int, stop, out) -> None:
    # In a process of its own: the client's threads would share one interpreter lock.
    latencies = []
    while not stop.is_set():
        start = time.perf_counter()
        request(port, "GET", INFO)
        latencies.append(time.perf_counter() - start)
    out.put(latencies)


def bench_nested(server: Server) -> None:
    print("1. nested bodies of 1 MiB")
    for depth in (100, 300):
        body = nested_body(depth)
        value = json.loads(body)
        start = time.perf_counter()
        old = json.dumps(value, indent=2, ensure_ascii=False).encode() + b"\n"
        old_time = time.perf_counter() - start
        del value
        stop, out = multiprocessing.Event(), multiprocessing.Queue()
        watcher = multiprocessing.Process(target=watch_latency, args=(server.port, stop, out))
        watcher.start()
        time.sleep(0.2)
        times = []
        for _ in range(3):
            start = time.perf_counter()
            status, answer = request(server.port, "POST", IMPORT + "?overwrite=true", body)
            times.append(time.perf_counter() - start)
        stop.set()
        latencies = out.get()
        watcher.join()
        path = os.path.join(server.root, "deep%d.pipeline" % depth)
        stored = os.path.getsize(path) if status == 201 else 0
        print("   depth %3d: body %7d B -> %d %s" % (depth, len(body), status,
                                                     json.loads(answer).get("message", "stored")))
        print("              stored %9d B (%.2fx) in %6.1f ms (median of 3 requests)"
              % (stored, stored / len(body), 1000 * statistics.median(times)))
        print("              former indent=2 encoding alone: %9d B (%.0fx) in %6.1f ms"
              % (len(old), len(old) / len(body), 1000 * old_time))
        print("              server-info meanwhile: %d answers, slowest %.1f ms, median %.1f ms"
              % (len(latencies), 1000 * max(latencies), 1000 * statistics.median(latencies)))


def half_head(port: int) -> socket.socket:
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"GET " + INFO.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Wait: ")
    return s


def bench_idle(server: Server, count: int) -> None:
    print("2. %d idle connections holding half a request head" % count)
    log_before, cpu_before = server.log_size(), server.cpu_seconds()
    held, refused = [], 0
    start = time.perf_counter()
    for _ in range(count):
        try:
            held.append(half_head(server.port))
        except OSError:
            refused += 1
    opened = time.perf_counter() - start
    times, statuses = [], []
    for _ in range(50):
        t = time.perf_counter()
        try:
            statuses.append(request(server.port, "GET", INFO, timeout=5)[0])
        except OSError as e:
            statuses.append(type(e).__name__)
        times.append(time.perf_counter() - t)
    hold_start, cpu_hold = time.perf_counter(), server.cpu_seconds()
    time.sleep(2.0)
    cpu_idle = server.cpu_seconds() - cpu_hold
    hold = time.perf_counter() - hold_start
    closed = 0
    for s in held:
        s.setblocking(False)
        try:
            if s.recv(1) == b"":
                closed += 1
        except BlockingIOError:
            pass
        except OSError:
            closed += 1
        s.close()
    print("   opened in %.2f s (%d refused by the kernel); server closed %d of them to make room"
          % (opened, refused, closed))
    print("   50 requests with the token meanwhile: %s, median %.1f ms, slowest %.1f ms"
          % ("all 200" if set(statuses) == {200} else
             ", ".join("%dx %s" % (statuses.count(k), k) for k in sorted(set(map(str, statuses)))),
             1000 * statistics.median(times),
             1000 * max(times)))
    print("   server CPU while holding them, idle: %.0f%% of a core over %.1f s"
          % (100 * cpu_idle / hold, hold))
    print("   server CPU for the whole step: %.2f s; log written: %d B"
          % (server.cpu_seconds() - cpu_before, server.log_size() - log_before))


MALFORMED = {
    "?token=%ff": b"GET " + INFO.encode() + b"?token=%ff HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n",
    "?overwrite=%ff": b"POST " + IMPORT.encode() + b"?overwrite=%ff HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      b"Content-Type: application/json\r\nContent-Length: 2\r\nAUTH\r\n\r\n{}",
    "bad request line": b"GARBAGE\r\n\r\n",
    "header without colon": b"GET / HTTP/1.1\r\nnocolon\r\n\r\n",
    "Content-Length: 1_0": b"POST " + IMPORT.encode() + b" HTTP/1.1\r\nContent-Length: 1_0\r\n\r\n",
    "bad chunk size": b"POST " + IMPORT.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nAUTH\r\n"
                      b"Content-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n",
    "text/plain body": b"POST " + IMPORT.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nAUTH\r\n"
                       b"Content-Type: text/plain\r\nContent-Length: 2\r\n\r\n{}",
    "8 MiB declared, Expect": b"POST " + IMPORT.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nAUTH\r\n"
                              b"Content-Type: application/json\r\nContent-Length: 8388608\r\n"
                              b"Expect: 100-continue\r\n\r\n",
    "1e400": b"POST " + IMPORT.encode() + b" HTTP/1.1\r\nHost: 127.0.0.1\r\nAUTH\r\n"
             b"Content-Type: application/json\r\nContent-Length: 31\r\n\r\n"
             b'{"name": "n", "nodes": [1e400]}',
    "remote Host": b"GET " + INFO.encode() + b" HTTP/1.1\r\nHost: example.com\r\nAUTH\r\n\r\n",
}


def bench_malformed(server: Server) -> None:
    print("3. malformed requests: answer and log bytes")
    auth = b"Authorization: token " + TOKEN.encode()
    for name, data in MALFORMED.items():
        before = server.log_size()
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as s:
            s.sendall(data.replace(b"AUTH", auth))
            try:
                answer = s.recv(65536)
            except OSError:
                answer = b""
        time.sleep(0.2)  # the log line is written after the answer
        status = answer.split(b" ", 2)[1].decode() if answer else "none"
        json_body = b"application/json" in answer
        print("   %-24s %s %-5s log %4d B" % (name, status, "json" if json_body else "-",
                                             server.log_size() - before))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--idle", type=int, default=1000)
    parser.add_argument("--nofile", type=int, default=1024)
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, args.idle + 256)), hard))
    with tempfile.TemporaryDirectory() as root:
        server = Server(root, args.nofile)
        try:
            bench_nested(server)
            bench_idle(server, args.idle)
            bench_malformed(server)
        finally:
            server.stop()


if __name__ == "__main__":
    main()
