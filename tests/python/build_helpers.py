"""For the tests that build, pack or install the checkout in child processes."""
import glob
import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Safety net for a hung build or install; not a speed check.
LIMIT_SECONDS = 900

not_in_sanitizer_run = pytest.mark.skipif(
    os.environ.get("VELMORA_SANITIZED") == "1",
    reason="the sanitizer run tests its own staged build, not a build of the checkout",
)

# make test runs one suite per Python version; what does not depend on the
# suite's own interpreter runs in one of them only.
once_per_run = pytest.mark.skipif(
    os.environ.get("VELMORA_MAIN_SUITE") == "0",
    reason="make test runs it once, in the newest CPython's suite",
)


# The real Jupyter processes: in the main suite, and in another where asked
# for (VELMORA_REAL_JUPYTER=1; the noxfile asks for it on 3.14).
real_jupyter_run = pytest.mark.skipif(
    os.environ.get("VELMORA_MAIN_SUITE") == "0" and os.environ.get("VELMORA_REAL_JUPYTER") != "1",
    reason="make test runs it in the newest CPython's suite and on 3.14 (VELMORA_REAL_JUPYTER=1 asks for it here)",
)


def lock_file():
    """The pinned dependencies of this interpreter's test environment."""
    return os.path.join(ROOT, "locks", "py%d.%d.txt" % sys.version_info[:2])


def child_env():
    """This environment without what points a child at the checkout, a venv or
    a Jupyter set-up; children write no bytecode."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV")
           and not k.startswith(("VELMORA_", "JUPYTER"))}
    env["PYTHONDONTWRITEBYTECODE"] = "1"
    return env


def run(args, cwd, env=None):
    """The output of a child that must succeed."""
    proc = subprocess.run([str(a) for a in args], cwd=str(cwd), env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, universal_newlines=True, timeout=LIMIT_SECONDS)
    assert proc.returncode == 0, "%s failed:\n%s" % (" ".join(map(str, args)), proc.stdout)
    return proc.stdout


def fresh_venv(tmp_path, env):
    """A venv of this interpreter made by venv itself, with pip, as a user makes one."""
    venv = tmp_path / "venv"
    run([os.path.realpath(sys.executable), "-m", "venv", str(venv)], tmp_path, env)
    return venv, str(venv / "bin" / "python")


def pip_wheel(python, tmp_path, env):
    """`pip wheel .` of the checkout (build isolation, the backend from PyPI):
    the wheel's path and pip's output."""
    dist = tmp_path / "dist"
    out = run([python, "-m", "pip", "wheel", "-v", "--no-deps", "-w", str(dist), ROOT], tmp_path, env)
    wheel, = glob.glob(str(dist / "*.whl"))
    return wheel, out


def checkout_files():
    """The checkout's top-level names and every file of its package tree, with their times."""
    package = [(os.path.join(d, n), os.stat(os.path.join(d, n)).st_mtime_ns)
               for d, _, names in os.walk(os.path.join(ROOT, "velmora")) if "__pycache__" not in d for n in names]
    return sorted(os.listdir(ROOT)), sorted(package)


def installed_venv(tmp_path):
    """The wheel pip builds of the checkout, and a fresh venv where it is
    installed with the locked dependencies: (wheel, venv, python, tmp_path, env)."""
    uv = shutil.which("uv")
    if uv is None:
        pytest.skip("uv is not on the PATH (make test's runner brings it)")
    env = child_env()
    for name in ("JUPYTER_CONFIG_DIR", "JUPYTER_RUNTIME_DIR", "JUPYTER_DATA_DIR"):
        env[name] = str(tmp_path / name.lower())
    venv, python = fresh_venv(tmp_path, env)
    checkout_before = checkout_files()
    wheel, _ = pip_wheel(python, tmp_path, env)
    # The build leaves nothing behind in the checkout, and builds no module into it.
    assert checkout_files() == checkout_before
    run([uv, "pip", "install", "--python", python, "-r", lock_file(), wheel], tmp_path, env)
    return wheel, venv, python, tmp_path, env
