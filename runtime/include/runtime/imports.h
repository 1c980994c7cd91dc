// import and from-import statements of module code.
#pragma once

#include <Python.h>

#include <cstddef>

#include "runtime/ref.h"

// The module to bind or to take names from, or empty with an exception set.
// Skips the import machinery when `absolute_name` is in sys.modules with
// every listed name.
rt::Ref Rt_ImportModule(PyObject* name, PyObject* const* fromlist, Py_ssize_t fromlist_count,
                        PyObject* globals, int level, PyObject* absolute_name) noexcept;
// The value, or empty with ImportError "cannot import name ...".
rt::Ref Rt_ImportFrom(PyObject* module, PyObject* name) noexcept;

// A whole `from <name> import <names...>` statement: every name is stored in
// `globals` before the next is read. 0, or -1 with an exception set.
int Rt_ImportNamesInto(PyObject* globals, PyObject* name, PyObject* const* names, Py_ssize_t count,
                       int level, PyObject* absolute_name) noexcept;
template <size_t N>
int Rt_ImportNamesInto(PyObject* globals, PyObject* name, PyObject* const (&names)[N], int level,
                       PyObject* absolute_name) noexcept {
  return Rt_ImportNamesInto(globals, name, names, static_cast<Py_ssize_t>(N), level, absolute_name);
}
