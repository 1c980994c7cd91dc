// The function object type: record, creation, attributes, binding, GC support.
// Its call entries are in compiled_function_calls.cpp.
#include "runtime/compiled_function.h"

#include <structmember.h>

#include <cstddef>
#include <iterator>

#include "runtime/globals.h"
#include "runtime/module_state.h"
#include "runtime/python_compat.h"
#include "runtime/ref.h"
#include "runtime/runtime_names.h"
#include "runtime/shared_types.h"

using rt::NewRef;
using rt::Ref;

// --- creation -------------------------------------------------------------------

Ref Rt_Function_New(PyMethodDef* ml, int flags, PyObject* qualname, PyObject* closure,
                    PyObject* module, PyObject* globals, PyObject* code) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(g_state.function_type);
  CompiledFunction* op = PyObject_GC_New(CompiledFunction, type);
  // Not tracked until the record is whole: deallocation runs on a whole record.
  Ref unfinished = Ref::steal(reinterpret_cast<PyObject*>(op));
  if (!op) return unfinished;
  op->flags = flags;
  op->func.m_weakreflist = nullptr;
  op->func.m_ml = ml;
  op->func.m_self = reinterpret_cast<PyObject*>(op);
  Py_XINCREF(closure);
  op->closure = closure;
  Py_XINCREF(module);
  op->func.m_module = module;
  Py_INCREF(qualname);
  op->qualname = qualname;
  Py_INCREF(globals);
  op->globals = globals;
  Py_XINCREF(code);
  op->code = code;
  op->dict = op->name = op->doc = op->defining_class = op->defaults_holder = nullptr;
  op->defaults = op->kwdefaults = op->annotations = op->is_coroutine = nullptr;
  op->defaults_provider = nullptr;
  switch (ml->ml_flags &
          (METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL | METH_METHOD)) {
    case METH_VARARGS | METH_KEYWORDS:
      op->func.vectorcall = nullptr;
      break;
    case METH_NOARGS:
      op->func.vectorcall = Rt_Function_VectorcallNoArgs;
      break;
    case METH_O:
      op->func.vectorcall = Rt_Function_VectorcallOneArg;
      break;
    case METH_FASTCALL | METH_KEYWORDS:
      op->func.vectorcall = Rt_Function_VectorcallFastKeywords;
      break;
    case METH_FASTCALL | METH_KEYWORDS | METH_METHOD:
      op->func.vectorcall = Rt_Function_VectorcallFastKeywordsMethod;
      break;
    default:
      op->func.vectorcall = nullptr;
      PyErr_SetString(PyExc_SystemError, "Bad call flags for CompiledFunction");
      return Ref();
  }
  PyObject_GC_Track(op);
  return unfinished;
}

// --- attributes -----------------------------------------------------------------

static PyObject* GetDoc(PyObject* self, void*) noexcept {
  CompiledFunction* op = AsCompiledFunction(self);
  if (!op->doc) {
    if (!op->func.m_ml->ml_doc) Py_RETURN_NONE;
    op->doc = PyUnicode_FromString(op->func.m_ml->ml_doc);
    if (!op->doc) return nullptr;
  }
  return NewRef(op->doc);
}

static int SetDoc(PyObject* self, PyObject* value, void*) noexcept {
  rt::SetField(&AsCompiledFunction(self)->doc, Ref::borrow(value ? value : Py_None));
  return 0;
}

static PyObject* GetName(PyObject* self, void*) noexcept {
  CompiledFunction* op = AsCompiledFunction(self);
  if (!op->name) {
    op->name = PyUnicode_InternFromString(op->func.m_ml->ml_name);
    if (!op->name) return nullptr;
  }
  return NewRef(op->name);
}

static int SetStringField(PyObject** field, PyObject* value, const char* message) noexcept {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  rt::SetField(field, Ref::borrow(value));
  return 0;
}

