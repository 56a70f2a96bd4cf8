// The exported functions of plugin-lexigrove, as a host calls them.
//
// All use the platform's default calling convention (cdecl: the caller pops).
// Texts are zero-terminated UTF-16; capacities count UTF-16 units including
// the terminator. fnSetLog has C++ linkage: on Windows the DLL exports it
// under the name an MSVC-built host of the same architecture looks up,
// "?fnSetLog@@YAXPAVCAbstractLog@@@Z" (32-bit) or
// "?fnSetLog@@YAXPEAVCAbstractLog@@@Z" (64-bit).
#pragma once

#include "basiccpp/Log.h"

#include <cstdint>

extern "C" {
// Looks word up from one language code to another and appends what it finds
// to the result list. 1 when the search ran to its end, 0 on any failure.
int32_t fnSearchWord(const char16_t* from, const char16_t* to, const char16_t* word);
// The number of entries in the result list (never emptied while loaded).
int32_t fnGetSearchResultCount();
// Copies entry index out. 0, writing nothing, unless all buffers are given,
// every capacity is non-zero, the index is in range and every text fits.
int32_t fnGetSearchResult(int32_t index, char16_t* word, uint16_t wordCapacity, char16_t* name,
                          uint16_t nameCapacity, char16_t* type, uint16_t typeCapacity);
// Copy "Lexigrove" / "Brambix", cut to capacity - 1 units; always 1.
int32_t fnGetPluginName(char16_t* buffer, uint16_t capacity);
int32_t fnGetPluginOwner(char16_t* buffer, uint16_t capacity);
// Append the 27 language codes, each followed by a space, to the text in
// buffer (which needs room for 91 more units). Return 27.
int32_t fnGetSupportedFromLanguages(char16_t* buffer);
int32_t fnGetSupportedToLanguages(char16_t* buffer);
}

// Installs the host's log object (none turns logging off). The host keeps
// ownership and must keep it alive while the plugin may use it.
void fnSetLog(CAbstractLog* log);

// The decorated name fnSetLog is exported under on Windows.
#if defined(_WIN64)
#define LEXIGROVE_SETLOG_EXPORT_NAME "?fnSetLog@@YAXPEAVCAbstractLog@@@Z"
#else
#define LEXIGROVE_SETLOG_EXPORT_NAME "?fnSetLog@@YAXPAVCAbstractLog@@@Z"
#endif
