// The C++ tests run inside one embedded interpreter, with the runtime started
// the way an import starts it, on a module of the test table.
#include <Python.h>
#include <gtest/gtest.h>

#include "constants.h"
#include "runtime/module_descriptor.h"
#include "runtime/module_state.h"
#include "tests/testmod/test_descriptor.h"

namespace {

int EmptyBody(int* line) {
  *line = 1;
  return 0;
}

}  // namespace

const ModuleDescriptor kThisModule = RT_TEST_DESCRIPTOR("_rt_embedded", "tests/cpp/_rt_embedded.py", EmptyBody);

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
