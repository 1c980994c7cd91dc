// The shared type registry and the metatype of the shared types.
#include "runtime/shared_types.h"

#include <structmember.h>

#include <cstring>

#include "runtime/cyfunction.h"
#include "runtime/module_state.h"

// --- the metatype -------------------------------------------------------------

static PyObject* Metatype_GetModule(PyObject*, void*) {
  return PyUnicode_FromString(RT_SHARED_MODULE_NAME);
}

static PyObject* Metatype_Refuse(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "Cannot instantiate Cython internal types");
  return nullptr;
}

static int Metatype_SetAttr(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "Cython internal types are immutable");
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

// 0x100 and 0x80 mark the type immutable and not instantiable for the
// interpreters that know these bits; on 3.8 the slots above do that work.
PyType_Spec g_common_metatype_spec = {RT_SHARED_MODULE_NAME "._common_types_metatype", 0, 0,
                                      Py_TPFLAGS_DEFAULT | 0x100 | 0x80, g_metatype_slots};

// --- the registry -------------------------------------------------------------

int Rt_CheckSharedType(PyObject* candidate, const char* short_name,
                       Py_ssize_t expected_size) noexcept {
  if (!PyType_Check(candidate)) {
    PyErr_Format(PyExc_TypeError, "Shared Cython type %.200s is not a type object", short_name);
    return -1;
  }
  if (expected_size && reinterpret_cast<PyTypeObject*>(candidate)->tp_basicsize != expected_size) {
    PyErr_Format(PyExc_TypeError, "Shared Cython type %.200s has the wrong size, try recompiling",
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
        if (PyDict_DelItemString(type->tp_dict, m->name) < 0) {
          if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
          PyErr_Clear();
        }
      } else if (std::strcmp(m->name, "__module__") == 0) {
        PyObject* descr = PyDescr_NewMember(type, m);
        if (!descr) return -1;
        int rc = PyDict_SetItem(type->tp_dict, PyDescr_NAME(descr), descr);
        Py_DECREF(descr);
        if (rc < 0) return -1;
      } else {
        continue;
      }
      changed = true;
    }
  }
  if (auto* getset = static_cast<PyGetSetDef*>(FindSlot(type_spec, Py_tp_getset))) {
    for (PyGetSetDef* g = getset; g->name; ++g) {
      if (std::strcmp(g->name, "__module__") != 0) continue;
      PyObject* descr = PyDescr_NewGetSet(type, g);
      if (!descr) return -1;
      int rc = PyDict_SetItem(type->tp_dict, PyDescr_NAME(descr), descr);
      Py_DECREF(descr);
      if (rc < 0) return -1;
      changed = true;
    }
  }
  if (changed) PyType_Modified(type);
  return 0;
}

PyObject* Rt_FetchSharedType(PyTypeObject* metatype, PyType_Spec* type_spec, PyObject* bases) noexcept {
  const char* dot = std::strrchr(type_spec->name, '.');
  const char* short_name = dot ? dot + 1 : type_spec->name;
  PyObject* key = PyUnicode_FromString(short_name);
  if (!key) return nullptr;
  PyObject* module = PyImport_AddModule(RT_SHARED_MODULE_NAME);  // borrowed
  if (!module) {
    Py_DECREF(key);
    return nullptr;
  }
  Py_INCREF(module);
  PyObject* result = nullptr;
  PyObject* dict = PyModule_GetDict(module);  // borrowed
  if (dict) {
    PyObject* found = PyDict_GetItemWithError(dict, key);  // borrowed
    if (found) {
      Py_INCREF(found);
      if (Rt_CheckSharedType(found, short_name, type_spec->basicsize) < 0) {
        Py_DECREF(found);
      } else {
        result = found;
      }
    } else if (!PyErr_Occurred()) {
      PyObject* created = PyType_FromSpecWithBases(type_spec, bases);
      if (created && metatype) {
        PyTypeObject* previous = Py_TYPE(created);
        Py_INCREF(metatype);
        Py_TYPE(created) = metatype;
        // The allocation took a reference to its metatype only if that is a
        // heap type; `type` itself was never counted.
        if (PyType_HasFeature(previous, Py_TPFLAGS_HEAPTYPE)) Py_DECREF(previous);
      }
      if (created && Rt_FixupSpecType(type_spec, reinterpret_cast<PyTypeObject*>(created)) < 0)
        Py_CLEAR(created);
      if (created) {
        PyObject* registered = PyDict_SetDefault(dict, key, created);  // borrowed
        if (!registered) {
          Py_DECREF(created);
        } else if (registered == created) {
          result = created;
        } else {
          // Someone registered the name while the type was being made.
          Py_DECREF(created);
          if (Rt_CheckSharedType(registered, short_name, type_spec->basicsize) == 0) {
            Py_INCREF(registered);
            result = registered;
          }
        }
      }
    }
  }
  Py_DECREF(module);
  Py_DECREF(key);
  return result;
}

int Rt_FetchSharedTypes(ModuleState* state) noexcept {
  PyObject* bases = PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyType_Type));
  if (!bases) return -1;
  PyObject* metatype = Rt_FetchSharedType(nullptr, &g_common_metatype_spec, bases);
  Py_DECREF(bases);
  if (!metatype) return -1;
  Py_XSETREF(state->common_metatype, metatype);
  PyObject* function_type = Rt_FetchSharedType(reinterpret_cast<PyTypeObject*>(metatype),
                                                &g_cyfunction_spec, nullptr);
  if (!function_type) return -1;
  // Function objects are made only by Rt_CyFunction_New: the inherited
  // object.__new__ (reachable as type(f).__new__(type(f)), or through a seeded
  // metatype) would hand out records with null fields.
  auto* ft = reinterpret_cast<PyTypeObject*>(function_type);
  if (ft->tp_new) {
    ft->tp_new = nullptr;
    PyType_Modified(ft);
  }
  Py_XSETREF(state->cyfunction_type, function_type);
  return 0;
}
