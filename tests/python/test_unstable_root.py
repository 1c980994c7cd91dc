"""tools/unstable_root.sh run: what the command sees inside the root, and what
the caller gets back (its exit status, and no mount left behind)."""
import os
import subprocess

import pytest

from build_helpers import ROOT

SCRIPT = os.path.join(ROOT, "tools", "unstable_root.sh")


def _root():
    if os.geteuid() != 0:
        pytest.skip("the unstable root needs root (chroot, mount namespaces)")
    path = subprocess.run([SCRIPT, "path"], stdout=subprocess.PIPE, universal_newlines=True,
                          check=True).stdout.strip()
    if not os.path.isfile(os.path.join(path, ".velmora-complete")):
        pytest.skip("no finished unstable root at %s (tools/unstable_root.sh ensure)" % path)
    return path


def _mounts_under(path):
    with open("/proc/self/mountinfo") as f:
        return [line.split()[4] for line in f if line.split()[4].startswith(path)]


def _run(cwd, *command, env=None):
    return subprocess.run([SCRIPT, "run", "--", *command], cwd=cwd, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True)


@pytest.mark.parametrize("command, status", [
    (["true"], 0),
    (["sh", "-c", "exit 3"], 3),
    (["sh", "-c", "kill -TERM $$"], -15),
    (["no-such-command"], 127),
], ids=["zero", "three", "signal", "missing"])
def test_status_is_the_commands_and_no_mount_stays(command, status):
    root = _root()
    assert _run(ROOT, *command).returncode == status
    assert _mounts_under(root) == []


@pytest.mark.parametrize("cwd, expected", [
    (os.path.join(ROOT, "tests"), os.path.join(ROOT, "tests")),
    ("/", ROOT),
], ids=["inside-the-checkout", "outside"])
def test_working_directory(cwd, expected):
    _root()
    proc = _run(cwd, "pwd")
    assert (proc.returncode, proc.stdout) == (0, os.path.realpath(expected) + "\n"), proc.stderr


def test_environment_is_clean_but_keeps_the_passed_variables():
    _root()
    env = dict(os.environ, VELMORA_PROBE="kept", PIP_PROBE="kept", OTHER_PROBE="dropped")
    proc = _run(ROOT, "sh", "-c", 'echo "$VELMORA_PROBE $PIP_PROBE ${OTHER_PROBE:-none} $PATH"', env=env)
    assert proc.stdout.split() == ["kept", "kept", "none",
                                   "/opt/velmora-tools/bin:/usr/sbin:/usr/bin:/sbin:/bin"], proc.stderr


def test_devices_and_proc_work_inside():
    _root()
    proc = _run(ROOT, "sh", "-c", "head -c 4 /dev/urandom | wc -c; echo x > /dev/null; "
                "test -d /dev/shm && test -r /proc/self/status && echo ok")
    assert proc.stdout.split() == ["4", "ok"], proc.stderr


def test_tools_venv_runs_from_the_path():
    _root()
    proc = _run(ROOT, "nox", "--version")
    assert proc.returncode == 0, proc.stderr
