// The frames that traceback entries keep for reuse, for the tests that count
// references to the code objects they hold.
#pragma once

// Releases every kept frame; the next entry of each code object makes a new one.
void Rt_ReleaseSpareFrames() noexcept;
