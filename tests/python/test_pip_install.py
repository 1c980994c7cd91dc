"""pip builds the checkout as a user's pip does (build isolation, the build
backend from PyPI): a wheel of this interpreter with both modules, their stubs
and the config that enables the extension; installed into a fresh venv it
works away from the checkout, Jupyter lists it, and uninstalling takes it all
away. Without a C++ compiler the wheel has the interpreted handlers only, and
the build says why.
"""
import json
import re
import sys
import sysconfig
import zipfile

import pytest

import velmora
from velmora.server import handler_sets

from build_helpers import child_env, fresh_venv, not_in_sanitizer_run, once_per_run, pip_wheel, run

# The installed modules carry no debug sections; with them each is about 500 KB.
MODULE_SIZE_LIMIT = 150 * 1024
CONFIG = "etc/jupyter/jupyter_server_config.d/velmora.json"
MODULES = ["velmora/server/handlers/info/hostfacts", "velmora/server/handlers/pipeline_import/groundwork"]
NOT_BUILT = "velmora: the compiled handler modules are not built"
# Whether the build makes compiled modules for this interpreter at all.
COMPILED_HERE = (handler_sets.COMPILED_VERSIONS[0] <= sys.version_info[:2] <= handler_sets.COMPILED_VERSIONS[1])

pytestmark = not_in_sanitizer_run


def test_the_wheel_holds_this_interpreters_modules_their_stubs_and_the_config(installed_venv):
    wheel, *_ = installed_venv
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    with zipfile.ZipFile(wheel) as archive:
        names = set(archive.namelist())
        for module in MODULES if COMPILED_HERE else []:
            assert module + suffix in names
            assert module + ".pyi" in names
            image = archive.read(module + suffix)
            assert len(image) < MODULE_SIZE_LIMIT, (module, len(image))
            # Section names live in the file's section-name table.
            assert b".debug_" not in image, module
        config, = [n for n in names if n.endswith(".data/data/" + CONFIG)]
        assert json.loads(archive.read(config)) == {"ServerApp": {"jpserver_extensions": {"velmora": True}}}
    # Nothing of another interpreter's development build, and stubs only with their modules.
    assert not [n for n in names if n.endswith(".so") and not n.endswith(suffix)], names
    if not COMPILED_HERE:
        assert not [n for n in names if n.endswith((".so", ".pyi"))], names


def test_installed_it_serves_compiled_away_from_the_checkout_and_jupyter_lists_it(installed_venv):
    wheel, venv, python, tmp_path, env = installed_venv
    out = run([python, "-c", "\n".join([
        "import velmora, sysconfig",
        "from velmora.server import handler_sets",
        "print(velmora.__file__.startswith(sysconfig.get_paths()['purelib']) or"
        " velmora.__file__.startswith(sysconfig.get_paths()['platlib']))",
        "print(handler_sets.load().kind)",
    ])], tmp_path, env).split()
    assert out == ["True", "compiled" if COMPILED_HERE else "twin"]
    listing = run([str(venv / "bin" / "jupyter"), "server", "extension", "list"], tmp_path, env)
    # "velmora enabled", then its validation: "velmora 0.2.0 OK" (colours aside).
    assert re.search(r"^\s*velmora\W.*enabled", listing, re.M), listing
    assert re.search(r"^\s*velmora %s\W.*OK" % re.escape(velmora.__version__), listing, re.M), listing
    for command in ([python, "-m", "velmora.server", "--help"], [str(venv / "bin" / "velmora-server"), "--help"]):
        assert "--root-dir" in run(command, tmp_path, env)

    run([python, "-m", "pip", "uninstall", "-y", "velmora"], tmp_path, env)
    try:
        assert not (venv / CONFIG).exists()
        assert run([python, "-c", "import importlib.util; print(importlib.util.find_spec('velmora'))"],
                   tmp_path, env).strip() == "None"
    finally:
        # The venv serves the other tests of the session (the real Jupyter server's among them).
        run([python, "-m", "pip", "install", "--no-deps", "--no-index", wheel], tmp_path, env)


@once_per_run
def test_without_a_compiler_the_wheel_has_the_interpreted_handlers_and_says_why(tmp_path):
    env = child_env()
    env["CXX"] = str(tmp_path / "no-such-c++")
    _, python = fresh_venv(tmp_path, env)
    wheel, out = pip_wheel(python, tmp_path, env)
    assert wheel.endswith("-py3-none-any.whl"), wheel
    assert len([line for line in out.splitlines() if NOT_BUILT in line]) == 1, out
    assert env["CXX"] in out
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    assert not [n for n in names if n.endswith((".so", ".pyi"))], names
    assert "velmora/py.typed" in names
    assert [n for n in names if n.endswith(CONFIG)]
