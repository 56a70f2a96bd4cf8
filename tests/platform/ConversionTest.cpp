// Text conversions through the platform seam, byte by byte. Both builds run
// the same cases: the Windows conversion is the reference for the posix one.
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

using namespace platform;

namespace {

// Size first, then convert into exactly that many units; both calls must
// agree. count -1 converts the whole zero-terminated text.
std::u16string Widen(const std::string& bytes, int count, uint32_t codePage = kCodePageUtf8) {
    const int needed = MultiByteToWideChar(codePage, 0, bytes.c_str(), count, nullptr, 0);
    EXPECT_GT(needed, 0) << "error " << LastError();
    std::u16string out(static_cast<size_t>(needed > 0 ? needed : 0), u'\x7777');
    const int written = MultiByteToWideChar(codePage, 0, bytes.c_str(), count, &out[0], needed);
    EXPECT_EQ(written, needed);
    return out;
}

std::u16string WidenAll(const std::string& bytes) {
    return Widen(bytes, static_cast<int>(bytes.size()));
}

std::string Narrow(const std::u16string& units, int count, uint32_t codePage = kCodePageUtf8) {
    const int needed = WideCharToMultiByte(codePage, 0, units.c_str(), count, nullptr, 0);
    EXPECT_GT(needed, 0) << "error " << LastError();
    std::string out(static_cast<size_t>(needed > 0 ? needed : 0), '\x77');
    const int written = WideCharToMultiByte(codePage, 0, units.c_str(), count, &out[0], needed);
    EXPECT_EQ(written, needed);
    return out;
}

std::string NarrowAll(const std::u16string& units) {
    return Narrow(units, static_cast<int>(units.size()));
}

} // namespace

TEST(Utf8Decode, ValidTextsAndTheTerminator) {
    EXPECT_EQ(Widen("house", -1), std::u16string(u"house", 6)); // terminator counted
    EXPECT_EQ(Widen("", -1), std::u16string(1, u'\0'));
    EXPECT_EQ(WidenAll("\xC3\xA9"), u"\u00E9");
    EXPECT_EQ(WidenAll("\xE2\x82\xAC"), u"\u20AC");
    EXPECT_EQ(WidenAll("\xF0\x9F\x98\x80"), u"\xD83D\xDE00");
    EXPECT_EQ(WidenAll("\xF4\x8F\xBF\xBF"), u"\xDBFF\xDFFF"); // U+10FFFF, the last code point
    EXPECT_EQ(WidenAll("\xEF\xBF\xBF"), u"\xFFFF");
}

// How many U+FFFD a malformed sequence gives, and where decoding resumes.
TEST(Utf8Decode, MalformedSequencesBecomeReplacementCharacters) {
    struct Case {
        const char* bytes;
        std::u16string expected;
    } cases[] = {
        {"\x80", u"\xFFFD"},                         // stray continuation byte
        {"\xBF\x41", u"\xFFFD\x41"},                 //
        {"\xFF\x41", u"\xFFFD\x41"},                 // never a lead
        {"\xF5\x80\x41", u"\xFFFD\xFFFD\x41"},       // lead past U+10FFFF
        {"\xC0\x80", u"\xFFFD\xFFFD"},               // overlong 2-byte: C0 is no lead
        {"\xC1\xBF\x41", u"\xFFFD\xFFFD\x41"},       //
        {"\xE0\x80\x80", u"\xFFFD\xFFFD"},           // overlong 3-byte: lead and 2nd byte
        {"\xF0\x8F\xBF\xBF", u"\xFFFD\xFFFD\xFFFD"}, // overlong 4-byte
        {"\xED\xA0\x80", u"\xFFFD\xFFFD"},           // an encoded surrogate
        {"\xED\xBF\xBF\x41", u"\xFFFD\xFFFD\x41"},   //
        {"\xF4\x90\x80\x80", u"\xFFFD\xFFFD\xFFFD"}, // above U+10FFFF
        {"\xC3\x41", u"\xFFFD\x41"},                 // a lead without its continuation
        {"\xE2\x82\x41\x41", u"\xFFFD\x41\x41"},     // cut after two of three bytes
        {"\xF0\x9F\x98\x41", u"\xFFFD\x41"},         //
        {"\xC3\xC3\xA9", u"\xFFFD\xE9"},             // a new lead ends the old sequence
        {"\x41\xE2\x82", u"\x41\xFFFD"},             // cut by the end of the input
        {"\xF0\x9F\x98", u"\xFFFD"},                 //
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WidenAll(c.bytes), c.expected) << "bytes " << ::testing::PrintToString(c.bytes);
    }
}

