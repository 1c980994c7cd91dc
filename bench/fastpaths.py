"""What each fast path of the runtime saves, in callgrind instructions per
call: the modules built with every fast path, and again without each one in
turn (the CMake list VELMORA_FAST_PATHS_OFF), each build in a folder and a
staged package of its own, and bench/ir.py run on every build.

    .nox/tests-3-8/bin/python bench/fastpaths.py [--only NAME ...] [--imports NAME ...]
                                                [--docs docs/benchmarks.md]

Run it in the environment of the version to measure (`make bench-fastpaths`
does, for each version of BENCH_VERSIONS). The fast paths are the RT_FAST_
lines of runtime/internals.h; a path whose line says "(to 3.X)" or
"(from 3.X)" is measured only there. Leaving a path out leaves out its parts
too (the paths whose lines name it). --imports also counts the modules'
imports, for the builds of the paths named (for a path that serves the
class statements run at import). The builds stay in build-fastpaths-3.X/
and are reused, and so are their figures while their modules are unchanged.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import report  # noqa: E402
import scenarios  # noqa: E402

ROOT = scenarios.ROOT
INTERNALS_H = os.path.join(ROOT, "runtime", "internals.h")
FAST_LINE = re.compile(r"^// (?P<what>.*)\n#define RT_FAST_(?P<name>[A-Z_]+) \((?P<cond>[^)]*)\)", re.M)
# Below this share of the path on every scenario a fast path has not earned its place.
THRESHOLD = 2.0
# Smaller differences are builds of the same code differing (a few tenths of a percent at most).
NOISE = 0.3


def fast_paths(text=None):
    """[(name, description, parent or None, (lowest, highest) minor version)] in the header's order."""
    text = text if text is not None else open(INTERNALS_H, encoding="utf-8").read()
    out = []
    for m in FAST_LINE.finditer(text):
        parent = re.match(r"RT_FAST_([A-Z_]+) &&", m.group("cond"))
        low = re.search(r"\(from 3\.(\d+)\)", m.group("what"))
        high = re.search(r"\(to 3\.(\d+)\)", m.group("what"))
        out.append((m.group("name"), m.group("what"), parent.group(1) if parent else None,
                    (int(low.group(1)) if low else 0, int(high.group(1)) if high else 99)))
    return out


def base_python():
    """The interpreter this environment was made from: CMake builds against it."""
    return os.path.realpath(sys.executable)


def build(folder, off):
    """The two modules with the fast paths `off` left out, staged in folder/pkg."""
    args = ["cmake", "-S", ROOT, "-B", folder, "-G", "Ninja", "-DPython_EXECUTABLE=" + base_python(),
            "-DVELMORA_TESTS=OFF", "-DVELMORA_PKG_DIR=" + os.path.join(folder, "pkg"),
            "-DVELMORA_FAST_PATHS_OFF=" + ";".join(off)]
    if shutil.which("ccache"):
        # Most units come out the same in every build.
        args.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", folder, "-j2", "--target", "hostfacts", "groundwork"], check=True,
                   stdout=subprocess.DEVNULL)


def internals_built(folder):
    with open(os.path.join(folder, "generated", "config", "runtime", "internals_switch.h")) as f:
        return "#define VELMORA_INTERNALS 1" in f.read()


def measure(folder, imports, compiled_only=True):
    """bench/ir.py's figures for the modules staged in folder/pkg, kept in
    folder/ir.json while the modules stay as they were built."""
    pkg = os.path.join(folder, "pkg")
    kept = os.path.join(folder, "ir.json")
    modules = [os.path.join(root, f) for root, _, files in os.walk(pkg) for f in files if f.endswith(".so")]
    if os.path.exists(kept) and all(os.path.getmtime(m) < os.path.getmtime(kept) for m in modules):
        with open(kept) as f:
            figures = json.load(f)
        if figures["imports"] or not imports:
            return figures
    env = dict(os.environ, PYTHONPATH=pkg)
    where = subprocess.run([sys.executable, "-c", "import sys; sys.path.insert(1, %r); import scenarios; "
                            "print('\\n'.join(m.__file__ for m in scenarios.load_compiled()))"
                            % os.path.dirname(os.path.abspath(__file__))],
                           env=env, cwd=pkg, check=True, stdout=subprocess.PIPE, universal_newlines=True)
    if not all(line.startswith(pkg + os.sep) for line in where.stdout.split()):
        raise SystemExit("the modules measured are not those of %s:\n%s" % (pkg, where.stdout))
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "ir.json")
        args = [sys.executable, os.path.join(ROOT, "bench", "ir.py"), "--quick", "--json", out]
        if not imports:
            args.append("--no-import")
        if compiled_only:
            args.append("--compiled-only")
        subprocess.run(args, env=env, cwd=pkg, check=True, stdout=subprocess.DEVNULL)
        shutil.copy(out, kept)
        with open(out) as f:
            return json.load(f)


