// Reading replies placed in the receive buffer: what is appended, what fails
// and with which report, and how attribute values are taken.

#include "plugin/ReplyReader.h"
#include "basiccpp/BasicString.h"
#include "basiccpp/Log.h"
#include "plugin/SearchContext.h"
#include "tests/support/RecordingLog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct Entry {
    std::u16string word, name, type;
    bool operator==(const Entry& other) const {
        return word == other.word && name == other.name && type == other.type;
    }
};

std::ostream& operator<<(std::ostream& out, const Entry& e) {
    const auto narrow = [](const std::u16string& s) {
        std::string n;
        for (char16_t c : s)
            n += c < 0x80 ? static_cast<char>(c) : '?';
        return n;
    };
    return out << "{" << narrow(e.word) << "|" << narrow(e.name) << "|" << narrow(e.type) << "}";
}

class ReaderTest : public ::testing::Test {
protected:
    void SetUp() override { basiccpp::SetLog(&log_); }
    void TearDown() override {
        basiccpp::SetLog(nullptr);
        Lines(); // every report is the plugin's own
    }

    // Places the reply in the receive buffer, ended with a zero byte, the
    // way a download leaves it, and reads it.
    int Read(const std::string& reply) {
        while (context_.buffer.size() < reply.size() + 1)
            context_.buffer.Grow();
        std::memcpy(context_.buffer.data(), reply.data(), reply.size());
        context_.buffer.data()[reply.size()] = 0;
        return ReadReply(context_);
    }
    std::vector<Entry> Entries() const {
        std::vector<Entry> entries;
        for (const SearchResult& r : context_.results)
            entries.push_back({r.word, r.name, r.type});
        return entries;
    }
    // The word of the only entry a reply with that word element appends.
    std::u16string WordOf(const std::string& wordElement) {
        context_.results.clear();
        const int status = Read("<r status=\"ok\"><result>" + wordElement +
                                "<l><i name=\"n\" type=\"t\"/></l></result></r>\n");
        EXPECT_EQ(0, status) << wordElement;
        return context_.results.size() == 1 ? context_.results[0].word : u"<none>";
    }
    // The lines of the reports so far, each checked to be the plugin's.
    std::vector<int32_t> Lines() const {
        for (const AssertRecord& report : log_.asserts) {
            EXPECT_EQ(report.message, u"Assert Failed!!!");
            EXPECT_EQ(report.file, u"..\\plugin-lexigrove");
        }
        return log_.Lines();
    }

    RecordingLog log_;
    SearchContext context_;
};

const std::string kHouse = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                           "<dictionary status=\"ok\">\n"
                           "  <result>\n"
                           "    <word name=\"house\"/>\n"
                           "    <translations>\n"
                           "      <item name=\"maison\" type=\"noun\"/>\n"
                           "      <!-- between items -->\n"
                           "      <item name=\"domicile\" type=\"noun\"/> text\n"
                           "      <item name=\"loger\" type=\"verb\"/>\n"
                           "    </translations>\n"
                           "  </result>\n"
                           "</dictionary>\n";

TEST_F(ReaderTest, AppendsEveryTranslationInDocumentOrderAndAfterEarlierReadings) {
    ASSERT_EQ(0, Read(kHouse));
    const std::vector<Entry> house = {{u"house", u"maison", u"noun"},
                                      {u"house", u"domicile", u"noun"},
                                      {u"house", u"loger", u"verb"}};
    EXPECT_EQ(house, Entries());

    // A second reading appends; the first reading's entries keep their place.
    ASSERT_EQ(0, Read("<r status=\"ok\"><result><word name=\"dog\"/><list>"
                      "<a name=\"chien\" type=\"noun\"/></list></result></r>\n"));
    std::vector<Entry> both = house;
    both.push_back({u"dog", u"chien", u"noun"});
    EXPECT_EQ(both, Entries());
    EXPECT_TRUE(Lines().empty());
}

TEST_F(ReaderTest, WalksEverySiblingAfterTheFirstResult) {
    // Elements before the first "result" are not looked at; after it every
    // sibling is a result, whatever its name. The word need not come first,
    // and the list is the next element after it, over text and comments.
    ASSERT_EQ(0,
              Read("<r status=\"ok\"><head/><result><note/><word name=\"a\"/>text<!-- c -->"
                   "<l><i name=\"1\" type=\"t\"/></l><ignored><i name=\"x\" type=\"x\"/></ignored>"
                   "</result><other><word name=\"b\"/><m><j name=\"2\" type=\"u\"/></m></other>"
                   "</r>\n"));
    EXPECT_EQ((std::vector<Entry>{{u"a", u"1", u"t"}, {u"b", u"2", u"u"}}), Entries());
}