static int SetName(PyObject* self, PyObject* value, void*) noexcept {
  return SetStringField(&AsCompiledFunction(self)->name, value,
                        "__name__ must be set to a string object");
}

static PyObject* GetQualname(PyObject* self, void*) noexcept {
  return NewRef(AsCompiledFunction(self)->qualname);
}

static int SetQualname(PyObject* self, PyObject* value, void*) noexcept {
  return SetStringField(&AsCompiledFunction(self)->qualname, value,
                        "__qualname__ must be set to a string object");
}

// None once the collector has cleared the function.
static PyObject* GetGlobals(PyObject* self, void*) noexcept {
  PyObject* globals = AsCompiledFunction(self)->globals;
  return NewRef(globals ? globals : Py_None);
}

static PyObject* GetClosure(PyObject*, void*) noexcept { Py_RETURN_NONE; }

static PyObject* GetCode(PyObject* self, void*) noexcept {
  PyObject* code = AsCompiledFunction(self)->code;
  return NewRef(code ? code : Py_None);
}

// Fills defaults and kwdefaults from the provider; 0, or -1 with an exception.
static int ProvideDefaults(CompiledFunction* op) noexcept {
  Ref pair = Ref::steal(op->defaults_provider(reinterpret_cast<PyObject*>(op)));
  if (!pair) return -1;
  rt::SetField(&op->defaults, Ref::borrow(PyTuple_GET_ITEM(pair.get(), 0)));
  rt::SetField(&op->kwdefaults, Ref::borrow(PyTuple_GET_ITEM(pair.get(), 1)));
  return 0;
}

static PyObject* GetDefaultsField(CompiledFunction* op, PyObject** field) noexcept {
  if (!*field) {
    if (!op->defaults_provider) Py_RETURN_NONE;
    if (ProvideDefaults(op) < 0) return nullptr;
  }
  return NewRef(*field ? *field : Py_None);
}

static PyObject* GetDefaults(PyObject* self, void*) noexcept {
  return GetDefaultsField(AsCompiledFunction(self), &AsCompiledFunction(self)->defaults);
}

static PyObject* GetKwdefaults(PyObject* self, void*) noexcept {
  return GetDefaultsField(AsCompiledFunction(self), &AsCompiledFunction(self)->kwdefaults);
}

// A failed warning (warnings turned into errors) refuses the store.
static int SetDefaultsField(PyObject** field, PyObject* value, unsigned long required_flag,
                            const char* type_message, const char* warning) noexcept {
  if (!value) value = Py_None;
  if (value != Py_None && !(Py_TYPE(value)->tp_flags & required_flag)) {
    PyErr_SetString(PyExc_TypeError, type_message);
    return -1;
  }
  if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0) return -1;
  rt::SetField(field, Ref::borrow(value));
  return 0;
}

static int SetDefaults(PyObject* self, PyObject* value, void*) noexcept {
  return SetDefaultsField(&AsCompiledFunction(self)->defaults, value, Py_TPFLAGS_TUPLE_SUBCLASS,
                          "__defaults__ must be set to a tuple object",
                          "changes to compiled_function.__defaults__ will not currently affect the "
                          "values used in function "
                          "calls");
}

static int SetKwdefaults(PyObject* self, PyObject* value, void*) noexcept {
  return SetDefaultsField(&AsCompiledFunction(self)->kwdefaults, value, Py_TPFLAGS_DICT_SUBCLASS,
                          "__kwdefaults__ must be set to a dict object",
                          "changes to compiled_function.__kwdefaults__ will not currently affect "
                          "the values used in function "
                          "calls");
}

static PyObject* GetAnnotations(PyObject* self, void*) noexcept {
  CompiledFunction* op = AsCompiledFunction(self);
  if (!op->annotations) {
    op->annotations = PyDict_New();
    if (!op->annotations) return nullptr;
  }
  return NewRef(op->annotations);
}

