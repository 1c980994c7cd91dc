"""Tracebacks through the compiled handlers show the statements of their .py
files, read through sys.path wherever the process runs (here: elsewhere than
the checkout, so that no path resolves against the working directory)."""
import json
import os
import shutil

import pytest

from conftest import ROOT, TESTMOD_DIR, run_python
from velmora.server import handler_sets

if not handler_sets.compiled_available():
    pytest.skip("the compiled handler modules are not built", allow_module_level=True)

INFO_PY = "velmora/server/handlers/info/hostfacts.py"
GROUNDWORK_PY = "velmora/server/handlers/pipeline_import/groundwork.py"

CHILD = """
    import json, sys, traceback
    from types import SimpleNamespace
    from velmora.server import handler_sets

    served = handler_sets.compiled()
    hostfacts = sys.modules[handler_sets.COMPILED_INFO]
    groundwork = sys.modules[handler_sets.COMPILED_GROUNDWORK]
    assert served.info is hostfacts.ServerAppInfoHandler

    class Handler:
        cookies = {}
        def set_header(self, name, value): pass
        def set_status(self, status_code): pass
        finish = None

    def interrupted():
        raise KeyboardInterrupt

    def without_status():
        saved = hostfacts.HTTPStatus
        del hostfacts.HTTPStatus
        try:
            hostfacts.ServerAppInfoHandler._get_info(Handler())
        finally:
            hostfacts.HTTPStatus = saved

    def facts_interrupted():
        saved = hostfacts.JupyterServerAppInfo
        hostfacts.JupyterServerAppInfo = interrupted
        try:
            hostfacts.ServerAppInfoHandler._get_info(Handler())
        finally:
            hostfacts.JupyterServerAppInfo = saved

    cases = {
        "wrong call": lambda: hostfacts.ServerAppInfoHandler._get_info(),
        "no HTTPStatus": without_status,
        "facts interrupted": facts_interrupted,
        "finish wrong call": lambda: groundwork.BasePipelineImportHandler._finish_with_result(1),
        "finish fails": lambda: groundwork.BasePipelineImportHandler._finish_with_result(Handler(), 200, {}),
        "status fails": lambda: groundwork.BasePipelineImportHandler._finish_with_result(Handler(), "x", {}),
    }
    out = {}
    for name, call in cases.items():
        try:
            call()
        except BaseException as e:
            out[name] = [[f.filename, f.lineno, f.line] for f in traceback.extract_tb(e.__traceback__)
                         if f.filename.startswith("velmora/")]
            out[name + " (printed)"] = "".join(traceback.format_exception(type(e), e, e.__traceback__))
    print(json.dumps(out))
"""


def statement(path, line):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return f.read().splitlines()[line - 1].strip()


# Where the package under test lives: the checkout, or the sanitizer run's staged tree.
PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(handler_sets.__file__))))


@pytest.fixture(scope="module")
def entries(tmp_path_factory):
    elsewhere = str(tmp_path_factory.mktemp("elsewhere"))
    cwd = os.getcwd()
    os.chdir(elsewhere)
    try:
        proc = run_python(CHILD, env={"PYTHONPATH": os.pathsep.join([PACKAGE_ROOT, TESTMOD_DIR])})
    finally:
        os.chdir(cwd)
    return json.loads(proc.stdout.splitlines()[-1])


@pytest.mark.parametrize("case, path, line", [
    ("wrong call", INFO_PY, 26),
    ("no HTTPStatus", INFO_PY, 27),
    ("facts interrupted", INFO_PY, 30),
    ("finish wrong call", GROUNDWORK_PY, 26),
    ("finish fails", GROUNDWORK_PY, 30),
    ("status fails", GROUNDWORK_PY, 29),
])
def test_each_entry_shows_its_statement(entries, case, path, line):
    text = statement(path, line)
    assert text  # the line holds a statement, not a blank or a comment
    assert entries[case] == [[path, line, text]]
    assert '  File "%s", line %d, in ' % (path, line) in entries[case + " (printed)"]
    assert "\n    %s\n" % text in entries[case + " (printed)"]