TEST_F(ReaderTest, SucceedsWithoutAddingForNoResultsAndEmptyLists) {
    EXPECT_EQ(0, Read("<r status=\"ok\"/>\n"));
    EXPECT_EQ(0, Read("<r status=\"ok\"><notresult/>text</r>\n"));
    EXPECT_EQ(
        0, Read("<r status=\"ok\"><result><word name=\"a\"/><l></l></result>"
                "<result><word name=\"b\"/><l>only text<!-- and a comment --></l></result></r>\n"));
    EXPECT_TRUE(Entries().empty());
    EXPECT_TRUE(Lines().empty());
}

TEST_F(ReaderTest, StatusMustBeOkInAnyCase) {
    for (const char* status : {"ok", "OK", "Ok", "oK", " ok ", "\tOK\r\n"}) {
        EXPECT_EQ(0, Read(std::string("<r status=\"") + status + "\"/>\n")) << status;
    }
    for (const char* root : {"<r/>", "<r status=\"\"/>", "<r status=\"error\"/>",
                             "<r status=\"okay\"/>", "<r status=' ok '/>", "<r Status=\"ok\"/>",
                             "<r status=\"o k\"/>", "<r status=\"&#32;ok\"/>"}) {
        EXPECT_EQ(-1, Read(std::string(root) + "\n")) << root;
    }
    // Refused without any report.
    EXPECT_TRUE(Lines().empty());
    EXPECT_TRUE(Entries().empty());
}

TEST_F(ReaderTest, TheParserDecidesByItsReturnedPositionOnly) {
    const std::string reply =
        "<r status=\"ok\"><result><word name=\"a\"/><l><i name=\"n\" type=\"t\"/>"
        "</l></result></r>";
    // Nothing after the root's end tag: the parser returns no position.
    EXPECT_EQ(-1, Read(reply));
    EXPECT_TRUE(Entries().empty());
    EXPECT_EQ(0, Read(reply + "\n"));
    EXPECT_EQ(1u, Entries().size());
    // Attribute names are told apart however many there are.
    std::string many = "<r";
    for (int i = 0; i < 12; ++i)
        many += " a" + std::to_string(i) + "=''";
    EXPECT_EQ(0, Read(many + " status='ok'/>\n"));
    EXPECT_EQ(-1, Read(many + " status='ok' a10=''/>\n"));
    EXPECT_EQ(-1, Read(many + " status='ok' a1=''/>\n"));
    // Text after the root ends the document without an error.
    EXPECT_EQ(0, Read("<r status=\"ok\"/> trailing text"));
    for (const char* bad : {"", " \r\n\t", "not xml", "<r status=\"ok\">\n",
                            "<r status=\"ok\"></s>\n", "<r status=\"ok\" status=\"ok\"/>\n",
                            "<r status=\"ok\"/><!-- open\n", "<r status=\"&#xZ;\"/>\n"}) {
        EXPECT_EQ(-1, Read(bad)) << bad;
    }
    EXPECT_TRUE(Lines().empty());
}

TEST_F(ReaderTest, MalformedReplyShapesReportTheirLines) {
    struct Case {
        const char* reply;
        int line;
    };
    const Case cases[] = {
        {"<!-- only a comment -->\n", 199},
        {"<?xml version=\"1.0\"?>\n", 199},
        {"<r status=\"ok\"><result/></r>\n", 217},
        {"<r status=\"ok\"><result><Word name=\"a\"/><l/></result></r>\n", 217},
        {"<r status=\"ok\"><result><word/><l/></result></r>\n", 217},
        {"<r status=\"ok\"><result><word name=\"\"/><l/></result></r>\n", 217},
        {"<r status=\"ok\"><result><word name=\"  \"/><l/></result></r>\n", 217},
        {"<r status=\"ok\"><result><word name=\"a\"/>text</result></r>\n", 230},
        {"<r status=\"ok\"><result><l/><word name=\"a\"/></result></r>\n", 230},
        {"<r status=\"ok\"><result><word name=\"a\"/><l><i name=\"n\"/></l></result></r>\n", 242},
        {"<r status=\"ok\"><result><word name=\"a\"/><l><i type=\"t\"/></l></result></r>\n", 242},
        {"<r status=\"ok\"><result><word name=\"a\"/><l><i name=\" \" "
         "type=\"t\"/></l></result></r>\n",
         242},
        {"<r status=\"ok\"><result><word name=\"a\"/><l><i name=\"n\" "
         "type=\"\r\n\"/></l></result></r>\n",
         242},
    };
    for (const Case& c : cases) {
        log_.asserts.clear();
        EXPECT_EQ(-1, Read(c.reply)) << c.reply;
        EXPECT_EQ(std::vector<int32_t>{c.line}, Lines()) << c.reply;
    }
    EXPECT_TRUE(Entries().empty());
}

