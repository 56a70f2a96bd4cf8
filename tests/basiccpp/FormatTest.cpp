// Format: the one-pass estimate, its reports, the bounded formatting, and the
// formatter's conventions.
#include "basiccpp/BasicString.h"
#include "basiccpp/FormatParse.h"
#include "basiccpp/WideFormat.h"

#include "tests/support/RecordingLog.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

int32_t Estimate(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    const int32_t e = basiccpp::EstimateFormat(format, args);
    va_end(args);
    return e;
}

// The whole output of the formatter, with a generous capacity.
std::u16string Wide(const char16_t* format, ...) {
    char16_t buffer[1024];
    va_list args;
    va_start(args, format);
    const size_t length = basiccpp::FormatWide(buffer, 1024, format, args);
    va_end(args);
    EXPECT_LT(length, 1024u);
    return buffer;
}

size_t Into(char16_t* buffer, size_t capacity, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    const size_t length = basiccpp::FormatWide(buffer, capacity, format, args);
    va_end(args);
    return length;
}

std::u16string Repeat(char16_t unit, size_t count) {
    return std::u16string(count, unit);
}

std::u16string Widen(const char* text) {
    return std::u16string(text, text + std::strlen(text));
}

using Estimates = WithLog;

TEST_F(Estimates, ReservationTable) {
    EXPECT_EQ(Estimate(u"abc"), 3);
    EXPECT_EQ(Estimate(u"%%"), 1);
    EXPECT_EQ(Estimate(u"%s", static_cast<const char16_t*>(nullptr)), 6);
    EXPECT_EQ(Estimate(u"%s", u""), 1);
    EXPECT_EQ(Estimate(u"%5s", u"ab"), 5);
    EXPECT_EQ(Estimate(u"%.2s", u"abcdef"), 2);
    EXPECT_EQ(Estimate(u"%c", u'x'), 2);
    EXPECT_EQ(Estimate(u"%d", 7), 32);
    EXPECT_EQ(Estimate(u"%40d", 7), 40);
    EXPECT_EQ(Estimate(u"%10.30d", 7), 40);
    EXPECT_EQ(Estimate(u"%#x", 7), 34);
    EXPECT_EQ(Estimate(u"%e", 1.5), 128);
    EXPECT_EQ(Estimate(u"%f", 1.5), 312);
    EXPECT_EQ(Estimate(u"%.10f", 1.5), 322);
    EXPECT_EQ(Estimate(u"%300f", 1.5), 312);
    EXPECT_EQ(Estimate(u"%-*d", 50, 7), 50);
    EXPECT_EQ(Estimate(u"k=%s, l=%s, m=%s.", u"abcde", u"", u"1234567"), 11 + 5 + 1 + 7);
    EXPECT_EQ(Estimate(u"%n", static_cast<int*>(nullptr)), 0);
    EXPECT_TRUE(log.asserts.empty());
}

TEST_F(Estimates, NarrowAndWideTextLetters) {
    EXPECT_EQ(Estimate(u"%S", "abc"), 3);
    EXPECT_EQ(Estimate(u"%hs", "abcd"), 4);
    EXPECT_EQ(Estimate(u"%lS", u"ab"), 2);
    EXPECT_EQ(Estimate(u"%ls", u"abcdefg"), 7);
    EXPECT_EQ(Estimate(u"%S", static_cast<const char*>(nullptr)), 6);
    EXPECT_EQ(Estimate(u"%10.3S", "abcdef"), 10);
    EXPECT_EQ(Estimate(u"%##d", 1), 36);
}

