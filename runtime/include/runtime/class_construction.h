// class statements of module code.
#pragma once

#include <Python.h>

#include <cstddef>

#include "runtime/globals.h"
#include "runtime/ref.h"

// Each result is a new reference, or empty with an exception set.
rt::Ref Rt_ResolveBases(PyObject* bases) noexcept;
rt::Ref Rt_CalculateMetaclass(PyObject* bases) noexcept;
rt::Ref Rt_PrepareClassNamespace(PyObject* metaclass, PyObject* bases, PyObject* name,
                                 PyObject* qualname, PyObject* module_name) noexcept;
int Rt_SetNamespaceItem(PyObject* ns, PyObject* key, PyObject* value) noexcept;
rt::Ref Rt_CreateClass(PyObject* metaclass, PyObject* name, PyObject* bases, PyObject* ns) noexcept;

// A module-level class with one base read from a module global.
struct ClassStatement {
  PyObject* name;         // also the qualified name
  PyObject* module_name;  // for __module__
  PyObject* base_name;    // the global that holds the base
  GlobalLookupCache* base_cache;
  int line;  // of the class statement
};

// Builds the class and binds it in the module dict. `fill` runs the class body
// on the namespace (0, or -1 with *line set). 0, or -1 with *line set.
int Rt_DefineClass(const ClassStatement& st, int (*fill)(PyObject* ns, int* line),
                   int* line) noexcept;

// A method definition inside a class body: the function object, its
// annotations (alternating name and text constants) and the namespace binding.
struct MethodStatement {
  PyMethodDef* def;
  PyObject* name;
  PyObject* qualname;
  PyObject* module_name;
  PyObject* code;
  PyObject* const* annotations;  // key, value, key, value...
  int annotation_count;          // pairs
};
int Rt_DefineMethod(PyObject* ns, const MethodStatement& st) noexcept;

// A method statement whose annotation count comes from its array.
template <size_t N>
MethodStatement Rt_MethodStatement(PyMethodDef* def, PyObject* name, PyObject* qualname,
                                   PyObject* module_name, PyObject* code,
                                   PyObject* const (&annotations)[N]) noexcept {
  static_assert(N % 2 == 0, "annotations alternate name and text");
  return {def, name, qualname, module_name, code, annotations, static_cast<int>(N / 2)};
}
