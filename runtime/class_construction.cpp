// Class construction: bases resolved through __mro_entries__, the most derived
// metaclass, a prepared namespace and the metaclass call.
#include "runtime/class_construction.h"

#include <cassert>

#include "runtime/calls.h"
#include "runtime/compiled_function.h"
#include "runtime/internals.h"
#include "runtime/module_state.h"
#include "runtime/ref.h"
#include "runtime/runtime_names.h"

using rt::Ref;

// The replacement entries of a base that is not a type, from its
// __mro_entries__(bases): empty without an error when it has none.
static Ref MroEntries(PyObject* base, PyObject* bases) noexcept {
  Ref method = Rt_GetAttrNoError(base, Rt_RuntimeName(&RuntimeNameSlots::dunder_mro_entries));
  if (!method) return method;
  PyObject* slots[2] = {nullptr, bases};
  Ref entries = Rt_FastCall(method.get(), slots + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
  method.reset();
  if (entries && !PyTuple_Check(entries.get())) {
    PyErr_SetString(PyExc_TypeError, "__mro_entries__ must return a tuple");
    return Ref();
  }
  return entries;
}

Ref Rt_ResolveBases(PyObject* bases) noexcept {
  Ref list;  // made at the first base that is replaced
  Py_ssize_t n = PyTuple_GET_SIZE(bases);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* base = PyTuple_GET_ITEM(bases, i);
    Ref entries;
    if (!PyType_Check(base)) {
      entries = MroEntries(base, bases);
      if (!entries && PyErr_Occurred()) return Ref();
    }
    if (entries) {
      if (!list) {
        list = rt::ListFromArray(&PyTuple_GET_ITEM(bases, 0), i);
        if (!list) return list;
      }
      Py_ssize_t end = PyList_GET_SIZE(list.get());
      if (PyList_SetSlice(list.get(), end, end, entries.get()) < 0) return Ref();
    } else if (list && PyList_Append(list.get(), base) < 0) {
      return Ref();
    }
  }
  if (list) return Ref::steal(PyList_AsTuple(list.get()));
  return Ref::borrow(bases);
}

Ref Rt_CalculateMetaclass(PyObject* bases) noexcept {
  PyTypeObject* winner = nullptr;
  Py_ssize_t n = PyTuple_GET_SIZE(bases);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyTypeObject* t = Py_TYPE(PyTuple_GET_ITEM(bases, i));
    if (!winner) {
      winner = t;
    } else if (PyType_IsSubtype(winner, t)) {
      continue;
    } else if (PyType_IsSubtype(t, winner)) {
      winner = t;
    } else {
      PyErr_SetString(PyExc_TypeError,
                      "metaclass conflict: the metaclass of a derived class must be a (non-strict) "
                      "subclass of the metaclasses of all its bases");
      return Ref();
    }
  }
  if (!winner) winner = &PyType_Type;
  return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

Ref Rt_PrepareClassNamespace(PyObject* metaclass, PyObject* bases, PyObject* name,
                             PyObject* qualname, PyObject* module_name) noexcept {
  Ref ns;
  if (metaclass) {
    Ref prepare = Rt_GetAttrNoError(metaclass, Rt_RuntimeName(&RuntimeNameSlots::dunder_prepare));
    if (prepare) {
      PyObject* slots[3] = {nullptr, name, bases};
      ns = Rt_FastCall(prepare.get(), slots + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    } else if (!PyErr_Occurred()) {
      ns = Ref::steal(PyDict_New());
    }
  } else {
    ns = Ref::steal(PyDict_New());
  }
  if (!ns) return ns;
  if (PyObject_SetItem(ns.get(), Rt_RuntimeName(&RuntimeNameSlots::dunder_module), module_name) <
          0 ||
      PyObject_SetItem(ns.get(), Rt_RuntimeName(&RuntimeNameSlots::dunder_qualname), qualname) < 0)
    return Ref();
  return ns;
}

int Rt_SetNamespaceItem(PyObject* ns, PyObject* key, PyObject* value) noexcept {
  assert(rt::internals::IsInternedName(key));
  if (PyDict_CheckExact(ns)) return PyDict_SetItem(ns, key, value);
  return PyObject_SetItem(ns, key, value);
}

Ref Rt_CreateClass(PyObject* metaclass, PyObject* name, PyObject* bases, PyObject* ns) noexcept {
  PyObject* slots[4] = {nullptr, name, bases, ns};
  return Rt_FastCall(metaclass, slots + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

int Rt_DefineClass(const ClassStatement& st, int (*fill)(PyObject* ns, int* line),
                   int* line) noexcept {
  *line = st.line;
  Ref orig_bases = [&st] {
    Ref base = Rt_GetModuleGlobal(st.base_name, st.base_cache);
    return base ? rt::TupleOf({base.get()}) : Ref();
  }();
  if (!orig_bases) return -1;
  Ref bases = Rt_ResolveBases(orig_bases.get());
  if (!bases) return -1;
  Ref metaclass = Rt_CalculateMetaclass(bases.get());
  if (!metaclass) return -1;
  Ref ns = Rt_PrepareClassNamespace(metaclass.get(), bases.get(), st.name, st.name, st.module_name);
  if (!ns) return -1;
  if (bases.get() != orig_bases.get() &&
      PyMapping_SetItemString(ns.get(), "__orig_bases__", orig_bases.get()) < 0)
    return -1;
  orig_bases.reset();
  if (fill(ns.get(), line) < 0) return -1;
  *line = st.line;
  Ref cls = Rt_CreateClass(metaclass.get(), st.name, bases.get(), ns.get());
  if (!cls) return -1;
  return PyDict_SetItem(g_state.module_dict, st.name, cls.get());
}

int Rt_DefineMethod(PyObject* ns, const MethodStatement& st) noexcept {
  Ref annotations = Ref::steal(PyDict_New());
  if (!annotations) return -1;
  for (int i = 0; i < st.annotation_count; ++i)
    if (PyDict_SetItem(annotations.get(), st.annotations[2 * i], st.annotations[2 * i + 1]) < 0)
      return -1;
  Ref func = Rt_Function_New(st.def, 0, st.qualname, nullptr, st.module_name, g_state.module_dict,
                             st.code);
  if (!func) return -1;
  rt::SetField(&AsCompiledFunction(func.get())->annotations, std::move(annotations));
  return Rt_SetNamespaceItem(ns, st.name, func.get());
}
