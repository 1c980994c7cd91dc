// Probes of the import, global-lookup and class-construction routines.
#include "constants.h"
#include "runtime/class_construction.h"
#include "runtime/globals.h"
#include "runtime/imports.h"
#include "runtime/module_state.h"
#include "runtime/python_compat.h"
#include "runtime/ref.h"
#include "tests/compat_probes.h"
#include "tests/testmod/testmod.h"

using rt::Ref;

namespace {

// Interned copies of a tuple of names; *count set.
bool InternedNames(PyObject* tuple, Ref* out, Py_ssize_t capacity, Py_ssize_t* count) noexcept {
  *count = PyTuple_GET_SIZE(tuple);
  if (*count > capacity) {
    PyErr_SetString(PyExc_ValueError, "too many names");
    return false;
  }
  for (Py_ssize_t i = 0; i < *count; ++i) {
    out[i] = Interned(PyTuple_GET_ITEM(tuple, i));
    if (!out[i]) return false;
  }
  return true;
}

// import_module(name, fromlist=None, level=0, globals=None, absolute_name=None)
PyObject* ImportModule(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"name",    "fromlist",      "level",
                                   "globals", "absolute_name", nullptr};
  PyObject *name, *fromlist = Py_None, *globals = Py_None, *absolute = Py_None;
  int level = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "U|OiOO", const_cast<char**>(keywords), &name,
                                   &fromlist, &level, &globals, &absolute))
    return nullptr;
  Ref iname = Interned(name);
  Ref iabsolute = Interned(absolute == Py_None ? name : absolute);
  if (!iname || !iabsolute) return nullptr;
  Ref names[8];
  PyObject* raw[8];
  Py_ssize_t count = 0;
  if (fromlist != Py_None) {
    if (!PyTuple_Check(fromlist)) return PyErr_Format(PyExc_TypeError, "fromlist must be a tuple");
    if (!InternedNames(fromlist, names, 8, &count)) return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) raw[i] = names[i].get();
  }
  return Rt_ImportModule(iname.get(), fromlist == Py_None ? nullptr : raw, count,
                         globals == Py_None ? nullptr : globals, level, iabsolute.get())
      .release();
}

// import_from(module, name)
PyObject* ImportFrom(PyObject*, PyObject* args) {
  PyObject *module, *name;
  if (!PyArg_ParseTuple(args, "OU", &module, &name)) return nullptr;
  Ref iname = Interned(name);
  if (!iname) return nullptr;
  return Rt_ImportFrom(module, iname.get()).release();
}

// import_names_into(globals, name, names, level, absolute_name)
PyObject* ImportNamesInto(PyObject*, PyObject* args) {
  PyObject *globals, *name, *tuple, *absolute;
  int level;
  if (!PyArg_ParseTuple(args, "O!UO!iU", &PyDict_Type, &globals, &name, &PyTuple_Type, &tuple,
                        &level, &absolute))
    return nullptr;
  Ref iname = Interned(name);
  Ref iabsolute = Interned(absolute);
  if (!iname || !iabsolute) return nullptr;
  Ref names[8];
  PyObject* raw[8];
  Py_ssize_t count;
  if (!InternedNames(tuple, names, 8, &count)) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) raw[i] = names[i].get();
  if (Rt_ImportNamesInto(globals, iname.get(), raw, count, level, iabsolute.get()) < 0)
    return nullptr;
  Py_RETURN_NONE;
}

// --- module globals of this module, through numbered read sites -------------------------

constexpr int kSites = 8;
GlobalLookupCache g_sites[kSites];

bool SiteIndex(int site) noexcept {
  if (site < 0 || site >= kSites) {
    PyErr_Format(PyExc_IndexError, "read site %d out of range", site);
    return false;
  }
  return true;
}

// global_read(name, site=0)
PyObject* GlobalRead(PyObject*, PyObject* args) {
  PyObject* name;
  int site = 0;
  if (!PyArg_ParseTuple(args, "U|i", &name, &site) || !SiteIndex(site)) return nullptr;
  Ref iname = Interned(name);
  if (!iname) return nullptr;
  return Rt_GetModuleGlobal(iname.get(), &g_sites[site]).release();
}

