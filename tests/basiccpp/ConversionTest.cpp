// Conversions between UTF-16 and code pages, and the system's error texts.
#include "basiccpp/BasicString.h"
#include "platform/Platform.h"

#include "tests/support/RecordingLog.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

std::u16string Text(const BasicString& s) {
    return s.GetString();
}

TEST(RawRoutines, WideLengthAndCopy) {
    EXPECT_EQ(WideLength(nullptr), 0);
    EXPECT_EQ(WideLength(u""), 0);
    EXPECT_EQ(WideLength(u"a\U0001F600"), 3);

    EXPECT_EQ(WideCopy(nullptr, nullptr, -1), nullptr);
    std::unique_ptr<char16_t[]> three(WideCopy(u"abcde", nullptr, 3));
    EXPECT_EQ(std::u16string(three.get()), u"abc");
    std::unique_ptr<char16_t[]> whole(WideCopy(u"abcde", nullptr, -1));
    EXPECT_EQ(std::u16string(whole.get()), u"abcde");
    std::unique_ptr<char16_t[]> beyond(WideCopy(u"ab", nullptr, 10));
    EXPECT_EQ(std::u16string(beyond.get()), u"ab");

    char16_t destination[8] = {u'#', u'#', u'#', u'#', u'#', u'#', u'#', u'#'};
    EXPECT_EQ(WideCopy(u"xyz", destination, 2), destination);
    EXPECT_EQ(std::u16string(destination), u"xy");
    EXPECT_EQ(destination[3], u'#');
}

TEST(CodePages, MultiByteToWide) {
    std::unique_ptr<char16_t[]> ascii(MultiByteToWide(0, "Plain text 0-9 ~!", nullptr, -1));
    ASSERT_TRUE(ascii);
    EXPECT_EQ(std::u16string(ascii.get()), u"Plain text 0-9 ~!");

    std::unique_ptr<char16_t[]> utf8(MultiByteToWide(65001, "\xc3\xa9t\xc3\xa9", nullptr, -1));
    ASSERT_TRUE(utf8);
    EXPECT_EQ(std::u16string(utf8.get()), u"\u00e9t\u00e9");

    char16_t destination[4];
    EXPECT_EQ(MultiByteToWide(0, "ok", destination, -1), destination);
    EXPECT_EQ(std::u16string(destination), u"ok");

    EXPECT_EQ(MultiByteToWide(0, nullptr, nullptr, -1), nullptr);
}

TEST(CodePages, WideToMultiByte) {
    std::unique_ptr<char[]> e(WideToMultiByte(65001, u"\u00e9", nullptr, -1));
    ASSERT_TRUE(e);
    EXPECT_EQ(static_cast<unsigned char>(e[0]), 0xC3);
    EXPECT_EQ(static_cast<unsigned char>(e[1]), 0xA9);
    EXPECT_EQ(e[2], 0);

    std::unique_ptr<char[]> empty(WideToMultiByte(65001, u"", nullptr, -1));
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty[0], 0);

    EXPECT_EQ(WideToMultiByte(65001, nullptr, nullptr, -1), nullptr);

    char destination[8] = {'#', '#', '#', '#', '#', '#', '#', '#'};
    EXPECT_EQ(WideToMultiByte(65001, u"\U0001F600", destination, -1), destination);
    EXPECT_EQ(std::string(destination), "\xf0\x9f\x98\x80");
    EXPECT_EQ(destination[5], '#');

    // A count without the terminator still gives a terminated text.
    std::unique_ptr<char[]> part(WideToMultiByte(65001, u"abc", nullptr, 2));
    ASSERT_TRUE(part);
    EXPECT_EQ(std::string(part.get()), "ab");
}

using Utf8 = WithLog;

TEST_F(Utf8, ConvertsToUtf16Units) {
    EXPECT_EQ(Text(Utf8ToWide("\xc3\xa9")), u"\u00e9");
    const BasicString emoji = Utf8ToWide("\xf0\x9f\x98\x80");
    EXPECT_EQ(emoji.GetLength(), 2);
    EXPECT_EQ(emoji.GetString()[0], 0xD83D);
    EXPECT_EQ(emoji.GetString()[1], 0xDE00);
    // Invalid sequences become U+FFFD rather than failing.
    EXPECT_EQ(Text(Utf8ToWide("a\xff"
                              "b")),
              u"a\ufffd"
              u"b");
    EXPECT_TRUE(log.asserts.empty());
    EXPECT_TRUE(log.entries.empty());
}

