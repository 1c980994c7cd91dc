// Private fields of CPython 3.8 that the runtime reads directly, one accessor each.
#pragma once

#include <Python.h>
#include <frameobject.h>

#include <cstdint>
#include <utility>

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

// --- thread state -------------------------------------------------------------

// The raised exception's class, borrowed; null when nothing is raised.
inline PyObject* Rt_RaisedType(PyThreadState* tstate) noexcept { return tstate->curexc_type; }

// Takes the raised exception out of the thread state as it is (not
// normalised); the references pass to the caller.
inline void Rt_TakeRaised(PyThreadState* tstate, PyObject** type, PyObject** value,
                          PyObject** tb) noexcept {
  *type = tstate->curexc_type;
  *value = tstate->curexc_value;
  *tb = tstate->curexc_traceback;
  tstate->curexc_type = tstate->curexc_value = tstate->curexc_traceback = nullptr;
}

// The innermost handled-exception entry: a frame's or a generator's own.
inline _PyErr_StackItem* Rt_HandledEntry(PyThreadState* tstate) noexcept {
  return tstate->exc_info;
}

// The entry whose exception a new handler sees: the innermost that holds one,
// else the outermost.
inline _PyErr_StackItem* Rt_HandledEntryInEffect(PyThreadState* tstate) noexcept {
  _PyErr_StackItem* item = tstate->exc_info;
  while ((!item->exc_value || item->exc_value == Py_None) && item->previous_item)
    item = item->previous_item;
  return item;
}

// What an entry holds, borrowed (null where it holds nothing).
inline void Rt_EntryPeek(const _PyErr_StackItem* item, PyObject** type, PyObject** value,
                         PyObject** tb) noexcept {
  *type = item->exc_type;
  *value = item->exc_value;
  *tb = item->exc_traceback;
}

// Puts a triple into an entry and hands back what it held: each side's
// references pass to the other.
inline void Rt_EntryExchange(_PyErr_StackItem* item, PyObject** type, PyObject** value,
                             PyObject** tb) noexcept {
  std::swap(item->exc_type, *type);
  std::swap(item->exc_value, *value);
  std::swap(item->exc_traceback, *tb);
}

// The interpreter the thread runs in.
inline PyInterpreterState* Rt_InterpreterOf(PyThreadState* tstate) noexcept {
  return tstate->interp;
}

// --- objects --------------------------------------------------------------------

// Gives a new object another type; the caller settles the reference counts.
inline void Rt_SetObjectType(PyObject* obj, PyTypeObject* type) noexcept { Py_TYPE(obj) = type; }

// Appends to a list that has room without going through the resize path (the
// list takes a new reference to `x`); false when it has none.
inline bool Rt_ListPutInSpare(PyObject* list, PyObject* x) noexcept {
  auto* l = reinterpret_cast<PyListObject*>(list);
  Py_ssize_t size = Py_SIZE(l);
  if (l->allocated <= size) return false;
  Py_INCREF(x);
  PyList_SET_ITEM(list, size, x);
  Py_SIZE(l) = size + 1;
  return true;
}

// The vectorcall entry an object keeps, or null when its type has none.
inline vectorcallfunc Rt_VectorcallEntry(PyObject* callable) noexcept {
  PyTypeObject* type = Py_TYPE(callable);
  if (!PyType_HasFeature(type, _Py_TPFLAGS_HAVE_VECTORCALL)) return nullptr;
  return *reinterpret_cast<vectorcallfunc*>(reinterpret_cast<char*>(callable) +
                                            type->tp_vectorcall_offset);
}

// A code object's name, borrowed.
inline PyObject* Rt_CodeName(PyObject* code) noexcept {
  return reinterpret_cast<PyCodeObject*>(code)->co_name;
}

// A frame's current line, for frames that never run bytecode.
inline void Rt_SetFrameLine(PyFrameObject* frame, int line) noexcept { frame->f_lineno = line; }

// The interpreter's own method lookup, the one its method-call opcode uses:
// 1 with the type's function in *method (to be called with obj first), else
// 0 with the attribute in *method, or null with the interpreter's own
// AttributeError. *method must be null on entry: a failed lookup leaves it
// as it was. Exported by CPython 3.8 without a public declaration.
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
