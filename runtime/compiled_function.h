// The function object that carries every Python-level function of a module.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

// Begins with the exact layout of the interpreter's built-in function object,
// so code that reads m_ml / m_self of a built-in works on it unchanged.
struct CompiledFunction {
  PyCFunctionObject func;                     // m_ml static; m_self is this object (no reference);
                                              // m_module owned
  PyObject* dict;                             // owned
  PyObject* name;                             // owned, filled on first read
  PyObject* qualname;                         // owned, never null, even once cleared
  PyObject* doc;                              // owned, filled on first read or by assignment
  PyObject* globals;                          // owned, null only once cleared
  PyObject* code;                             // owned
  PyObject* closure;                          // owned
  PyObject* defining_class;                   // owned
  PyObject* defaults_holder;                  // owned
  int flags;                                  // CompiledFunctionFlags
  PyObject* defaults;                         // owned
  PyObject* kwdefaults;                       // owned
  PyObject* (*defaults_provider)(PyObject*);  // returns a new (defaults, kwdefaults) pair
  PyObject* annotations;                      // owned
  PyObject* is_coroutine;                     // owned, filled on first read
};

static_assert(sizeof(void*) != 8 || sizeof(CompiledFunction) == 176,
              "the record size is shared with every module built on this runtime");

#ifndef METH_METHOD
// The defining-class convention of later interpreters; 3.8 has no name for it.
#define METH_METHOD 0x0200
#endif

enum CompiledFunctionFlags : int {
  kCompiledFunctionStaticMethod = 0x01,
  kCompiledFunctionSelfFromFirstArg = 0x04,
  kCompiledFunctionCoroutine = 0x08,
};

extern PyType_Spec g_function_spec;

// Whether the calls take the native self from the first positional argument
// rather than m_self: StaticMethod cancels SelfFromFirstArg.
inline bool Rt_Function_SelfFromFirstArg(const CompiledFunction* op) noexcept {
  return (op->flags & (kCompiledFunctionSelfFromFirstArg | kCompiledFunctionStaticMethod)) ==
         kCompiledFunctionSelfFromFirstArg;
}

// The new function, or empty with an exception set. No argument is consumed.
rt::Ref Rt_Function_New(PyMethodDef* ml, int flags, PyObject* qualname, PyObject* closure,
                        PyObject* module, PyObject* globals, PyObject* code) noexcept;

// --- call entries (compiled_function_calls.cpp) -------------------------------------------

extern "C" {
// The call slot: the interpreter's own PyVectorcall_Call when there is a
// vectorcall entry (keys other than str refused first, as from 3.9 on every
// version), else the explicit-self dispatch.
PyObject* Rt_Function_Call(PyObject* func, PyObject* args, PyObject* kwargs) noexcept;
// The vectorcall entries, one per calling convention of the method definition.
PyObject* Rt_Function_VectorcallNoArgs(PyObject* func, PyObject* const* args, size_t nargsf,
                                       PyObject* kwnames) noexcept;
PyObject* Rt_Function_VectorcallOneArg(PyObject* func, PyObject* const* args, size_t nargsf,
                                       PyObject* kwnames) noexcept;
PyObject* Rt_Function_VectorcallFastKeywords(PyObject* func, PyObject* const* args, size_t nargsf,
                                             PyObject* kwnames) noexcept;
PyObject* Rt_Function_VectorcallFastKeywordsMethod(PyObject* func, PyObject* const* args,
                                                   size_t nargsf, PyObject* kwnames) noexcept;
}
// What the native entry returns, or empty with an exception set.
rt::Ref Rt_Function_CallWithSelf(PyObject* func, PyObject* self, PyObject* args,
                                 PyObject* kwargs) noexcept;

inline CompiledFunction* AsCompiledFunction(PyObject* op) noexcept {
  return reinterpret_cast<CompiledFunction*>(op);
}
