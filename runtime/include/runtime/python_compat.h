// The runtime is written against the newest CPython's public API; this header
// gives the older versions (3.8 on) those names, each spelt as that version
// spells the same function. Beyond those, only what velmora itself does
// differently by version keeps a name of its own here. Nothing private: the
// interpreter's internal layouts and calls live in the core's internals unit.
#pragma once

#include <Python.h>

#include <cstdint>
#include <utility>

#include "runtime/ref.h"

#define RT_PY_AT_LEAST(hex) (PY_VERSION_HEX >= (hex))
#define RT_PY39 RT_PY_AT_LEAST(0x03090000)
#define RT_PY310 RT_PY_AT_LEAST(0x030A0000)
#define RT_PY311 RT_PY_AT_LEAST(0x030B0000)
#define RT_PY312 RT_PY_AT_LEAST(0x030C0000)
#define RT_PY313 RT_PY_AT_LEAST(0x030D0000)
#define RT_PY314 RT_PY_AT_LEAST(0x030E0000)

// --- names of later versions ------------------------------------------------------

#if !RT_PY39
#define Py_TPFLAGS_HAVE_VECTORCALL _Py_TPFLAGS_HAVE_VECTORCALL

inline void Py_SET_TYPE(PyObject* obj, PyTypeObject* type) noexcept { Py_TYPE(obj) = type; }
inline void Py_SET_SIZE(PyVarObject* obj, Py_ssize_t size) noexcept { Py_SIZE(obj) = size; }

inline PyInterpreterState* PyThreadState_GetInterpreter(PyThreadState* tstate) noexcept {
  return tstate->interp;
}
inline vectorcallfunc PyVectorcall_Function(PyObject* callable) noexcept {
  return _PyVectorcall_Function(callable);
}
inline PyObject* PyObject_Vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) noexcept {
  return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
}
inline PyObject* PyObject_VectorcallDict(PyObject* callable, PyObject* const* args, size_t nargsf,
                                         PyObject* kwargs) noexcept {
  return _PyObject_FastCallDict(callable, args, nargsf, kwargs);
}
#endif

#if !RT_PY312
// A new reference.
inline PyObject* PyType_GetDict(PyTypeObject* type) noexcept {
  Py_XINCREF(type->tp_dict);
  return type->tp_dict;
}

// 3.11 added the qualified name and the exception table.
inline PyCodeObject* PyUnstable_Code_NewWithPosOnlyArgs(
    int argcount, int posonlyargcount, int kwonlyargcount, int nlocals, int stacksize, int flags,
    PyObject* code, PyObject* consts, PyObject* names, PyObject* varnames, PyObject* freevars,
    PyObject* cellvars, PyObject* filename, PyObject* name, [[maybe_unused]] PyObject* qualname,
    int firstlineno, PyObject* linetable, [[maybe_unused]] PyObject* exceptiontable) noexcept {
#if RT_PY311
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
#endif

#if !RT_PY313
inline PyThreadState* PyThreadState_GetUnchecked() noexcept {
  return _PyThreadState_UncheckedGet();
}

using PyCFunctionFastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t,
                                                  PyObject*);

// 1 with a new reference in *result, 0 with none when the attribute is
// missing, -1 with an exception set.
inline int PyObject_GetOptionalAttr(PyObject* obj, PyObject* name, PyObject** result) noexcept {
  *result = PyObject_GetAttr(obj, name);
  if (*result) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();
  return 0;
}
#endif

// --- velmora's own differences ------------------------------------------------------

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

// --- the raised exception ---------------------------------------------------------
// Through 3.11 the thread holds a triple (possibly not normalised); from 3.12
// one exception object, whose class and traceback make the triple.

namespace rt {

// An exception taken out of the thread or out of a handled-exception entry,
// owning what it holds; moved, never copied, and released once. From 3.12
// the one exception object, whose class and traceback travel with it
// (nothing to split or normalise); before that the triple, possibly not
// normalised.
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
    if (!v || !PyExceptionInstance_Check(v)) return nullptr;
    // Borrowed from the instance, which this state holds.
    PyObject* tb = PyException_GetTraceback(v);
    Py_XDECREF(tb);
    return tb;
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
inline rt::ExceptionState Rt_TakeRaised() noexcept {
#if RT_PY312
  return rt::ExceptionState::OfValue(rt::Ref::steal(PyErr_GetRaisedException()));
#else
  rt::ExceptionState state;
  PyErr_Fetch(state.type_.out(), state.value_.out(), state.tb_.out());
  return state;
#endif
}

// Makes a taken exception ready to be handled: a class and an instance of it,
// the traceback attached to the instance. 0, or -1 with the thread holding
// the failure (and `state` what is left of the exception).
inline int Rt_PrepareForHandling([[maybe_unused]] rt::ExceptionState* state) noexcept {
#if RT_PY312
  return 0;  // raised exceptions are instances carrying their traceback
#else
  PyErr_NormalizeException(state->type_.out_in_place(), state->value_.out_in_place(),
                           state->tb_.out_in_place());
  if (PyErr_Occurred()) return -1;
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

// The handled exception a new handler sees (the innermost entry that holds
// one), new references; nothing when none.
inline rt::ExceptionState Rt_HandledException() noexcept {
#if RT_PY311
  return rt::ExceptionState::OfValue(rt::Ref::steal(PyErr_GetHandledException()));
#else
  rt::ExceptionState state;
  PyErr_GetExcInfo(state.type_.out(), state.value_.out(), state.tb_.out());
  return state;
#endif
}

// Puts `given` into the innermost handled-exception entry; what it held is
// released once the entry is whole again.
inline void Rt_SetHandledException(rt::ExceptionState given) noexcept {
#if RT_PY311
  // The value carries its class and traceback; the entry keeps nothing else.
  PyErr_SetHandledException(given.value());
#else
  PyErr_SetExcInfo(given.type_.release(), given.value_.release(), given.tb_.release());
#endif
}
