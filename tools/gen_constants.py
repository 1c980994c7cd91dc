"""Generates a module's constant table from its plain list.

The list (constants.txt beside the module's sources) names every str constant in
slot order and ends with the location table of the module's method. This script
compresses the entries into one zlib stream and writes constants.h (slot numbers
by name, and the texts that code needs as C strings) and constants.cpp (the
stream, the bit-field lengths, the slot array). Each length field is just wide
enough for the longest entry.

List syntax, one item per line, '#' starts a comment:
  first_interned N           str slots from N on are interned at start-up
  str NAME "text" [TAG]      a str slot (the text is a JSON string); TAG is one of
                               module    the module's full name (also gives the
                                         start-up traceback name "init ...")
                               source    the Python source path tracebacks name
                               function  a function's qualified name: its
                                         traceback name is module + "." + it
                               unread    kept for the table's layout, never read
                                         (no slot name is emitted for it)
                               name      an identifier of the module's Python
                                         source (a name, attribute, parameter,
                                         keyword, import or definition)
                               import    the full name of a module it imports
                               literal   a str literal of it (annotations and
                                         f-string parts included)
  line NAME "text"           the line of the one statement of the Python source
                             whose first line starts with `text` (indentation
                             aside): emitted as lines::NAME
  bytes NAME locations first_line=L size=S
  loc LINE START_COL END_COL UNITS   one location entry of the bytes slot above

A list with `line` items is checked against the module's Python source, the
file the `source` slot names (relative to the checkout): the module slot is its
dotted name, each function slot a qualified name defined in it, each tagged
text found in it, and the location table, moved to the function's line,
lies within its lines.
A failed check stops the build; a moved statement renumbers what is emitted.
"""
import ast
import json
import os
import shlex
import sys
import zlib


class ListError(Exception):
    pass


def varint(value):
    out = bytearray()
    while value >= 0x40:
        out.append(0x40 | (value & 0x3F))
        value >>= 6
    out.append(value)
    return out


def svarint(value):
    return varint((-value << 1) | 1 if value < 0 else value << 1)


def encode_locations(first_line, entries):
    """Encodes (line, start_col, end_col, units) in the location-table format of
    the interpreters from 3.11 on: a header byte 0x80 | code << 3 | (units - 1),
    then the line delta and columns in the most compact form that holds them."""
    out = bytearray()
    previous = first_line
    for line, start, end, units in entries:
        while units > 0:
            n = min(units, 8)
            units -= n
            delta = line - previous
            if delta == 0 and start < 80 and 0 <= end - start < 16:
                out.append(0x80 | (start // 8) << 3 | (n - 1))
                out.append((start % 8) << 4 | (end - start))
            elif 0 <= delta < 3 and start < 128 and end < 128:
                out.append(0x80 | (10 + delta) << 3 | (n - 1))
                out += bytes((start, end))
            else:
                out.append(0x80 | 14 << 3 | (n - 1))
                out += svarint(delta) + varint(0) + varint(start + 1) + varint(end + 1)
            previous = line
    return bytes(out)


TAGS = ("module", "source", "function", "unread", "name", "import", "literal")


def parse(path):
    """The length width and the slots (name, kind, bytes) of a list."""
    bits, slots, _, _, _ = parse_list(path)
    return bits, slots


def parse_list(path):
    first_interned = None
    tags = {}  # slot name -> tag
    slots = []  # (name, kind, bytes)
    pending = None  # [name, first_line, size, entries] of the bytes slot
    lines = []  # (name, statement text, list line number)
    with open(path, encoding="utf-8") as f:
        for number, raw in enumerate(f, 1):
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            try:
                words = shlex.split(line, comments=True, posix=False)
                head = words[0]
                if head == "first_interned":
                    first_interned = int(words[1])
                elif head == "str":
                    if pending:
                        raise ListError("str slots come before the bytes slot")
                    if len(words) > 4 or (len(words) == 4 and words[3] not in TAGS):
                        raise ListError("a str slot takes one tag of %s" % ", ".join(TAGS))
                    if len(words) == 4:
                        tags[words[1]] = words[3]
                    slots.append((words[1], "str", json.loads(words[2]).encode("utf-8")))
                elif head == "line":
                    if len(words) != 3:
                        raise ListError("a line item is: line NAME \"statement text\"")
                    lines.append((words[1], json.loads(words[2]), number))
                elif head == "bytes":
                    opts = dict(w.split("=", 1) for w in words[3:])
                    pending = [words[1], int(opts["first_line"]), int(opts["size"]), []]
                elif head == "loc":
                    if not pending:
                        raise ListError("loc outside a bytes slot")
                    pending[3].append(tuple(int(w) for w in words[1:5]))
                else:
                    raise ListError("unknown item %r" % head)
            except (IndexError, ValueError, KeyError) as e:
                raise ListError("%s:%d: %s" % (path, number, e))
    if first_interned is None or pending is None:
        raise ListError("%s: needs first_interned and a bytes slot" % path)
    for tag in ("module", "source"):
        if list(tags.values()).count(tag) > 1:
            raise ListError("%s: more than one slot tagged %s" % (path, tag))
    name, first_line, size, entries = pending
    if lines:
        lines, first_line, entries = check_source(path, slots, tags, lines, first_line, entries)
    table = encode_locations(first_line, entries)
    if len(table) != size:
        raise ListError("%s: location table is %d bytes, the list says %d" % (path, len(table), size))
    slots.append((name, "bytes", table))
    bits = max(len(value) for _, _, value in slots).bit_length()
    if bits > 16:
        raise ListError("%s: an entry is longer than 65535 bytes" % path)
    return bits, slots, first_interned, tags, lines


ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class SourceFacts(ast.NodeVisitor):
    """What a module's Python source holds that its compiled code may name."""

    def __init__(self, module_name):
        self.package = module_name.rpartition(".")[0]
        self.identifiers, self.imports, self.literals = set(), set(), set()
        self.functions = {}  # qualified name -> FunctionDef
        self.statements = []  # nodes that own a line: statements and except clauses
        self.scope = []

    def generic_visit(self, node):
        if isinstance(node, (ast.stmt, ast.ExceptHandler)):
            self.statements.append(node)
        for field in ("id", "attr", "arg", "name"):
            value = getattr(node, field, None)
            if isinstance(value, str):
                self.identifiers.add(value)
        if isinstance(node, ast.Constant) and isinstance(node.value, str):
            self.literals.add(node.value)
        if isinstance(node, ast.Import):
            self.imports.update(alias.name for alias in node.names)
        if isinstance(node, ast.ImportFrom):
            base = self.package.split(".")[:len(self.package.split(".")) - node.level + 1] if node.level else []
            self.imports.add(".".join(base + ([node.module] if node.module else [])))
            if node.module:
                self.identifiers.update(node.module.split("."))
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef, ast.ClassDef)):
            self.scope.append(node.name)
            if not isinstance(node, ast.ClassDef):
                self.functions[".".join(self.scope)] = node
            super().generic_visit(node)
            self.scope.pop()
        else:
            super().generic_visit(node)


