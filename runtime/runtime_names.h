// The runtime's own names, which every module's constant table carries.
#pragma once

#include <Python.h>

#include "runtime/module_descriptor.h"
#include "runtime/module_state.h"

// Borrowed, e.g. Rt_RuntimeName(&RuntimeNameSlots::dunder_prepare).
inline PyObject* Rt_RuntimeName(int RuntimeNameSlots::*name) noexcept {
  return Rt_Const(kThisModule.names.*name);
}
