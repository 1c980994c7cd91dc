"""Prints the time table: one call of each handler method in every scenario of
bench/scenarios.py, compiled against the interpreted twin in the same process,
and the import of each module against the twin's cached byte-code import.
Figures only; nothing here passes or fails.

    .venv/bin/python bench/run.py [--quick] [--docs docs/benchmarks.md]

With --docs the table also replaces this version's section of that file
(`make bench` passes it).

Per call: best of 7 loops in each process, median of 5 fresh processes;
spread is (max - min) / median over those processes. Imports: median of 9
fresh processes, each with the module's dependencies already loaded; the
loader's floor is the import of a trivial extension module of the same
interpreter in the same kind of process, and "own" a module's import less it.
"""
import gc
import importlib
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import report  # noqa: E402
import scenarios  # noqa: E402


def calibrate(timer, seconds):
    number = 1
    while True:
        if timer.timeit(number) >= seconds / 4:
            return max(1, int(number * 4))
        number *= 4


def child_times(repeats, seconds):
    """One fresh process: {scenario: {variant: best ns per call}}."""
    out = {}
    for sc, names in scenarios.statements():
        timers = {v: timeit.Timer(sc.stmt, globals=dict(ns)) for v, ns in names.items()}
        number = calibrate(timers["twin"], seconds)
        best = {v: float("inf") for v in timers}
        for _ in range(repeats):
            for v, t in timers.items():
                best[v] = min(best[v], t.timeit(number) / number * 1e9)
        out[sc.name] = best
    return out


def child_import(name, folder, helpers):
    """Microseconds for importing `name` once its dependencies are loaded."""
    scenarios.prepare_import(name, folder, helpers)
    load = scenarios.importer(name)
    gc.collect()  # no collection left pending by the dependencies' imports
    t0 = time.perf_counter()
    load(name)
    return (time.perf_counter() - t0) * 1e6


def child_floor(name, folder, helpers):
    """[module, microseconds] for importing a trivial extension module in a
    process prepared as for importing `name`."""
    scenarios.prepare_import(name, folder, helpers)
    module = scenarios.floor_module()
    gc.collect()
    t0 = time.perf_counter()
    importlib.import_module(module)
    return [module, (time.perf_counter() - t0) * 1e6]


def run_child(args, env=None):
    proc = subprocess.run([sys.executable, os.path.abspath(__file__)] + args, check=True,
                          stdout=subprocess.PIPE, universal_newlines=True, env=env,
                          cwd=scenarios.ROOT)
    return json.loads(proc.stdout.splitlines()[-1])


def spread(values):
    m = statistics.median(values)
    return (max(values) - min(values)) / m * 100 if m else 0.0


def time_table(processes, repeats, seconds):
    runs = [run_child(["--child-times", str(repeats), str(seconds)]) for _ in range(processes)]
    print("one call, ns (best of %d loops, median of %d fresh processes; "
          "floor: the loop with a no-op callee)" % (repeats, processes))
    head = "  %-48s %9s %9s %7s %8s %8s %8s"
    print(head % ("scenario", "compiled", "twin", "floor", "c/twin", "net c/t", "spread"))
    for sc in scenarios.SCENARIOS:
        med = {v: statistics.median(r[sc.name][v] for r in runs) for v in scenarios.VARIANTS}
        spr = max(spread([r[sc.name][v] for r in runs]) for v in ("compiled", "twin"))
        net_twin = med["twin"] - med["floor"]
        net = (med["compiled"] - med["floor"]) / net_twin if net_twin > 0 else float("nan")
        print("  %-48s %9.0f %9.0f %7.0f %8.2f %8.2f %7.1f%%" % (
            sc.name, med["compiled"], med["twin"], med["floor"], med["compiled"] / med["twin"],
            net, spr))


def import_table(processes):
    rows = []
    with tempfile.TemporaryDirectory() as cache:
        env = dict(os.environ, PYTHONPYCACHEPREFIX=cache)
        env.pop("PYTHONDONTWRITEBYTECODE", None)
        for label, compiled, twin in scenarios.import_targets():
            compiled_args, twin_args = ["--child-import"] + compiled, ["--child-import"] + twin
            floor_args = ["--child-floor"] + compiled
            run_child(twin_args, env)  # writes the byte-code cache the measured imports read
            times = {"compiled": [], "twin": [], "floor": []}
            for _ in range(processes):
                times["compiled"].append(run_child(compiled_args, env))
                times["twin"].append(run_child(twin_args, env))
                floor_module, floor = run_child(floor_args, env)
                times["floor"].append(floor)
            rows.append((label, times))
    print("import, us (dependencies loaded; median of %d fresh processes; twin from its .pyc; "
          "floor: the import of %s, an extension module of the interpreter's own; own: compiled - floor)"
          % (processes, floor_module))
    print("  %-48s %9s %9s %7s %7s %8s %8s %8s" % (
        "module", "compiled", "twin", "floor", "own", "c/twin", "own/twin", "spread"))
    for name, times in rows:
        c, t, f = (statistics.median(times[k]) for k in ("compiled", "twin", "floor"))
        print("  %-48s %9.0f %9.0f %7.0f %7.0f %7.2fx %7.2fx %7.1f%%" % (
            "import of " + name, c, t, f, c - f, c / t, (c - f) / t,
            max(spread(times["compiled"]), spread(times["twin"]))))


def main():
    if sys.argv[1:2] == ["--child-times"]:
        print(json.dumps(child_times(int(sys.argv[2]), float(sys.argv[3]))))
        return
    if sys.argv[1:2] == ["--child-floor"]:
        print(json.dumps(child_floor(sys.argv[2], sys.argv[3], json.loads(sys.argv[4]))))
        return
    if sys.argv[1:2] == ["--child-import"]:
        print(json.dumps(child_import(sys.argv[2], sys.argv[3], json.loads(sys.argv[4]))))
        return
    quick = "--quick" in sys.argv
    print("CPython %s" % platform.python_version())
    scenarios.check_same_answers()
    record = report.Recorder("time", "run.py", sys.argv[1:])
    if quick:
        time_table(processes=1, repeats=2, seconds=0.002)
        import_table(processes=1)
    else:
        time_table(processes=5, repeats=7, seconds=0.02)
        import_table(processes=9)
    record.finish()


if __name__ == "__main__":
    main()
