// The C++ tests run inside one embedded interpreter, with the runtime started
// the way an import starts it, on a module of the test table.
#include <Python.h>
#include <gtest/gtest.h>

#include "constants.h"
#include "runtime/module_descriptor.h"
#include "runtime/module_state.h"
#include "tests/testmod/test_descriptor.h"

const ModuleDescriptor kThisModule =
    RT_TEST_DESCRIPTOR("_rt_embedded", "tests/cpp/_rt_embedded.py", EmptyModuleBody);

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (StartEmbeddedRuntime("_rt_embedded") < 0) return 2;
  int rc = RUN_ALL_TESTS();
  if (Py_FinalizeEx() < 0) rc = rc ? rc : 3;
  return rc;
}