#ifndef _WIN32
// A sequence cut short right before the end of the input takes nothing after
// it: not a character, not the terminator. (Wine's own conversion takes the
// rest of the input there; the Windows lanes compare the two in the
// differential test, which spells that difference out.)
TEST(Utf8Decode, ACutSequenceTakesNothingAfterIt) {
    EXPECT_EQ(WidenAll("A\xF0\x42"), u"A\xFFFD\x42"); // "B" after a cut 4-byte lead
    EXPECT_EQ(WidenAll("A\xE2\x82\x42"), u"A\xFFFD\x42");
    EXPECT_EQ(WidenAll("\xF0\x9F\x98\x42"), u"\xFFFD\x42");
    EXPECT_EQ(WidenAll("\xC3\xE2\x42"), u"\xFFFD\xFFFD\x42");
    EXPECT_EQ(Widen("A\xE0", -1), std::u16string(u"A\xFFFD", 3));
    EXPECT_EQ(Widen("A\xF0\x9F", -1), std::u16string(u"A\xFFFD", 3));
    EXPECT_EQ(Widen("A\xF0\x42", -1), std::u16string(u"A\xFFFD\x42", 4));
    EXPECT_EQ(Widen("A\xC3", -1), std::u16string(u"A\xFFFD", 3));
}
#endif

TEST(Utf8Decode, StrictModeRefusesMalformedInput) {
    char16_t out[8];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, kMbErrInvalidChars, "a\x80", -1, out, 8), 0);
    EXPECT_EQ(LastError(), kErrorNoUnicodeTranslation);
    EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, kMbErrInvalidChars, "a\xC3\xA9", -1, out, 8), 3);
    EXPECT_EQ(std::u16string(out), u"a\u00E9");
}

TEST(Utf8Encode, CodePointsAndUnpairedSurrogates) {
    EXPECT_EQ(Narrow(u"\u00E9", -1), std::string("\xC3\xA9", 3));
    EXPECT_EQ(Narrow(u"", -1), std::string(1, '\0'));
    EXPECT_EQ(NarrowAll(u"A\u07FF\u0800\uFFFF"), "A\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF");
    EXPECT_EQ(NarrowAll(u"\xD83D\xDE00"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(NarrowAll(u"\xD800"), "\xEF\xBF\xBD");
    EXPECT_EQ(NarrowAll(u"\xDC00"), "\xEF\xBF\xBD");
    EXPECT_EQ(NarrowAll(u"\xD800\x41"), "\xEF\xBF\xBD\x41");
    EXPECT_EQ(NarrowAll(u"\xDE00\xD83D"), "\xEF\xBF\xBD\xEF\xBF\xBD"); // pair in the wrong order
    EXPECT_EQ(NarrowAll(u"\xD83D\xD83D\xDE00"), "\xEF\xBF\xBD\xF0\x9F\x98\x80");
    // A count that splits a pair leaves the high half unpaired.
    EXPECT_EQ(Narrow(u"\xD83D\xDE00", 1), "\xEF\xBF\xBD");
}

TEST(Utf8Encode, StrictModeRefusesUnpairedSurrogates) {
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(kCodePageUtf8, kWcErrInvalidChars, u"a\xD800", -1, nullptr, 0),
              0);
    EXPECT_EQ(LastError(), kErrorNoUnicodeTranslation);
    EXPECT_EQ(
        WideCharToMultiByte(kCodePageUtf8, kWcErrInvalidChars, u"a\xD83D\xDE00", -1, nullptr, 0),
        6);
}

TEST(AnsiCodePage, AsciiIsUnchanged) {
    const std::string ascii = "..\\plugin-lexigrove %20~";
    const std::u16string wide = u"..\\plugin-lexigrove %20~";
    EXPECT_EQ(Widen(ascii, -1, kCodePageAnsi), std::u16string(wide.c_str(), wide.size() + 1));
    EXPECT_EQ(Narrow(wide, -1, kCodePageAnsi), std::string(ascii.c_str(), ascii.size() + 1));
}

TEST(ConversionProtocol, ACountWithoutTheTerminatorWritesNone) {
    char16_t out[4] = {u'x', u'x', u'x', u'x'};
    EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, 0, "abc", 2, nullptr, 0), 2);
    EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, 0, "abc", 2, out, 4), 2);
    EXPECT_EQ(out[2], u'x');
    char bytes[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(WideCharToMultiByte(kCodePageUtf8, 0, u"\u00E9bc", 1, bytes, 4), 2);
    EXPECT_EQ(bytes[2], 'x');
}

