// Escaping of the search word and the request address it goes into.
#include "plugin/Languages.h"
#include "plugin/Search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::u16string Text(const BasicString& s) {
    return std::u16string(s.GetString());
}

TEST(QueryEncode, SpacesBecomePlusAndUtf8BytesArePercentEncoded) {
    EXPECT_EQ(Text(QueryEncode(u"caf\u00e9 au lait")), u"caf%C3%A9+au+lait");
    // A character outside the BMP: four UTF-8 bytes.
    EXPECT_EQ(Text(QueryEncode(u"\U0001F600")), u"%F0%9F%98%80");
    EXPECT_EQ(Text(QueryEncode(u"\u0434\u043e\u043c")), u"%D0%B4%D0%BE%D0%BC");
}

TEST(QueryEncode, OnlyLettersDigitsAndSlashesTravelUnescaped) {
    EXPECT_EQ(Text(QueryEncode(u"AZaz09/\\")), u"AZaz09/\\");
    EXPECT_EQ(Text(QueryEncode(u"-._~*")), u"%2D%2E%5F%7E%2A");
    EXPECT_EQ(Text(QueryEncode(u"a&b=c?d#e%f+g")), u"a%26b%3Dc%3Fd%23e%25f%2Bg");
    EXPECT_EQ(Text(QueryEncode(u"\t\n")), u"%09%0A");
}

// Every ASCII byte on its own, and all of them in one word: the expected
// text is built from the rule, not from the encoder's table.
TEST(QueryEncode, EveryAsciiByteAgainstTheRule) {
    std::u16string all, allEscaped;
    for (char16_t byte = 1; byte < 0x80; ++byte) {
        std::string expected;
        if (byte == u' ') {
            expected = "+";
        } else if ((byte >= u'a' && byte <= u'z') || (byte >= u'A' && byte <= u'Z') ||
                   (byte >= u'0' && byte <= u'9') || byte == u'/' || byte == u'\\') {
            expected = std::string(1, static_cast<char>(byte));
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned>(byte));
            expected = hex;
        }
        const std::u16string wide(expected.begin(), expected.end());
        const char16_t word[] = {byte, 0};
        EXPECT_EQ(Text(QueryEncode(word)), wide) << "byte " << static_cast<unsigned>(byte);
        all += byte;
        allEscaped += wide;
    }
    EXPECT_EQ(Text(QueryEncode(all.c_str())), allEscaped);
    // 62 letters and digits, two slashes and the space; the other 62 escaped.
    EXPECT_EQ(allEscaped.size(), 62u + 2u + 1u + 3u * 62u);
}

TEST(QueryEncode, EmptyWordGivesTheSharedEmptyValue) {
    const BasicString escaped = QueryEncode(u"");
    EXPECT_EQ(escaped.GetLength(), 0);
    EXPECT_EQ(escaped.GetString(), BasicString::EmptyUnit());
}

TEST(QueryEncode, UnpairedSurrogateIsSentAsReplacementCharacter) {
    const char16_t lone[] = {u'a', 0xD800, u'b', 0};
    EXPECT_EQ(Text(QueryEncode(lone)), u"a%EF%BF%BDb");
}

TEST(RequestAddress, CarriesTheCodesUnchangedAndTheEscapedWord) {
    const std::u16string prefix =
        u"http://" LEXIGROVE_DICTIONARY_HOST u"/serverjobs/dictionary.php?fromlang=";
    EXPECT_EQ(Text(RequestAddress(u"pt-br", u"en", QueryEncode(u"p\u00e3o doce").GetString())),
              prefix + u"pt-br&tolang=en&word=p%C3%A3o+doce");
    EXPECT_EQ(Text(RequestAddress(u"en", u"fr", QueryEncode(u"").GetString())),
              prefix + u"en&tolang=fr&word=");
}

// The query's keys in order, split at "&" and "=".
std::vector<std::u16string> QueryKeys(const std::u16string& address) {
    std::vector<std::u16string> keys;
    size_t at = address.find(u'?');
    while (at != std::u16string::npos) {
        const size_t start = at + 1;
        const size_t equals = address.find(u'=', start);
        const size_t next = address.find(u'&', start);
        keys.push_back(address.substr(start, std::min(equals, next) - start));
        at = next;
    }
    return keys;
}

TEST(QueryCode, EveryListedCodeGoesOutUnchanged) {
    for (const LanguageEntry& language : kLanguages) {
        EXPECT_EQ(Text(QueryCode(language.code)), std::u16string(language.code));
    }
    EXPECT_EQ(Text(QueryCode(u"AZaz09-")), u"AZaz09-");
    EXPECT_EQ(Text(QueryCode(u"")), u"");
}

// Any other unit makes the whole code escaped as a word is ("-" included),
// so that no code can add a query key or change one.
TEST(QueryCode, AnyOtherCodeIsEscapedAsTheWordIs) {
    const char16_t* const hostile[] = {u"en&tolang=de", u"de#",     u"en fr",     u"pt_BR",
                                       u"pt-br&word=x", u"fr?x=1",  u"caf\u00e9", u"en%26",
                                       u"zh-cn/",       u"en\u3000"};
    for (const char16_t* code : hostile) {
        EXPECT_EQ(Text(QueryCode(code)), Text(QueryEncode(code)));
    }
    EXPECT_EQ(Text(QueryCode(u"en&tolang=de")), u"en%26tolang%3Dde");
    EXPECT_EQ(Text(QueryCode(u"pt-br&word=x")), u"pt%2Dbr%26word%3Dx");
}

TEST(RequestAddress, ACodeCannotAddOrChangeAQueryKey) {
    const std::vector<std::u16string> keys = {u"fromlang", u"tolang", u"word"};
    const char16_t* const hostile[] = {u"en&tolang=de", u"en&word=maison", u"fr#", u"x=y", u"&",
                                       u"en;tolang=de"};
    for (const char16_t* code : hostile) {
        const std::u16string from = Text(RequestAddress(code, u"fr", u"house"));
        const std::u16string to = Text(RequestAddress(u"en", code, u"house"));
        EXPECT_EQ(QueryKeys(from), keys) << std::string(from.begin(), from.end());
        EXPECT_EQ(QueryKeys(to), keys) << std::string(to.begin(), to.end());
        EXPECT_EQ(from.find(u'#'), std::u16string::npos);
    }
    const std::u16string prefix =
        u"http://" LEXIGROVE_DICTIONARY_HOST u"/serverjobs/dictionary.php?fromlang=";
    EXPECT_EQ(Text(RequestAddress(u"en&tolang=de", u"fr", u"house")),
              prefix + u"en%26tolang%3Dde&tolang=fr&word=house");
}

TEST(RequestAddress, MissingCodesAreWrittenAsNull) {
    const std::u16string prefix =
        u"http://" LEXIGROVE_DICTIONARY_HOST u"/serverjobs/dictionary.php?fromlang=";
    EXPECT_EQ(Text(RequestAddress(nullptr, nullptr, u"house")),
              prefix + u"(null)&tolang=(null)&word=house");
    EXPECT_EQ(Text(RequestAddress(u"en", nullptr, u"house")),
              prefix + u"en&tolang=(null)&word=house");
}

} // namespace
