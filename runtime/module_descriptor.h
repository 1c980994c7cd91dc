// What a module tells the shared runtime about itself.
#pragma once

#include <Python.h>

#include <cstddef>

#include "runtime/constant_table.h"
#include "runtime/module_state.h"

// Parameters of the code object of one Python-level function.
struct FunctionCodeInfo {
  int argcount;
  int nlocals;
  int firstlineno;
  const int* varname_slots;
  int varname_count;
  int filename_slot;
  int name_slot;
};

// Slots of the constants the runtime itself reads.
struct RuntimeNameSlots {
  int dot;                 // "."
  int asyncio_coroutines;  // "asyncio.coroutines"
  int is_coroutine;        // "_is_coroutine"
  int dunder_module;       // "__module__"
  int dunder_qualname;     // "__qualname__"
  int dunder_prepare;      // "__prepare__"
  int dunder_mro_entries;  // "__mro_entries__"
  int dunder_test;         // "__test__"
};

// The function count of a module's table; the state's array holds the code
// object of each of them.
template <size_t N>
constexpr int Rt_FunctionCount(const FunctionCodeInfo (&)[N]) noexcept {
  static_assert(N <= kMaxModuleFunctions, "more functions than ModuleState::code_objects holds");
  return static_cast<int>(N);
}

struct ModuleDescriptor {
  const char* short_name;  // the name of the module definition
  const char* full_name;   // dotted import name
  const char* init_name;   // "init " + full_name, for start-up tracebacks
  const char* source_path; // the Python source the tracebacks name
  const ConstantTableSpec* constants;
  const FunctionCodeInfo* functions;
  int function_count;
  RuntimeNameSlots names;
  // Runs the module's statements in its dictionary: 0, or -1 with an
  // exception set and *line the source line of the failing statement.
  int (*body)(int* line);
};

// The runtime's names in a generated table, which spells them alike everywhere.
#define RT_RUNTIME_NAME_SLOTS                                                        \
  {slot::kDot, slot::kAsyncioCoroutines, slot::kIsCoroutine, slot::k__module__,     \
   slot::k__qualname__, slot::k__prepare__, slot::k__mro_entries__, slot::k__test__}

// Defined once by each module (and by each test binary).
extern const ModuleDescriptor kThisModule;

extern "C" {
PyObject* Rt_ModuleCreate(PyObject* spec, PyModuleDef* def);
int Rt_ModuleExec(PyObject* module);
}
int Rt_CopySpecAttr(PyObject* spec, PyObject* module_dict, const char* from_name,
                    const char* to_name, bool allow_none) noexcept;

// Parses a version string such as "3.8.10 (default, ...)" into 0xMMmmuu00.
uint32_t Rt_ParseVersion(const char* text) noexcept;
// Warns (RuntimeWarning) when the runtime's major.minor is not 3.8; -1 only
// when issuing the warning fails.
int Rt_CheckVersion(uint32_t runtime_version, const char* module_full_name) noexcept;

// The module definition: an empty method table and the two start-up slots.
#define RT_DEFINE_MODULE(name)                                                  \
  static PyMethodDef rt_module_methods_[] = {{nullptr, nullptr, 0, nullptr}};   \
  static PyModuleDef_Slot rt_module_slots_[] = {                                \
      {Py_mod_create, reinterpret_cast<void*>(Rt_ModuleCreate)},                \
      {Py_mod_exec, reinterpret_cast<void*>(Rt_ModuleExec)},                    \
      {0, nullptr}};                                                            \
  static PyModuleDef rt_module_def_ = {PyModuleDef_HEAD_INIT, #name, nullptr, 0, \
                                       rt_module_methods_, rt_module_slots_,    \
                                       nullptr, nullptr, nullptr};              \
  extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##name(void) { \
    return PyModuleDef_Init(&rt_module_def_);                                   \
  }
