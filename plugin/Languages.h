// The fixed table of languages the plugin translates from and to, and the
// list of their codes the host asks for. The same table answers both
// directions.
#pragma once

#include <cstddef>

struct LanguageEntry {
    char16_t name[260]; // English display name, zero-terminated
    char16_t code[6];   // code the dictionary service expects, at most 5 units
};

constexpr size_t kLanguageCount = 27;

// In the order the codes are handed out.
extern const LanguageEntry kLanguages[kLanguageCount];

// Appends every code followed by one space to the zero-terminated text
// already in buffer, which needs room for 91 more units (27 codes, 27 spaces
// and the terminator of 90 + 1 units). A null buffer is left alone. Returns
// the number of languages, whatever the buffer held.
int AppendLanguageCodes(char16_t* buffer);
