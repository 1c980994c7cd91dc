// Binding a call's arguments to a method's parameters, with the interpreter's wording.
#pragma once

#include <Python.h>

#include <cstddef>

// Parameter names as pointers to constant-table slots, null-terminated.
using ArgNameTable = PyObject** const*;

struct ArgSignature {
  const char* function_name;  // the plain method name, for messages
  ArgNameTable names;
  Py_ssize_t count;    // every parameter is required and positional-or-keyword
  const char* plural;  // "" or "s" in the count message
};

// Binds args (nargs plain) and `kw` (null, a names tuple or a dict) into
// values[0..count-1] as new references. 0, or -1 with TypeError; on failure
// the caller releases whatever values were bound.
int Rt_BindArguments(const ArgSignature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kw,
                     PyObject** values) noexcept;

int Rt_ParseKeywordsFromTuple(PyObject* kwnames, PyObject* const* kwvalues, ArgNameTable names,
                              PyObject** values, Py_ssize_t nargs, Py_ssize_t kwcount,
                              const char* function_name) noexcept;
int Rt_ParseKeywordsFromDict(PyObject* kwargs, ArgNameTable names, PyObject** values,
                             Py_ssize_t nargs, Py_ssize_t kwcount,
                             const char* function_name) noexcept;
void Rt_ReportBadKeywords(PyObject* kwargs, ArgNameTable names, ArgNameTable first_keyword,
                          const char* function_name) noexcept;
// 1 with *index set, 0 for no match, -1 with an exception (multiple values, hash).
int Rt_MatchKeywordByValue(PyObject* key, ArgNameTable names, ArgNameTable first_keyword,
                           Py_ssize_t* index, const char* function_name) noexcept;
void Rt_RaiseArgCountError(const ArgSignature& sig, Py_ssize_t given) noexcept;

// The type test of an annotated argument: exactly `expected` passes (0);
// anything else raises TypeError, with `note` appended for a subclass (-1).
int Rt_ArgTypeTest(PyObject* obj, PyTypeObject* expected, const char* name,
                   PyObject* note) noexcept;

namespace rt {

// The values Rt_BindArguments binds, each owning its reference (or null);
// released in parameter order when the call is over, or by Clear().
template <size_t N>
struct BoundArguments {
  PyObject* values[N] = {};  // owned
  BoundArguments() noexcept = default;
  BoundArguments(const BoundArguments&) = delete;
  BoundArguments& operator=(const BoundArguments&) = delete;
  ~BoundArguments() { Clear(); }
  void Clear() noexcept {
    for (PyObject*& v : values) Py_CLEAR(v);
  }
};

}  // namespace rt
