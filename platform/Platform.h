// The operating-system seam. Everything above this folder reads the same on
// both builds: the win32 backend calls the Windows API, the posix backend is a
// small layer of our own that behaves as the code above expects those calls to.
//
// Text is UTF-16 in char16_t; only the win32 backend casts it to wchar_t.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

using ModuleHandle = void*;

// Windows error codes the posix backend also produces.
enum : uint32_t {
    kErrorSuccess = 0,
    kErrorFileNotFound = 2,         // ERROR_FILE_NOT_FOUND
    kErrorModNotFound = 126,        // ERROR_MOD_NOT_FOUND
    kErrorProcNotFound = 127,       // ERROR_PROC_NOT_FOUND
    kErrorInvalidParameter = 87,    // ERROR_INVALID_PARAMETER
    kErrorInsufficientBuffer = 122, // ERROR_INSUFFICIENT_BUFFER
    kErrorNoUnicodeTranslation = 1113,
    kErrorInvalidFlags = 1004,
    kErrorMrMidNotFound = 317, // ERROR_MR_MID_NOT_FOUND: no message text for a code
};

enum : uint32_t {
    kCodePageAnsi = 0,
    kCodePageUtf8 = 65001,
};

// LoadLibraryW. A bare name is looked for beside the module that holds this
// code (posix: "X.dll" is found as "libX.so" there); a path is used as given.
// Returns null on failure, with the reason in LastError().
ModuleHandle LoadModule(const char16_t* name);
// GetProcAddress: null when the module has no such symbol.
void* FindSymbol(ModuleHandle module, const char* name);
// FreeLibrary: non-zero on success.
int FreeModule(ModuleHandle module);

// MultiByteToWideChar with flags 0: invalid sequences become U+FFFD. With
// dstCount 0 returns the units needed (terminator included when srcCount is
// -1); otherwise converts into dst and returns the units written. 0 on
// failure, the reason in LastError().
int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* src, int srcCount,
                        char16_t* dst, int dstCount);
// WideCharToMultiByte with flags 0 and no default character: unpaired
// surrogates become U+FFFD. Same size-then-convert protocol, in bytes.
int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* src, int srcCount,
                        char* dst, int dstCount);

// FormatMessageW with FORMAT_MESSAGE_ALLOCATE_BUFFER | IGNORE_INSERTS |
// FROM_SYSTEM (0x1300) for the given code and language. The text (ending in
// "\r\n" as the system's do) is stored in *buffer, which the caller releases
// with LocalFreeBuffer. Returns the units written, 0 when there is no text.
uint32_t FormatSystemMessage(uint32_t flags, uint32_t code, uint32_t languageId,
                             char16_t** buffer);
// LocalFree of a buffer FormatSystemMessage allocated (null is accepted).
void LocalFreeBuffer(void* buffer);

// The calling thread's last error (GetLastError / SetLastError).
uint32_t LastError();
void SetLastError(uint32_t code);

// IsBadStringPtrW: non-zero when the text is NOT readable up to its
// terminator or maxCount units. The posix backend accepts every non-null
// pointer.
int IsBadStringPtr(const char16_t* text, uintptr_t maxCount);

} // namespace platform
