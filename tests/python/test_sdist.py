"""The source archive builds with plain CMake from its own files, tests on or off."""
import os
import subprocess
import sys
import tarfile

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# Safety net for a hung build; not a speed check.
LIMIT_SECONDS = 900
MODULES = ["velmora/server/handlers/info/hostfacts", "velmora/server/handlers/pipeline_import/groundwork"]

pytestmark = pytest.mark.skipif(
    os.environ.get("VELMORA_SANITIZED") == "1",
    reason="the sanitizer run tests its own staged build, not the source archive",
)


def run(args, cwd):
    proc = subprocess.run(args, cwd=str(cwd), stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True, timeout=LIMIT_SECONDS)
    assert proc.returncode == 0, "%s failed:\n%s" % (" ".join(map(str, args)), proc.stdout)
    return proc.stdout


def built_modules(source):
    found = []
    for module in MODULES:
        folder, stem = os.path.split(os.path.join(source, module))
        found += [os.path.join(folder, n) for n in os.listdir(folder)
                  if n.startswith(stem + ".") and n.endswith(".so")]
    return found


def test_unpacked_sdist_configures_and_builds_with_tests_off_and_on(tmp_path):
    checkout_before = set(os.listdir(ROOT))
    run([sys.executable, "setup.py", "-q", "sdist", "-d", str(tmp_path / "dist")], ROOT)
    assert set(os.listdir(ROOT)) == checkout_before
    archive, = (tmp_path / "dist").iterdir()
    source = tmp_path / archive.name[:-len(".tar.gz")]
    with tarfile.open(str(archive)) as tar:
        names = set(tar.getnames())
        tar.extractall(str(tmp_path))
    # What setup.py installs besides the modules travels too.
    shipped = [m + ".pyi" for m in MODULES] + ["velmora/py.typed", "jupyter-config/jupyter_server_config.d/velmora.json"]
    assert {source.name + "/" + n for n in shipped} <= names
    python = "-DPython_EXECUTABLE=" + os.path.realpath(sys.executable)

    for tests, build in (("OFF", "build-off"), ("ON", "build-on")):
        for path in built_modules(str(source)):
            os.remove(path)
        run(["cmake", "-S", str(source), "-B", build, python, "-DVELMORA_TESTS=" + tests], tmp_path)
        run(["cmake", "--build", build, "--parallel", "2"], tmp_path)
        # The development layout: the modules land in the archive's package tree.
        assert len(built_modules(str(source))) == 2, tests
        runtime_tests = tmp_path / build / "tests" / "runtime_tests"
        assert runtime_tests.exists() == (tests == "ON")
    assert "PASSED" in run([str(tmp_path / "build-on" / "tests" / "runtime_tests"), "--gtest_brief=1"], tmp_path)
