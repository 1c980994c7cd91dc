// Subtype tests that walk the MRO tuple by identity, as the interpreter's own do.
#pragma once

#include <Python.h>

// 1 when `a` is `b` or derives from it, else 0; never fails.
int Rt_IsSubtype(PyTypeObject* a, PyTypeObject* b) noexcept;
// 1 when `a` is or derives from either of `b1` and `b2`, else 0; never fails.
int Rt_IsSubtypeOfEither(PyTypeObject* a, PyTypeObject* b1, PyTypeObject* b2) noexcept;
