// The module's str and bytes constants, built once from one compressed block.
#pragma once

#include <Python.h>

#include <cstddef>

// Generated from a module's constant list by tools/gen_constants.py.
struct ConstantTableSpec {
  const unsigned char* blob;  // zlib stream of all entries, in slot order
  size_t blob_size;
  int slot_count;  // str slots first, then the one bytes slot
  int str_count;
  unsigned (*length_of)(int slot);  // bytes of the encoded entry
  PyObject** slots;                 // filled by Rt_InitConstants; owned, for life
  int first_interned_slot;          // str slots below it stay plain
};

struct ModuleState;
// 0, or -1 with an exception set (slots filled so far stay filled).
int Rt_InitConstants(ModuleState* state, const ConstantTableSpec* table) noexcept;
