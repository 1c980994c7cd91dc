// BasePipelineImportHandler._finish_with_result: answers the request with JSON.
// Its Python is velmora/server/handlers/pipeline_import/groundwork.py; lines::k* are
// the lines of its statements there, read by the build. Before the body runs,
// `result` must be exactly a dict (its annotation is enforced).
#include <Python.h>

#include <cstring>

#include "constants.h"
#include "groundwork.h"
#include "runtime/argparse.h"
#include "runtime/body_helpers.h"
#include "runtime/calls.h"
#include "runtime/globals.h"
#include "runtime/module_state.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace {

using rt::Ref;

GlobalLookupCache g_json_site;

// The keyword names of each call site, made on the first call and kept, as
// the interpreter keeps them among a function's constants: a tuple per call
// was a third of the allocations of an answer. Owned; they live with the
// module, like its constants.
PyObject* g_header_keywords;  // ("name", "value")
PyObject* g_status_keywords;  // ("status_code",)

// The tuple at `kept`, made from `names` if it is not yet; borrowed, or null
// with an exception set.
template <size_t N>
PyObject* KeywordNames(PyObject** kept, PyObject* const (&names)[N]) noexcept {
  if (!*kept) *kept = rt::TupleOf(names).release();
  return *kept;
}

// self.<method>(name=value, ...) with `names` (null: its tuple could not be
// made) as the keyword names. 0, or -1 with an exception set.
int CallWithKeywords(PyObject* self, int method_slot, PyObject* names, PyObject* v1,
                     PyObject* v2) noexcept {
  if (!names) return -1;
  PyObject* args[3] = {self, v1, v2};
  Ref result = Rt_CallMethodKw(Rt_Const(method_slot), args, names);
  return result ? 0 : -1;
}

// self.set_header(name=<name>, value=<value>)
int SetHeader(PyObject* self, PyObject* name, PyObject* value) noexcept {
  PyObject* names =
      KeywordNames(&g_header_keywords, {Rt_Const(slot::kName), Rt_Const(slot::kValue)});
  return CallWithKeywords(self, slot::kSetHeader, names, name, value);
}

// Occurrences of "</" in a str, -1 with an exception. The encoder's default
// output is ASCII, whose buffer is scanned as bytes.
Py_ssize_t CountCloseTags(PyObject* text) noexcept {
  if (!PyUnicode_IS_READY(text) || !PyUnicode_IS_ASCII(text)) {
    static PyObject* close_tag;  // owned; lives with the module, like its constants
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
// every "</" escaped as "<\\/" (the framework's JSON encoder does so, and a
// declared length that falls short makes it drop the response).
Ref SerialisedLength(PyObject* result) noexcept {
  Ref text = [result] {
    Ref json = Rt_GetModuleGlobal(Rt_Const(slot::kJson), &g_json_site);
    if (!json) return Ref();
    Ref dumps = Rt_GetAttr(json.get(), Rt_Const(slot::kDumps));
    json.reset();
    if (!dumps) return Ref();
    return Rt_CallOneArg(dumps.get(), result);
  }();
  if (!text) return Ref();
  Py_ssize_t length = PyObject_Size(text.get());
  Py_ssize_t escapes = 0;
  if (length != -1 && PyUnicode_Check(text.get())) {
    escapes = CountCloseTags(text.get());
    if (escapes == -1) length = -1;
  }
  text.reset();
  if (length == -1) return Ref();
  return Rt_SsizeToUnicode(length + escapes);
}

// The method's statements. 0, or -1 with an exception set and *line
// the failing statement's line.
int FinishStatements(PyObject* self, PyObject* status_code, PyObject* result, int* line) noexcept {
  *line = lines::kContentType;
  if (SetHeader(self, Rt_Const(slot::kContentType), Rt_Const(slot::kApplicationJson)) < 0)
    return -1;

  *line = lines::kContentLength;
  Ref length = SerialisedLength(result);
  if (!length || SetHeader(self, Rt_Const(slot::kContentLength), length.get()) < 0) return -1;
  length.reset();

  *line = lines::kSetStatus;
  Ref status = PyLong_CheckExact(status_code) ? Ref::borrow(status_code)
                                              : Ref::steal(PyNumber_Long(status_code));
  if (!status || CallWithKeywords(self, slot::kSetStatus,
                                  KeywordNames(&g_status_keywords, {Rt_Const(slot::kStatusCode)}),
                                  status.get(), nullptr) < 0)
    return -1;
  status.reset();

  *line = lines::kFinish;
  Ref done = Rt_CallMethodOneArg(self, Rt_Const(slot::kFinish), result);
  return done ? 0 : -1;
}

void AddTraceback(int line) noexcept {
  Rt_AddTraceback(text::kFinishQualname, line, text::kSourcePath);
}

PyObject** const kArgNames[] = {&g_constant_slots[slot::kSelf],
                                &g_constant_slots[slot::kStatusCode],
                                &g_constant_slots[slot::kResult], nullptr};
const ArgSignature kSignature = {"_finish_with_result", kArgNames, 3, "s"};

PyObject* FinishWrapper(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) noexcept {
  rt::BoundArguments<3> bound;
  if (Rt_BindArguments(kSignature, args, nargs, kw, bound.values) < 0) {
    AddTraceback(lines::kDef);
    return nullptr;
  }
  PyObject** v = bound.values;
  // A refused argument type fails the call before its body, with no entry.
  if (Rt_ArgTypeTest(v[2], &PyDict_Type, "result", Rt_Const(slot::kSubclassNote)) < 0)
    return nullptr;
  int line;
  if (FinishStatements(v[0], v[1], v[2], &line) < 0) {
    AddTraceback(line);
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace

PyMethodDef g_finish_with_result_def = {
    "_finish_with_result",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(FinishWrapper)),
    METH_FASTCALL | METH_KEYWORDS, nullptr};
