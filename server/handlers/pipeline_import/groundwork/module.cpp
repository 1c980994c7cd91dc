// velmora.server.handlers.pipeline_import.groundwork: its start-up description and module
// body, the statements of velmora/server/handlers/pipeline_import/groundwork.py outside the
// method.
#include <Python.h>

#include "constants.h"
#include "groundwork.h"
#include "runtime/class_construction.h"
#include "runtime/imports.h"
#include "runtime/module_definition.h"
#include "runtime/module_state.h"
#include "runtime/ref.h"

namespace {

GlobalLookupCache g_api_handler_site;

int FillClass(PyObject* ns, int* line) noexcept {
  *line = lines::kDef;
  PyObject* const annotations[] = {Rt_Const(slot::kStatusCode), Rt_Const(slot::kHTTPStatus),
                                   Rt_Const(slot::kResult),     Rt_Const(slot::kResultAnnotation),
                                   Rt_Const(slot::kReturn),     Rt_Const(slot::kNone)};
  return Rt_DefineMethod(
      ns, Rt_MethodStatement(&g_finish_with_result_def, Rt_Const(slot::kFinishWithResult),
                             Rt_Const(slot::kFinishQualname), Rt_Const(slot::kModuleName),
                             Rt_CodeObject(0), annotations));
}

int Body(int* line) noexcept {
  PyObject* d = Rt_ModuleDict();
  *line = lines::kImportJson;
  rt::Ref json = Rt_ImportModule(Rt_Const(slot::kJson), nullptr, 0, d, 0, Rt_Const(slot::kJson));
  if (!json || PyDict_SetItem(d, Rt_Const(slot::kJson), json.get()) < 0) return -1;
  json.reset();
  *line = lines::kImportHttp;
  PyObject* const http_names[] = {Rt_Const(slot::kHTTPStatus)};
  if (Rt_ImportNamesInto(d, Rt_Const(slot::kHttp), http_names, 0, Rt_Const(slot::kHttp)) < 0)
    return -1;
  *line = lines::kImportTyping;
  PyObject* const typing_names[] = {Rt_Const(slot::kAny), Rt_Const(slot::kDict)};
  if (Rt_ImportNamesInto(d, Rt_Const(slot::kTyping), typing_names, 0, Rt_Const(slot::kTyping)) < 0)
    return -1;
  *line = lines::kImportApiHandler;
  PyObject* const handler_names[] = {Rt_Const(slot::kAPIHandler)};
  if (Rt_ImportNamesInto(d, Rt_Const(slot::kHandlersModule), handler_names, 0,
                         Rt_Const(slot::kHandlersModule)) < 0)
    return -1;
  ClassStatement cls = {Rt_Const(slot::kBasePipelineImportHandler), Rt_Const(slot::kModuleName),
                        Rt_Const(slot::kAPIHandler), &g_api_handler_site, lines::kClass};
  return Rt_DefineClass(cls, FillClass, line);
}

const int kFinishVarnames[] = {slot::kSelf, slot::kStatusCode, slot::kResult};
const FunctionCodeInfo kFunctions[] = {Rt_FunctionCode(3, lines::kDef, kFinishVarnames,
                                                       slot::kSourcePath, slot::kFinishWithResult,
                                                       slot::kFinishQualname)};

}  // namespace

const ModuleDescriptor kThisModule = {
    "groundwork",
    text::kModuleName,
    text::kInitName,
    text::kSourcePath,
    &kConstantTable,
    kFunctions,
    Rt_FunctionCount(kFunctions),
    RT_RUNTIME_NAME_SLOTS,
    Body,
};

RT_DEFINE_MODULE(groundwork)