// Each conversion must take exactly its argument's size from the cursor.
// Every value is followed by two texts of different lengths, five units and
// three: the %s after the conversion measures 5 only if the conversion took
// its own size. On a 32-bit build a wrong size moves the cursor by 4 bytes:
// a %d that took 8 bytes would skip the five-unit text and measure the
// three-unit one; a %I64d that took an int would read the value's high half
// as the text, so that half is the address of the three-unit text. (On the
// 64-bit builds every integer argument fills one 8-byte slot, so there an
// int and a 64-bit step are the same; the win32 lane tells them apart.)
TEST_F(Estimates, ArgumentsAreTakenWithTheirSizes) {
    const char16_t* five = u"12345";
    const char16_t* three = u"123";
    const auto highHalfIsThree =
        static_cast<long long>(static_cast<uint64_t>(reinterpret_cast<uintptr_t>(three)) << 32);
    EXPECT_EQ(Estimate(u"%I64d%s", highHalfIsThree, five, three), 32 + 5);
    EXPECT_EQ(Estimate(u"%I64x%s", highHalfIsThree | 7, five, three), 32 + 5);
    EXPECT_EQ(Estimate(u"%d%s", 1, five, three), 32 + 5);
    EXPECT_EQ(Estimate(u"%ld%s", 1, five, three), 32 + 5);
    EXPECT_EQ(Estimate(u"%hd%s", 1, five, three), 32 + 5);
    EXPECT_EQ(Estimate(u"%f%s", 2.0, five, three), 312 + 5);
    EXPECT_EQ(Estimate(u"%Lf%s", 2.0, five, three), 312 + 5);
    EXPECT_EQ(Estimate(u"%g%s", 2.0, five, three), 128 + 5);
    EXPECT_EQ(Estimate(u"%p%s", static_cast<void*>(nullptr), five, three), 32 + 5);
    EXPECT_EQ(Estimate(u"%c%s", 'a', five, three), 2 + 5);
    EXPECT_EQ(Estimate(u"%lc%s", u'a', five, three), 2 + 5);
    int count = 0;
    EXPECT_EQ(Estimate(u"%n%s", &count, five, three), 5);
    EXPECT_EQ(Estimate(u"%*.*s%s", 1, 2, u"abc", five, three), 2 + 5);
    EXPECT_TRUE(log.asserts.empty());
}

// The rows of the reservation table the cases above leave out: every
// integer letter, g, G and C, the character sizes, the integer sizes, the
// modifiers that change nothing, and a pointer's width.
TEST_F(Estimates, EveryLetterAndModifierOfTheTable) {
    for (const char16_t* format :
         {u"%i", u"%o", u"%u", u"%X", u"%hd", u"%ld", u"%hx", u"%lu", u"%Fd", u"%Ld", u"%Nd"}) {
        EXPECT_EQ(Estimate(format, 7), 32) << ::testing::PrintToString(std::u16string(format));
    }
    EXPECT_EQ(Estimate(u"%40i|%40o|%40u|%40X", 1, 2, 3, 4), 4 * 40 + 3);
    EXPECT_EQ(Estimate(u"%40hd|%40lx", 1, 2), 40 + 1 + 40);
    EXPECT_EQ(Estimate(u"%g|%G|%40.100G", 1.5, 2.5, 3.5), 128 + 1 + 128 + 1 + 140);
    EXPECT_EQ(Estimate(u"%C|%hc|%lc|%5hc|%9lC", 'a', 'b', u'c', 'd', u'e'), 2 + 2 + 2 + 5 + 9 + 4);
    EXPECT_EQ(Estimate(u"%Fs|%Ls|%NS", u"abc", u"abcd", "ab"), 3 + 4 + 2 + 2);
    EXPECT_EQ(Estimate(u"%Lf|%Fe", 1.5, 2.5), 312 + 1 + 128);
    EXPECT_EQ(Estimate(u"%40p", static_cast<void*>(nullptr)), 40);
    EXPECT_TRUE(log.asserts.empty());
}

// An asterisk width replaces an earlier one and keeps the digits after it
// from being read; a zero asterisk width lets them be read.
TEST_F(Estimates, AsteriskWidths) {
    const char16_t* five = u"12345";
    // Two asterisks: both arguments are taken, the second is the width.
    EXPECT_EQ(Estimate(u"%**d%s", 10, 50, 7, five), 50 + 5);
    // "%*5d" with width 40: the 5 is the conversion letter (outside the
    // table, no argument taken), the d is plain text; the value 7 is left.
    EXPECT_EQ(Estimate(u"%*5d", 40, 7), 1);
    EXPECT_EQ(log.Lines(), (std::vector<int32_t>{1745}));
    log.asserts.clear();
    // With width 0 from the asterisk the digits are the width.
    EXPECT_EQ(Estimate(u"%*50d%s", 0, 7, five), 50 + 5);
    EXPECT_TRUE(log.asserts.empty());
}

// A width is read as _wtoi reads it (its digits include Arabic-Indic and
// fullwidth ones) and every digit iswdigit knows after it is skipped, also
// one _wtoi does not read (superscript two, N'Ko one).
TEST_F(Estimates, WidthsWithDigitsBeyondAscii) {
    EXPECT_EQ(Estimate(u"%\u0664\u0660d", 7), 40);    // Arabic-Indic 4 0
    EXPECT_EQ(Estimate(u"%\uFF14\uFF10d", 7), 40);    // fullwidth 4 0
    EXPECT_EQ(Estimate(u"%4\u0966d", 7), 40);         // Devanagari zero after an ASCII 4
    EXPECT_EQ(Estimate(u"%40\u00B2d", 7), 40);        // superscript two skipped
    EXPECT_EQ(Estimate(u"%40\u07C1\u00B9d", 7), 40);  // N'Ko one, superscript one skipped
    EXPECT_EQ(Estimate(u"%\u00B2\u00B340d", 7), 32);  // no number before them: width 0
    EXPECT_EQ(Estimate(u"%40.\u0663\u0660d", 7), 70); // the precision alike
    EXPECT_TRUE(log.asserts.empty());
}

