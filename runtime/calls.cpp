// Every way a call travels: into function objects (call slot and vectorcall
// entries) and out of module code (the dispatcher and its primitives).
#include "runtime/calls.h"

#include <cassert>

#include "runtime/cyfunction.h"
#include "runtime/exceptions.h"
#include "runtime/module_state.h"

static bool SelfFromFirstArg(const CyFunction* op) noexcept {
  return (op->flags & (kCyFunctionSelfFromFirstArg | kCyFunctionStaticMethod)) ==
         kCyFunctionSelfFromFirstArg;
}

// --- inward: vectorcall entries -------------------------------------------------------

// Takes the native self off the arguments when the function asks for it.
static bool BindNativeSelf(CyFunction* op, PyObject* const** args, Py_ssize_t* n,
                           PyObject** self) noexcept {
  if (!SelfFromFirstArg(op)) {
    *self = op->func.m_self;
    return true;
  }
  if (*n < 1) {
    PyErr_Format(PyExc_TypeError, "%.200s() %s", op->func.m_ml->ml_name, "needs an argument");
    return false;
  }
  *self = (*args)[0];
  ++*args;
  --*n;
  return true;
}

static bool RefuseKeywords(CyFunction* op, PyObject* kwnames) noexcept {
  if (kwnames && PyTuple_GET_SIZE(kwnames)) {
    PyErr_Format(PyExc_TypeError, "%.200s() %s", op->func.m_ml->ml_name,
                 "takes no keyword arguments");
    return true;
  }
  return false;
}

extern "C" PyObject* Rt_CyFunction_VectorcallNoArgs(PyObject* func, PyObject* const* args,
                                                    size_t nargsf, PyObject* kwnames) {
  CyFunction* op = AsCyFunction(func);
  Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  PyObject* self;
  if (!BindNativeSelf(op, &args, &n, &self) || RefuseKeywords(op, kwnames)) return nullptr;
  if (n != 0) {
    PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", op->func.m_ml->ml_name,
                 "takes no arguments", n);
    return nullptr;
  }
  return op->func.m_ml->ml_meth(self, nullptr);
}

extern "C" PyObject* Rt_CyFunction_VectorcallOneArg(PyObject* func, PyObject* const* args,
                                                    size_t nargsf, PyObject* kwnames) {
  CyFunction* op = AsCyFunction(func);
  Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  PyObject* self;
  if (!BindNativeSelf(op, &args, &n, &self) || RefuseKeywords(op, kwnames)) return nullptr;
  if (n != 1) {
    PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", op->func.m_ml->ml_name,
                 "takes exactly one argument", n);
    return nullptr;
  }
  return op->func.m_ml->ml_meth(self, args[0]);
}

extern "C" PyObject* Rt_CyFunction_VectorcallFastKeywords(PyObject* func, PyObject* const* args,
                                                          size_t nargsf, PyObject* kwnames) {
  CyFunction* op = AsCyFunction(func);
  Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  PyObject* self;
  if (!BindNativeSelf(op, &args, &n, &self)) return nullptr;
  auto meth = reinterpret_cast<_PyCFunctionFastWithKeywords>(
      reinterpret_cast<void (*)(void)>(op->func.m_ml->ml_meth));
  return meth(self, args, n, kwnames);
}

using FastKeywordsMethod = PyObject* (*)(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t,
                                         PyObject*);

extern "C" PyObject* Rt_CyFunction_VectorcallFastKeywordsMethod(PyObject* func,
                                                                PyObject* const* args,
                                                                size_t nargsf, PyObject* kwnames) {
  CyFunction* op = AsCyFunction(func);
  Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  PyObject* self;
  if (!BindNativeSelf(op, &args, &n, &self)) return nullptr;
  auto meth = reinterpret_cast<FastKeywordsMethod>(
      reinterpret_cast<void (*)(void)>(op->func.m_ml->ml_meth));
  return meth(self, reinterpret_cast<PyTypeObject*>(op->defining_class), args, n, kwnames);
}

// --- inward: the call slot --------------------------------------------------------------

PyObject* Rt_CyFunction_CallWithSelf(PyObject* func, PyObject* self, PyObject* args,
                                     PyObject* kwargs) noexcept {
  PyMethodDef* ml = AsCyFunction(func)->func.m_ml;
  int convention = ml->ml_flags & 0xF;
  bool has_keywords = kwargs && PyDict_Size(kwargs) != 0;
  switch (convention) {
    case METH_VARARGS | METH_KEYWORDS: {
      auto meth = reinterpret_cast<PyCFunctionWithKeywords>(
          reinterpret_cast<void (*)(void)>(ml->ml_meth));
      return meth(self, args, kwargs);
    }
    case METH_VARARGS:
    case METH_NOARGS:
    case METH_O: {
      if (has_keywords) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", ml->ml_name, "takes no keyword arguments");
        return nullptr;
      }
      if (convention == METH_VARARGS) return ml->ml_meth(self, args);
      Py_ssize_t size = PyTuple_GET_SIZE(args);
      if (convention == METH_NOARGS) {
        if (size != 0) {
          PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", ml->ml_name,
                       "takes no arguments", size);
          return nullptr;
        }
        return ml->ml_meth(self, nullptr);
      }
      if (size != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", ml->ml_name,
                     "takes exactly one argument", size);
        return nullptr;
      }
      return ml->ml_meth(self, PyTuple_GET_ITEM(args, 0));
    }
    default:
      PyErr_SetString(PyExc_SystemError, "Bad call flags for CyFunction");
      return nullptr;
  }
}

