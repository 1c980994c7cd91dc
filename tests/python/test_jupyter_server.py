"""velmora in a real Jupyter server started as a user starts one: the checkout
installed by pip with the locked jupyter_server and JupyterLab into a fresh
venv, then `jupyter lab`, with no flags that name velmora: the installed config
file alone enables it, and the compiled handlers serve. Its page is JupyterLab's,
the host's banner is untouched, and velmora answers on both routes."""
import json
import os
import queue
import re
import signal
import socket
import subprocess
import threading
import time

import pytest

from build_helpers import not_in_sanitizer_run, real_jupyter_run
from http_client import Client

BASE_URL = "/e2e/"
# Safety net against a hung server; not a speed check.
SERVER_LIMIT_SECONDS = 60
MAX_BODY_SIZE = 4096
MOUNTED = "velmora %s: API mounted under /e2e/api/velmora (compiled handlers)"

pytestmark = [not_in_sanitizer_run, real_jupyter_run]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def first_answer(request):
    """A loaded machine may print the banner before the socket takes connections."""
    deadline = time.monotonic() + SERVER_LIMIT_SECONDS
    while True:
        try:
            return request()
        except ConnectionRefusedError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


class ServerLog:
    """The server's log lines, read in a thread so that the pipe never fills."""

    def __init__(self, stream):
        self.lines = []
        self._queue = queue.Queue()
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            self._queue.put(line.rstrip("\n"))
        self._queue.put(None)

    def wait_for(self, pattern):
        """The first match of `pattern` in a line, waiting up to the limit."""
        deadline = time.monotonic() + SERVER_LIMIT_SECONDS
        while True:
            for line in self.lines:
                found = re.search(pattern, line)
                if found:
                    return found
            try:
                line = self._queue.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                pytest.fail("no log line matching %r:\n%s" % (pattern, self.text()))
            if line is None:
                pytest.fail("the server exited:\n%s" % self.text())
            self.lines.append(line)

    def rest(self):
        while True:
            line = self._queue.get(timeout=SERVER_LIMIT_SECONDS)
            if line is None:
                return
            self.lines.append(line)

    def text(self):
        return "\n".join(self.lines)


def test_jupyter_lab_serves_its_page_and_velmora_from_the_installed_config(installed_venv):
    _, venv, python, tmp_path, env = installed_venv
    version, velmora_version = subprocess.run(
        [python, "-c", "import platform, velmora; print(platform.python_version()); print(velmora.__version__)"],
        env=env, stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout.split()

    root = tmp_path / "root"
    root.mkdir()
    server = subprocess.Popen(
        [str(venv / "bin" / "jupyter"), "lab", "--ServerApp.ip=127.0.0.1", "--ServerApp.port=%d" % free_port(),
         "--ServerApp.open_browser=False", "--ServerApp.allow_root=True",
         "--ServerApp.root_dir=" + str(root), "--ServerApp.base_url=" + BASE_URL,
         "--Velmora.max_body_size=%d" % MAX_BODY_SIZE],
        env=env, cwd=str(tmp_path), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, universal_newlines=True)
    try:
        log = ServerLog(server.stdout)
        # Another process may take the port first: the server then moves on; the log says where.
        banner = log.wait_for(r"http://127\.0\.0\.1:(\d+)%s(?:lab)?\?token=(\S+)" % re.escape(BASE_URL))
        # The server makes up its token and shows it in its own banner, where
        # the user copies it from; the requests below log in with it.
        port, token = int(banner.group(1)), banner.group(2)
        assert re.fullmatch(r"[0-9a-f]{48}", token), log.text()
        mounted = [line for line in log.lines if "API mounted under" in line]
        assert len(mounted) == 1, log.text()
        assert mounted[0].endswith("] " + MOUNTED % velmora_version), log.text()
        client = Client(port, token=token)
        # JupyterLab's own page, judged by its title: a page of errors answers 200 too.
        r = first_answer(lambda: client.request("GET", BASE_URL + "lab"))
        assert r.status == 200 and re.search(rb"<title>JupyterLab</title>", r.body), r
        info_path = BASE_URL + "api/velmora/server-info"
        import_path = BASE_URL + "api/velmora/pipelines/import"

        r = client.request("GET", info_path, headers={"Cookie": "theme=dark; lang=en"})
        assert r.status == 200, r
        info = r.json()
        server_version = client.request("GET", BASE_URL + "api").json()["version"]
        assert (info["cookie"], info["python_version"], info["jupyter_server_version"]) == (
            "theme=dark; lang=en", version, server_version)
        assert (info["base_url"], info["root_dir"], info["pid"]) == (
            BASE_URL, os.path.realpath(str(root)), server.pid)

        pipeline = {"name": "e2e", "nodes": [{"id": "a"}, {"id": "b"}]}
        body = json.dumps(pipeline).encode()
        json_body = {"Content-Type": "application/json"}
        r = client.request("POST", import_path, body, headers=json_body)
        assert (r.status, r.json()["node_count"], r.json()["path"]) == (201, 2, "e2e.pipeline")
        r = client.request("POST", import_path, body, headers=json_body)
        assert r.status == 409 and "exists" in r.json()["message"]
        for bad, message in [(b"not json", "the request body is not valid JSON"),
                             (b'{"name": "../x", "nodes": []}',
                              "the pipeline name must not contain '/' or '\\'")]:
            r = client.request("POST", import_path, bad, headers=json_body)
            assert (r.status, r.json()) == (400, {"message": message})
        with open(str(root / "e2e.pipeline"), encoding="utf-8") as f:
            assert json.load(f) == pipeline

        assert client.request("GET", info_path, auth=None).status == 403
        assert client.request("POST", import_path, b'{"name": "x", "nodes": []}', auth=None,
                              headers=json_body).status == 403
        large = json.dumps({"name": "big", "nodes": [], "pad": "x" * MAX_BODY_SIZE}).encode()
        r = client.request("POST", import_path, large, headers=json_body)
        assert (r.status, r.json()) == (413, {"message": "the request body is larger than %d bytes" % MAX_BODY_SIZE})
        assert os.listdir(str(root)) == ["e2e.pipeline"]
        # Each refusal: the warning line Jupyter gives its own, with velmora's reason.
        for status, method, path, reason in [
                (409, "POST", import_path, "a pipeline of that name exists"),
                (400, "POST", import_path, "the request body is not valid JSON"),
                (400, "POST", import_path, "the pipeline name must not contain"),
                (403, "GET", info_path, ""),
                (403, "POST", import_path, ""),
                (413, "POST", import_path, "the request body is larger than %d bytes" % MAX_BODY_SIZE)]:
            log.wait_for(r"^\[W [^]]*\] %d %s %s .*: (?=\S)%s" % (status, method, re.escape(path), re.escape(reason)))

        # The server logs a request after answering it, and its SIGTERM handler logs to the
        # same stream. From CPython 3.14 a signal that lands during that write runs the
        # handler inside it, the stream refuses the nested write, and the error ends the
        # handler before it stops the server (logging swallows it): the signal is lost.
        # A 200, which logs nothing, shows the 413's line is written.
        assert client.request("GET", BASE_URL + "api").status == 200
        server.send_signal(signal.SIGTERM)
        try:
            code = server.wait(timeout=SERVER_LIMIT_SECONDS)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()
            log.rest()
            pytest.fail("the server outlived SIGTERM:\n" + log.text())
        log.rest()
        assert code == 0, log.text()
        assert "Traceback" not in log.text(), log.text()
        assert not re.search(r"velmora/\S+\.py:\d+: \w*Warning", log.text()), log.text()
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
