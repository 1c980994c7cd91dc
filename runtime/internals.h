// The one place that reads the interpreter's private layouts or makes its
// private calls: the runtime's fast paths. VELMORA_INTERNALS (a build option,
// on for the versions whose layouts were checked) chooses them; off, every
// routine here does the same on the public API alone, only slower. Core-only:
// module code never includes this header, and nothing else tests the switch.
//
// Each fast path also has a switch of its own, for measuring what it saves
// (bench/fastpaths.py): the CMake list VELMORA_FAST_PATHS_OFF names those
// to leave out, and the generated header sets VELMORA_NO_<NAME> for each name
// below (CMake reads the names from the RT_FAST_ lines). Users have the one switch.
#pragma once

#include <Python.h>

#include "runtime/internals_switch.h"
#include "runtime/python_compat.h"
#include "runtime/ref.h"

#if VELMORA_INTERNALS && (PY_VERSION_HEX < 0x03080000 || PY_VERSION_HEX >= 0x030E0000)
#error "the interpreter's internals are checked for CPython 3.8 to 3.13 only"
#endif

// The raised exception's class read from the thread state.
#define RT_FAST_RAISED_TYPE (VELMORA_INTERNALS && !VELMORA_NO_RAISED_TYPE)
// A str's cached hash read in place (keyword matching).
#define RT_FAST_STR_HASH (VELMORA_INTERNALS && !VELMORA_NO_STR_HASH)
// A callable's vectorcall entry called without the dispatcher.
#define RT_FAST_CALL_ENTRY (VELMORA_INTERNALS && !VELMORA_NO_CALL_ENTRY)
// Class namespace stores under an interned name with its known hash (to 3.12).
#define RT_FAST_DICT_STORE (VELMORA_INTERNALS && !VELMORA_NO_DICT_STORE)
// The interpreter's method lookup, without a bound method (calls of methods).
#define RT_FAST_METHOD_LOOKUP (VELMORA_INTERNALS && !VELMORA_NO_METHOD_LOOKUP)
// A dict subclass's own values() walked in place (needs METHOD_LOOKUP).
#define RT_FAST_DICT_VALUES (RT_FAST_METHOD_LOOKUP && !VELMORA_NO_DICT_VALUES)
// Rt_GetMethod's generic lookup: type descriptor, then the instance dict.
#define RT_FAST_GET_METHOD (VELMORA_INTERNALS && !VELMORA_NO_GET_METHOD)
// The handled-exception entries read and written in place.
#define RT_FAST_EXC_ENTRIES (VELMORA_INTERNALS && !VELMORA_NO_EXC_ENTRIES)
// A list append into a spare slot.
#define RT_FAST_LIST_SPARE (VELMORA_INTERNALS && !VELMORA_NO_LIST_SPARE)
// Global reads cached per site under the module dict's version tag.
#define RT_FAST_GLOBAL_CACHE (VELMORA_INTERNALS && !VELMORA_NO_GLOBAL_CACHE)
// An attribute read that makes no AttributeError when it finds nothing.
#define RT_FAST_ATTR_NO_ERROR (VELMORA_INTERNALS && !VELMORA_NO_ATTR_NO_ERROR)
// Attribute reads cached per site under type version tags.
#define RT_FAST_ATTR_CACHE (VELMORA_INTERNALS && !VELMORA_NO_ATTR_CACHE)
// Class reads through a metatype's __getattr__ over type's read (needs ATTR_CACHE).
#define RT_FAST_CLASS_GETATTR (RT_FAST_ATTR_CACHE && !VELMORA_NO_CLASS_GETATTR)
// A cached property's getter called directly (needs ATTR_CACHE).
#define RT_FAST_PROPERTY_GETTER (RT_FAST_ATTR_CACHE && !VELMORA_NO_PROPERTY_GETTER)
// That getter, a Python function, entered without the dispatcher (needs PROPERTY_GETTER).
#define RT_FAST_GETTER_ENTRY (RT_FAST_PROPERTY_GETTER && !VELMORA_NO_GETTER_ENTRY)
// Traceback entries reuse the frame of the last one (from 3.11).
#define RT_FAST_ENTRY_FRAMES (VELMORA_INTERNALS && !VELMORA_NO_ENTRY_FRAMES)
// A traceback entry's frame line set in place (to 3.10).
#define RT_FAST_FRAME_LINE (VELMORA_INTERNALS && !VELMORA_NO_FRAME_LINE)
// A code object's name read in place (traceback entries).
#define RT_FAST_CODE_NAME (VELMORA_INTERNALS && !VELMORA_NO_CODE_NAME)

#if RT_FAST_CALL_ENTRY
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
#if RT_FAST_RAISED_TYPE && RT_PY312
  PyObject* exc = tstate->current_exception;
  return exc ? reinterpret_cast<PyObject*>(Py_TYPE(exc)) : nullptr;
#elif RT_FAST_RAISED_TYPE
  return tstate->curexc_type;
#else
  return PyErr_Occurred();
#endif
}

// A str's hash: the cached one where there is one.
inline Py_hash_t StrHash(PyObject* s) noexcept {
#if RT_FAST_STR_HASH
  Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(s)->hash;
  if (hash != -1) return hash;
#endif
  return PyObject_Hash(s);
}

// What the runtime assumes of every name it is given: an exact str that is
// interned (compared by identity), with its hash cached where it can tell.
inline bool IsInternedName(PyObject* s) noexcept {
#if RT_FAST_STR_HASH
  if (reinterpret_cast<PyASCIIObject*>(s)->hash == -1) return false;
#endif
  return PyUnicode_CheckExact(s) && PyUnicode_CHECK_INTERNED(s);
}

// Calls a callable's vectorcall entry without keywords, with the check the
// interpreter's own calls make of a null result.
inline PyObject* CallEntry(PyObject* callable, [[maybe_unused]] vectorcallfunc entry,
                           PyObject* const* args, size_t nargsf) noexcept {
#if RT_FAST_CALL_ENTRY
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
inline constexpr bool kReuseEntryFrames = RT_FAST_ENTRY_FRAMES && RT_PY311;
// Whether a frame made by PyFrame_New is held by the caller alone and unchanged.
bool EntryFrameIsUntouched(PyObject* frame) noexcept;
// Sets the line of a frame that never runs bytecode, where the frame keeps one.
void SetFrameLine(PyObject* frame, int line) noexcept;
// A code object's name, a new reference; empty, with the raised exception
// left as it was, when it cannot be read.
rt::Ref CodeName(PyObject* code) noexcept;

}  // namespace rt::internals
