"""`python -m velmora.server`: options, start-up output, and a clean stop on SIGINT and SIGTERM."""
import json
import os
import re
import queue
import signal
import socket
import subprocess
import sys
import threading

import pytest

import velmora
from http_fixtures import Client
from velmora.server import app

# Safety net against a server that never prints its banner; not a speed check.
STARTUP_LIMIT_SECONDS = 60


def server_env(**extra):
    env = dict(os.environ)
    env.pop("VELMORA_TOKEN", None)
    env.update(PYTHONDONTWRITEBYTECODE="1", **extra)
    return env


# Lowers the file limit inside the child: a preexec_fn would run Python code
# between fork and exec, which can deadlock a threaded parent's allocator.
WITH_FILE_LIMIT = ("import resource, runpy; resource.setrlimit(resource.RLIMIT_NOFILE, (%d, %d)); "
                   "runpy.run_module('velmora.server', run_name='__main__', alter_sys=True)")


def start(args, env, file_limit=None, **popen_kw):
    """Starts the server; returns the process and the banner lines, once all are printed."""
    entry = ["-m", "velmora.server"] if file_limit is None else ["-c", WITH_FILE_LIMIT % (file_limit, file_limit)]
    proc = subprocess.Popen([sys.executable, *entry, *args], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True, **popen_kw)
    banner = queue.Queue()

    def read_banner():
        for line in proc.stdout:
            banner.put(line.rstrip("\n"))
            if line.startswith("Press Ctrl-C"):
                return
        banner.put(None)

    threading.Thread(target=read_banner, daemon=True).start()
    lines = []
    while not lines or not lines[-1].startswith("Press Ctrl-C"):
        try:
            line = banner.get(timeout=STARTUP_LIMIT_SECONDS)
        except queue.Empty:
            proc.kill()
            pytest.fail("no start-up banner: %r\n%s" % (lines, proc.stderr.read()))
        if line is None:
            proc.wait()
            pytest.fail("server exited: %r\n%s" % (lines, proc.stderr.read()))
        lines.append(line)
    return proc, lines


def stop(proc, sig):
    proc.send_signal(sig)
    out, err = proc.communicate(timeout=STARTUP_LIMIT_SECONDS)
    return proc.returncode, out, err


