// The test-only module: each probe file adds its functions to the module dict.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

// Adds `defs` (null-terminated) to the module dict as built-in functions.
int AddProbes(PyObject* module_dict, PyMethodDef* defs) noexcept;

int RegisterStartupProbes(PyObject* module_dict) noexcept;
int RegisterFunctionProbes(PyObject* module_dict) noexcept;
int RegisterCallProbes(PyObject* module_dict) noexcept;
int RegisterImportProbes(PyObject* module_dict) noexcept;
int RegisterHelperProbes(PyObject* module_dict) noexcept;
int RegisterFaultProbes(PyObject* module_dict) noexcept;

// A native entry of any signature, as a method table wants it.
template <typename F>
PyCFunction Entry(F f) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

// The runtime takes interned names whose hash is cached, as module code passes
// them; probes hand their arguments over the same way. Null with an exception
// for anything but an exact str.
rt::Ref Interned(PyObject* name) noexcept;
