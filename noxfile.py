"""The test runs, one session each: `nox -l` lists them, `make test` runs them all.

Each session's environment comes from PyPI through its pinned lock file
(locks/pyX.Y.txt, written by `nox -s lock`). The versions are the CPython
classifiers of pyproject.toml. CPython 3.14 and 3.15 run in a Debian unstable
root (tools/unstable_root.sh), where `make test` calls the same sessions.
"""
import ast
import glob
import os
import re
import shutil
import subprocess
import sys

import nox

ROOT = os.path.dirname(os.path.abspath(__file__))
PYPROJECT = nox.project.load_toml(os.path.join(ROOT, "pyproject.toml"))
VERSIONS = nox.project.python_versions(PYPROJECT)
OLDEST, NEWEST = VERSIONS[0], VERSIONS[-1]
# The sanitizer runs: the oldest version and one that specialises at run time.
SANITIZED = [OLDEST, "3.11"]
# The oldest jupyter_server velmora supports is pinned in locks/floor.in.
FLOOR_PYTHON = OLDEST
# What runs in the oldest jupyter_server: velmora in a Jupyter server, and as a Jupyter application.
JUPYTER_TESTS = ["tests/python/in_jupyter", "tests/python/test_velmora_app.py"]
# A debug interpreter (Debian's python3.14-dbg, in the unstable root): the
# interpreter's own reference and assertion checks, with modules built for it.
DEBUG_PYTHON = "3.14d"
# Besides the main version's suite, the real `jupyter lab` runs on a CPython
# whose compiled modules build on the public API alone.
REAL_JUPYTER_ALSO = "3.14"

nox.options.default_venv_backend = "uv"
nox.options.reuse_existing_virtualenvs = True
# A missing interpreter is a skip that names it (make test lists it), never a failure.
nox.options.error_on_missing_interpreters = False


def _interpreters_on_path():
    """Puts one `pythonX.Y` per supported version first on the PATH.

    pyenv's shims answer to every name but may refuse a version, so the real
    interpreters are linked from one folder of the session runner's own.
    """
    # One folder per machine: the unstable root sees this checkout too.
    folder = os.path.join(ROOT, ".nox", "pythons-" + ("unstable-root" if os.environ.get("VELMORA_UNSTABLE_ROOT")
                                                       else "host"))
    os.makedirs(folder, exist_ok=True)
    pyenv_root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    for version in VERSIONS:
        link = os.path.join(folder, "python" + version)
        candidates = sorted(glob.glob(os.path.join(pyenv_root, "versions", version + ".*", "bin", "python" + version)),
                            reverse=True)
        candidates += ["/usr/bin/python" + version, "/usr/local/bin/python" + version]
        found = next((c for c in candidates if os.access(c, os.X_OK) and _has_headers(c)), None)
        # Replaced in one step: two runners may start at once.
        if found:
            os.symlink(found, link + ".new.%d" % os.getpid())
            os.replace(link + ".new.%d" % os.getpid(), link)
        elif os.path.lexists(link):
            os.remove(link)
    os.environ["PATH"] = folder + os.pathsep + os.environ.get("PATH", "")
    return folder


def _has_headers(python):
    probe = "import os, sysconfig; print(os.path.isfile(os.path.join(sysconfig.get_paths()['include'], 'Python.h')))"
    try:
        return subprocess.run([python, "-c", probe], stdout=subprocess.PIPE, universal_newlines=True,
                              timeout=30).stdout.strip() == "True"
    except (OSError, subprocess.SubprocessError):
        return False


PYTHONS = _interpreters_on_path()
# The newest version this machine has itself (the others run in the unstable root).
NEWEST_HERE = next((v for v in reversed(VERSIONS) if os.path.exists(os.path.join(PYTHONS, "python" + v))), NEWEST)


def version_tuple(version):
    return tuple(int(part) for part in release(version).split("."))


def compiled_here(version):
    """Whether the compiled modules are made for `version`: the range the
    package itself declares, where it explains why its interpreted handlers serve."""
    with open(os.path.join(ROOT, "velmora", "server", "handler_sets.py"), encoding="utf-8") as f:
        line = next(line for line in f if line.startswith("COMPILED_VERSIONS = "))
    low, high = ast.literal_eval(line.split("=", 1)[1].strip())
    return low <= version_tuple(version) <= high


def release(version):
    """The release a debug interpreter's version (3.14d) belongs to."""
    return version.rstrip("d")


def lock_file(version, floor=False):
    return os.path.join("locks", "%spy%s.txt" % ("floor-" if floor else "", release(version)))


def base_python(session):
    """The interpreter the session's venv was made from: CMake builds against it."""
    return python_output(session, "import os, sys; print(os.path.realpath(sys.executable))")


