// Building a constant table: decoding, the interning rule, hashing, and the
// failures of the decompression step. Runs on scratch slots, never on the
// table the embedded module uses.
#include <Python.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "constants.h"
#include "runtime/constant_table.h"
#include "runtime/module_state.h"

namespace {

constexpr char kZlibMessage[] =
    "Failed to import 'zlib.decompress' - cannot initialise module strings. String compression "
    "was configured with the C macro 'VELMORA_COMPRESS_STRINGS=1'.";

class ConstantTable : public testing::Test {
 protected:
  void SetUp() override {
    modules_ = PyImport_GetModuleDict();
    saved_zlib_ = PyDict_GetItemString(modules_, "zlib");
    Py_XINCREF(saved_zlib_);
    slots_.assign(kConstantTable.slot_count, nullptr);
    spec_ = kConstantTable;
    spec_.slots = slots_.data();
    state_ = ModuleState{};
  }
  void TearDown() override {
    PyErr_Clear();
    if (saved_zlib_) {
      PyDict_SetItemString(modules_, "zlib", saved_zlib_);
      Py_DECREF(saved_zlib_);
    } else {
      PyDict_DelItemString(modules_, "zlib");
      PyErr_Clear();
    }
    for (PyObject* value : slots_) Py_XDECREF(value);
  }
  // Runs `code` with sys, types and the real zlib at hand; it replaces
  // sys.modules['zlib'].
  void InstallZlib(const char* code) {
    std::string source = "import sys, types, zlib as real_zlib\n" + std::string(code);
    ASSERT_EQ(PyRun_SimpleString(source.c_str()), 0);
  }
  // Takes the pending exception: its exact type and its text.
  static std::pair<PyObject*, std::string> TakeError() {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    EXPECT_NE(type, nullptr);
    if (!type) return {nullptr, ""};
    PyErr_NormalizeException(&type, &value, &tb);
    PyObject* text = PyObject_Str(value);
    std::string message = text ? PyUnicode_AsUTF8(text) : "";
    Py_XDECREF(text);
    EXPECT_EQ(PyException_GetContext(value), nullptr);
    Py_DECREF(type);  // the exception types are immortal enough for comparing
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return {type, message};
  }

  ConstantTableSpec spec_{};
  ModuleState state_{};
  std::vector<PyObject*> slots_;

