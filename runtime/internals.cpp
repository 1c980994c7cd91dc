// The runtime's fast paths over the interpreter's private layouts and calls,
// each beside its public twin: VELMORA_INTERNALS picks one at build time.
#include "runtime/internals.h"

#include <frameobject.h>

#if RT_FAST_ATTR_CACHE
#include <structmember.h>
#endif
#if RT_FAST_ENTRY_FRAMES && RT_PY311
// The frame object's fields, opaque from 3.11; read only to tell whether a
// frame is still as PyFrame_New made it.
#ifndef Py_BUILD_CORE
#define Py_BUILD_CORE 1
#endif
#include <internal/pycore_frame.h>
#if RT_PY314
#include <internal/pycore_interpframe_structs.h>  // the frame data's fields, apart from 3.14
#endif
#endif

#if RT_FAST_TRIVIAL_GETTER
#include "runtime/trivial_getter_code.h"
#if RT_PY311
// The shared names of a class's instances (3.11 on), and the interpreter's
// call watchers (3.12 on). The atomics header of 3.11 and 3.12 is C-only
// unless it falls back to the compiler's builtins, which keep the layout.
#ifndef Py_BUILD_CORE
#define Py_BUILD_CORE 1
#endif
#if !RT_PY313
#undef HAVE_STD_ATOMIC
#undef _PyGC_FINALIZED  // 3.12's public spelling of what a core header defines
#endif
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <internal/pycore_dict.h>
#if RT_PY312
#include <internal/pycore_interp.h>
#endif
#pragma GCC diagnostic pop
#endif
#endif

#include <cassert>

#include "runtime/body_helpers.h"
#include "runtime/calls.h"
#include "runtime/exceptions.h"
#include "runtime/globals.h"
#include "runtime/module_state.h"
#include "runtime/runtime_names.h"

#if RT_FAST_METHOD_LOOKUP
// Exported by every version checked, without a public declaration.
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

int Rt_LookupMethod(PyObject* obj, PyObject* name, PyObject** method) noexcept {
#if RT_FAST_METHOD_LOOKUP
  return _PyObject_GetMethod(obj, name, method);
#else
  *method = PyObject_GetAttr(obj, name);
  return 0;
#endif
}

bool Rt_IsDictValuesMethod([[maybe_unused]] PyObject* method,
                           [[maybe_unused]] PyObject* values_name) noexcept {
#if RT_FAST_DICT_VALUES
  // dict.values as dict's own type holds it (borrowed: the type keeps it).
  // Filled on first use under the GIL: a guarded static would link the C++
  // runtime's exception support into the module.
  static PyObject* descriptor = nullptr;
  if (!descriptor) descriptor = _PyType_Lookup(&PyDict_Type, values_name);
  return method == descriptor;
#else
  return false;  // the lookup never answers unbound
#endif
}

namespace rt::internals {

// --- traceback entries -------------------------------------------------------------

bool EntryFrameIsUntouched([[maybe_unused]] PyObject* frame) noexcept {
#if RT_FAST_ENTRY_FRAMES && RT_PY311
  // No trace function or its switches, no line set, no locals dict made
  // through f_locals, not linked to a caller.
  if (Py_REFCNT(frame) != 1) return false;
  auto* f = reinterpret_cast<PyFrameObject*>(frame);
  if (f->f_back || f->f_trace || f->f_lineno != 0 || f->f_trace_lines != 1 || f->f_trace_opcodes)
    return false;
  if (f->f_frame != reinterpret_cast<_PyInterpreterFrame*>(f->_f_frame_data) ||
      f->f_frame->f_locals)
    return false;
#if RT_PY314
  return !f->f_extra_locals && !f->f_locals_cache && !f->f_overwritten_fast_locals;
#elif RT_PY313
  return !f->f_extra_locals && !f->f_locals_cache;
#else
  return !f->f_fast_as_locals;
#endif
#else
  return false;
#endif
}

Ref CodeName(PyObject* code) noexcept {
#if RT_FAST_CODE_NAME
  return Ref::borrow(reinterpret_cast<PyCodeObject*>(code)->co_name);
#else
  rt::PendingErrorScope keep;  // the caller's exception is the one to report
  return Ref::steal(PyObject_GetAttrString(code, "co_name"));
#endif
}

}  // namespace rt::internals

