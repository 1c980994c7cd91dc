// Probe of failing allocations: one call made with exactly one allocation
// failing, armed and disarmed by the interpreter's own test hooks
// (_testcapi.set_nomemory, _testcapi.remove_mem_hooks) right around the call,
// so that no allocation of the caller's Python code is counted.
//
// fail_allocation(n, callable, args=(), kwargs=None, call_slot=False)
//   -> (result, exception, allocations)
// makes allocation n (0-based, counted from the call) fail and calls
// callable(*args, **kwargs): through vectorcall with the keywords as a names
// tuple, or with call_slot through the type's tp_call with a keyword dict
// (which PyObject_Call passes by for a type with a vectorcall entry).
// `result` is what the call returned or None, `exception` what it raised or
// None, and `allocations` the number of allocations the call made when it
// never reached allocation n, None when it did. A call that returns a result
// with an exception pending, or no result without one, raises SystemError.
#include <climits>
#include <vector>

#include "runtime/python_compat.h"
#include "runtime/ref.h"
#include "tests/testmod/testmod.h"

using rt::Ref;

namespace {

// The C entry of a built-in function of _testcapi, checked for its convention.
PyCFunctionObject* TestHook(PyObject* testcapi, const char* name, int convention) noexcept {
  Ref f = Ref::steal(PyObject_GetAttrString(testcapi, name));
  if (!f) return nullptr;
  if (!PyCFunction_Check(f.get()) ||
      (reinterpret_cast<PyCFunctionObject*>(f.get())->m_ml->ml_flags & 0xF) != convention) {
    PyErr_Format(PyExc_TypeError, "_testcapi.%s is not the expected built-in", name);
    return nullptr;
  }
  // The module keeps its functions for the life of the process.
  return reinterpret_cast<PyCFunctionObject*>(f.get());
}

// After the call: whether allocation n is still ahead. One-byte blocks are
// taken until one fails; the j-th failing means the call made n + 1 - j.
Py_ssize_t AllocationsIfUntouched(Py_ssize_t n) noexcept {
  for (Py_ssize_t j = 1; j <= n + 1; ++j) {
    void* block = PyMem_RawMalloc(1);
    if (!block) return n + 1 - j;
    PyMem_RawFree(block);
  }
  return -1;
}

PyObject* FailAllocation(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"n", "callable", "args", "kwargs", "call_slot", nullptr};
  Py_ssize_t n;
  PyObject *callable, *call_args = nullptr, *call_kwargs = nullptr;
  int call_slot = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "nO|O!Op:fail_allocation",
                                   const_cast<char**>(keywords), &n, &callable, &PyTuple_Type,
                                   &call_args, &call_kwargs, &call_slot))
    return nullptr;
  if (n < 0 || n >= INT_MAX) {
    PyErr_SetString(PyExc_ValueError, "n out of range");
    return nullptr;
  }
  if (call_kwargs == Py_None) call_kwargs = nullptr;
  if (call_slot && !Py_TYPE(callable)->tp_call) {
    PyErr_SetString(PyExc_TypeError, "the callable's type has no call slot");
    return nullptr;
  }
  if (call_kwargs && !PyDict_Check(call_kwargs)) {
    PyErr_SetString(PyExc_TypeError, "kwargs must be a dict or None");
    return nullptr;
  }
  Ref positional = call_args ? Ref::borrow(call_args) : Ref::steal(PyTuple_New(0));
  if (!positional) return nullptr;

  // Everything the call needs is made before arming.
  std::vector<PyObject*> vector(PyTuple_GET_SIZE(positional.get()));
  for (size_t i = 0; i < vector.size(); ++i) vector[i] = PyTuple_GET_ITEM(positional.get(), i);
  Ref kwnames;
  if (call_kwargs && !call_slot && PyDict_GET_SIZE(call_kwargs)) {
    kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(call_kwargs)));
    if (!kwnames) return nullptr;
    Py_ssize_t pos = 0, i = 0;
    PyObject *key, *value;
    while (PyDict_Next(call_kwargs, &pos, &key, &value)) {
      Py_INCREF(key);
      PyTuple_SET_ITEM(kwnames.get(), i++, key);
      vector.push_back(value);
    }
  }
  Ref testcapi = Ref::steal(PyImport_ImportModule("_testcapi"));
  if (!testcapi) return nullptr;
  PyCFunctionObject* arm = TestHook(testcapi.get(), "set_nomemory", METH_VARARGS);
  PyCFunctionObject* disarm =
      arm ? TestHook(testcapi.get(), "remove_mem_hooks", METH_NOARGS) : nullptr;
  if (!disarm) return nullptr;
  Ref window = Ref::steal(Py_BuildValue("(ii)", static_cast<int>(n), static_cast<int>(n + 1)));
  if (!window) return nullptr;
  Py_ssize_t nargs = PyTuple_GET_SIZE(positional.get());

  Ref armed = Ref::steal(arm->m_ml->ml_meth(arm->m_self, window.get()));
  if (!armed) return nullptr;
  PyObject* result;
  if (call_slot) {
    result = Py_TYPE(callable)->tp_call(callable, positional.get(), call_kwargs);
  } else {
    result =
        PyObject_Vectorcall(callable, vector.data(), static_cast<size_t>(nargs), kwnames.get());
  }
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  Py_ssize_t made = AllocationsIfUntouched(n);
  Ref disarmed = Ref::steal(disarm->m_ml->ml_meth(disarm->m_self, nullptr));
  Ref owned_result = Ref::steal(result);
  if (!disarmed) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return nullptr;
  }
  if (owned_result && type) {
    Py_DECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    PyErr_SetString(PyExc_SystemError, "the call returned a result with an exception pending");
    return nullptr;
  }
  if (!owned_result && !type) {
    PyErr_SetString(PyExc_SystemError, "the call failed without an exception");
    return nullptr;
  }
  Ref exception;
  if (type) {
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb && value) PyException_SetTraceback(value, tb);
    exception = Ref::borrow(value);
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    if (!exception) {
      PyErr_SetString(PyExc_SystemError, "the raised exception could not be made");
      return nullptr;
    }
  }
  Ref allocations = made < 0 ? Ref::borrow(Py_None) : Ref::steal(PyLong_FromSsize_t(made));
  if (!allocations) return nullptr;
  return PyTuple_Pack(3, owned_result ? owned_result.get() : Py_None,
                      exception ? exception.get() : Py_None, allocations.get());
}

PyMethodDef g_probes[] = {
    {"fail_allocation", Entry(FailAllocation), METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

int RegisterFaultProbes(PyObject* module_dict) noexcept { return AddProbes(module_dict, g_probes); }
