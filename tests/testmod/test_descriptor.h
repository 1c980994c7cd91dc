// The descriptor of a runtime started on the test constant table, shared by
// the test-only module and the embedded C++ tests.
#pragma once

#include "constants.h"
#include "runtime/module_descriptor.h"

inline constexpr int kProbeVarnames[] = {slot::kSelf, slot::kA, slot::kB};
inline constexpr FunctionCodeInfo kProbeFunctions[] = {
    {3, 3, 1, kProbeVarnames, 3, slot::kSourcePath, slot::kProbe}};

#define RT_TEST_DESCRIPTOR(name, source_path, body)                                \
  {name, name, "init " name, source_path, &kConstantTable, kProbeFunctions, 1, \
   RT_RUNTIME_NAME_SLOTS, body}
