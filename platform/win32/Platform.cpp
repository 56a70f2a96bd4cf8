// The Windows backend: thin calls into the Windows API. This is the only
// place where char16_t texts are cast to wchar_t (both are UTF-16 units on
// Windows).
#include <windows.h>

// After <windows.h>, whose FreeModule and IsBadStringPtr macros it removes.
#include "platform/FaultSeam.h"
#include "platform/Platform.h"

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t expected");

namespace platform {

namespace {
const wchar_t* Wide(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}
} // namespace

ModuleHandle LoadModule(const char16_t* name) {
    return reinterpret_cast<ModuleHandle>(::LoadLibraryW(Wide(name)));
}

const char* LastLoadFailure() {
    return "";
}

void* FindSymbol(ModuleHandle module, const char* name) {
    if (name == nullptr) {
        ::SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

int FreeModule(ModuleHandle module) {
    return ::FreeLibrary(static_cast<HMODULE>(module)) ? 1 : 0;
}

uint32_t FormatSystemMessage(uint32_t flags, uint32_t code, uint32_t languageId,
                             char16_t** buffer) {
    if (buffer == nullptr || (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) == 0) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    *buffer = nullptr;
    // With FORMAT_MESSAGE_ALLOCATE_BUFFER the buffer argument receives the
    // address of the allocated text.
    wchar_t* text = nullptr;
    const DWORD units = ::FormatMessageW(flags, nullptr, code, languageId,
                                         reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    *buffer = reinterpret_cast<char16_t*>(text);
    return units;
}

void LocalFreeBuffer(void* buffer) {
    if (buffer != nullptr) {
        ::LocalFree(static_cast<HLOCAL>(buffer));
    }
}

uint32_t LastError() {
    return ::GetLastError();
}

void SetLastError(uint32_t code) {
    ::SetLastError(code);
}

int IsBadStringPtr(const char16_t* text, uintptr_t maxCount) {
    return ::IsBadStringPtrW(Wide(text), maxCount) ? 1 : 0;
}

} // namespace platform
