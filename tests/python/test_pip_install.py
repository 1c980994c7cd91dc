"""pip installs the checkout into a fresh venv: both modules built, and the package works away from the checkout.

The install also holds what an installed Jupyter server extension is expected
to bring: the config file that enables it, type stubs, and release-size modules;
uninstalling takes all of it away again.
"""
import json
import os
import sys

import pytest

from build_helpers import ROOT, child_env, not_in_sanitizer_run, run

# The installed modules carry no debug sections; with them each is about 500 KB.
MODULE_SIZE_LIMIT = 150 * 1024
CONFIG = os.path.join("etc", "jupyter", "jupyter_server_config.d", "velmora.json")

pytestmark = not_in_sanitizer_run


def real_python():
    """The interpreter this venv was made from, not the venv's own wrapper."""
    for name in ("python3.8", "python3", "python"):
        path = os.path.join(sys.base_prefix, "bin", name)
        if os.access(path, os.X_OK):
            return path
    pytest.skip("no interpreter under %s" % sys.base_prefix)


def test_pip_install_builds_both_modules_and_runs_outside_the_checkout(tmp_path):
    env = child_env()
    venv = tmp_path / "venv"
    run([real_python(), "-m", "venv", str(venv)], tmp_path, env)
    python = str(venv / "bin" / "python")
    site = run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['purelib'])"],
               tmp_path, env).strip()
    # tornado and jupyter_server come from the system, as in the development venv.
    if os.path.isdir("/usr/lib/python3/dist-packages"):
        with open(os.path.join(site, "system-packages.pth"), "w") as f:
            f.write("/usr/lib/python3/dist-packages\n")

    checkout_before = sorted(os.listdir(ROOT))
    run([python, "-m", "pip", "install", "--no-build-isolation", "--no-index", ROOT], tmp_path, env)
    # The install leaves nothing behind in the checkout (its build/ belongs to make).
    new = set(os.listdir(ROOT)) - set(checkout_before)
    assert not [n for n in new if n.endswith(".egg-info") or n == "build"], new

    out = run([python, "-c", "\n".join([
        "import velmora",
        "import velmora.server.handlers.info.hostfacts as h",
        "import velmora.server.handlers.pipeline_import.groundwork as g",
        "print(velmora.__file__); print(h.__file__); print(g.__file__)",
        "print(h.ServerAppInfoHandler._get_info.__qualname__)",
    ])], tmp_path, env).splitlines()
    package, hostfacts, groundwork, qualname = out
    for path in (package, hostfacts, groundwork):
        assert path.startswith(site + os.sep), path
    assert hostfacts.endswith(".so") and groundwork.endswith(".so")
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