@pytest.mark.parametrize("option,shown,hidden", [
    ("--help", ["--port", "--root-dir", "--token", "--max-body-size", "--version"], ["--handlers"]),
    ("--version", ["velmora " + velmora.__version__], ["usage"]),
])
def test_help_and_version(option, shown, hidden):
    proc = subprocess.run([sys.executable, "-m", "velmora.server", option], env=server_env(),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    assert proc.returncode == 0, proc.stderr
    for text in shown:
        assert text in proc.stdout
    for text in hidden:
        assert text not in proc.stdout


@pytest.mark.parametrize("sig,handlers", [(signal.SIGINT, None), (signal.SIGTERM, "twin")])
def test_serves_and_stops_cleanly(tmp_path, sig, handlers):
    root = os.path.realpath(str(tmp_path))
    args = ["--port", "0", "--root-dir", root, "--token", "cli-token", "--max-body-size", "100"]
    if handlers:
        args += ["--handlers", handlers]
    proc, banner = start(args, server_env())
    try:
        text = "\n".join(banner)
        port = int(re.search(r"Listening on http://127\.0\.0\.1:(\d+)/", text).group(1))
        assert port != 0
        assert "http://127.0.0.1:%d/api/velmora/server-info?token=<your token>" % port in text
        assert ("curl -H 'Authorization: token <your token>' http://127.0.0.1:%d/api/velmora/server-info"
                % port) in text
        if handlers:
            assert "(twin handlers)" in banner[0]

        client = Client(port, token="cli-token")
        r = client.info()
        assert r.status == 200 and r.json()["root_dir"] == root
        assert client.info(auth=None).status == 403
        assert client.import_pipeline({"name": "cli", "nodes": []}).status == 201
        assert client.import_pipeline({"name": "big", "nodes": [], "pad": "x" * 80}).status == 413
        assert os.listdir(root) == ["cli.pipeline"]
    finally:
        code, out, err = stop(proc, sig)
    assert code == 0, err
    assert out.rstrip().endswith("velmora: stopped")
    # Neither the banner nor the access log shows a chosen token, even one sent in the URL.
    assert "cli-token" not in err and "cli-token" not in text + out


@pytest.mark.parametrize("args,env,printed", [
    (["--token", "chosen-on-the-command-line"], {}, False),
    ([], {"VELMORA_TOKEN": "chosen-in-the-environment"}, False),
    ([], {}, True),
], ids=["--token", "VELMORA_TOKEN", "generated"])
def test_only_a_generated_token_is_printed(tmp_path, args, env, printed):
    proc, banner = start(["--port", "0", "--root-dir", str(tmp_path), "--handlers", "twin", *args],
                         server_env(**env))
    try:
        text = "\n".join(banner)
        port = int(re.search(r"Listening on http://127\.0\.0\.1:(\d+)/", text).group(1))
        shown = re.search(r"\?token=([0-9a-f]{48})$", text, re.M)
        token = shown.group(1) if printed else (args[1:] or [env.get("VELMORA_TOKEN")])[0]
        # The printed token is the one the server takes.
        assert Client(port, token=token).info().status == 200
    finally:
        code, out, err = stop(proc, signal.SIGINT)
    assert code == 0
    assert (token in text + out + err) == printed


def test_token_from_environment_and_redacted_from_the_log(tmp_path):
    proc, banner = start(["--port", "0", "--root-dir", str(tmp_path)],
                         server_env(VELMORA_TOKEN="env-token"))
    try:
        port = int(re.search(r"127\.0\.0\.1:(\d+)", banner[1]).group(1))
        assert Client(port, token="env-token").info(auth="query").status == 200
    finally:
        code, out, err = stop(proc, signal.SIGINT)
    assert code == 0
    assert "token=[secret]" in err and "env-token" not in err


def test_port_in_use_is_reported_without_a_traceback(tmp_path):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        port = taken.getsockname()[1]
        proc = subprocess.run(
            [sys.executable, "-m", "velmora.server", "--port", str(port), "--root-dir", str(tmp_path),
             "--handlers", "twin"],
            env=server_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            universal_newlines=True, timeout=STARTUP_LIMIT_SECONDS)
    assert proc.returncode == 1
    assert "cannot listen on 127.0.0.1:%d" % port in proc.stderr
    assert "Traceback" not in proc.stderr


# --- argument checks, in process ----------------------------------------------------

@pytest.mark.parametrize("argv,message", [
    (["--root-dir", "/dev/null"], "/dev/null is not a directory"),
    (["--root-dir", "/dev/null/sub"], "/dev/null/sub does not exist and cannot be created"),
    (["--token", ""], "--token must not be empty"),
    (["--port", "65536"], "0 to 65535"),
    (["--port", "-1"], "0 to 65535"),
    (["--max-body-size", "0"], "at least 1"),
    (["--handlers", "other"], "invalid choice"),
    # The option as typed, not the name of the function that reads it.
    (["--port", "abc"], "argument --port: a port is a number from 0 to 65535, not 'abc'"),
    (["--max-body-size", "1e6"], "argument --max-body-size: expected a whole number of at least 1, not '1e6'"),
    (["--idle-timeout", "soon"], "argument --idle-timeout: expected a positive number of seconds, not 'soon'"),
    (["--body-timeout", "inf"], "argument --body-timeout: expected a positive number of seconds, not 'inf'"),
])
def test_bad_arguments_are_refused(argv, message, capsys):
    with pytest.raises(SystemExit) as e:
        app.parse_args(argv)
    assert e.value.code == 2
    assert message in capsys.readouterr().err


def test_defaults(monkeypatch, tmp_path):
    monkeypatch.delenv("VELMORA_TOKEN", raising=False)
    monkeypatch.chdir(tmp_path)
    args = app.parse_args([])
    assert (args.port, args.max_body_size, args.handlers) == (8888, 1 << 20, "auto")
    assert args.root_dir == os.path.realpath(str(tmp_path))
    assert re.fullmatch(r"[0-9a-f]{48}", args.token)
    assert app.parse_args([]).token != args.token
    monkeypatch.setenv("VELMORA_TOKEN", "")
    assert re.fullmatch(r"[0-9a-f]{48}", app.parse_args([]).token)


@pytest.mark.parametrize("relative", ["new", "new/deeper"])
def test_missing_root_dir_is_created(tmp_path, relative, monkeypatch):
    monkeypatch.delenv("VELMORA_TOKEN", raising=False)
    wanted = tmp_path / relative
    args = app.parse_args(["--root-dir", str(wanted)])
    assert args.root_dir == os.path.realpath(str(wanted)) and wanted.is_dir()


def test_empty_token_never_reaches_the_settings():
    with pytest.raises(ValueError):
        app.server_settings(token="")


def test_banner_quotes_tokens_for_the_shell():
    handler_set = app.HandlerSet("twin", object, object)
    text = app._banner(8888, "it's", handler_set, "/r")
    assert "curl -H 'Authorization: token it'\"'\"'s' " in text
    assert "?token=it%27s" in text
    assert app.TOKEN_PLACEHOLDER not in text
    assert json.loads(re.search(r"-d '(\{.*?\})'", text).group(1)) == {"name": "example", "nodes": []}