def python_output(session, code):
    """What the venv's python prints for `code`; empty under --install-only, which runs nothing."""
    return (session.run("python", "-c", code, silent=True) or "").strip()


def prepare(session, floor=False):
    """The session's venv from its lock, with this checkout importable as it is."""
    session.install("-r", lock_file(session.python, floor))
    purelib = python_output(session, "import sysconfig; print(sysconfig.get_paths()['purelib'])")
    if not purelib:
        return
    with open(os.path.join(purelib, "00-velmora-checkout.pth"), "w") as f:
        f.write(ROOT + "\n")


def build(session, build_dir, *cmake_args):
    session.run("cmake", "-S", ".", "-B", build_dir, "-G", "Ninja", "-DPython_EXECUTABLE=" + base_python(session),
                *cmake_args, external=True, silent=True)
    session.run("cmake", "--build", build_dir, external=True, silent=True)


def pytest(session, build_dir, *args, env=None):
    environment = {"VELMORA_TESTMOD_DIR": os.path.join(ROOT, build_dir, "testmods"),
                   "PYTHONDONTWRITEBYTECODE": "1",
                   "VELMORA_MAIN_SUITE": "1" if session.python == main_version() else "0",
                   # pytest keeps its last few temporary trees per user: sessions running at once
                   # (the unstable root's share one /tmp) would remove each other's.
                   "TMPDIR": os.path.abspath(session.create_tmp())}
    environment.update(env or {})
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", *(session.posargs or args or ["tests/python"]),
                env=environment)


def main_version():
    """The version whose suite also runs what needs one run only (the real
    Jupyter processes, the source archive): make test names it."""
    return os.environ.get("VELMORA_MAIN_VERSION", NEWEST)


@nox.session(python=VERSIONS)
def tests(session):
    """C++ tests and the Python suite: allocation sweeps, leak tests, a real Jupyter server."""
    prepare(session)
    build_dir = "build-" + session.python
    if compiled_here(session.python):
        build(session, build_dir)
        if not session.posargs:
            session.run(os.path.join(build_dir, "tests", "runtime_tests"), "--gtest_brief=1", external=True)
    else:
        session.log("CPython %s: no compiled modules are made for it; the suite runs on the interpreted handlers"
                    % session.python)
    pytest(session, build_dir, env={"VELMORA_REAL_JUPYTER": "1"} if session.python == REAL_JUPYTER_ALSO else None)


def staged_suite(session, build_dir, *cmake_args):
    """Builds a package of its own in `build_dir` (the version's own run builds
    the checkout's modules meanwhile) and runs the suite from it."""
    staged = os.path.join(ROOT, build_dir, "pkg")
    build(session, build_dir, "-DVELMORA_PKG_DIR=" + staged, *cmake_args)
    session.chdir(staged)
    return staged


def internals_checked_max():
    """The newest CPython whose private layouts the build reads, as CMakeLists.txt sets it."""
    with open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8") as f:
        found = re.search(r"^set\(VELMORA_INTERNALS_CHECKED_MAX (\d+)\.(\d+)\)", f.read(), re.M)
    return int(found[1]), int(found[2])


COMPILED = [v for v in VERSIONS if compiled_here(v)]
# make test runs the suite without the fast paths on the oldest and the newest
# compiled version; a version beyond the layouts checked builds without them by
# itself, so there its own run is that one.
PUBLIC = [COMPILED[0]] + [v for v in COMPILED[-1:] if version_tuple(v) <= internals_checked_max()]


def public_suite(session):
    prepare(session)
    build_dir = "build-public-" + session.python
    staged = staged_suite(session, build_dir, "-DVELMORA_INTERNALS=OFF")
    session.run(os.path.join(ROOT, build_dir, "tests", "runtime_tests"), "--gtest_brief=1", external=True)
    pytest(session, build_dir, "--rootdir=" + ROOT, os.path.join(ROOT, "tests", "python"),
           env={"PYTHONPATH": staged})


@nox.session(python=PUBLIC)
def public(session):
    """The whole suite on modules built on the interpreter's public API alone, without the fast paths."""
    public_suite(session)


@nox.session(python=COMPILED, name="public-all")
def public_all(session):
    """The same on every compiled version (make test-public); not part of make test."""
    public_suite(session)


