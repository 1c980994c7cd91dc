"""Tracebacks through the compiled handlers show the statements of their .py
files, read through sys.path wherever the process runs (here: elsewhere than
the checkout, so that no path resolves against the working directory)."""
import json
import os

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


@pytest.fixture(scope="module")
def entries(tmp_path_factory):
    elsewhere = str(tmp_path_factory.mktemp("elsewhere"))
    cwd = os.getcwd()
    os.chdir(elsewhere)
    try:
        proc = run_python(CHILD, env={"PYTHONPATH": os.pathsep.join([ROOT, TESTMOD_DIR])})
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
