"""Puts a benchmark's printed table into docs/benchmarks.md, one section per
CPython version and measure, so that the tables there are never edited by hand.

A section sits between `<!-- bench: <version> <measure> -->` and
`<!-- /bench -->`. A new run of the same version and measure replaces its
section where it stands; a first run adds one in version order; the text
outside the sections is kept as written.
"""
import datetime
import io
import os
import platform
import re
import sys

DOCS_FILE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                         "docs", "benchmarks.md")
MEASURES = {"time": "time per call", "instructions": "instructions per call",
            "fastpaths": "instructions each fast path saves"}
END = "<!-- /bench -->"
SECTION = re.compile(r"^<!-- bench: (?P<key>[^>\n]*?) -->\n.*?^" + re.escape(END) + r"\n?",
                     re.M | re.S)
NEW_FILE = "# Benchmarks\n"


def section_key(version, measure):
    if measure not in MEASURES:
        raise ValueError("unknown measure %r" % measure)
    return "%s %s" % (version, measure)


def _order(key):
    # A key written by hand that does not parse sorts after every known one.
    version, _, measure = key.partition(" ")
    try:
        return (0, tuple(int(part) for part in version.split(".")), measure)
    except ValueError:
        return (1, (), key)


def render(version, measure, table, command, when, full_version):
    return ("<!-- bench: %s -->\n"
            "## CPython %s: %s\n\n"
            "%s UTC, CPython %s, `%s`\n\n"
            "```\n%s\n```\n"
            "%s\n") % (section_key(version, measure), version, MEASURES[measure],
                       when.strftime("%Y-%m-%d %H:%M"), full_version, command,
                       table.strip("\n"), END)


def replace_section(text, key, section):
    """`text` with the section of `key` replaced by `section`, or with
    `section` added among the others in version order (at the end of a file
    that has none)."""
    sections = list(SECTION.finditer(text))
    for match in sections:
        if match.group("key") == key:
            return text[:match.start()] + section + text[match.end():]
    for match in sections:
        if _order(match.group("key")) > _order(key):
            return text[:match.start()] + section + "\n" + text[match.start():]
    if sections:
        end = sections[-1].end()
        return text[:end] + "\n" + section + text[end:]
    return text.rstrip("\n") + "\n\n" + section


def write(measure, table, command, path=DOCS_FILE, when=None):
    """Writes the table of this interpreter's run into `path`."""
    version = "%d.%d" % sys.version_info[:2]
    when = when or datetime.datetime.now(datetime.timezone.utc)
    section = render(version, measure, table, command, when, platform.python_version())
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except FileNotFoundError:
        text = NEW_FILE
    text = replace_section(text, section_key(version, measure), section)
    temporary = path + ".tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(temporary, path)


def docs_argument(argv):
    """(path or None, the arguments without `--docs PATH`)."""
    if "--docs" not in argv:
        return None, list(argv)
    at = argv.index("--docs")
    if at + 1 >= len(argv):
        raise SystemExit("--docs needs a file name")
    return argv[at + 1], argv[:at] + argv[at + 2:]


class _Tee(io.TextIOBase):
    def __init__(self, stream):
        self.stream, self.kept = stream, io.StringIO()

    def write(self, text):
        self.kept.write(text)
        return self.stream.write(text)

    def flush(self):
        self.stream.flush()


class Recorder:
    """Prints as usual from its making on; with `--docs PATH` in argv,
    finish() also writes what was printed meanwhile into PATH."""

    def __init__(self, measure, script, argv):
        self.measure = measure
        self.path, rest = docs_argument(argv)
        self.command = " ".join(["bench/" + script] + rest)
        self.stdout, self.tee = sys.stdout, _Tee(sys.stdout)
        sys.stdout = self.tee

    def finish(self):
        sys.stdout = self.stdout
        if self.path is not None:
            write(self.measure, self.tee.kept.getvalue(), self.command, self.path)
            print("written into %s" % self.path)
