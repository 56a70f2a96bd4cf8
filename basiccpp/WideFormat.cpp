// The formatter behind BasicString::Format. It parses each conversion exactly
// as the length estimate does (the shared ParseConversion), so both take the
// same arguments, and it never writes past the capacity it is given: units
// beyond it are only counted.
//
// Numbers are rebuilt as a narrow conversion without width and written by
// snprintf (C99-conformant in both builds), then padded here; infinities and
// NaNs and pointers are written here, so both builds print them alike.
#include "basiccpp/WideFormat.h"

#include "basiccpp/FormatParse.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <type_traits>

namespace basiccpp {

namespace {

// Where the output goes: stores while there is room for it and a
// terminator, counts everything.
class Sink {
public:
    Sink(char16_t* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

    size_t Length() const { return length_; }
    size_t Room() const {
        return capacity_ > 0 && length_ < capacity_ - 1 ? capacity_ - 1 - length_ : 0;
    }

    void Put(char16_t unit) {
        if (Room() > 0) {
            buffer_[length_] = unit;
        }
        Count(1);
    }
    void Fill(char16_t unit, size_t count) {
        const size_t stored = count < Room() ? count : Room();
        for (size_t i = 0; i < stored; ++i) {
            buffer_[length_ + i] = unit;
        }
        Count(count);
    }
    void Count(size_t count) { length_ = SIZE_MAX - length_ < count ? SIZE_MAX : length_ + count; }

    void Terminate() {
        if (capacity_ > 0) {
            buffer_[length_ < capacity_ - 1 ? length_ : capacity_ - 1] = 0;
        }
    }

private:
    char16_t* buffer_;
    size_t capacity_;
    size_t length_ = 0;
};

// The effective width and alignment: a negative width (from '*') means
// left alignment with its magnitude.
struct Layout {
    size_t width;
    bool left;
};

Layout LayoutOf(const Conversion& c) {
    const int64_t width = c.width;
    return {static_cast<size_t>(width < 0 ? -width : width), c.leftAlign || width < 0};
}

size_t PadCount(const Layout& layout, size_t length) {
    return layout.width > length ? layout.width - length : 0;
}

// A negative precision counts as none, as in C.
bool HasPrecision(const Conversion& c) {
    return c.hasPrecision && c.precision >= 0;
}

// Writes units [0, length) of a text, of which only the first `available`
// are at hand (the rest cannot be stored anyway).
template <typename Unit>
void PutText(Sink& out, const Unit* text, size_t available, size_t length) {
    size_t i = 0;
    for (; i < length && i < available && out.Room() > 0; ++i) {
        out.Put(static_cast<char16_t>(text[i]));
    }
    out.Count(length - i);
}

// Narrow texts and characters are widened byte by byte (Latin-1), which
// gives the same units as the ANSI code page for ASCII.
template <typename Unit> void WriteText(Sink& out, const Unit* text, const Conversion& c) {
    static const char16_t kNull[] = u"(null)";
    size_t length = 0;
    const size_t limit = HasPrecision(c) ? static_cast<size_t>(c.precision) : SIZE_MAX;
    if (text == nullptr) {
        length = limit < 6 ? limit : 6;
    } else {
        while (length < limit && text[length] != 0) {
            ++length;
        }
    }
    const Layout layout = LayoutOf(c);
    const size_t pad = PadCount(layout, length);
    if (!layout.left) {
        out.Fill(u' ', pad);
    }
    if (text == nullptr) {
        PutText(out, kNull, length, length);
    } else {
        using Unsigned = std::conditional_t<sizeof(Unit) == 1, unsigned char, char16_t>;
        PutText(out, reinterpret_cast<const Unsigned*>(text), length, length);
    }
    if (layout.left) {
        out.Fill(u' ', pad);
    }
}

void WriteChar(Sink& out, char16_t unit, const Conversion& c) {
    const Layout layout = LayoutOf(c);
    const size_t pad = PadCount(layout, 1);
    if (!layout.left) {
        out.Fill(u' ', pad);
    }
    out.Put(unit);
    if (layout.left) {
        out.Fill(u' ', pad);
    }
}

// Writes a number already converted to ASCII (of which `available` bytes are
// at hand, `length` in all) with the width applied. With '0' the zeros go
// after the sign and a "0x" prefix.
void WriteNumber(Sink& out, const char* digits, size_t available, size_t length,
                 const Conversion& c, bool zeroPadAllowed) {
    const Layout layout = LayoutOf(c);
    const size_t pad = PadCount(layout, length);
    if (layout.left) {
        PutText(out, digits, available, length);
        out.Fill(u' ', pad);
        return;
    }
    if (!(c.zeroPad && zeroPadAllowed)) {
        out.Fill(u' ', pad);
        PutText(out, digits, available, length);
        return;
    }
    size_t prefix = 0;
    if (prefix < available && (digits[0] == '-' || digits[0] == '+' || digits[0] == ' ')) {
        ++prefix;
    }
    if (prefix + 1 < available && digits[prefix] == '0' &&
        (digits[prefix + 1] == 'x' || digits[prefix + 1] == 'X')) {
        prefix += 2;
    }
    PutText(out, digits, available, prefix);
    out.Fill(u'0', pad);
    PutText(out, digits + prefix, available - prefix, length - prefix);
}

// The narrow conversion handed to snprintf: flags, precision, size, letter.
std::string NarrowPattern(const Conversion& c, const char* size, char letter) {
    std::string pattern = "%";
    if (c.plusSign) {
        pattern += '+';
    }
    if (c.spaceSign) {
        pattern += ' ';
    }
    if (c.hashes > 0) {
        pattern += '#';
    }
    if (HasPrecision(c)) {
        pattern += '.';
        pattern += std::to_string(c.precision);
    }
    pattern += size;
    pattern += letter;
    return pattern;
}

// Runs snprintf and writes its output; only as many bytes as can still be
// stored are kept. A conversion snprintf refuses writes nothing.
template <typename Value>
void WriteConverted(Sink& out, const std::string& pattern, Value value, const Conversion& c,
                    bool zeroPadAllowed) {
    char small[128];
    const int total = std::snprintf(small, sizeof small, pattern.c_str(), value);
    if (total < 0) {
        return;
    }
    const auto length = static_cast<size_t>(total);
    const size_t keep = length < out.Room() ? length : out.Room();
    if (keep < sizeof small) {
        WriteNumber(out, small, keep, length, c, zeroPadAllowed);
        return;
    }
    std::unique_ptr<char[]> large(new char[keep + 1]);
    std::snprintf(large.get(), keep + 1, pattern.c_str(), value);
    WriteNumber(out, large.get(), keep, length, c, zeroPadAllowed);
}

bool IsUpper(char16_t letter) {
    return letter >= u'A' && letter <= u'Z';
}

void WriteFloating(Sink& out, double value, const Conversion& c) {
    const char letter = static_cast<char>(c.letter);
    if (std::isfinite(value)) {
        WriteConverted(out, NarrowPattern(c, "", letter), value, c, true);
        return;
    }
    std::string text;
    if (std::signbit(value)) {
        text = "-";
    } else if (c.plusSign) {
        text = "+";
    } else if (c.spaceSign) {
        text = " ";
    }
    text += std::isnan(value) ? (IsUpper(c.letter) ? "NAN" : "nan")
                              : (IsUpper(c.letter) ? "INF" : "inf");
    WriteNumber(out, text.c_str(), text.size(), text.size(), c, false);
}

// A pointer as upper-case hexadecimal of its full width, as the Windows C
// runtime writes %p.
void WritePointer(Sink& out, const void* pointer, const Conversion& c) {
    char digits[2 * sizeof(void*) + 1];
    const int length =
        std::snprintf(digits, sizeof digits, "%0*llX", static_cast<int>(2 * sizeof(void*)),
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(pointer)));
    const auto n = static_cast<size_t>(length);
    WriteNumber(out, digits, n, n, c, false);
}

void WriteInteger(Sink& out, const Conversion& c, va_list* args) {
    const char letter = static_cast<char>(c.letter);
    const bool isSigned = c.letter == u'd' || c.letter == u'i';
    const bool zeroPadAllowed = !HasPrecision(c);
    if (c.modifier == SizeModifier::Int64) {
        const std::string pattern = NarrowPattern(c, "ll", letter);
        if (isSigned) {
            WriteConverted(out, pattern, va_arg(*args, long long), c, zeroPadAllowed);
        } else {
            WriteConverted(out, pattern, va_arg(*args, unsigned long long), c, zeroPadAllowed);
        }
        return;
    }
    // 'l' is 32 bits, as on Windows; 'h' prints the value as a short.
    const std::string pattern =
        NarrowPattern(c, c.modifier == SizeModifier::Narrow ? "h" : "", letter);
    if (isSigned) {
        WriteConverted(out, pattern, va_arg(*args, int), c, zeroPadAllowed);
    } else {
        WriteConverted(out, pattern, va_arg(*args, unsigned int), c, zeroPadAllowed);
    }
}

void StoreCount(const Sink& out, const Conversion& c, va_list* args) {
    void* target = va_arg(*args, void*);
    if (target == nullptr) {
        return;
    }
    const size_t count = out.Length();
    switch (c.modifier) {
    case SizeModifier::Narrow:
        *static_cast<short*>(target) = static_cast<short>(count);
        break;
    case SizeModifier::Int64:
        *static_cast<long long*>(target) = static_cast<long long>(count);
        break;
    default:
        *static_cast<int*>(target) =
            count > static_cast<size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(count);
        break;
    }
}

void WriteConversion(Sink& out, const Conversion& c, va_list* args) {
    switch (c.letter) {
    case u'c':
    case u'C': {
        // %c and %lc a UTF-16 unit, %hc and %C a narrow character.
        const bool wide = c.letter == u'c' ? c.modifier != SizeModifier::Narrow
                                           : c.modifier == SizeModifier::Wide;
        const int value = va_arg(*args, int);
        WriteChar(out,
                  wide ? static_cast<char16_t>(value)
                       : static_cast<char16_t>(static_cast<unsigned char>(value)),
                  c);
        return;
    }
    case u's':
    case u'S': {
        // %s and %ls a UTF-16 text, %hs and %S a narrow text.
        const bool wide = c.letter == u's' ? c.modifier != SizeModifier::Narrow
                                           : c.modifier == SizeModifier::Wide;
        if (wide) {
            WriteText(out, va_arg(*args, const char16_t*), c);
        } else {
            WriteText(out, va_arg(*args, const char*), c);
        }
        return;
    }
    case u'd':
    case u'i':
    case u'o':
    case u'u':
    case u'x':
    case u'X':
        WriteInteger(out, c, args);
        return;
    case u'e':
    case u'E':
    case u'f':
    case u'g':
    case u'G':
    case u'a':
    case u'A':
        WriteFloating(out, va_arg(*args, double), c);
        return;
    case u'p':
        WritePointer(out, va_arg(*args, void*), c);
        return;
    case u'n':
        StoreCount(out, c, args);
        return;
    default:
        // Not a conversion: the letter itself is written and nothing is taken.
        out.Put(c.letter);
        return;
    }
}

} // namespace

size_t FormatWide(char16_t* buffer, size_t capacity, const char16_t* format, va_list args) {
    Sink out(buffer, capacity);
    if (format != nullptr) {
        va_list cursor;
        va_copy(cursor, args);
        const char16_t* p = format;
        while (*p != 0) {
            if (*p != u'%') {
                out.Put(*p++);
                continue;
            }
            if (p[1] == u'%') {
                out.Put(u'%');
                p += 2;
                continue;
            }
            const Conversion c = ParseConversion(p + 1, &cursor);
            if (c.letter == 0) {
                break;
            }
            WriteConversion(out, c, &cursor);
            p = c.next;
        }
        va_end(cursor);
    }
    out.Terminate();
    return out.Length();
}

} // namespace basiccpp
