#include "host/Text.h"

#include "platform/Platform.h"

#include <algorithm>

namespace host {

namespace {

bool IsHigh(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLow(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// The converter takes int counts: a longer text goes through in pieces of
// this many units, a surrogate pair never split between two.
constexpr size_t kPiece = 1 << 16;

} // namespace

std::string ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        size_t units = std::min(kPiece, text.size());
        if (units < text.size() && IsHigh(text[units - 1]) && IsLow(text[units])) {
            --units;
        }
        const int count = static_cast<int>(units);
        const int bytes = platform::WideCharToMultiByte(platform::kCodePageUtf8, 0, text.data(),
                                                        count, nullptr, 0);
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(std::max(bytes, 0)));
        if (bytes <= 0 || platform::WideCharToMultiByte(platform::kCodePageUtf8, 0, text.data(),
                                                        count, &out[at], bytes) != bytes) {
            // Not expected with valid arguments; should it happen, the piece
            // shows as one U+FFFD rather than vanishing.
            out.resize(at);
            out += "\xEF\xBF\xBD";
        }
        text.remove_prefix(units);
    }
    return out;
}

size_t DisplayWidth(std::u16string_view text) {
    size_t width = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (IsHigh(text[i]) && i + 1 < text.size() && IsLow(text[i + 1])) {
            ++i;
        }
        ++width;
    }
    return width;
}

} // namespace host