// The first result is the root's first child node whose value is "result",
// of any kind. A text, comment or CDATA section with that value has no word
// element.
TEST_F(ReaderTest, ANonElementNodeValuedResultIsTheFirstResult) {
    const std::string rest =
        "<result><word name=\"a\"/><l><i name=\"n\" type=\"t\"/></l></result></r>\n";
    for (const char* first :
         {"result", "\n  result\n  ", "r&#101;sult", "<!--result-->", "<![CDATA[result]]>"}) {
        const std::string reply = std::string("<r status=\"ok\">") + first + rest;
        log_.asserts.clear();
        EXPECT_EQ(-1, Read(reply)) << first;
        EXPECT_EQ(std::vector<int32_t>{217}, Lines()) << first;
    }
    EXPECT_TRUE(Entries().empty());

    // The value must be "result" exactly: comments and CDATA sections keep
    // their spaces and references as written, and a text must end there.
    log_.asserts.clear();
    const char* const others[] = {
        "<!-- result -->", "<![CDATA[result ]]>", "<!--r&#101;sult-->", "<![CDATA[r&#101;sult]]>",
        "results",         "<!--Result-->"};
    for (const char* first : others) {
        const std::string reply = std::string("<r status=\"ok\">") + first + rest;
        EXPECT_EQ(0, Read(reply)) << first;
    }
    EXPECT_EQ(std::size(others), Entries().size());
    EXPECT_TRUE(Lines().empty());
}

// What stands before the root (a declaration, a document type, processing
// instructions, comments, CDATA) is passed over; the root is the first
// element, even when a CDATA section before it spells another.
TEST_F(ReaderTest, WhatStandsBeforeTheRootIsPassedOver) {
    const std::string root = "<r status=\"ok\"><result><word name=\"a\"/><l><i name=\"n\" "
                             "type=\"t\"/></l></result></r>\n";
    const char* const prologs[] = {
        "<!DOCTYPE dictionary>\n",
        "<!DOCTYPE dictionary SYSTEM \"dictionary.dtd\">",
        "<?pi some data?>\n",
        "<?xml-stylesheet type=\"text/xsl\" href=\"s.xsl\"?>",
        "<![CDATA[<r status=\"error\"/>]]>\n",
        "<?xml version=\"1.0\"?>\n<!DOCTYPE r>\n<?pi?>\n<!-- c -->\n<![CDATA[x]]>\n",
    };
    for (const char* prolog : prologs) {
        EXPECT_EQ(0, Read(prolog + root)) << prolog;
    }
    EXPECT_EQ(std::vector<Entry>(std::size(prologs), Entry{u"a", u"n", u"t"}), Entries());
    EXPECT_TRUE(Lines().empty());

    // A root spelled inside CDATA is text; the element after it decides.
    EXPECT_EQ(-1, Read("<![CDATA[<r status=\"ok\">]]><r status=\"error\"/>\n"));
    EXPECT_TRUE(Lines().empty());
    // The parser ends a document type at its first '>': the rest of an
    // internal subset is not markup, and the document ends there, rootless.
    EXPECT_EQ(-1, Read("<!DOCTYPE r [<!ENTITY e \"x\">]>\n" + root));
    EXPECT_EQ(std::vector<int32_t>{199}, Lines());
    EXPECT_EQ(std::size(prologs), Entries().size());
}

// The parser returns no position when the input ends right after a node at
// the document's level: a complete comment as the last bytes fails the
// reading as the root's end tag does, without a report.
TEST_F(ReaderTest, ACommentThatEndsTheReplyFailsIt) {
    const std::string reply = "<r status=\"ok\"><result><word name=\"a\"/><l><i name=\"n\" "
                              "type=\"t\"/></l></result></r>";
    for (const char* tail : {"<!-- end -->", "\n<!-- end -->", "<!---->"}) {
        EXPECT_EQ(-1, Read(reply + tail)) << tail;
    }
    EXPECT_TRUE(Entries().empty());
    EXPECT_EQ(0, Read(reply + "<!-- end -->\n"));
    EXPECT_EQ((std::vector<Entry>{{u"a", u"n", u"t"}}), Entries());
    EXPECT_TRUE(Lines().empty());
}