// --- lists ---------------------------------------------------------------------------

int Rt_ListAppendFast(PyObject* list, PyObject* x) noexcept {
#if RT_FAST_LIST_SPARE
  // Into a spare slot without the resize path when the list has one.
  auto* l = reinterpret_cast<PyListObject*>(list);
  Py_ssize_t size = Py_SIZE(l);
  if (l->allocated > size) {
    Py_INCREF(x);
    PyList_SET_ITEM(list, size, x);
    Py_SET_SIZE(reinterpret_cast<PyVarObject*>(l), size + 1);
    return 0;
  }
#endif
  return PyList_Append(list, x);
}

// --- module globals --------------------------------------------------------------------

#if RT_WATCH_MODULE_DICT
namespace {

// This runtime copy's own watcher (each module has one), -1 while it has none.
int g_module_dict_watcher = -1;
// Moved on by the watcher before each change of the module dict, and on
// watching a new one; 0 until then.
uint64_t g_module_dict_version = 0;

// Called for the module dict alone; it also sees the dict cleared at
// finalisation. A counter kept for the life of the process: safe at any time.
int OnModuleDictChange(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  g_module_dict_version++;
  return 0;
}

}  // namespace
#endif

void rt::internals::WatchModuleDict([[maybe_unused]] PyObject* dict) noexcept {
#if RT_WATCH_MODULE_DICT
  // The interpreter has a few watcher ids for everyone: without one the global
  // reads look every time.
  if (g_module_dict_watcher < 0) {
    g_module_dict_watcher = PyDict_AddWatcher(OnModuleDictChange);
    if (g_module_dict_watcher < 0) {
      PyErr_Clear();
      return;
    }
  }
  if (PyDict_Watch(g_module_dict_watcher, dict) < 0) {
    PyErr_Clear();
    g_module_dict_version = 0;
    return;
  }
  g_module_dict_version++;
#endif
}

uint64_t rt::internals::ModuleDictVersion([[maybe_unused]] PyObject* dict) noexcept {
#if RT_WATCH_MODULE_DICT
  return g_module_dict_watcher < 0 ? 0 : g_module_dict_version;
#elif RT_FAST_GLOBAL_CACHE
#if RT_PY312
  // Deprecated from 3.12 but kept through 3.13, changing as before.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if RT_PY312
#pragma GCC diagnostic pop
#endif
#else
  return 0;
#endif
}

PyObject* rt::detail::GetModuleGlobal(PyObject* name, GlobalLookupCache* cache) noexcept {
  // A lookup with an exception set would clear it on a miss.
  assert(!PyErr_Occurred() && "a global is read with no exception pending");
  assert(rt::internals::IsInternedName(name));
  PyObject* d = g_state.module_dict;
#if RT_FAST_GLOBAL_CACHE
  uint64_t version = rt::internals::ModuleDictVersion(d);
  if (version && cache->version == version) {
    if (!cache->value) return GetBuiltinName(name);
    return rt::NewRef(cache->value);
  }
  PyObject* value =
      _PyDict_GetItem_KnownHash(d, name, reinterpret_cast<PyASCIIObject*>(name)->hash);  // borrowed
  cache->version = version;
  cache->value = value;
#else
  (void)cache;  // nothing tells when the dict changed: every read looks
  PyObject* value = PyDict_GetItemWithError(d, name);  // borrowed
#endif
  if (value) return rt::NewRef(value);
  PyErr_Clear();
  return GetBuiltinName(name);
}

// --- attribute reads ---------------------------------------------------------------------

