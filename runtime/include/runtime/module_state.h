// The per-module record every part of the runtime reads, and its companions.
#pragma once

#include <Python.h>

#include "runtime/module_descriptor.h"

struct CodeObjectCacheEntry {
  PyObject* code;  // owned
  int line;
};

// Code objects of traceback entries, sorted by line; never freed.
struct CodeObjectCache {
  int count;
  int capacity;
  CodeObjectCacheEntry* entries;  // PyMem_Malloc'd, `capacity` long
};

// One static instance per module; every object field owns one reference and
// lives until the process ends.
struct ModuleState {
  PyObject* module_dict;                        // owned
  PyObject* builtins_module;                    // owned
  PyObject* runtime_module;                     // owned
  PyObject* empty_tuple;                        // owned
  PyObject* empty_bytes;                        // owned
  PyObject* empty_unicode;                      // owned
  PyObject* code_objects[kMaxModuleFunctions];  // owned
  PyObject** constants;                         // the module's ConstantTable slots, owned there
  PyObject* common_metatype;                    // owned
  PyObject* function_type;                      // owned
  CodeObjectCache code_cache;
};

extern ModuleState g_state;

// What code outside the runtime core reads of the state, borrowed: the state
// keeps each for life. Only the runtime core touches g_state itself.
inline PyObject* Rt_Const(int slot) noexcept { return g_state.constants[slot]; }
inline PyObject* Rt_ModuleDict() noexcept { return g_state.module_dict; }
inline PyObject* Rt_BuiltinsModule() noexcept { return g_state.builtins_module; }
inline PyObject* Rt_EmptyUnicode() noexcept { return g_state.empty_unicode; }
inline PyObject* Rt_CodeObject(int function) noexcept { return g_state.code_objects[function]; }
inline PyTypeObject* Rt_FunctionType() noexcept {
  return reinterpret_cast<PyTypeObject*>(g_state.function_type);
}
inline PyTypeObject* Rt_CommonMetatype() noexcept {
  return reinterpret_cast<PyTypeObject*>(g_state.common_metatype);
}