def rows_of(base, without):
    """(row name, saved, % of the path) per scenario and import: the path is
    the compiled side's count with the loop's floor taken off."""
    out = []
    for kind in ("calls", "imports"):
        for row, figures in base[kind].items():
            if row not in without.get(kind, {}):
                continue
            saved = without[kind][row]["compiled"] - figures["compiled"]
            path = figures["compiled"] - figures["floor"]
            out.append(("import of " + row if kind == "imports" else row, saved, 100.0 * saved / path))
    return out


def table(version, paths, base, results):
    lines = ["instructions each fast path saves per call (callgrind, bench/ir.py --quick): the build without",
             "it less the build with every fast path; % path: of the compiled count less the loop's floor.",
             "Scenarios it changes by under %.1f%% and 10 instructions are left out; verdict: earns its place" % NOISE,
             "when it saves at least %.0f%% on some scenario it serves." % THRESHOLD]
    lines.append("  %-16s %-48s %9s %8s" % ("fast path", "scenario", "saved", "% path"))
    for name, what, parent, _ in paths:
        if name not in results:
            lines.append("  %-16s (not on CPython %s)" % (name, version))
            continue
        rows = [r for r in rows_of(base, results[name]) if abs(r[2]) >= NOISE or abs(r[1]) >= 10]
        best = max((r[2] for r in rows), default=0.0)
        verdict = "earns its place" if best >= THRESHOLD else "under %.0f%%: goes" % THRESHOLD
        lines.append("  %-16s %s%s -- %s" % (name, what, " (part of %s)" % parent if parent else "", verdict))
        for row, saved, share in rows or [("(no scenario changes)", 0, 0.0)]:
            lines.append("  %-16s %-48s %9.0f %7.1f%%" % ("", row, saved, share))
    return "\n".join(lines)


def main():
    docs, argv = report.docs_argument(sys.argv[1:])
    only = set()
    imports = set()
    target = None
    for arg in argv:
        if arg in ("--only", "--imports"):
            target = only if arg == "--only" else imports
        elif target is not None:
            target.add(arg)
        else:
            raise SystemExit(__doc__)
    version = "%d.%d" % sys.version_info[:2]
    minor = sys.version_info[1]
    paths = fast_paths()
    unknown = (only | imports) - {p[0] for p in paths}
    if unknown:
        raise SystemExit("no fast path named %s; there are %s" % (sorted(unknown), [p[0] for p in paths]))
    record = report.Recorder("fastpaths", "fastpaths.py", sys.argv[1:])
    root = os.path.join(ROOT, "build-fastpaths-" + version)
    print("CPython %s" % version)
    base_dir = os.path.join(root, "all")
    build(base_dir, [])
    if not internals_built(base_dir):
        print("no fast paths on CPython %s: the interpreter's layouts are checked up to an older version, so "
              "the build uses the public API alone (VELMORA_INTERNALS off)" % version)
        record.finish()
        return
    measured = [p for p in paths if (not only or p[0] in only) and p[3][0] <= minor <= p[3][1]]
    base = measure(base_dir, bool(imports), compiled_only=False)  # the floor: what the path excludes
    results = {}
    for name, _, _, _ in measured:
        folder = os.path.join(root, "no-" + name.lower().replace("_", "-"))
        build(folder, [name])
        results[name] = measure(folder, name in imports)
        print("  measured without %s" % name, file=sys.stderr)
    shown = [p for p in paths if not only or p[0] in only]
    print(table(version, shown, base, results))
    record.finish()


if __name__ == "__main__":
    main()