#if RT_FAST_ATTR_CACHE
namespace {

// A type's version tag, 0 while it has none: the tag changes whenever the
// type's dict or a base's changes, and no other live type has the same one.
// Through 3.10 a modified type keeps its old number with the valid bit
// cleared; from 3.11 the number is zeroed and later versions drop the bit.
unsigned int TypeVersion(PyTypeObject* type) noexcept {
#if RT_PY311
  return type->tp_version_tag;
#else
  return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// A data descriptor's read of `obj`, the descriptor held over it: the call may
// take it out of the type's dict.
PyObject* ReadDescriptor(PyObject* found, PyObject* obj) noexcept {
  rt::Ref descriptor = rt::Ref::borrow(found);
  return Py_TYPE(found)->tp_descr_get(found, obj, reinterpret_cast<PyObject*>(Py_TYPE(obj)));
}

#if RT_FAST_TRIVIAL_GETTER
// A property's getter (borrowed; null when it has none). The object's layout
// is private, but its getter comes first after the header in every version.
PyObject* PropertyGetter(PyObject* property) noexcept {
  struct PropertyHead {
    PyObject_HEAD PyObject* getter;
  };
  return reinterpret_cast<PropertyHead*>(property)->getter;
}
#endif

// How a metatype reads the attributes of its classes.
enum class ClassRead {
  kOther,
  kType,  // type's own read
  // A class statement's __getattr__ hook over type's own __getattribute__
  // (enum's metatype up to 3.11): the hook asks __getattr__ only when type's
  // read finds nothing. Known while the metatype's tag holds.
  kTypeThenGetattr,
};

ClassRead ClassReadOf(PyTypeObject* meta) noexcept {
  if (meta->tp_getattro == PyType_Type.tp_getattro) return ClassRead::kType;
#if RT_FAST_CLASS_GETATTR
  if (!PyType_HasFeature(meta, Py_TPFLAGS_HEAPTYPE)) return ClassRead::kOther;
  PyObject* name = Rt_RuntimeName(&RuntimeNameSlots::dunder_getattribute);
  PyObject* own = _PyType_Lookup(meta, name);  // borrowed
  bool over_type = own && own == _PyType_Lookup(&PyType_Type, name);
  return over_type ? ClassRead::kTypeThenGetattr : ClassRead::kOther;
#else
  return ClassRead::kOther;
#endif
}

#if RT_FAST_CLASS_GETATTR
// __getattr__ called as the interpreter's hook calls it: bound first when it is a descriptor.
PyObject* CallGetattr(PyObject* cls, PyObject* hook, PyObject* name) noexcept {
  rt::Ref bound;
  if (descrgetfunc bind = Py_TYPE(hook)->tp_descr_get) {
    bound = rt::Ref::steal(bind(hook, cls, reinterpret_cast<PyObject*>(Py_TYPE(cls))));
    if (!bound) return nullptr;
    hook = bound.get();
  }
  PyObject* args[1] = {name};
  return rt::detail::FastCall(hook, args, 1, nullptr);
}

// A class's attribute under a kTypeThenGetattr metatype: the hook's work
// without the bound __getattribute__ it makes and calls on every read.
PyObject* ReadTypeThenGetattr(PyObject* cls, PyObject* name) noexcept {
  // Held before the read, as the hook holds it: the read may replace it.
  rt::Ref hook = rt::Ref::borrow(
      _PyType_Lookup(Py_TYPE(cls), Rt_RuntimeName(&RuntimeNameSlots::dunder_getattr)));
  PyObject* result = PyType_Type.tp_getattro(cls, name);
  if (result || !hook || !PyErr_ExceptionMatches(PyExc_AttributeError)) return result;
  PyErr_Clear();
  return CallGetattr(cls, hook.get(), name);
}
#endif

#if RT_PY311
// From 3.11 an instance of a class statement's class keeps its attributes'
// values beside it, in an array indexed as the names its class's instances
// share, until something asks for its dict (3.11, 3.12) or it outgrows the
// shared names. The layouts below are each version's pycore_object.h and
// pycore_dict.h (3.14 and 3.15 as 3.13, but the values follow the type's
// basic size, which may exceed the object header).
#if RT_PY313
struct InlineValues {
  uint8_t capacity, size, embedded, valid;
  PyObject* values[1];
};
#endif

// The instance's values kept beside it, or null while its dict holds them.
PyObject** InstanceValues(PyObject* obj) noexcept {
#if RT_PY313
  if (!PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_INLINE_VALUES)) return nullptr;
#if RT_PY314
  Py_ssize_t at = Py_TYPE(obj)->tp_basicsize;
#else
  Py_ssize_t at = sizeof(PyObject);
#endif
  auto* inline_values = reinterpret_cast<InlineValues*>(reinterpret_cast<char*>(obj) + at);
  return inline_values->valid ? inline_values->values : nullptr;
#elif RT_PY312
  if (!PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_MANAGED_DICT)) return nullptr;
  // The dict, or the values' address less one.
  char* dict_or_values = reinterpret_cast<char**>(obj)[-3];
  if (!(reinterpret_cast<uintptr_t>(dict_or_values) & 1)) return nullptr;
  return reinterpret_cast<PyObject**>(dict_or_values + 1);
#else
  if (!PyType_HasFeature(Py_TYPE(obj), Py_TPFLAGS_MANAGED_DICT)) return nullptr;
  return reinterpret_cast<PyObject***>(obj)[-4];
#endif
}

