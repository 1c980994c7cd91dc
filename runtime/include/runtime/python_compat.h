// Everything that differs between the CPython versions the runtime builds for
// (3.8 to 3.13): private fields read directly, renamed or replaced calls, and
// representations that changed. One accessor each, keyed on PY_VERSION_HEX;
// the rest of the runtime never tests the version itself.
#pragma once

#include <Python.h>
#include <frameobject.h>

#if PY_VERSION_HEX >= 0x030B0000
// The frame object's fields, opaque from 3.11; read only to tell whether a
// frame is still as PyFrame_New made it.
#ifndef Py_BUILD_CORE
#define Py_BUILD_CORE 1
#define RT_DEFINED_BUILD_CORE
#endif
#include <internal/pycore_frame.h>
#ifdef RT_DEFINED_BUILD_CORE
#undef Py_BUILD_CORE
#undef RT_DEFINED_BUILD_CORE
#endif
#endif

#include <cstdint>
#include <utility>

#include "runtime/ref.h"

#define RT_PY_AT_LEAST(hex) (PY_VERSION_HEX >= (hex))
#define RT_PY39 RT_PY_AT_LEAST(0x03090000)
#define RT_PY310 RT_PY_AT_LEAST(0x030A0000)
#define RT_PY311 RT_PY_AT_LEAST(0x030B0000)
#define RT_PY312 RT_PY_AT_LEAST(0x030C0000)
#define RT_PY313 RT_PY_AT_LEAST(0x030D0000)

// The calling thread's state, null when it holds no thread state.
inline PyThreadState* Rt_ThreadState() noexcept {
#if RT_PY313
  return PyThreadState_GetUnchecked();
#else
  return _PyThreadState_UncheckedGet();
#endif
}

// --- dicts ----------------------------------------------------------------------

// Whether dicts carry a version tag that changes on every modification;
// without one the global-lookup caches are bypassed.
#define RT_HAVE_DICT_VERSION (PY_VERSION_HEX < 0x030E0000)

#if RT_HAVE_DICT_VERSION
inline uint64_t Rt_DictVersion(PyObject* dict) noexcept {
#if RT_PY312
  // Deprecated from 3.12 but kept through 3.13, changing as before.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if RT_PY312
#pragma GCC diagnostic pop
#endif
}
#endif

// Stores under a str key whose hash is cached. 3.13 keeps the known-hash
// store private; its public store reads the same cached hash.
inline int Rt_DictSetItemName(PyObject* dict, PyObject* key, PyObject* value) noexcept {
#if RT_PY313
  return PyDict_SetItem(dict, key, value);
#else
  return _PyDict_SetItem_KnownHash(dict, key, value, reinterpret_cast<PyASCIIObject*>(key)->hash);
#endif
}