TEST_F(ReaderTest, AFailureKeepsTheEntriesAppendedBeforeIt) {
    // A comment after a result is taken as the next result: it has no word.
    ASSERT_EQ(-1, Read("<r status=\"ok\"><result><word name=\"a\"/><l><i name=\"1\" type=\"t\"/>"
                       "<i name=\"2\" type=\"t\"/></l></result><!-- end --></r>\n"));
    EXPECT_EQ(std::vector<int32_t>{217}, Lines());
    EXPECT_EQ((std::vector<Entry>{{u"a", u"1", u"t"}, {u"a", u"2", u"t"}}), Entries());

    // A bad item stops the reading after the items before it.
    log_.asserts.clear();
    ASSERT_EQ(-1, Read("<r status=\"ok\"><result><word name=\"b\"/><l><i name=\"3\" type=\"t\"/>"
                       "<i name=\"4\"/><i name=\"5\" type=\"t\"/></l></result></r>\n"));
    EXPECT_EQ(std::vector<int32_t>{242}, Lines());
    EXPECT_EQ(3u, Entries().size());
    EXPECT_EQ((Entry{u"b", u"3", u"t"}), Entries().back());
}

TEST_F(ReaderTest, DoubleQuotedValuesLoseRawWhiteSpaceAtTheirEnds) {
    EXPECT_EQ(u"a b", WordOf("<word name=\" \t\r\n\v\fa b \f\v\n\r\t \"/>"));
    // Inside the value white space stays as written.
    EXPECT_EQ(u"a\tb", WordOf("<word name=\"a\tb\"/>"));
    EXPECT_EQ(u"a\nb", WordOf("<word name=\"a\nb\"/>"));
    EXPECT_EQ(u"a  \r\n  b", WordOf("<word name=\" a  \r\n  b \"/>"));
    // A byte-order mark among the leading white space goes with it.
    EXPECT_EQ(u"w", WordOf("<word name=\"\xEF\xBB\xBFw\"/>"));
    EXPECT_EQ(u"w", WordOf("<word name=\" \xEF\xBB\xBF\t\xEF\xBB\xBF w\"/>"));
    EXPECT_EQ(u"w\uFEFF", WordOf("<word name=\"w\xEF\xBB\xBF \"/>"));
    // Other white space as the parser sees it is not white space here.
    EXPECT_EQ(u"\u00A0w\u00A0", WordOf("<word name=\" \xC2\xA0w\xC2\xA0 \"/>"));
}

TEST_F(ReaderTest, CharactersFromReferencesAreNeverTrimmed) {
    EXPECT_EQ(u" x", WordOf("<word name=\"&#32;x\"/>"));
    EXPECT_EQ(u" x", WordOf("<word name=\" &#32;x \"/>"));
    EXPECT_EQ(u"x\t", WordOf("<word name=\"x&#x9; \"/>"));
    EXPECT_EQ(u"\n", WordOf("<word name=\" &#10; \"/>"));
    EXPECT_EQ(u"AT&T", WordOf("<word name=\" AT&amp;T \"/>"));
    EXPECT_EQ(u"<\"'>", WordOf("<word name=\"&lt;&quot;&apos;&gt;\"/>"));
    EXPECT_EQ(u"\u00E9t\u00E9", WordOf("<word name=\"&#xE9;t&#233;\"/>"));
    EXPECT_EQ(u"\U0001F600", WordOf("<word name=\"&#x1F600;\"/>"));
}

TEST_F(ReaderTest, SingleQuotedAndUnquotedValuesAreTakenAsWritten) {
    EXPECT_EQ(u" w ", WordOf("<word name=' w '/>"));
    EXPECT_EQ(u"\uFEFF\tw\n", WordOf("<word name='\xEF\xBB\xBF\tw\n'/>"));
    EXPECT_EQ(u"say \"hi\" ", WordOf("<word name='say \"hi\" '/>"));
    EXPECT_EQ(u"w&amp;", WordOf("<word name=w&amp;/>"));
    // A name of only spaces counts as empty only in double quotes.
    EXPECT_EQ(u"  ", WordOf("<word name='  '/>"));
}

