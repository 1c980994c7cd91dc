// What a module tells the shared runtime about itself.
#pragma once

#include <Python.h>

#include <cstddef>

#include "runtime/constant_table.h"

// The most functions one module defines: ModuleState keeps a code object for each.
constexpr int kMaxModuleFunctions = 4;

// Parameters of the code object of one Python-level function.
struct FunctionCodeInfo {
  int argcount;
  int nlocals;
  int firstlineno;
  const int* varname_slots;
  int varname_count;
  int filename_slot;
  int name_slot;
  int qualname_slot;  // -1: the name is the qualified name
};

// A function whose locals are exactly its variable names (no cells), as
// every function of these modules is.
template <size_t N>
constexpr FunctionCodeInfo Rt_FunctionCode(int argcount, int firstlineno,
                                           const int (&varname_slots)[N], int filename_slot,
                                           int name_slot, int qualname_slot = -1) noexcept {
  return {argcount,      static_cast<int>(N), firstlineno,  varname_slots, static_cast<int>(N),
          filename_slot, name_slot,           qualname_slot};
}

// Slots of the constants the runtime itself reads.
struct RuntimeNameSlots {
  int dot;                  // "."
  int asyncio_coroutines;   // "asyncio.coroutines"
  int is_coroutine;         // "_is_coroutine"
  int dunder_module;        // "__module__"
  int dunder_qualname;      // "__qualname__"
  int dunder_prepare;       // "__prepare__"
  int dunder_mro_entries;   // "__mro_entries__"
  int dunder_test;          // "__test__"
  int dunder_getattribute;  // "__getattribute__"
  int dunder_getattr;       // "__getattr__"
};

// The function count of a module's table; the state's array holds the code
// object of each of them.
template <size_t N>
constexpr int Rt_FunctionCount(const FunctionCodeInfo (&)[N]) noexcept {
  static_assert(N <= kMaxModuleFunctions, "more functions than ModuleState::code_objects holds");
  return static_cast<int>(N);
}

struct ModuleDescriptor {
  const char* short_name;   // the name of the module definition
  const char* full_name;    // dotted import name
  const char* init_name;    // "init " + full_name, for start-up tracebacks
  const char* source_path;  // the Python source the tracebacks name
  const ConstantTableSpec* constants;
  const FunctionCodeInfo* functions;
  int function_count;
  RuntimeNameSlots names;
  // Runs the module's statements in its dictionary: 0, or -1 with an
  // exception set and *line the source line of the failing statement.
  int (*body)(int* line);
};

// The runtime's names in a generated table, which spells them alike everywhere.
#define RT_RUNTIME_NAME_SLOTS                                                             \
  {                                                                                       \
    slot::kDot, slot::kAsyncioCoroutines, slot::kIsCoroutine, slot::k__module__,          \
        slot::k__qualname__, slot::k__prepare__, slot::k__mro_entries__, slot::k__test__, \
        slot::k__getattribute__, slot::k__getattr__                                       \
  }

// Defined once by each module (and by each test binary).
extern const ModuleDescriptor kThisModule;
