// The two ways a reply is read: the quick path for plain replies (the parser
// alone) and the full second pass (the outline). Which texts count as plain,
// and that both give the same verdict, entries and reports on generated
// replies that sit on either side of the plain form.

#include "plugin/ReplyReader.h"
#include "plugin/ReplyScan.h"
#include "plugin/SearchContext.h"
#include "tests/support/RecordingLog.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

const size_t kDepth = 256;

// The text with the three zero bytes the receive buffer keeps behind it.
struct Text {
    explicit Text(const std::string& text) : bytes(text) { bytes.append(4, '\0'); }
    const char* c_str() const { return bytes.c_str(); }
    std::string bytes;
};

bool Plain(const std::string& text, size_t* fourth = nullptr) {
    size_t count = 0;
    const bool plain = reply::IsPlain(Text(text).c_str(), kDepth, &count);
    if (fourth)
        *fourth = count;
    return plain;
}

std::string Reply(const std::string& items) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<dictionary status=\"ok\">\n"
           " <result>\n  <word name=\"house\"/>\n  <translations>\n" +
           items + "  </translations>\n </result>\n</dictionary>\n";
}

std::string Nested(size_t depth) {
    std::string text = "<dictionary status=\"ok\">";
    for (size_t i = 1; i < depth; ++i)
        text += "<a>";
    for (size_t i = 1; i < depth; ++i)
        text += "</a>";
    return text + "</dictionary>\n";
}

TEST(PlainReply, TheServiceShapeIsPlainAndItsTranslationsCounted) {
    size_t fourth = 0;
    EXPECT_TRUE(Plain(Reply("   <item name=\"maison\" type=\"noun\"/>\n"
                            "   <item name='AT&amp;T &#xE9;' type=\"caf\xC3\xA9\"></item>\n"),
                      &fourth));
    EXPECT_EQ(fourth, 2u);
    // A reference at an end is never trimmed, so it does not need the outline.
    EXPECT_TRUE(Plain(Reply("<item name=\"&#32;x&#32;\" type=\"noun\"/>")));
    EXPECT_TRUE(Plain("<r/>\r\n\t "));
    EXPECT_TRUE(Plain(Nested(kDepth)));
}

TEST(PlainReply, AnythingTheLookDoesNotFollowIsLeftToTheFullPass) {
    const char* const items[] = {
        "<item name=\" maison\" type=\"noun\"/>",         // white space at the front
        "<item name=\"maison\t\" type=\"noun\"/>",        // ... and at the end
        "<item name=\"\xEF\xBB\xBFmaison\" type=\"n\"/>", // a byte-order mark in front
        "<item name=' maison' type=\"noun\"/>",           // also when single-quoted
        "<item name = \"maison\" type=\"noun\"/>",        // white space around '='
        "<item name=maison type=\"noun\"/>",              // unquoted
        "<item name=\"maison\"type=\"noun\"/>",           // attributes run together
        "<item name=\"m\xC3\" type=\"noun\"/>",           // a lead byte steps over the quote
        "<item name=\"&#12\" type=\"x;\"/>",              // a reference runs on to a ';'
        "<!-- note --><item name=\"m\" type=\"n\"/>",     // a comment
        "<![CDATA[x]]>",                                  // a CDATA section
        "text",                                           // text
        "<item\vname=\"m\" type=\"n\"/>",                 // other white space
        "<\xC3\xA9l name=\"m\" type=\"n\"/>",             // a name beyond ASCII
        "<item name=\"m\" type=\"n\"></itemx>",           // an end tag of another name
    };
    for (const char* item : items)
        EXPECT_FALSE(Plain(Reply(item))) << item;
    EXPECT_FALSE(Plain(Nested(kDepth + 1)));
    EXPECT_FALSE(Plain("\xEF\xBB\xBF<r/>\n"));            // a byte-order mark before the root
    EXPECT_FALSE(Plain("<?XML version=\"1.0\"?><r/>\n")); // the declaration in capitals
    EXPECT_FALSE(Plain("<!DOCTYPE r><r/>\n"));
    EXPECT_FALSE(Plain("<r/><r/>\n")); // something after the root
    EXPECT_FALSE(Plain("<r/><!-- -->"));
    EXPECT_FALSE(Plain("<r>"));
    EXPECT_FALSE(Plain(""));
}

// Both readings of one text: verdict, entries, and what reached the log.
struct Reading {
    int status;
    std::vector<std::u16string> texts;
    std::vector<int32_t> lines;
    size_t entries;
};

