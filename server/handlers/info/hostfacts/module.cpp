// velmora.server.handlers.info.hostfacts: its start-up description and module body.
//
//   17 from http import HTTPStatus
//   18 from typing import Any, Dict, Tuple
//   20 from ...misc import JupyterServerAppInfo
//   21 from .groundwork import BaseInfoHandler
//   24 class ServerAppInfoHandler(BaseInfoHandler):
//   26     def _get_info(self) -> "Tuple[HTTPStatus, Dict[str, Any]]": ...
#include <Python.h>

#include "constants.h"
#include "hostfacts.h"
#include "runtime/class_construction.h"
#include "runtime/imports.h"
#include "runtime/module_definition.h"
#include "runtime/module_state.h"

namespace {

GlobalLookupCache g_base_info_handler_site;

int FillClass(PyObject* ns, int* line) noexcept {
  *line = 26;
  PyObject* const annotations[] = {Rt_Const(slot::kReturn), Rt_Const(slot::kReturnAnnotation)};
  return Rt_DefineMethod(
      ns, Rt_MethodStatement(&g_get_info_def, Rt_Const(slot::kGetInfo),
                             Rt_Const(slot::kGetInfoQualname), Rt_Const(slot::kModuleName),
                             Rt_CodeObject(0), annotations));
}

int Body(int* line) noexcept {
  PyObject* d = Rt_ModuleDict();
  *line = 17;
  PyObject* const http_names[] = {Rt_Const(slot::kHTTPStatus)};
  if (Rt_ImportNamesInto(d, Rt_Const(slot::kHttp), http_names, 0, Rt_Const(slot::kHttp)) < 0)
    return -1;
  *line = 18;
  PyObject* const typing_names[] = {Rt_Const(slot::kAny), Rt_Const(slot::kDict),
                                    Rt_Const(slot::kTuple)};
  if (Rt_ImportNamesInto(d, Rt_Const(slot::kTyping), typing_names, 0, Rt_Const(slot::kTyping)) < 0)
    return -1;
  *line = 20;
  PyObject* const misc_names[] = {Rt_Const(slot::kJupyterServerAppInfo)};
  if (Rt_ImportNamesInto(d, Rt_Const(slot::kMisc), misc_names, 3, Rt_Const(slot::kMiscModule)) < 0)
    return -1;
  *line = 21;
  PyObject* const groundwork_names[] = {Rt_Const(slot::kBaseInfoHandler)};
  if (Rt_ImportNamesInto(d, Rt_Const(slot::kGroundwork), groundwork_names, 1,
                         Rt_Const(slot::kInfoGroundworkModule)) < 0)
    return -1;
  ClassStatement cls = {Rt_Const(slot::kServerAppInfoHandler), Rt_Const(slot::kModuleName),
                        Rt_Const(slot::kBaseInfoHandler), &g_base_info_handler_site, 24};
  return Rt_DefineClass(cls, FillClass, line);
}

const int kGetInfoVarnames[] = {slot::kSelf,   slot::kStatusCode, slot::kServerappInfo,
                                slot::kResult, slot::kCookie,     slot::kItem};
const FunctionCodeInfo kFunctions[] = {Rt_FunctionCode(1, 26, kGetInfoVarnames, slot::kSourcePath,
                                                       slot::kGetInfo, slot::kGetInfoQualname)};

}  // namespace

const ModuleDescriptor kThisModule = {
    "hostfacts",
    text::kModuleName,
    text::kInitName,
    text::kSourcePath,
    &kConstantTable,
    kFunctions,
    Rt_FunctionCount(kFunctions),
    RT_RUNTIME_NAME_SLOTS,
    Body,
};

RT_DEFINE_MODULE(hostfacts)
