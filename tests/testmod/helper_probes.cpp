// Probes of the helper routines.
#include "tests/testmod/testmod.h"

namespace {

PyMethodDef g_probes[] = {{nullptr, nullptr, 0, nullptr}};

}  // namespace

int RegisterHelperProbes(PyObject* module_dict) noexcept { return AddProbes(module_dict, g_probes); }
