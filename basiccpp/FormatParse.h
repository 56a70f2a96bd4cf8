// Internal to basiccpp: the measures and character classes the string class
// uses, and the conversion parser that its length estimate and the formatter
// share, so both read the same units of a format and take the same arguments.
#pragma once

#include <cstdarg>
#include <cstdint>

namespace basiccpp {

// The length of a non-null wide text as the string class measures it: the
// byte distance to the terminator halved as a signed 32-bit number, so texts
// of 2^30 units or more measure as not positive.
int32_t SignedWideLength(const char16_t* text);
// The byte length of a non-null narrow text as a signed 32-bit number.
int32_t SignedNarrowLength(const char* text);

// White space as the Windows C runtime's iswspace classifies UTF-16 units
// (0x09-0x0D, 0x20, 0xA0, 0x1680, 0x2000-0x200A, 0x2028, 0x2029, 0x202F,
// 0x205F, 0x3000; 0x85 is not white space there). A fixed set, so both
// builds trim and parse alike whatever the C library's locale.
bool IsWideSpace(char16_t unit);
// Decimal digits as the Windows C runtime's iswdigit classifies them: the
// Unicode decimal digit blocks and the superscripts 0xB2, 0xB3 and 0xB9.
bool IsWideDigit(char16_t unit);
// _wtoi: leading white space, an optional sign, then decimal digits; 0 when
// there are none; clamped to the 32-bit range on overflow. Reads nothing
// past the terminator. The digits are those of the Windows C runtime's
// _wtoi: ASCII and 17 other blocks of ten (Arabic-Indic, Devanagari, Thai,
// fullwidth and more), a subset of what iswdigit accepts.
int32_t WideToInt(const char16_t* text);

enum class SizeModifier { None, Narrow, Wide, Int64 };

// One conversion of a wide format, as read after its percent sign.
struct Conversion {
    bool leftAlign = false; // '-'
    bool plusSign = false;  // '+'
    bool zeroPad = false;   // '0'
    bool spaceSign = false; // ' '
    int32_t hashes = 0;     // number of '#' flags
    int32_t width = 0;      // as given; negative only from '*' (or a signed _wtoi)
    bool hasPrecision = false;
    int32_t precision = 0; // 0 without a full stop; may be negative from '*'
    SizeModifier modifier = SizeModifier::None;
    char16_t letter = 0;            // 0 when the format ends inside the conversion
    const char16_t* next = nullptr; // the unit after the letter (or the terminator)
};

// Parses the conversion whose first unit (after the percent sign) is at
// `at`. Flags are read while they are flags ('#', '*', '-', '+', '0', ' ');
// each '*' takes an int from *args as the width. Without a non-zero width the
// width is the number there and its digits are skipped. A full stop gives a
// precision ('*' takes an int from *args). "I64", 'h', 'l', 'F', 'L' and 'N'
// are size modifiers. Never reads past the format's terminator.
Conversion ParseConversion(const char16_t* at, va_list* args);

// The number of units Format reserves for the output of `format` with these
// arguments, computed in one pass over the format as a signed 32-bit count
// (sums wrap). Makes the ".\BasicString" reports 1526, 1546 and 1745 where
// the format calls for them. `format` must not be null.
int32_t EstimateFormat(const char16_t* format, va_list args);

} // namespace basiccpp
