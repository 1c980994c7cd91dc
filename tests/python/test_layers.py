"""The runtime's layers as the build draws them: module code and the body
helpers compile against the public headers only, so an include of a core
header from them fails to build."""
import glob
import json
import os
import re
import shlex

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PUBLIC = os.path.join(ROOT, "runtime", "include")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def build_dir():
    testmods = os.environ.get("VELMORA_TESTMOD_DIR")
    return os.path.dirname(os.path.abspath(testmods)) if testmods else os.path.join(ROOT, "build")


@pytest.fixture(scope="module")
def include_dirs():
    """Per source file, the directories its compile command names with -I."""
    path = os.path.join(build_dir(), "compile_commands.json")
    if not os.path.exists(path):
        pytest.skip("no compile database in %s" % build_dir())
    dirs = {}
    for entry in json.load(open(path)):
        words = shlex.split(entry["command"]) if "command" in entry else entry["arguments"]
        found = [w[2:] for w in words if w.startswith("-I") and len(w) > 2]
        found += [words[i + 1] for i, w in enumerate(words[:-1]) if w == "-I"]
        dirs[os.path.relpath(entry["file"], ROOT)] = {os.path.normpath(d) for d in found}
    return dirs


MODULE_FACING = ["server/handlers/info/hostfacts/module.cpp", "server/handlers/info/hostfacts/get_info.cpp",
                 "server/handlers/pipeline_import/groundwork/module.cpp",
                 "server/handlers/pipeline_import/groundwork/finish_with_result.cpp", "runtime/body_helpers.cpp"]


@pytest.mark.parametrize("source", MODULE_FACING)
def test_module_facing_code_sees_only_the_public_headers(include_dirs, source):
    dirs = include_dirs[source]
    assert PUBLIC in dirs
    generated = {d for d in dirs if os.sep + "generated" + os.sep in d}
    assert dirs - generated == {PUBLIC}, "reaches past the public headers: %s" % sorted(dirs - generated)


def test_the_core_sees_its_own_headers(include_dirs):
    core = [f for f in include_dirs if f.startswith("runtime" + os.sep) and f != "runtime/body_helpers.cpp"]
    assert len(core) >= 10
    for source in core:
        assert ROOT in include_dirs[source], source


@pytest.mark.parametrize("header", sorted(glob.glob(os.path.join(PUBLIC, "runtime", "*.h"))),
                         ids=os.path.basename)
def test_public_headers_include_public_headers_only(header):
    for name in INCLUDE.findall(open(header).read()):
        assert os.path.exists(os.path.join(PUBLIC, name)), "%s includes the core header %s" % (header, name)
