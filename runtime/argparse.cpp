// Argument binding for the methods' wrappers: positional by copying pointers,
// keywords by identity first, then by value, with the interpreter's messages.
#include "runtime/argparse.h"

#include <cassert>
#include <cstring>

#include "runtime/ascii_message.h"
#include "runtime/exceptions.h"
#include "runtime/internals.h"
#include "runtime/ref.h"

// The texts are those of "%.200s() takes %.8s %zd positional argument%.1s
// (%zd given)", "%s() got an unexpected keyword argument '%U'", "%s() got
// multiple values for keyword argument '%U'" and "%.200s() keywords must be
// strings", written without the format parser.
void Rt_RaiseArgCountError(const ArgSignature& sig, Py_ssize_t given) noexcept {
  AsciiMessage()
      .Text(sig.function_name, 200)
      .Literal("() takes ")
      .Literal("exactly")  // "%.8s" of a 7-byte word
      .Literal(" ")
      .Number(sig.count)
      .Literal(" positional argument")
      .Text(sig.plural, 1)
      .Literal(" (")
      .Number(given)
      .Literal(" given)")
      .Raise(PyExc_TypeError);
}

static void RaiseUnexpected(const char* function_name, PyObject* key) noexcept {
  AsciiMessage()
      .Text(function_name)
      .Literal("() got an unexpected keyword argument '")
      .Raise(PyExc_TypeError, key, "'");
}

static void RaiseMultipleValues(const char* function_name, PyObject* key) noexcept {
  AsciiMessage()
      .Text(function_name)
      .Literal("() got multiple values for keyword argument '")
      .Raise(PyExc_TypeError, key, "'");
}

static void RaiseNotStrings(const char* function_name) noexcept {
  AsciiMessage()
      .Text(function_name, 200)
      .Literal("() keywords must be strings")
      .Raise(PyExc_TypeError);
}

static bool SameText(PyObject* name, PyObject* key, Py_hash_t key_hash) noexcept {
  if (PyObject_Hash(name) != key_hash) return false;
  Py_ssize_t length = PyUnicode_GET_LENGTH(name);
  if (length != PyUnicode_GET_LENGTH(key) || PyUnicode_KIND(name) != PyUnicode_KIND(key))
    return false;
  return std::memcmp(PyUnicode_DATA(name), PyUnicode_DATA(key),
                     static_cast<size_t>(length) * PyUnicode_KIND(key)) == 0;
}

int Rt_MatchKeywordByValue(PyObject* key, ArgNameTable names, ArgNameTable first_keyword,
                           Py_ssize_t* index, const char* function_name) noexcept {
  Py_hash_t hash = PyObject_Hash(key);
  if (hash == -1 || PyUnicode_READY(key) < 0) return -1;
  for (ArgNameTable name = first_keyword; *name; ++name) {
    if (SameText(**name, key, hash)) {
      *index = name - names;
      return 1;
    }
  }
  for (ArgNameTable name = names; name != first_keyword; ++name) {
    if (SameText(**name, key, hash)) {
      RaiseMultipleValues(function_name, key);
      return -1;
    }
  }
  return 0;
}

// Finds the parameter a keyword names: 0 with *index, or -1 with an exception
// set (the unexpected/multiple/strings error, or one a comparison raised).
static int ClassifyKeyword(PyObject* key, ArgNameTable names, ArgNameTable first_keyword,
                           Py_ssize_t* index, const char* function_name) noexcept {
  for (ArgNameTable name = first_keyword; *name; ++name) {
    if (**name == key) {
      *index = name - names;
      return 0;
    }
  }
  if (PyUnicode_CheckExact(key)) {
    int found = Rt_MatchKeywordByValue(key, names, first_keyword, index, function_name);
    if (found == 0) RaiseUnexpected(function_name, key);
    return found == 1 ? 0 : -1;
  }
  if (!PyUnicode_Check(key)) {
    RaiseNotStrings(function_name);
    return -1;
  }
  for (ArgNameTable name = first_keyword; *name; ++name) {
    int eq = PyObject_RichCompareBool(**name, key, Py_EQ);
    if (eq < 0) return -1;
    if (eq) {
      *index = name - names;
      return 0;
    }
  }
  for (ArgNameTable name = names; name != first_keyword; ++name) {
    int eq = PyObject_RichCompareBool(**name, key, Py_EQ);
    if (eq < 0) return -1;
    if (eq) {
      RaiseMultipleValues(function_name, key);
      return -1;
    }
  }
  RaiseUnexpected(function_name, key);
  return -1;
}

int Rt_ParseKeywordsFromTuple(PyObject* kwnames, PyObject* const* kwvalues, ArgNameTable names,
                              PyObject** values, Py_ssize_t nargs, Py_ssize_t kwcount,
                              const char* function_name) noexcept {
  ArgNameTable first_keyword = names + nargs;
  for (Py_ssize_t i = 0; i < kwcount; ++i) {
    Py_ssize_t index;
    if (ClassifyKeyword(PyTuple_GET_ITEM(kwnames, i), names, first_keyword, &index, function_name) <
        0)
      return -1;
    // A names tuple that repeats a name binds the last value, as the
    // interpreter's own functions do not allow; refuse it the same way.
    if (values[index]) {
      RaiseMultipleValues(function_name, PyTuple_GET_ITEM(kwnames, i));
      return -1;
    }
    values[index] = rt::NewRef(kwvalues[i]);
  }
  return 0;
}

