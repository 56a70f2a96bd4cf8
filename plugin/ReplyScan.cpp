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

namespace {

// The deepest nesting IsPlain follows; deeper texts are left to the full pass.
constexpr size_t kPlainDepthLimit = 256;

// The plain-document look of IsPlain; every method returns null where the
// text leaves the plain form (or the parser would fail).
class PlainLook {
public:
    explicit PlainLook(size_t maxDepth);

    bool Look(const char* p);
    size_t FourthLevel() const { return fourthLevel_; }

private:
    enum : uint8_t {
        kSpace = 1,     // space, tab, line feed, carriage return
        kOddGap = 2,    // other white space, or the lead of a zero-width mark
        kNameStart = 4, // an ASCII name's first byte
        kNameChar = 8,  // an ASCII name's other bytes
        kDoublePlain = tx::CharClasses::kDoublePlain,
        kSinglePlain = tx::CharClasses::kSinglePlain,
    };
    struct Open {
        const char* name;
        size_t length;
    };

    bool Is(char c, uint8_t mask) const {
        return (bits_[static_cast<unsigned char>(c)] & mask) != 0;
    }
    // White space between tokens: only space, tab, line feed and carriage
    // return (what the parser skips besides them, such as byte-order marks,
    // leaves the plain form). p is not null.
    const char* Space(const char* p) const {
        while (Is(*p, kSpace))
            ++p;
        return Is(*p, kOddGap) ? nullptr : p;
    }
    // A name of ASCII bytes (the parser takes any byte from 127 up as a
    // letter too; such names leave the plain form).
    const char* Name(const char* p) const {
        if (!Is(*p, kNameStart))
            return nullptr;
        ++p;
        while (Is(*p, kNameChar))
            ++p;
        return static_cast<unsigned char>(*p) >= 0x7F ? nullptr : p;
    }
    const char* Attribute(const char* p) const;
    const char* Declaration(const char* p) const;
    const char* Tree(const char* p);

    tx::CharClasses classes_;
    uint8_t bits_[256] = {};
    size_t maxDepth_;
    size_t fourthLevel_ = 0;
};

PlainLook::PlainLook(size_t maxDepth) : maxDepth_(maxDepth) {
    classes_.Load();
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        uint8_t bits = 0;
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
            bits |= kSpace;
        else if (classes_.IsWhite(c) || b == 0xEF)
            bits |= kOddGap;
        if (b < 0x7F && classes_.Is(c, tx::CharClasses::kNameStart))
            bits |= kNameStart;
        if (b < 0x7F && classes_.Is(c, tx::CharClasses::kNameChar))
            bits |= kNameChar;
        if (classes_.Is(c, tx::CharClasses::kDoublePlain))
            bits |= kDoublePlain;
        if (classes_.Is(c, tx::CharClasses::kSinglePlain))
            bits |= kSinglePlain;
        bits_[b] = bits;
    }
}

// name="value" or name='value', p at the name.
const char* PlainLook::Attribute(const char* p) const {
    p = Name(p);
    if (!p || *p != '=')
        return nullptr;
    ++p;
    const char quote = *p;
    if (quote != '"' && quote != '\'')
        return nullptr;
    const char* const start = ++p;
    const unsigned char first = static_cast<unsigned char>(*start);
    if (IsTrimWhite(first) || first == 0xEF)
        return nullptr;
    const uint8_t plain = quote == '"' ? kDoublePlain : kSinglePlain;
    // The parser's steps: one-step bytes, multibyte steps (which may step
    // over the quote) and references.
    for (;;) {
        while (Is(*p, plain))
            ++p;
        if (*p == quote || !*p)
            break;
        const int step = tx::kUtf8Step[static_cast<unsigned char>(*p)];
        if (step > 1) {
            p += step;
            continue;
        }
        char out[4];
        int count = 0;
        p = tx::GetChar(p, out, &count);
        if (!p)
            return nullptr;
    }
    if (*p != quote || (p > start && IsTrimWhite(static_cast<unsigned char>(p[-1]))))
        return nullptr;
    return p + 1;
}

// "<?xml" and what follows up to its '>', p at the '<'.
const char* PlainLook::Declaration(const char* p) const {
    p += 5;
    for (;;) {
        if (*p == '>')
            return p + 1;
        p = Space(p);
        if (!p || !*p)
            return nullptr;
        if (tx::EqualNoCase(p, "version") || tx::EqualNoCase(p, "encoding") ||
            tx::EqualNoCase(p, "standalone")) {
            p = Attribute(p);
            if (!p)
                return nullptr;
        } else {
            while (*p && *p != '>' && !classes_.IsWhite(*p)) {
                if (*p == '"' || *p == '\'' || *p == '<')
                    return nullptr;
                ++p;
            }
        }
    }
}

// The root element and everything inside it, p at its '<'.
const char* PlainLook::Tree(const char* p) {
    Open open[kPlainDepthLimit];
    size_t depth = 0;
    for (;;) {
        // A start tag.
        if (depth >= maxDepth_ || depth >= kPlainDepthLimit)
            return nullptr;
        const char* const name = p + 1;
        p = Name(name);
        if (!p)
            return nullptr;
        const size_t length = static_cast<size_t>(p - name);
        if (depth == 3)
            ++fourthLevel_;
        for (;;) {
            const char* const before = p;
            p = Space(p);
            if (!p)
                return nullptr;
            if (*p == '/' || *p == '>')
                break;
            if (p == before) // attributes are set apart by white space
                return nullptr;
            p = Attribute(p);
            if (!p)
                return nullptr;
        }
        if (*p == '/') {
            if (p[1] != '>')
                return nullptr;
            p += 2;
        } else {
            ++p;
            open[depth++] = {name, length};
        }
        // Content: white space, then end tags, until the next start tag.
        for (;;) {
            if (depth == 0)
                return p;
            p = Space(p);
            if (!p || *p != '<')
                return nullptr;
            if (p[1] != '/')
                break;
            const Open& current = open[depth - 1];
            if (std::strncmp(p + 2, current.name, current.length) != 0)
                return nullptr;
            p = Space(p + 2 + current.length);
            if (!p || *p != '>')
                return nullptr;
            ++p;
            --depth;
        }
        if (!Is(p[1], kNameStart))
            return nullptr;
    }
}

bool PlainLook::Look(const char* p) {
    if (!p)
        return false;
    p = Space(p);
    if (!p)
        return false;
    if (std::strncmp(p, "<?xml", 5) == 0) {
        p = Declaration(p);
        if (!p)
            return false;
        p = Space(p);
        if (!p)
            return false;
    }
    if (*p != '<' || !Is(p[1], kNameStart))
        return false;
    p = Tree(p);
    if (!p)
        return false;
    p = Space(p);
    return p && !*p;
}

} // namespace

bool IsPlain(const char* text, size_t maxDepth, size_t* fourthLevel) {
    PlainLook look(maxDepth);
    if (!look.Look(text))
        return false;
    *fourthLevel = look.FourthLevel();
    return true;
}

} // namespace reply
