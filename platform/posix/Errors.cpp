// The posix backend's last error and system message texts.
//
// The last error is per thread, as on Windows. The texts are the system's
// English texts for the codes this backend produces (and a few neighbours),
// each ending in "\r\n" as FormatMessageW gives them; inserts such as %1 are
// kept as written (the caller always ignores inserts). The language is not
// looked at.
#include "platform/Platform.h"

#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

thread_local uint32_t lastError = kErrorSuccess;

struct Message {
    uint32_t code;
    const char16_t* text;
};

constexpr Message kMessages[] = {
    {0, u"The operation completed successfully.\r\n"},
    {2, u"The system cannot find the file specified.\r\n"},
    {3, u"The system cannot find the path specified.\r\n"},
    {5, u"Access is denied.\r\n"},
    {6, u"The handle is invalid.\r\n"},
    {8, u"Not enough memory resources are available to process this command.\r\n"},
    {14, u"Not enough memory resources are available to complete this operation.\r\n"},
    {87, u"The parameter is incorrect.\r\n"},
    {122, u"The data area passed to a system call is too small.\r\n"},
    {126, u"The specified module could not be found.\r\n"},
    {127, u"The specified procedure could not be found.\r\n"},
    {317, u"The system cannot find message text for message number 0x%1 in the message file "
          u"for %2.\r\n"},
    {1004, u"Invalid flags.\r\n"},
    {1113, u"No mapping for the Unicode character exists in the target multi-byte code "
           u"page.\r\n"},
};

const char16_t* FindMessage(uint32_t code) {
    for (const Message& m : kMessages) {
        if (m.code == code) {
            return m.text;
        }
    }
    return nullptr;
}

} // namespace

uint32_t LastError() {
    return lastError;
}

void SetLastError(uint32_t code) {
    lastError = code;
}

uint32_t FormatSystemMessage(uint32_t flags, uint32_t code, uint32_t /*languageId*/,
                             char16_t** buffer) {
    const uint32_t required = kFormatMessageAllocateBuffer | kFormatMessageFromSystem;
    if (buffer == nullptr || (flags & required) != required) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    *buffer = nullptr;
    const char16_t* text = FindMessage(code);
    if (text == nullptr) {
        SetLastError(kErrorMrMidNotFound);
        return 0;
    }
    size_t units = 0;
    while (text[units] != 0) {
        ++units;
    }
    auto* copy = static_cast<char16_t*>(std::malloc((units + 1) * sizeof(char16_t)));
    if (copy == nullptr) {
        SetLastError(8); // ERROR_NOT_ENOUGH_MEMORY
        return 0;
    }
    std::memcpy(copy, text, (units + 1) * sizeof(char16_t));
    *buffer = copy;
    return static_cast<uint32_t>(units);
}

void LocalFreeBuffer(void* buffer) {
    std::free(buffer);
}

int IsBadStringPtr(const char16_t* text, uintptr_t /*maxCount*/) {
    return text == nullptr ? 1 : 0;
}

} // namespace platform
