// The check that the running interpreter is the 3.8 these modules were built for.
#pragma once

#include <cstdint>

// Parses a version string such as "3.8.10 (default, ...)" into 0xMMmmuu00.
uint32_t Rt_ParseVersion(const char* text) noexcept;
// Warns (RuntimeWarning) when the runtime's major.minor is not 3.8; -1 only
// when issuing the warning fails.
int Rt_CheckVersion(uint32_t runtime_version, const char* module_full_name) noexcept;
