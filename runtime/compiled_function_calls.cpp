// Calls into function objects: the call slot and the vectorcall entries, one
// per calling convention, chosen when the object is made.
#include <cstddef>

#include "runtime/compiled_function.h"
#include "runtime/python_compat.h"
#include "runtime/ref.h"

namespace {

// A vectorcall's function record, self and positional arguments, the native
// self taken off the arguments when the function asks for it.
struct VectorCall {
  CompiledFunction* op;
  PyObject* const* args;
  Py_ssize_t n;
  PyObject* self;
};

// 0, or -1 with TypeError when there is no argument to take self from.
int BindVectorCall(PyObject* func, PyObject* const* args, size_t nargsf,
                   VectorCall* call) noexcept {
  CompiledFunction* op = AsCompiledFunction(func);
  Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  if (!Rt_Function_SelfFromFirstArg(op)) {
    *call = {op, args, n, op->func.m_self};
    return 0;
  }
  if (n < 1) {
    PyErr_Format(PyExc_TypeError, "%.200s() %s", op->func.m_ml->ml_name, "needs an argument");
    return -1;
  }
  *call = {op, args + 1, n - 1, args[0]};
  return 0;
}

// 0 without keywords, else -1 with TypeError.
int RefuseKeywords(CompiledFunction* op, PyObject* kwnames) noexcept {
  if (!kwnames || !PyTuple_GET_SIZE(kwnames)) return 0;
  PyErr_Format(PyExc_TypeError, "%.200s() %s", op->func.m_ml->ml_name,
               "takes no keyword arguments");
  return -1;
}

template <typename F>
F MethodAs(PyMethodDef* ml) noexcept {
  return reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(ml->ml_meth));
}

using FastKeywordsMethod = PyObject* (*)(PyObject*, PyTypeObject*, PyObject* const*, Py_ssize_t,
                                         PyObject*);

}  // namespace

// --- vectorcall entries -----------------------------------------------------------

namespace {

// The entries for METH_NOARGS and METH_O: self bound, no keywords, and
// exactly `expected` (0 or 1) positional arguments, else TypeError with `refusal`.
PyObject* CallFixedCount(PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                         Py_ssize_t expected, const char* refusal) noexcept {
  VectorCall call;
  if (BindVectorCall(func, args, nargsf, &call) < 0 || RefuseKeywords(call.op, kwnames) < 0)
    return nullptr;
  if (call.n != expected) {
    PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", call.op->func.m_ml->ml_name, refusal,
                 call.n);
    return nullptr;
  }
  return call.op->func.m_ml->ml_meth(call.self, expected ? call.args[0] : nullptr);
}

}  // namespace

extern "C" PyObject* Rt_Function_VectorcallNoArgs(PyObject* func, PyObject* const* args,
                                                  size_t nargsf, PyObject* kwnames) noexcept {
  return CallFixedCount(func, args, nargsf, kwnames, 0, "takes no arguments");
}

extern "C" PyObject* Rt_Function_VectorcallOneArg(PyObject* func, PyObject* const* args,
                                                  size_t nargsf, PyObject* kwnames) noexcept {
  return CallFixedCount(func, args, nargsf, kwnames, 1, "takes exactly one argument");
}

extern "C" PyObject* Rt_Function_VectorcallFastKeywords(PyObject* func, PyObject* const* args,
                                                        size_t nargsf, PyObject* kwnames) noexcept {
  VectorCall call;
  if (BindVectorCall(func, args, nargsf, &call) < 0) return nullptr;
  return MethodAs<PyCFunctionFastWithKeywords>(call.op->func.m_ml)(call.self, call.args, call.n,
                                                                   kwnames);
}

extern "C" PyObject* Rt_Function_VectorcallFastKeywordsMethod(PyObject* func, PyObject* const* args,
                                                              size_t nargsf,
                                                              PyObject* kwnames) noexcept {
  VectorCall call;
  if (BindVectorCall(func, args, nargsf, &call) < 0) return nullptr;
  return MethodAs<FastKeywordsMethod>(call.op->func.m_ml)(
      call.self, reinterpret_cast<PyTypeObject*>(call.op->defining_class), call.args, call.n,
      kwnames);
}

// --- the call slot ----------------------------------------------------------------------

rt::Ref Rt_Function_CallWithSelf(PyObject* func, PyObject* self, PyObject* args,
                                 PyObject* kwargs) noexcept {
  PyMethodDef* ml = AsCompiledFunction(func)->func.m_ml;
  int convention = ml->ml_flags & 0xF;
  bool has_keywords = kwargs && PyDict_Size(kwargs) != 0;
  switch (convention) {
    case METH_VARARGS | METH_KEYWORDS:
      return rt::Ref::steal(MethodAs<PyCFunctionWithKeywords>(ml)(self, args, kwargs));
    case METH_VARARGS:
    case METH_NOARGS:
    case METH_O: {
      if (has_keywords) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", ml->ml_name, "takes no keyword arguments");
        return rt::Ref();
      }
      if (convention == METH_VARARGS) return rt::Ref::steal(ml->ml_meth(self, args));
      Py_ssize_t size = PyTuple_GET_SIZE(args);
      if (convention == METH_NOARGS) {
        if (size != 0) {
          PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", ml->ml_name,
                       "takes no arguments", size);
          return rt::Ref();
        }
        return rt::Ref::steal(ml->ml_meth(self, nullptr));
      }
      if (size != 1) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", ml->ml_name,
                     "takes exactly one argument", size);
        return rt::Ref();
      }
      return rt::Ref::steal(ml->ml_meth(self, PyTuple_GET_ITEM(args, 0)));
    }
    default:
      PyErr_SetString(PyExc_SystemError, "Bad call flags for CompiledFunction");
      return rt::Ref();
  }
}

namespace {

// 0 when every key is a str, else -1 with the TypeError 3.9's own dict-to-vector
// step raises before the callee runs; 3.8's hands any key on.
[[maybe_unused]] int RefuseKeysOtherThanStr(PyObject* kwargs) noexcept {
  Py_ssize_t position = 0;
  PyObject *key, *value;  // borrowed
  while (PyDict_Next(kwargs, &position, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "keywords must be strings");
      return -1;
    }
  }
  return 0;
}

}  // namespace

extern "C" PyObject* Rt_Function_Call(PyObject* func, PyObject* args, PyObject* kwargs) noexcept {
  CompiledFunction* op = AsCompiledFunction(func);
  if (op->func.vectorcall) {
#if PY_VERSION_HEX < 0x03090000
    if (kwargs && RefuseKeysOtherThanStr(kwargs) < 0) return nullptr;
#endif
    return PyVectorcall_Call(func, args, kwargs);
  }
  if (!Rt_Function_SelfFromFirstArg(op))
    return Rt_Function_CallWithSelf(func, op->func.m_self, args, kwargs).release();
  rt::Ref rest = rt::Ref::steal(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
  if (!rest) return nullptr;
  if (PyTuple_GET_SIZE(args) == 0) {
    rest.reset();
    PyErr_Format(PyExc_TypeError, "unbound method %.200S() needs an argument", op->qualname);
    return nullptr;
  }
  return Rt_Function_CallWithSelf(func, PyTuple_GET_ITEM(args, 0), rest.get(), kwargs).release();
}
