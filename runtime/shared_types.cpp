// The shared type registry and the metatype of the shared types.
#include "runtime/shared_types.h"

#include <structmember.h>

#include <cstring>

#include "runtime/compiled_function.h"
#include "runtime/module_state.h"
#include "runtime/python_compat.h"
#include "runtime/ref.h"

// --- the metatype -------------------------------------------------------------

static PyObject* Metatype_GetModule(PyObject*, void*) noexcept {
  return PyUnicode_FromString(RT_SHARED_MODULE_NAME);
}

static PyObject* Metatype_Refuse(PyObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "Cannot instantiate runtime internal types");
  return nullptr;
}

static int Metatype_SetAttr(PyObject*, PyObject*, PyObject*) noexcept {
  PyErr_SetString(PyExc_TypeError, "Runtime internal types are immutable");
  return -1;
}

static PyGetSetDef g_metatype_getset[] = {
    {const_cast<char*>("__module__"), Metatype_GetModule, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

static PyType_Slot g_metatype_slots[] = {
    {Py_tp_getset, g_metatype_getset},
    {Py_tp_call, reinterpret_cast<void*>(Metatype_Refuse)},
    {Py_tp_new, reinterpret_cast<void*>(Metatype_Refuse)},
    {Py_tp_setattro, reinterpret_cast<void*>(Metatype_SetAttr)},
    {0, nullptr}};

// The slots above make the types immutable and not instantiable.
PyType_Spec g_common_metatype_spec = {RT_SHARED_MODULE_NAME "._common_types_metatype", 0, 0,
                                      RT_TPFLAGS_DEFAULT | RT_METATYPE_LATER_FLAGS,
                                      g_metatype_slots};

// --- the registry -------------------------------------------------------------

int Rt_CheckSharedType(PyObject* candidate, const char* short_name,
                       Py_ssize_t expected_size) noexcept {
  if (!PyType_Check(candidate)) {
    PyErr_Format(PyExc_TypeError, "Shared runtime type %.200s is not a type object", short_name);
    return -1;
  }
  if (expected_size && reinterpret_cast<PyTypeObject*>(candidate)->tp_basicsize != expected_size) {
    PyErr_Format(PyExc_TypeError, "Shared runtime type %.200s has the wrong size, try recompiling",
                 short_name);
    return -1;
  }
  return 0;
}

static void* FindSlot(const PyType_Spec* type_spec, int id) noexcept {
  for (const PyType_Slot* slot = type_spec->slots; slot->slot; ++slot)
    if (slot->slot == id) return slot->pfunc;
  return nullptr;
}

// Stores a new descriptor (null: its creation failed) under its own name.
static int AddDescriptor(PyTypeObject* type, rt::Ref descr) noexcept {
  if (!descr) return -1;
  rt::Ref dict = rt::Ref::steal(PyType_GetDict(type));
  return PyDict_SetItem(dict.get(), PyDescr_NAME(descr.get()), descr.get());
}

int Rt_FixupSpecType(PyType_Spec* type_spec, PyTypeObject* type) noexcept {
  bool changed = false;
  if (auto* members = static_cast<PyMemberDef*>(FindSlot(type_spec, Py_tp_members))) {
    for (PyMemberDef* m = members; m->name; ++m) {
      if (std::strncmp(m->name, "__", 2) != 0) continue;
      bool offset = true;
      if (std::strcmp(m->name, "__weaklistoffset__") == 0) {
        type->tp_weaklistoffset = m->offset;
      } else if (std::strcmp(m->name, "__dictoffset__") == 0) {
        type->tp_dictoffset = m->offset;
      } else if (std::strcmp(m->name, "__vectorcalloffset__") == 0) {
        type->tp_vectorcall_offset = m->offset;
      } else {
        offset = false;
      }
      if (offset) {
        // These members only carry offsets; left in the type they would read
        // the fields' raw pointers as numbers.
        rt::Ref dict = rt::Ref::steal(PyType_GetDict(type));
        if (PyDict_DelItemString(dict.get(), m->name) < 0) {
          if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
          PyErr_Clear();
        }
      } else if (std::strcmp(m->name, "__module__") == 0) {
        if (AddDescriptor(type, rt::Ref::steal(PyDescr_NewMember(type, m))) < 0) return -1;
      } else {
        continue;
      }
      changed = true;
    }
  }
  if (auto* getset = static_cast<PyGetSetDef*>(FindSlot(type_spec, Py_tp_getset))) {
    for (PyGetSetDef* g = getset; g->name; ++g) {
      if (std::strcmp(g->name, "__module__") != 0) continue;
      if (AddDescriptor(type, rt::Ref::steal(PyDescr_NewGetSet(type, g))) < 0) return -1;
      changed = true;
    }
  }
  if (changed) PyType_Modified(type);
  return 0;
}

// A new type from the spec, given `metatype` (when not null) as its type and
// fixed up; null with an exception set.
static rt::Ref CreateSharedType(PyTypeObject* metatype, PyType_Spec* type_spec,
                                PyObject* bases) noexcept {
  rt::Ref created = rt::Ref::steal(PyType_FromSpecWithBases(type_spec, bases));
  if (!created) {
    // 3.13 can drop the MemoryError of an allocation that failed inside.
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return created;
  }
  if (metatype) {
    // The allocation took a reference to its metatype only if that is a heap
    // type; `type` itself was never counted.
    PyTypeObject* previous = Py_TYPE(created.get());
    Py_INCREF(metatype);  // the type's own reference to its new metatype
    Py_SET_TYPE(created.get(), metatype);
    if (PyType_HasFeature(previous, Py_TPFLAGS_HEAPTYPE))
      Py_DECREF(reinterpret_cast<PyObject*>(previous));
  }
  if (Rt_FixupSpecType(type_spec, reinterpret_cast<PyTypeObject*>(created.get())) < 0)
    return rt::Ref();
  return created;
}

// `candidate` (borrowed) as the registered type after its check.
static rt::Ref Checked(PyObject* candidate, const char* short_name, Py_ssize_t size) noexcept {
  if (Rt_CheckSharedType(candidate, short_name, size) < 0) return rt::Ref();
  return rt::Ref::borrow(candidate);
}

rt::Ref Rt_FetchSharedType(PyTypeObject* metatype, PyType_Spec* type_spec,
                           PyObject* bases) noexcept {
  const char* dot = std::strrchr(type_spec->name, '.');
  const char* short_name = dot ? dot + 1 : type_spec->name;
  rt::Ref key = rt::Ref::steal(PyUnicode_FromString(short_name));
  if (!key) return key;
  rt::Ref module = rt::Ref::borrow(PyImport_AddModule(RT_SHARED_MODULE_NAME));
  if (!module) return module;
  PyObject* dict = PyModule_GetDict(module.get());  // borrowed
  if (!dict) return rt::Ref();
  if (PyObject* found = PyDict_GetItemWithError(dict, key.get())) {  // borrowed
    // Held across the check, which may run Python code.
    rt::Ref held = rt::Ref::borrow(found);
    return Checked(held.get(), short_name, type_spec->basicsize);
  }
  if (PyErr_Occurred()) return rt::Ref();
  rt::Ref created = CreateSharedType(metatype, type_spec, bases);
  if (!created) return created;
  PyObject* registered = PyDict_SetDefault(dict, key.get(), created.get());  // borrowed
  if (!registered) return rt::Ref();
  if (registered == created.get()) return created;
  // Someone registered the name while the type was being made.
  created.reset();
  return Checked(registered, short_name, type_spec->basicsize);
}

int Rt_FetchSharedTypes(ModuleState* state) noexcept {
  rt::Ref metatype = [] {
    rt::Ref bases = rt::TupleOf({reinterpret_cast<PyObject*>(&PyType_Type)});
    if (!bases) return rt::Ref();
    return Rt_FetchSharedType(nullptr, &g_common_metatype_spec, bases.get());
  }();
  if (!metatype) return -1;
  auto* metatype_object = reinterpret_cast<PyTypeObject*>(metatype.get());
  rt::SetField(&state->common_metatype, std::move(metatype));
  rt::Ref function_type = Rt_FetchSharedType(metatype_object, &g_function_spec, nullptr);
  if (!function_type) return -1;
  // Function objects are made only by Rt_Function_New: the inherited
  // object.__new__ (reachable as type(f).__new__(type(f)), or through a seeded
  // metatype) would hand out records with null fields.
  auto* ft = reinterpret_cast<PyTypeObject*>(function_type.get());
  if (ft->tp_new) {
    ft->tp_new = nullptr;
    PyType_Modified(ft);
  }
  rt::SetField(&state->function_type, std::move(function_type));
  return 0;
}