extern "C" PyObject* Rt_CyFunction_Call(PyObject* func, PyObject* args, PyObject* kwargs) {
  CyFunction* op = AsCyFunction(func);
  if (vectorcallfunc entry = op->func.vectorcall) {
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    PyObject* const* items = &PyTuple_GET_ITEM(args, 0);
    if (kwargs && PyDict_GET_SIZE(kwargs)) return Rt_VectorcallWithKwDict(func, entry, items, n, kwargs);
    return entry(func, items, static_cast<size_t>(n), nullptr);
  }
  if (!SelfFromFirstArg(op)) return Rt_CyFunction_CallWithSelf(func, op->func.m_self, args, kwargs);
  PyObject* rest = PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args));
  if (!rest) return nullptr;
  if (PyTuple_GET_SIZE(args) == 0) {
    Py_DECREF(rest);
    PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument", op->qualname);
    return nullptr;
  }
  PyObject* result = Rt_CyFunction_CallWithSelf(func, PyTuple_GET_ITEM(args, 0), rest, kwargs);
  Py_DECREF(rest);
  return result;
}

// --- outward ------------------------------------------------------------------------------

static PyObject* CheckResult(PyObject* result) noexcept {
  if (!result && !PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
  return result;
}

// A callee entered with an exception set can clear it, or mistake it for its
// own failure.
#define RT_ASSERT_NO_PENDING_EXCEPTION() \
  assert(!PyErr_Occurred() && "a call is made with no exception pending")

PyObject* Rt_Call(PyObject* callable, PyObject* args, PyObject* kwargs) noexcept {
  RT_ASSERT_NO_PENDING_EXCEPTION();
  ternaryfunc call = Py_TYPE(callable)->tp_call;
  if (!call) return PyObject_Call(callable, args, kwargs);
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject* result = call(callable, args, kwargs);
  Py_LeaveRecursiveCall();
  return CheckResult(result);
}

PyObject* Rt_CallCFunction(PyObject* func, PyObject* arg) noexcept {
  RT_ASSERT_NO_PENDING_EXCEPTION();
  auto* cf = reinterpret_cast<PyCFunctionObject*>(func);
  PyObject* self = (cf->m_ml->ml_flags & METH_STATIC) ? nullptr : cf->m_self;
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  PyObject* result = cf->m_ml->ml_meth(self, arg);
  Py_LeaveRecursiveCall();
  return CheckResult(result);
}

static PyObject* CallWithTuple(PyObject* callable, PyObject* const* args, Py_ssize_t n,
                               PyObject* kwargs) noexcept {
  PyObject* tuple = PyTuple_New(n);
  if (!tuple) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_INCREF(args[i]);
    PyTuple_SET_ITEM(tuple, i, args[i]);
  }
  PyObject* result = Rt_Call(callable, tuple, kwargs);
  Py_DECREF(tuple);
  return result;
}

// False for a type other than the two whose solid base is object itself
// (Python functions, classes, bound methods): its instances carry no
// built-in function record, whatever its MRO lists, so the walk is skipped.
static bool MayBeBuiltinFunction(PyTypeObject* type, PyTypeObject* function_type) noexcept {
  return type == function_type || type == &PyCFunction_Type ||
         type->tp_base != &PyBaseObject_Type;
}

PyObject* Rt_FastCall(PyObject* callable, PyObject* const* args, size_t nargsf,
                      PyObject* kwargs) noexcept {
  RT_ASSERT_NO_PENDING_EXCEPTION();
  Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  if (kwargs) {
    if (n == 0) return Rt_Call(callable, g_state.empty_tuple, kwargs);
    return CallWithTuple(callable, args, n, kwargs);
  }
  PyTypeObject* type = Py_TYPE(callable);
  auto* function_type = reinterpret_cast<PyTypeObject*>(g_state.cyfunction_type);
  if (n <= 1 && MayBeBuiltinFunction(type, function_type) &&
      Rt_IsSubtypeOfEither(type, function_type, &PyCFunction_Type)) {
    int flags = reinterpret_cast<PyCFunctionObject*>(callable)->m_ml->ml_flags;
    if (n == 0 && (flags & METH_NOARGS)) return Rt_CallCFunction(callable, nullptr);
    if (n == 1 && (flags & METH_O)) return Rt_CallCFunction(callable, args[0]);
  }
  if (PyType_HasFeature(type, _Py_TPFLAGS_HAVE_VECTORCALL)) {
    auto entry = *reinterpret_cast<vectorcallfunc*>(reinterpret_cast<char*>(callable) +
                                                    type->tp_vectorcall_offset);
    if (entry) return entry(callable, args, nargsf, nullptr);
  }
  if (n == 0) return Rt_Call(callable, g_state.empty_tuple, nullptr);
  return CallWithTuple(callable, args, n, nullptr);
}

// Module code's call-site convention: a spare leading slot, and bound methods
// unpacked so that their function receives `self` in that slot.
static PyObject* CallUnpacked(PyObject* callable, PyObject* arg) noexcept {
  PyObject* slots[3] = {nullptr, arg, nullptr};
  size_t count = arg ? 1 : 0;
  if (Py_TYPE(callable) == &PyMethod_Type) {
    PyObject* self = PyMethod_GET_SELF(callable);
    PyObject* func = PyMethod_GET_FUNCTION(callable);
    Py_INCREF(self);
    Py_INCREF(func);
    slots[0] = self;
    PyObject* result = Rt_FastCall(func, slots, count + 1, nullptr);
    Py_DECREF(func);
    Py_DECREF(self);
    return result;
  }
  return Rt_FastCall(callable, slots + 1, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* Rt_CallNoArgs(PyObject* callable) noexcept { return CallUnpacked(callable, nullptr); }

PyObject* Rt_CallOneArg(PyObject* callable, PyObject* arg) noexcept {
  return CallUnpacked(callable, arg);
}
