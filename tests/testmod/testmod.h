// The test-only module: each probe file adds its functions to the module dict.
#pragma once

#include <Python.h>

// Adds `defs` (null-terminated) to the module dict as built-in functions.
int AddProbes(PyObject* module_dict, PyMethodDef* defs) noexcept;

int RegisterStartupProbes(PyObject* module_dict) noexcept;
int RegisterFunctionProbes(PyObject* module_dict) noexcept;
int RegisterCallProbes(PyObject* module_dict) noexcept;
int RegisterImportProbes(PyObject* module_dict) noexcept;
int RegisterHelperProbes(PyObject* module_dict) noexcept;
