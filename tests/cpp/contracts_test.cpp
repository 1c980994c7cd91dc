// What the runtime's routines assume of their callers, asserted in debug
// builds: each routine called against its contract stops the process.
#include <Python.h>
#include <gtest/gtest.h>

#include "runtime/calls.h"
#include "runtime/class_construction.h"
#include "runtime/globals.h"
#include "runtime/traceback.h"

namespace {

void SetPending() { PyErr_SetString(PyExc_ValueError, "pending"); }

// A str that is neither interned nor hashed, as no module constant is.
PyObject* LooseName() { return PyUnicode_FromFormat("loose-%d", 7); }

PyObject* Callable() { return reinterpret_cast<PyObject*>(&PyBaseObject_Type); }

struct Contract {
  const char* name;
  void (*breach)();
  const char* message;  // what the failed assertion prints
};

const Contract kContracts[] = {
    {"TracebackEntryWithoutAnException",
     [] {
       PyErr_Clear();
       Rt_AddTraceback("f", 3, "pkg/f.py");
     },
     "an entry is added to the exception being propagated"},
    {"DispatchWithAnExceptionPending",
     [] {
       SetPending();
       (void)Rt_FastCall(Callable(), nullptr, 0, nullptr);
     },
     "a call is made with no exception pending"},
    {"TupleCallWithAnExceptionPending",
     [] {
       SetPending();
       (void)Rt_Call(Callable(), PyTuple_New(0), nullptr);
     },
     "a call is made with no exception pending"},
    {"GlobalReadWithAnExceptionPending",
     [] {
       PyObject* name = PyUnicode_InternFromString("contract_global");
       (void)PyObject_Hash(name);
       GlobalLookupCache cache{0, nullptr};
       SetPending();
       (void)Rt_GetModuleGlobal(name, &cache);
     },
     "a global is read with no exception pending"},
    {"GlobalReadOfALooseName",
     [] {
       GlobalLookupCache cache{0, nullptr};
       (void)Rt_GetModuleGlobal(LooseName(), &cache);
     },
     "IsInternedName"},
    {"NamespaceStoreOfALooseName",
     [] { (void)Rt_SetNamespaceItem(PyDict_New(), LooseName(), Py_None); }, "IsInternedName"},
};

class ContractDeathTest : public testing::TestWithParam<Contract> {};

TEST_P(ContractDeathTest, BreachStopsTheProcess) {
#ifdef NDEBUG
  GTEST_SKIP() << "contracts are asserted in debug builds only";
#else
  testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH(GetParam().breach(), GetParam().message);
#endif
}

INSTANTIATE_TEST_SUITE_P(Runtime, ContractDeathTest, testing::ValuesIn(kContracts),
                         [](const testing::TestParamInfo<Contract>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