 private:
  PyObject* modules_ = nullptr;
  PyObject* saved_zlib_ = nullptr;
};

TEST_F(ConstantTable, BuildsEverySlotWithTheInterningRule) {
  ASSERT_EQ(Rt_InitConstants(&state_, &spec_), 0) << (PyErr_Print(), "");
  EXPECT_EQ(state_.constants, slots_.data());
  ASSERT_EQ(spec_.slot_count, slot::kCount);
  for (int i = 0; i < spec_.str_count; ++i) {
    PyObject* value = slots_[i];
    ASSERT_TRUE(value && PyUnicode_CheckExact(value)) << i;
    EXPECT_EQ(PyUnicode_Compare(value, g_constant_slots[i]), 0) << i;
    EXPECT_EQ(static_cast<unsigned>(PyUnicode_GET_LENGTH(value)), spec_.length_of(i)) << i;
    EXPECT_NE(reinterpret_cast<PyASCIIObject*>(value)->hash, -1) << i;  // hashed up front
    if (i >= kFirstInternedSlot) {
      EXPECT_TRUE(PyUnicode_CHECK_INTERNED(value)) << i;
      EXPECT_EQ(value, g_constant_slots[i]) << i;  // interning found the embedded table's object
    } else if (PyUnicode_GET_LENGTH(value) >
               1) {  // one-character str objects are shared singletons
      EXPECT_FALSE(PyUnicode_CHECK_INTERNED(value)) << i;
      EXPECT_NE(value, g_constant_slots[i]) << i;
    }
  }
  PyObject* bytes = slots_[spec_.slot_count - 1];
  ASSERT_TRUE(bytes && PyBytes_CheckExact(bytes));
  EXPECT_EQ(static_cast<unsigned>(PyBytes_GET_SIZE(bytes)), spec_.length_of(spec_.slot_count - 1));
  EXPECT_EQ(PyObject_RichCompareBool(bytes, g_constant_slots[spec_.slot_count - 1], Py_EQ), 1);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // still kept through 3.13
  EXPECT_NE(reinterpret_cast<PyBytesObject*>(bytes)->ob_shash, -1);
#pragma GCC diagnostic pop
}

TEST_F(ConstantTable, ZlibThatCannotBeImportedGivesTheImportError) {
  InstallZlib("sys.modules['zlib'] = None");
  EXPECT_EQ(Rt_InitConstants(&state_, &spec_), -1);
  auto [type, message] = TakeError();
  EXPECT_EQ(type, PyExc_ImportError);  // exactly, not the ModuleNotFoundError of the import
  EXPECT_EQ(message, kZlibMessage);
  for (PyObject* value : slots_) EXPECT_EQ(value, nullptr);
}

TEST_F(ConstantTable, ZlibWithoutDecompressGivesTheImportError) {
  InstallZlib("sys.modules['zlib'] = types.ModuleType('zlib')");
  EXPECT_EQ(Rt_InitConstants(&state_, &spec_), -1);
  auto [type, message] = TakeError();
  EXPECT_EQ(type, PyExc_ImportError);  // not the AttributeError of the lookup
  EXPECT_EQ(message, kZlibMessage);
}

TEST_F(ConstantTable, DecompressionErrorStands) {
  InstallZlib(
      "sys.modules['zlib'] = types.ModuleType('zlib')\n"
      "def _fail(data):\n"
      "    raise ValueError('stream of %d bytes refused' % len(data))\n"
      "sys.modules['zlib'].decompress = _fail");
  EXPECT_EQ(Rt_InitConstants(&state_, &spec_), -1);
  auto [type, message] = TakeError();
  EXPECT_EQ(type, PyExc_ValueError);
  EXPECT_EQ(message, "stream of " + std::to_string(kConstantTable.blob_size) + " bytes refused");
  for (PyObject* value : slots_) EXPECT_EQ(value, nullptr);
}

TEST_F(ConstantTable, ShortResultKeepsTheSlotsAlreadyFilled) {
  // The first two entries and nothing more.
  InstallZlib(
      "sys.modules['zlib'] = types.ModuleType('zlib')\n"
      "sys.modules['zlib'].decompress = lambda data: real_zlib.decompress(data)[:29]");
  ASSERT_EQ(spec_.length_of(0) + spec_.length_of(1), 29u);
  EXPECT_EQ(Rt_InitConstants(&state_, &spec_), -1);
  auto [type, message] = TakeError();
  EXPECT_EQ(type, PyExc_ValueError);
  EXPECT_EQ(message, "decompressed module strings are truncated");
  ASSERT_NE(slots_[1], nullptr);
  EXPECT_EQ(PyUnicode_Compare(slots_[1], g_constant_slots[1]), 0);
  for (int i = 2; i < spec_.slot_count; ++i) EXPECT_EQ(slots_[i], nullptr) << i;
}

TEST_F(ConstantTable, RebuildReplacesTheSlotsWithoutLeaking) {
  ASSERT_EQ(Rt_InitConstants(&state_, &spec_), 0);
  PyObject* plain = slots_[2];
  Py_INCREF(plain);
  Py_ssize_t refs = Py_REFCNT(plain);
  ASSERT_EQ(Rt_InitConstants(&state_, &spec_), 0);
  EXPECT_NE(slots_[2], plain);
  EXPECT_EQ(Py_REFCNT(plain), refs - 1);
  Py_DECREF(plain);
}

}  // namespace
