"""Prints the figures the README quotes: start-up time of each compiled module
and the cost of one call of each handler method, compiled against the
interpreted twins of the tests. Figures only; nothing here passes or fails.

    .venv/bin/python bench/run.py [--quick]
"""
import json
import os
import statistics
import subprocess
import sys
import timeit
import types

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

MODULES = ["velmora.server.handlers.info.hostfacts", "velmora.server.handlers.pipeline_import.groundwork"]


def import_self_times(module, runs):
    """Median of the module's own import time (its dependencies excluded),
    from -X importtime of fresh processes, in microseconds."""
    selves, totals = [], []
    for _ in range(runs):
        proc = subprocess.run([sys.executable, "-X", "importtime", "-c", "import " + module],
                              stderr=subprocess.PIPE, stdout=subprocess.DEVNULL, universal_newlines=True,
                              check=True)
        for line in proc.stderr.splitlines():
            parts = [p.strip() for p in line.split("|")]
            if len(parts) == 3 and parts[2] == module:
                selves.append(int(parts[0].split()[-1]))
                totals.append(int(parts[1]))
    return statistics.median(selves), statistics.median(totals)


class Cookie:
    __slots__ = ("key", "value")

    def __init__(self, key, value):
        self.key, self.value = key, value


class Facts:
    def dict(self):
        return {"version": "1", "python": "3.8"}


class Recorder:
    """The framework methods `_finish_with_result` calls, doing nothing."""

    def set_header(self, name, value):
        pass

    def set_status(self, status_code):
        pass

    def finish(self, chunk):
        pass


def per_call(module_pair, number):
    from http import HTTPStatus

    out = {}
    for label, (info_mod, gw_mod) in module_pair.items():
        info_mod.__dict__["JupyterServerAppInfo"] = Facts
        cookies = {k: Cookie(k, v) for k, v in (("_xsrf", "2|ab"), ("user", "ann"), ("n", 3))}
        # A request's cookies, without a request: the class attribute shadows the property.
        handler = object.__new__(type("H", (info_mod.ServerAppInfoHandler,), {"cookies": cookies}))
        get_info = handler._get_info
        finish = gw_mod.BasePipelineImportHandler._finish_with_result
        rec = Recorder()
        payload = {"name": "p", "nodes": [1, 2, 3]}
        best_get = min(timeit.repeat(get_info, number=number, repeat=5)) / number
        best_fin = min(timeit.repeat(lambda: finish(rec, HTTPStatus.CREATED, payload),
                                     number=number, repeat=5)) / number
        out[label] = (best_get * 1e9, best_fin * 1e9)
    return out


def main():
    quick = "--quick" in sys.argv
    runs = 5 if quick else 15
    number = 20_000 if quick else 200_000
    print("start-up (median of %d fresh processes, -X importtime):" % runs)
    for module in MODULES:
        own, total = import_self_times(module, runs)
        print("  %-52s own %6d us   with its imports %7d us" % (module, own, total))

    import velmora.server.handlers.info.hostfacts as hostfacts
    import velmora.server.handlers.pipeline_import.groundwork as groundwork
    from twins import groundwork as twin_groundwork
    from twins import hostfacts as twin_hostfacts

    figures = per_call({"compiled": (hostfacts, groundwork),
                        "interpreted twin": (twin_hostfacts, twin_groundwork)}, number)
    print("one call, best of 5 x %d (ns):" % number)
    print("  %-18s %12s %22s" % ("", "_get_info", "_finish_with_result"))
    for label, (g, f) in figures.items():
        print("  %-18s %12.0f %22.0f" % (label, g, f))
    c, t = figures["compiled"], figures["interpreted twin"]
    print("  speed-up           %11.2fx %21.2fx" % (t[0] / c[0], t[1] / c[1]))


if __name__ == "__main__":
    main()
