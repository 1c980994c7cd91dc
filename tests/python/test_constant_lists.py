"""What the constant-table generator derives from a list: the length width,
the first interned slot, the texts of tagged slots, and no name for a slot
that is never read."""
import importlib.util
import os
import re

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def load_generator():
    spec = importlib.util.spec_from_file_location("gen_constants", os.path.join(ROOT, "tools", "gen_constants.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


GEN = load_generator()
TAIL = "bytes kLocationTable locations first_line=1 size=2\nloc 1 0 0 1\n"


def generate(tmp_path, body):
    path = tmp_path / "constants.txt"
    path.write_text(body + TAIL)
    GEN.main(str(path), str(tmp_path / "out"))
    return (tmp_path / "out" / "constants.h").read_text(), (tmp_path / "out" / "constants.cpp").read_text()


def test_tagged_slots_give_texts_and_unread_slots_no_name(tmp_path):
    header, source = generate(tmp_path, "\n".join([
        "first_interned 2",
        'str kDot "." unread',
        'str kSourcePath "pkg/mod.py" source',
        'str kModuleName "pkg.mod" module',
        'str kQualname "Cls.method" function',
        'str kSelf "self"',
        ""]))
    slots = dict(re.findall(r"constexpr int (\w+) = (\d+);", header))
    assert "kDot" not in slots and "// 0: kDot, unread" in header
    assert slots["kSourcePath"] == "1" and slots["kSelf"] == "4" and slots["kCount"] == "6"
    assert slots["kFirstInternedSlot"] == "2"
    texts = dict(re.findall(r'inline constexpr char (\w+)\[\] = "([^"]*)";', header))
    assert texts == {"kModuleName": "pkg.mod", "kInitName": "init pkg.mod", "kSourcePath": "pkg/mod.py",
                     "kQualname": "pkg.mod.Cls.method"}
    assert source.rstrip().endswith("LengthOf, g_constant_slots, 2};")


@pytest.mark.parametrize("longest, bits, field", [(3, 2, "char"), (127, 7, "char"), (128, 8, "char"),
                                                  (255, 8, "char"), (256, 9, "short")])
def test_length_width_is_just_enough_for_the_longest_entry(tmp_path, longest, bits, field):
    _, source = generate(tmp_path, 'first_interned 0\nstr kText "%s"\n' % ("x" * longest))
    assert "struct Length { unsigned %s value : %d; };" % (field, bits) in source


@pytest.mark.parametrize("body, message", [
    ('str kA "a" bogus\n', "one tag of"),
    ('first_interned 0\nstr kA "a" module\nstr kB "b" module\n', "more than one slot tagged module"),
    ('first_interned 0\nstr kA "a" function\n', "needs the module slot"),
    ('first_interned 0\nstr kA "a\\tb" source\n', "plain C string"),
    ('str kA "a"\n', "needs first_interned"),
])
def test_lists_the_generator_refuses(tmp_path, body, message):
    with pytest.raises(GEN.ListError, match=message):
        generate(tmp_path, body)
