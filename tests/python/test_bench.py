"""The benchmarks run to the end and print a full table: a row of figures for
every scenario and both imports. Figures are never judged here."""
import os
import re
import shutil
import subprocess
import sys
from http.cookies import Morsel, SimpleCookie

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))
import scenarios  # noqa: E402

pytestmark = pytest.mark.skipif(
    os.environ.get("VELMORA_SANITIZED") == "1",
    reason="the benchmarks load the development build, which the sanitizer run does not test",
)

NUMBER = r"-?\d+(?:\.\d+)?"
IMPORT_ROWS = ["import of hostfacts", "import of groundwork"]


def run_bench(script, *args):
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    proc = subprocess.run([sys.executable, os.path.join(ROOT, "bench", script), *args], cwd=ROOT,
                          env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          universal_newlines=True)
    assert proc.returncode == 0, proc.stdout
    return proc.stdout


def figures(output, label):
    """The numbers on the row that starts with `label`."""
    rows = [line for line in output.splitlines() if line.strip().startswith(label)]
    assert len(rows) == 1, "no single row for %r in:\n%s" % (label, output)
    return [float(x) for x in re.findall(NUMBER, rows[0].strip()[len(label):].replace("%", ""))]


@pytest.mark.parametrize("script, args, per_scenario, per_import", [
    # compiled, twin, floor, c/twin, net c/t, spread; imports: compiled, twin, floor, own, c/twin, own/twin, spread
    ("run.py", ["--quick"], 6, 7),
    # compiled, twin, floor, c/twin, net c/t (imports left out: one valgrind run each)
    ("ir.py", ["--quick", "--no-import"], 5, None),
])
def test_short_run_prints_every_row(script, args, per_scenario, per_import, tmp_path):
    if script == "ir.py" and not shutil.which("valgrind"):
        pytest.skip("valgrind is not installed")
    docs = str(tmp_path / "benchmarks.md")
    output = run_bench(script, *args, "--docs", docs)
    # The table printed is the table written, rows and all.
    with open(docs, encoding="utf-8") as f:
        written = f.read()
    table = [line for line in output.splitlines()[1:] if not line.startswith("written into")]
    assert "\n".join(table) in written
    assert "`bench/%s %s`" % (script, " ".join(args)) in written
    for sc in scenarios.SCENARIOS:
        row = figures(output, sc.name)
        assert len(row) == per_scenario, (sc.name, row)
        compiled, twin = row[0], row[1]
        assert compiled > 0 and twin > 0
        # The ratio column is the two figures divided, within what printing
        # them to whole ns and it to 0.01 allows (much for a small twin figure).
        slack = compiled / twin * (0.5 / compiled + 0.5 / twin) + 0.005
        assert row[3] == pytest.approx(compiled / twin, abs=slack)
    for label in IMPORT_ROWS:
        if per_import is None:
            assert label not in output
        else:
            row = figures(output, label)
            assert len(row) == per_import and row[0] > 0 and row[1] > 0


@pytest.mark.parametrize("mode", ["--child-import", "--child-floor"])
def test_import_children_of_the_instruction_count_run(mode):
    # What ir.py runs under valgrind for its import rows, run plainly: one
    # import of each side (or of the floor module) between the markers.
    for label, compiled, twin in scenarios.import_targets():
        for side in ((compiled, twin) if mode == "--child-import" else (compiled,)):
            output = run_bench("ir.py", mode, *side)
            if mode == "--child-floor":
                assert output.split()[-1] in scenarios.FLOOR_MODULES, (label, output)


