// The check that the running interpreter is the version these modules were built for.
#include "runtime/version_check.h"

#include <Python.h>

uint32_t Rt_ParseVersion(const char* text) noexcept {
  uint32_t factor = 0x01000000u, sum = 0;
  const char* p = text;
  for (;;) {
    uint32_t number = 0;
    while (*p >= '0' && *p <= '9') number = number * 10 + static_cast<uint32_t>(*p++ - '0');
    sum += number * factor;
    if (*p != '.') break;
    ++p;
    factor >>= 8;
    if (factor == 0) break;
  }
  return sum;
}

int Rt_CheckVersion(uint32_t runtime_version, const char* module_full_name) noexcept {
  constexpr uint32_t kBuiltFor = (static_cast<uint32_t>(PY_MAJOR_VERSION) << 24) |
                                 (static_cast<uint32_t>(PY_MINOR_VERSION) << 16);
  if ((runtime_version & 0xFFFF0000u) == kBuiltFor) return 0;
  char message[200];
  PyOS_snprintf(message, sizeof message,
                "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                PY_MAJOR_VERSION, PY_MINOR_VERSION, module_full_name, "does not match",
                static_cast<int>((runtime_version >> 24) & 0xFF),
                static_cast<int>((runtime_version >> 16) & 0xFF));
  return PyErr_WarnEx(nullptr, message, 1);
}