// global_cache(site=0) -> (version, has_value, value or None)
PyObject* GlobalCache(PyObject*, PyObject* args) {
  int site = 0;
  if (!PyArg_ParseTuple(args, "|i", &site) || !SiteIndex(site)) return nullptr;
  const GlobalLookupCache& cache = g_sites[site];
  return Py_BuildValue("(KOO)", static_cast<unsigned long long>(cache.version),
                       cache.value ? Py_True : Py_False, cache.value ? cache.value : Py_None);
}

// global_cache_reset(site=0): back to the never-read state.
PyObject* GlobalCacheReset(PyObject*, PyObject* args) {
  int site = 0;
  if (!PyArg_ParseTuple(args, "|i", &site) || !SiteIndex(site)) return nullptr;
  g_sites[site] = GlobalLookupCache{0, nullptr};
  Py_RETURN_NONE;
}

// dict_version(d): what the read sites compare with, for the module dict d (0
// without the internals: the read sites keep no version).
PyObject* DictVersion(PyObject*, PyObject* d) {
  if (!PyDict_Check(d)) return PyErr_Format(PyExc_TypeError, "not a dict");
  return PyLong_FromUnsignedLongLong(rt::internals::ModuleDictVersion(d));
}

// get_attr_no_error(obj, name) -> the value, or a marker tuple ("missing",) when
// the lookup reported absence without an exception.
PyObject* GetAttrNoError(PyObject*, PyObject* args) {
  PyObject *obj, *name;
  if (!PyArg_ParseTuple(args, "OU", &obj, &name)) return nullptr;
  Ref iname = Interned(name);
  if (!iname) return nullptr;
  PyObject* value = Rt_GetAttrNoError(obj, iname.get()).release();
  if (value || PyErr_Occurred()) return value;
  return Py_BuildValue("(s)", "missing");
}

// get_builtin_name(name)
PyObject* GetBuiltinName(PyObject*, PyObject* name) {
  Ref iname = Interned(name);
  if (!iname) return nullptr;
  return Rt_GetBuiltinName(iname.get()).release();
}

// --- class construction -------------------------------------------------------------------

PyObject* ResolveBases(PyObject*, PyObject* bases) {
  if (!PyTuple_Check(bases)) return PyErr_Format(PyExc_TypeError, "bases must be a tuple");
  return Rt_ResolveBases(bases).release();
}

PyObject* CalculateMetaclass(PyObject*, PyObject* bases) {
  if (!PyTuple_Check(bases)) return PyErr_Format(PyExc_TypeError, "bases must be a tuple");
  return Rt_CalculateMetaclass(bases).release();
}

// prepare_namespace(metaclass or None, bases, name, qualname, module_name)
PyObject* PrepareNamespace(PyObject*, PyObject* args) {
  PyObject *metaclass, *bases, *name, *qualname, *module_name;
  if (!PyArg_ParseTuple(args, "OO!UUU", &metaclass, &PyTuple_Type, &bases, &name, &qualname,
                        &module_name))
    return nullptr;
  return Rt_PrepareClassNamespace(metaclass == Py_None ? nullptr : metaclass, bases, name, qualname,
                                  module_name)
      .release();
}

// set_namespace_item(ns, key, value)
PyObject* SetNamespaceItem(PyObject*, PyObject* args) {
  PyObject *ns, *key, *value;
  if (!PyArg_ParseTuple(args, "OUO", &ns, &key, &value)) return nullptr;
  Ref ikey = Interned(key);
  if (!ikey || Rt_SetNamespaceItem(ns, ikey.get(), value) < 0) return nullptr;
  Py_RETURN_NONE;
}

// create_class(metaclass, name, bases, ns)
PyObject* CreateClass(PyObject*, PyObject* args) {
  PyObject *metaclass, *name, *bases, *ns;
  if (!PyArg_ParseTuple(args, "OUO!O", &metaclass, &name, &PyTuple_Type, &bases, &ns))
    return nullptr;
  return Rt_CreateClass(metaclass, name, bases, ns).release();
}

PyObject* ProbeMethod(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject*) {
  return PyLong_FromSsize_t(nargs);
}

