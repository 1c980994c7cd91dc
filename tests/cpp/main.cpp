// The C++ tests run inside one embedded interpreter, with the runtime started
// the way an import starts it, on a module of the test table.
#include <Python.h>
#include <gtest/gtest.h>

#include "constants.h"
#include "runtime/module_descriptor.h"
#include "runtime/module_state.h"

namespace {

int EmptyBody(int* line) {
  *line = 1;
  return 0;
}

const int kProbeVarnames[] = {slot::kSelf, slot::kA, slot::kB};
const FunctionCodeInfo kFunctions[] = {
    {3, 3, 1, kProbeVarnames, 3, slot::kSourcePath, slot::kProbe}};

}  // namespace

const ModuleDescriptor kThisModule = {
    "_rt_embedded",
    "_rt_embedded",
    "init _rt_embedded",
    "tests/cpp/_rt_embedded.py",
    &kConstantTable,
    kFunctions,
    1,
    {slot::kDot, slot::kAsyncioCoroutines, slot::kIsCoroutine, slot::k__module__,
     slot::k__qualname__, slot::k__prepare__, slot::k__mro_entries__, slot::k__test__},
    EmptyBody,
};

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  Py_InitializeEx(0);
  PyObject* module = PyModule_New("_rt_embedded");
  if (!module || Rt_ModuleExec(module) < 0) {
    PyErr_Print();
    return 2;
  }
  Py_DECREF(module);
  int rc = RUN_ALL_TESTS();
  if (Py_FinalizeEx() < 0) rc = rc ? rc : 3;
  return rc;
}
