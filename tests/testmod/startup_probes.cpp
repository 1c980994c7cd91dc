// Probes of the startup routines: what start-up left in the module's state.
#include "constants.h"
#include "runtime/module_state.h"
#include "tests/testmod/testmod.h"

namespace {

// The whole constant table, in slot order: the objects themselves, so that
// identity (interning) can be checked from Python.
PyObject* ConstantTable(PyObject*, PyObject*) {
  PyObject* table = PyTuple_New(slot::kCount);
  if (!table) return nullptr;
  for (int i = 0; i < slot::kCount; ++i) {
    PyObject* value = Rt_Const(i);
    Py_INCREF(value);
    PyTuple_SET_ITEM(table, i, value);
  }
  return table;
}

// (str slot count, slot count): where the str slots end and the bytes slot is.
PyObject* ConstantLayout(PyObject*, PyObject*) {
  return Py_BuildValue("(ii)", kConstantTable.str_count, kConstantTable.slot_count);
}

PyMethodDef g_probes[] = {{"constant_table", ConstantTable, METH_NOARGS, nullptr},
                          {"constant_layout", ConstantLayout, METH_NOARGS, nullptr},
                          {nullptr, nullptr, 0, nullptr}};

}  // namespace

int RegisterStartupProbes(PyObject* module_dict) noexcept {
  return AddProbes(module_dict, g_probes);
}