PyMethodDef g_probe_method_def = {"probe", Entry(ProbeMethod), METH_FASTCALL | METH_KEYWORDS,
                                  nullptr};

GlobalLookupCache g_class_base_site;
PyObject* g_fill_qualname;  // borrowed for the duration of define_class
bool g_fill_fails;
int g_define_line;

// The class body: one method "probe", as the handler modules' bodies do.
int FillProbeClass(PyObject* ns, int* line) {
  *line = 26;
  if (g_fill_fails) {
    PyErr_SetString(PyExc_RuntimeError, "class body failed");
    return -1;
  }
  PyObject* const annotations[] = {Rt_Const(slot::kA), Rt_Const(slot::kB)};
  MethodStatement method = {&g_probe_method_def,
                            Rt_Const(slot::kProbe),
                            g_fill_qualname,
                            Rt_Const(slot::kModuleName),
                            Rt_CodeObject(0),
                            annotations,
                            1};
  return Rt_DefineMethod(ns, method);
}

// define_class(name, base, fail_in_body=False): Rt_DefineClass with the base read
// from this module's global "__probe_base__"; binds and returns the class.
PyObject* DefineClass(PyObject*, PyObject* args) {
  PyObject *name, *base;
  int fail = 0;
  if (!PyArg_ParseTuple(args, "UO|p", &name, &base, &fail)) return nullptr;
  Ref iname = Interned(name);
  Ref base_key = Ref::steal(PyUnicode_InternFromString("__probe_base__"));
  if (!iname || !base_key || PyObject_Hash(base_key.get()) == -1) return nullptr;
  Ref qualname = Ref::steal(PyUnicode_FromFormat("%U.probe", iname.get()));
  if (!qualname || PyDict_SetItem(Rt_ModuleDict(), base_key.get(), base) < 0) return nullptr;
  ClassStatement statement = {iname.get(), Rt_Const(slot::kModuleName), base_key.get(),
                              &g_class_base_site, 24};
  g_fill_qualname = qualname.get();
  g_fill_fails = fail != 0;
  int rc = Rt_DefineClass(statement, FillProbeClass, &g_define_line);
  g_fill_qualname = nullptr;
  if (rc < 0) return nullptr;
  PyObject* cls = PyDict_GetItemWithError(Rt_ModuleDict(), iname.get());
  if (!cls)
    return PyErr_Occurred() ? nullptr : PyErr_Format(PyExc_AssertionError, "class not bound");
  Py_INCREF(cls);
  return cls;
}

// define_class_line(): the line Rt_DefineClass reported last.
PyObject* DefineClassLine(PyObject*, PyObject*) { return PyLong_FromLong(g_define_line); }

PyMethodDef g_probes[] = {
    {"import_module", Entry(ImportModule), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"import_from", Entry(ImportFrom), METH_VARARGS, nullptr},
    {"import_names_into", Entry(ImportNamesInto), METH_VARARGS, nullptr},
    {"global_read", Entry(GlobalRead), METH_VARARGS, nullptr},
    {"global_cache", Entry(GlobalCache), METH_VARARGS, nullptr},
    {"global_cache_reset", Entry(GlobalCacheReset), METH_VARARGS, nullptr},
    {"dict_version", Entry(DictVersion), METH_O, nullptr},
    {"get_attr_no_error", Entry(GetAttrNoError), METH_VARARGS, nullptr},
    {"get_builtin_name", Entry(GetBuiltinName), METH_O, nullptr},
    {"resolve_bases", Entry(ResolveBases), METH_O, nullptr},
    {"calculate_metaclass", Entry(CalculateMetaclass), METH_O, nullptr},
    {"prepare_namespace", Entry(PrepareNamespace), METH_VARARGS, nullptr},
    {"set_namespace_item", Entry(SetNamespaceItem), METH_VARARGS, nullptr},
    {"create_class", Entry(CreateClass), METH_VARARGS, nullptr},
    {"define_class", Entry(DefineClass), METH_VARARGS, nullptr},
    {"define_class_line", Entry(DefineClassLine), METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

int RegisterImportProbes(PyObject* module_dict) noexcept {
  return AddProbes(module_dict, g_probes);
}
