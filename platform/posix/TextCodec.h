// The posix backend's text conversions, under their own names: the posix
// build's platform::MultiByteToWideChar and platform::WideCharToMultiByte
// forward to them, and the Windows tests compare them with the system's.
// Arguments, results and failures are those of the functions of the same
// names in platform/Platform.h; failures set platform::SetLastError.
#pragma once

#include <cstdint>

namespace platform::posix {

int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* src, int srcCount,
                        char16_t* dst, int dstCount);
int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* src, int srcCount,
                        char* dst, int dstCount);

} // namespace platform::posix
