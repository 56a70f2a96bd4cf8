// The state behind FailMultiByteToWideCharCall, shared by both backends.
#pragma once

#include <cstdint>

namespace platform::seam {

// Counts one MultiByteToWideChar call; true, with the error code to report
// in *code, when it is the call the seam was set to fail.
bool MultiByteToWideCharFails(uint32_t* code);

} // namespace platform::seam
