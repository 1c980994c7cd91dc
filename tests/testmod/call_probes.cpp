// Probes of the call routines: function objects of every convention whose
// native entries echo what reached them, and the inward and outward call paths.
#include "constants.h"
#include "runtime/argparse.h"
#include "runtime/calls.h"
#include "runtime/compiled_function.h"
#include "runtime/module_state.h"
#include "runtime/python_compat.h"
#include "runtime/ref.h"
#include "tests/compat_probes.h"
#include "tests/testmod/testmod.h"

using rt::Ref;

namespace {

// A native entry returns NULL without an exception when its first argument is
// this text, so the guarded primitives' result check can be reached.
bool AsksForNull(PyObject* arg) noexcept {
  return arg && PyUnicode_Check(arg) && PyUnicode_CompareWithASCIIString(arg, "null") == 0;
}

PyObject* OrNone(PyObject* o) noexcept { return o ? o : Py_None; }

PyObject* Vector(PyObject* const* items, Py_ssize_t n) noexcept {
  PyObject* t = PyTuple_New(n);
  if (!t) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_INCREF(items[i]);
    PyTuple_SET_ITEM(t, i, items[i]);
  }
  return t;
}

// --- echoing native entries, one per convention ----------------------------------------

PyObject* EchoVarargs(PyObject* self, PyObject* args) {
  return Py_BuildValue("(sOO)", "varargs", OrNone(self), args);
}

PyObject* EchoVarargsKeywords(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) && AsksForNull(PyTuple_GET_ITEM(args, 0))) return nullptr;
  return Py_BuildValue("(sOOO)", "varargs_kw", OrNone(self), args, OrNone(kwargs));
}

PyObject* EchoNoArgs(PyObject* self, PyObject* arg) {
  return Py_BuildValue("(sOO)", "noargs", OrNone(self), arg ? Py_False : Py_True);
}

PyObject* EchoOneArg(PyObject* self, PyObject* arg) {
  if (AsksForNull(arg)) return nullptr;
  return Py_BuildValue("(sOO)", "o", OrNone(self), OrNone(arg));
}

PyObject* EchoFastKeywords(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  Ref positional = Ref::steal(Vector(args, nargs));
  Ref values = Ref::steal(Vector(args + nargs, nkw));
  if (!positional || !values) return nullptr;
  return Py_BuildValue("(sOOOO)", "fastkw", OrNone(self), positional.get(), OrNone(kwnames),
                       values.get());
}

PyObject* EchoFastKeywordsMethod(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames) {
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  Ref positional = Ref::steal(Vector(args, nargs));
  Ref values = Ref::steal(Vector(args + nargs, nkw));
  if (!positional || !values) return nullptr;
  return Py_BuildValue("(sOOOOO)", "method", OrNone(self), OrNone(reinterpret_cast<PyObject*>(cls)),
                       positional.get(), OrNone(kwnames), values.get());
}

PyObject* EchoFast(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  Ref positional = Ref::steal(Vector(args, nargs));
  if (!positional) return nullptr;
  return Py_BuildValue("(sOO)", "fast", OrNone(self), positional.get());
}

// One definition per accepted ml_flags value; the definitions outlive every
// function made from them.
PyMethodDef g_echo_defs[] = {
    {"echo", Entry(EchoVarargs), METH_VARARGS, nullptr},
    {"echo", Entry(EchoVarargsKeywords), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"echo", Entry(EchoNoArgs), METH_NOARGS, nullptr},
    {"echo", Entry(EchoOneArg), METH_O, nullptr},
    {"echo", Entry(EchoNoArgs), METH_NOARGS | METH_STATIC, nullptr},
    {"echo", Entry(EchoOneArg), METH_O | METH_STATIC, nullptr},
    {"echo", Entry(EchoFast), METH_FASTCALL, nullptr},
    {"echo", Entry(EchoFastKeywords), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"echo", Entry(EchoFastKeywordsMethod), METH_FASTCALL | METH_KEYWORDS | METH_METHOD, nullptr},
    {"echo", Entry(EchoOneArg), METH_O | METH_KEYWORDS, nullptr},
};

PyMethodDef* EchoDef(int convention) noexcept {
  for (PyMethodDef& def : g_echo_defs)
    if (def.ml_flags == convention) return &def;
  PyErr_Format(PyExc_ValueError, "no echo definition for ml_flags 0x%x", convention);
  return nullptr;
}