TEST(ConversionProtocol, TooSmallADestinationFails) {
    char16_t out[8];
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, 0, "house", -1, out, 5), 0); // needs 6
    EXPECT_EQ(LastError(), kErrorInsufficientBuffer);
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(kCodePageUtf8, 0, "\xF0\x9F\x98\x80", -1, out, 2), 0); // 3
    EXPECT_EQ(LastError(), kErrorInsufficientBuffer);

    char bytes[8];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(kCodePageUtf8, 0, u"\u00E9", -1, bytes, 2), 0); // needs 3
    EXPECT_EQ(LastError(), kErrorInsufficientBuffer);
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(kCodePageAnsi, 0, u"house", -1, bytes, 5), 0);
    EXPECT_EQ(LastError(), kErrorInsufficientBuffer);
}

TEST(ConversionProtocol, InvalidArgumentsFailWithInvalidParameter) {
    char16_t out[8];
    char bytes[8];
    auto check = [](const char* what, int result) {
        EXPECT_EQ(result, 0) << what;
        EXPECT_EQ(LastError(), kErrorInvalidParameter) << what;
        SetLastError(0);
    };
    SetLastError(0);
    check("null source", MultiByteToWideChar(kCodePageUtf8, 0, nullptr, -1, out, 8));
    check("null source, size", MultiByteToWideChar(kCodePageUtf8, 0, nullptr, -1, nullptr, 0));
    check("count 0", MultiByteToWideChar(kCodePageUtf8, 0, "abc", 0, out, 8));
    check("no destination", MultiByteToWideChar(kCodePageUtf8, 0, "abc", -1, nullptr, 8));
    check("unknown page", MultiByteToWideChar(12345, 0, "abc", -1, out, 8));
    check("wide null source", WideCharToMultiByte(kCodePageUtf8, 0, nullptr, -1, bytes, 8));
    check("wide count 0", WideCharToMultiByte(kCodePageUtf8, 0, u"abc", 0, bytes, 8));
    check("wide unknown page", WideCharToMultiByte(12345, 0, u"abc", -1, bytes, 8));
}

TEST(LastError, IsKeptPerThread) {
    // Starting and joining a thread may itself change the last error, so the
    // two threads take turns through atomics only, while both are running.
    std::atomic<int> turn{0};
    uint32_t otherBefore = 1;
    uint32_t otherAfter = 1;
    std::thread other([&] {
        while (turn.load() != 1) {
        }
        otherBefore = LastError();
        MultiByteToWideChar(kCodePageUtf8, 0, nullptr, -1, nullptr, 0);
        otherAfter = LastError();
        turn.store(2);
    });
    SetLastError(kErrorInvalidFlags);
    turn.store(1);
    while (turn.load() != 2) {
    }
    const uint32_t mine = LastError();
    other.join();
    EXPECT_EQ(otherBefore, kErrorSuccess);
    EXPECT_EQ(otherAfter, kErrorInvalidParameter);
    EXPECT_EQ(mine, kErrorInvalidFlags);
}
