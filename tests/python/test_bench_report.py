"""The benchmark tables in docs/benchmarks.md: a run replaces the section of its
version and measure, adds a missing one in version order, and keeps the rest."""
import datetime
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import report  # noqa: E402

WHEN = datetime.datetime(2026, 12, 9, 1, 20)


def section(version, measure, table="old"):
    return report.render(version, measure, table, "bench/ir.py", WHEN, version + ".0")


def keys(text):
    return [m.group("key") for m in report.SECTION.finditer(text)]


INTRO = "# Benchmarks\n\nWritten by hand.\n\n"
OUTRO = "\nNotes by hand.\n"
THREE = INTRO + section("3.8", "time") + "\n" + section("3.9", "time") + "\n" + section("3.11", "time") + OUTRO


@pytest.mark.parametrize("start, version, measure, order", [
    # replaced where it stands
    (THREE, "3.9", "time", ["3.8 time", "3.9 time", "3.11 time"]),
    (THREE, "3.11", "time", ["3.8 time", "3.9 time", "3.11 time"]),
    # added in version order, 3.10 after 3.9 though it sorts before it as text
    (THREE, "3.10", "time", ["3.8 time", "3.9 time", "3.10 time", "3.11 time"]),
    (THREE, "3.9", "instructions", ["3.8 time", "3.9 instructions", "3.9 time", "3.11 time"]),
    (THREE, "3.15", "time", ["3.8 time", "3.9 time", "3.11 time", "3.15 time"]),
    (THREE, "3.7", "time", ["3.7 time", "3.8 time", "3.9 time", "3.11 time"]),
    # the first section of a file
    (report.NEW_FILE, "3.13", "instructions", ["3.13 instructions"]),
])
def test_a_run_replaces_its_section_and_keeps_the_others(start, version, measure, order):
    key = report.section_key(version, measure)
    new = section(version, measure, "NEW TABLE")
    text = report.replace_section(start, key, new)
    assert keys(text) == order
    assert text.count("NEW TABLE") == 1 and new in text
    assert all(m.group(0) in text for m in report.SECTION.finditer(start) if m.group("key") != key)
    # What was written by hand stays where it was.
    assert text.startswith(start.split("<!--")[0].rstrip("\n"))
    assert text.endswith(OUTRO) == start.endswith(OUTRO)
    # Writing the same section again changes nothing.
    assert report.replace_section(text, key, new) == text


def test_write_makes_the_file_then_replaces_the_section(tmp_path):
    path = str(tmp_path / "benchmarks.md")
    report.write("time", "first\n", "bench/run.py", path, WHEN)
    report.write("instructions", "counts\n", "bench/ir.py", path, WHEN)
    report.write("time", "second\n", "bench/run.py --quick", path, WHEN)
    with open(path, encoding="utf-8") as f:
        text = f.read()
    version = "%d.%d" % sys.version_info[:2]
    assert keys(text) == [version + " instructions", version + " time"]
    assert "second" in text and "first" not in text and "counts" in text
    assert "2026-12-09 01:20 UTC" in text and "`bench/run.py --quick`" in text
    assert not os.path.exists(path + ".tmp")


@pytest.mark.parametrize("argv, path, rest", [
    (["--quick"], None, ["--quick"]),
    (["--docs", "d.md"], "d.md", []),
    (["--quick", "--docs", "d.md", "--no-import"], "d.md", ["--quick", "--no-import"]),
])
def test_docs_argument(argv, path, rest):
    assert report.docs_argument(argv) == (path, rest)

