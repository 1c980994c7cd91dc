"""Packaging: `pip install --no-build-isolation --no-index .` builds the compiled modules with CMake.

The modules have one build description, CMakeLists.txt; build_ext only runs it
with the package tree of this build as the place for the modules. Build
directories live in a temporary folder: build/ in the checkout belongs to make.
The modules are built for CPython 3.8 to 3.13 where CMake, Ninja, a C++
compiler and the interpreter's headers are at hand; anywhere else the package
is installed without them, says why in one line, and serves with its
interpreted handlers.
"""
# setuptools before anything that imports distutils: from 3.12 the standard
# library has none, and setuptools supplies it.
import setuptools  # noqa: F401  isort: skip
import atexit
import os
import platform
import shlex
import shutil
import sys
import sysconfig
import tempfile
from distutils.command.build import build as _build
from distutils.errors import DistutilsExecError, DistutilsSetupError

from setuptools import Extension, find_packages, setup
from setuptools.command.build_ext import build_ext as _build_ext
from setuptools.command.egg_info import egg_info as _egg_info
from setuptools.command.install import install as _install

ROOT = os.path.dirname(os.path.abspath(__file__))
SUPPORTED = ((3, 8), (3, 13))


def _cxx_compiler():
    """The C++ compiler CMake would pick: $CXX, else c++, g++ or clang++."""
    named = shlex.split(os.environ.get("CXX", ""))
    for candidate in named[:1] or ["c++", "g++", "clang++"]:
        if shutil.which(candidate):
            return candidate
    return None


def _why_not_built():
    """None where the compiled modules can be built, else the reason they are not."""
    implementation, version = platform.python_implementation(), platform.python_version()
    if implementation != "CPython" or not SUPPORTED[0] <= sys.version_info[:2] <= SUPPORTED[1]:
        return "they need CPython %d.%d to %d.%d, this is %s %s" % (
            SUPPORTED[0] + SUPPORTED[1] + (implementation, version))
    headers = os.path.join(sysconfig.get_paths()["include"], "Python.h")
    if not os.path.isfile(headers):
        return "this Python's C headers are missing: no %s (on Debian: apt-get install python%d.%d-dev)" % (
            (headers,) + sys.version_info[:2])
    for tool, package in (("cmake", "cmake"), ("ninja", "ninja-build")):
        if not shutil.which(tool):
            return "%s is not on the PATH (on Debian: apt-get install %s)" % (tool, package)
    if not _cxx_compiler():
        if os.environ.get("CXX"):
            return "the C++ compiler CXX=%s is not found" % os.environ["CXX"]
        return "no C++ compiler (c++, g++ or clang++) is on the PATH (on Debian: apt-get install g++)"
    return None


WHY_NOT_BUILT = _why_not_built()
BUILDS_MODULES = WHY_NOT_BUILT is None
NOT_BUILT = ("velmora: the compiled handler modules are not built (%s); "
             "the package serves with its interpreted handlers" % WHY_NOT_BUILT)


def _version():
    with open(os.path.join(ROOT, "velmora", "__init__.py"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("__version__"):
                return line.split("=", 1)[1].strip().strip("\"'")
    raise DistutilsSetupError("velmora/__init__.py has no __version__")


class CMakeExtension(Extension):
    """A module that CMake builds; setuptools only needs its name and place."""

    def __init__(self, name):
        super().__init__(name, sources=[])


class build(_build):
    def initialize_options(self):
        super().initialize_options()
        self.build_base = tempfile.mkdtemp(prefix="velmora-build-")
        atexit.register(shutil.rmtree, self.build_base, True)

    def run(self):
        if not BUILDS_MODULES:
            print(NOT_BUILT, file=sys.stderr)
        super().run()


class egg_info(_egg_info):
    def initialize_options(self):
        super().initialize_options()
        # An editable install needs its metadata in the checkout; others do not.
        if "develop" not in sys.argv:
            self.egg_base = tempfile.mkdtemp(prefix="velmora-egg-")
            atexit.register(shutil.rmtree, self.egg_base, True)


class install(_install):
    def initialize_options(self):
        super().initialize_options()
        # Debian's setuptools reads these options of Debian's own distutils;
        # the distutils that setuptools brings where the standard library has
        # none (3.12 on) lacks them.
        for option in ("install_layout", "prefix_option"):
            if not hasattr(self, option):
                setattr(self, option, None)


class build_ext(_build_ext):
    def run(self):
        if not self.extensions:
            return
        cmake = shutil.which("cmake")
        pkg_dir = ROOT if self.inplace else os.path.abspath(self.build_lib)
        build_dir = os.path.join(os.path.abspath(self.build_temp), "cmake")
        self.spawn([
            cmake, "-S", ROOT, "-B", build_dir, "-G", "Ninja",
            "-DPython_EXECUTABLE=" + sys.executable,
            "-DVELMORA_TESTS=OFF",
            "-DVELMORA_WERROR=OFF",
            # The code the tests ran, without the debug sections.
            "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
            "-DVELMORA_STRIP_DEBUG=ON",
            "-DVELMORA_PKG_DIR=" + pkg_dir,
        ])
        self.spawn([cmake, "--build", build_dir])
        for ext in self.extensions:
            path = self.get_ext_fullpath(ext.name)
            if not os.path.isfile(path):
                raise DistutilsExecError("CMake did not produce %s" % path)


MODULES = ["velmora.server.handlers.info.hostfacts", "velmora.server.handlers.pipeline_import.groundwork"]
PACKAGE_DATA = {"velmora": ["py.typed"]}
if BUILDS_MODULES:
    # The stubs describe the compiled modules and go with them.
    for name in MODULES:
        package, module = name.rsplit(".", 1)
        PACKAGE_DATA[package] = [module + ".pyi"]

setup(
    name="velmora",
    version=_version(),
    description="Jupyter server extension: server facts and pipeline import, "
                "with compiled handlers and an interpreted fallback",
    license="BSD-3-Clause",
    license_files=["LICENSE"],
    classifiers=[
        "License :: OSI Approved :: BSD License",
        "Framework :: Jupyter",
        "Programming Language :: Python :: 3",
        "Programming Language :: Python :: Implementation :: CPython",
        "Programming Language :: C++",
        "Operating System :: POSIX :: Linux",
    ],
    packages=find_packages(include=["velmora", "velmora.*"]),
    package_data=PACKAGE_DATA,
    # Enables the extension in every Jupyter server started from the same
    # environment; pip records the file, so uninstalling removes it.
    data_files=[("etc/jupyter/jupyter_server_config.d",
                 ["jupyter-config/jupyter_server_config.d/velmora.json"])],
    ext_modules=[CMakeExtension(name) for name in MODULES] if BUILDS_MODULES else [],
    cmdclass={"build": build, "build_ext": build_ext, "egg_info": egg_info, "install": install},
    python_requires=">=3.8",
    install_requires=["jupyter_server>=1.23,<3", "tornado>=6.1"],
    entry_points={"console_scripts": ["velmora-server = velmora.server.app:main"]},
    zip_safe=False,
)
