// Writes small dictd dictionaries for tests: an index and the text, either
// plain or as dictzip with a chosen chunk length.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace servicetest {

// headword, entry text
using DictEntries = std::vector<std::pair<std::string, std::string>>;

// dictd's base64 number ("A" is 0, "BA" is 64).
std::string Base64Number(unsigned long long value);

// gzip with a dictzip chunk table, each chunk of chunkLength text bytes
// compressed on its own (full flush between chunks).
std::string Dictzip(const std::string& text, size_t chunkLength);

// Writes folder/name.index and folder/name.dict.dz (chunkLength > 0) or
// folder/name.dict (chunkLength 0). False when a file cannot be written.
bool WriteDictionary(const std::string& folder, const std::string& name, const DictEntries& entries,
                     size_t chunkLength);

} // namespace servicetest
