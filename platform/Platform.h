// The operating-system seam. Everything above this folder reads the same on
// both builds: the win32 backend calls the Windows API, the posix backend is a
// small layer of our own that behaves as the code above expects those calls to.
//
// Text is UTF-16 in char16_t; only the win32 backend casts it to wchar_t.
#pragma once

#include <cstddef>
#include <cstdint>

// <windows.h> defines FreeModule and IsBadStringPtr as macros, which would
// rename the functions below: where both are needed, include this header
// after <windows.h>.
#ifdef FreeModule
#undef FreeModule
#endif
#ifdef IsBadStringPtr
#undef IsBadStringPtr
#endif

namespace platform {

using ModuleHandle = void*;

// Windows error codes the posix backend also produces.
enum : uint32_t {
    kErrorSuccess = 0,
    kErrorFileNotFound = 2,            // ERROR_FILE_NOT_FOUND
    kErrorInvalidHandle = 6,           // ERROR_INVALID_HANDLE
    kErrorModNotFound = 126,           // ERROR_MOD_NOT_FOUND
    kErrorProcNotFound = 127,          // ERROR_PROC_NOT_FOUND
    kErrorInvalidParameter = 87,       // ERROR_INVALID_PARAMETER
    kErrorInsufficientBuffer = 122,    // ERROR_INSUFFICIENT_BUFFER
    kErrorNoUnicodeTranslation = 1113, // ERROR_NO_UNICODE_TRANSLATION
    kErrorInvalidFlags = 1004,         // ERROR_INVALID_FLAGS
    kErrorMrMidNotFound = 317,         // ERROR_MR_MID_NOT_FOUND: no message text for a code
};

enum : uint32_t {
    kCodePageAnsi = 0,
    kCodePageUtf8 = 65001,
};

// Conversion flags: the strict modes, which fail with
// kErrorNoUnicodeTranslation instead of writing U+FFFD.
enum : uint32_t {
    kMbErrInvalidChars = 0x08, // MB_ERR_INVALID_CHARS
    kWcErrInvalidChars = 0x80, // WC_ERR_INVALID_CHARS (UTF-8 only)
};

// FormatSystemMessage flags and language.
enum : uint32_t {
    kFormatMessageAllocateBuffer = 0x0100,
    kFormatMessageIgnoreInserts = 0x0200,
    kFormatMessageFromSystem = 0x1000,
    kFormatMessageSystemText = 0x1300, // the three above together
    kLanguageUserDefault = 0x0400,     // neutral language, default sub-language
};

// LoadLibraryW. A name without '/' is a bare module name: Windows searches
// its usual order (the program's folder first); posix looks only in the
// folder of the file holding this code (the plugin, or the program the
// platform library is linked into), where "X.dll" (".dll" in any case) and
// "X" are found as "libX.so". A name with '/' is a path, used as given.
// Null on failure: 87 for a null name, 126 when the module does not load.
// Loading a loaded module again returns the same handle and counts a
// reference.
ModuleHandle LoadModule(const char16_t* name);
// The loader's own reason the calling thread's last LoadModule failed, in
// UTF-8: posix, the text dlerror() gave for it ("no module name" or "empty
// module name" when there was none to give to dlopen); empty after a load
// that succeeded, and always empty in the win32 backend, where LastError()
// and its system text are the reason. Valid until the thread's next
// LoadModule.
const char* LastLoadFailure();
// GetProcAddress by name: null with 127 when the module has no such symbol
// (also for a null module or name).
void* FindSymbol(ModuleHandle module, const char* name);
// FreeLibrary: 1 on success; 0 with 6 for a null handle.
int FreeModule(ModuleHandle module);

// MultiByteToWideChar for code page 0 (the ANSI page; ISO-8859-1 in the posix
// backend) and 65001 (UTF-8). srcCount -1 (any negative count) converts the
// zero-terminated text including its terminator; a positive count converts
// exactly that many bytes and writes no terminator of its own. dstCount 0
// returns the units needed; otherwise converts into dst and returns the units
// written. Failures return 0 with LastError(): 87 for a null src, srcCount 0,
// a null dst with dstCount > 0, a negative dstCount or another code page;
// 122 when dst is too small (dst may have been partly written); 1004 for
// flags other than 0 and kMbErrInvalidChars; 1113 for malformed input with
// kMbErrInvalidChars.
//
// Flags 0 replace malformed UTF-8 with U+FFFD, one per malformed step:
// - a byte 80-BF, C0, C1 or F5-FF that does not continue a sequence;
// - a lead (C2-DF, E0-EF, F0-F4) with the byte after it when that byte is a
//   continuation outside the lead's range (overlong, surrogate, > U+10FFFF);
// - a lead and the continuations after it up to a byte that does not
//   continue it (that byte starts the next step), or up to the end of the
//   input: a sequence the end cuts short gives one U+FFFD and takes nothing
//   after it, so with srcCount -1 the terminator is always converted.
//   (Wine's conversion, through at least 8.0, instead turns everything from
//   a lead whose sequence would run past the end into one U+FFFD, the
//   terminator included: "A\xF0B" gives A U+FFFD. Callers that convert
//   untrusted bytes with -1 terminate the result themselves.)
int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* src, int srcCount,
                        char16_t* dst, int dstCount);
// Fault seam for tests: the count-th MultiByteToWideChar call of the process
// from now on (1: the next one) converts as usual and then fails with `code`,
// as a call that runs out of room part-way does (its output may have been
// written). A count of 0 turns the seam off; it also turns itself off once
// it has fired.
void FailMultiByteToWideCharCall(int count, uint32_t code);

// WideCharToMultiByte with no default character, for the same code pages and
// with the same counts, sizes and failures (in bytes). UTF-8: an unpaired
// surrogate becomes EF BF BD (U+FFFD), or fails with 1113 under
// kWcErrInvalidChars. Code page 0: a unit the page cannot hold becomes '?'
// (posix: every unit above U+00FF; Windows may use a similar-looking
// character instead). Flags other than 0 (and kWcErrInvalidChars for UTF-8)
// fail with 1004 in the posix backend.
int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* src, int srcCount,
                        char* dst, int dstCount);

// FormatMessageW with no source, no arguments and an allocated buffer:
// flags must hold kFormatMessageAllocateBuffer (and, in the posix backend,
// kFormatMessageFromSystem); pass kFormatMessageSystemText. On success *buffer
// receives the zero-terminated text, ending in "\r\n" as the system's texts
// do, and the result is its length in units without the terminator; the
// caller releases it with LocalFreeBuffer. For a code without text the result
// is 0, *buffer is null and LastError() is 317; a null buffer or missing flag
// gives 0 with 87. The posix backend has English texts for the codes it sets
// (0, 2, 3, 5, 6, 8, 14, 87, 122, 126, 127, 317, 1004, 1113) and ignores the
// language; Wine's texts are shorter than Windows' own.
uint32_t FormatSystemMessage(uint32_t flags, uint32_t code, uint32_t languageId, char16_t** buffer);
// LocalFree of a buffer FormatSystemMessage allocated (null is accepted).
void LocalFreeBuffer(void* buffer);

// The calling thread's last error (GetLastError / SetLastError); 0 in a new
// thread. Read it right after a failure: successful calls may or may not
// change it (the posix backend leaves it), and so may the C++ runtime.
uint32_t LastError();
void SetLastError(uint32_t code);

// IsBadStringPtrW: non-zero when the text is NOT readable up to its
// terminator or maxCount units, and for null. The posix backend accepts every
// non-null pointer.
int IsBadStringPtr(const char16_t* text, uintptr_t maxCount);

} // namespace platform
