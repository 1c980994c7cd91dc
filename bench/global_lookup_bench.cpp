// Cost of one read of a module global: through a GlobalLookupCache, against
// the dict lookups it replaces, and of a name that lives in builtins.
#include <Python.h>
#include <benchmark/benchmark.h>

#include "constants.h"
#include "runtime/globals.h"
#include "runtime/module_descriptor.h"
#include "runtime/module_state.h"
#include "tests/testmod/test_descriptor.h"

namespace {

// Interned with the hash cached, as module code's names are.
PyObject* Name(const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);
  PyObject_Hash(name);
  return name;
}

PyObject* g_value_name;    // a global of the module
PyObject* g_builtin_name;  // only in builtins

// Every read hands out a new reference, as module code needs one; the plain
// dict reads take and drop one too, so all variants do the same work around
// the lookup itself.
void CachedGlobal(benchmark::State& state) {
  static GlobalLookupCache cache;
  for (auto _ : state) {
    rt::Ref v = Rt_GetModuleGlobal(g_value_name, &cache);
    benchmark::DoNotOptimize(v.get());
  }
}

void CachedGlobalMissEveryTime(benchmark::State& state) {
  static GlobalLookupCache cache;
  for (auto _ : state) {
    cache.version = 0;  // as after any store into the module dict
    rt::Ref v = Rt_GetModuleGlobal(g_value_name, &cache);
    benchmark::DoNotOptimize(v.get());
  }
}

void DictGetItem(benchmark::State& state) {
  PyObject* d = g_state.module_dict;
  for (auto _ : state) {
    PyObject* v = PyDict_GetItem(d, g_value_name);
    Py_INCREF(v);
    benchmark::DoNotOptimize(v);
    Py_DECREF(v);
  }
}

void DictGetItemWithError(benchmark::State& state) {
  PyObject* d = g_state.module_dict;
  for (auto _ : state) {
    PyObject* v = PyDict_GetItemWithError(d, g_value_name);
    Py_INCREF(v);
    benchmark::DoNotOptimize(v);
    Py_DECREF(v);
  }
}

void BuiltinThroughCache(benchmark::State& state) {
  static GlobalLookupCache cache;
  for (auto _ : state) {
    rt::Ref v = Rt_GetModuleGlobal(g_builtin_name, &cache);
    benchmark::DoNotOptimize(v.get());
  }
}

BENCHMARK(CachedGlobal);
BENCHMARK(CachedGlobalMissEveryTime);
BENCHMARK(DictGetItem);
BENCHMARK(DictGetItemWithError);
BENCHMARK(BuiltinThroughCache);

}  // namespace

const ModuleDescriptor kThisModule =
    RT_TEST_DESCRIPTOR("_rt_bench", "bench/_rt_bench.py", EmptyModuleBody);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (StartEmbeddedRuntime("_rt_bench") < 0) return 2;
  g_value_name = Name("bench_value");
  g_builtin_name = Name("len");
  // A dict of a realistic size: the handler modules hold about a dozen names.
  for (const char* filler : {"HTTPStatus", "Any", "Dict", "Tuple", "JupyterServerAppInfo",
                             "BaseInfoHandler", "ServerAppInfoHandler"})
    PyDict_SetItemString(g_state.module_dict, filler, Py_None);
  PyObject* value = PyLong_FromLong(12345);
  if (!g_value_name || !g_builtin_name || !value ||
      PyDict_SetItem(g_state.module_dict, g_value_name, value) < 0) {
    PyErr_Print();
    return 2;
  }
  Py_DECREF(value);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  Py_DECREF(g_value_name);
  Py_DECREF(g_builtin_name);
  return Py_FinalizeEx() < 0 ? 3 : 0;
}
