// Probes of the import routines.
#include "tests/testmod/testmod.h"

namespace {

PyMethodDef g_probes[] = {{nullptr, nullptr, 0, nullptr}};

}  // namespace

int RegisterImportProbes(PyObject* module_dict) noexcept { return AddProbes(module_dict, g_probes); }
