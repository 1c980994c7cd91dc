// ServerAppInfoHandler._get_info: the server's facts plus the request's cookies.
//
//   26 def _get_info(self):
//   27     status_code = HTTPStatus.OK
//   29     try:
//   30         serverapp_info = JupyterServerAppInfo()
//   31         result: dict = serverapp_info.dict()
//   33         cookie = "; ".join([f"{item.key}={item.value}" for item in self.cookies.values()])
//   34         result["cookie"] = cookie
//   35     except Exception:
//   36         status_code = HTTPStatus.INTERNAL_SERVER_ERROR
//   37         result = {"message": "Failed to get information."}
//   39     return status_code, result
#include <Python.h>

#include "constants.h"
#include "runtime/argparse.h"
#include "runtime/calls.h"
#include "runtime/exceptions.h"
#include "runtime/globals.h"
#include "runtime/module_state.h"
#include "runtime/traceback.h"
#include "server/handlers/body_helpers.h"
#include "server/handlers/info/hostfacts/hostfacts.h"

namespace {

constexpr char kFunctionName[] = HOSTFACTS_MODULE_NAME ".ServerAppInfoHandler._get_info";

GlobalLookupCache g_status_ok_site;     // line 27
GlobalLookupCache g_app_info_site;      // line 30
GlobalLookupCache g_status_error_site;  // line 36

void AddTraceback(int line) noexcept { Rt_AddTraceback(kFunctionName, line, HOSTFACTS_SOURCE_PATH); }

// HTTPStatus.<member> through the given read site.
PyObject* StatusMember(GlobalLookupCache* site, int member_slot) noexcept {
  PyObject* cls = Rt_GetModuleGlobal(Rt_Const(slot::kHTTPStatus), site);
  if (!cls) return nullptr;
  PyObject* member = Rt_GetAttr(cls, Rt_Const(member_slot));
  Py_DECREF(cls);
  return member;
}

// f"{item.key}={item.value}"
PyObject* CookieField(PyObject* item) noexcept {
  PyObject* key = Rt_GetAttr(item, Rt_Const(slot::kKey));
  if (!key) return nullptr;
  PyObject* key_text = Rt_FormatSimple(key);
  Py_DECREF(key);
  if (!key_text) return nullptr;
  PyObject* value = Rt_GetAttr(item, Rt_Const(slot::kValue));
  PyObject* value_text = value ? Rt_FormatSimple(value) : nullptr;
  Py_XDECREF(value);
  if (!value_text) {
    Py_DECREF(key_text);
    return nullptr;
  }
  // A str made through the legacy API has no length or width until it is ready.
  if (PyUnicode_READY(key_text) < 0 || PyUnicode_READY(value_text) < 0) {
    Py_DECREF(key_text);
    Py_DECREF(value_text);
    return nullptr;
  }
  PyObject* equals = Rt_Const(slot::kEquals);
  PyObject* const parts[3] = {key_text, equals, value_text};
  PyObject* field = Rt_UnicodeJoin3(
      parts, PyUnicode_GET_LENGTH(key_text) + PyUnicode_GET_LENGTH(value_text) + 1,
      Rt_MaxCharOf(key_text) | Rt_MaxCharOf(value_text));
  Py_DECREF(key_text);
  Py_DECREF(value_text);
  return field;
}

// "; ".join([f"{item.key}={item.value}" for item in self.cookies.values()])
PyObject* CookieText(PyObject* self) noexcept {
  PyObject* fields = PyList_New(0);
  if (!fields) return nullptr;
  PyObject *source = nullptr, *item = nullptr, *text = nullptr;
  Py_ssize_t size, position = 0;
  bool is_dict;
  PyObject* cookies = Rt_GetAttr(self, Rt_Const(slot::kCookies));
  if (!cookies) goto done;
  if (cookies == Py_None) {
    PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "values");
    Py_DECREF(cookies);
    goto done;
  }
  source = Rt_DictValuesIterInit(cookies, Rt_Const(slot::kValues), &size, &is_dict);
  Py_DECREF(cookies);
  if (!source) goto done;
  for (;;) {
    PyObject* value;
    int more = Rt_DictValuesIterNext(source, size, &position, &value, is_dict);
    if (more < 0) goto done;
    if (!more) break;
    Py_XSETREF(item, value);
    PyObject* field = CookieField(item);
    if (!field) goto done;
    int rc = Rt_ListAppendFast(fields, field);
    Py_DECREF(field);
    if (rc < 0) goto done;
  }
  Py_CLEAR(source);
  Py_CLEAR(item);
  text = PyUnicode_Join(Rt_Const(slot::kCookieSeparator), fields);
done:
  Py_XDECREF(item);
  Py_XDECREF(source);
  Py_DECREF(fields);
  return text;
}

