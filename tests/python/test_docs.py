"""The documents a user reads agree with the package: the release they name,
the links between them, the README's length."""
import glob
import os
import re

import pytest

import velmora
from build_helpers import ROOT

README = os.path.join(ROOT, "README.md")
CHANGELOG = os.path.join(ROOT, "CHANGELOG.md")
DOCUMENTS = [README, CHANGELOG] + sorted(glob.glob(os.path.join(ROOT, "docs", "*.md")))

pytestmark = pytest.mark.skipif(not os.path.isfile(README), reason="run outside a checkout: no README")

LINK = re.compile(r"\]\(([^)\s]+)\)")
MOUNT_LINE = re.compile(r"velmora (\d+\.\d+\.\d+\S*): API mounted")


def read(path):
    with open(path, encoding="utf-8") as f:
        return f.read()


def anchors(path):
    """The anchors a renderer makes for the headings of a markdown file."""
    out = set()
    in_code = False
    for line in read(path).splitlines():
        if line.startswith("```"):
            in_code = not in_code
        elif not in_code and line.startswith("#"):
            title = line.lstrip("#").strip().lower()
            out.add(re.sub(r"[^\w\- ]", "", title).replace(" ", "-"))
    return out


def test_the_changelogs_newest_release_is_the_packages_version():
    releases = re.findall(r"^## (\d+\.\d+\.\d+\S*)(.*)$", read(CHANGELOG), re.M)
    assert releases, "CHANGELOG.md names no release"
    version, rest = releases[0]
    assert version == velmora.__version__
    assert re.search(r"\d{4}-\d{2}-\d{2}", rest), "the newest release has no date: %r" % rest


@pytest.mark.parametrize("path", DOCUMENTS, ids=os.path.basename)
def test_links_reach_files_and_headings(path):
    for target in LINK.findall(read(path)):
        if re.match(r"[a-z]+:", target):
            continue  # an absolute URL: not checked here
        file_part, _, anchor = target.partition("#")
        linked = os.path.normpath(os.path.join(os.path.dirname(path), file_part)) if file_part else path
        assert os.path.exists(linked), "%s links to %s, which is missing" % (path, target)
        if anchor and linked.endswith(".md"):
            assert anchor in anchors(linked), "%s links to %s, which has no such heading" % (path, target)


@pytest.mark.parametrize("path", DOCUMENTS, ids=os.path.basename)
def test_log_lines_shown_name_this_version(path):
    for version in MOUNT_LINE.findall(read(path)):
        assert version == velmora.__version__, path


def test_the_readme_stays_short():
    with open(README, encoding="utf-8") as f:
        assert sum(1 for _ in f) <= 250