// The index of `value` among the values in use, or -1 unless it is there exactly once.
Py_ssize_t SoleIndexOf(PyObject** values, PyObject* value) noexcept {
  Py_ssize_t found = -1, matches = 0;
  auto look = [&](Py_ssize_t i) {
    if (values[i] == value) {
      found = i;
      matches++;
    }
  };
#if RT_PY313
  const auto* head = reinterpret_cast<const InlineValues*>(reinterpret_cast<char*>(values) -
                                                           offsetof(InlineValues, values));
  for (Py_ssize_t i = 0; i < head->capacity; i++) look(i);
#else
  // Before the values: the count in use, then the indices in use, counting down.
  const uint8_t* count = reinterpret_cast<const uint8_t*>(values) - 2;
  for (int n = 1; n <= *count; n++) look(count[-n]);
#endif
  return matches == 1 ? found : -1;
}
#endif

// A read that found nothing in the type and `value` in the instance's values:
// where the next read finds it while the type's tag holds, as the
// interpreter's own instance reads do. The generic read found the value under
// the name, so the one index that holds it is the name's.
void RememberInstanceValue([[maybe_unused]] PyObject* obj, [[maybe_unused]] PyObject* value,
                           [[maybe_unused]] unsigned int version,
                           [[maybe_unused]] AttributeReadCache* cache) noexcept {
#if RT_PY311
  PyObject** values = InstanceValues(obj);
  if (!values) return;
  Py_ssize_t index = SoleIndexOf(values, value);
  if (index < 0) return;
  cache->kind = AttributeReadCache::kInstanceValue;
  cache->owner = Py_TYPE(obj);
  cache->version = version;
  cache->offset = index;
#endif
}

// What a read of `name` on `obj` would find again while the tags hold; a
// version of 0 (a type without a tag) keeps nothing. Looks only: no errors.
void RememberFound(PyObject* obj, PyObject* name, PyObject* result, ClassRead class_read,
                   AttributeReadCache* cache) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_getattro == PyObject_GenericGetAttr) {
    PyObject* descriptor = _PyType_Lookup(type, name);  // borrowed; assigns the tag
    unsigned int version = TypeVersion(type);
    if (!version) return;
    if (!descriptor) {
      RememberInstanceValue(obj, result, version, cache);
      return;
    }
    PyTypeObject* kind = Py_TYPE(descriptor);
    if (kind == &PyMemberDescr_Type) {
      const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member;
      if (member->type != T_OBJECT_EX || (member->flags & READ_RESTRICTED)) return;
      cache->kind = AttributeReadCache::kSlot;
      cache->offset = member->offset;
    } else if (kind->tp_descr_get && kind->tp_descr_set &&
               !PyType_HasFeature(kind, Py_TPFLAGS_HEAPTYPE)) {
      // A class statement's descriptor can lose __set__ without the owner
      // noticing, and the instance dict would then win: only built-in kinds.
      cache->kind = AttributeReadCache::kDataDescriptor;
    } else {
      return;  // the instance's own dict could shadow it
    }
    cache->owner = type;
    cache->version = version;
    cache->found = descriptor;
    return;
  }
  if (class_read != ClassRead::kOther) {
    auto* cls = reinterpret_cast<PyTypeObject*>(obj);
    if (_PyType_Lookup(type, name)) return;  // the metatype's own attribute decides
    PyObject* value = _PyType_Lookup(cls, name);
    unsigned int version = TypeVersion(cls), meta_version = TypeVersion(type);
    if (!value || Py_TYPE(value)->tp_descr_get || !version || !meta_version) return;
    cache->kind = AttributeReadCache::kClassValue;
    cache->owner = obj;
    cache->version = version;
    cache->meta_version = meta_version;
    cache->found = value;
  }
}

