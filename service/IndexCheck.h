// The check of a dictd index against the text it points into, made when a
// dictionary is loaded: a damaged or cut index is refused rather than
// silently answering less.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace service {

// True when every line of index is "headword TAB offset TAB length" (more
// fields may follow) with the last line complete, every entry lies inside
// the text of textSize bytes, and the entries together reach every byte of
// it (dictfmt indexes the whole text: an index cut short leaves its end, or
// a stretch of it, unreached). Otherwise false with a reason naming name.
bool CheckIndex(std::string_view index, uint64_t textSize, const std::string& name,
                std::string* error);

} // namespace service
