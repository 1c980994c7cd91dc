"""Constant tables and code objects: what start-up builds before any body runs.

The handler modules' tables are reached through the objects that come from
them (code objects, function attributes, annotations); the test module hands
out its whole table; the generator is run on the handler lists directly.
"""
import importlib
import importlib.util
import inspect
import json
import os
import re
import shlex
import sys
import zlib

import pytest

from conftest import ROOT, needs_compiled

HOSTFACTS = "velmora.server.handlers.info.hostfacts"
GROUNDWORK = "velmora.server.handlers.pipeline_import.groundwork"
FIRST_INTERNED_SLOT = 9
SOURCE_PATH_SLOT = 1  # the test table's source path, the file name of its code objects


def is_interned(text):
    """True when `text` is the interpreter's interned str of its value. An
    equal fresh copy is interned: that returns `text` only if `text` is it."""
    assert len(text) > 1, "one-character str objects are shared singletons"
    fresh = (text + "x")[:-1]
    assert fresh is not text
    return sys.intern(fresh) is text


def load_generator():
    spec = importlib.util.spec_from_file_location("gen_constants", os.path.join(ROOT, "tools", "gen_constants.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def hostfacts():
    return importlib.import_module(HOSTFACTS)


@pytest.fixture(scope="module")
def groundwork():
    return importlib.import_module(GROUNDWORK)


CODE_FIELDS = {
    HOSTFACTS: dict(
        cls="ServerAppInfoHandler", method="_get_info", co_argcount=1, co_nlocals=6,
        co_varnames=("self", "status_code", "serverapp_info", "result", "cookie", "item"),
        co_filename="velmora/server/handlers/info/hostfacts.py"),
    GROUNDWORK: dict(
        cls="BasePipelineImportHandler", method="_finish_with_result", co_argcount=3, co_nlocals=3,
        co_varnames=("self", "status_code", "result"),
        co_filename="velmora/server/handlers/pipeline_import/groundwork.py"),
}


def method_of(name):
    fields = CODE_FIELDS[name]
    module = importlib.import_module(name)
    return getattr(module, fields["cls"]).__dict__[fields["method"]]


@pytest.mark.parametrize("name", [HOSTFACTS, GROUNDWORK], ids=["hostfacts", "groundwork"])
@needs_compiled
class TestCodeObject:
    def test_fields(self, name):
        fields = CODE_FIELDS[name]
        code = method_of(name).__code__
        assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (fields["co_argcount"], 0, 0)
        assert code.co_nlocals == fields["co_nlocals"]
        # From 3.13 the interpreter's constructor gives every code object a slot.
        assert code.co_stacksize == (1 if sys.version_info >= (3, 13) else 0)
        # CO_OPTIMIZED | CO_NEWLOCALS as made; through 3.10 the interpreter adds
        # CO_NOFREE to every code object without free or cell variables.
        nofree = inspect.CO_NOFREE if sys.version_info < (3, 11) else 0
        assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS | nofree
        assert code.co_code == b""
        if sys.version_info < (3, 15):
            assert code.co_lnotab == b""
        else:  # co_lnotab is gone
            assert list(code.co_lines()) == []
        assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()
        assert code.co_varnames == fields["co_varnames"]
        assert code.co_filename == fields["co_filename"]
        assert code.co_name == fields["method"]
        assert code.co_firstlineno == 26
        if sys.version_info >= (3, 11):  # the field exists from 3.11
            assert code.co_qualname == method_of(name).__qualname__

    def test_one_code_object_for_the_module_life(self, name):
        f = method_of(name)
        assert f.__code__ is f.__code__ is f.func_code

    def test_strings_come_from_the_table(self, name):
        f = method_of(name)
        code = f.__code__
        # Slots 9 and up are interned, slots 0 to 8 are not.
        assert is_interned(code.co_name)
        assert is_interned(f.__qualname__)
        assert is_interned(f.__module__)
        # From 3.13 the interpreter's code constructor interns the file name.
        assert is_interned(code.co_filename) is (sys.version_info >= (3, 13))
        for key in f.__annotations__:
            assert is_interned(key), key


def test_annotation_texts_keep_their_slots(hostfacts, groundwork):
    info = hostfacts.ServerAppInfoHandler.__dict__["_get_info"].__annotations__
    assert not is_interned(info["return"])  # slot 2
    finish = groundwork.BasePipelineImportHandler.__dict__["_finish_with_result"].__annotations__
    assert not is_interned(finish["result"])  # slot 3
    assert is_interned(finish["status_code"])  # slot 14
    assert is_interned(finish["return"])  # slot 15


@needs_compiled
def test_module_names_are_the_interned_constants(hostfacts, groundwork):
    for module, cls in ((hostfacts, "ServerAppInfoHandler"), (groundwork, "BasePipelineImportHandler")):
        stored = next(key for key in vars(module) if key == cls)
        assert is_interned(stored)
        assert is_interned(next(key for key in vars(module) if key == "__test__"))


@needs_compiled
class TestTestModuleTable:
    """The test module's table, whole: the interning rule can be checked slot by slot."""

    @pytest.fixture(scope="class")
    def table(self):
        import _rt_testmod

        return _rt_testmod.constant_table()

    @pytest.fixture(scope="class")
    def listed(self):
        _, slots = load_generator().parse(os.path.join(ROOT, "tests", "testmod", "constants.txt"))
        return slots

    def test_values_are_the_list(self, table, listed):
        import _rt_testmod

        str_count, slot_count = _rt_testmod.constant_layout()
        assert len(table) == slot_count == len(listed)
        assert str_count == slot_count - 1
        for value, (name, kind, encoded) in zip(table, listed):
            if kind == "str":
                assert type(value) is str and value.encode("utf-8") == encoded, name
            else:
                assert type(value) is bytes and value == encoded, name
        assert type(table[-1]) is bytes and len(table[-1]) == len(listed[-1][2]) == 2

    def test_interning_is_by_slot_number(self, table):
        strs = [value for value in table if type(value) is str]
        assert len(strs) > FIRST_INTERNED_SLOT
        checked = 0
        for slot, value in enumerate(strs):
            if len(value) < 2:
                continue  # shared singletons either way
            if slot == SOURCE_PATH_SLOT and sys.version_info >= (3, 13):
                continue  # interned by the interpreter's code constructor from 3.13
            assert is_interned(value) is (slot >= FIRST_INTERNED_SLOT), (slot, value)
            checked += 1
        assert checked > FIRST_INTERNED_SLOT

    def test_the_table_hands_out_its_own_objects(self, table):
        import _rt_testmod

        again = _rt_testmod.constant_table()
        assert all(a is b for a, b in zip(table, again))


FIRST_NINE = {
    "hostfacts": ["; ", "Failed to get information.", "Tuple[HTTPStatus, Dict[str, Any]]", "=", ".", "?",
                  "velmora.server.handlers.info.groundwork", "velmora/server/handlers/info/hostfacts.py",
                  "velmora.server.misc"],
    "groundwork": [".", "Content-Length", "Content-Type", "Dict[str, Any]",
                   "Note that the compiled handlers are deliberately stricter than PEP-484 and reject subclasses "
                   "of builtin types: pass an exact dict instead.",
                   "?", "add_note", "application/json", "velmora/server/handlers/pipeline_import/groundwork.py"],
}
LISTS = {
    "hostfacts": ("server/handlers/info/hostfacts/constants.txt", HOSTFACTS),
    "groundwork": ("server/handlers/pipeline_import/groundwork/constants.txt", GROUNDWORK),
}


def generate(module, out_dir):
    load_generator().main(os.path.join(ROOT, LISTS[module][0]), str(out_dir))
    with open(os.path.join(str(out_dir), "constants.cpp")) as f:
        source = f.read()
    with open(os.path.join(str(out_dir), "constants.h")) as f:
        header = f.read()
    blob = bytes(int(b, 16) for b in re.search(r"kBlob\[\d+\] = \{([^}]*)\}", source).group(1).split(","))
    bits = int(re.search(r"unsigned char value : (\d+);", source).group(1))
    lengths = [int(n) for n in re.findall(r"\{(\d+)\}", re.search(r"kLengths\[\d+\] = \{(.*)\};", source).group(1))]
    counts = re.search(r"kConstantTable = \{kBlob, sizeof kBlob, (\d+), (\d+),", source).groups()
    slots = {m.group(1): int(m.group(2)) for m in re.finditer(r"constexpr int (\w+) = (\d+);", header)}
    return blob, bits, lengths, tuple(int(n) for n in counts), slots


@pytest.mark.parametrize("module, slot_count, bits, bytes_length, longest",
                         [("hostfacts", 59, 7, 105, 105), ("groundwork", 54, 8, 80, 138)])
@needs_compiled
def test_generated_handler_table(tmp_path, module, slot_count, bits, bytes_length, longest):
    blob, got_bits, lengths, counts, slots = generate(module, tmp_path)
    assert counts == (slot_count, slot_count - 1)
    assert slots["kCount"] == slot_count == len(lengths)
    assert blob[:2] == b"\x78\xda"
    data = zlib.decompress(blob)
    assert len(data) == sum(lengths)
    assert lengths[-1] == bytes_length
    # Length fields are just wide enough for the longest entry.
    assert max(lengths) == longest and got_bits == bits
    assert 1 << (bits - 1) <= longest < 1 << bits
    values, offset = [], 0
    for length in lengths[:-1]:
        values.append(data[offset:offset + length].decode("utf-8"))
        offset += length
    assert values[:FIRST_INTERNED_SLOT] == FIRST_NINE[module]
    assert len(set(values)) == len(values)
    # The running module's objects are these entries.
    f = method_of(LISTS[module][1])
    assert values[slots["kSourcePath"]] == f.__code__.co_filename
    assert f.__qualname__ in values[FIRST_INTERNED_SLOT:]
    assert f.__module__ in values[FIRST_INTERNED_SLOT:]
    assert all(name in values[FIRST_INTERNED_SLOT:] for name in f.__code__.co_varnames)


# --- the lists checked against the modules' Python source ---------------------------

HOSTFACTS_PY = "velmora/server/handlers/info/hostfacts.py"
HOSTFACTS_LINES = {"kImportHttp": 17, "kImportTyping": 18, "kImportMisc": 20, "kImportBase": 21, "kClass": 24,
                   "kDef": 26, "kStatusOk": 27, "kTry": 29, "kFacts": 30, "kFactsDict": 31, "kCookieText": 33,
                   "kStoreCookie": 34, "kExcept": 35, "kStatusError": 36, "kFailedResult": 37, "kReturn": 39}


def generate_from(tmp_path, edit, generator=None):
    """Runs the generator on the hostfacts list against an edited copy of its
    .py; the emitted source lines, and the compressed table."""
    with open(os.path.join(ROOT, HOSTFACTS_PY), encoding="utf-8") as f:
        text = f.read()
    copy = tmp_path / "root" / HOSTFACTS_PY
    copy.parent.mkdir(parents=True)
    copy.write_text(edit(text), encoding="utf-8")
    generator = generator or load_generator()
    generator.ROOT = str(tmp_path / "root")
    out = tmp_path / "out"
    generator.main(os.path.join(ROOT, LISTS["hostfacts"][0]), str(out))
    header = (out / "constants.h").read_text()
    lines = re.search(r"namespace lines \{(.*?)\}", header, re.S).group(1)
    return ({m.group(1): int(m.group(2)) for m in re.finditer(r"constexpr int (\w+) = (\d+);", lines)},
            (out / "constants.cpp").read_text())


def shifted(after, by):
    return {name: line + by if line > after else line for name, line in HOSTFACTS_LINES.items()}


@pytest.mark.parametrize("edit, lines", [
    (lambda s: s, HOSTFACTS_LINES),
    # A moved statement is followed: the lines below it move with it.
    (lambda s: s.replace("\n\nclass ServerAppInfoHandler", "\n\n# a comment\nclass ServerAppInfoHandler"),
     shifted(21, 1)),
    (lambda s: s.replace("        return status_code, result", "\n        return status_code, result"),
     shifted(38, 1)),
    (lambda s: s.replace("\n\nfrom http import HTTPStatus", "from http import HTTPStatus"), shifted(0, -2)),
], ids=["as shipped", "class moved down", "return moved down", "everything moved up"])
def test_source_lines_follow_the_source(tmp_path, edit, lines):
    got, table = generate_from(tmp_path, edit)
    assert got == lines
    # The location table moves with the method: its bytes are line differences.
    _, shipped = generate_from(tmp_path / "shipped", lambda s: s)
    assert table == shipped


@pytest.mark.parametrize("edit, message", [
    (lambda s: s.replace("HTTPStatus.OK", "HTTPStatus.ACCEPTED"), "slot kOK: 'OK' is not a name of the source"),
    (lambda s: s.replace('"Failed to get information."', '"Failed."'),
     "slot kFailedMessage: 'Failed to get information.' is not a literal of the source"),
    (lambda s: s.replace("from ...misc import", "from ..misc import"),
     "slot kMiscModule: 'velmora.server.misc' is not a import of the source"),
    (lambda s: s.replace("def _get_info(", "def get_info("),
     "ServerAppInfoHandler._get_info is not defined in the source"),
    (lambda s: s.replace("        return status_code, result", "        return status_code, result\n" * 2),
     "kReturn: 2 statements start with 'return status_code, result'; one must"),
    (lambda s: s.replace("        return status_code, result", "        return (status_code, result)"),
     "kReturn: 0 statements start with"),
    # Only statements count, not a comment that starts the same.
    (lambda s: s.replace("        except Exception:", "        # except Exception: all\n        except BaseException:"),
     "kExcept: 0 statements start with 'except Exception:'"),
    (lambda s: s.replace("        try:", "        if True:"), "hostfacts.py): line "),
], ids=["renamed attribute", "changed text", "changed import", "renamed method", "repeated statement",
        "rewritten statement", "commented out", "not Python"])
def test_a_source_the_list_does_not_match_fails_the_build(tmp_path, edit, message):
    generator = load_generator()
    with pytest.raises(generator.ListError) as e:
        generate_from(tmp_path, edit, generator)
    assert message in str(e.value)
    assert "checked against " + HOSTFACTS_PY in str(e.value)


def test_a_missing_source_fails_the_build(tmp_path):
    generator = load_generator()
    generator.ROOT = str(tmp_path)
    with pytest.raises(generator.ListError, match="No such file"):
        generator.main(os.path.join(ROOT, LISTS["hostfacts"][0]), str(tmp_path / "out"))


@pytest.mark.parametrize("module", ["hostfacts", "groundwork"])
@needs_compiled
def test_reported_lines_are_the_sources_statements(module):
    # The lines the compiled module reports hold the statements the list names.
    list_path, name = LISTS[module]
    _, _, _, tags, lines = load_generator().parse_list(os.path.join(ROOT, list_path))
    with open(os.path.join(ROOT, *name.split(".")) + ".py", encoding="utf-8") as f:
        source = f.read().splitlines()
    with open(os.path.join(ROOT, list_path), encoding="utf-8") as f:
        wanted = {w[1]: json.loads(w[2]) for w in (shlex.split(l, posix=False) for l in f if l.startswith("line "))}
    assert [n for n, _ in lines] == list(wanted)
    for item, line in lines:
        assert source[line - 1].strip().startswith(wanted[item]), item
    assert method_of(name).__code__.co_firstlineno == dict(lines)["kDef"]