TEST_F(Estimates, LettersOutsideTheTableReserveNothing) {
    EXPECT_EQ(Estimate(u"%E", 1.0), 0);
    EXPECT_EQ(Estimate(u"%I64s", u"abc"), 0);
    EXPECT_EQ(Estimate(u"%k"), 0);
    EXPECT_EQ(log.Lines(), (std::vector<int32_t>{1745, 1745, 1745}));
}

TEST_F(Estimates, FormatEndingInsideAConversionStopsAtTheTerminator) {
    // The terminators are followed by text that must not be read.
    const char16_t lone[] = {u'a', u'b', u'%', 0, u'x', u'x', 0};
    EXPECT_EQ(Estimate(lone), 2);
    const char16_t flags[] = {u'a', u'%', u'-', u'#', u'0', 0, u'x', 0};
    EXPECT_EQ(Estimate(flags), 1 + 2);
    const char16_t modifier[] = {u'%', u'5', u'.', u'2', u'I', u'6', u'4', 0, u'd', 0};
    EXPECT_EQ(Estimate(modifier), 0);
    EXPECT_EQ(log.Lines(), (std::vector<int32_t>{1745, 1745, 1745}));
}

TEST_F(Estimates, NegativeWidthAndPrecisionAreReported) {
    EXPECT_EQ(Estimate(u"%*d", -40, 1), 32);
    EXPECT_EQ(log.Lines(), (std::vector<int32_t>{1526}));
    log.asserts.clear();
    EXPECT_EQ(Estimate(u"%.*d", -1, 1), 32);
    EXPECT_EQ(log.Lines(), (std::vector<int32_t>{1546}));
    log.asserts.clear();
    EXPECT_EQ(Estimate(u"%*.*s", -10, -10, u"abc"), -10);
    EXPECT_EQ(log.Lines(), (std::vector<int32_t>{1526, 1546}));
}

TEST_F(Estimates, WidthAndPrecisionDigits) {
    // A width from '*' of 0 falls back to the digits; a full stop without
    // digits is precision 0, which is not reported.
    EXPECT_EQ(Estimate(u"%*45d", 0, 1), 45);
    EXPECT_EQ(Estimate(u"%.s", u"abcd"), 4);
    EXPECT_EQ(Estimate(u"%.0e", 1.0), 128);
    EXPECT_EQ(Estimate(u"%100.50e", 1.0), 150);
    EXPECT_TRUE(log.asserts.empty());
}

using FormatCalls = WithLog;

TEST_F(FormatCalls, FormatsIntoANewBuffer) {
    BasicString s;
    s.Format(u"%s=%d (%S) %c%%", u"count", -42, "narrow", u'!');
    EXPECT_EQ(std::u16string(s.GetString()), u"count=-42 (narrow) !%");
    EXPECT_NE(s.GetString(), BasicString::EmptyUnit());

    BasicString empty;
    empty.Format(u"%s", u"");
    EXPECT_EQ(empty.GetLength(), 0);
    EXPECT_NE(empty.GetString(), BasicString::EmptyUnit()); // an owned, empty buffer
    EXPECT_TRUE(log.asserts.empty());
}

TEST_F(FormatCalls, EmptyFormatOrZeroEstimateKeepsThePreviousText) {
    BasicString s(u"previous");
    const char16_t* before = s.GetString();
    s.Format(u"");
    EXPECT_EQ(s.GetString(), before);
    int count = -1;
    s.Format(u"%n", &count);
    EXPECT_EQ(s.GetString(), before);
    EXPECT_EQ(std::u16string(s.GetString()), u"previous");
    EXPECT_TRUE(log.asserts.empty());
}

TEST_F(FormatCalls, NullFormatIsReportedTwiceAndChangesNothing) {
    BasicString s(u"previous");
    s.Format(nullptr);
    EXPECT_EQ(std::u16string(s.GetString()), u"previous");
    EXPECT_EQ(log.Lines(), (std::vector<int32_t>{1472, 1486}));
}

TEST_F(FormatCalls, NegativeEstimateLeavesTheSharedEmptyValue) {
    BasicString s(u"previous");
    s.Format(u"%*.*s", -10, -10, u"abc");
    EXPECT_EQ(s.GetString(), BasicString::EmptyUnit());
    EXPECT_EQ(log.Lines(), (std::vector<int32_t>{1526, 1546, 1928}));
}

