// The posix build's text conversions: the backend's own codec, behind the
// tests' fault seam.
#include "platform/Platform.h"
#include "platform/posix/TextCodec.h"

namespace platform {

namespace {
// The fault seam's countdown: calls still to go before the failing one.
thread_local int callsBeforeFailure = 0;
thread_local uint32_t failureCode = 0;
} // namespace

void FailMultiByteToWideCharCall(int count, uint32_t code) {
    callsBeforeFailure = count;
    failureCode = code;
}

int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* src, int srcCount,
                        char16_t* dst, int dstCount) {
    const int result = posix::MultiByteToWideChar(codePage, flags, src, srcCount, dst, dstCount);
    if (callsBeforeFailure > 0 && --callsBeforeFailure == 0) {
        SetLastError(failureCode);
        return 0;
    }
    return result;
}

int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* src, int srcCount,
                        char* dst, int dstCount) {
    return posix::WideCharToMultiByte(codePage, flags, src, srcCount, dst, dstCount);
}

} // namespace platform
