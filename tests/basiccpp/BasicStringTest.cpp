// The wide string's states: the shared empty value, owned buffers, copies,
// Allocate's checks and TrimRight.
#include "basiccpp/BasicString.h"

#include "tests/support/RecordingLog.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::u16string Text(const BasicString& s) {
    return s.GetString();
}

using StringStates = WithLog;

TEST_F(StringStates, EveryEmptyStringPointsAtTheSharedEmptyUnit) {
    const char16_t* empty = BasicString::EmptyUnit();
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(*empty, 0);

    const BasicString byDefault;
    const BasicString nullWide(static_cast<const char16_t*>(nullptr));
    const BasicString emptyWide(u"");
    const BasicString nullNarrow(static_cast<const char*>(nullptr));
    const BasicString emptyNarrow("");
    const BasicString copyOfEmpty(byDefault);
    for (const BasicString* s :
         {&byDefault, &nullWide, &emptyWide, &nullNarrow, &emptyNarrow, &copyOfEmpty}) {
        EXPECT_EQ(s->GetString(), empty);
        EXPECT_EQ(s->GetLength(), 0);
    }
    EXPECT_TRUE(log.asserts.empty());
}

TEST_F(StringStates, ReleaseLeavesNullAndNeverFreesTheSharedUnit) {
    BasicString empty;
    empty.Release();
    EXPECT_EQ(empty.GetString(), nullptr);
    EXPECT_EQ(empty.GetLength(), 0);
    empty.Release(); // null again: nothing to free

    BasicString owned(u"abc");
    owned.Release();
    EXPECT_EQ(owned.GetString(), nullptr);
    // The shared unit is still intact for everyone else.
    EXPECT_EQ(*BasicString::EmptyUnit(), 0);
}

TEST_F(StringStates, CopiesAreDeep) {
    const BasicString original(u"d\u00e9j\u00e0");
    BasicString copy(original);
    EXPECT_NE(copy.GetString(), original.GetString());
    EXPECT_EQ(Text(copy), u"d\u00e9j\u00e0");
    copy.Format(u"%s", u"other");
    EXPECT_EQ(Text(original), u"d\u00e9j\u00e0");

    BasicString assigned(u"old");
    assigned = original;
    EXPECT_NE(assigned.GetString(), original.GetString());
    EXPECT_EQ(Text(assigned), u"d\u00e9j\u00e0");
    EXPECT_EQ(assigned.GetLength(), 4);

    // A surrogate pair counts as two units.
    EXPECT_EQ(BasicString(u"\U0001F600").GetLength(), 2);
}

TEST_F(StringStates, SelfAssignmentKeepsTheText) {
    BasicString s(u"keep");
    const char16_t* before = s.GetString();
    BasicString& alias = s;
    s = alias;
    EXPECT_EQ(s.GetString(), before);
    EXPECT_EQ(Text(s), u"keep");
}

TEST_F(StringStates, CopyOfAnEmptyOwnedBufferIsTheSharedEmptyValue) {
    BasicString spaces(u"   ");
    const char16_t* buffer = spaces.GetString();
    spaces.TrimRight();
    EXPECT_EQ(spaces.GetString(), buffer); // same buffer, now empty
    EXPECT_EQ(spaces.GetLength(), 0);

    const BasicString copy(spaces);
    EXPECT_EQ(copy.GetString(), BasicString::EmptyUnit());
    BasicString assigned(u"x");
    assigned = spaces;
    EXPECT_EQ(assigned.GetString(), BasicString::EmptyUnit());
}

TEST_F(StringStates, NarrowTextIsWidenedThroughTheAnsiCodePage) {
    const BasicString s("plain ASCII 123");
    EXPECT_EQ(Text(s), u"plain ASCII 123");
    EXPECT_EQ(s.GetLength(), 15);
}

TEST_F(StringStates, AllocateChecksItsCount) {
    BasicString s(u"previous");
    EXPECT_EQ(s.Allocate(0), 0);
    EXPECT_EQ(s.GetString(), BasicString::EmptyUnit());
    EXPECT_EQ(s.Allocate(-7), 0);
    EXPECT_EQ(s.GetString(), BasicString::EmptyUnit());
    EXPECT_EQ(log.Lines(), (std::vector<int32_t>{1928, 1928}));
    for (const AssertRecord& r : log.asserts) {
        EXPECT_EQ(r.file, u".\\BasicString");
        EXPECT_EQ(r.message, u"Assert Failed!!!");
    }

    log.asserts.clear();
    EXPECT_EQ(s.Allocate(3), 1);
    EXPECT_NE(s.GetString(), BasicString::EmptyUnit());
    EXPECT_TRUE(log.asserts.empty());
}

TEST_F(StringStates, IsReadableTextRefusesOnlyUnreadableTexts) {
    EXPECT_EQ(BasicString::IsReadableText(nullptr, 0xFFFFFFFFu), 0);
    EXPECT_EQ(BasicString::IsReadableText(u"abc", 0xFFFFFFFFu), 1);
    EXPECT_EQ(BasicString::IsReadableText(u"", 0xFFFFFFFFu), 1);
}

using TrimRight = WithLog;

TEST_F(TrimRight, CutsTrailingWhiteSpaceOnly) {
    BasicString crlf(u"message text \r\n");
    crlf.TrimRight();
    EXPECT_EQ(Text(crlf), u"message text");

    BasicString inner(u"a b\tc");
    inner.TrimRight();
    EXPECT_EQ(Text(inner), u"a b\tc");

    BasicString mixed(u"x \t y\v\f");
    mixed.TrimRight();
    EXPECT_EQ(Text(mixed), u"x \t y");
}

TEST_F(TrimRight, UsesTheWindowsWhiteSpaceSet) {
    BasicString unicodeSpaces(u"w\u00a0\u2003\u3000\u2029\u202f\u205f\u1680");
    unicodeSpaces.TrimRight();
    EXPECT_EQ(Text(unicodeSpaces), u"w");

    // Not white space for the Windows runtime: NEL, zero-width space, BOM.
    for (const char16_t* kept : {u"w\u0085", u"w\u200b", u"w\ufeff"}) {
        BasicString s(kept);
        s.TrimRight();
        EXPECT_EQ(Text(s), kept);
    }
}

TEST_F(TrimRight, LeavesEmptyStringsAlone) {
    BasicString empty;
    empty.TrimRight(); // would fault if it wrote the shared unit (read-only)
    EXPECT_EQ(empty.GetString(), BasicString::EmptyUnit());
    BasicString released(u"x");
    released.Release();
    released.TrimRight();
    EXPECT_EQ(released.GetString(), nullptr);
}

} // namespace