// Failing that, that objects of this type need the generic read.
void Remember(PyObject* obj, PyObject* name, PyObject* result, AttributeReadCache* cache) noexcept {
  // How a class reads decides both what is kept and the generic read: asked once.
  ClassRead class_read = PyType_Check(obj) ? ClassReadOf(Py_TYPE(obj)) : ClassRead::kOther;
  RememberFound(obj, name, result, class_read, cache);
  if (cache->kind != AttributeReadCache::kNothing) return;
  PyTypeObject* type = Py_TYPE(obj);
  unsigned int version = TypeVersion(type);
  if (!version) return;
  cache->kind = AttributeReadCache::kGeneric;
  cache->owner = type;
  cache->version = version;
  cache->read = type->tp_getattro ? type->tp_getattro : PyObject_GetAttr;
#if RT_FAST_CLASS_GETATTR
  if (class_read == ClassRead::kTypeThenGetattr) cache->read = ReadTypeThenGetattr;
#endif
}

// The generic read, noting in the cache what it can keep.
PyObject* GetAttrAndRemember(PyObject* obj, PyObject* name, AttributeReadCache* cache) noexcept {
  cache->kind = AttributeReadCache::kNothing;
  PyObject* result = rt::detail::GetAttr(obj, name);
  // Looked at after the read, which may change the type and gives it its tag.
  if (result) Remember(obj, name, result, cache);
  return result;
}

}  // namespace
#endif

// --- a property's trivial getter read in place ---------------------------------------

#if RT_FAST_TRIVIAL_GETTER
namespace {

// AttributeReadCache::getter_read: where the getter's own read finds the value.
// An instance attribute is read from the values kept beside the instance
// (index getter_offset, -1 when the name is not among those shared), or from
// its dict when that holds str keys only (no lookup can run code).
enum GetterRead : int { kGetterCalled, kGetterSlot, kGetterInstanceAttribute };

// The one name a getter's code reads when the code is `return <arg0>.<name>`
// and nothing else (borrowed); null otherwise, with no exception set.
PyObject* TrivialGetterName(PyObject* code) noexcept {
  auto* co = reinterpret_cast<PyCodeObject*>(code);
  const int unusual = CO_VARARGS | CO_VARKEYWORDS | CO_GENERATOR | CO_COROUTINE |
                      CO_ASYNC_GENERATOR | CO_ITERABLE_COROUTINE;
  if (co->co_argcount != 1 || co->co_kwonlyargcount != 0 || (co->co_flags & unusual))
    return nullptr;
  if (co->co_ncellvars || co->co_nfreevars) return nullptr;
  rt::Ref bytes = rt::Ref::steal(PyCode_GetCode(co));  // without the run-time specialisations
  if (!bytes) {
    PyErr_Clear();
    return nullptr;
  }
  bool same =
      PyBytes_GET_SIZE(bytes.get()) == sizeof kTrivialGetterCode &&
      memcmp(PyBytes_AS_STRING(bytes.get()), kTrivialGetterCode, sizeof kTrivialGetterCode) == 0;
  if (!same) return nullptr;
  // The code holds its names for its life: the one name outlives this reference.
  rt::Ref names = rt::Ref::steal(PyObject_GetAttrString(code, "co_names"));
  if (!names || !PyTuple_CheckExact(names.get()) || PyTuple_GET_SIZE(names.get()) != 1) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* name = PyTuple_GET_ITEM(names.get(), 0);
  return PyUnicode_CheckExact(name) ? name : nullptr;
}

// The instance's own dict once made (borrowed), else null.
PyObject* ManagedDict(PyObject* obj) noexcept {
#if RT_PY313
  return reinterpret_cast<PyObject*>(_PyObject_ManagedDictPointer(obj)->dict);
#elif RT_PY312
  // The dict, or the values' address less one (InstanceValues).
  char* dict_or_values = reinterpret_cast<char**>(obj)[-3];
  if (reinterpret_cast<uintptr_t>(dict_or_values) & 1) return nullptr;
  return reinterpret_cast<PyObject*>(dict_or_values);
#else
  return reinterpret_cast<PyObject**>(obj)[-3];  // 3.11's _PyObject_ManagedDictPointer
#endif
}

// `name` in the instance's dict (borrowed), or null when it is not there or
// the dict has keys other than str.
PyObject* ManagedDictValue(PyObject* obj, PyObject* name) noexcept {
  PyObject* dict = ManagedDict(obj);
  if (!dict || !PyDict_Check(dict)) return nullptr;
  if (!DK_IS_UNICODE(reinterpret_cast<PyDictObject*>(dict)->ma_keys)) return nullptr;
  Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(name)->hash;  // interned: known
  return hash == -1 ? nullptr : _PyDict_GetItem_KnownHash(dict, name, hash);
}

// The index of `name` among the names the type's instances share, or -1.
Py_ssize_t SharedNameIndex(PyTypeObject* type, PyObject* name) noexcept {
  if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE)) return -1;
  PyDictKeysObject* keys = reinterpret_cast<PyHeapTypeObject*>(type)->ht_cached_keys;
  if (!keys || keys->dk_kind != DICT_KEYS_SPLIT) return -1;
  PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
  for (Py_ssize_t i = 0; i < keys->dk_nentries; i++)
    if (entries[i].me_key == name) return i;
  return -1;
}

