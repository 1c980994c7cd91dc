// Reads of module globals through per-site caches, builtins and attributes.
#pragma once

#include <Python.h>

#include <cassert>
#include <cstdint>

#include "runtime/calls.h"
#include "runtime/module_state.h"
#include "runtime/python_compat.h"
#include "runtime/ref.h"

// One per read site: the module dict's version at the last lookup and what it
// found there (borrowed: the dict owns it; null when the name was absent).
struct GlobalLookupCache {
  uint64_t version;  // 0 is never a dict version, so the first read looks
  PyObject* value;
};

// The routines below return an rt::Ref through inline wrappers of
// object-or-null entries: these reads sit on every path of module code, and a
// class returned from an out-of-line call travels through memory.
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
inline PyObject* GetModuleGlobal(PyObject* name, GlobalLookupCache* cache) noexcept {
  // A lookup with an exception set would clear it on a miss.
  assert(!PyErr_Occurred() && "a global is read with no exception pending");
  assert(Rt_IsInternedName(name));
  PyObject* d = g_state.module_dict;
#if RT_HAVE_DICT_VERSION
  if (cache->version == Rt_DictVersion(d)) {
    if (!cache->value) return GetBuiltinName(name);
    return rt::NewRef(cache->value);
  }
  PyObject* value = _PyDict_GetItem_KnownHash(d, name, Rt_StrCachedHash(name));  // borrowed
  cache->version = Rt_DictVersion(d);
  cache->value = value;
#else
  (void)cache;  // nothing tells when the dict changed: every read looks
  PyObject* value = _PyDict_GetItem_KnownHash(d, name, Rt_StrCachedHash(name));  // borrowed
#endif
  if (value) return rt::NewRef(value);
  PyErr_Clear();
  return GetBuiltinName(name);
}
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
// type, or a plain attribute of a class read through the standard lookup of
// its metatype. Nothing here is dereferenced before a tag has matched.
struct AttributeReadCache {
  // kGeneric: objects of the type `owner` take the generic read, through `read`.
  enum Kind : int { kNothing, kGeneric, kSlot, kDataDescriptor, kClassValue };
  Kind kind;
  unsigned int version;       // of `owner`
  unsigned int meta_version;  // kClassValue: of the class's metatype
  const void* owner;          // the instances' type, or for kClassValue the class itself
  Py_ssize_t offset;          // kSlot: where the instance keeps the value
  PyObject* found;            // borrowed: the descriptor or the value, held by a type's dict
  getattrofunc read;          // kGeneric
};

namespace rt::detail {
// The generic read, noting in the cache what it can keep.
PyObject* GetAttrAndRemember(PyObject* obj, PyObject* name, AttributeReadCache* cache) noexcept;

inline PyObject* GetAttrCached(PyObject* obj, PyObject* name, AttributeReadCache* cache) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  switch (cache->kind) {
    case AttributeReadCache::kSlot:
      if (cache->owner == type && cache->version == Rt_TypeVersion(type)) {
        PyObject* value =
            *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + cache->offset);
        if (value) return rt::NewRef(value);  // an empty slot raises on the generic path
      }
      break;
    case AttributeReadCache::kDataDescriptor:
      if (cache->owner == type && cache->version == Rt_TypeVersion(type)) {
        if (Py_TYPE(cache->found) == &PyProperty_Type && obj != Py_None) {
          // The getter called as the property would call it, held over the
          // call: a second __init__ of the property can replace it.
          if (PyObject* getter = Rt_PropertyGetter(cache->found)) {
            rt::Ref held = rt::Ref::borrow(getter);
            PyObject* slots[2] = {nullptr, obj};  // a spare slot for a bound self
            // A Python function's own entry sets an exception with every null;
            // entered here, it saves the dispatcher's checks (some 40
            // instructions a read, 2% of a three-cookie SimpleCookie answer on 3.8).
            if (Py_TYPE(getter) == &PyFunction_Type) {
              if (vectorcallfunc entry = Rt_VectorcallEntry(getter))
                return entry(held.get(), slots + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
            }
            return rt::detail::FastCall(held.get(), slots + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                        nullptr);
          }
        }
        // Held over the call, which may take it out of the type's dict.
        rt::Ref descriptor = rt::Ref::borrow(cache->found);
        return Py_TYPE(descriptor.get())
            ->tp_descr_get(descriptor.get(), obj, reinterpret_cast<PyObject*>(type));
      }
      break;
    case AttributeReadCache::kClassValue:
      if (cache->owner == obj &&
          cache->version == Rt_TypeVersion(reinterpret_cast<PyTypeObject*>(obj)) &&
          cache->meta_version == Rt_TypeVersion(type))
        return rt::NewRef(cache->found);
      break;
    case AttributeReadCache::kGeneric:
      if (cache->owner == type && cache->version == Rt_TypeVersion(type))
        return cache->read(obj, name);
      break;
    case AttributeReadCache::kNothing:
      break;
  }
  return GetAttrAndRemember(obj, name, cache);
}
}  // namespace rt::detail

// Rt_GetAttr with the read site's cache: empty with an exception set.
inline rt::Ref Rt_GetAttrCached(PyObject* obj, PyObject* name, AttributeReadCache* cache) noexcept {
  return rt::Ref::steal(rt::detail::GetAttrCached(obj, name, cache));
}
