// The function object type: record, creation, attributes, binding, GC support.
#include "runtime/cyfunction.h"

#include <structmember.h>

#include <cstddef>
#include <iterator>

#include "runtime/module_descriptor.h"
#include "runtime/module_state.h"
#include "runtime/shared_types.h"

// Replaces a field: the object is consistent before the old value's finaliser runs.
static void ReplaceField(PyObject** field, PyObject* value) noexcept {
  PyObject* old = *field;
  Py_XINCREF(value);
  *field = value;
  Py_XDECREF(old);
}

// --- creation -------------------------------------------------------------------

PyObject* Rt_CyFunction_New(PyMethodDef* ml, int flags, PyObject* qualname, PyObject* closure,
                            PyObject* module, PyObject* globals, PyObject* code) noexcept {
  auto* type = reinterpret_cast<PyTypeObject*>(g_state.cyfunction_type);
  CyFunction* op = PyObject_GC_New(CyFunction, type);
  if (!op) return nullptr;
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
  switch (ml->ml_flags & (METH_VARARGS | METH_KEYWORDS | METH_NOARGS | METH_O | METH_FASTCALL |
                          METH_METHOD)) {
    case METH_VARARGS | METH_KEYWORDS:
      op->func.vectorcall = nullptr;
      break;
    case METH_NOARGS:
      op->func.vectorcall = Rt_CyFunction_VectorcallNoArgs;
      break;
    case METH_O:
      op->func.vectorcall = Rt_CyFunction_VectorcallOneArg;
      break;
    case METH_FASTCALL | METH_KEYWORDS:
      op->func.vectorcall = Rt_CyFunction_VectorcallFastKeywords;
      break;
    case METH_FASTCALL | METH_KEYWORDS | METH_METHOD:
      op->func.vectorcall = Rt_CyFunction_VectorcallFastKeywordsMethod;
      break;
    default:
      op->func.vectorcall = nullptr;
      PyErr_SetString(PyExc_SystemError, "Bad call flags for CyFunction");
      Py_DECREF(op);  // not tracked yet: deallocation runs on a whole record
      return nullptr;
  }
  PyObject_GC_Track(op);
  return reinterpret_cast<PyObject*>(op);
}

// --- keyword dict adapter ---------------------------------------------------------

PyObject* Rt_VectorcallWithKwDict(PyObject* func, vectorcallfunc entry, PyObject* const* args,
                                  Py_ssize_t nargs, PyObject* kwargs) noexcept {
  Py_ssize_t n = PyDict_GET_SIZE(kwargs);
  auto** block = static_cast<PyObject**>(
      PyMem_Malloc(static_cast<size_t>(nargs + n) * sizeof(PyObject*)));
  if (!block) return PyErr_NoMemory();
  for (Py_ssize_t i = 0; i < nargs; ++i) block[i] = args[i];
  PyObject* names = PyTuple_New(n);
  if (!names) {
    PyMem_Free(block);
    return nullptr;
  }
  Py_ssize_t pos = 0, i = 0;
  PyObject *key, *value;
  unsigned long all_str = Py_TPFLAGS_UNICODE_SUBCLASS;
  // The dict cannot change here: nothing below runs Python code.
  while (i < n && PyDict_Next(kwargs, &pos, &key, &value)) {
    Py_INCREF(key);
    Py_INCREF(value);
    PyTuple_SET_ITEM(names, i, key);
    block[nargs + i] = value;
    all_str &= Py_TYPE(key)->tp_flags;
    ++i;
  }
  PyObject* result = nullptr;
  if (all_str) {
    result = entry(func, block, static_cast<size_t>(nargs), names);
  } else {
    PyErr_SetString(PyExc_TypeError, "keywords must be strings");
  }
  Py_DECREF(names);
  for (Py_ssize_t j = 0; j < i; ++j) Py_DECREF(block[nargs + j]);
  PyMem_Free(block);
  return result;
}

// --- attributes -----------------------------------------------------------------

static PyObject* GetDoc(PyObject* self, void*) {
  CyFunction* op = AsCyFunction(self);
  if (!op->doc) {
    if (!op->func.m_ml->ml_doc) Py_RETURN_NONE;
    op->doc = PyUnicode_FromString(op->func.m_ml->ml_doc);
    if (!op->doc) return nullptr;
  }
  Py_INCREF(op->doc);
  return op->doc;
}

static int SetDoc(PyObject* self, PyObject* value, void*) {
  ReplaceField(&AsCyFunction(self)->doc, value ? value : Py_None);
  return 0;
}

static PyObject* GetName(PyObject* self, void*) {
  CyFunction* op = AsCyFunction(self);
  if (!op->name) {
    op->name = PyUnicode_InternFromString(op->func.m_ml->ml_name);
    if (!op->name) return nullptr;
  }
  Py_INCREF(op->name);
  return op->name;
}