void Rt_ReportBadKeywords(PyObject* kwargs, ArgNameTable names, ArgNameTable first_keyword,
                          const char* function_name) noexcept {
  Py_ssize_t pos = 0, index;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    // Held: a comparison may run Python code that changes the dict.
    rt::Ref held = rt::Ref::borrow(key);
    if (ClassifyKeyword(held.get(), names, first_keyword, &index, function_name) < 0) return;
  }
}

// After a report walk that found every key acceptable by comparison: names the
// first key that the dict lookup could not have bound (its hash matches no
// unfilled name), so that the call never fails without an exception.
static void RaiseFirstUnboundKeyword(PyObject* kwargs, ArgNameTable first_keyword,
                                     const char* function_name) noexcept {
  Py_ssize_t pos = 0;
  PyObject *key, *value, *first = nullptr;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    if (!first) first = key;
    Py_hash_t hash = PyObject_Hash(key);
    if (hash == -1) return;
    bool bound = false;
    for (ArgNameTable name = first_keyword; *name && !bound; ++name) {
      if (PyObject_Hash(**name) != hash) continue;
      int eq = PyObject_RichCompareBool(**name, key, Py_EQ);
      if (eq < 0) return;
      bound = eq;
    }
    if (!bound) {
      RaiseUnexpected(function_name, key);
      return;
    }
  }
  if (first) RaiseUnexpected(function_name, first);
}

int Rt_ParseKeywordsFromDict(PyObject* kwargs, ArgNameTable names, PyObject** values,
                             Py_ssize_t nargs, Py_ssize_t kwcount,
                             const char* function_name) noexcept {
  if (!PyArg_ValidateKeywordArguments(kwargs)) return -1;
  ArgNameTable first_keyword = names + nargs;
  if (!*first_keyword) {
    Rt_ReportBadKeywords(kwargs, names, first_keyword, function_name);
    return -1;
  }
  Py_ssize_t bound = 0;
  for (ArgNameTable name = first_keyword; *name && bound < kwcount; ++name) {
    PyObject* value = PyDict_GetItemWithError(kwargs, **name);  // borrowed
    if (value) {
      values[name - names] = rt::NewRef(value);
      ++bound;
    } else if (PyErr_Occurred()) {
      return -1;
    }
  }
  if (bound < kwcount) {
    Rt_ReportBadKeywords(kwargs, names, first_keyword, function_name);
    if (!PyErr_Occurred()) RaiseFirstUnboundKeyword(kwargs, first_keyword, function_name);
    return -1;
  }
  return 0;
}

int Rt_BindArguments(const ArgSignature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kw,
                     PyObject** values) noexcept {
  Py_ssize_t kwcount = 0;
  bool names_tuple = false;
  if (kw) {
    names_tuple = PyType_HasFeature(Py_TYPE(kw), Py_TPFLAGS_TUPLE_SUBCLASS);
    kwcount = names_tuple ? PyTuple_GET_SIZE(kw) : PyDict_GET_SIZE(kw);
  }
  if (kwcount == 0) {
    if (nargs != sig.count) {
      Rt_RaiseArgCountError(sig, nargs);
      return -1;
    }
  } else if (nargs > sig.count) {
    Rt_RaiseArgCountError(sig, nargs);
    return -1;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = rt::NewRef(args[i]);
  if (kwcount == 0) return 0;
#ifndef NDEBUG
  // Keywords are matched by identity, then by the names' cached hashes.
  for (ArgNameTable name = sig.names; *name; ++name) assert(rt::internals::IsInternedName(**name));
#endif
  int rc = names_tuple
               ? Rt_ParseKeywordsFromTuple(kw, args + nargs, sig.names, values, nargs, kwcount,
                                           sig.function_name)
               : Rt_ParseKeywordsFromDict(kw, sig.names, values, nargs, kwcount, sig.function_name);
  if (rc < 0) return -1;
  for (Py_ssize_t i = nargs; i < sig.count; ++i) {
    if (!values[i]) {
      Rt_RaiseArgCountError(sig, i);
      return -1;
    }
  }
  return 0;
}

int Rt_ArgTypeTest(PyObject* obj, PyTypeObject* expected, const char* name,
                   PyObject* note) noexcept {
  if (!expected) {
    PyErr_SetString(PyExc_SystemError, "Missing type object");
    return -1;
  }
  PyTypeObject* type = Py_TYPE(obj);
  if (type == expected) return 0;
  bool subclass = Rt_IsSubtype(type, expected);
  rt::Ref empty = rt::Ref::steal(PyUnicode_FromStringAndSize("", 0));
  if (!empty) return -1;
  PyErr_Format(
      PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U",
      name, expected->tp_name, type->tp_name, subclass ? ". " : "", subclass ? note : empty.get());
  return -1;
}