template <class Read> Reading ReadWith(Read read, const std::string& text) {
    RecordingLog log;
    basiccpp::SetLog(&log);
    std::vector<SearchResult> results;
    Reading reading;
    reading.status = read(Text(text).c_str(), results);
    basiccpp::SetLog(nullptr);
    for (const SearchResult& r : results) {
        reading.texts.push_back(r.word);
        reading.texts.push_back(r.name);
        reading.texts.push_back(r.type);
    }
    reading.lines = log.Lines();
    reading.entries = log.entries.size();
    return reading;
}

// Replies in the service's shape with pieces that sit on either side of
// the plain form: white space and references at the ends of values, both
// quotes, multibyte and malformed UTF-8, comments, missing attributes, text,
// end tags cut short.
class Generator {
public:
    explicit Generator(uint32_t seed) : random_(seed) {}

    std::string Next() {
        std::string text;
        if (Pick(3))
            text += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
        text += Gap() + "<dictionary status=" + Value("ok") + ">";
        const int results = Below(4);
        for (int r = 0; r < results; ++r) {
            text += Gap() + (Pick(12) ? "<!-- c -->" : "") + "<result>";
            if (!Pick(15))
                text += Gap() + "<word name=" + Value(Word()) + "/>";
            text += Gap() + "<list>";
            const int items = Below(4);
            for (int i = 0; i < items; ++i) {
                text += Gap() + "<item";
                if (!Pick(15))
                    text += " name=" + Value(Word());
                if (!Pick(15))
                    text += " type=" + Value(Word());
                text += Pick(2) ? "/>" : "></item>";
            }
            text += Gap() + "</list>" + Gap() + (Pick(15) ? "x" : "") + "</result>";
        }
        text += Gap() + "</dictionary>";
        if (!Pick(10))
            text += "\n";
        return text;
    }

private:
    int Below(int n) { return static_cast<int>(random_() % static_cast<uint32_t>(n)); }
    bool Pick(int oneIn) { return Below(oneIn) == 0; }
    std::string Gap() { return Pick(3) ? "" : Pick(8) ? "\n\t " : "\n "; }
    std::string Word() {
        static const char* const kPieces[] = {"maison",       "noun",
                                              "AT&amp;T",     "&#xE9;",
                                              "&#32;",        " ",
                                              "\t",           "\r\n",
                                              "caf\xC3\xA9",  "\xEF\xBB\xBF",
                                              "\xC3",         "\xE0\x80\x80",
                                              "\xED\xA0\x80", "\xF4\x90\x80\x80",
                                              "a b",          "\xF0\x9F\x8F\xA0",
                                              "&lt;",         "",
                                              "ok",           "OK"};
        std::string word;
        const int pieces = 1 + Below(3);
        for (int i = 0; i < pieces; ++i)
            word += kPieces[Below(static_cast<int>(sizeof kPieces / sizeof kPieces[0]))];
        return word;
    }
    std::string Value(const std::string& value) {
        return Pick(6) ? "'" + value + "'" : "\"" + value + "\"";
    }

    std::mt19937 random_;
};

TEST(ReplyPaths, BothReadingsAgreeOnGeneratedReplies) {
    Generator generator(20240611);
    size_t plain = 0, read = 0;
    for (int n = 0; n < 10000; ++n) {
        const std::string text = generator.Next();
        const Reading quick = ReadWith(ReadReplyText, text);
        const Reading full = ReadWith(ReadReplyOutlined, text);
        ASSERT_EQ(quick.status, full.status) << text;
        ASSERT_EQ(quick.texts, full.texts) << text;
        ASSERT_EQ(quick.lines, full.lines) << text;
        ASSERT_EQ(quick.entries, full.entries) << text;
        plain += Plain(text);
        read += quick.status == 0 && !quick.texts.empty();
    }
    // Both kinds of text, and readings that give entries, were among them.
    EXPECT_GT(plain, 500u);
    EXPECT_LT(plain, 9500u);
    EXPECT_GT(read, 500u);
}

TEST(ReplyPaths, NestingAtAndPastTheLimitReadsAlike) {
    for (size_t depth : {kDepth - 1, kDepth, kDepth + 1, kDepth + 2}) {
        const std::string text = Nested(depth);
        EXPECT_EQ(ReadWith(ReadReplyText, text).status, ReadWith(ReadReplyOutlined, text).status)
            << depth;
    }
    EXPECT_EQ(ReadWith(ReadReplyText, Nested(kDepth)).status, 0);
    EXPECT_EQ(ReadWith(ReadReplyText, Nested(kDepth + 1)).status, -1);
}

} // namespace