static int SetAnnotations(PyObject* self, PyObject* value, void*) noexcept {
  CompiledFunction* op = AsCompiledFunction(self);
  if (!value || value == Py_None) {
    rt::SetField(&op->annotations, Ref());
    return 0;
  }
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  rt::SetField(&op->annotations, Ref::borrow(value));
  return 0;
}

static Ref ComputeIsCoroutine(CompiledFunction* op) noexcept {
  if (!(op->flags & kCompiledFunctionCoroutine)) return Ref::borrow(Py_False);
  PyObject* marker_name = Rt_RuntimeName(&RuntimeNameSlots::is_coroutine);
  Ref fromlist = rt::ListFromArray(&marker_name, 1);
  if (!fromlist) return Ref();
  Ref module = Ref::steal(PyImport_ImportModuleLevelObject(
      Rt_RuntimeName(&RuntimeNameSlots::asyncio_coroutines), nullptr, nullptr, fromlist.get(), 0));
  fromlist.reset();
  Ref marker = module ? Rt_GetAttr(module.get(), marker_name) : Ref();
  module.reset();
  if (!marker) {
    PyErr_Clear();
    marker = Ref::borrow(Py_True);
  }
  return marker;
}

static PyObject* GetIsCoroutine(PyObject* self, void*) noexcept {
  CompiledFunction* op = AsCompiledFunction(self);
  if (op->is_coroutine) return NewRef(op->is_coroutine);
  Ref answer = ComputeIsCoroutine(op);
  if (!answer) return nullptr;
  // The import ran Python code, which may have answered first.
  if (!op->is_coroutine) op->is_coroutine = answer.release();
  return NewRef(op->is_coroutine);
}

#define RT_GETSET(name, get, set) \
  { const_cast<char*>(name), get, set, nullptr, nullptr }

