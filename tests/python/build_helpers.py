"""For the tests that build, pack or install the checkout in child processes."""
import os
import subprocess

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Safety net for a hung build or install; not a speed check.
LIMIT_SECONDS = 900

not_in_sanitizer_run = pytest.mark.skipif(
    os.environ.get("VELMORA_SANITIZED") == "1",
    reason="the sanitizer run tests its own staged build, not a build of the checkout",
)

# make test runs one suite per Python version; what does not depend on the
# suite's own interpreter runs in the 3.8 suite only.
once_per_run = pytest.mark.skipif(
    os.environ.get("VELMORA_MAIN_SUITE") == "0",
    reason="make test runs it once, in the 3.8 suite",
)


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
