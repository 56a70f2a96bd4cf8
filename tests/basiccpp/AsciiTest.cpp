#include "basiccpp/Ascii.h"

#include <gtest/gtest.h>

// The neighbours of the ASCII letters and every byte of a UTF-8 or UTF-16
// text outside ASCII stay as they are, whatever the signedness of char.
TEST(Ascii, ChangesOnlyAsciiLetters) {
    EXPECT_EQ(ascii::Lowered(std::string_view("@AZ[`az{ \xC3\x84\xCE\xA3")),
              "@az[`az{ \xC3\x84\xCE\xA3");
    EXPECT_EQ(ascii::Lowered(std::u16string_view(u"HOUSE \u00C4\u0130\uFF21")),
              u"house \u00C4\u0130\uFF21");
    EXPECT_TRUE(ascii::EqualsIgnoringCase("Content-Length", "content-LENGTH"));
    EXPECT_FALSE(ascii::EqualsIgnoringCase("\xC3\x84", "\xC3\xA4"));
    EXPECT_FALSE(ascii::EqualsIgnoringCase("@", "`"));
}

TEST(Ascii, PrefixAndTrim) {
    EXPECT_TRUE(ascii::StartsWithIgnoringCase("HTTP://x", "http://"));
    EXPECT_FALSE(ascii::StartsWithIgnoringCase("http:", "http://"));
    EXPECT_TRUE(ascii::StartsWithIgnoringCase("", ""));
    EXPECT_EQ(ascii::Trimmed(" \t\r\nword x\r\n"), "word x");
    EXPECT_EQ(ascii::Trimmed(" \t "), "");
    // A no-break space is not ASCII white space.
    EXPECT_EQ(ascii::Trimmed("\xC2\xA0word"), "\xC2\xA0word");
}