@pytest.mark.parametrize("name, count, mapping, item", [
    ("_get_info, 0 cookies", 0, dict, None),
    ("_get_info, 30 cookies, __slots__, exact dict", 30, dict, scenarios.Cookie),
    ("_get_info, 30 cookies, attributes, exact dict", 30, dict, scenarios.PlainCookie),
    ("_get_info, 30 cookies, attributes, dict subclass", 30, scenarios.CookieDict, scenarios.PlainCookie),
    ("_get_info, 30 cookies, SimpleCookie", 30, SimpleCookie, Morsel),
])
def test_cookie_scenarios_have_their_shape_and_both_sides_answer_alike(name, count, mapping, item,
                                                                       monkeypatch):
    sc = next(s for s in scenarios.SCENARIOS if s.name == name)
    answers = []
    for pair in (scenarios.load_compiled(), scenarios.load_twins()):
        # The scenario installs its facts factory in the module the other tests share.
        monkeypatch.setitem(pair[0].__dict__, "JupyterServerAppInfo", pair[0].JupyterServerAppInfo)
        names = sc.names(pair)
        cookies = names["f"].__self__.cookies
        assert type(cookies) is mapping and len(cookies) == count
        assert all(type(cookie) is item for cookie in cookies.values())
        answers.append(eval(sc.stmt, dict(names)))
    assert answers[0] == answers[1]
    assert answers[0][1]["cookie"] == "; ".join("c%d=v%d" % (i, i) for i in range(count))


# --- bench/fastpaths.py: what it reads of the header and how it judges ------------------------

import fastpaths  # noqa: E402

HEADER = """// Reads one.
#define RT_FAST_ONE (VELMORA_INTERNALS && !VELMORA_NO_ONE)
// Part of one (needs ONE).
#define RT_FAST_PART (RT_FAST_ONE && !VELMORA_NO_PART)
// Newer frames (from 3.11).
#define RT_FAST_NEW (VELMORA_INTERNALS && !VELMORA_NO_NEW)
// Older stores (to 3.12).
#define RT_FAST_OLD (VELMORA_INTERNALS && !VELMORA_NO_OLD)
"""


def test_fast_paths_come_from_the_header_with_their_parts_and_versions():
    assert fastpaths.fast_paths(HEADER) == [
        ("ONE", "Reads one.", None, (0, 99)), ("PART", "Part of one (needs ONE).", "ONE", (0, 99)),
        ("NEW", "Newer frames (from 3.11).", None, (11, 99)), ("OLD", "Older stores (to 3.12).", None, (0, 12))]
    # The real header: every path has its line, and a part names a path that exists.
    paths = fastpaths.fast_paths()
    names = [p[0] for p in paths]
    assert names and len(names) == len(open(fastpaths.INTERNALS_H).read().split("#define RT_FAST_")) - 1
    assert all(parent in names for _, _, parent, _ in paths if parent)


def calls(**compiled):
    return {"calls": {row: {"compiled": n, "floor": 100} for row, n in compiled.items()}, "imports": {}}


@pytest.mark.parametrize("without, verdict, rows", [
    # 20 of a 1000-instruction path: 2%, enough.
    (calls(a=1120, b=2100), "earns its place", ["a"]),
    # 19 of 1000 is under 2%; 5 instructions and 0.25% are noise, left out.
    (calls(a=1119, b=2105), "under 2%: goes", ["a"]),
    # Saving nothing anywhere: still one row that says so.
    (calls(a=1100, b=2100), "under 2%: goes", ["(no scenario changes)"]),
])
def test_a_fast_path_earns_its_place_on_one_scenario(without, verdict, rows):
    base = calls(a=1100, b=2100)
    text = fastpaths.table("3.8", fastpaths.fast_paths(HEADER)[:1], base, {"ONE": without})
    lines = text.splitlines()
    head = next(line for line in lines if line.strip().startswith("ONE "))
    assert head.endswith(verdict)
    shown = [line.split()[0] for line in lines[lines.index(head) + 1:]]
    assert shown == [r.split()[0] for r in rows]


def test_a_path_this_version_does_not_take_is_named_as_such():
    text = fastpaths.table("3.8", fastpaths.fast_paths(HEADER)[2:3], calls(a=1100), {})
    assert "NEW              (not on CPython 3.8)" in text