TEST_F(Utf8, EmptyTextGivesTheSharedEmptyValueSilently) {
    EXPECT_EQ(Utf8ToWide("").GetString(), BasicString::EmptyUnit());
    EXPECT_TRUE(log.asserts.empty());
    EXPECT_TRUE(log.entries.empty());
}

TEST_F(Utf8, NullTextIsLoggedOnceWithTheErrorAndItsSystemText) {
    const BasicString result = Utf8ToWide(nullptr);
    EXPECT_EQ(result.GetString(), BasicString::EmptyUnit());
    ASSERT_EQ(log.entries.size(), 1u);
    const EntryRecord& entry = log.entries[0];
    EXPECT_EQ(entry.file, u"basiccpp\\BasicString");
    EXPECT_EQ(entry.line, 390);
    EXPECT_EQ(entry.level, 1);
    EXPECT_EQ(entry.format, u"String conversion error: (%d) %s");
    const BasicString systemText = SystemErrorText(87);
    ASSERT_GT(systemText.GetLength(), 0);
    EXPECT_EQ(entry.text, u"String conversion error: (87) " + Text(systemText));
    EXPECT_TRUE(log.asserts.empty());
}

// The size query succeeds and the conversion then fails (after writing its
// units, as a call that runs out of room may): one report of line 382, no
// formatted entry, and an empty result whatever the array holds.
TEST_F(Utf8, ASecondConversionThatFailsIsReportedAndGivesNothing) {
    platform::FailMultiByteToWideCharCall(2, platform::kErrorInsufficientBuffer);
    const BasicString result = Utf8ToWide("house");
    platform::FailMultiByteToWideCharCall(0, 0);
    EXPECT_EQ(result.GetString(), BasicString::EmptyUnit());
    EXPECT_EQ(log.Lines(), (std::vector<int32_t>{382}));
    ASSERT_EQ(log.asserts.size(), 1u);
    EXPECT_EQ(log.asserts[0].file, u"basiccpp\\BasicString");
    EXPECT_EQ(log.asserts[0].message, u"Assert Failed!!!");
    EXPECT_TRUE(log.entries.empty());

    // The seam has fired once and is off: the next conversion is whole.
    EXPECT_EQ(Text(Utf8ToWide("house")), u"house");
    EXPECT_EQ(log.asserts.size(), 1u);
}

// A failing size query is the other path: line 390's entry, no report.
TEST_F(Utf8, AFailingSizeQueryIsLoggedWithItsError) {
    platform::FailMultiByteToWideCharCall(1, platform::kErrorNoUnicodeTranslation);
    const BasicString result = Utf8ToWide("house");
    EXPECT_EQ(result.GetString(), BasicString::EmptyUnit());
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].line, 390);
    EXPECT_EQ(log.entries[0].text.rfind(u"String conversion error: (1113) ", 0), 0u);
    EXPECT_TRUE(log.asserts.empty());
}

// A log that was installed and then removed hears nothing: the report goes
// to the installed log only, not to one remembered from before.
TEST(Utf8WithoutLog, NullTextIsNotReported) {
    RecordingLog removed;
    basiccpp::SetLog(&removed);
    basiccpp::SetLog(nullptr);
    EXPECT_EQ(Utf8ToWide(nullptr).GetString(), BasicString::EmptyUnit());
    EXPECT_TRUE(removed.entries.empty());
    EXPECT_TRUE(removed.asserts.empty());
}

TEST(SystemText, KnownCodeWithoutTrailingWhiteSpace) {
    char16_t* raw = nullptr;
    const uint32_t units = platform::FormatSystemMessage(0x1300, 87, 0x0400, &raw);
    ASSERT_GT(units, 0u);
    std::u16string expected(raw, units);
    platform::LocalFreeBuffer(raw);
    while (!expected.empty() &&
           (expected.back() == u'\r' || expected.back() == u'\n' || expected.back() == u' ')) {
        expected.pop_back();
    }

    const BasicString text = SystemErrorText(87);
    EXPECT_EQ(Text(text), expected);
    ASSERT_GT(text.GetLength(), 0);
    const char16_t last = text.GetString()[text.GetLength() - 1];
    EXPECT_NE(last, u'\n');
    EXPECT_NE(last, u'\r');
    EXPECT_NE(last, u' ');
}

TEST(SystemText, UnknownCodeGivesTheSharedEmptyValue) {
    EXPECT_EQ(SystemErrorText(0x20001234u).GetString(), BasicString::EmptyUnit());
}

} // namespace
