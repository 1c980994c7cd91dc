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

#if VELMORA_INTERNALS && (PY_VERSION_HEX < 0x03080000 || PY_VERSION_HEX >= 0x03100000)
#error "the interpreter's internals are checked for CPython 3.8 to 3.15 only"
#endif

// The interpreter's method lookup, without a bound method (calls of methods).
#define RT_FAST_METHOD_LOOKUP (VELMORA_INTERNALS && !VELMORA_NO_METHOD_LOOKUP)
// A dict subclass's own values() walked in place (needs METHOD_LOOKUP).
#define RT_FAST_DICT_VALUES (RT_FAST_METHOD_LOOKUP && !VELMORA_NO_DICT_VALUES)
// A list append into a spare slot.
#define RT_FAST_LIST_SPARE (VELMORA_INTERNALS && !VELMORA_NO_LIST_SPARE)
// Global reads cached per site while the module dict is unchanged.
#define RT_FAST_GLOBAL_CACHE (VELMORA_INTERNALS && !VELMORA_NO_GLOBAL_CACHE)
// Attribute reads cached per site under type version tags.
#define RT_FAST_ATTR_CACHE (VELMORA_INTERNALS && !VELMORA_NO_ATTR_CACHE)
// Class reads through a metatype's __getattr__ over type's read (needs ATTR_CACHE).
#define RT_FAST_CLASS_GETATTR (RT_FAST_ATTR_CACHE && !VELMORA_NO_CLASS_GETATTR)
// Traceback entries reuse the frame of the last one (from 3.11).
#define RT_FAST_ENTRY_FRAMES (VELMORA_INTERNALS && !VELMORA_NO_ENTRY_FRAMES)
// A code object's name read in place (traceback entries).
#define RT_FAST_CODE_NAME (VELMORA_INTERNALS && !VELMORA_NO_CODE_NAME)
// A trivial property getter read in place when unwatched (needs ATTR_CACHE) (from 3.11).
#define RT_FAST_TRIVIAL_GETTER (RT_FAST_ATTR_CACHE && RT_PY311 && !VELMORA_NO_TRIVIAL_GETTER)

namespace rt::internals {

inline constexpr bool kOn = VELMORA_INTERNALS != 0;

// What the runtime assumes of every name it is given: an exact str that is
// interned (compared by identity).
inline bool IsInternedName(PyObject* s) noexcept {
  return PyUnicode_CheckExact(s) && PyUnicode_CHECK_INTERNED(s);
}

// --- module globals ----------------------------------------------------------------

// Whether a dict watcher tells the global reads when the module dict changed;
// otherwise its version tag does (gone from 3.14).
#define RT_WATCH_MODULE_DICT (RT_FAST_GLOBAL_CACHE && RT_PY314)
// Has the module dict's changes followed from now on (the exec step).
void WatchModuleDict(PyObject* dict) noexcept;
// A number that changes with every change of the module dict `dict`, never 0
// while the global reads may cache; 0 when nothing tells (no watcher was free).
uint64_t ModuleDictVersion(PyObject* dict) noexcept;

// --- traceback entries -------------------------------------------------------------

// Whether entry frames are kept for reuse (the frame's own layout tells when
// one is free again).
inline constexpr bool kReuseEntryFrames = RT_FAST_ENTRY_FRAMES && RT_PY311;
// Whether a frame made by PyFrame_New is held by the caller alone and unchanged.
bool EntryFrameIsUntouched(PyObject* frame) noexcept;
// A code object's name, a new reference; empty, with the raised exception
// left as it was, when it cannot be read.
rt::Ref CodeName(PyObject* code) noexcept;

}  // namespace rt::internals