@nox.session(python=DEBUG_PYTHON)
def debug(session):
    """The C++ tests and the whole suite under a debug interpreter, on modules built for it."""
    prepare(session)
    build_dir = "build-" + session.python
    staged = staged_suite(session, build_dir)
    session.run(os.path.join(ROOT, build_dir, "tests", "runtime_tests"), "--gtest_brief=1", external=True)
    # It would load a release build too (the checkout's): the reference totals
    # the leak tests read are the debug build's only.
    session.run("python", "-c", "import importlib, sys, sysconfig; from velmora.server import handler_sets; "
                "suffix = sysconfig.get_config_var('EXT_SUFFIX'); "
                "sys.exit(not all(importlib.import_module(n).__file__.endswith(suffix) for n in handler_sets.MODULES))",
                env={"PYTHONPATH": staged})
    # The allocation-failure sweeps take every fifth allocation: the release
    # builds' runs take each one. The tests in jupyter_server's test server
    # start a server each (about 20 minutes here, most of it the server's own
    # start-up); 3.14's own run has them on the same modules.
    pytest(session, build_dir, "--rootdir=" + ROOT, os.path.join(ROOT, "tests", "python"),
           "--ignore=" + os.path.join(ROOT, "tests", "python", "in_jupyter"),
           env={"PYTHONPATH": staged, "VELMORA_SWEEP_STEP": "5"})


@nox.session(python=NEWEST_HERE)
def installed(session):
    """The wheel built as pip builds it, installed with its dependencies, and
    the suite run from outside the checkout on the installed package."""
    dist = os.path.join(ROOT, "build-wheel-" + session.python)
    shutil.rmtree(dist, ignore_errors=True)
    session.run("uv", "build", "--wheel", "--python", base_python(session), "--out-dir", dist, ROOT, external=True)
    wheel, = glob.glob(os.path.join(dist, "*.whl"))
    session.install("-r", lock_file(session.python), wheel)
    elsewhere = os.path.abspath(session.create_tmp())
    tests = os.path.join(elsewhere, "tests")
    shutil.rmtree(tests, ignore_errors=True)
    shutil.copytree(os.path.join(ROOT, "tests", "python"), tests)
    session.chdir(elsewhere)
    session.run("python", "-c", "import sys, velmora; from velmora.server import handler_sets; "
                "sys.exit(velmora.__file__.startswith(%r) or handler_sets.load().kind != 'compiled')"
                % os.path.join(ROOT, "velmora"))
    session.run("python", "-m", "pytest", "-q", "-p", "no:cacheprovider", *package_only_tests(tests),
                env={"VELMORA_MAIN_SUITE": "0", "PYTHONDONTWRITEBYTECODE": "1"})


def package_only_tests(folder):
    """The test files that need the installed package alone: not the checkout's
    build (the test-only module), its files, or a wheel built from it."""
    for path in sorted(glob.glob(os.path.join(folder, "test_*.py"))):
        with open(path, encoding="utf-8") as f:
            if not re.search(r"\bROOT\b|_rt_testmod|testmods|installed_venv", f.read()):
                yield path


@nox.session(python=SANITIZED)
def asan(session):
    """The same suites under AddressSanitizer and UndefinedBehaviorSanitizer."""
    prepare(session)
    session.run("make", "--no-print-directory", "test-asan", "PYVER=" + session.python,
                "PYTHON=" + base_python(session), "VENV=" + session.virtualenv.location, external=True)


@nox.session(python=OLDEST)
def memcheck(session):
    """valgrind's memcheck over the allocation-failure, leak and handler suites."""
    prepare(session)
    session.run("make", "--no-print-directory", "test-valgrind", "PYVER=" + session.python,
                "PYTHON=" + base_python(session), "VENV=" + session.virtualenv.location, external=True)


@nox.session(python=FLOOR_PYTHON, name="jupyter-floor")
def jupyter_floor(session):
    """velmora in the oldest jupyter_server it supports."""
    prepare(session, floor=True)
    build_dir = "build-floor-" + session.python
    staged = staged_suite(session, build_dir)
    pytest(session, build_dir, "--rootdir=" + ROOT, *(os.path.join(ROOT, t) for t in JUPYTER_TESTS),
           env={"VELMORA_MAIN_SUITE": "1", "PYTHONPATH": staged})


@nox.session(python=False)
def lint(session):
    """The names check, clang-format and clang-tidy, at the versions pinned in locks/tools.txt."""
    # A build of its own, staged: the test runs build the checkout's modules at the same time.
    session.run("make", "--no-print-directory", "lint", "BUILD_DIR=build-lint",
                "CMAKE_ARGS=-DVELMORA_PKG_DIR=" + os.path.join(ROOT, "build-lint", "pkg"), external=True)


@nox.session(python=False)
def lock(session):
    """Writes locks/: for each version the newest releases that support it."""
    uv = shutil.which("uv") or sys.exit("uv is not on the PATH")
    for version in VERSIONS:
        for floor in (False, True):
            if floor and version != FLOOR_PYTHON:
                continue
            inputs = ["locks/requirements.in"]
            if floor:
                inputs = ["locks/floor.in"]
            session.run(uv, "pip", "compile", "--quiet", "--python-version", version,
                        "--python-platform", "x86_64-manylinux_2_28", "--no-header", "--annotation-style", "line",
                        *inputs, "-o", lock_file(version, floor), external=True)
