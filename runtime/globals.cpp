// Builtin names and attribute reads that treat a missing attribute as no error.
#include "runtime/globals.h"

#include <structmember.h>

#include "runtime/exceptions.h"
#include "runtime/runtime_names.h"

PyObject* rt::detail::GetAttrNoError(PyObject* obj, PyObject* name) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_getattro == PyObject_GenericGetAttr)
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
  rt::Ref result = Rt_GetAttr(obj, name);
  if (!result) {
    PyObject* raised = Rt_RaisedType(Rt_ThreadState());
    if (raised &&
        (raised == PyExc_AttributeError || Rt_GivenExceptionMatches(raised, PyExc_AttributeError)))
      PyErr_Clear();
  }
  return result.release();
}

PyObject* rt::detail::GetBuiltinName(PyObject* name) noexcept {
  rt::Ref result = Rt_GetAttrNoError(g_state.builtins_module, name);
  if (!result && !PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return result.release();
}

// How a metatype reads the attributes of its classes.
enum class ClassRead {
  kOther,
  kType,  // type's own read
  // A class statement's __getattr__ hook over type's own __getattribute__
  // (enum's metatype up to 3.11): the hook asks __getattr__ only when type's
  // read finds nothing. Known while the metatype's tag holds.
  kTypeThenGetattr,
};

static ClassRead ClassReadOf(PyTypeObject* meta) noexcept {
  if (meta->tp_getattro == PyType_Type.tp_getattro) return ClassRead::kType;
  if (!PyType_HasFeature(meta, Py_TPFLAGS_HEAPTYPE)) return ClassRead::kOther;
  PyObject* name = Rt_RuntimeName(&RuntimeNameSlots::dunder_getattribute);
  PyObject* own = _PyType_Lookup(meta, name);  // borrowed
  bool over_type = own && own == _PyType_Lookup(&PyType_Type, name);
  return over_type ? ClassRead::kTypeThenGetattr : ClassRead::kOther;
}

// __getattr__ called as the interpreter's hook calls it: bound first when it is a descriptor.
static PyObject* CallGetattr(PyObject* cls, PyObject* hook, PyObject* name) noexcept {
  rt::Ref bound;
  if (descrgetfunc bind = Py_TYPE(hook)->tp_descr_get) {
    bound = rt::Ref::steal(bind(hook, cls, reinterpret_cast<PyObject*>(Py_TYPE(cls))));
    if (!bound) return nullptr;
    hook = bound.get();
  }
  PyObject* args[1] = {name};
  return rt::detail::FastCall(hook, args, 1, nullptr);
}

// A class's attribute under a kTypeThenGetattr metatype: the hook's work
// without the bound __getattribute__ it makes and calls on every read.
static PyObject* ReadTypeThenGetattr(PyObject* cls, PyObject* name) noexcept {
  // Held before the read, as the hook holds it: the read may replace it.
  rt::Ref hook = rt::Ref::borrow(
      _PyType_Lookup(Py_TYPE(cls), Rt_RuntimeName(&RuntimeNameSlots::dunder_getattr)));
  PyObject* result = PyType_Type.tp_getattro(cls, name);
  if (result || !hook || !PyErr_ExceptionMatches(PyExc_AttributeError)) return result;
  PyErr_Clear();
  return CallGetattr(cls, hook.get(), name);
}

// What a read of `name` on `obj` would find again while the tags hold; a
// version of 0 (a type without a tag) keeps nothing. Looks only: no errors.
static void RememberFound(PyObject* obj, PyObject* name, ClassRead class_read,
                          AttributeReadCache* cache) noexcept {
  PyTypeObject* type = Py_TYPE(obj);
  if (type->tp_getattro == PyObject_GenericGetAttr) {
    PyObject* descriptor = _PyType_Lookup(type, name);  // borrowed; assigns the tag
    unsigned int version = Rt_TypeVersion(type);
    if (!descriptor || !version) return;
    PyTypeObject* kind = Py_TYPE(descriptor);
    if (kind == &PyMemberDescr_Type) {
      const PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(descriptor)->d_member;
      if (member->type != T_OBJECT_EX || (member->flags & READ_RESTRICTED)) return;
      cache->kind = AttributeReadCache::kSlot;
      cache->offset = member->offset;
    } else if (kind->tp_descr_get && kind->tp_descr_set &&
               !PyType_HasFeature(kind, Py_TPFLAGS_HEAPTYPE)) {
      // A class statement's descriptor can lose __set__ without the owner
      // noticing, and the instance dict would then win: only built-in kinds.
      cache->kind = AttributeReadCache::kDataDescriptor;
    } else {
      return;  // the instance's own dict could shadow it
    }
    cache->owner = type;
    cache->version = version;
    cache->found = descriptor;
    return;
  }
  if (class_read != ClassRead::kOther) {
    auto* cls = reinterpret_cast<PyTypeObject*>(obj);
    if (_PyType_Lookup(type, name)) return;  // the metatype's own attribute decides
    PyObject* value = _PyType_Lookup(cls, name);
    unsigned int version = Rt_TypeVersion(cls), meta_version = Rt_TypeVersion(type);
    if (!value || Py_TYPE(value)->tp_descr_get || !version || !meta_version) return;
    cache->kind = AttributeReadCache::kClassValue;
    cache->owner = obj;
    cache->version = version;
    cache->meta_version = meta_version;
    cache->found = value;
  }
}

// Failing that, that objects of this type need the generic read.
static void Remember(PyObject* obj, PyObject* name, AttributeReadCache* cache) noexcept {
  // How a class reads decides both what is kept and the generic read: asked once.
  ClassRead class_read = PyType_Check(obj) ? ClassReadOf(Py_TYPE(obj)) : ClassRead::kOther;
  RememberFound(obj, name, class_read, cache);
  if (cache->kind != AttributeReadCache::kNothing) return;
  PyTypeObject* type = Py_TYPE(obj);
  unsigned int version = Rt_TypeVersion(type);
  if (!version) return;
  cache->kind = AttributeReadCache::kGeneric;
  cache->owner = type;
  cache->version = version;
  if (class_read == ClassRead::kTypeThenGetattr)
    cache->read = ReadTypeThenGetattr;
  else
    cache->read = type->tp_getattro ? type->tp_getattro : PyObject_GetAttr;
}

PyObject* rt::detail::GetAttrAndRemember(PyObject* obj, PyObject* name,
                                         AttributeReadCache* cache) noexcept {
  cache->kind = AttributeReadCache::kNothing;
  PyObject* result = GetAttr(obj, name);
  // Looked at after the read, which may change the type and gives it its tag.
  if (result) Remember(obj, name, cache);
  return result;
}
