// Builds a module's constants from its compressed block: decompress once,
// decode, intern and hash every entry.
#include "runtime/constant_table.h"

#include <cstring>

#include "runtime/module_state.h"
#include "runtime/ref.h"

namespace {

// Strict UTF-8 decoding; the entries are nearly all ASCII, which is copied
// into a str of the exact size without the general decoder's writer. Empty
// and one-character texts keep the decoder's shared objects.
rt::Ref DecodeText(const char* bytes, Py_ssize_t length) noexcept {
  unsigned char high = 0;
  for (Py_ssize_t i = 0; i < length; ++i) high |= static_cast<unsigned char>(bytes[i]);
  if (high >= 0x80 || length < 2)
    return rt::Ref::steal(PyUnicode_DecodeUTF8(bytes, length, nullptr));
  rt::Ref text = rt::Ref::steal(PyUnicode_New(length, 127));
  if (text) std::memcpy(PyUnicode_1BYTE_DATA(text.get()), bytes, static_cast<size_t>(length));
  return text;
}

// A str slot's object, interned from the table's first interned slot on.
rt::Ref MakeText(const char* bytes, Py_ssize_t length, bool intern) noexcept {
  rt::Ref value = DecodeText(bytes, length);
  if (!value || !intern) return value;
  PyUnicode_InternInPlace(value.out_in_place());
  // Interning gives up silently when the interned dict cannot grow.
  if (!PyUnicode_CHECK_INTERNED(value.get())) {
    value.reset();
    PyErr_NoMemory();
  }
  return value;
}

// The decompressed entries, through zlib.decompress as the module finds it.
rt::Ref Decompress(const ConstantTableSpec* table) noexcept {
  rt::Ref name = rt::Ref::steal(PyUnicode_FromString("decompress"));
  if (!name) return rt::Ref();
  rt::Ref zlib = rt::Ref::steal(PyImport_ImportModule("zlib"));
  rt::Ref decompress = zlib ? rt::Ref::steal(PyObject_GetAttr(zlib.get(), name.get())) : rt::Ref();
  if (!decompress) {
    PyErr_Format(PyExc_ImportError,
                 "Failed to import '%.20s.decompress' - cannot initialise module strings. String "
                 "compression was configured with the C macro 'VELMORA_COMPRESS_STRINGS=%d'.",
                 "zlib", 1);
    return rt::Ref();
  }
  rt::Ref view = rt::Ref::steal(
      PyMemoryView_FromMemory(reinterpret_cast<char*>(const_cast<unsigned char*>(table->blob)),
                              static_cast<Py_ssize_t>(table->blob_size), PyBUF_READ));
  if (!view) return rt::Ref();
  return rt::Ref::steal(PyObject_CallFunctionObjArgs(decompress.get(), view.get(), nullptr));
}

}  // namespace

int Rt_InitConstants(ModuleState* state, const ConstantTableSpec* table) noexcept {
  state->constants = table->slots;
  rt::Ref data = Decompress(table);
  if (!data) return -1;
  // zlib.decompress can be replaced from Python: never read past what it gave.
  if (!PyBytes_Check(data.get())) {
    PyErr_SetString(PyExc_TypeError, "decompressed module strings are not bytes");
    return -1;
  }
  const char* bytes = PyBytes_AS_STRING(data.get());
  Py_ssize_t available = PyBytes_GET_SIZE(data.get()), offset = 0;
  for (int slot = 0; slot < table->slot_count; ++slot) {
    Py_ssize_t length = static_cast<Py_ssize_t>(table->length_of(slot));
    if (length > available - offset) {
      PyErr_SetString(PyExc_ValueError, "decompressed module strings are truncated");
      return -1;
    }
    rt::Ref value = slot < table->str_count
                        ? MakeText(bytes + offset, length, slot >= table->first_interned_slot)
                        : rt::Ref::steal(PyBytes_FromStringAndSize(bytes + offset, length));
    if (!value) return -1;
    rt::SetField(&table->slots[slot], std::move(value));
    offset += length;
  }
  data.reset();
  for (int slot = 0; slot < table->slot_count; ++slot)
    if (PyObject_Hash(table->slots[slot]) == -1) return -1;
  return 0;
}
