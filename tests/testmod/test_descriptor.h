// The descriptor of a runtime started on the test constant table, shared by
// the test-only module and the embedded C++ tests.
#pragma once

#include "constants.h"
#include "runtime/module_descriptor.h"
#include "runtime/module_lifecycle.h"

inline constexpr int kProbeVarnames[] = {slot::kSelf, slot::kA, slot::kB};
inline constexpr FunctionCodeInfo kProbeFunctions[] = {
    Rt_FunctionCode(3, 1, kProbeVarnames, slot::kSourcePath, slot::kProbe)};

#define RT_TEST_DESCRIPTOR(name, source_path, body)                          \
  {                                                                          \
    name, name, "init " name, source_path, &kConstantTable, kProbeFunctions, \
        Rt_FunctionCount(kProbeFunctions), RT_RUNTIME_NAME_SLOTS, body       \
  }

// A module body with no statements, for runtimes started without an import.
inline int EmptyModuleBody(int* line) {
  *line = 1;
  return 0;
}

// Starts an interpreter and runs the runtime's start-up on a fresh module of
// the given name, as an import would. 0, or -1 after printing the error.
inline int StartEmbeddedRuntime(const char* module_name) {
  Py_InitializeEx(0);
  PyObject* module = PyModule_New(module_name);
  if (!module || Rt_ModuleExec(module) < 0) {
    Py_XDECREF(module);
    PyErr_Print();
    return -1;
  }
  Py_DECREF(module);
  return 0;
}
