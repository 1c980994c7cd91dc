// The create and exec steps of a module's start-up.
#pragma once

#include <Python.h>

extern "C" {
// The create step: the one-interpreter check and the module made from its import spec.
PyObject* Rt_ModuleCreate(PyObject* spec, PyModuleDef* def) noexcept;
// The exec step: fills ModuleState and runs the module body. 0, or -1 with an
// exception set and a start-up traceback entry.
int Rt_ModuleExec(PyObject* module) noexcept;
}

// Copies one import-spec attribute into the module dict; a missing attribute is no
// error, and None is skipped unless `allow_none`. 0, or -1 with an exception.
int Rt_CopySpecAttr(PyObject* spec, PyObject* module_dict, const char* from_name,
                    const char* to_name, bool allow_none) noexcept;