// --- probes ----------------------------------------------------------------------------

// make_callable(convention, flags=0, qualname="probe", defining_class=None)
PyObject* MakeCallable(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"convention", "flags", "qualname", "defining_class", nullptr};
  int convention, flags = 0;
  PyObject* qualname = nullptr;
  PyObject* defining_class = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i|iUO", const_cast<char**>(keywords), &convention,
                                   &flags, &qualname, &defining_class))
    return nullptr;
  PyMethodDef* def = EchoDef(convention);
  if (!def) return nullptr;
  Ref default_qualname;
  if (!qualname) {
    default_qualname = Ref::borrow(Rt_Const(slot::kProbe));
    qualname = default_qualname.get();
  }
  Ref func = Rt_Function_New(def, flags, qualname, nullptr, Rt_Const(slot::kModuleName),
                             Rt_ModuleDict(), nullptr);
  if (func && defining_class && defining_class != Py_None)
    rt::SetField(&AsCompiledFunction(func.get())->defining_class, Ref::borrow(defining_class));
  return func.release();
}

// make_builtin(convention, self=None): a built-in function over an echo entry.
PyObject* MakeBuiltin(PyObject*, PyObject* args) {
  int convention;
  PyObject* self = nullptr;
  if (!PyArg_ParseTuple(args, "i|O", &convention, &self)) return nullptr;
  PyMethodDef* def = EchoDef(convention);
  if (!def) return nullptr;
  return PyCFunction_NewEx(def, self, nullptr);
}

PyObject* KwargsOrNull(PyObject* kwargs) noexcept { return kwargs == Py_None ? nullptr : kwargs; }

// slot_call(f, args, kwargs=None): the type's call slot, with null for None.
PyObject* SlotCall(PyObject*, PyObject* args) {
  PyObject *f, *tuple, *kwargs = Py_None;
  if (!PyArg_ParseTuple(args, "OO!|O", &f, &PyTuple_Type, &tuple, &kwargs)) return nullptr;
  ternaryfunc call = Py_TYPE(f)->tp_call;
  if (!call) return PyErr_Format(PyExc_TypeError, "%.200s has no call slot", Py_TYPE(f)->tp_name);
  return call(f, tuple, KwargsOrNull(kwargs));
}

// object_call(f, args, kwargs=None): PyObject_Call.
PyObject* ObjectCall(PyObject*, PyObject* args) {
  PyObject *f, *tuple, *kwargs = Py_None;
  if (!PyArg_ParseTuple(args, "OO!|O", &f, &PyTuple_Type, &tuple, &kwargs)) return nullptr;
  return PyObject_Call(f, tuple, KwargsOrNull(kwargs));
}

// Copies `values` behind one spare leading slot, the module-code convention.
struct ArgVector {
  PyObject* slots[16];
  Py_ssize_t n;
  bool Fill(PyObject* values) noexcept {
    n = PyTuple_GET_SIZE(values);
    if (n > 15) {
      PyErr_SetString(PyExc_ValueError, "at most 15 arguments");
      return false;
    }
    slots[0] = nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) slots[i + 1] = PyTuple_GET_ITEM(values, i);
    return true;
  }
};

// vectorcall(f, args, kwnames=None, offset=False): `args` holds the positional
// values followed by one value per keyword name.
PyObject* Vectorcall(PyObject*, PyObject* args) {
  PyObject *f, *values, *kwnames = Py_None;
  int offset = 0;
  if (!PyArg_ParseTuple(args, "OO!|Op", &f, &PyTuple_Type, &values, &kwnames, &offset))
    return nullptr;
  if (kwnames != Py_None && !PyTuple_Check(kwnames))
    return PyErr_Format(PyExc_TypeError, "kwnames must be a tuple or None");
  ArgVector v;
  if (!v.Fill(values)) return nullptr;
  Py_ssize_t nkw = kwnames == Py_None ? 0 : PyTuple_GET_SIZE(kwnames);
  if (nkw > v.n) return PyErr_Format(PyExc_ValueError, "fewer values than keyword names");
  size_t nargsf = static_cast<size_t>(v.n - nkw) | (offset ? PY_VECTORCALL_ARGUMENTS_OFFSET : 0);
  return PyObject_Vectorcall(f, v.slots + 1, nargsf, kwnames == Py_None ? nullptr : kwnames);
}

