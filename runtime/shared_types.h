// The runtime's own types, registered once per process in a shared module so
// that every module built on this runtime uses the identical type objects.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

struct ModuleState;

// The shared module's name in sys.modules.
#define RT_SHARED_MODULE_NAME "_velmora_shared_v1"

// The registered type, or empty with an exception set.
rt::Ref Rt_FetchSharedType(PyTypeObject* metatype, PyType_Spec* type_spec,
                           PyObject* bases) noexcept;
// 0 if `candidate` may serve as the type, else -1 with TypeError.
int Rt_CheckSharedType(PyObject* candidate, const char* short_name,
                       Py_ssize_t expected_size) noexcept;
// Applies the offsets and `__module__` descriptors that PyType_FromSpec
// cannot express. 0, or -1 with an exception set.
int Rt_FixupSpecType(PyType_Spec* type_spec, PyTypeObject* type) noexcept;

// Start-up: fetches the metatype and the function type into the state.
int Rt_FetchSharedTypes(ModuleState* state) noexcept;

extern PyType_Spec g_common_metatype_spec;
