// Reads of module globals through per-site caches, builtins and attributes.
#pragma once

#include <Python.h>

#include <cstdint>

#include "runtime/module_state.h"
#include "runtime/ref.h"

// One per read site: the module dict's version at the last lookup and what it
// found there (borrowed: the dict owns it; null when the name was absent).
struct GlobalLookupCache {
  uint64_t version;  // 0 is never a dict version, so the first read looks
  PyObject* value;
};

// The routines below return an rt::Ref through inline wrappers of
// object-or-null entries: these reads sit on every path of module code, and a
// class returned from an out-of-line call travels through memory. What the
// caches keep is the core's to read (they are opaque to module code).
namespace rt::detail {
PyObject* GetBuiltinName(PyObject* name) noexcept;
PyObject* GetAttrNoError(PyObject* obj, PyObject* name) noexcept;
}  // namespace rt::detail

// Empty with NameError (or the attribute lookup's error).
inline rt::Ref Rt_GetBuiltinName(PyObject* name) noexcept {
  return rt::Ref::steal(rt::detail::GetBuiltinName(name));
}
// Empty without an exception when the attribute is missing.
inline rt::Ref Rt_GetAttrNoError(PyObject* obj, PyObject* name) noexcept {
  return rt::Ref::steal(rt::detail::GetAttrNoError(obj, name));
}

namespace rt::detail {
PyObject* GetModuleGlobal(PyObject* name, GlobalLookupCache* cache) noexcept;
}  // namespace rt::detail

// Empty with NameError or another exception. `name` is an interned constant
// whose hash is already cached.
inline rt::Ref Rt_GetModuleGlobal(PyObject* name, GlobalLookupCache* cache) noexcept {
  return rt::Ref::steal(rt::detail::GetModuleGlobal(name, cache));
}

namespace rt::detail {
inline PyObject* GetAttr(PyObject* obj, PyObject* name) noexcept {
  getattrofunc getattro = Py_TYPE(obj)->tp_getattro;
  return getattro ? getattro(obj, name) : PyObject_GetAttr(obj, name);
}
}  // namespace rt::detail

// Reads an attribute through the type's hook, as the interpreter does.
inline rt::Ref Rt_GetAttr(PyObject* obj, PyObject* name) noexcept {
  return rt::Ref::steal(rt::detail::GetAttr(obj, name));
}

// One per attribute read site: where the last read found the attribute, kept
// while the version tags say that no dict it came from changed. Kept are only
// outcomes that no instance dict can shadow: a slot, a data descriptor of the
// type, a plain attribute of a class read through the standard lookup of its
// metatype, or the index of an instance's own value kept beside it while its
// type has nothing of the name. Nothing here is dereferenced before a tag has
// matched.
struct AttributeReadCache {
  // kGeneric: objects of the type `owner` take the generic read, through `read`.
  // kInstanceValue: the type has nothing of the name, and the instance keeps
  // its value at `offset` among the values kept beside it (3.11 on).
  enum Kind : int { kNothing, kGeneric, kSlot, kDataDescriptor, kClassValue, kInstanceValue };
  Kind kind;
  unsigned int version;       // of `owner`
  unsigned int meta_version;  // kClassValue: of the class's metatype
  const void* owner;          // the instances' type, or for kClassValue the class itself
  Py_ssize_t offset;          // kSlot: where the instance keeps it; kInstanceValue: its index
  PyObject* found;            // borrowed: the descriptor or the value, held by a type's dict
  getattrofunc read;          // kGeneric
  // kDataDescriptor of a property: the code of the getter last checked, and
  // where the getter's own read of its argument's attribute finds it when the
  // getter only returns that (0: the getter is called).
  PyObject* getter_code;  // owned
  PyObject* getter_name;  // borrowed: the code holds it
  Py_ssize_t getter_offset;
  int getter_read;
};

namespace rt::detail {
PyObject* GetAttrCached(PyObject* obj, PyObject* name, AttributeReadCache* cache) noexcept;
}  // namespace rt::detail

// Rt_GetAttr with the read site's cache: empty with an exception set.
inline rt::Ref Rt_GetAttrCached(PyObject* obj, PyObject* name, AttributeReadCache* cache) noexcept {
  return rt::Ref::steal(rt::detail::GetAttrCached(obj, name, cache));
}
