// Outward calls of module code: the dispatcher and the guarded primitives.
#include "runtime/calls.h"

#include <cassert>

#include "runtime/compiled_function.h"
#include "runtime/module_state.h"
#include "runtime/python_compat.h"
#include "runtime/ref.h"
#include "runtime/subtype.h"

namespace rt::detail {

static PyObject* CheckResult(PyObject* result) noexcept {
  if (!result && !PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
  return result;
}

// A callee entered with an exception set can clear it, or mistake it for its
// own failure.
#define RT_ASSERT_NO_PENDING_EXCEPTION() \
  assert(!PyErr_Occurred() && "a call is made with no exception pending")

static bool IsFunctionObject(PyTypeObject* type) noexcept {
  auto* function_type = reinterpret_cast<PyTypeObject*>(g_state.function_type);
  return type == function_type || (type != &PyCFunction_Type && Rt_IsSubtype(type, function_type));
}

PyObject* Call(PyObject* callable, PyObject* args, PyObject* kwargs) noexcept {
  RT_ASSERT_NO_PENDING_EXCEPTION();
  ternaryfunc call = Py_TYPE(callable)->tp_call;
  if (!call) return PyObject_Call(callable, args, kwargs);
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  rt::Ref result = rt::Ref::steal(call(callable, args, kwargs));
  Py_LeaveRecursiveCall();
  return CheckResult(result.release());
}

PyObject* CallCFunction(PyObject* func, PyObject* arg) noexcept {
  RT_ASSERT_NO_PENDING_EXCEPTION();
  auto* cf = reinterpret_cast<PyCFunctionObject*>(func);
  PyObject* self = cf->m_self;
  // A built-in's METH_STATIC means no self; a function object's entries
  // always hand over m_self, the function itself.
  if ((cf->m_ml->ml_flags & METH_STATIC) && !IsFunctionObject(Py_TYPE(func))) self = nullptr;
  if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
  rt::Ref result = rt::Ref::steal(cf->m_ml->ml_meth(self, arg));
  Py_LeaveRecursiveCall();
  return CheckResult(result.release());
}

static PyObject* CallWithTuple(PyObject* callable, PyObject* const* args, Py_ssize_t n,
                               PyObject* kwargs) noexcept {
  rt::Ref tuple = rt::TupleFromArray(args, n);
  if (!tuple) return nullptr;
  return Call(callable, tuple.get(), kwargs);
}

// False for a type other than the two whose solid base is object itself
// (Python functions, classes, bound methods): its instances carry no
// built-in function record, whatever its MRO lists, so the walk is skipped.
// The bits that choose a calling convention; others (METH_STATIC, METH_CLASS,
// METH_COEXIST) leave it as it is.
constexpr int kConventions =
    METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL | METH_METHOD;

static bool MayBeBuiltinFunction(PyTypeObject* type, PyTypeObject* function_type) noexcept {
  return type == function_type || type == &PyCFunction_Type || type->tp_base != &PyBaseObject_Type;
}

PyObject* FastCall(PyObject* callable, PyObject* const* args, size_t nargsf,
                   PyObject* kwargs) noexcept {
  RT_ASSERT_NO_PENDING_EXCEPTION();
  Py_ssize_t n = PyVectorcall_NARGS(nargsf);
  if (kwargs) {
    if (n == 0) return Call(callable, g_state.empty_tuple, kwargs);
    return CallWithTuple(callable, args, n, kwargs);
  }
  PyTypeObject* type = Py_TYPE(callable);
  auto* function_type = reinterpret_cast<PyTypeObject*>(g_state.function_type);
  if (n <= 1 && MayBeBuiltinFunction(type, function_type) &&
      Rt_IsSubtypeOfEither(type, function_type, &PyCFunction_Type)) {
    int convention = reinterpret_cast<PyCFunctionObject*>(callable)->m_ml->ml_flags & kConventions;
    // A function object that takes self from the arguments leaves the count
    // check to its own entry.
    if (convention == (n ? METH_O : METH_NOARGS) &&
        (type == &PyCFunction_Type || !IsFunctionObject(type) ||
         !Rt_Function_SelfFromFirstArg(AsCompiledFunction(callable))))
      return CallCFunction(callable, n ? args[0] : nullptr);
  }
  if (PyVectorcall_Function(callable)) return PyObject_Vectorcall(callable, args, nargsf, nullptr);
  if (n == 0) return Call(callable, g_state.empty_tuple, nullptr);
  return CallWithTuple(callable, args, n, nullptr);
}

// Module code's call-site convention: a spare leading slot, and bound methods
// unpacked so that their function receives `self` in that slot.
static PyObject* CallUnpacked(PyObject* callable, PyObject* arg) noexcept {
  PyObject* slots[3] = {nullptr, arg, nullptr};
  size_t count = arg ? 1 : 0;
  if (Py_TYPE(callable) == &PyMethod_Type) {
    // Held for the call: the method object may be the last owner of either.
    rt::Ref self = rt::Ref::borrow(PyMethod_GET_SELF(callable));
    rt::Ref func = rt::Ref::borrow(PyMethod_GET_FUNCTION(callable));
    slots[0] = self.get();
    return FastCall(func.get(), slots, count + 1, nullptr);
  }
  return FastCall(callable, slots + 1, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* CallNoArgs(PyObject* callable) noexcept { return CallUnpacked(callable, nullptr); }

PyObject* CallOneArg(PyObject* callable, PyObject* arg) noexcept {
  return CallUnpacked(callable, arg);
}

}  // namespace rt::detail
