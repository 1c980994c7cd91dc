// ServerAppInfoHandler._get_info: the server's facts plus the request's cookies.
// Its Python is velmora/server/handlers/info/hostfacts.py; lines::k* are the
// lines of its statements there, read by the build.
#include <Python.h>

#include "constants.h"
#include "hostfacts.h"
#include "runtime/argparse.h"
#include "runtime/body_helpers.h"
#include "runtime/calls.h"
#include "runtime/exceptions.h"
#include "runtime/globals.h"
#include "runtime/module_state.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace {

using rt::Ref;

GlobalLookupCache g_status_ok_site;
GlobalLookupCache g_app_info_site;
GlobalLookupCache g_status_error_site;
AttributeReadCache g_ok_read;
AttributeReadCache g_error_read;
AttributeReadCache g_cookies_read;
AttributeReadCache g_key_read;
AttributeReadCache g_value_read;

void AddTraceback(int line) noexcept {
  Rt_AddTraceback(text::kGetInfoQualname, line, text::kSourcePath);
}

// HTTPStatus.<member> through the given read sites.
Ref StatusMember(GlobalLookupCache* site, int member_slot, AttributeReadCache* read) noexcept {
  Ref cls = Rt_GetModuleGlobal(Rt_Const(slot::kHTTPStatus), site);
  if (!cls) return cls;
  return Rt_GetAttrCached(cls.get(), Rt_Const(member_slot), read);
}

// f"{item.<name>}": the attribute's text, the attribute released once formatted.
Ref FormattedAttribute(PyObject* item, int name_slot, AttributeReadCache* read) noexcept {
  Ref attribute = Rt_GetAttrCached(item, Rt_Const(name_slot), read);
  if (!attribute) return attribute;
  return Rt_FormatSimple(attribute.get());
}

// f"{item.key}={item.value}"
Ref CookieField(PyObject* item) noexcept {
  Ref key_text = FormattedAttribute(item, slot::kKey, &g_key_read);
  if (!key_text) return Ref();
  Ref value_text = FormattedAttribute(item, slot::kValue, &g_value_read);
  if (!value_text) return Ref();
  // A str made through the legacy API has no length or width until it is ready.
  if (PyUnicode_READY(key_text.get()) < 0 || PyUnicode_READY(value_text.get()) < 0) return Ref();
  PyObject* const parts[3] = {key_text.get(), Rt_Const(slot::kEquals), value_text.get()};
  return Rt_UnicodeJoin3(
      parts, PyUnicode_GET_LENGTH(key_text.get()) + PyUnicode_GET_LENGTH(value_text.get()) + 1,
      Rt_MaxCharOf(key_text.get()) | Rt_MaxCharOf(value_text.get()));
}

// The comprehension's list as "; ".join reads it. The join answers the empty
// str for no item and the item itself for one exact str, so the list is
// made only for a second field: most requests carry one cookie or none.
class CookieFields {
 public:
  // 0, or -1 with an exception set.
  int Add(Ref field) noexcept {
    if (list_) return Rt_ListAppendFast(list_.get(), field.get());
    if (!only_) {
      only_ = std::move(field);
      return 0;
    }
    // Grown by appends, as the comprehension grows its list: a list made
    // exactly two long is resized at once by the third.
    list_ = Ref::steal(PyList_New(0));
    if (!list_ || Rt_ListAppendFast(list_.get(), only_.get()) < 0) return -1;
    only_.reset();
    return Rt_ListAppendFast(list_.get(), field.get());
  }
  Ref Join() noexcept {
    if (list_) return Ref::steal(PyUnicode_Join(Rt_Const(slot::kCookieSeparator), list_.get()));
    if (only_) return std::move(only_);
    return Ref::borrow(Rt_EmptyUnicode());
  }

 private:
  Ref only_;  // the one field so far
  Ref list_;  // every field, from the second on
};

// "; ".join([f"{item.key}={item.value}" for item in self.cookies.values()])
Ref CookieText(PyObject* self) noexcept {
  Py_ssize_t size, position = 0;
  bool is_dict;
  Ref source = [self, &size, &is_dict] {
    Ref cookies = Rt_GetAttrCached(self, Rt_Const(slot::kCookies), &g_cookies_read);
    if (!cookies) return Ref();
    if (cookies.get() == Py_None) {
      PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "values");
      return Ref();
    }
    return Rt_DictValuesIterInit(cookies.get(), Rt_Const(slot::kValues), &size, &is_dict);
  }();
  if (!source) return Ref();
  Py_ssize_t left = size;
  CookieFields fields;
  Ref item;  // the comprehension's variable: it holds the last value until the loop ends
  for (;;) {
    // The next value replaces the variable's, which is released after.
    int more = Rt_DictValuesIterNext(source.get(), size, &position, &left, &item, is_dict);
    if (more < 0) return Ref();
    if (!more) break;
    Ref field = CookieField(item.get());
    if (!field || fields.Add(std::move(field)) < 0) return Ref();
  }
  // The iterator goes before the variable, as at the end of the comprehension.
  source.reset();
  item.reset();
  return fields.Join();
}

