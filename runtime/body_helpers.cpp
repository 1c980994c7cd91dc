// Helpers of the handler methods' bodies.
#include "runtime/body_helpers.h"

#include <cstring>

#include "runtime/calls.h"
#include "runtime/exceptions.h"
#include "runtime/globals.h"
#include "runtime/module_state.h"
#include "runtime/python_compat.h"
#include "runtime/ref.h"

namespace rt::detail {
// Calls what Rt_LookupMethod found for `obj` with `arg` (null: none),
// handing `obj` over as self when the method came unbound.
static PyObject* CallFoundMethod(PyObject* method, int unbound, PyObject* obj,
                                 PyObject* arg) noexcept {
  // A spare slot in front, so that the callee may put a bound self there.
  PyObject* slots[3] = {nullptr, obj, arg};
  size_t count = arg ? 1 : 0;
  return unbound
             ? FastCall(method, slots + 1, (count + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
             : FastCall(method, slots + 2, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

PyObject* CallMethodOneArg(PyObject* obj, PyObject* name, PyObject* arg) noexcept {
  Ref method;  // the lookup leaves it alone when nothing is found
  int unbound = Rt_LookupMethod(obj, name, method.out());
  if (!method) return nullptr;
  return CallFoundMethod(method.get(), unbound, obj, arg);
}

PyObject* CallMethodNoArgs(PyObject* obj, PyObject* name) noexcept {
  return CallMethodOneArg(obj, name, nullptr);
}

PyObject* DictValuesIterInit(PyObject* mapping, PyObject* values_name, Py_ssize_t* size,
                             bool* is_dict) noexcept {
  if (PyDict_CheckExact(mapping)) {
    *is_dict = true;
    *size = PyDict_Size(mapping);
    return NewRef(mapping);
  }
  *is_dict = false;
  *size = 0;
  Ref method;  // the lookup leaves it alone when nothing is found
  int unbound = Rt_LookupMethod(mapping, values_name, method.out());
  if (!method) return nullptr;
  // A dict subclass whose values() is dict's own: its view would walk the
  // dict's entries, as the loop below does in place.
  if (unbound && PyDict_Check(mapping) && Rt_IsDictValuesMethod(method.get(), values_name)) {
    *is_dict = true;
    *size = PyDict_Size(mapping);
    return NewRef(mapping);
  }
  Ref result = Ref::steal(CallFoundMethod(method.get(), unbound, mapping, nullptr));
  method.reset();
  if (!result) return nullptr;
  if (PyTuple_CheckExact(result.get()) || PyList_CheckExact(result.get())) return result.release();
  return PyObject_GetIter(result.get());
}

int DictValuesIterNext(PyObject* source, Py_ssize_t size, Py_ssize_t* position, Py_ssize_t* left,
                       PyObject** value, bool is_dict) noexcept {
  if (is_dict) {
    // The dict's own values iterator: it counts the entries left and refuses
    // one more than it counted, which an entry deleted and another added
    // behind the walk (the size kept) brings.
    if (PyDict_Size(source) != size) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return -1;
    }
    PyObject *k, *v;  // borrowed
    if (!PyDict_Next(source, position, &k, &v)) return 0;
    if (*left == 0) {
      PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
      return -1;
    }
    --*left;
    *value = NewRef(v);
    return 1;
  }
  if (PyTuple_CheckExact(source) || PyList_CheckExact(source)) {
    bool tuple = PyTuple_CheckExact(source);
    Py_ssize_t length = tuple ? PyTuple_GET_SIZE(source) : PyList_GET_SIZE(source);
    if (*position >= length) return 0;
    PyObject* v = tuple ? PyTuple_GET_ITEM(source, *position) : PyList_GET_ITEM(source, *position);
    ++*position;
    *value = NewRef(v);
    return 1;
  }
  *value = PyIter_Next(source);
  if (*value) return 1;
  return Rt_IterFinish();
}
}  // namespace rt::detail

PyObject* rt::detail::FormatSimple(PyObject* x) noexcept {
  if (PyUnicode_CheckExact(x)) return rt::NewRef(x);
  if (PyLong_CheckExact(x)) return PyLong_Type.tp_repr(x);
  if (PyFloat_CheckExact(x)) return PyFloat_Type.tp_repr(x);
  return PyObject_Format(x, g_state.empty_unicode);
}

Py_UCS4 Rt_MaxCharOf(PyObject* s) noexcept {
  if (!PyUnicode_IS_READY(s)) return 0x10FFFF;  // no kind yet: assume the widest
  if (PyUnicode_IS_ASCII(s)) return 127;
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      return 255;
    case PyUnicode_2BYTE_KIND:
      return 0xFFFF;
    default:
      return 0x10FFFF;
  }
}

static void RaiseTooLong() noexcept {
  PyErr_SetString(PyExc_OverflowError, "join() result is too long for a Python string");
}

// The characters of a str held in its compact ASCII form, else null.
static const char* CompactAsciiData(PyObject* s) noexcept {
  return PyUnicode_IS_READY(s) && PyUnicode_IS_COMPACT_ASCII(s)
             ? static_cast<const char*>(PyUnicode_DATA(s))
             : nullptr;
}

static void CopyShort(char* to, const char* from, Py_ssize_t length) noexcept {
  if (length == 1) {
    *to = *from;
  } else {
    std::memcpy(to, from, static_cast<size_t>(length));
  }
}

// Three compact ASCII parts whose lengths add up to `total`: one allocation and
// plain copies. Null without an exception when the parts are not all such.
static PyObject* JoinAscii3(PyObject* const parts[3], Py_ssize_t total, bool* done) noexcept {
  const char* data[3] = {CompactAsciiData(parts[0]), CompactAsciiData(parts[1]),
                         CompactAsciiData(parts[2])};
  *done = false;
  if (!data[0] || !data[1] || !data[2]) return nullptr;
  Py_ssize_t l0 = PyUnicode_GET_LENGTH(parts[0]), l1 = PyUnicode_GET_LENGTH(parts[1]),
             l2 = PyUnicode_GET_LENGTH(parts[2]);
  if (l0 > total || l1 > total - l0 || l2 != total - l0 - l1) return nullptr;
  *done = true;
  PyObject* result = PyUnicode_New(total, 127);
  if (!result) return nullptr;
  char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(result));
  if (l0) CopyShort(out, data[0], l0);
  if (l1) CopyShort(out + l0, data[1], l1);
  if (l2) CopyShort(out + l0 + l1, data[2], l2);
  return result;
}

namespace rt::detail {
PyObject* UnicodeJoin3(PyObject* const parts[3], Py_ssize_t total, Py_UCS4 maxchar) noexcept {
  if (maxchar < 128) {
    bool done;
    PyObject* joined = JoinAscii3(parts, total, &done);
    if (done) return joined;
  }
  if (maxchar > 0x10FFFF) maxchar = 0x10FFFF;
  int shift = maxchar <= 255 ? 0 : (maxchar <= 0xFFFF ? 1 : 2);
  if ((PY_SSIZE_T_MAX >> shift) - total < 0) {
    RaiseTooLong();
    return nullptr;
  }
  Ref result = Ref::steal(PyUnicode_New(total, maxchar));
  if (!result) return nullptr;
  unsigned kind = PyUnicode_KIND(result.get());
  char* data = static_cast<char*>(PyUnicode_DATA(result.get()));
  Py_ssize_t position = 0;
  for (int i = 0; i < 3; ++i) {
    PyObject* part = parts[i];
    if (PyUnicode_READY(part) < 0) return nullptr;
    Py_ssize_t length = PyUnicode_GET_LENGTH(part);
    if (length == 0) continue;
    // Never write past the allocation, whatever length the caller claimed.
    if ((PY_SSIZE_T_MAX >> shift) - length < position || position + length > total) {
      RaiseTooLong();
      return nullptr;
    }
    if (PyUnicode_KIND(part) == kind) {
      std::memcpy(data + (position << shift), PyUnicode_DATA(part),
                  static_cast<size_t>(length) << shift);
    } else if (PyUnicode_CopyCharacters(result.get(), position, part, 0, length) < 0) {
      return nullptr;  // not on a new str of sufficient width
    }
    position += length;
  }
  return result.release();
}
}  // namespace rt::detail

namespace rt::detail {
PyObject* CallMethodKw(PyObject* name, PyObject* const* args, PyObject* kwnames) noexcept {
  // A plain function found on the type is called with the object as its
  // first argument, as the interpreter's method call does, so no bound
  // method is made; anything else is called with the keyword values alone.
  // The lookup is the interpreter's, so a missing method reads as before.
  Ref method;  // the lookup leaves it alone when nothing is found
  int unbound = Rt_LookupMethod(args[0], name, method.out());
  if (!method) return nullptr;
  PyObject* const* vector = unbound ? args : args + 1;
  size_t nargsf = unbound ? 1 : PY_VECTORCALL_ARGUMENTS_OFFSET;
  return PyObject_Vectorcall(method.get(), vector, nargsf, kwnames);
}
}  // namespace rt::detail

static const char kTwoDigits[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

namespace rt::detail {
PyObject* SsizeToUnicode(Py_ssize_t v) noexcept {
  char buffer[26];
  char* end = buffer + sizeof buffer;
  char* p = end;
  Py_ssize_t remaining = v;
  int last;
  do {
    Py_ssize_t r = remaining % 100;
    last = static_cast<int>(r < 0 ? -r : r);
    remaining /= 100;
    p -= 2;
    std::memcpy(p, kTwoDigits + 2 * last, 2);
  } while (remaining != 0);
  if (last < 10) ++p;
  if (v < 0) *--p = '-';
  Py_ssize_t length = end - p;
  if (length == 1) return PyUnicode_FromOrdinal(static_cast<unsigned char>(*p));
  Ref text = Ref::steal(PyUnicode_New(length, 127));
  if (text) std::memcpy(PyUnicode_1BYTE_DATA(text.get()), p, static_cast<size_t>(length));
  return text.release();
}
}  // namespace rt::detail