# A plain import, as a user's script or a debugger makes it: the modules
# themselves answer their source, nothing else of the package has run.
PLAIN_CHILD = """
    import json, sys, traceback
    import velmora.server.handlers.info.hostfacts as hostfacts
    import velmora.server.handlers.pipeline_import.groundwork as groundwork
    assert "velmora.server.handler_sets" not in sys.modules

    def entries(call):
        try:
            call()
        except BaseException as e:
            return [[f.filename, f.lineno, f.line] for f in traceback.extract_tb(e.__traceback__)
                    if f.filename.startswith("velmora/")]
        raise AssertionError("no failure")

    def no_status():
        saved = hostfacts.HTTPStatus
        del hostfacts.HTTPStatus
        try:
            hostfacts.ServerAppInfoHandler._get_info(object())
        finally:
            hostfacts.HTTPStatus = saved

    def other_name():
        try:
            hostfacts.__loader__.get_source("velmora.server.misc")
        except ImportError as e:
            return str(e)

    print(json.dumps({
        "loaders": [type(m.__loader__).__name__ for m in (hostfacts, groundwork)],
        "wrong call": entries(lambda: hostfacts.ServerAppInfoHandler._get_info()),
        "no HTTPStatus": entries(no_status),
        "finish wrong call": entries(lambda: groundwork.BasePipelineImportHandler._finish_with_result(1)),
        "finish fails": entries(lambda: groundwork.BasePipelineImportHandler._finish_with_result(
            object(), 200, {})),
        "groundwork source": groundwork.__loader__.get_source(groundwork.__name__),
        "other name": other_name(),
    }))
"""


def run_elsewhere(tmp_path_factory, code, path):
    elsewhere = str(tmp_path_factory.mktemp("elsewhere"))
    cwd = os.getcwd()
    os.chdir(elsewhere)
    try:
        proc = run_python(code, env={"PYTHONPATH": os.pathsep.join(path)})
    finally:
        os.chdir(cwd)
    return json.loads(proc.stdout.splitlines()[-1])


def test_plain_import_shows_each_statement(tmp_path_factory):
    got = run_elsewhere(tmp_path_factory, PLAIN_CHILD, [PACKAGE_ROOT, TESTMOD_DIR])
    assert got["loaders"] == ["ExtensionFileLoader"] * 2
    for case, path, line in [("wrong call", INFO_PY, 26), ("no HTTPStatus", INFO_PY, 27),
                             ("finish wrong call", GROUNDWORK_PY, 26),
                             ("finish fails", GROUNDWORK_PY, 27)]:
        text = statement(path, line)
        assert text and got[case] == [[path, line, text]], case
    with open(os.path.join(PACKAGE_ROOT, GROUNDWORK_PY), encoding="utf-8") as f:
        assert got["groundwork source"] == f.read()
    assert got["other name"] == ("loader for velmora.server.handlers.info.hostfacts "
                                 "cannot handle velmora.server.misc")


def test_lines_come_only_from_the_source_beside_the_module(tmp_path_factory):
    # A copy of the package whose hostfacts.py says something else at line 27
    # and which has no groundwork.py, ahead of the checkout on sys.path: the
    # lines are the copy's, and none is taken from another file of that name.
    copy = str(tmp_path_factory.mktemp("copy"))
    shutil.copytree(os.path.join(PACKAGE_ROOT, "velmora"), os.path.join(copy, "velmora"),
                    ignore=shutil.ignore_patterns("__pycache__"))
    info = os.path.join(copy, INFO_PY)
    with open(info, encoding="utf-8") as f:
        lines = f.read().splitlines(True)
    lines[26] = lines[26].rstrip("\n") + "  # the copy's line\n"
    with open(info, "w", encoding="utf-8") as f:
        f.writelines(lines)
    os.remove(os.path.join(copy, GROUNDWORK_PY))
    got = run_elsewhere(tmp_path_factory, PLAIN_CHILD, [copy, PACKAGE_ROOT, TESTMOD_DIR])
    assert got["no HTTPStatus"] == [[INFO_PY, 27, lines[26].strip()]]
    assert got["finish wrong call"] == [[GROUNDWORK_PY, 26, ""]]
    assert got["groundwork source"] is None
