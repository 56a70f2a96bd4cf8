// UTF-16 <-> UTF-8 for the command-line host's own output, and the display
// width it aligns columns by.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace host {

// UTF-8 of a UTF-16 text; an unpaired surrogate becomes U+FFFD.
std::string ToUtf8(std::u16string_view text);

// Code points in a UTF-16 text (a surrogate pair counts once).
size_t DisplayWidth(std::u16string_view text);

} // namespace host
