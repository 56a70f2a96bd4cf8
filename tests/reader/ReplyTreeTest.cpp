// The tree a reply is read into against TinyXML's own (TreeOracle.h): on
// replies generated in the service's shape, on hand-picked texts of every
// kind of node and spelling, and on the fuzz target's seed corpus; and where
// nesting is refused.

#include "plugin/ReplyTree.h"
#include "plugin/ReplyReader.h"
#include "plugin/SearchContext.h"
#include "tests/reader/TreeOracle.h"
#include "tests/support/RecordingLog.h"

#include "FuzzCorpus.h"

#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

// The text with the three zero bytes the receive buffer keeps behind it.
struct Text {
    explicit Text(const std::string& text) : bytes(text) { bytes.append(4, '\0'); }
    const char* c_str() const { return bytes.c_str(); }
    std::string bytes;
};

std::string Compare(const std::string& text, bool* parsed = nullptr) {
    return oracle::Compare(Text(text).c_str(), reply::kMaxDepth, parsed);
}

std::string Reply(const std::string& items) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<dictionary status=\"ok\">\n"
           " <result>\n  <word name=\"house\"/>\n  <translations>\n" +
           items + "  </translations>\n </result>\n</dictionary>\n";
}

std::string Nested(size_t depth, const std::string& inner = "") {
    std::string text = "<dictionary status=\"ok\">";
    for (size_t i = 1; i < depth; ++i)
        text += "<a>";
    text += inner;
    for (size_t i = 1; i < depth; ++i)
        text += "</a>";
    return text + "</dictionary>\n";
}

// The reading's status; its reports go to a log of their own.
int ReadStatus(const std::string& text) {
    RecordingLog log;
    basiccpp::SetLog(&log);
    std::vector<SearchResult> results;
    const int status = ReadReplyText(Text(text).c_str(), results);
    basiccpp::SetLog(nullptr);
    return status;
}

TEST(ReplyTree, TheServiceShapeAndEverySpellingAroundItReadAsTinyXmlParses) {
    const char* const items[] = {
        "<item name=\"maison\" type=\"noun\"/>",
        "<item name='AT&amp;T &#xE9;' type=\"caf\xC3\xA9\"></item>",
        "<item name=\"&#32;x&#32;\" type=\"noun\"/>",     // references at both ends
        "<item name=\" maison\" type=\"noun\"/>",         // white space at the front
        "<item name=\"maison\t\" type=\"noun\"/>",        // ... and at the end
        "<item name=\"\xEF\xBB\xBFmaison\" type=\"n\"/>", // a byte-order mark in front
        "<item name=\"\xEF\xBB\" type=\"n\"/>",           // half of one
        "<item name=' maison' type=\"noun\"/>",           // single-quoted
        "<item name = \"maison\" type=\"noun\"/>",        // white space around '='
        "<item name=maison type=\"noun\"/>",              // unquoted
        "<item name=\"maison\"type=\"noun\"/>",           // attributes run together
        "<item name=\"m\xC3\" type=\"noun\"/>",           // a lead byte steps over the quote
        "<item name=\"&#12\" type=\"x;\"/>",              // a reference runs on to a ';'
        "<item name=\" &#0; \" type=\"a &#0; \"/>",       // a zero byte from a reference
        "<!-- note --><item name=\"m\" type=\"n\"/>",     // a comment
        "<![CDATA[x]]>",                                  // a CDATA section
        "text",                                           // text
        "<item\vname=\"m\" type=\"n\"/>",                 // other white space
        "<\xC3\xA9l name=\"m\" type=\"n\"/>",             // a name beyond ASCII
        "<item name=\"m\" type=\"n\"></itemx>",           // an end tag of another name
        "<item name=\"m\" name=\"n\"/>",                  // an attribute twice
        "<item name=\"m\" type=\"n\"></item >",           // white space in the end tag
        "<item name=\"m\" type=\"n\"></item",             // an end tag cut short
    };
    for (const char* item : items)
        EXPECT_EQ("", Compare(Reply(item))) << item;
    // A lead byte's step over a zero byte in the value, and white space after.
    const char overZero[] = "<item name=\"\xE0 \0 \" type=\"n \xC3\0 \"/>";
    EXPECT_EQ("", Compare(Reply(std::string(overZero, sizeof overZero - 1))));
    const char* const documents[] = {
        "<r/>\r\n\t ",
        "\xEF\xBB\xBF<r/>\n",            // a byte-order mark before the root
        "<?XML version=\"1.0\"?><r/>\n", // the declaration in capitals
        "<?xml version=\"1.0\" standalone='yes' encoding=\"x\"?><r/>\n",
        "<!DOCTYPE r><r/>\n",
        "<r/><r/>\n",   // something after the root
        "<r/><!-- -->", // a comment as the last bytes
        "<r/> text after the root",
        "<r>",
        "<r a='1'",
        "",
        " \r\n",
        "<r>a &amp; b  c<![CDATA[ x ]]>&#xZ;</r>\n",
        "<r>\xF0</r>\n",
    };
    for (const char* document : documents)
        EXPECT_EQ("", Compare(document)) << document;
}

TEST(ReplyTree, TheSeedCorpusReadsAsTinyXmlParsesIt) {
    ASSERT_GE(std::size(kFuzzCorpus), 10u);
    for (const CorpusFile& file : kFuzzCorpus)
        EXPECT_EQ("", Compare(std::string(file.bytes, file.length))) << file.name;
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

TEST(ReplyTree, GeneratedRepliesReadAsTinyXmlParsesThem) {
    Generator generator(20240611);
    size_t parsed = 0, read = 0;
    for (int n = 0; n < 10000; ++n) {
        const std::string text = generator.Next();
        bool ok = false;
        ASSERT_EQ("", Compare(text, &ok)) << text;
        parsed += ok;
        read += ReadStatus(text) == 0;
    }
    // Texts TinyXML parses and texts it refuses, and readings that succeed.
    EXPECT_GT(parsed, 5000u);
    EXPECT_LT(parsed, 9900u);
    EXPECT_GT(read, 500u);
}

// Nesting up to the limit is read; an element one deeper, even an empty
// one, refuses the whole text, which TinyXML would have parsed; far deeper
// nesting is refused without exhausting the stack.
TEST(ReplyTree, NestingPastTheLimitIsRefused) {
    const size_t limit = reply::kMaxDepth;
    for (size_t depth : {limit - 1, limit}) {
        EXPECT_EQ("", Compare(Nested(depth))) << depth;
        EXPECT_EQ(0, ReadStatus(Nested(depth))) << depth;
    }
    for (const std::string& text :
         {Nested(limit + 1), Nested(limit, "<b/>"), Nested(limit, "<b>"), Nested(100000)}) {
        reply::ReplyDocument document;
        EXPECT_EQ(nullptr, document.Read(Text(text).c_str()));
        EXPECT_TRUE(document.RefusedDepth());
        EXPECT_EQ(-1, ReadStatus(text));
    }
    EXPECT_EQ("refused for depth", Compare(Nested(limit + 1)));
    // Text, comments and the like at the deepest level are not elements.
    EXPECT_EQ("", Compare(Nested(limit, "text<!-- c --><![CDATA[x]]><?pi?>")));
}

} // namespace