static PyGetSetDef g_function_getset[] = {
    RT_GETSET("func_doc", GetDoc, SetDoc),
    RT_GETSET("__doc__", GetDoc, SetDoc),
    RT_GETSET("func_name", GetName, SetName),
    RT_GETSET("__name__", GetName, SetName),
    RT_GETSET("__qualname__", GetQualname, SetQualname),
    RT_GETSET("func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict),
    RT_GETSET("__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict),
    RT_GETSET("func_globals", GetGlobals, nullptr),
    RT_GETSET("__globals__", GetGlobals, nullptr),
    RT_GETSET("func_closure", GetClosure, nullptr),
    RT_GETSET("__closure__", GetClosure, nullptr),
    RT_GETSET("func_code", GetCode, nullptr),
    RT_GETSET("__code__", GetCode, nullptr),
    RT_GETSET("func_defaults", GetDefaults, SetDefaults),
    RT_GETSET("__defaults__", GetDefaults, SetDefaults),
    RT_GETSET("__kwdefaults__", GetKwdefaults, SetKwdefaults),
    RT_GETSET("__annotations__", GetAnnotations, SetAnnotations),
    RT_GETSET("_is_coroutine", GetIsCoroutine, nullptr),
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

static PyMemberDef g_function_members[] = {
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(PyCFunctionObject, m_module), 0, nullptr},
    {const_cast<char*>("__dictoffset__"), T_PYSSIZET, offsetof(CompiledFunction, dict), READONLY,
     nullptr},
    {const_cast<char*>("__vectorcalloffset__"), T_PYSSIZET, offsetof(PyCFunctionObject, vectorcall),
     READONLY, nullptr},
    {const_cast<char*>("__weaklistoffset__"), T_PYSSIZET,
     offsetof(PyCFunctionObject, m_weakreflist), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

// --- type slots -----------------------------------------------------------------

static PyObject* Reduce(PyObject* self, PyObject*) noexcept {
  return NewRef(AsCompiledFunction(self)->qualname);
}

static PyMethodDef g_function_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(Reduce), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

static PyObject* Repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<compiled function %U at %p>", AsCompiledFunction(self)->qualname,
                              self);
}

static PyObject* DescrGet(PyObject* func, PyObject* instance, PyObject*) noexcept {
  if (!instance) return NewRef(func);
  return PyMethod_New(func, instance);
}

// Every object field of the record that owns a reference, in the order in
// which the collector visits them and clear releases them: one list, so that
// no field is released without being visited.
constexpr size_t kOwnedFields[] = {
    offsetof(CompiledFunction, closure),        offsetof(CompiledFunction, func.m_module),
    offsetof(CompiledFunction, dict),           offsetof(CompiledFunction, name),
    offsetof(CompiledFunction, qualname),       offsetof(CompiledFunction, doc),
    offsetof(CompiledFunction, globals),        offsetof(CompiledFunction, code),
    offsetof(CompiledFunction, defining_class), offsetof(CompiledFunction, defaults),
    offsetof(CompiledFunction, kwdefaults),     offsetof(CompiledFunction, annotations),
    offsetof(CompiledFunction, is_coroutine),   offsetof(CompiledFunction, defaults_holder),
};

static_assert(sizeof(CompiledFunction) ==
                  sizeof(PyCFunctionObject) + (std::size(kOwnedFields) - 1) * sizeof(PyObject*) +
                      sizeof(void*) /* flags, padded */ + sizeof(void*) /* defaults_provider */,
              "an object field added to the record belongs in kOwnedFields");

static PyObject** OwnedField(PyObject* self, size_t offset) noexcept {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

static int Traverse(PyObject* self, visitproc visit, void* arg) noexcept {
  for (size_t offset : kOwnedFields) Py_VISIT(*OwnedField(self, offset));
  return 0;
}

// A finaliser may still meet a cleared function, and repr, __reduce__ and the
// name getters read its names. An exact str holds no reference, so it is in
// no cycle and stays; a str subclass may be, and goes: the name falls back to
// the definition's, the qualified name becomes the empty str.
static int Clear(PyObject* self) noexcept {
  CompiledFunction* op = AsCompiledFunction(self);
  for (size_t offset : kOwnedFields) {
    PyObject** field = OwnedField(self, offset);
    if (field == &op->qualname) {
      if (!PyUnicode_CheckExact(op->qualname))
        rt::SetField(field, Ref::borrow(g_state.empty_unicode));
    } else if (field != &op->name || (op->name && !PyUnicode_CheckExact(op->name))) {
      rt::SetField(field, Ref());
    }
  }
  return 0;
}

static void Dealloc(PyObject* self) noexcept {
  // Instances of a heap type hold a reference to it, given back last.
  Ref type = Ref::steal(reinterpret_cast<PyObject*>(Py_TYPE(self)));
  PyObject_GC_UnTrack(self);
  if (AsCompiledFunction(self)->func.m_weakreflist) PyObject_ClearWeakRefs(self);
  for (size_t offset : kOwnedFields) rt::SetField(OwnedField(self, offset), Ref());
  PyObject_GC_Del(self);
}

static PyType_Slot g_function_slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
                                         {Py_tp_repr, reinterpret_cast<void*>(Repr)},
                                         {Py_tp_call, reinterpret_cast<void*>(Rt_Function_Call)},
                                         {Py_tp_traverse, reinterpret_cast<void*>(Traverse)},
                                         {Py_tp_clear, reinterpret_cast<void*>(Clear)},
                                         {Py_tp_methods, g_function_methods},
                                         {Py_tp_members, g_function_members},
                                         {Py_tp_getset, g_function_getset},
                                         {Py_tp_descr_get, reinterpret_cast<void*>(DescrGet)},
                                         {0, nullptr}};

PyType_Spec g_function_spec = {
    RT_SHARED_MODULE_NAME ".compiled_function_or_method", sizeof(CompiledFunction), 0,
    RT_TPFLAGS_DEFAULT | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_GC |
        Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_BASETYPE | 0x100 | 0x80,
    g_function_slots};
