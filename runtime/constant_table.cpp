// Builds a module's constants from its compressed block: decompress once,
// decode, intern and hash every entry.
#include "runtime/constant_table.h"

#include <cstring>

#include "runtime/module_state.h"

// Strict UTF-8 decoding; the entries are nearly all ASCII, which is copied
// into a str of the exact size without the general decoder's writer. Empty
// and one-character texts keep the decoder's shared objects.
static PyObject* DecodeText(const char* bytes, Py_ssize_t length) noexcept {
  unsigned char high = 0;
  for (Py_ssize_t i = 0; i < length; ++i) high |= static_cast<unsigned char>(bytes[i]);
  if (high >= 0x80 || length < 2) return PyUnicode_DecodeUTF8(bytes, length, nullptr);
  PyObject* text = PyUnicode_New(length, 127);
  if (text) std::memcpy(PyUnicode_1BYTE_DATA(text), bytes, static_cast<size_t>(length));
  return text;
}

int Rt_InitConstants(ModuleState* state, const ConstantTableSpec* table) noexcept {
  state->constants = table->slots;
  PyObject* name = PyUnicode_FromString("decompress");
  if (!name) return -1;
  PyObject* zlib = PyImport_ImportModule("zlib");
  PyObject* decompress = zlib ? PyObject_GetAttr(zlib, name) : nullptr;
  if (!decompress) {
    PyErr_Format(PyExc_ImportError,
                 "Failed to import '%.20s.decompress' - cannot initialise module strings. String "
                 "compression was configured with the C macro 'CYTHON_COMPRESS_STRINGS=%d'.",
                 "zlib", 1);
    Py_XDECREF(zlib);
    Py_DECREF(name);
    return -1;
  }
  PyObject* view = PyMemoryView_FromMemory(
      reinterpret_cast<char*>(const_cast<unsigned char*>(table->blob)),
      static_cast<Py_ssize_t>(table->blob_size), PyBUF_READ);
  if (!view) {
    Py_DECREF(decompress);
    Py_DECREF(zlib);
    Py_DECREF(name);
    return -1;
  }
  PyObject* data = PyObject_CallFunctionObjArgs(decompress, view, nullptr);
  Py_DECREF(view);
  Py_DECREF(decompress);
  Py_DECREF(zlib);
  Py_DECREF(name);
  if (!data) return -1;

  // zlib.decompress can be replaced from Python: never read past what it gave.
  if (!PyBytes_Check(data)) {
    PyErr_SetString(PyExc_TypeError, "decompressed module strings are not bytes");
    Py_DECREF(data);
    return -1;
  }
  const char* bytes = PyBytes_AS_STRING(data);
  Py_ssize_t available = PyBytes_GET_SIZE(data), offset = 0;
  for (int slot = 0; slot < table->slot_count; ++slot) {
    Py_ssize_t length = static_cast<Py_ssize_t>(table->length_of(slot));
    if (length > available - offset) {
      PyErr_SetString(PyExc_ValueError, "decompressed module strings are truncated");
      Py_DECREF(data);
      return -1;
    }
    PyObject* value;
    if (slot < table->str_count) {
      value = DecodeText(bytes + offset, length);
      if (value && slot >= kFirstInternedSlot) {
        PyUnicode_InternInPlace(&value);
        // Interning gives up silently when the interned dict cannot grow.
        if (!PyUnicode_CHECK_INTERNED(value)) {
          Py_DECREF(value);
          value = PyErr_NoMemory();
        }
      }
    } else {
      value = PyBytes_FromStringAndSize(bytes + offset, length);
    }
    if (!value) {
      Py_DECREF(data);
      return -1;
    }
    Py_XSETREF(table->slots[slot], value);
    offset += length;
  }
  Py_DECREF(data);
  for (int slot = 0; slot < table->slot_count; ++slot)
    if (PyObject_Hash(table->slots[slot]) == -1) return -1;
  return 0;
}
