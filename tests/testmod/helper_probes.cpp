// Probes of the helpers of the handler bodies, one per helper.
#include "constants.h"
#include "runtime/body_helpers.h"
#include "runtime/module_state.h"
#include "runtime/ref.h"
#include "tests/testmod/testmod.h"

using rt::Ref;

namespace {

// lookup_method(obj, name) -> (unbound, method)
PyObject* LookupMethod(PyObject*, PyObject* args) {
  PyObject *obj, *name;
  if (!PyArg_ParseTuple(args, "OU", &obj, &name)) return nullptr;
  Ref iname = Interned(name);
  if (!iname) return nullptr;
  Ref method;
  int unbound = Rt_LookupMethod(obj, iname.get(), method.out());
  if (!method) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_AssertionError, "no method and no exception");
    return nullptr;
  }
  if (PyErr_Occurred()) {
    method.reset();
    PyErr_SetString(PyExc_AssertionError, "a method with an exception set");
    return nullptr;
  }
  return Py_BuildValue("(iO)", unbound, method.get());
}

// dict_values_init(mapping) -> (source, size, is_dict)
PyObject* DictValuesInit(PyObject*, PyObject* mapping) {
  Py_ssize_t size = -7;
  bool is_dict = true;
  Ref source = Rt_DictValuesIterInit(mapping, Rt_Const(slot::kValues), &size, &is_dict);
  if (!source) return nullptr;
  return Py_BuildValue("(OnO)", source.get(), size, is_dict ? Py_True : Py_False);
}

// dict_values_next(source, size, position, left, is_dict) -> (more, value or None, position, left)
PyObject* DictValuesNext(PyObject*, PyObject* args) {
  PyObject* source;
  Py_ssize_t size, position, left;
  int is_dict;
  if (!PyArg_ParseTuple(args, "Onnnp", &source, &size, &position, &left, &is_dict)) return nullptr;
  Ref value;
  int more = Rt_DictValuesIterNext(source, size, &position, &left, &value, is_dict != 0);
  if (more < 0) return nullptr;
  if (more == 0 && value) {
    PyErr_SetString(PyExc_AssertionError, "a value at the end");
    return nullptr;
  }
  return Py_BuildValue("(iOnn)", more, value ? value.get() : Py_None, position, left);
}

PyObject* FormatSimple(PyObject*, PyObject* x) { return Rt_FormatSimple(x).release(); }

PyObject* MaxCharOf(PyObject*, PyObject* s) {
  if (!PyUnicode_Check(s)) return PyErr_Format(PyExc_TypeError, "not a str");
  return PyLong_FromUnsignedLong(Rt_MaxCharOf(s));
}

// join3(a, b, c, total=None, maxchar=None): the defaults are what the call site computes.
PyObject* Join3(PyObject*, PyObject* args) {
  PyObject* parts[3];
  PyObject *total = Py_None, *maxchar = Py_None;
  if (!PyArg_ParseTuple(args, "UUU|OO", &parts[0], &parts[1], &parts[2], &total, &maxchar))
    return nullptr;
  Py_ssize_t n = 0;
  Py_UCS4 widest = 0;
  for (PyObject* part : parts) {
    n += PyUnicode_GET_LENGTH(part);
    widest |= Rt_MaxCharOf(part);
  }
  if (total != Py_None && (n = PyLong_AsSsize_t(total)) == -1 && PyErr_Occurred()) return nullptr;
  if (maxchar != Py_None) {
    unsigned long m = PyLong_AsUnsignedLong(maxchar);
    if (m == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    widest = static_cast<Py_UCS4>(m);
  }
  return Rt_UnicodeJoin3(parts, n, widest).release();
}

// ssize_to_unicode(v)
PyObject* SsizeToUnicode(PyObject*, PyObject* args) {
  Py_ssize_t v;
  if (!PyArg_ParseTuple(args, "n", &v)) return nullptr;
  return Rt_SsizeToUnicode(v).release();
}

// list_append_fast(list, x)
PyObject* ListAppendFast(PyObject*, PyObject* args) {
  PyObject *list, *x;
  if (!PyArg_ParseTuple(args, "O!O", &PyList_Type, &list, &x)) return nullptr;
  if (Rt_ListAppendFast(list, x) < 0) return nullptr;
  Py_RETURN_NONE;
}

// call_method_kw(obj, name, kwnames, values): obj.<name>(**dict(zip(kwnames, values)))
PyObject* CallMethodKw(PyObject*, PyObject* args) {
  PyObject *obj, *name, *kwnames, *values;
  if (!PyArg_ParseTuple(args, "OUO!O!", &obj, &name, &PyTuple_Type, &kwnames, &PyTuple_Type,
                        &values))
    return nullptr;
  Py_ssize_t n = PyTuple_GET_SIZE(values);
  if (n != PyTuple_GET_SIZE(kwnames) || n > 8)
    return PyErr_Format(PyExc_ValueError, "one value per name, at most 8");
  Ref iname = Interned(name);
  if (!iname) return nullptr;
  // A spare slot before obj, so that a callee writing args[-1] stays inside the array.
  PyObject* slots[10] = {nullptr, obj};
  for (Py_ssize_t i = 0; i < n; ++i) slots[2 + i] = PyTuple_GET_ITEM(values, i);
  Ref result = Rt_CallMethodKw(iname.get(), slots + 1, kwnames);
  if (slots[1] != obj) {
    result.reset();
    PyErr_SetString(PyExc_AssertionError, "the object slot was overwritten");
    return nullptr;
  }
  return result.release();
}

PyMethodDef g_probes[] = {{"lookup_method", Entry(LookupMethod), METH_VARARGS, nullptr},
                          {"dict_values_init", Entry(DictValuesInit), METH_O, nullptr},
                          {"dict_values_next", Entry(DictValuesNext), METH_VARARGS, nullptr},
                          {"format_simple", Entry(FormatSimple), METH_O, nullptr},
                          {"max_char_of", Entry(MaxCharOf), METH_O, nullptr},
                          {"join3", Entry(Join3), METH_VARARGS, nullptr},
                          {"ssize_to_unicode", Entry(SsizeToUnicode), METH_VARARGS, nullptr},
                          {"list_append_fast", Entry(ListAppendFast), METH_VARARGS, nullptr},
                          {"call_method_kw", Entry(CallMethodKw), METH_VARARGS, nullptr},
                          {nullptr, nullptr, 0, nullptr}};

}  // namespace

int RegisterHelperProbes(PyObject* module_dict) noexcept {
  return AddProbes(module_dict, g_probes);
}