// Outputs longer than the estimate are cut at it and reported; nothing is
// written past the reservation.
TEST_F(FormatCalls, OutputLongerThanTheEstimateIsCutAndReported) {
    BasicString e;
    e.Format(u"%.125e", 1.0);
    EXPECT_EQ(std::u16string(e.GetString()), u"1." + Repeat(u'0', 125) + u"e");
    EXPECT_EQ(log.Lines(), (std::vector<int32_t>{1763}));

    log.asserts.clear();
    char full[400];
    const int length = std::snprintf(full, sizeof full, "%f", -1e308);
    ASSERT_EQ(length, 317);
    BasicString f;
    f.Format(u"%f", -1e308);
    EXPECT_EQ(std::u16string(f.GetString()), Widen(full).substr(0, 312));
    EXPECT_EQ(log.Lines(), (std::vector<int32_t>{1763}));

    log.asserts.clear();
    BasicString wide;
    wide.Format(u"%320f", 1.0);
    EXPECT_EQ(std::u16string(wide.GetString()), Repeat(u' ', 312));
    EXPECT_EQ(log.Lines(), (std::vector<int32_t>{1763}));

    // A negative precision from '*' estimates too little for the text.
    log.asserts.clear();
    BasicString star;
    star.Format(u"%.*s|", -1, u"abcdef");
    EXPECT_EQ(std::u16string(star.GetString()), u"a");
    EXPECT_EQ(log.Lines(), (std::vector<int32_t>{1546, 1763}));
}

TEST_F(FormatCalls, OutputThatFitsTheEstimateIsNotReported) {
    BasicString s;
    s.Format(u"%.120e|%-32d|%+.30f", 2.5, 7, 1.25);
    EXPECT_EQ(std::u16string(s.GetString()), std::u16string(u"2.5") + Repeat(u'0', 119) +
                                                 u"e+00|7" + Repeat(u' ', 31) + u"|+1.25" +
                                                 Repeat(u'0', 28));
    EXPECT_TRUE(log.asserts.empty());
}

TEST(FormatWide, TextsAndCharacters) {
    EXPECT_EQ(Wide(u"[%s|%ls|%S|%hs]", u"w\u00e9", u"l", "n\xe9", "h"), u"[w\u00e9|l|n\u00e9|h]");
    EXPECT_EQ(Wide(u"[%lS]", u"wide"), u"[wide]");
    EXPECT_EQ(Wide(u"[%5s|%-5s|%.2s|%6.1s]", u"ab", u"ab", u"abc", u"xyz"),
              u"[   ab|ab   |ab|     x]");
    EXPECT_EQ(Wide(u"[%s|%.3s|%8S]", static_cast<const char16_t*>(nullptr),
                   static_cast<const char16_t*>(nullptr), static_cast<const char*>(nullptr)),
              u"[(null)|(nu|  (null)]");
    EXPECT_EQ(Wide(u"[%c|%lc|%C|%hc|%3c|%-3c]", 0x263A, u'w', 'n', 0xE9, 'r', 'l'),
              u"[\u263a|w|n|\u00e9|  r|l  ]");
    EXPECT_EQ(Wide(u"%*s|%-*s|%*s", 4, u"a", 4, u"b", -4, u"c"), u"   a|b   |c   ");
    EXPECT_EQ(Wide(u"%.*s|%.*s", 2, u"abcdef", -1, u"abcdef"), u"ab|abcdef");
    EXPECT_EQ(Wide(u"100%%"), u"100%");
}

TEST(FormatWide, PrecisionBoundsTheTextRead) {
    // Not terminated: the precision alone bounds the read.
    const char16_t wide[3] = {u'a', u'b', u'c'};
    const char narrow[2] = {'x', 'y'};
    EXPECT_EQ(Wide(u"%.3s%.2S", wide, narrow), u"abcxy");
}