// --- str ------------------------------------------------------------------------

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
// From 3.12 every str is in its canonical form from birth.
inline bool Rt_StrIsReady([[maybe_unused]] PyObject* s) noexcept {
#if RT_PY312
  return true;
#else
  return reinterpret_cast<PyASCIIObject*>(s)->state.ready;
#endif
}
// Brings a legacy str into its canonical form: 0, or -1 with an exception.
inline int Rt_StrMakeReady([[maybe_unused]] PyObject* s) noexcept {
#if RT_PY312
  return 0;
#else
  return _PyUnicode_Ready(s);
#endif
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
// Copies characters into a new str of sufficient width, unshared and not
// yet hashed (the only kind the runtime writes into).
inline void Rt_StrCopyCharacters(PyObject* to, Py_ssize_t to_start, PyObject* from,
                                 Py_ssize_t from_start, Py_ssize_t count) noexcept {
#if RT_PY313
  // Cannot fail on such a target; the result carries nothing else.
  (void)PyUnicode_CopyCharacters(to, to_start, from, from_start, count);
#else
  _PyUnicode_FastCopyCharacters(to, to_start, from, from_start, count);
#endif
}

// --- the raised exception ---------------------------------------------------------
// Through 3.11 the thread holds a triple (possibly not normalised); from 3.12
// one exception object, whose class and traceback make the triple.

// The raised exception's class, borrowed; null when nothing is raised.
inline PyObject* Rt_RaisedType(PyThreadState* tstate) noexcept {
#if RT_PY312
  PyObject* exc = tstate->current_exception;
  return exc ? reinterpret_cast<PyObject*>(Py_TYPE(exc)) : nullptr;
#else
  return tstate->curexc_type;
#endif
}

namespace rt {

// An exception taken out of the thread or out of a handled-exception entry,
// owning what it holds; moved, never copied, and released once. From 3.12
// the one exception object, whose class and traceback travel with it
// (nothing to split or normalise); before that the triple, possibly not
// normalised. Its fields are touched only by the routines of this header.
class [[nodiscard]] ExceptionState {
 public:
  ExceptionState() noexcept = default;
  ExceptionState(ExceptionState&&) noexcept = default;
  ExceptionState& operator=(ExceptionState&& o) noexcept {
    // What this held goes last, as the interpreter releases a replaced exception.
    ExceptionState old(std::move(*this));
#if !RT_PY312
    type_ = std::move(o.type_);
    tb_ = std::move(o.tb_);
#endif
    value_ = std::move(o.value_);
    return *this;
  }
  ExceptionState(const ExceptionState&) = delete;
  ExceptionState& operator=(const ExceptionState&) = delete;
  // Released in the interpreter's order: type, value, traceback.
  ~ExceptionState() {
#if !RT_PY312
    type_.reset();
#endif
    value_.reset();
#if !RT_PY312
    tb_.reset();
#endif
  }

  // An exception instance (or None, or nothing) with its class and traceback.
  static ExceptionState OfValue(Ref value) noexcept {
    ExceptionState state;
#if !RT_PY312
    if (value && PyExceptionInstance_Check(value.get())) {
      state.type_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
      state.tb_ = Ref::steal(PyException_GetTraceback(value.get()));
    }
#endif
    state.value_ = std::move(value);
    return state;
  }
#if !RT_PY312
  // A triple as the thread holds it through 3.11.
  static ExceptionState OfTriple(Ref type, Ref value, Ref tb) noexcept {
    ExceptionState state;
    state.type_ = std::move(type);
    state.value_ = std::move(value);
    state.tb_ = std::move(tb);
    return state;
  }
#endif

  // Another owner of the same objects.
  ExceptionState Copy() const noexcept {
    ExceptionState state;
#if !RT_PY312
    state.type_ = Ref::borrow(type_.get());
    state.tb_ = Ref::borrow(tb_.get());
#endif
    state.value_ = Ref::borrow(value_.get());
    return state;
  }

  // Borrowed; null where there is none.
  PyObject* type() const noexcept {
#if RT_PY312
    PyObject* v = value_.get();
    return v && PyExceptionInstance_Check(v) ? reinterpret_cast<PyObject*>(Py_TYPE(v)) : nullptr;
#else
    return type_.get();
#endif
  }
  PyObject* value() const noexcept { return value_.get(); }
  PyObject* traceback() const noexcept {
#if RT_PY312
    PyObject* v = value_.get();
    return v && PyExceptionInstance_Check(v)
               ? reinterpret_cast<PyBaseExceptionObject*>(v)->traceback
               : nullptr;
#else
    return tb_.get();
#endif
  }
  explicit operator bool() const noexcept { return type() || value(); }

#if !RT_PY312
  Ref type_, tb_;
#endif
  Ref value_;
};

}  // namespace rt

// Takes the raised exception out of the thread state as it is (not
// normalised where the version keeps it so); the thread is left with none.
inline rt::ExceptionState Rt_TakeRaised(PyThreadState* tstate) noexcept {
#if RT_PY312
  return rt::ExceptionState::OfValue(
      rt::Ref::steal(std::exchange(tstate->current_exception, nullptr)));
#else
  return rt::ExceptionState::OfTriple(
      rt::Ref::steal(std::exchange(tstate->curexc_type, nullptr)),
      rt::Ref::steal(std::exchange(tstate->curexc_value, nullptr)),
      rt::Ref::steal(std::exchange(tstate->curexc_traceback, nullptr)));
#endif
}

// Makes a taken exception ready to be handled: a class and an instance of it,
// the traceback attached to the instance. 0, or -1 with the thread holding
// the failure (and `state` what is left of the exception).
inline int Rt_PrepareForHandling([[maybe_unused]] PyThreadState* tstate,
                                 [[maybe_unused]] rt::ExceptionState* state) noexcept {
#if RT_PY312
  return 0;  // raised exceptions are instances carrying their traceback
#else
  PyErr_NormalizeException(state->type_.out_in_place(), state->value_.out_in_place(),
                           state->tb_.out_in_place());
  if (tstate->curexc_type) return -1;
  PyObject* tb = state->tb_.get();
  return tb && PyException_SetTraceback(state->value_.get(), tb) < 0 ? -1 : 0;
#endif
}

// Raises a taken exception again (replacing whatever the thread holds).
inline void Rt_Raise(rt::ExceptionState state) noexcept {
#if RT_PY312
  PyErr_SetRaisedException(state.value_.release());
#else
  PyErr_Restore(state.type_.release(), state.value_.release(), state.tb_.release());
#endif
}

// --- handled-exception entries ------------------------------------------------------
// Through 3.10 an entry holds a triple; from 3.11 only the exception value,
// whose class and traceback stand for the other two.

// The innermost handled-exception entry: a frame's or a generator's own.
inline _PyErr_StackItem* Rt_HandledEntry(PyThreadState* tstate) noexcept {
  return tstate->exc_info;
}

// Whether an entry holds an exception (None and null both mean none).
inline bool Rt_EntryHoldsException(const _PyErr_StackItem* item) noexcept {
  return item->exc_value && item->exc_value != Py_None;
}

// The entry whose exception a new handler sees: the innermost that holds one,
// else the outermost.
inline _PyErr_StackItem* Rt_HandledEntryInEffect(PyThreadState* tstate) noexcept {
  _PyErr_StackItem* item = tstate->exc_info;
  while (!Rt_EntryHoldsException(item) && item->previous_item) item = item->previous_item;
  return item;
}

// New references to what an entry holds.
inline rt::ExceptionState Rt_EntryCopy(const _PyErr_StackItem* item) noexcept {
#if RT_PY311
  return rt::ExceptionState::OfValue(rt::Ref::borrow(item->exc_value));
#else
  return rt::ExceptionState::OfTriple(rt::Ref::borrow(item->exc_type),
                                      rt::Ref::borrow(item->exc_value),
                                      rt::Ref::borrow(item->exc_traceback));
#endif
}

// Puts `given` into an entry and hands back what it held. The entry is whole
// again before anything is released.
inline rt::ExceptionState Rt_EntryExchange(_PyErr_StackItem* item,
                                           rt::ExceptionState given) noexcept {
#if RT_PY311
  // The value carries its class and traceback; the entry keeps nothing else,
  // and the given class and traceback go when `given` does.
  return rt::ExceptionState::OfValue(
      rt::Ref::steal(std::exchange(item->exc_value, given.value_.release())));
#else
  return rt::ExceptionState::OfTriple(
      rt::Ref::steal(std::exchange(item->exc_type, given.type_.release())),
      rt::Ref::steal(std::exchange(item->exc_value, given.value_.release())),
      rt::Ref::steal(std::exchange(item->exc_traceback, given.tb_.release())));
#endif
}

// The interpreter the thread runs in.
inline PyInterpreterState* Rt_InterpreterOf(PyThreadState* tstate) noexcept {
#if RT_PY39
  return PyThreadState_GetInterpreter(tstate);
#else
  return tstate->interp;
#endif
}

// --- objects --------------------------------------------------------------------

// Gives a new object another type; the caller settles the reference counts.
inline void Rt_SetObjectType(PyObject* obj, PyTypeObject* type) noexcept {
#if RT_PY39
  Py_SET_TYPE(obj, type);
#else
  Py_TYPE(obj) = type;
#endif
}

// Appends to a list that has room without going through the resize path (the
// list takes a new reference to `x`); false when it has none.
inline bool Rt_ListPutInSpare(PyObject* list, PyObject* x) noexcept {
  auto* l = reinterpret_cast<PyListObject*>(list);
  Py_ssize_t size = Py_SIZE(l);
  if (l->allocated <= size) return false;
  Py_INCREF(x);
  PyList_SET_ITEM(list, size, x);
#if RT_PY39
  Py_SET_SIZE(l, size + 1);
#else
  Py_SIZE(l) = size + 1;
#endif
  return true;
}

#if RT_PY39
#define RT_TPFLAGS_HAVE_VECTORCALL Py_TPFLAGS_HAVE_VECTORCALL
#else
#define RT_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL
#endif

// The vectorcall entry an object keeps, or null when its type has none.
inline vectorcallfunc Rt_VectorcallEntry(PyObject* callable) noexcept {
#if RT_PY39
  return PyVectorcall_Function(callable);
#else
  PyTypeObject* type = Py_TYPE(callable);
  if (!PyType_HasFeature(type, _Py_TPFLAGS_HAVE_VECTORCALL)) return nullptr;
  return *reinterpret_cast<vectorcallfunc*>(reinterpret_cast<char*>(callable) +
                                            type->tp_vectorcall_offset);
#endif
}

#if RT_PY313
// Exported by 3.13 without a public declaration.
extern "C" PyObject* _Py_CheckFunctionResult(PyThreadState* tstate, PyObject* callable,
                                             PyObject* result, const char* where);
#endif

// A failed call's outcome as the interpreter's own calls report it: a call
// that returned null without an exception (from 3.12 a Python function can,
// when its frame cannot be allocated) raises SystemError.
inline PyObject* Rt_CheckFailedCall(PyObject* callable) noexcept {
#if RT_PY39
  return _Py_CheckFunctionResult(Rt_ThreadState(), callable, nullptr, nullptr);
#else
  return _Py_CheckFunctionResult(callable, nullptr, nullptr);
#endif
}

// Calls what a method lookup found, with the interpreter's check of the result.
inline PyObject* Rt_CallFound(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) noexcept {
#if RT_PY39
  return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
  vectorcallfunc entry = Rt_VectorcallEntry(callable);
  if (!entry) return _PyObject_MakeTpCall(callable, args, PyVectorcall_NARGS(nargsf), kwnames);
  return _Py_CheckFunctionResult(callable, entry(callable, args, nargsf, kwnames), nullptr);
#endif
}

// The default flags as 3.8 spells them: from 3.10 the version-tag bit left
// the default (every type has a tag) and the interpreter no longer reads it.
#define RT_TPFLAGS_DEFAULT (Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VERSION_TAG)

// The bits 0x100 and 0x80 (an immutable type; no instances) are real type
// flags from 3.10: there they would make the interpreter's texts replace the
// metatype's own, refuse the metatype's own attributes, and leave it without
// the creation slot that the interpreter calls when a class derives from one
// of its types. Older versions ignore them, so they are set only there.
#if RT_PY310
#define RT_METATYPE_LATER_FLAGS 0UL
#else
#define RT_METATYPE_LATER_FLAGS (0x100UL | 0x80UL)
#endif

// A type's version tag, 0 while it has none: the tag changes whenever the
// type's dict or a base's changes, and no other live type has the same one.
// Through 3.10 a modified type keeps its old number with the valid bit
// cleared; from 3.11 the number is zeroed and later versions drop the bit.
inline unsigned int Rt_TypeVersion(PyTypeObject* type) noexcept {
#if RT_PY311
  return type->tp_version_tag;
#else
  return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// The type's own attribute dict, a new reference.
inline PyObject* Rt_TypeDict(PyTypeObject* type) noexcept {
#if RT_PY312
  return PyType_GetDict(type);
#else
  Py_XINCREF(type->tp_dict);
  return type->tp_dict;
#endif
}

// Whether a type is ready for attribute lookup on its MRO. From 3.12 the
// interpreter's static types keep their dict elsewhere, so tp_dict says nothing.
inline bool Rt_TypeIsReady(PyTypeObject* type) noexcept {
#if RT_PY312
  return PyType_HasFeature(type, Py_TPFLAGS_READY);
#else
  return type->tp_dict != nullptr;
#endif
}

// Whether the instances' dicts are kept by the interpreter itself, where
// asking for the dict pointer makes a dict that was not there (from 3.11).
inline bool Rt_InstanceDictIsManaged([[maybe_unused]] PyTypeObject* type) noexcept {
#if RT_PY311
  return PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT);
#else
  return false;
#endif
}

// A property's getter (borrowed; null when it has none). The object's layout
// is private, but its getter comes first after the header in every version.
inline PyObject* Rt_PropertyGetter(PyObject* property) noexcept {
  struct PropertyHead {
    PyObject_HEAD PyObject* getter;
  };
  return reinterpret_cast<PropertyHead*>(property)->getter;
}

// --- code objects and frames ----------------------------------------------------------

// A code object's name, borrowed.
inline PyObject* Rt_CodeName(PyObject* code) noexcept {
  return reinterpret_cast<PyCodeObject*>(code)->co_name;
}

// A code object with no instructions, as the runtime's functions have. From
// 3.11 the constructor takes the qualified name and an exception table, and
// 3.12 marks it unstable under a new name.
inline PyCodeObject* Rt_NewCode(int argcount, int posonlyargcount, int kwonlyargcount, int nlocals,
                                int stacksize, int flags, PyObject* code, PyObject* consts,
                                PyObject* names, PyObject* varnames, PyObject* freevars,
                                PyObject* cellvars, PyObject* filename, PyObject* name,
                                [[maybe_unused]] PyObject* qualname, int firstlineno,
                                PyObject* linetable,
                                [[maybe_unused]] PyObject* exceptiontable) noexcept {
#if RT_PY312
  return PyUnstable_Code_NewWithPosOnlyArgs(argcount, posonlyargcount, kwonlyargcount, nlocals,
                                            stacksize, flags, code, consts, names, varnames,
                                            freevars, cellvars, filename, name, qualname,
                                            firstlineno, linetable, exceptiontable);
#elif RT_PY311
  return PyCode_NewWithPosOnlyArgs(argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize,
                                   flags, code, consts, names, varnames, freevars, cellvars,
                                   filename, name, qualname, firstlineno, linetable,
                                   exceptiontable);
#else
  return PyCode_NewWithPosOnlyArgs(argcount, posonlyargcount, kwonlyargcount, nlocals, stacksize,
                                   flags, code, consts, names, varnames, freevars, cellvars,
                                   filename, name, firstlineno, linetable);
#endif
}

// A frame's current line, for frames that never run bytecode. From 3.11
// frames are opaque; a frame that has run nothing reports its code object's
// first line, which the traceback entries' code objects are made with.
inline void Rt_SetFrameLine([[maybe_unused]] PyFrameObject* frame,
                            [[maybe_unused]] int line) noexcept {
#if !RT_PY311
  frame->f_lineno = line;
#endif
}

// Frames of traceback entries. From 3.11 PyFrame_New makes a function object
// and frame data besides the frame, and its frame points back at no caller,
// so a frame that nobody else holds and nothing wrote into serves the next
// entry of the same code object as a new one would. Through 3.10 a new frame
// is cheap (the code object keeps a spare) and links to the calling frame.
#define RT_REUSE_ENTRY_FRAMES RT_PY311

#if RT_REUSE_ENTRY_FRAMES
// Whether a frame made by PyFrame_New (no locals) is held by the caller alone
// and unchanged: no trace function or its switches, no line set, no locals
// dict made through f_locals, not linked to a caller.
inline bool Rt_EntryFrameIsUntouched(PyObject* frame) noexcept {
  if (Py_REFCNT(frame) != 1) return false;
  auto* f = reinterpret_cast<PyFrameObject*>(frame);
  if (f->f_back || f->f_trace || f->f_lineno != 0 || f->f_trace_lines != 1 || f->f_trace_opcodes)
    return false;
  if (f->f_frame != reinterpret_cast<_PyInterpreterFrame*>(f->_f_frame_data) ||
      f->f_frame->f_locals)
    return false;
#if RT_PY313
  return !f->f_extra_locals && !f->f_locals_cache;
#else
  return !f->f_fast_as_locals;
#endif
}
#endif

// The interpreter's own method lookup, the one its method-call opcode uses:
// 1 with the type's function in *method (to be called with obj first), else
// 0 with the attribute in *method, or null with the interpreter's own
// AttributeError. *method must be null on entry: a failed lookup leaves it
// as it was. Exported by every version without a public declaration.
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
