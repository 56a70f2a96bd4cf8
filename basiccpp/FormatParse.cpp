#include "basiccpp/FormatParse.h"

#include "basiccpp/Log.h"

#include <cstring>

namespace basiccpp {

namespace {

const char kSourceFile[] = ".\\BasicString";

// First units of the blocks of ten decimal digits iswdigit accepts.
const char16_t kDigitBlocks[] = {
    0x0030, 0x0660, 0x06F0, 0x07C0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0BE6,
    0x0C66, 0x0CE6, 0x0D66, 0x0DE6, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x1090, 0x17E0,
    0x1810, 0x1946, 0x19D0, 0x1A80, 0x1A90, 0x1B50, 0x1BB0, 0x1C40, 0x1C50, 0xA620,
    0xA8D0, 0xA900, 0xA9D0, 0xA9F0, 0xAA50, 0xABF0, 0xFF10,
};

// First units (the zero) of the blocks of ten decimal digits _wtoi reads, each
// as the value of its distance from the zero: fewer blocks than iswdigit
// accepts, so a width may end at a digit the skip after it still passes.
const char16_t kNumberBlocks[] = {
    0x0030, 0x0660, 0x06F0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0C66,
    0x0CE6, 0x0D66, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x17E0, 0x1810, 0xFF10,
};

// The value of a digit _wtoi reads, or -1.
int DigitValue(char16_t u) {
    for (char16_t zero : kNumberBlocks) {
        if (u >= zero && u < zero + 10) {
            return u - zero;
        }
    }
    return -1;
}

// Sums of the estimate wrap as 32-bit integers do, without undefined overflow.
int32_t Add(int32_t a, int32_t b) {
    return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

int32_t Max(int32_t a, int32_t b) {
    return a > b ? a : b;
}

// Character and string reservations shrink to a non-zero precision and grow
// to the width.
int32_t AdjustText(int32_t reserved, const Conversion& c) {
    if (c.precision != 0 && reserved > c.precision) {
        reserved = c.precision;
    }
    return Max(reserved, c.width);
}

int32_t WideTextReservation(const char16_t* text) {
    return text == nullptr ? 6 : Max(1, SignedWideLength(text));
}

int32_t NarrowTextReservation(const char* text) {
    return text == nullptr ? 6 : Max(1, SignedNarrowLength(text));
}

// Reservation of one conversion; takes its arguments from *args. Returns
// false for a letter (or the terminator) outside the known conversions.
bool Reserve(const Conversion& c, va_list* args, int32_t* reserved) {
    const bool int64 = c.modifier == SizeModifier::Int64;
    switch (c.letter) {
    case u'c':
    case u'C':
        if (int64) {
            return false;
        }
        (void)va_arg(*args, int);
        *reserved = AdjustText(2, c);
        return true;
    case u's':
    case u'S': {
        if (int64) {
            return false;
        }
        const bool wide = c.letter == u's' ? c.modifier != SizeModifier::Narrow
                                           : c.modifier == SizeModifier::Wide;
        const int32_t r = wide ? WideTextReservation(va_arg(*args, const char16_t*))
                               : NarrowTextReservation(va_arg(*args, const char*));
        *reserved = AdjustText(r, c);
        return true;
    }
    case u'd':
    case u'i':
    case u'o':
    case u'u':
    case u'x':
    case u'X':
        if (int64) {
            (void)va_arg(*args, long long);
        } else {
            (void)va_arg(*args, int);
        }
        *reserved = Max(32, Add(c.width, c.precision));
        return true;
    case u'e':
    case u'g':
    case u'G':
        (void)va_arg(*args, double);
        *reserved = Max(128, Add(c.width, c.precision));
        return true;
    case u'f':
        (void)va_arg(*args, double);
        *reserved = Max(128, Add(312, c.precision));
        return true;
    case u'p':
        (void)va_arg(*args, void*);
        *reserved = Max(32, Add(c.width, c.precision));
        return true;
    case u'n':
        (void)va_arg(*args, void*);
        *reserved = 0;
        return true;
    default:
        return false;
    }
}

} // namespace

int32_t SignedWideLength(const char16_t* text) {
    const char16_t* end = text;
    while (*end != 0) {
        ++end;
    }
    const auto bytes =
        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(end) - reinterpret_cast<uintptr_t>(text));
    return static_cast<int32_t>(bytes) / 2;
}

int32_t SignedNarrowLength(const char* text) {
    return static_cast<int32_t>(static_cast<uint32_t>(std::strlen(text)));
}

bool IsWideSpace(char16_t u) {
    return (u >= 0x09 && u <= 0x0D) || u == 0x20 || u == 0xA0 || u == 0x1680 ||
           (u >= 0x2000 && u <= 0x200A) || u == 0x2028 || u == 0x2029 || u == 0x202F ||
           u == 0x205F || u == 0x3000;
}

bool IsWideDigit(char16_t u) {
    if (u == 0xB2 || u == 0xB3 || u == 0xB9) {
        return true;
    }
    for (char16_t first : kDigitBlocks) {
        if (u >= first && u < first + 10) {
            return true;
        }
    }
    return false;
}

int32_t WideToInt(const char16_t* text) {
    while (IsWideSpace(*text)) {
        ++text;
    }
    bool negative = false;
    if (*text == u'+' || *text == u'-') {
        negative = *text == u'-';
        ++text;
    }
    int64_t value = 0;
    for (int digit = DigitValue(*text); digit >= 0; digit = DigitValue(*++text)) {
        if (value <= INT32_MAX) {
            value = value * 10 + digit;
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

Conversion ParseConversion(const char16_t* p, va_list* args) {
    Conversion c;
    for (;; ++p) {
        switch (*p) {
        case u'#':
            ++c.hashes;
            continue;
        case u'*':
            c.width = va_arg(*args, int);
            continue;
        case u'-':
            c.leftAlign = true;
            continue;
        case u'+':
            c.plusSign = true;
            continue;
        case u'0':
            c.zeroPad = true;
            continue;
        case u' ':
            c.spaceSign = true;
            continue;
        default:
            break;
        }
        break;
    }
    if (c.width == 0) {
        c.width = WideToInt(p);
        while (IsWideDigit(*p)) {
            ++p;
        }
    }
    if (*p == u'.') {
        ++p;
        c.hasPrecision = true;
        if (*p == u'*') {
            c.precision = va_arg(*args, int);
            ++p;
        } else {
            c.precision = WideToInt(p);
            while (IsWideDigit(*p)) {
                ++p;
            }
        }
    }
    if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
        c.modifier = SizeModifier::Int64;
        p += 3;
    } else if (*p == u'h') {
        c.modifier = SizeModifier::Narrow;
        ++p;
    } else if (*p == u'l') {
        c.modifier = SizeModifier::Wide;
        ++p;
    } else if (*p == u'F' || *p == u'L' || *p == u'N') {
        ++p;
    }
    c.letter = *p;
    c.next = *p != 0 ? p + 1 : p;
    return c;
}

int32_t EstimateFormat(const char16_t* format, va_list args) {
    va_list cursor;
    va_copy(cursor, args);
    int32_t estimate = 0;
    const char16_t* p = format;
    while (*p != 0) {
        if (*p != u'%') {
            estimate = Add(estimate, 1);
            ++p;
            continue;
        }
        if (p[1] == u'%') {
            estimate = Add(estimate, 1);
            p += 2;
            continue;
        }
        const Conversion c = ParseConversion(p + 1, &cursor);
        estimate = Add(estimate, Add(c.hashes, c.hashes));
        ReportAssert(c.width >= 0, kSourceFile, 1526);
        if (c.hasPrecision) {
            ReportAssert(c.precision >= 0, kSourceFile, 1546);
        }
        int32_t reserved = 0;
        if (!Reserve(c, &cursor, &reserved)) {
            ReportAssert(0, kSourceFile, 1745);
        }
        estimate = Add(estimate, reserved);
        p = c.next;
    }
    va_end(cursor);
    return estimate;
}

} // namespace basiccpp
