// The module definition of a module built on this runtime, and its PyInit_ symbol.
#pragma once

#include <Python.h>

#include "runtime/module_descriptor.h"
#include "runtime/module_lifecycle.h"

// An empty method table and the two start-up slots; PyInit_<name> is the one
// symbol the module exports.
#define RT_DEFINE_MODULE(name)                                                               \
  static PyMethodDef rt_module_methods_[] = {{nullptr, nullptr, 0, nullptr}};                \
  static PyModuleDef_Slot rt_module_slots_[] = {                                             \
      {Py_mod_create, reinterpret_cast<void*>(Rt_ModuleCreate)},                             \
      {Py_mod_exec, reinterpret_cast<void*>(Rt_ModuleExec)},                                 \
      {0, nullptr}};                                                                         \
  static PyModuleDef rt_module_def_ = {                                                      \
      PyModuleDef_HEAD_INIT, #name,   nullptr, 0,      rt_module_methods_,                   \
      rt_module_slots_,      nullptr, nullptr, nullptr};                                     \
  extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##name(void) noexcept { \
    return PyModuleDef_Init(&rt_module_def_);                                                \
  }
