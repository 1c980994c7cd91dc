"""make test's run over Python versions: which interpreter each version gets,
why one is skipped, what each version runs, and the line it prints."""
import os
import subprocess
import sys

import pytest

from build_helpers import ROOT, not_in_sanitizer_run

sys.path.insert(0, os.path.join(ROOT, "tools"))
import version_runs  # noqa: E402

# The interpreters it finds would run under the sanitizer's preloaded library.
pytestmark = not_in_sanitizer_run

# A version other than the running one, to point at the running interpreter.
OTHER = "3.12" if sys.version_info[:2] == (3, 11) else "3.11"


@pytest.mark.parametrize("version, checked, targets", [
    ("3.8", {"3.8"}, ["lint", "test-version", "test-asan", "test-valgrind"]),
    ("3.8", set(), ["lint", "test-version"]),
    ("3.13", {"3.8", "3.13"}, ["test-version", "test-asan"]),
    ("3.11", {"3.8", "3.13"}, ["test-version"]),
])
def test_each_version_runs_its_suite_and_only_3_8_lints(version, checked, targets):
    assert version_runs.make_targets(version, checked) == targets


@pytest.mark.parametrize("log, expected", [
    ("[==========] 40 tests ran.\n[  PASSED  ] 40 tests.\n....\n1520 passed, 6 skipped in 150.2s\n",
     "C++ 40 tests passed; 1520 passed, 6 skipped in 150.2s"),
    # pytest's coloured and framed form, and a failing run.
    ("==== 3 failed, 1517 passed in 99.01s (0:01:39) ====\n",
     "3 failed, 1517 passed in 99.01s (0:01:39)"),
    ("ninja: build stopped: subcommand failed.\n", "no test summary in the log"),
])
def test_the_summary_line_takes_each_steps_result_from_the_log(tmp_path, log, expected):
    path = tmp_path / "make-test.log"
    path.write_text(log)
    assert version_runs.summary(str(path)) == expected


@pytest.mark.parametrize("version, override, reason", [
    ("3.99", None, "no CPython 3.99 interpreter found"),
    ("3.8", "/bin/true", "PYTHON=/bin/true does not run as CPython 3.8"),
    (OTHER, sys.executable, "PYTHON_3_%s=%s does not run as CPython %s" % (OTHER[2:], sys.executable, OTHER)),
])
def test_a_missing_interpreter_gives_a_one_line_reason(monkeypatch, version, override, reason):
    name = "PYTHON" if version == "3.8" else "PYTHON_3_" + version[2:]
    if override:
        monkeypatch.setenv(name, override)
    assert version_runs.find_interpreter(version) == (None, reason)


def test_the_interpreter_found_is_the_real_one_of_that_version():
    version = "%d.%d" % sys.version_info[:2]
    path, reason = version_runs.find_interpreter(version)
    assert reason is None and os.path.isabs(path) and ".venv" not in path
    out = subprocess.run([path, "-c", "import sys; print(sys.prefix == sys.base_prefix, sys.version_info[:2])"],
                         stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout
    assert out.split(None, 1) == ["True", "%s\n" % (sys.version_info[:2],)]


@pytest.mark.parametrize("versions, env, status, lines", [
    (["3.99"], {}, 0, ["tested: none", "skipped: 3.99 (no CPython 3.99 interpreter found)"]),
    # 3.8 is never skipped: without it make test fails.
    (["3.8", "3.99"], {"PYTHON": "/bin/true"}, 1,
     ["skipped: 3.99 (no CPython 3.99 interpreter found)",
      "FAILED: 3.8 (PYTHON=/bin/true does not run as CPython 3.8)"]),
])
def test_skipped_and_failed_versions_are_listed_with_why(versions, env, status, lines):
    proc = subprocess.run([sys.executable, os.path.join(ROOT, "tools", "version_runs.py")] + versions,
                          env=dict(os.environ, **env), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    assert proc.returncode == status, proc.stdout
    for line in lines:
        assert line in proc.stdout.splitlines(), proc.stdout