TEST(FormatWide, IntegersAsPrintfWritesThem) {
    EXPECT_EQ(Wide(u"%d|%i|%5d|%-5d|%05d|%+d|% d", 42, -42, 42, 42, -42, 42, 42),
              u"42|-42|   42|42   |-0042|+42| 42");
    EXPECT_EQ(Wide(u"%u|%x|%X|%#x|%#X|%o|%#o|%#x", -1, 255, 255, 255, 255, 8, 8, 0),
              u"4294967295|ff|FF|0xff|0XFF|10|010|0");
    EXPECT_EQ(Wide(u"%.3d|%08.3d|%#010x|%-#6x|", 5, 5, 31, 31), u"005|     005|0x0000001f|0x1f  |");
    EXPECT_EQ(Wide(u"%hd|%hu|%hx|%ld|%lx", 70000, 70000, -1, -7, 0xABCDu),
              u"4464|4464|ffff|-7|abcd");
    EXPECT_EQ(Wide(u"%I64d|%I64u|%I64x|%I64X", INT64_MIN, UINT64_MAX, 0x123456789ALL, 255LL),
              u"-9223372036854775808|18446744073709551615|123456789a|FF");
    EXPECT_EQ(Wide(u"%*d|%-*d|%*d|", 5, 1, 5, 2, -5, 3), u"    1|2    |3    |");
    EXPECT_EQ(Wide(u"%.0d|%.*d", 0, -1, 0), u"|0");
}

TEST(FormatWide, FloatingPointAsPrintfWritesIt) {
    EXPECT_EQ(Wide(u"%f|%.2f|%e|%E|%g|%G", 1.5, 2.375, 12345.678, 0.5, 1e-5, 1e20),
              u"1.500000|2.38|1.234568e+04|5.000000E-01|1e-05|1E+20");
    EXPECT_EQ(Wide(u"%08.2f|%-8.1f|%+.0e|%#.0f|% f", -3.5, 2.0, 0.5, 3.0, 1.0),
              u"-0003.50|2.0     |+5e-01|3.| 1.000000");
    EXPECT_EQ(Wide(u"%a|%A|%.3a|%Lf", 1.0, 0.1, 1.0, 0.25),
              u"0x1p+0|0X1.999999999999AP-4|0x1.000p+0|0.250000");
    EXPECT_EQ(Wide(u"%f|%05f|%E|%+f|%G", INFINITY, INFINITY, -INFINITY, INFINITY, NAN),
              u"inf|  inf|-INF|+inf|NAN");
    EXPECT_EQ(Wide(u"%f|%e", -NAN, NAN), u"-nan|nan");
}

TEST(FormatWide, PointersAndCounts) {
    const auto digits = 2 * sizeof(void*);
    EXPECT_EQ(Wide(u"%p", reinterpret_cast<void*>(0x1234abcd)),
              Repeat(u'0', digits - 8) + u"1234ABCD");
    EXPECT_EQ(Wide(u"[%*p]", static_cast<int>(digits + 2), static_cast<void*>(nullptr)),
              u"[  " + Repeat(u'0', digits) + u"]");

    int count = -1;
    short shortCount = -1;
    long long longCount = -1;
    EXPECT_EQ(Wide(u"abc%n%5d%hn%I64n!", &count, 1, &shortCount, &longCount), u"abc    1!");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(shortCount, 8);
    EXPECT_EQ(longCount, 8);
    EXPECT_EQ(Wide(u"x%ny", static_cast<int*>(nullptr)), u"xy");
}

TEST(FormatWide, LettersOutsideTheConventionsAndCutFormats) {
    EXPECT_EQ(Wide(u"a%kb"), u"akb");
    const char16_t cut[] = {u'a', u'b', u'%', u'-', u'0', 0, u'x', 0};
    EXPECT_EQ(Wide(cut), u"ab");
    EXPECT_EQ(Wide(u"%F"), u"");
    EXPECT_EQ(Wide(u"%Ff|%Lg|%Nd", 1.0, 2.0, 3), u"1.000000|2|3");
}

TEST(FormatWide, NeverWritesPastItsCapacity) {
    char16_t buffer[8];
    for (char16_t& unit : buffer) {
        unit = u'#';
    }
    EXPECT_EQ(Into(buffer, 4, u"abcdef"), 6u);
    EXPECT_EQ(std::u16string(buffer), u"abc");
    EXPECT_EQ(buffer[4], u'#');

    // Widths and long numbers are counted in full but stored only up to it.
    EXPECT_EQ(Into(buffer, 5, u"%100000d", 7), 100000u);
    EXPECT_EQ(std::u16string(buffer), u"    ");
    EXPECT_EQ(buffer[5], u'#');
    EXPECT_EQ(Into(buffer, 5, u"%-6s%.200f", u"ab", 1.0), 6u + 202u);
    EXPECT_EQ(std::u16string(buffer), u"ab  ");
    EXPECT_EQ(Into(buffer, 6, u"%08.1f", -2.5), 8u);
    EXPECT_EQ(std::u16string(buffer), u"-0000");

    // Capacity 0: nothing written, the length still counted.
    buffer[0] = u'#';
    EXPECT_EQ(Into(buffer, 0, u"%s", u"text"), 4u);
    EXPECT_EQ(buffer[0], u'#');
}

} // namespace
