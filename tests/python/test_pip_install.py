"""pip installs the checkout into a fresh venv of each Python version: both
modules built, and the package works away from the checkout; without a C++
compiler it installs the interpreted handlers and says why.

The install also holds what an installed Jupyter server extension is expected
to bring: the config file that enables it, type stubs, and release-size modules;
uninstalling takes all of it away again.
"""
import json
import os
import subprocess
import sys

import pytest

from build_helpers import ROOT, child_env, not_in_sanitizer_run, once_per_run, run

# The installed modules carry no debug sections; with them each is about 500 KB.
MODULE_SIZE_LIMIT = 150 * 1024
CONFIG = os.path.join("etc", "jupyter", "jupyter_server_config.d", "velmora.json")

pytestmark = not_in_sanitizer_run


VERSIONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]
THIS_VERSION = "%d.%d" % sys.version_info[:2]
NOT_BUILT = "velmora: the compiled handler modules are not built ("


def interpreter(version):
    """The real interpreter of `version` (never a venv's wrapper), or a skip."""
    # make test runs each version's install in that version's own suite.
    chosen = os.environ.get("VELMORA_PIP_VERSIONS")
    if chosen is not None and version not in chosen.split():
        pytest.skip("make test installs %s in its own suite" % version)
    proc = subprocess.run([os.path.join(ROOT, "tools", "find_python.sh"), version], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)
    if proc.returncode != 0:
        pytest.skip((proc.stderr.strip().splitlines() or ["no Python %s" % version])[0])
    return proc.stdout.strip()


def fresh_venv(python, tmp_path, env):
    """A venv that sees Debian's packages (tornado, jupyter_server, setuptools
    where the interpreter has none) as the development venvs do; its python
    and its site-packages folder."""
    venv = tmp_path / "venv"
    run([python, "-m", "venv", str(venv)], tmp_path, env)
    python = str(venv / "bin" / "python")
    site = run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
               tmp_path, env).strip()
    if os.path.isdir("/usr/lib/python3/dist-packages"):
        with open(os.path.join(site, "system-packages.pth"), "w") as f:
            f.write("/usr/lib/python3/dist-packages\n")
    return venv, python, site


@pytest.mark.parametrize("version", VERSIONS)
def test_pip_install_builds_both_modules_and_runs_outside_the_checkout(version, tmp_path):
    env = child_env()
    venv, python, site = fresh_venv(interpreter(version), tmp_path, env)

    checkout_before = sorted(os.listdir(ROOT))
    out = run([python, "-m", "pip", "install", "-v", "--no-build-isolation", "--no-index", ROOT], tmp_path, env)
    assert NOT_BUILT not in out
    # The install leaves nothing behind in the checkout (its build/ belongs to make).
    new = set(os.listdir(ROOT)) - set(checkout_before)
    assert not [n for n in new if n.endswith(".egg-info") or n == "build"], new

    out = run([python, "-c", "\n".join([
        "import velmora",
        "import velmora.server.handlers.info.hostfacts as h",
        "import velmora.server.handlers.pipeline_import.groundwork as g",
        "import sysconfig",
        "print(velmora.__file__); print(h.__file__); print(g.__file__)",
        "print(h.ServerAppInfoHandler._get_info.__qualname__); print(sysconfig.get_config_var('EXT_SUFFIX'))",
    ])], tmp_path, env).splitlines()
    package, hostfacts, groundwork, qualname, suffix = out
    for path in (package, hostfacts, groundwork):
        assert path.startswith(site + os.sep), path
    # Built for this interpreter, not another version's module found on the way.
    assert hostfacts.endswith(suffix) and groundwork.endswith(suffix)
    assert qualname == "ServerAppInfoHandler._get_info"

    for command in ([python, "-m", "velmora.server", "--help"],
                    [str(venv / "bin" / "velmora-server"), "--help"]):
        assert "--root-dir" in run(command, tmp_path, env)

    for module in (hostfacts, groundwork):
        with open(module, "rb") as f:
            image = f.read()
        assert len(image) < MODULE_SIZE_LIMIT, (module, len(image))
        # Section names live in the file's section-name table.
        assert b".debug_" not in image, module
        folder, name = os.path.split(module)
        stub = os.path.join(folder, name.split(".", 1)[0] + ".pyi")
        assert os.path.isfile(stub), stub
    assert os.path.isfile(os.path.join(os.path.dirname(package), "py.typed"))
    config = venv / CONFIG
    with open(str(config), encoding="utf-8") as f:
        assert json.load(f) == {"ServerApp": {"jpserver_extensions": {"velmora": True}}}

    run([python, "-m", "pip", "uninstall", "-y", "velmora"], tmp_path, env)
    assert not config.exists()
    assert not os.path.exists(os.path.dirname(package))


@once_per_run
def test_without_a_compiler_pip_installs_the_interpreted_handlers_and_says_why(tmp_path):
    env = child_env()
    env["CXX"] = str(tmp_path / "no-such-c++")
    venv, python, site = fresh_venv(interpreter(THIS_VERSION), tmp_path, env)
    out = run([python, "-m", "pip", "install", "-v", "--no-build-isolation", "--no-index", ROOT], tmp_path, env)
    reasons = [line for line in out.splitlines() if NOT_BUILT in line]
    assert len(reasons) == 1, out
    assert "the C++ compiler CXX=%s is not found" % env["CXX"] in reasons[0]

    out = run([python, "-c", "\n".join([
        "from velmora.server import handler_sets",
        "print(handler_sets.compiled_available()); print(handler_sets.load().kind)",
    ])], tmp_path, env).split()
    assert out == ["False", "twin"]
    installed = [name for _, _, files in os.walk(os.path.join(site, "velmora")) for name in files]
    assert not [n for n in installed if n.endswith((".so", ".pyi"))], installed
    assert "py.typed" in installed
    assert (venv / CONFIG).is_file()
