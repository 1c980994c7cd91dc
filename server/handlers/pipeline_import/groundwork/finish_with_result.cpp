// BasePipelineImportHandler._finish_with_result: answers the request with JSON.
//
//   26 def _finish_with_result(self, status_code, result: dict) -> None:
//   27     self.set_header(name="Content-Type", value="application/json")
//   28     self.set_header(name="Content-Length", value=f"{len(json_encode(result))}")
//   29     self.set_status(status_code=int(status_code))
//   30     self.finish(result)
#include <Python.h>

#include <cstring>

#include "constants.h"
#include "runtime/argparse.h"
#include "runtime/calls.h"
#include "runtime/globals.h"
#include "runtime/module_state.h"
#include "runtime/traceback.h"
#include "server/handlers/body_helpers.h"
#include "server/handlers/pipeline_import/groundwork/groundwork.h"

namespace {

constexpr char kFunctionName[] =
    GROUNDWORK_MODULE_NAME ".BasePipelineImportHandler._finish_with_result";

GlobalLookupCache g_json_site;  // line 28

// self.<method>(name=value, ...) with the names as a fresh tuple of constants.
// Consumes nothing; 0, or -1 with an exception set.
int CallWithKeywords(PyObject* self, int method_slot, PyObject* names, PyObject* v1,
                     PyObject* v2) noexcept {
  if (!names) return -1;
  PyObject* args[3] = {self, v1, v2};
  PyObject* result = Rt_CallMethodKw(Rt_Const(method_slot), args, names);
  Py_DECREF(names);
  if (!result) return -1;
  Py_DECREF(result);
  return 0;
}

int SetHeader(PyObject* self, PyObject* name, PyObject* value) noexcept {
  return CallWithKeywords(self, slot::kSetHeader,
                          PyTuple_Pack(2, Rt_Const(slot::kName), Rt_Const(slot::kValue)), name,
                          value);
}

// Occurrences of "</" in a str, -1 with an exception. The encoder's default
// output is ASCII, whose buffer is scanned as bytes.
Py_ssize_t CountCloseTags(PyObject* text) noexcept {
  if (!PyUnicode_IS_READY(text) || !PyUnicode_IS_ASCII(text)) {
    static PyObject* close_tag;  // lives with the module, like its constants
    if (!close_tag) close_tag = PyUnicode_InternFromString("</");
    return close_tag ? PyUnicode_Count(text, close_tag, 0, PY_SSIZE_T_MAX) : -1;
  }
  const char* at = static_cast<const char*>(PyUnicode_DATA(text));
  const char* end = at + PyUnicode_GET_LENGTH(text);
  Py_ssize_t count = 0;
  while (end - at >= 2) {
    at = static_cast<const char*>(std::memchr(at, '<', static_cast<size_t>(end - at - 1)));
    if (!at) break;
    if (at[1] == '/') {
      ++count;
      at += 2;
    } else {
      ++at;
    }
  }
  return count;
}

// The length of the body that finish(result) writes: json.dumps(result) with
// every "</" escaped as "<\/" (the framework's JSON encoder does so, and a
// declared length that falls short makes it drop the response).
PyObject* SerialisedLength(PyObject* result) noexcept {
  PyObject* json = Rt_GetModuleGlobal(Rt_Const(slot::kJson), &g_json_site);
  if (!json) return nullptr;
  PyObject* dumps = Rt_GetAttr(json, Rt_Const(slot::kDumps));
  Py_DECREF(json);
  if (!dumps) return nullptr;
  PyObject* text = Rt_CallOneArg(dumps, result);
  Py_DECREF(dumps);
  if (!text) return nullptr;
  Py_ssize_t length = PyObject_Size(text);
  Py_ssize_t escapes = 0;
  if (length != -1 && PyUnicode_Check(text)) {
    escapes = CountCloseTags(text);
    if (escapes == -1) length = -1;
  }
  Py_DECREF(text);
  if (length == -1) return nullptr;
  return Rt_SsizeToUnicode(length + escapes);
}

PyObject* FinishBody(PyObject* self, PyObject* status_code, PyObject* result) noexcept {
  int line = 27;
  if (SetHeader(self, Rt_Const(slot::kContentType), Rt_Const(slot::kApplicationJson)) < 0) goto error;

  line = 28;
  {
    PyObject* length = SerialisedLength(result);
    if (!length) goto error;
    int rc = SetHeader(self, Rt_Const(slot::kContentLength), length);
    Py_DECREF(length);
    if (rc < 0) goto error;
  }

  line = 29;
  {
    PyObject* status;
    if (PyLong_CheckExact(status_code)) {
      Py_INCREF(status_code);
      status = status_code;
    } else if (!(status = PyNumber_Long(status_code))) {
      goto error;
    }
    int rc = CallWithKeywords(self, slot::kSetStatus, PyTuple_Pack(1, Rt_Const(slot::kStatusCode)),
                              status, nullptr);
    Py_DECREF(status);
    if (rc < 0) goto error;
  }

  line = 30;
  {
    PyObject* done = Rt_CallMethodOneArg(self, Rt_Const(slot::kFinish), result);
    if (!done) goto error;
    Py_DECREF(done);
  }
  Py_RETURN_NONE;

error:
  Rt_AddTraceback(kFunctionName, line, GROUNDWORK_SOURCE_PATH);
  return nullptr;
}

PyObject** const kArgNames[] = {&g_constant_slots[slot::kSelf],
                                &g_constant_slots[slot::kStatusCode],
                                &g_constant_slots[slot::kResult], nullptr};
const ArgSignature kSignature = {"_finish_with_result", kArgNames, 3, "s"};

PyObject* FinishWrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
  PyObject* values[3] = {nullptr, nullptr, nullptr};
  PyObject* answer = nullptr;
  if (Rt_BindArguments(kSignature, args, nargs, kw, values) < 0) {
    Rt_AddTraceback(kFunctionName, 26, GROUNDWORK_SOURCE_PATH);
  } else if (Rt_ArgTypeTest(values[2], &PyDict_Type, "result", Rt_Const(slot::kSubclassNote))) {
    answer = FinishBody(values[0], values[1], values[2]);
  }
  for (PyObject* v : values) Py_XDECREF(v);
  return answer;
}

}  // namespace

PyMethodDef g_finish_with_result_def = {
    "_finish_with_result",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(FinishWrapper)),
    METH_FASTCALL | METH_KEYWORDS, nullptr};
