// The Windows build's text conversions, behind the tests' fault seam. A file
// of their own, so that a library which needs only these (the online
// library) links nothing else of the backend.
#include <windows.h>

// After <windows.h>, whose FreeModule and IsBadStringPtr macros it removes.
#include "platform/FaultSeam.h"
#include "platform/Platform.h"

namespace platform {

int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* src, int srcCount,
                        char16_t* dst, int dstCount) {
    const int result = ::MultiByteToWideChar(codePage, flags, src, srcCount,
                                             reinterpret_cast<wchar_t*>(dst), dstCount);
    uint32_t code = 0;
    if (seam::MultiByteToWideCharFails(&code)) {
        ::SetLastError(code);
        return 0;
    }
    return result;
}

int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* src, int srcCount,
                        char* dst, int dstCount) {
    return ::WideCharToMultiByte(codePage, flags, reinterpret_cast<const wchar_t*>(src), srcCount,
                                 dst, dstCount, nullptr, nullptr);
}

} // namespace platform