// Whether a call of a function with `code` would be seen by nothing: no trace
// or profile function, and from 3.12 no monitoring tool, global or the
// code's own, and no replaced frame evaluator.
bool NothingWatchesCalls(PyObject* code) noexcept {
  PyThreadState* tstate = PyThreadState_GetUnchecked();
  if (tstate->c_tracefunc || tstate->c_profilefunc) return false;
#if RT_PY312
  PyInterpreterState* interp = tstate->interp;
  if (interp->eval_frame) return false;
  for (uint8_t tools : interp->monitors.tools)
    if (tools) return false;
  if (const _PyCoMonitoringData* own = reinterpret_cast<PyCodeObject*>(code)->_co_monitoring) {
    for (uint8_t tools : own->local_monitors.tools)
      if (tools) return false;
  }
  return true;
#else
  (void)code;  // the code object holds nothing of the kind before 3.12
  return true;
#endif
}

// Checks the property's current getter (cache->found, a property whose type
// tag matched for `obj`) and notes where its read finds the value.
void RememberTrivialGetter(PyObject* obj, AttributeReadCache* cache) noexcept {
  PyObject* getter = PropertyGetter(cache->found);
  rt::Ref code;
  if (getter && Py_TYPE(getter) == &PyFunction_Type)
    code = rt::Ref::borrow(PyFunction_GET_CODE(getter));
  // The old code goes after the entry is whole: its release may run code.
  rt::Ref old = rt::Ref::steal(cache->getter_code);
  cache->getter_read = kGetterCalled;
  cache->getter_code = code.release();
  PyObject* name = cache->getter_code ? TrivialGetterName(cache->getter_code) : nullptr;
  if (!name) return;
  PyTypeObject* type = Py_TYPE(obj);
  if (PyObject* found = _PyType_Lookup(type, name)) {  // borrowed
    if (Py_TYPE(found) != &PyMemberDescr_Type) return;
    const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(found)->d_member;
    if (member->type != T_OBJECT_EX || (member->flags & READ_RESTRICTED)) return;
    cache->getter_read = kGetterSlot;
    cache->getter_offset = member->offset;
    return;
  }
  if (!PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT)) return;
  cache->getter_read = kGetterInstanceAttribute;
  cache->getter_name = name;
  cache->getter_offset = SharedNameIndex(type, name);
}

// The getter's read done in place when it needs no code run and nothing
// watches the call (a new reference); null, with no exception, otherwise.
PyObject* ReadTrivialGetter(PyObject* obj, const AttributeReadCache* cache) noexcept {
  if (!NothingWatchesCalls(cache->getter_code)) return nullptr;
  PyObject* value = nullptr;
  if (cache->getter_read == kGetterSlot) {
    value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + cache->getter_offset);
  } else {
    if (PyObject** values = InstanceValues(obj)) {
      if (cache->getter_offset < 0) return nullptr;
#if RT_PY313
      const auto* head = reinterpret_cast<const InlineValues*>(reinterpret_cast<char*>(values) -
                                                               offsetof(InlineValues, values));
      if (cache->getter_offset >= head->capacity) return nullptr;
#endif
      value = values[cache->getter_offset];
    } else {
      value = ManagedDictValue(obj, cache->getter_name);
    }
  }
  return value ? rt::NewRef(value) : nullptr;
}