PyObject* GetInfoBody(PyObject* self) noexcept {
  PyThreadState* tstate = _PyThreadState_UncheckedGet();
  PyObject *serverapp_info = nullptr, *result = nullptr, *cookie = nullptr;
  PyObject *saved_type, *saved_value, *saved_tb;
  PyObject *caught_type = nullptr, *caught_value = nullptr, *caught_tb = nullptr;
  PyObject* answer = nullptr;
  int line = 27;

  PyObject* status_code = StatusMember(&g_status_ok_site, slot::kOK);
  if (!status_code) {
    AddTraceback(27);
    return nullptr;
  }

  Rt_ExceptionSaveInnermost(tstate, &saved_type, &saved_value, &saved_tb);
  {
    line = 30;
    PyObject* factory = Rt_GetModuleGlobal(Rt_Const(slot::kJupyterServerAppInfo), &g_app_info_site);
    if (!factory) goto except;
    serverapp_info = Rt_CallNoArgs(factory);
    Py_DECREF(factory);
    if (!serverapp_info) goto except;

    line = 31;
    PyObject* facts = Rt_CallMethodNoArgs(serverapp_info, Rt_Const(slot::kDictName));
    if (!facts) goto except;
    if (!PyDict_CheckExact(facts) && facts != Py_None) {
      PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(facts)->tp_name);
      Py_DECREF(facts);
      goto except;
    }
    result = facts;

    line = 33;
    cookie = CookieText(self);
    if (!cookie) goto except;

    line = 34;
    if (result == Py_None) {
      PyErr_SetString(PyExc_TypeError, "'NoneType' object is not subscriptable");
      goto except;
    }
    if (PyDict_SetItem(result, Rt_Const(slot::kCookie), cookie) < 0) goto except;
  }
  Py_XDECREF(saved_type);
  Py_XDECREF(saved_value);
  Py_XDECREF(saved_tb);
  goto answer;

except:
  if (!Rt_ExceptionMatchesCurrent(tstate, PyExc_Exception)) goto propagate;
  AddTraceback(line);
  if (Rt_GetException(tstate, &caught_type, &caught_value, &caught_tb) < 0) {
    line = 35;
    goto propagate;
  }
  {
    line = 36;
    PyObject* error_status = StatusMember(&g_status_error_site, slot::kINTERNAL_SERVER_ERROR);
    if (!error_status) goto propagate;
    Py_SETREF(status_code, error_status);

    line = 37;
    PyObject* message = PyDict_New();
    if (!message) goto propagate;
    if (PyDict_SetItem(message, Rt_Const(slot::kMessage), Rt_Const(slot::kFailedMessage)) < 0) {
      Py_DECREF(message);
      goto propagate;
    }
    Py_XSETREF(result, message);
  }
  Py_CLEAR(caught_type);
  Py_CLEAR(caught_value);
  Py_CLEAR(caught_tb);
  Rt_ExceptionReset(tstate, saved_type, saved_value, saved_tb);
  goto answer;

propagate:
  Rt_ExceptionReset(tstate, saved_type, saved_value, saved_tb);
  Py_XDECREF(caught_type);
  Py_XDECREF(caught_value);
  Py_XDECREF(caught_tb);
  AddTraceback(line);
  goto done;

answer:
  answer = PyTuple_New(2);
  if (answer) {
    Py_INCREF(status_code);
    Py_INCREF(result);
    PyTuple_SET_ITEM(answer, 0, status_code);
    PyTuple_SET_ITEM(answer, 1, result);
  } else {
    AddTraceback(39);
  }

done:
  Py_XDECREF(status_code);
  Py_XDECREF(serverapp_info);
  Py_XDECREF(result);
  Py_XDECREF(cookie);
  return answer;
}

PyObject** const kArgNames[] = {&g_constant_slots[slot::kSelf], nullptr};
const ArgSignature kSignature = {"_get_info", kArgNames, 1, ""};

PyObject* GetInfoWrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* values[1] = {nullptr};
  if (Rt_BindArguments(kSignature, args, nargs, kw, values) < 0) {
    Py_XDECREF(values[0]);
    AddTraceback(26);
    return nullptr;
  }
  PyObject* result = GetInfoBody(values[0]);
  Py_DECREF(values[0]);
  return result;
}

}  // namespace

PyMethodDef g_get_info_def = {"_get_info", reinterpret_cast<PyCFunction>(
                                               reinterpret_cast<void (*)(void)>(GetInfoWrapper)),
                              METH_FASTCALL | METH_KEYWORDS, nullptr};
