"""velmora under jupyter_server 2: Debian's Python with a jupyter_server 2 tree that
VELMORA_JUPYTER_SERVER2_SITE names (a folder holding jupyter_server 2 and the
packages it needs beyond Debian's, each with its dist-info). The checkout is
installed by pip into a fresh venv that sees that folder, then serves in the
real ServerApp and in the one `velmora-server` starts, with no deprecation
warning from velmora's code."""
import json
import os
import re
import signal
import subprocess
import time

import pytest

from build_helpers import ROOT, not_in_sanitizer_run, run
from http_client import Client
from test_jupyter_server import SERVER_LIMIT_SECONDS, SYSTEM_PYTHON, ServerLog, free_port, system_venv

SITE_ENV = "VELMORA_JUPYTER_SERVER2_SITE"
MAX_BODY_SIZE = 4096
JSON_BODY = {"Content-Type": "application/json"}
# What velmora's code must not make the 2.x server say.
OUR_WARNINGS = re.compile(r"velmora/\S+\.py:\d+: \w*Warning|was never awaited|get_current_user\(\) directly"
                          r"|ServerApp\.token config is deprecated|login_handler is deprecated")

pytestmark = not_in_sanitizer_run


@pytest.fixture(scope="module")
def server2(tmp_path_factory):
    """The venv's python and the environment to run it in."""
    site = os.environ.get(SITE_ENV)
    if not site:
        pytest.skip("%s does not name a jupyter_server 2 tree to run on Debian's Python" % SITE_ENV)
    if not os.access(SYSTEM_PYTHON, os.X_OK):
        pytest.skip("%s is missing (Debian's python3)" % SYSTEM_PYTHON)
    tmp = tmp_path_factory.mktemp("server2")
    python, env = system_venv(tmp, site)
    version = run([python, "-c", "import jupyter_server; print(jupyter_server.__version__)"], tmp, env).strip()
    assert version.startswith("2."), "%s holds jupyter_server %s" % (site, version)
    # The requirement admits 2.x: with no index, pip could not bring another.
    run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", ROOT], tmp, env)
    return python, env, tmp, version


def serve(args, env, cwd):
    proc = subprocess.Popen(args, env=env, cwd=str(cwd), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, universal_newlines=True)
    return proc, ServerLog(proc.stdout)


def first_answer(request):
    # jupyter_server 2 shows its URL before it listens; the wait is a safety net.
    deadline = time.monotonic() + SERVER_LIMIT_SECONDS
    while True:
        try:
            return request()
        except ConnectionRefusedError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def stop(proc, log):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
    try:
        assert proc.wait(timeout=SERVER_LIMIT_SECONDS) == 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    log.rest()
    text = log.text()
    assert "Traceback" not in text and not OUR_WARNINGS.search(text), text


def test_jupyter_server2_serves_velmora(server2):
    python, env, tmp, version = server2
    root = tmp / "root"
    root.mkdir()
    proc, log = serve([python, "-W", "always::DeprecationWarning", "-m", "jupyter_server",
                       "--ServerApp.ip=127.0.0.1", "--ServerApp.port=%d" % free_port(),
                       "--ServerApp.open_browser=False", "--ServerApp.allow_root=True",
                       "--ServerApp.root_dir=" + str(root), "--Velmora.max_body_size=%d" % MAX_BODY_SIZE],
                      env, tmp)
    try:
        banner = log.wait_for(r"http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]{48})")
        log.wait_for(r"velmora 0\.1\.0: API mounted under /api/velmora")
        client = Client(int(banner.group(1)), token=banner.group(2))
        r = first_answer(lambda: client.info(headers={"Cookie": "theme=dark"}))
        assert (r.status, r.json()["jupyter_server_version"], r.json()["cookie"]) == (200, version, "theme=dark")
        assert client.info(auth=None).status == 403
        for auth in ("header", "query"):
            assert client.import_pipeline({"name": "p-" + auth, "nodes": [1]}, auth=auth).status == 201
        # The host scrubs the token from its access lines; velmora's mask leaves that as it is.
        for pipeline, auth, status, line in [
                ({"name": "p-header", "nodes": []}, "query", 409,
                 r"409 POST /api/velmora/pipelines/import\?token=\[secret\] .*: a pipeline of that name exists"),
                (b"not json", "header", 400, r"400 POST /api/velmora/pipelines/import .*: the request body is not valid"),
                ({"name": "big", "nodes": [], "pad": "x" * MAX_BODY_SIZE}, "header", 413,
                 r"413 POST /api/velmora/pipelines/import .*: the request body is larger than %d bytes" % MAX_BODY_SIZE),
                ({"name": "anon", "nodes": []}, None, 403, r"403 POST /api/velmora/pipelines/import .*: \S")]:
            assert client.import_pipeline(pipeline, auth=auth).status == status
            log.wait_for(r"^\[W [^]]*\] " + line)
        assert sorted(os.listdir(str(root))) == ["p-header.pipeline", "p-query.pipeline"]
    finally:
        stop(proc, log)


def test_velmora_server_launches_jupyter_server2_with_velmora_alone(server2):
    python, env, tmp, version = server2
    root = tmp / "standalone"
    root.mkdir()
    token = "standalone-2x-%d" % os.getpid()
    port = free_port()
    proc, log = serve([python, "-W", "always::DeprecationWarning", "-m", "velmora.server", "--port", str(port),
                       "--root-dir", str(root), "--token", token, "--allow-root"], env, tmp)
    try:
        log.wait_for(r"velmora 0\.1\.0: API mounted under /api/velmora")
        client = Client(port, token=token)
        r = first_answer(lambda: client.info())
        assert (r.status, r.json()["jupyter_server_version"]) == (200, version)
        assert client.info(auth=None).status == 403
        assert client.info(token="not-" + token).status == 403
        r = client.import_pipeline({"name": "s", "nodes": []}, auth="query")
        assert (r.status, r.json()["path"]) == (201, "s.pipeline")
        with open(str(root / "s.pipeline"), encoding="utf-8") as f:
            assert json.load(f) == {"name": "s", "nodes": []}
    finally:
        stop(proc, log)
    assert "is running without loading other extensions" in log.text()