// fast_call(callable, *args): Rt_FastCall with the offset convention, no keywords.
PyObject* FastCall(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1) return PyErr_Format(PyExc_TypeError, "fast_call needs a callable");
  PyObject* slots[16] = {nullptr};
  if (nargs > 15) return PyErr_Format(PyExc_ValueError, "at most 14 arguments");
  for (Py_ssize_t i = 1; i < nargs; ++i) slots[i] = args[i];
  return Rt_FastCall(args[0], slots + 1,
                     static_cast<size_t>(nargs - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
      .release();
}

// fast_call_kw(callable, args, kwargs): Rt_FastCall with a keyword dict.
PyObject* FastCallKw(PyObject*, PyObject* args) {
  PyObject *f, *values, *kwargs;
  if (!PyArg_ParseTuple(args, "OO!O!", &f, &PyTuple_Type, &values, &PyDict_Type, &kwargs))
    return nullptr;
  ArgVector v;
  if (!v.Fill(values)) return nullptr;
  return Rt_FastCall(f, v.slots + 1, static_cast<size_t>(v.n) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                     kwargs)
      .release();
}

// call_tuple(callable, args, kwargs=None): Rt_Call.
PyObject* CallTuple(PyObject*, PyObject* args) {
  PyObject *f, *tuple, *kwargs = Py_None;
  if (!PyArg_ParseTuple(args, "OO!|O", &f, &PyTuple_Type, &tuple, &kwargs)) return nullptr;
  return Rt_Call(f, tuple, KwargsOrNull(kwargs)).release();
}

// call_cfunction(func[, arg]): Rt_CallCFunction on a built-in or function object.
PyObject* CallCFunction(PyObject*, PyObject* args) {
  PyObject *f, *arg = nullptr;
  if (!PyArg_ParseTuple(args, "O|O", &f, &arg)) return nullptr;
  if (!PyCFunction_Check(f) && !PyObject_TypeCheck(f, Rt_FunctionType()))
    return PyErr_Format(PyExc_TypeError, "not a function object");
  return Rt_CallCFunction(f, arg).release();
}

// call_no_args(callable) / call_one_arg(callable, arg): bound methods unpacked.
PyObject* CallNoArgs(PyObject*, PyObject* callable) { return Rt_CallNoArgs(callable).release(); }

PyObject* CallOneArg(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) return PyErr_Format(PyExc_TypeError, "call_one_arg(callable, arg)");
  return Rt_CallOneArg(args[0], args[1]).release();
}

// call_with_self(convention, self, args, kwargs=None): Rt_Function_CallWithSelf
// on a function object whose definition is switched to the given convention,
// so that conventions refused at creation reach the dispatch too.
PyObject* CallWithSelf(PyObject*, PyObject* args) {
  int convention;
  PyObject *self, *tuple, *kwargs = Py_None;
  if (!PyArg_ParseTuple(args, "iOO!|O", &convention, &self, &PyTuple_Type, &tuple, &kwargs))
    return nullptr;
  PyMethodDef* def = EchoDef(convention);
  if (!def) return nullptr;
  Ref func = Rt_Function_New(EchoDef(METH_VARARGS | METH_KEYWORDS), 0, Rt_Const(slot::kProbe),
                             nullptr, nullptr, Rt_ModuleDict(), nullptr);
  if (!func) return nullptr;
  AsCompiledFunction(func.get())->func.m_ml = def;
  return Rt_Function_CallWithSelf(func.get(), self == Py_None ? nullptr : self, tuple,
                                  KwargsOrNull(kwargs))
      .release();
}