// The method's local variables; they go when the call ends, in the order of
// the code object's variable names, as the interpreter clears a frame.
struct Locals {
  Ref status_code, serverapp_info, result, cookie;
  ~Locals() {
    status_code.reset();
    serverapp_info.reset();
    result.reset();
    cookie.reset();
  }
};

// The body of the try statement. 0, or -1 with an exception set
// and *line the failing statement's line.
int TryBody(PyObject* self, Locals* v, int* line) noexcept {
  *line = lines::kFacts;
  Ref factory = Rt_GetModuleGlobal(Rt_Const(slot::kJupyterServerAppInfo), &g_app_info_site);
  if (!factory) return -1;
  v->serverapp_info = Rt_CallNoArgs(factory.get());
  factory.reset();
  if (!v->serverapp_info) return -1;

  *line = lines::kFactsDict;
  Ref facts = Rt_CallMethodNoArgs(v->serverapp_info.get(), Rt_Const(slot::kDictName));
  if (!facts) return -1;
  if (!PyDict_CheckExact(facts.get()) && facts.get() != Py_None) {
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(facts.get())->tp_name);
    return -1;
  }
  v->result = std::move(facts);

  *line = lines::kCookieText;
  v->cookie = CookieText(self);
  if (!v->cookie) return -1;

  *line = lines::kStoreCookie;
  if (v->result.get() == Py_None) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
    return -1;
  }
  return PyDict_SetItem(v->result.get(), Rt_Const(slot::kCookie), v->cookie.get());
}

// The except clause, entered with the guarded block's exception raised.
// 0 when it was caught and handled; -1 with an exception set and *line.
int ExceptClause(PyThreadState* tstate, Locals* v, int* line) noexcept {
  if (!Rt_ExceptionMatchesCurrent(tstate, PyExc_Exception)) return -1;
  // The entry of the failing statement, recorded before the handler runs.
  AddTraceback(*line);
  rt::ExceptionState caught;
  if (Rt_GetException(tstate, &caught) < 0) {
    *line = lines::kExcept;
    return -1;
  }
  *line = lines::kStatusError;
  Ref error_status =
      StatusMember(&g_status_error_site, slot::kINTERNAL_SERVER_ERROR, &g_error_read);
  if (!error_status) return -1;
  v->status_code = std::move(error_status);

  *line = lines::kFailedResult;
  Ref message = Ref::steal(PyDict_New());
  if (!message ||
      PyDict_SetItem(message.get(), Rt_Const(slot::kMessage), Rt_Const(slot::kFailedMessage)) < 0)
    return -1;
  v->result = std::move(message);
  return 0;
}

// The try statement, with the handled exception put back however the statement ends.
int TryStatement(PyObject* self, Locals* v, int* line) noexcept {
  PyThreadState* tstate = PyThreadState_GetUnchecked();
  rt::HandledExceptionScope scope(tstate);
  if (TryBody(self, v, line) == 0) return 0;
  return ExceptClause(tstate, v, line);
}

PyObject* GetInfoBody(PyObject* self) noexcept {
  Locals v;
  v.status_code = StatusMember(&g_status_ok_site, slot::kOK, &g_ok_read);
  if (!v.status_code) {
    AddTraceback(lines::kStatusOk);
    return nullptr;
  }
  int line;
  if (TryStatement(self, &v, &line) < 0) {
    AddTraceback(line);
    return nullptr;
  }
  Ref answer = rt::TupleOf({v.status_code.get(), v.result.get()});
  if (!answer) AddTraceback(lines::kReturn);
  return answer.release();
}

PyObject** const kArgNames[] = {&g_constant_slots[slot::kSelf], nullptr};
const ArgSignature kSignature = {"_get_info", kArgNames, 1, ""};

PyObject* GetInfoWrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kw) noexcept {
  rt::BoundArguments<1> bound;
  if (Rt_BindArguments(kSignature, args, nargs, kw, bound.values) < 0) {
    bound.Clear();
    AddTraceback(lines::kDef);
    return nullptr;
  }
  return GetInfoBody(bound.values[0]);
}

}  // namespace

PyMethodDef g_get_info_def = {
    "_get_info", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(GetInfoWrapper)),
    METH_FASTCALL | METH_KEYWORDS, nullptr};
