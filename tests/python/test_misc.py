"""JupyterServerAppInfo and the registry of running servers."""
import datetime
import json
import os
import platform

import pytest
import tornado

import jupyter_server
import velmora
from velmora.server import misc
from velmora.server.misc import JupyterServerAppInfo

SERVER_KEYS = ("base_url", "root_dir", "pid", "started")


@pytest.fixture(autouse=True)
def empty_registry(monkeypatch):
    monkeypatch.setattr(misc, "_registry", [])


def test_facts_without_a_server():
    facts = JupyterServerAppInfo().dict()
    assert facts["velmora_version"] == velmora.__version__
    assert facts["jupyter_server_version"] == jupyter_server.__version__
    assert facts["tornado_version"] == tornado.version
    assert facts["python_version"] == platform.python_version()
    assert facts["platform"] == platform.platform()
    # The server keys are always there, so that clients see one shape.
    assert {k: facts[k] for k in SERVER_KEYS} == dict.fromkeys(SERVER_KEYS)


def test_dict_is_a_new_exact_json_ready_dict_each_time():
    info = JupyterServerAppInfo()
    first, second = info.dict(), info.dict()
    assert type(first) is dict and type(second) is dict
    assert first is not second
    first["cookie"] = "x"
    first["velmora_version"] = "changed"
    assert "cookie" not in second and "cookie" not in info.dict()
    assert JupyterServerAppInfo().dict()["velmora_version"] == velmora.__version__
    assert json.loads(json.dumps(second)) == second


def test_registered_server_is_reported(tmp_path):
    started = datetime.datetime(2024, 5, 6, 7, 8, 9, tzinfo=datetime.timezone.utc)
    misc.register_server(base_url="/base/", root_dir=tmp_path, started=started)
    facts = JupyterServerAppInfo().dict()
    assert facts["base_url"] == "/base/"
    assert facts["root_dir"] == str(tmp_path)
    assert facts["pid"] == os.getpid()
    assert facts["started"] == "2024-05-06T07:08:09+00:00"
    assert json.loads(json.dumps(facts)) == facts


def test_naive_start_time_is_taken_as_utc():
    misc.register_server(base_url="/", root_dir="/r", started=datetime.datetime(2024, 1, 2, 3, 4, 5))
    assert JupyterServerAppInfo().dict()["started"] == "2024-01-02T03:04:05+00:00"


def test_default_start_time_is_now():
    before = datetime.datetime.now(datetime.timezone.utc)
    misc.register_server(base_url="/", root_dir="/r")
    started = datetime.datetime.fromisoformat(JupyterServerAppInfo().dict()["started"])
    assert before <= started <= datetime.datetime.now(datetime.timezone.utc)


def test_latest_running_server_wins_and_stopping_one_keeps_the_other():
    a = misc.register_server(base_url="/a/", root_dir="/ra")
    b = misc.register_server(base_url="/b/", root_dir="/rb")
    assert misc.current_server() is b
    misc.unregister_server(a)
    assert misc.current_server() is b
    c = misc.register_server(base_url="/c/", root_dir="/rc")
    misc.unregister_server(c)
    assert JupyterServerAppInfo().dict()["base_url"] == "/b/"
    misc.unregister_server(b)
    misc.unregister_server(b)  # a second stop is harmless
    assert misc.current_server() is None
    assert JupyterServerAppInfo().dict()["base_url"] is None


def test_info_is_a_snapshot_taken_when_made():
    before = JupyterServerAppInfo()
    record = misc.register_server(base_url="/x/", root_dir="/rx")
    during = JupyterServerAppInfo()
    misc.unregister_server(record)
    assert before.dict()["base_url"] is None
    assert during.dict()["base_url"] == "/x/"


def test_misc_imports_no_compiled_module(fresh_python):
    proc = fresh_python("""
        import sys
        import velmora.server.misc
        print(sorted(m for m in sys.modules if m.startswith("velmora")))
        print(velmora.server.misc.JupyterServerAppInfo().dict()["velmora_version"])
    """)
    modules, version = proc.stdout.splitlines()
    assert modules == "['velmora', 'velmora.server', 'velmora.server.misc']"
    assert version == velmora.__version__