def check_source(list_path, slots, tags, lines, first_line, entries):
    """Checks the list against the module's Python source: the lines of the
    `line` items, as (name, line number), and the location table's first line
    and entries, moved to where the function is."""
    by_tag = {tags[name]: value.decode("utf-8") for name, _, value in slots if name in tags}
    if "source" not in by_tag or "module" not in by_tag:
        raise ListError("%s: line items need the source and module slots" % list_path)
    source_path, module_name = by_tag["source"], by_tag["module"]
    where = "%s (checked against %s)" % (list_path, source_path)
    if source_path[:-3].replace("/", ".") != module_name or not source_path.endswith(".py"):
        raise ListError("%s: the source path is not the file of module %s" % (where, module_name))
    try:
        with open(os.path.join(ROOT, source_path), encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise ListError("%s: %s" % (where, e))
    source_lines = text.splitlines()
    facts = SourceFacts(module_name)
    try:
        facts.visit(ast.parse(text, source_path))
    except SyntaxError as e:
        raise ListError("%s: line %s: %s" % (where, e.lineno, e.msg))
    found = {"name": facts.identifiers, "import": facts.imports, "literal": facts.literals}
    functions = []
    for name, _, value in slots:
        tag, value = tags.get(name), value.decode("utf-8")
        if tag == "function":
            if value not in facts.functions:
                raise ListError("%s: %s is not defined in the source" % (where, value))
            functions.append(facts.functions[value])
        elif tag in found and value not in found[tag]:
            raise ListError("%s: slot %s: %r is not a %s of the source" % (where, name, value, tag))
    numbers = []
    for name, wanted, list_line in lines:
        at = sorted({node.lineno for node in facts.statements
                     if source_lines[node.lineno - 1].strip().startswith(wanted)})
        if len(at) != 1:
            raise ListError("%s:%d: %s: %d statements start with %r; one must" % (
                where, list_line, name, len(at), wanted))
        numbers.append((name, at[0]))
    if functions:
        # The table follows the function where it moves: its bytes hold only
        # line differences, so they stay the same.
        function = functions[0]
        shift = function.lineno - first_line
        first_line, entries = function.lineno, [(line + shift,) + tuple(rest) for line, *rest in entries]
        last = max(getattr(node, "end_lineno", node.lineno) for node in ast.walk(function) if hasattr(node, "lineno"))
        outside = sorted({entry[0] for entry in entries if not function.lineno <= entry[0] <= last})
        if outside:
            raise ListError("%s: location entries on lines %s lie outside %s (lines %d-%d)" % (
                where, outside, function.name, function.lineno, last))
    return numbers, first_line, entries


def c_string(data):
    """A C string literal of an ASCII text."""
    text = data.decode("ascii")
    if any(c in text for c in '"\\') or not text.isprintable():
        raise ListError("%r cannot be written as a plain C string" % text)
    return '"%s"' % text


def texts(slots, tags):
    """The C strings that code needs of the tagged slots."""
    by_tag = {}
    for name, _, value in slots:
        if tags.get(name) in ("module", "source"):
            by_tag[tags[name]] = value
    out = []
    if "module" in by_tag:
        out.append("inline constexpr char kModuleName[] = %s;" % c_string(by_tag["module"]))
        out.append("inline constexpr char kInitName[] = %s;" % c_string(b"init " + by_tag["module"]))
    if "source" in by_tag:
        out.append("inline constexpr char kSourcePath[] = %s;" % c_string(by_tag["source"]))
    for name, _, value in slots:
        if tags.get(name) == "function":
            if "module" not in by_tag:
                raise ListError("a function slot needs the module slot")
            out.append("inline constexpr char %s[] = %s;  // traceback name"
                       % (name, c_string(by_tag["module"] + b"." + value)))
    return out


def c_bytes(data):
    return ",".join("0x%02x" % b for b in data)


def main(list_path, out_dir):
    bits, slots, first_interned, tags, lines = parse_list(list_path)
    stream = zlib.compress(b"".join(v for _, _, v in slots), 9)
    assert stream[:2] == b"\x78\xda"
    str_count = sum(1 for _, kind, _ in slots if kind == "str")
    os.makedirs(out_dir, exist_ok=True)
    source = os.path.relpath(list_path)
    header = ["// Generated from %s by tools/gen_constants.py; do not edit." % source,
              "#pragma once", "", '#include "runtime/constant_table.h"', "",
              "namespace slot {"]
    for i, (name, _, value) in enumerate(slots):
        if tags.get(name) == "unread":
            header.append("// %d: %s, unread" % (i, name))
        else:
            header.append("constexpr int %s = %d;" % (name, i))
    header += ["constexpr int kCount = %d;" % len(slots), "}  // namespace slot", "",
               "// str slots below this one stay plain; the rest are interned.",
               "constexpr int kFirstInternedSlot = %d;" % first_interned, ""]
    if lines:
        header += ["// Source lines of the statements the code reports, from the module's Python.",
                   "namespace lines {"] + ["constexpr int %s = %d;" % item for item in lines] + [
                   "}  // namespace lines", ""]
    text_lines = texts(slots, tags)
    if text_lines:
        header += ["// Texts of tagged slots, for code that needs them as C strings.",
                   "namespace text {"] + text_lines + ["}  // namespace text", ""]
    header += ["extern const ConstantTableSpec kConstantTable;",
               "// The table's slots; their addresses are constants for argument-name tables.",
               "extern PyObject* g_constant_slots[slot::kCount];", ""]
    body = ["// Generated from %s by tools/gen_constants.py; do not edit." % source,
            '#include "constants.h"', "", "namespace {",
            "const unsigned char kBlob[%d] = {%s};" % (len(stream), c_bytes(stream)),
            "struct Length { unsigned %s value : %d; };" % ("char" if bits <= 8 else "short", bits),
            "const Length kLengths[%d] = {%s};" % (len(slots), ",".join("{%d}" % len(v) for _, _, v in slots)),
            "unsigned LengthOf(int slot) { return kLengths[slot].value; }",
            "}  // namespace", "",
            "PyObject* g_constant_slots[%d];" % len(slots),
            "const ConstantTableSpec kConstantTable = {kBlob, sizeof kBlob, %d, %d, LengthOf, g_constant_slots, %d};"
            % (len(slots), str_count, first_interned), ""]
    for name, text in (("constants.h", header), ("constants.cpp", body)):
        path = os.path.join(out_dir, name)
        new = "\n".join(text)
        if not os.path.exists(path) or open(path).read() != new:
            with open(path, "w") as f:
                f.write(new)


if __name__ == "__main__":
    try:
        main(sys.argv[1], sys.argv[2])
    except ListError as e:
        sys.exit("gen_constants: %s" % e)
