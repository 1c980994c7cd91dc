// The per-module record every part of the runtime reads, and its companions.
#pragma once

#include <Python.h>

#include <cstdint>

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

constexpr int kMaxModuleFunctions = 4;

// One static instance per module; every object field owns one reference and
// lives until the process ends.
struct ModuleState {
  PyObject* module_dict;
  PyObject* builtins_module;
  PyObject* cython_runtime_module;
  PyObject* empty_tuple;
  PyObject* empty_bytes;
  PyObject* empty_unicode;
  PyObject* code_objects[kMaxModuleFunctions];
  PyObject** constants;  // the module's ConstantTable slots
  PyObject* common_metatype;
  PyObject* cyfunction_type;
  CodeObjectCache code_cache;
};

extern ModuleState g_state;

// A constant of the module's table, borrowed; the table keeps it for life.
inline PyObject* Rt_Const(int slot) noexcept { return g_state.constants[slot]; }

// Process-wide statics of the module's start-up.
extern PyObject* g_module_object;        // owned
extern int64_t g_bound_interpreter_id;   // -1 until the first create
extern uint32_t g_runtime_version;       // 0 until parsed
