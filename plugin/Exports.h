// The bodies of the plugin's copy-out exports, on a given context, so they
// can be exercised on a context filled by hand. plugin-lexigrove.cpp calls
// them with the loaded library's context.
#pragma once

#include <cstdint>

struct SearchContext;

// Copies entry index into the three buffers, each text whole with its
// terminator. Returns 1, or 0 after one failed-check report and with nothing
// written when a buffer is missing, a capacity is 0, the index is out of range
// or any text is not shorter than its buffer's capacity. May throw
// std::bad_alloc from the report only, before anything is written.
int CopySearchResult(const SearchContext& context, int32_t index, char16_t* word,
                     uint16_t wordCapacity, char16_t* name, uint16_t nameCapacity, char16_t* type,
                     uint16_t typeCapacity);

// Copies text into buffer, cut to capacity - 1 units and always terminated.
// A null buffer or a zero capacity is left alone. Returns 1.
int CopyCutText(const char16_t* text, char16_t* buffer, uint16_t capacity);
