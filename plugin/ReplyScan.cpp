#include "plugin/ReplyScan.h"

#include <cctype>
#include <cstring>

namespace reply {
namespace tx {

// Bytes in a UTF-8 sequence by its lead byte; 1 for anything that cannot lead.
const uint8_t kUtf8Step[256] = {
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
    1, 1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2,
    3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 4, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
};

void CharClasses::Load() {
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const bool white = std::isspace(b) || c == '\n' || c == '\r';
        const bool alpha = b < 127 ? std::isalpha(b) != 0 : true;
        const bool alphaNum = b < 127 ? std::isalnum(b) != 0 : true;
        const bool oneStep = kUtf8Step[b] == 1 && b != 0 && c != '&';
        uint8_t bits = 0;
        if (white)
            bits |= kWhite;
        if (alpha || c == '_')
            bits |= kNameStart;
        if (alphaNum || c == '_' || c == '-' || c == '.' || c == ':')
            bits |= kNameChar;
        if (oneStep && c != '<' && !white)
            bits |= kTextPlain;
        if (oneStep && c != '"')
            bits |= kDoublePlain;
        if (oneStep && c != '\'')
            bits |= kSinglePlain;
        bits_[b] = bits;
    }
    efIsWhite_ = (bits_[0xEF] & kWhite) != 0;
}

bool Equal(const char* p, const char* tag) {
    if (!p || !*p)
        return false;
    while (*p && *tag && *p == *tag) {
        ++p;
        ++tag;
    }
    return *tag == 0;
}

namespace {

// The parser lowers only what is below 128 as a signed char, and does it
// with the C library's tolower.
int ToLower(int v) {
    return v < 128 ? std::tolower(v) : v;
}

} // namespace

bool EqualNoCase(const char* p, const char* tag) {
    if (!p || !*p)
        return false;
    while (*p && *tag && ToLower(*p) == ToLower(*tag)) {
        ++p;
        ++tag;
    }
    return *tag == 0;
}

namespace {

void Utf32ToUtf8(unsigned long input, char* output, int* length) {
    if (input < 0x80)
        *length = 1;
    else if (input < 0x800)
        *length = 2;
    else if (input < 0x10000)
        *length = 3;
    else if (input < 0x200000)
        *length = 4;
    else {
        *length = 0; // nothing is stored for a code point this large
        return;
    }
    static const unsigned long kFirstByteMark[5] = {0x00, 0x00, 0xC0, 0xE0, 0xF0};
    for (int i = *length - 1; i > 0; --i) {
        output[i] = static_cast<char>((input | 0x80) & 0xBF);
        input >>= 6;
    }
    output[0] = static_cast<char>(input | kFirstByteMark[*length]);
}

struct NamedEntity {
    const char* text;
    size_t length;
    char value;
};
const NamedEntity kNamedEntities[] = {
    {"&amp;", 5, '&'}, {"&lt;", 4, '<'}, {"&gt;", 4, '>'}, {"&quot;", 6, '"'}, {"&apos;", 6, '\''},
};

// A reference at p (at '&'). Numeric ones run to the first ';' after them;
// the digits are read backwards from it up to the nearest 'x' (hexadecimal)
// or '#' (decimal), in the parser's unsigned long. An unknown '&' is one
// step that stores nothing.
const char* GetEntity(const char* p, char* value, int* length) {
    *length = 0;
    if (p[1] && p[1] == '#' && p[2]) {
        unsigned long ucs = 0;
        ptrdiff_t delta = 0;
        unsigned mult = 1;
        if (p[2] == 'x') {
            if (!p[3])
                return nullptr;
            const char* q = std::strchr(p + 3, ';');
            if (!q || !*q)
                return nullptr;
            delta = q - p;
            --q;
            while (*q != 'x') {
                if (*q >= '0' && *q <= '9')
                    ucs += mult * static_cast<unsigned>(*q - '0');
                else if (*q >= 'a' && *q <= 'f')
                    ucs += mult * static_cast<unsigned>(*q - 'a' + 10);
                else if (*q >= 'A' && *q <= 'F')
                    ucs += mult * static_cast<unsigned>(*q - 'A' + 10);
                else
                    return nullptr;
                mult *= 16;
                --q;
            }
        } else {
            const char* q = std::strchr(p + 2, ';');
            if (!q || !*q)
                return nullptr;
            delta = q - p;
            --q;
            while (*q != '#') {
                if (*q >= '0' && *q <= '9')
                    ucs += mult * static_cast<unsigned>(*q - '0');
                else
                    return nullptr;
                mult *= 10;
                --q;
            }
        }
        Utf32ToUtf8(ucs, value, length);
        return p + delta + 1;
    }
    for (const NamedEntity& entity : kNamedEntities) {
        if (std::strncmp(entity.text, p, entity.length) == 0) {
            *value = entity.value;
            *length = 1;
            return p + entity.length;
        }
    }
    return p + 1;
}

} // namespace

const char* GetChar(const char* p, char out[4], int* length) {
    *length = kUtf8Step[static_cast<unsigned char>(*p)];
    if (*length == 1) {
        if (*p == '&')
            return GetEntity(p, out, length);
        out[0] = *p;
        return p + 1;
    }
    // A multibyte step copies up to a zero byte but always moves on by the
    // whole step, even past that zero byte.
    for (int i = 0; p[i] && i < *length; ++i)
        out[i] = p[i];
    return p + *length;
}

} // namespace tx
} // namespace reply