// The property of the kDataDescriptor entry read: in place when its getter is
// the one checked and trivial, else through the property; a getter with other
// code than the one checked is checked again after the read.
PyObject* ReadThroughGetter(PyObject* obj, PyObject* getter, AttributeReadCache* cache) noexcept {
  bool is_function = Py_TYPE(getter) == &PyFunction_Type;
  bool checked = is_function && PyFunction_GET_CODE(getter) == cache->getter_code;
  if (checked && cache->getter_read != kGetterCalled) {
    if (PyObject* value = ReadTrivialGetter(obj, cache)) return value;
  }
  PyObject* result = ReadDescriptor(cache->found, obj);
  // The call may have changed the entry (a read at this site inside it) or the type.
  PyTypeObject* type = Py_TYPE(obj);
  if (result && is_function && !checked && cache->kind == AttributeReadCache::kDataDescriptor &&
      cache->owner == type && cache->version == TypeVersion(type) &&
      Py_TYPE(cache->found) == &PyProperty_Type)
    RememberTrivialGetter(obj, cache);
  return result;
}

// The generic read, forgetting the getter checked and checking the one found.
PyObject* GetAttrAndRememberGetter(PyObject* obj, PyObject* name,
                                   AttributeReadCache* cache) noexcept {
  rt::Ref old = rt::Ref::steal(cache->getter_code);
  cache->getter_code = nullptr;
  cache->getter_read = kGetterCalled;
  old = rt::Ref();
  PyObject* result = GetAttrAndRemember(obj, name, cache);
  if (result && cache->kind == AttributeReadCache::kDataDescriptor &&
      Py_TYPE(cache->found) == &PyProperty_Type && obj != Py_None)
    RememberTrivialGetter(obj, cache);
  return result;
}

}  // namespace
#endif

PyObject* rt::detail::GetAttrCached(PyObject* obj, PyObject* name,
                                    [[maybe_unused]] AttributeReadCache* cache) noexcept {
#if RT_FAST_ATTR_CACHE
  PyTypeObject* type = Py_TYPE(obj);
  switch (cache->kind) {
    case AttributeReadCache::kSlot:
      if (cache->owner == type && cache->version == TypeVersion(type)) {
        PyObject* value =
            *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj) + cache->offset);
        if (value) return rt::NewRef(value);  // an empty slot raises on the generic path
      }
      break;
    case AttributeReadCache::kDataDescriptor:
      if (cache->owner == type && cache->version == TypeVersion(type)) {
#if RT_FAST_TRIVIAL_GETTER
        if (Py_TYPE(cache->found) == &PyProperty_Type && obj != Py_None) {
          if (PyObject* getter = PropertyGetter(cache->found))
            return ReadThroughGetter(obj, getter, cache);
        }
#endif
        return ReadDescriptor(cache->found, obj);
      }
      break;
    case AttributeReadCache::kClassValue:
      if (cache->owner == obj &&
          cache->version == TypeVersion(reinterpret_cast<PyTypeObject*>(obj)) &&
          cache->meta_version == TypeVersion(type))
        return rt::NewRef(cache->found);
      break;
    case AttributeReadCache::kInstanceValue:
#if RT_PY311
      if (cache->owner == type && cache->version == TypeVersion(type)) {
        // A value emptied, or the values given up for a dict: the generic read.
        if (PyObject** values = InstanceValues(obj)) {
          if (PyObject* value = values[cache->offset]) return rt::NewRef(value);
        }
      }
#endif
      break;
    case AttributeReadCache::kGeneric:
      if (cache->owner == type && cache->version == TypeVersion(type))
        return cache->read(obj, name);
      break;
    case AttributeReadCache::kNothing:
      break;
  }
#if RT_FAST_TRIVIAL_GETTER
  return GetAttrAndRememberGetter(obj, name, cache);
#else
  return GetAttrAndRemember(obj, name, cache);
#endif
#else
  return GetAttr(obj, name);
#endif
}