TEST_F(ReaderTest, TrimmingFollowsTheParsersOwnReadingOfTheTag) {
    // The quote that ends a value is the one the parser stops at: a numeric
    // reference runs to the first ';' and reads its digits back to the
    // nearest '#', stepping over quotes on the way.
    EXPECT_EQ(u"A", WordOf("<word name=\" &#\"x\"#65; \"/>"));
    // An unknown '&' stores nothing; the white space after it is inside.
    EXPECT_EQ(u" x", WordOf("<word name=\" & x\"/>"));
    // Spellings elsewhere in the reply do not count: a comment or CDATA that
    // looks like the start tag, and an attribute of another name.
    EXPECT_EQ(u"w", WordOf("<!-- <word name=' w '/> --><![CDATA[<word name=' w '>]]>"
                           "<word xname=' q ' name=\" w \"/>"));
    // A lead byte takes the bytes after it along, a quote included.
    EXPECT_EQ(Utf8ToWide("\xC3\" x").GetString(), WordOf("<word name=\" \xC3\" x \"/>"));
    // After a zero byte that the parser stepped over with a multibyte lead
    // byte, reading goes on, and so does the trimming.
    const char stepsOverZero[] = "<word a\xF0=\"\xC3\0x\" name=\" w \"/>";
    EXPECT_EQ(u"w", WordOf(std::string(stepsOverZero, sizeof stepsOverZero - 1)));
}

TEST_F(ReaderTest, TextsAreConvertedFromUtf8) {
    ASSERT_EQ(
        0,
        Read(
            "<r status=\"ok\"><result><word name=\"caf\xC3\xA9\"/><l>"
            "<i name=\"\xF0\x9F\x98\x80\" type=\"\xD0\xB8\xD0\xBC\xD1\x8F\"/></l></result></r>\n"));
    EXPECT_EQ((std::vector<Entry>{{u"caf\u00E9", u"\U0001F600", u"\u0438\u043C\u044F"}}),
              Entries());
    EXPECT_TRUE(log_.entries.empty());
}

TEST_F(ReaderTest, DeepNestingFailsInsteadOfExhaustingTheStack) {
    const int depth = 200000;
    std::string deep = "<r status=\"ok\"><result><word name=\"a\"/><l><i name=\"n\" type=\"t\">";
    for (int i = 0; i < depth; ++i)
        deep += "<d>";
    for (int i = 0; i < depth; ++i)
        deep += "</d>";
    deep += "</i></l></result></r>\n";
    EXPECT_EQ(-1, Read(deep));
    EXPECT_TRUE(Entries().empty());

    // Nesting well beyond any reply's is still read.
    std::string nested = "<r status=\"ok\"><result><word name=\"a\"/><l><i name=\"n\" type=\"t\">";
    for (int i = 0; i < 200; ++i)
        nested += "<d>";
    for (int i = 0; i < 200; ++i)
        nested += "</d>";
    nested += "</i></l></result></r>\n";
    EXPECT_EQ(0, Read(nested));
    EXPECT_EQ(1u, Entries().size());
}

TEST_F(ReaderTest, ALeadByteBeforeTheTerminatorAtTheBufferEndStaysInside) {
    // The parser steps a whole multibyte sequence even past the zero byte;
    // with the terminator in the buffer's last byte that lands in its slack.
    const std::string head = "<r status=\"ok\"><result><word name=\"";
    std::string reply = head + std::string(context_.buffer.size() - 2 - head.size(), 'w') + "\xF0";
    ASSERT_EQ(context_.buffer.size() - 1, reply.size());
    EXPECT_EQ(-1, Read(reply));
    reply.back() = '\xC3';
    EXPECT_EQ(-1, Read(reply));
    EXPECT_TRUE(Entries().empty());
}

TEST_F(ReaderTest, ReadsA16MegabyteReply) {
    std::string reply = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<dictionary status=\"ok\">\n";
    const size_t target = 16u << 20;
    size_t results = 0;
    while (reply.size() < target) {
        const std::string n = std::to_string(results);
        reply += "  <result>\n    <word name=\"word" + n + "\"/>\n    <translations>\n";
        for (int k = 0; k < 3; ++k) {
            reply +=
                "      <item name=\" mot" + n + "-" + std::to_string(k) + " \" type=\"noun\"/>\n";
        }
        reply += "    </translations>\n  </result>\n";
        ++results;
    }
    reply += "</dictionary>\n";
    ASSERT_GE(reply.size(), target);
    ASSERT_EQ(0, Read(reply));
    ASSERT_EQ(3 * results, context_.results.size());
    for (size_t i : {size_t(0), results / 2, results - 1}) {
        const std::string digits = std::to_string(i);
        const std::u16string n(digits.begin(), digits.end());
        EXPECT_EQ((Entry{u"word" + n, u"mot" + n + u"-2", u"noun"}),
                  (Entry{context_.results[3 * i + 2].word, context_.results[3 * i + 2].name,
                         context_.results[3 * i + 2].type}));
    }
}

} // namespace
