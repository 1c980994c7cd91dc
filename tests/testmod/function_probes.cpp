// Probes of the function routines: function objects of every call convention.
//
// make_function(convention, flags=0, qualname="probe", closure=None) builds a
// function object through Rt_Function_New whose static method description
// has ml_flags == convention. Its native entry echoes what it received as
// (self, args, kw, defining_class):
//   METH_VARARGS|METH_KEYWORDS         args = the tuple, kw = the dict or None
//   METH_NOARGS                        args = (), kw = None
//   METH_O                             args = (arg,), kw = None
//   METH_FASTCALL|METH_KEYWORDS[|METHOD] args = every value of the vector
//                                      (positional, then keyword values),
//                                      kw = the kwnames tuple or None
// defining_class is None except for the METH_METHOD convention.
//
// clear(obj) calls the object's clear slot.
#include "constants.h"
#include "runtime/compiled_function.h"
#include "runtime/module_state.h"
#include "tests/testmod/testmod.h"

namespace {

PyObject* Echo(PyObject* self, PyObject* args, PyObject* kw, PyObject* cls) noexcept {
  return PyTuple_Pack(4, self ? self : Py_None, args, kw ? kw : Py_None, cls ? cls : Py_None);
}

PyObject* EchoVector(PyObject* self, PyObject* cls, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
  PyObject* values = PyTuple_New(total);
  if (!values) return nullptr;
  for (Py_ssize_t i = 0; i < total; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(values, i, args[i]);
  }
  PyObject* result = Echo(self, values, kwnames, cls);
  Py_DECREF(values);
  return result;
}

PyObject* VarargsKeywords(PyObject* self, PyObject* args, PyObject* kwargs) {
  return Echo(self, args, kwargs, nullptr);
}

PyObject* Varargs(PyObject* self, PyObject* args) { return Echo(self, args, nullptr, nullptr); }

PyObject* NoArgs(PyObject* self, PyObject*) {
  PyObject* empty = PyTuple_New(0);
  if (!empty) return nullptr;
  PyObject* result = Echo(self, empty, nullptr, nullptr);
  Py_DECREF(empty);
  return result;
}

PyObject* OneArg(PyObject* self, PyObject* arg) {
  PyObject* args = PyTuple_Pack(1, arg);
  if (!args) return nullptr;
  PyObject* result = Echo(self, args, nullptr, nullptr);
  Py_DECREF(args);
  return result;
}

PyObject* FastKeywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return EchoVector(self, nullptr, args, nargs, kwnames);
}

PyObject* FastKeywordsMethod(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
  return EchoVector(self, reinterpret_cast<PyObject*>(cls), args, nargs, kwnames);
}

PyObject* Fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  return EchoVector(self, nullptr, args, nargs, nullptr);
}

// Function objects keep a pointer to their description: these live for good.
PyMethodDef g_conventions[] = {
    {"varargs_keywords", Entry(VarargsKeywords), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"noargs", Entry(NoArgs), METH_NOARGS, nullptr},
    {"onearg", Entry(OneArg), METH_O, nullptr},
    {"fastcall_keywords", Entry(FastKeywords), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"fastcall_keywords_method", Entry(FastKeywordsMethod),
     METH_FASTCALL | METH_KEYWORDS | METH_METHOD, nullptr},
    // Bits outside the convention mask must not change the choice.
    {"fastcall_keywords_class", Entry(FastKeywords), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     nullptr},
    {"noargs_coexist", Entry(NoArgs), METH_NOARGS | METH_COEXIST, nullptr},
    {"onearg_static", Entry(OneArg), METH_O | METH_STATIC, nullptr},
    // Conventions that creation refuses.
    {"varargs", Entry(Varargs), METH_VARARGS, nullptr},
    {"fastcall", Entry(Fast), METH_FASTCALL, nullptr},
    {"keywords", Entry(VarargsKeywords), METH_KEYWORDS, nullptr},
    {"noargs_onearg", Entry(NoArgs), METH_NOARGS | METH_O, nullptr},
    {"method_only", Entry(FastKeywordsMethod), METH_METHOD, nullptr},
    {"no_convention", Entry(Varargs), 0, nullptr},
};

PyObject* MakeFunction(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"convention", "flags", "qualname", "closure", nullptr};
  int convention, flags = 0;
  PyObject* qualname = Rt_Const(slot::kProbe);
  PyObject* closure = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i|iUO:make_function",
                                   const_cast<char**>(keywords), &convention, &flags, &qualname,
                                   &closure))
    return nullptr;
  if (closure == Py_None) closure = nullptr;
  for (PyMethodDef& def : g_conventions) {
    if (def.ml_flags != convention) continue;
    return Rt_Function_New(&def, flags, qualname, closure, Rt_Const(slot::kModuleName),
                           Rt_ModuleDict(), Rt_CodeObject(0))
        .release();
  }
  PyErr_Format(PyExc_ValueError, "no probe entry for convention 0x%x", convention);
  return nullptr;
}

// clear(obj): the object's clear slot, as the collector calls it on a cycle.
PyObject* Clear(PyObject*, PyObject* obj) {
  inquiry clear = Py_TYPE(obj)->tp_clear;
  if (!clear) return PyErr_Format(PyExc_TypeError, "%s has no clear slot", Py_TYPE(obj)->tp_name);
  if (clear(obj) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyMethodDef g_probes[] = {
    {"clear", Entry(Clear), METH_O, nullptr},
    {"make_function", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(MakeFunction)),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

int RegisterFunctionProbes(PyObject* module_dict) noexcept {
  return AddProbes(module_dict, g_probes);
}
