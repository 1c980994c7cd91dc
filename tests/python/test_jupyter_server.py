"""velmora in the real Jupyter server: Debian's own Python and its jupyter_server,
a fresh venv with the checkout installed by pip, and no flags that name velmora:
the installed config file alone enables it, and the compiled handlers serve
(the interpreted ones where Debian's python3-dev is missing)."""
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

from build_helpers import ROOT, child_env, not_in_sanitizer_run, once_per_run, run
from http_client import Client, exchange, first_answer

SYSTEM_PYTHON = "/usr/bin/python3"
BASE_URL = "/e2e/"
# Safety net against a hung server; not a speed check.
SERVER_LIMIT_SECONDS = 60
NOT_BUILT = "velmora: the compiled handler modules are not built ("
MAX_BODY_SIZE = 4096
MOUNTED = "velmora 0.1.0: API mounted under /e2e/api/velmora (%s)"

pytestmark = [not_in_sanitizer_run, once_per_run]


def system_python_version():
    """The version of Debian's Python and whether it has its C headers, or a
    skip that says what is missing."""
    if not os.access(SYSTEM_PYTHON, os.X_OK):
        pytest.skip("%s is missing (Debian's python3)" % SYSTEM_PYTHON)
    probe = subprocess.run(
        [SYSTEM_PYTHON, "-c", "import ensurepip, pip, jupyter_server.serverapp, os, platform, sysconfig; "
                              "print(platform.python_version()); "
                              "print(os.path.isfile(os.path.join(sysconfig.get_paths()['include'], 'Python.h')))"],
        env=child_env(),
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, timeout=SERVER_LIMIT_SECONDS)
    if probe.returncode != 0:
        last = (probe.stderr.strip().splitlines() or ["?"])[-1]
        pytest.skip("%s lacks venv, pip or jupyter_server (python3-venv, python3-pip, "
                    "python3-jupyter-server): %s" % (SYSTEM_PYTHON, last))
    version, headers = probe.stdout.split()
    return version, headers == "True"


def system_venv(tmp, site=None):
    """A venv of Debian's Python in `tmp` that sees Debian's packages, and the folder
    `site` ahead of them when given; returns its python and the environment to run it
    in, which keeps out the user's Jupyter set-up."""
    env = child_env()
    for name in ("JUPYTER_CONFIG_DIR", "JUPYTER_RUNTIME_DIR", "JUPYTER_DATA_DIR"):
        env[name] = str(tmp / name.lower())
    venv = tmp / "venv"
    run([SYSTEM_PYTHON, "-m", "venv", "--system-site-packages", venv], tmp, env)
    python = str(venv / "bin" / "python")
    if site is not None:
        # A .pth line lands right after the venv's own packages, before Debian's.
        purelib = run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"], tmp, env)
        with open(os.path.join(purelib.strip(), "extra_site.pth"), "w") as f:
            f.write(os.path.abspath(site) + "\n")
    return python, env


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


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


def test_real_jupyter_server_loads_velmora_from_the_installed_config(tmp_path):
    version, has_headers = system_python_version()
    python, env = system_venv(tmp_path)
    checkout_before = set(os.listdir(ROOT))
    out = run([python, "-m", "pip", "install", "-v", "--no-build-isolation", "--no-index", ROOT],
              tmp_path, env)
    # make test installs python3-dev where it can; without it pip says why.
    assert out.count(NOT_BUILT) == (0 if has_headers else 1), out
    assert set(os.listdir(ROOT)) == checkout_before

    root = tmp_path / "root"
    root.mkdir()
    server = subprocess.Popen(
        [python, "-W", "always::DeprecationWarning", "-m", "jupyter_server", "--ServerApp.ip=127.0.0.1", "--ServerApp.port=%d" % free_port(),
         "--ServerApp.open_browser=False", "--ServerApp.allow_root=True",
         "--ServerApp.root_dir=" + str(root), "--ServerApp.base_url=" + BASE_URL,
         "--Velmora.max_body_size=%d" % MAX_BODY_SIZE],
        env=env, cwd=str(tmp_path), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, universal_newlines=True)
    try:
        log = ServerLog(server.stdout)
        # Another process may take the port first: the server then moves on; the log says where.
        banner = log.wait_for(r"http://127\.0\.0\.1:(\d+)%s\?token=(\S+)" % re.escape(BASE_URL))
        # The server makes up its token and shows it in its own banner, where
        # the user copies it from; the requests below log in with it.
        port, token = int(banner.group(1)), banner.group(2)
        assert re.fullmatch(r"[0-9a-f]{48}", token), log.text()
        mounted = [line for line in log.lines if "API mounted under" in line]
        assert len(mounted) == 1, log.text()
        if has_headers:
            assert mounted[0].endswith("] " + MOUNTED % "compiled handlers"), log.text()
        else:
            assert "] " + MOUNTED % "interpreted handlers: " in mounted[0], log.text()
        client = Client(port, token=token)
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

        # Refusals that tornado's own reading of the request used to turn into a 500 or a reset.
        head = ("POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nAuthorization: token %s\r\n"
                "Content-Type: application/json\r\nContent-Length: " % (import_path, token)).encode()
        for length, body, status in [(b"\xb2", b"", 400), (b"%d" % (6 << 20), b"x" * (6 << 20), 413)]:
            answer = first_answer(exchange(port, head + length + b"\r\n\r\n" + body))
            assert answer[0] == status and list(answer[1]) == ["message"], answer
        assert os.listdir(str(root)) == ["e2e.pipeline"]

        server.send_signal(signal.SIGTERM)
        assert server.wait(timeout=SERVER_LIMIT_SECONDS) == 0
        log.rest()
        assert "Traceback" not in log.text(), log.text()
        assert not re.search(r"velmora/\S+\.py:\d+: \w*Warning", log.text()), log.text()
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