static int SetStringField(PyObject** field, PyObject* value, const char* message) noexcept {
  if (!value || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  ReplaceField(field, value);
  return 0;
}

static int SetName(PyObject* self, PyObject* value, void*) {
  return SetStringField(&AsCyFunction(self)->name, value, "__name__ must be set to a string object");
}

static PyObject* GetQualname(PyObject* self, void*) {
  Py_INCREF(AsCyFunction(self)->qualname);
  return AsCyFunction(self)->qualname;
}

static int SetQualname(PyObject* self, PyObject* value, void*) {
  return SetStringField(&AsCyFunction(self)->qualname, value,
                        "__qualname__ must be set to a string object");
}

static PyObject* GetGlobals(PyObject* self, void*) {
  Py_INCREF(AsCyFunction(self)->globals);
  return AsCyFunction(self)->globals;
}

static PyObject* GetClosure(PyObject*, void*) { Py_RETURN_NONE; }

static PyObject* GetCode(PyObject* self, void*) {
  PyObject* code = AsCyFunction(self)->code;
  if (!code) code = Py_None;
  Py_INCREF(code);
  return code;
}

// Fills defaults and kwdefaults from the provider; 0, or -1 with an exception.
static int ProvideDefaults(CyFunction* op) noexcept {
  PyObject* pair = op->defaults_provider(reinterpret_cast<PyObject*>(op));
  if (!pair) return -1;
  ReplaceField(&op->defaults, PyTuple_GET_ITEM(pair, 0));
  ReplaceField(&op->kwdefaults, PyTuple_GET_ITEM(pair, 1));
  Py_DECREF(pair);
  return 0;
}

static PyObject* GetDefaultsField(CyFunction* op, PyObject** field) noexcept {
  if (!*field) {
    if (!op->defaults_provider) Py_RETURN_NONE;
    if (ProvideDefaults(op) < 0) return nullptr;
  }
  PyObject* value = *field ? *field : Py_None;
  Py_INCREF(value);
  return value;
}

static PyObject* GetDefaults(PyObject* self, void*) {
  return GetDefaultsField(AsCyFunction(self), &AsCyFunction(self)->defaults);
}

static PyObject* GetKwdefaults(PyObject* self, void*) {
  return GetDefaultsField(AsCyFunction(self), &AsCyFunction(self)->kwdefaults);
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
  ReplaceField(field, value);
  return 0;
}

static int SetDefaults(PyObject* self, PyObject* value, void*) {
  return SetDefaultsField(
      &AsCyFunction(self)->defaults, value, Py_TPFLAGS_TUPLE_SUBCLASS,
      "__defaults__ must be set to a tuple object",
      "changes to cyfunction.__defaults__ will not currently affect the values used in function "
      "calls");
}

static int SetKwdefaults(PyObject* self, PyObject* value, void*) {
  return SetDefaultsField(
      &AsCyFunction(self)->kwdefaults, value, Py_TPFLAGS_DICT_SUBCLASS,
      "__kwdefaults__ must be set to a dict object",
      "changes to cyfunction.__kwdefaults__ will not currently affect the values used in function "
      "calls");
}

static PyObject* GetAnnotations(PyObject* self, void*) {
  CyFunction* op = AsCyFunction(self);
  if (!op->annotations) {
    op->annotations = PyDict_New();
    if (!op->annotations) return nullptr;
  }
  Py_INCREF(op->annotations);
  return op->annotations;
}

static int SetAnnotations(PyObject* self, PyObject* value, void*) {
  CyFunction* op = AsCyFunction(self);
  if (!value || value == Py_None) {
    Py_CLEAR(op->annotations);
    return 0;
  }
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  ReplaceField(&op->annotations, value);
  return 0;
}

static PyObject* ComputeIsCoroutine(CyFunction* op) noexcept {
  if (!(op->flags & kCyFunctionCoroutine)) {
    Py_INCREF(Py_False);
    return Py_False;
  }
  PyObject* marker_name = Rt_Const(kThisModule.names.is_coroutine);
  PyObject* fromlist = PyList_New(1);
  if (!fromlist) return nullptr;
  Py_INCREF(marker_name);
  PyList_SET_ITEM(fromlist, 0, marker_name);
  PyObject* module = PyImport_ImportModuleLevelObject(
      Rt_Const(kThisModule.names.asyncio_coroutines), nullptr, nullptr, fromlist, 0);
  Py_DECREF(fromlist);
  PyObject* marker = nullptr;
  if (module) {
    getattrofunc getattro = Py_TYPE(module)->tp_getattro;
    marker = getattro ? getattro(module, marker_name) : PyObject_GetAttr(module, marker_name);
    Py_DECREF(module);
  }
  if (!marker) {
    PyErr_Clear();
    Py_INCREF(Py_True);
    marker = Py_True;
  }
  return marker;
}

static PyObject* GetIsCoroutine(PyObject* self, void*) {
  CyFunction* op = AsCyFunction(self);
  if (op->is_coroutine) {
    Py_INCREF(op->is_coroutine);
    return op->is_coroutine;
  }
  PyObject* answer = ComputeIsCoroutine(op);
  if (!answer) return nullptr;
  if (op->is_coroutine) {  // the import ran Python code that answered first
    Py_DECREF(answer);
  } else {
    op->is_coroutine = answer;
  }
  Py_INCREF(op->is_coroutine);
  return op->is_coroutine;
}

#define RT_GETSET(name, get, set) \
  {const_cast<char*>(name), get, set, nullptr, nullptr}

static PyGetSetDef g_cyfunction_getset[] = {
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

static PyMemberDef g_cyfunction_members[] = {
    {const_cast<char*>("__module__"), T_OBJECT, offsetof(PyCFunctionObject, m_module), 0, nullptr},
    {const_cast<char*>("__dictoffset__"), T_PYSSIZET, offsetof(CyFunction, dict), READONLY,
     nullptr},
    {const_cast<char*>("__vectorcalloffset__"), T_PYSSIZET, offsetof(PyCFunctionObject, vectorcall),
     READONLY, nullptr},
    {const_cast<char*>("__weaklistoffset__"), T_PYSSIZET, offsetof(PyCFunctionObject, m_weakreflist),
     READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

// --- type slots -----------------------------------------------------------------

static PyObject* Reduce(PyObject* self, PyObject*) {
  Py_INCREF(AsCyFunction(self)->qualname);
  return AsCyFunction(self)->qualname;
}

static PyMethodDef g_cyfunction_methods[] = {
    {"__reduce__", reinterpret_cast<PyCFunction>(Reduce), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

static PyObject* Repr(PyObject* self) {
  return PyUnicode_FromFormat("<cyfunction %U at %p>", AsCyFunction(self)->qualname, self);
}

static PyObject* DescrGet(PyObject* func, PyObject* instance, PyObject*) {
  if (!instance) {
    Py_INCREF(func);
    return func;
  }
  return PyMethod_New(func, instance);
}

// Every object field of the record that owns a reference, in the order in
// which the collector visits them and clear releases them: one list, so that
// no field is released without being visited.
constexpr size_t kOwnedFields[] = {
    offsetof(CyFunction, closure),        offsetof(CyFunction, func.m_module),
    offsetof(CyFunction, dict),           offsetof(CyFunction, name),
    offsetof(CyFunction, qualname),       offsetof(CyFunction, doc),
    offsetof(CyFunction, globals),        offsetof(CyFunction, code),
    offsetof(CyFunction, defining_class), offsetof(CyFunction, defaults),
    offsetof(CyFunction, kwdefaults),     offsetof(CyFunction, annotations),
    offsetof(CyFunction, is_coroutine),   offsetof(CyFunction, defaults_holder),
};

static_assert(sizeof(CyFunction) == sizeof(PyCFunctionObject) +
                                      (std::size(kOwnedFields) - 1) * sizeof(PyObject*) +
                                      sizeof(void*) /* flags, padded */ +
                                      sizeof(void*) /* defaults_provider */,
              "an object field added to the record belongs in kOwnedFields");

static PyObject** OwnedField(PyObject* self, size_t offset) noexcept {
  return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

static int Traverse(PyObject* self, visitproc visit, void* arg) {
  for (size_t offset : kOwnedFields) Py_VISIT(*OwnedField(self, offset));
  return 0;
}

static int Clear(PyObject* self) {
  for (size_t offset : kOwnedFields) Py_CLEAR(*OwnedField(self, offset));
  return 0;
}

static void Dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (AsCyFunction(self)->func.m_weakreflist) PyObject_ClearWeakRefs(self);
  Clear(self);
  PyObject_GC_Del(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

static PyType_Slot g_cyfunction_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(Dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(Repr)},
    {Py_tp_call, reinterpret_cast<void*>(Rt_CyFunction_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(Traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Clear)},
    {Py_tp_methods, g_cyfunction_methods},
    {Py_tp_members, g_cyfunction_members},
    {Py_tp_getset, g_cyfunction_getset},
    {Py_tp_descr_get, reinterpret_cast<void*>(DescrGet)},
    {0, nullptr}};

PyType_Spec g_cyfunction_spec = {
    RT_SHARED_MODULE_NAME ".cython_function_or_method", sizeof(CyFunction), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_HAVE_GC |
        _Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_BASETYPE | 0x100 | 0x80,
    g_cyfunction_slots};
