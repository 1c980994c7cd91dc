"""Runs make test's checks on every Python version it is given, a few at a time.

    tools/version_runs.py [--jobs N] [--checked "3.8 3.13"] 3.8 3.9 ...

Each version builds into its own folder and venv (build, .venv for 3.8;
build-3.X, .venv-3.X for the others) and runs `make test-version` there: the
C++ tests and the Python suite, which holds the allocation-failure sweeps and
the leak tests. 3.8 also runs make lint; the --checked versions also the
sanitizer run, and 3.8 among them valgrind. Each version writes its log into its build
folder; this prints one line per version as it ends (the log's tail when it
fails), and at the end which versions were tested and which skipped, and why.
A version whose interpreter or headers are missing is skipped, except 3.8.
"""
import argparse
import os
import re
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MAIN = "3.8"
TAIL_LINES = 40
# The lines of a log that sum up a step: pytest's last line and GoogleTest's.
SUMMARY = re.compile(r"^=*\s*(\d+ (passed|failed|error).*?)\s*=*$|^\[  PASSED  \] (\d+ tests?)")


def build_dir(version):
    return "build" if version == MAIN else "build-" + version


def asan_dir(version):
    return "build-asan" if version == MAIN else "build-asan-" + version


def find_interpreter(version):
    """(path, None) or (None, the reason it is missing)."""
    proc = subprocess.run([os.path.join(ROOT, "tools", "find_python.sh"), version], cwd=ROOT,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
    if proc.returncode == 0:
        return proc.stdout.strip(), None
    return None, (proc.stderr.strip().splitlines() or ["not found"])[0]


def full_version(python):
    return subprocess.run([python, "-c", "import platform; print(platform.python_version())"],
                          stdout=subprocess.PIPE, universal_newlines=True, check=True).stdout.strip()


def make_targets(version, checked):
    targets = ["test-version"]
    if version == MAIN:
        targets.insert(0, "lint")
    if version in checked:
        targets.append("test-asan")
        # memcheck on 3.8 only: later interpreters report errors of their own
        # (3.11.7: int.from_bytes of random bytes reads an unset digit, and
        # tracemalloc loses its tracebacks on stop), which would bury ours.
        if version == MAIN:
            targets.append("test-valgrind")
    return targets


def child_env(version):
    env = dict(os.environ)
    env.pop("MAKEFLAGS", None)
    env.pop("MFLAGS", None)
    # The tests that start other interpreters (Debian's Python for the real
    # Jupyter server, the source archive's build) run once, in the 3.8 suite;
    # each suite installs its own version with pip.
    env["VELMORA_MAIN_SUITE"] = "1" if version == MAIN else "0"
    env["VELMORA_PIP_VERSIONS"] = version
    return env


def summary(log_path):
    found = []
    with open(log_path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = SUMMARY.match(line.strip())
            if m:
                found.append(m.group(1) or "C++ " + m.group(3) + " passed")
    return "; ".join(found) or "no test summary in the log"


def tail(log_path):
    with open(log_path, encoding="utf-8", errors="replace") as f:
        lines = f.readlines()[-TAIL_LINES:]
    return "".join("    | " + line for line in lines)


def minutes(seconds):
    return "%dm%02ds" % divmod(int(seconds), 60)


class Run:
    def __init__(self, version, python, checked):
        self.version = version
        self.full = full_version(python)
        self.targets = make_targets(version, checked)
        self.log = os.path.join(build_dir(version), "make-test.log")
        self.ok = None
        self.seconds = self.cpu_seconds = 0.0

    def __call__(self, printer):
        start = time.monotonic()
        with open(os.path.join(ROOT, self.log), "w", encoding="utf-8") as log:
            # -k: a failing step does not hide what the later ones find.
            command = ["make", "-k", "--no-print-directory", "PYVER=" + self.version] + self.targets
            log.write("$ %s\n" % " ".join(command))
            log.flush()
            proc = subprocess.Popen(command, cwd=ROOT, env=child_env(self.version), stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=subprocess.STDOUT)
            # The processor time of the whole run as well: on a shared machine
            # it tells what the wall time would be on a quiet one.
            _, status, usage = os.wait4(proc.pid, 0)
            proc.returncode = os.waitstatus_to_exitcode(status) if hasattr(os, "waitstatus_to_exitcode") \
                else (os.WEXITSTATUS(status) if os.WIFEXITED(status) else -1)
        self.seconds = time.monotonic() - start
        self.cpu_seconds = usage.ru_utime + usage.ru_stime
        self.ok = proc.returncode == 0
        line = "%s  Python %-8s %s  (%s, processor %s; %s; log %s)" % (
            "PASS" if self.ok else "FAIL", self.full, summary(os.path.join(ROOT, self.log)),
            minutes(self.seconds), minutes(self.cpu_seconds), " ".join(self.targets), self.log)
        printer(line if self.ok else line + "\n" + tail(os.path.join(ROOT, self.log)))


def prepare(version, checked):
    """The venv and the build folders, made before any suite starts: the tests
    that compare the checkout's listing before and after a build must not see
    another version's folders appear meanwhile."""
    if version != MAIN:
        proc = subprocess.run([os.path.join(ROOT, "tools", "bootstrap.sh"), "--venv", version], cwd=ROOT,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True)
        if proc.returncode != 0:
            return proc.stdout.strip() or "tools/bootstrap.sh --venv %s failed" % version
    os.makedirs(os.path.join(ROOT, build_dir(version)), exist_ok=True)
    if version in checked:
        os.makedirs(os.path.join(ROOT, asan_dir(version)), exist_ok=True)
    return None


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--checked", default=MAIN, help="versions that also get the sanitizer run (3.8 among them also valgrind)")
    parser.add_argument("versions", nargs="+")
    args = parser.parse_args(argv)
    checked = set(args.checked.split())

    runs, skipped, failed = [], [], []
    for version in args.versions:
        python, reason = find_interpreter(version)
        if python is None:
            if version == MAIN:
                failed.append("%s (%s)" % (version, reason))
            else:
                skipped.append("%s (%s)" % (version, reason))
            continue
        problem = prepare(version, checked)
        if problem:
            failed.append(version)
            print("FAIL  Python %s: its venv could not be made:\n%s" % (version, problem), flush=True)
            continue
        runs.append(Run(version, python, checked))

    print("make test: %s, %d at a time (sanitizers on %s, valgrind on 3.8); one line each as it ends" % (
        ", ".join(r.version for r in runs), args.jobs, ", ".join(r.version for r in runs if r.version in checked)),
        flush=True)
    lock = threading.Lock()

    def printer(text):
        with lock:
            print(text, flush=True)

    # The longest runs first, so that the short ones fill the gaps at the end.
    pending = sorted(runs, key=lambda r: -len(r.targets))

    def worker():
        while True:
            with lock:
                if not pending:
                    return
                run = pending.pop(0)
            run(printer)

    start = time.monotonic()
    threads = [threading.Thread(target=worker) for _ in range(max(1, args.jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    failed += [r.version for r in runs if not r.ok]
    wall = time.monotonic() - start
    print("tested: %s" % (", ".join(r.full for r in runs if r.ok) or "none"))
    print("skipped: %s" % ("; ".join(skipped) or "none"))
    if failed:
        print("FAILED: %s" % ", ".join(failed))
    print("make test: %s for the versions' runs (processor time %s)" % (
        minutes(wall), minutes(sum(r.cpu_seconds for r in runs))), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
