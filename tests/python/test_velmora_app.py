"""velmora-server (`python -m velmora.server`, `jupyter velmora`): a Jupyter server with velmora
alone, run as a user runs it, in a process of its own."""
import json
import os
import signal
import socket
import subprocess
import sys
import textwrap

import pytest

import velmora
from build_helpers import not_in_sanitizer_run
from http_client import Client
from test_jupyter_server import SERVER_LIMIT_SECONDS, ServerLog, first_answer, free_port

pytestmark = not_in_sanitizer_run
TOKEN = "T"  # short on purpose: the log mask must not take every capital T for it


def child_env():
    return dict(os.environ)


def velmora_server(*args, **kw):
    return subprocess.run([sys.executable, "-m", "velmora.server", *args], env=child_env(), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=SERVER_LIMIT_SECONDS, **kw)


def help_section(text, title):
    start = text.index(title)
    end = text.find("\n\n\n", start)
    return text[start:end if end >= 0 else None]


def test_help_all_lists_velmoras_options_under_velmora_and_every_jupyter_option():
    out = velmora_server("--help-all").stdout
    velmora_options = help_section(out, "Velmora(ExtensionApp) options")
    for option in ("--Velmora.max_body_size=<Int>", "--Velmora.idle_timeout=<Float>",
                   "--Velmora.body_timeout=<Float>"):
        assert option in velmora_options, velmora_options
    for option in ("--port=", "--root-dir=", "--token=", "--max-body-size=", "--ServerApp.max_body_size=",
                   "--ServerApp.base_url="):
        assert option in out


@pytest.mark.parametrize("value, message", [
    ("-5", "velmora-server: --port: a port is a number from 0 to 65535, not -5"),
    ("70000", "velmora-server: --port: a port is a number from 0 to 65535, not 70000"),
    ("abc", "The 'port' trait of a ServerApp instance expected an int, not the str 'abc'"),
])
def test_a_bad_port_is_refused_by_name_without_a_traceback(tmp_path, value, message):
    proc = velmora_server("--port", value, "--allow-root", "--root-dir", str(tmp_path))
    assert proc.returncode != 0 and message in proc.stdout and "Traceback" not in proc.stdout, proc.stdout


@pytest.mark.parametrize("launcher", ["module", "jupyter"])
def test_version(tmp_path, launcher):
    if launcher == "module":
        out = velmora_server("--version").stdout
    else:
        # What the console script jupyter-velmora is; `jupyter velmora` finds it on the PATH.
        jupyter = os.path.join(os.path.dirname(sys.executable), "jupyter")
        if not os.access(jupyter, os.X_OK):
            pytest.skip("no jupyter command beside %s" % sys.executable)
        script = tmp_path / "jupyter-velmora"
        script.write_text("#!%s\nfrom velmora.server.app import main\nmain()\n" % sys.executable)
        script.chmod(0o755)
        env = dict(child_env(), PATH=str(tmp_path) + os.pathsep + os.environ.get("PATH", ""))
        out = subprocess.run([jupyter, "velmora", "--version"], env=env, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, universal_newlines=True, timeout=SERVER_LIMIT_SECONDS).stdout
    assert out.strip() == "velmora %s" % velmora.__version__


def test_serves_velmora_alone_with_its_options_and_stops_on_sigterm(tmp_path):
    root = tmp_path / "root"
    root.mkdir()
    port = free_port()
    proc = subprocess.Popen(
        [sys.executable, "-m", "velmora.server", "--port", str(port), "--root-dir", str(root), "--token", TOKEN,
         "--allow-root", "--max-body-size", "64", "--Velmora.idle_timeout=1.5"],
        env=child_env(), cwd=str(tmp_path), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, universal_newlines=True)
    log = ServerLog(proc.stdout)
    try:
        log.wait_for(r"velmora %s: API mounted under /api/velmora \((compiled|interpreted) handlers"
                     % velmora.__version__.replace(".", r"\."))
        log.wait_for(r"velmora is running without loading other extensions")
        log.wait_for(r"http://127\.0\.0\.1:%d/" % port)
        client = Client(port, TOKEN)
        r = first_answer(client.info)
        assert (r.status, r.json()["root_dir"], r.json()["pid"]) == (200, str(root), proc.pid)
        assert client.import_pipeline({"name": "p", "nodes": []}, auth="query").status == 201
        assert client.import_pipeline({"name": "q", "nodes": [], "pad": "x" * 64}).status == 413
        assert client.info(auth=None).status == 403
        log.wait_for(r"403 GET /api/velmora/server-info .*: the request carries no token")
        # An idle connection is closed after Velmora.idle_timeout (tornado's default is an hour).
        with socket.create_connection(("127.0.0.1", port), timeout=SERVER_LIMIT_SECONDS) as idle:
            assert idle.recv(1) == b""
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
        try:
            code = proc.wait(timeout=SERVER_LIMIT_SECONDS)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    log.rest()
    text = log.text()
    assert code == 0, text
    assert "velmora: stopped serving %s" % root in text
    # No other extension, whatever this environment enables for its Jupyter servers.
    loaded = [line.partition("] ")[2] for line in text.splitlines() if "extension was successfully loaded" in line]
    assert loaded == ["velmora | extension was successfully loaded."], text
    assert "GE[secret]" not in text and "Traceback" not in text, text
    assert sorted(os.listdir(str(root))) == ["p.pipeline"]
    with open(str(root / "p.pipeline")) as f:
        assert json.load(f) == {"name": "p", "nodes": []}


def test_timeouts_reach_the_http_server_only_when_velmora_starts_it(fresh_python, tmp_path):
    proc = fresh_python(textwrap.dedent("""
        import asyncio, sys
        from tornado.httpserver import HTTPServer
        from velmora.server.app import Velmora
        serverapp = Velmora.initialize_server(argv=["--allow-root", "--port=%d", "--root-dir=%s",
                                                    "--Velmora.idle_timeout=7", "--Velmora.body_timeout=9"])
        params = serverapp.http_server.conn_params
        print(params.header_timeout, params.body_timeout)
        app = serverapp.extension_manager.extension_points["velmora"].app
        asyncio.new_event_loop().run_until_complete(app.stop_extension())
        print(HTTPServer(lambda request: None).conn_params.header_timeout)
    """ % (free_port(), tmp_path)))
    assert proc.stdout.split() == ["7.0", "9.0", "3600"], proc.stdout + proc.stderr
