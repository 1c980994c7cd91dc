"""The source archive builds with plain CMake from its own files, tests on or off."""
import glob
import os
import shutil
import sys
import tarfile

import pytest

from build_helpers import ROOT, child_env, not_in_sanitizer_run, once_per_run, run

MODULES = ["velmora/server/handlers/info/hostfacts", "velmora/server/handlers/pipeline_import/groundwork"]

pytestmark = [not_in_sanitizer_run, once_per_run]


def built_modules(source):
    found = []
    for module in MODULES:
        folder, stem = os.path.split(os.path.join(source, module))
        found += [os.path.join(folder, n) for n in os.listdir(folder)
                  if n.startswith(stem + ".") and n.endswith(".so")]
    return found


def test_unpacked_sdist_configures_and_builds_with_tests_off_and_on(tmp_path):
    uv = shutil.which("uv") or pytest.skip("uv is not on the PATH (make test's runner brings it)")
    checkout_before = set(os.listdir(ROOT))
    run([uv, "build", "--sdist", "--python", sys.executable, "--out-dir", str(tmp_path / "dist"), ROOT],
        tmp_path, child_env())
    assert set(os.listdir(ROOT)) == checkout_before
    archive, = glob.glob(str(tmp_path / "dist" / "*.tar.gz"))
    source = tmp_path / os.path.basename(archive)[:-len(".tar.gz")]
    with tarfile.open(archive) as tar:
        names = set(tar.getnames())
        tar.extractall(str(tmp_path))
    # What the wheel installs besides the modules travels too, and nothing built.
    shipped = [m + ".pyi" for m in MODULES] + [
        "velmora/py.typed", "jupyter-config/jupyter_server_config.d/velmora.json", "pyproject.toml"]
    assert {source.name + "/" + n for n in shipped} <= names
    assert not [n for n in names if n.endswith(".so") or "/build-" in n or "/.nox" in n], names
    python = "-DPython_EXECUTABLE=" + os.path.realpath(sys.executable)

    # Off first, as pip builds it; then on, in the same build tree, so that the
    # second build only adds the tests and the benchmark.
    build = tmp_path / "build"
    for tests in ("OFF", "ON"):
        for path in built_modules(str(source)):
            os.remove(path)
        run(["cmake", "-S", str(source), "-B", str(build), python, "-DVELMORA_TESTS=" + tests], tmp_path)
        run(["cmake", "--build", str(build), "--parallel", "2"], tmp_path)
        # The development layout: the modules land in the archive's package tree.
        assert len(built_modules(str(source))) == 2, tests
        assert (build / "tests" / "runtime_tests").exists() == (tests == "ON")
    assert "PASSED" in run([str(build / "tests" / "runtime_tests"), "--gtest_brief=1"], tmp_path)