// call_native(f, args, kw=None): the native entry of a fast-keywords definition,
// called as the vectorcall entry would call it, but with `kw` as given: None,
// a names tuple (values at the end of `args`) or a keyword dict.
PyObject* CallNative(PyObject*, PyObject* args) {
  PyObject *f, *values, *kw = Py_None;
  if (!PyArg_ParseTuple(args, "OO!|O", &f, &PyTuple_Type, &values, &kw)) return nullptr;
  if (!PyCFunction_Check(f) && !PyObject_TypeCheck(f, Rt_FunctionType()))
    return PyErr_Format(PyExc_TypeError, "not a function object");
  PyMethodDef* ml = reinterpret_cast<PyCFunctionObject*>(f)->m_ml;
  if ((ml->ml_flags & (METH_FASTCALL | METH_KEYWORDS | METH_METHOD)) !=
      (METH_FASTCALL | METH_KEYWORDS))
    return PyErr_Format(PyExc_TypeError, "not a fast-keywords definition");
  ArgVector v;
  if (!v.Fill(values)) return nullptr;
  Py_ssize_t nargs = v.n;
  if (kw != Py_None && PyTuple_Check(kw)) nargs -= PyTuple_GET_SIZE(kw);
  if (nargs < 0) return PyErr_Format(PyExc_ValueError, "fewer values than keyword names");
  auto meth =
      reinterpret_cast<PyCFunctionFastWithKeywords>(reinterpret_cast<void (*)(void)>(ml->ml_meth));
  PyObject* result = meth(reinterpret_cast<PyCFunctionObject*>(f)->m_self, v.slots + 1, nargs,
                          kw == Py_None ? nullptr : kw);
  if (!result && !PyErr_Occurred())
    PyErr_SetString(PyExc_AssertionError, "native entry failed without an exception");
  return result;
}

// bind_probe(args, kw=None): Rt_BindArguments for probe(self, a, b); the three
// bound values, or the binding error.
PyObject* BindProbe(PyObject*, PyObject* args) {
  static PyObject** const names[] = {&g_constant_slots[slot::kSelf], &g_constant_slots[slot::kA],
                                     &g_constant_slots[slot::kB], nullptr};
  static const ArgSignature signature = {"probe", names, 3, "s"};
  PyObject *values_tuple, *kw = Py_None;
  if (!PyArg_ParseTuple(args, "O!|O", &PyTuple_Type, &values_tuple, &kw)) return nullptr;
  ArgVector v;
  if (!v.Fill(values_tuple)) return nullptr;
  Py_ssize_t nargs = v.n;
  if (kw != Py_None && PyTuple_Check(kw)) nargs -= PyTuple_GET_SIZE(kw);
  if (nargs < 0) return PyErr_Format(PyExc_ValueError, "fewer values than keyword names");
  PyObject* bound[3] = {nullptr, nullptr, nullptr};
  PyObject* result = nullptr;
  if (Rt_BindArguments(signature, v.slots + 1, nargs, kw == Py_None ? nullptr : kw, bound) == 0) {
    result = Py_BuildValue("(OOO)", bound[0], bound[1], bound[2]);
  } else if (!PyErr_Occurred()) {
    PyErr_SetString(PyExc_AssertionError, "binding failed without an exception");
  }
  for (PyObject* b : bound) Py_XDECREF(b);
  return result;
}

// recursion_depth(): the thread's recursion counter, to see that guards pair
// up; None where the guard keeps no count.
PyObject* RecursionDepth(PyObject*, PyObject*) {
#if RT_HAVE_RECURSION_COUNT
  return PyLong_FromLong(Rt_RecursionDepth(PyThreadState_GetUnchecked()));
#else
  Py_RETURN_NONE;
#endif
}

PyMethodDef g_probes[] = {
    {"make_callable", Entry(MakeCallable), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"make_builtin", Entry(MakeBuiltin), METH_VARARGS, nullptr},
    {"slot_call", Entry(SlotCall), METH_VARARGS, nullptr},
    {"object_call", Entry(ObjectCall), METH_VARARGS, nullptr},
    {"vectorcall", Entry(Vectorcall), METH_VARARGS, nullptr},
    {"fast_call", Entry(FastCall), METH_FASTCALL, nullptr},
    {"fast_call_kw", Entry(FastCallKw), METH_VARARGS, nullptr},
    {"call_tuple", Entry(CallTuple), METH_VARARGS, nullptr},
    {"call_cfunction", Entry(CallCFunction), METH_VARARGS, nullptr},
    {"call_no_args", Entry(CallNoArgs), METH_O, nullptr},
    {"call_one_arg", Entry(CallOneArg), METH_FASTCALL, nullptr},
    {"call_with_self", Entry(CallWithSelf), METH_VARARGS, nullptr},
    {"call_native", Entry(CallNative), METH_VARARGS, nullptr},
    {"bind_probe", Entry(BindProbe), METH_VARARGS, nullptr},
    {"recursion_depth", Entry(RecursionDepth), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

int RegisterCallProbes(PyObject* module_dict) noexcept { return AddProbes(module_dict, g_probes); }
