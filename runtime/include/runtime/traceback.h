// Traceback entries that name the module's Python source, and their code objects.
#pragma once

#include <Python.h>

#include "runtime/ref.h"

// Appends one entry (function, line, source path) to the pending exception.
// The function name is a constant string: its address stands for its text.
void Rt_AddTraceback(const char* function_name, int line, const char* source_path) noexcept;

struct CodeObjectCacheEntry;
// Index of `line` in the sorted entries, or where it would be inserted.
int Rt_BisectCodeObjects(const CodeObjectCacheEntry* entries, int count, int line) noexcept;
// Empty on a miss (no exception either way).
rt::Ref Rt_FindCodeObject(int line) noexcept;
void Rt_InsertCodeObject(int line, PyObject* code) noexcept;
