// The lines of a dictd index, and the check of an index against the text it
// points into, made when a dictionary is loaded: a damaged or cut index is
// refused rather than silently answering less.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace service {

// One index line, without its line feed: "headword TAB offset TAB length"
// (more fields may follow), the numbers in dictd's base64. False when the
// numbers are missing, empty, hold another character or overflow.
bool ParseIndexLine(std::string_view line, std::string_view* headword, uint64_t* offset,
                    uint64_t* length);

// True when every line of index is "headword TAB offset TAB length" (more
// fields may follow) with the last line complete, every entry lies inside
// the text of textSize bytes, and the entries together reach every byte of
// it (dictfmt indexes the whole text: an index cut short leaves its end, or
// a stretch of it, unreached). Otherwise false with a reason naming name.
bool CheckIndex(std::string_view index, uint64_t textSize, const std::string& name,
                std::string* error);

} // namespace service
