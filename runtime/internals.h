// The one place that reads the interpreter's private layouts or makes its
// private calls: the runtime's fast paths. VELMORA_INTERNALS (a build option,
// on for the versions whose layouts were checked) chooses them; off, every
// routine here does the same on the public API alone, only slower. Core-only:
// module code never includes this header, and nothing else tests the switch.
#pragma once

#include <Python.h>

#include "runtime/internals_switch.h"
#include "runtime/python_compat.h"
#include "runtime/ref.h"

#if VELMORA_INTERNALS && (PY_VERSION_HEX < 0x03080000 || PY_VERSION_HEX >= 0x030E0000)
#error "the interpreter's internals are checked for CPython 3.8 to 3.13 only"
#endif

#if VELMORA_INTERNALS
// Exported by every version checked, without a public declaration from 3.13.
extern "C" PyObject* _Py_CheckFunctionResult(
#if RT_PY39
    PyThreadState* tstate,
#endif
    PyObject* callable, PyObject* result, const char* where);
#endif

namespace rt::internals {

inline constexpr bool kOn = VELMORA_INTERNALS != 0;

// The raised exception's class, borrowed; null when nothing is raised.
inline PyObject* RaisedType([[maybe_unused]] PyThreadState* tstate) noexcept {
#if VELMORA_INTERNALS && RT_PY312
  PyObject* exc = tstate->current_exception;
  return exc ? reinterpret_cast<PyObject*>(Py_TYPE(exc)) : nullptr;
#elif VELMORA_INTERNALS
  return tstate->curexc_type;
#else
  return PyErr_Occurred();
#endif
}

// A str's hash: the cached one where there is one.
inline Py_hash_t StrHash(PyObject* s) noexcept {
#if VELMORA_INTERNALS
  Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(s)->hash;
  if (hash != -1) return hash;
#endif
  return PyObject_Hash(s);
}

// What the runtime assumes of every name it is given: an exact str that is
// interned (compared by identity), with its hash cached where it can tell.
inline bool IsInternedName(PyObject* s) noexcept {
#if VELMORA_INTERNALS
  if (reinterpret_cast<PyASCIIObject*>(s)->hash == -1) return false;
#endif
  return PyUnicode_CheckExact(s) && PyUnicode_CHECK_INTERNED(s);
}

// Calls a callable's vectorcall entry without keywords, with the check the
// interpreter's own calls make of a null result.
inline PyObject* CallEntry(PyObject* callable, [[maybe_unused]] vectorcallfunc entry,
                           PyObject* const* args, size_t nargsf) noexcept {
#if VELMORA_INTERNALS
  PyObject* result = entry(callable, args, nargsf, nullptr);
  if (result) return result;
#if RT_PY39
  return _Py_CheckFunctionResult(PyThreadState_GetUnchecked(), callable, nullptr, nullptr);
#else
  return _Py_CheckFunctionResult(callable, nullptr, nullptr);
#endif
#else
  return PyObject_Vectorcall(callable, args, nargsf, nullptr);
#endif
}

// Stores under an interned name (Rt_IsInternedName).
int DictSetItemName(PyObject* dict, PyObject* key, PyObject* value) noexcept;

// --- traceback entries -------------------------------------------------------------

// Whether entry frames are kept for reuse (the frame's own layout tells when
// one is free again).
inline constexpr bool kReuseEntryFrames = VELMORA_INTERNALS && RT_PY311;
// Whether a frame made by PyFrame_New is held by the caller alone and unchanged.
bool EntryFrameIsUntouched(PyObject* frame) noexcept;
// Sets the line of a frame that never runs bytecode, where the frame keeps one.
void SetFrameLine(PyObject* frame, int line) noexcept;
// A code object's name, a new reference; empty, with the raised exception
// left as it was, when it cannot be read.
rt::Ref CodeName(PyObject* code) noexcept;

}  // namespace rt::internals
