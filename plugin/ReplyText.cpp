#include "plugin/ReplyText.h"

#include "basiccpp/Ascii.h"
#include "basiccpp/BasicString.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>

namespace {

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF) decoded into `out`, which has room for `length` units; the
// number of units, or -1 for anything else. Such text converts to the same
// units on every platform, so only the rest needs the system's conversion and
// its replacement rules.
ptrdiff_t DecodeWellFormed(const char* utf8, size_t length, char16_t* out) {
    char16_t* const first = out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8);
    const unsigned char* const end = p + length;
    const auto follows = [](unsigned char byte) { return (byte & 0xC0) == 0x80; };
    while (p < end) {
        const uint32_t lead = *p;
        if (lead < 0x80) {
            *out++ = static_cast<char16_t>(lead);
            ++p;
        } else if (lead < 0xC2) {
            return -1;
        } else if (lead < 0xE0) {
            if (end - p < 2 || !follows(p[1]))
                return -1;
            *out++ = static_cast<char16_t>(((lead & 0x1F) << 6) | (p[1] & 0x3F));
            p += 2;
        } else if (lead < 0xF0) {
            if (end - p < 3 || !follows(p[1]) || !follows(p[2]) || (lead == 0xE0 && p[1] < 0xA0) ||
                (lead == 0xED && p[1] > 0x9F))
                return -1;
            *out++ = static_cast<char16_t>(((lead & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6) |
                                           (p[2] & 0x3F));
            p += 3;
        } else if (lead < 0xF5) {
            if (end - p < 4 || !follows(p[1]) || !follows(p[2]) || !follows(p[3]) ||
                (lead == 0xF0 && p[1] < 0x90) || (lead == 0xF4 && p[1] > 0x8F))
                return -1;
            const uint32_t code = ((lead & 0x07) << 18) | ((p[1] & 0x3Fu) << 12) |
                                  ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3F);
            *out++ = static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            *out++ = static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
            p += 4;
        } else {
            return -1;
        }
    }
    return out - first;
}

} // namespace

// The text as Utf8ToWide converts it (and, for text that is not well-formed,
// by Utf8ToWide itself, which reports a failing conversion).
std::u16string ReplyText(const char* utf8) {
    const size_t length = std::strlen(utf8);
    // Never more units than bytes; most values fit the local room.
    char16_t local[128];
    std::unique_ptr<char16_t[]> large;
    char16_t* room = local;
    if (length > sizeof local / sizeof local[0]) {
        large.reset(new char16_t[length]);
        room = large.get();
    }
    const ptrdiff_t units = DecodeWellFormed(utf8, length, room);
    if (units >= 0)
        return std::u16string(room, static_cast<size_t>(units));
    const BasicString converted = Utf8ToWide(utf8);
    return std::u16string(converted.GetString(), static_cast<size_t>(converted.GetLength()));
}

const std::u16string& TypeTexts::Convert(const char* utf8) {
    const size_t length = std::strlen(utf8);
    Slot& slot = slots_[(length * 31u + static_cast<unsigned char>(utf8[0]) * 7u +
                         static_cast<unsigned char>(utf8[length - 1])) %
                        kSlots];
    if (!slot.wide.empty() && slot.utf8.size() == length &&
        std::memcmp(slot.utf8.data(), utf8, length) == 0)
        return slot.wide;
    std::u16string wide = ReplyText(utf8);
    if (wide.empty()) {
        uncached_ = std::move(wide);
        return uncached_;
    }
    slot.utf8.assign(utf8, length);
    slot.wide = std::move(wide);
    return slot.wide;
}

// ASCII letters compared without case, as _stricmp does in the C locale.
bool EqualIgnoringCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        const char x = ascii::Lower(*a);
        const char y = ascii::Lower(*b);
        if (x != y)
            return false;
        if (x == 0)
            return true;
    }
}
