"""Prints callgrind instruction counts per call for the scenarios of
bench/scenarios.py: compiled, interpreted twin and floor, in one process
under valgrind. Each figure is the difference of two loop lengths divided by
the difference of their counts, so start-up and loop set-up cancel out; the
counts do not depend on the machine's load.

    .venv/bin/python bench/ir.py [--quick] [--no-import] [--compiled-only] [--docs docs/benchmarks.md] [--json FILE]

With --docs the table also replaces this version's section of that file
(`make bench-ir` passes it); --json also writes the figures into FILE
({"calls": {scenario: {variant: instructions}}, "imports": {module:
{variant: instructions}}}), for bench/fastpaths.py.
"""
import codecs
import gc
import importlib
import json
import os
import platform
import re
import subprocess
import sys
import tempfile
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import report  # noqa: E402
import scenarios  # noqa: E402

# Callgrind writes its counters out each time this function runs: one the
# interpreter exports (Debian's interpreters have no other symbols) and that
# only a charmap codec's import calls besides. Such a call at start-up adds a
# dump before the first mark, so the dumps are matched to the marks from the
# end.
MARKER_FUNCTION = "PyUnicode_BuildEncodingMap"


def marker():
    codecs.charmap_build("a")


def child(short, long, variants):
    """Runs every loop between markers; prints what each dump interval held."""
    intervals = []

    def mark(label):
        marker()
        intervals.append(label)

    for sc, names in scenarios.statements():
        for variant, ns in names.items():
            if variant not in variants:
                continue
            timer = timeit.Timer(sc.stmt, globals=dict(ns))
            timer.timeit(20)  # caches and free lists warm
            mark(None)
            timer.timeit(short)
            mark([sc.name, variant, short])
            timer.timeit(long)
            mark([sc.name, variant, long])
    print(json.dumps(intervals))


def child_import(name, folder, helpers):
    scenarios.prepare_import(name, folder, helpers)
    load = scenarios.importer(name)
    gc.collect()
    marker()
    load(name)
    marker()


def child_floor(name, folder, helpers):
    scenarios.prepare_import(name, folder, helpers)
    module = scenarios.floor_module()
    gc.collect()
    marker()
    importlib.import_module(module)
    marker()
    print(module)


def totals(prefix, count):
    out = []
    for i in range(1, count + 1):
        with open("%s.%d" % (prefix, i)) as f:
            match = re.search(r"^totals:\s*(\d+)", f.read(), re.M)
        out.append(int(match.group(1)))
    return out


def under_callgrind(args, env):
    """Runs this file with `args` under callgrind: (stdout, counts of each interval)."""
    with tempfile.TemporaryDirectory() as out:
        prefix = os.path.join(out, "callgrind.out")
        proc = subprocess.run(
            ["valgrind", "--tool=callgrind", "--dump-before=" + MARKER_FUNCTION,
             "--callgrind-out-file=" + prefix, sys.executable, os.path.abspath(__file__)] + args,
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, universal_newlines=True,
            env=dict(env, PYTHONHASHSEED="0"), cwd=scenarios.ROOT, check=True)
        dumps = len([f for f in os.listdir(out) if re.fullmatch(r"callgrind\.out\.\d+", f)])
        return proc.stdout, totals(prefix, dumps)


def import_table(figures):
    rows = []
    with tempfile.TemporaryDirectory() as cache:
        env = dict(os.environ, PYTHONPYCACHEPREFIX=cache)
        env.pop("PYTHONDONTWRITEBYTECODE", None)
        for label, compiled, twin in scenarios.import_targets():
            twin_args = ["--child-import"] + twin
            subprocess.run([sys.executable, os.path.abspath(__file__)] + twin_args, env=env,
                           cwd=scenarios.ROOT, check=True)  # writes the byte-code cache
            # The last interval lies between the two markers around the import.
            c = under_callgrind(["--child-import"] + compiled, env)[1][-1]
            t = under_callgrind(twin_args, env)[1][-1]
            out, counts = under_callgrind(["--child-floor"] + compiled, env)
            floor_module = out.split()[-1]
            rows.append((label, c, t, counts[-1]))
            figures[label] = {"compiled": c, "twin": t, "floor": counts[-1]}
    print("import, instructions (dependencies loaded; twin from its .pyc; floor: the import of %s, "
          "an extension module of the interpreter's own; own: compiled - floor)" % floor_module)
    print("  %-48s %9s %9s %8s %9s %8s %8s" % ("module", "compiled", "twin", "floor", "own", "c/twin", "own/twin"))
    for label, c, t, f in rows:
        print("  %-48s %9d %9d %8d %9d %7.2fx %7.2fx" % ("import of " + label, c, t, f, c - f, c / t, (c - f) / t))


def main():
    if sys.argv[1:2] == ["--child"]:
        child(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4].split(","))
        return
    if sys.argv[1:2] == ["--child-floor"]:
        child_floor(sys.argv[2], sys.argv[3], json.loads(sys.argv[4]))
        return
    if sys.argv[1:2] == ["--child-import"]:
        child_import(sys.argv[2], sys.argv[3], json.loads(sys.argv[4]))
        return
    short, long = (20, 120) if "--quick" in sys.argv else (100, 600)
    json_path = None
    if "--json" in sys.argv:
        at = sys.argv.index("--json")
        json_path = sys.argv[at + 1]
        del sys.argv[at:at + 2]
    print("CPython %s" % platform.python_version())
    scenarios.check_same_answers()
    record = report.Recorder("instructions", "ir.py", sys.argv[1:])
    # --compiled-only: the compiled side's counts alone, for comparing builds
    # (bench/fastpaths.py); the table needs all three.
    variants = ("compiled",) if "--compiled-only" in sys.argv else scenarios.VARIANTS
    stdout, counts = under_callgrind(["--child", str(short), str(long), ",".join(variants)], os.environ)
    intervals = json.loads(stdout.splitlines()[-1])
    per = {}
    for label, n in zip(intervals, counts[len(counts) - len(intervals):]):
        if label:
            per.setdefault((label[0], label[1]), {})[label[2]] = n
    print("instructions per call (callgrind, (count of %d calls - count of %d) / %d)"
          % (long, short, long - short))
    print("  %-48s %9s %9s %7s %8s %8s" % ("scenario", "compiled", "twin", "floor", "c/twin",
                                          "net c/t"))
    figures = {"calls": {}, "imports": {}}
    for sc in scenarios.SCENARIOS:
        ir = {v: (per[sc.name, v][long] - per[sc.name, v][short]) / (long - short) for v in variants}
        figures["calls"][sc.name] = ir
        if len(ir) < len(scenarios.VARIANTS):
            print("  %-48s %9.0f" % (sc.name, ir["compiled"]))
            continue
        net_twin = ir["twin"] - ir["floor"]
        net = (ir["compiled"] - ir["floor"]) / net_twin if net_twin > 0 else float("nan")
        print("  %-48s %9.0f %9.0f %7.0f %8.2f %8.2f" % (
            sc.name, ir["compiled"], ir["twin"], ir["floor"], ir["compiled"] / ir["twin"], net))
    if "--no-import" not in sys.argv:
        import_table(figures["imports"])
    record.finish()
    if json_path:
        with open(json_path, "w") as f:
            json.dump(figures, f, indent=1)


if __name__ == "__main__":
    main()
