// Private fields of CPython 3.8 that the runtime reads directly, one accessor each.
#pragma once

#include <Python.h>

#include <cstdint>

// The dict's version tag; changes on every modification of the dict.
inline uint64_t Rt_DictVersion(PyObject* dict) noexcept {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// A str's cached hash, -1 when not yet computed.
inline Py_hash_t Rt_StrCachedHash(PyObject* s) noexcept {
  return reinterpret_cast<PyASCIIObject*>(s)->hash;
}

// What the runtime assumes of every name it is given: an exact str that is
// interned (compared by identity) with its hash cached (passed to the
// known-hash dict calls as it is).
inline bool Rt_IsInternedName(PyObject* s) noexcept {
  return PyUnicode_CheckExact(s) && PyUnicode_CHECK_INTERNED(s) && Rt_StrCachedHash(s) != -1;
}

// The state bits of a str.
inline bool Rt_StrIsAscii(PyObject* s) noexcept {
  return reinterpret_cast<PyASCIIObject*>(s)->state.ascii;
}
inline bool Rt_StrIsReady(PyObject* s) noexcept {
  return reinterpret_cast<PyASCIIObject*>(s)->state.ready;
}
inline unsigned Rt_StrKind(PyObject* s) noexcept {
  return reinterpret_cast<PyASCIIObject*>(s)->state.kind;
}
// Character data: after the ASCII header for compact ASCII, after the compact
// header for other compact strings, behind the data pointer otherwise.
inline void* Rt_StrData(PyObject* s) noexcept {
  auto* a = reinterpret_cast<PyASCIIObject*>(s);
  if (a->state.compact) {
    if (a->state.ascii) return a + 1;
    return reinterpret_cast<PyCompactUnicodeObject*>(s) + 1;
  }
  return reinterpret_cast<PyUnicodeObject*>(s)->data.any;
}

// The interpreter's own method lookup, the one its method-call opcode uses:
// 1 with the type's function in *method (to be called with obj first), else
// 0 with the attribute in *method, or null with the interpreter's own
// AttributeError. *method must be null on entry: a failed lookup leaves it
// as it was. Exported by CPython 3.8 without a public declaration.
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
