// The posix build's text conversions: the backend's own codec, behind the
// tests' fault seam.
#include "platform/FaultSeam.h"
#include "platform/Platform.h"
#include "platform/posix/TextCodec.h"

namespace platform {

int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* src, int srcCount,
                        char16_t* dst, int dstCount) {
    const int result = posix::MultiByteToWideChar(codePage, flags, src, srcCount, dst, dstCount);
    uint32_t code = 0;
    if (seam::MultiByteToWideCharFails(&code)) {
        SetLastError(code);
        return 0;
    }
    return result;
}

int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* src, int srcCount,
                        char* dst, int dstCount) {
    return posix::WideCharToMultiByte(codePage, flags, src, srcCount, dst, dstCount);
}

} // namespace platform
