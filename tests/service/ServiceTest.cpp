// The dictionary service over real HTTP on 127.0.0.1: the installed FreeDict
// data, small dictionaries written by the tests, and the process's own
// start and stop.
#include "DictFiles.h"
#include "ServiceProcess.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

namespace servicetest {
namespace {

struct Item {
    std::string name, type;
};
struct Result {
    std::string word;
    std::vector<Item> items;
};
struct Reply {
    bool parsed = false;
    bool endsWithLineFeed = false;
    std::string status;
    std::vector<Result> results;

    std::vector<std::string> Names() const {
        std::vector<std::string> out;
        for (const Result& r : results) {
            for (const Item& i : r.items) {
                out.push_back(i.name);
            }
        }
        return out;
    }
    bool Has(const std::string& name) const {
        for (const std::string& n : Names()) {
            if (n == name) {
                return true;
            }
        }
        return false;
    }
};

const char* Attribute(const TiXmlElement* e, const char* name) {
    const char* value = e == nullptr ? nullptr : e->Attribute(name);
    return value == nullptr ? "" : value;
}

Reply ParseReply(const std::string& body) {
    Reply reply;
    TiXmlDocument document;
    document.Parse(body.c_str(), nullptr, TIXML_ENCODING_UTF8);
    const TiXmlElement* root = document.RootElement();
    if (document.Error() || root == nullptr || std::string(root->Value()) != "dictionary") {
        return reply;
    }
    reply.parsed = true;
    reply.endsWithLineFeed = !body.empty() && body.back() == '\n';
    reply.status = Attribute(root, "status");
    for (const TiXmlElement* r = root->FirstChildElement(); r; r = r->NextSiblingElement()) {
        EXPECT_STREQ(r->Value(), "result");
        const TiXmlElement* word = r->FirstChildElement("word");
        const TiXmlElement* list = word ? word->NextSiblingElement() : nullptr;
        EXPECT_NE(list, nullptr);
        Result result{Attribute(word, "name"), {}};
        for (const TiXmlElement* i = list ? list->FirstChildElement() : nullptr; i;
             i = i->NextSiblingElement()) {
            result.items.push_back({Attribute(i, "name"), Attribute(i, "type")});
        }
        reply.results.push_back(result);
    }
    return reply;
}

std::string Query(const std::string& from, const std::string& to, const std::string& word) {
    return "/serverjobs/dictionary.php?fromlang=" + from + "&tolang=" + to + "&word=" + word;
}

// One service on the installed dictionaries for the whole group.
class InstalledData : public ::testing::Test {
protected:
    static void SetUpTestSuite() { service_ = new ServiceProcess({}); }
    static void TearDownTestSuite() {
        delete service_;
        service_ = nullptr;
    }
    void SetUp() override { ASSERT_NE(service_->port(), 0) << service_->firstLine(); }

    static Reply Look(const std::string& from, const std::string& to, const std::string& word) {
        const HttpReply http = Get(service_->port(), Query(from, to, word));
        EXPECT_EQ(http.status, 200) << from << "->" << to << " " << word;
        const Reply reply = ParseReply(http.body);
        EXPECT_TRUE(reply.parsed) << http.body;
        EXPECT_TRUE(reply.endsWithLineFeed);
        EXPECT_EQ(reply.status, "ok");
        return reply;
    }
    static ServiceProcess* service_;
};
ServiceProcess* InstalledData::service_ = nullptr;

TEST_F(InstalledData, KnownWordGivesItsTranslationsInTheReplyLayout) {
    const HttpReply http = Get(service_->port(), Query("en", "fr", "house"));
    EXPECT_EQ(http.status, 200);
    EXPECT_NE(http.headers.find("Content-Type: text/xml"), std::string::npos) << http.headers;
    EXPECT_EQ(http.body.compare(0, 38, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"), 0);
    // The root's end tag is followed by a line feed and nothing else.
    const std::string end = "</dictionary>\n";
    ASSERT_GE(http.body.size(), end.size());
    EXPECT_EQ(http.body.substr(http.body.size() - end.size()), end);

    const Reply reply = ParseReply(http.body);
    ASSERT_TRUE(reply.parsed) << http.body;
    EXPECT_EQ(reply.status, "ok");
    ASSERT_EQ(reply.results.size(), 1u);
    EXPECT_EQ(reply.results[0].word, "house");
    EXPECT_TRUE(reply.Has("maison"));
    for (const Item& item : reply.results[0].items) {
        EXPECT_FALSE(item.type.empty()) << item.name;
    }
}

TEST_F(InstalledData, AccentedAndMultiwordHeadwordsArriveEscapedAsThePluginSendsThem) {
    // café, with é as the UTF-8 bytes C3 A9
    Reply reply = Look("fr", "en", "caf%C3%A9");
    ASSERT_EQ(reply.results.size(), 1u);
    EXPECT_EQ(reply.results[0].word, "caf\xC3\xA9");
    EXPECT_TRUE(reply.Has("coffee"));
    EXPECT_EQ(reply.results[0].items[0].type, "noun");

    EXPECT_TRUE(Look("en", "fr", "good+morning").Has("bonjour"));
    EXPECT_TRUE(Look("en", "fr", "good%20morning").Has("bonjour"));
    EXPECT_TRUE(Look("fr", "en", "pomme+de+terre").Has("potato"));
}

TEST_F(InstalledData, HeadwordsMatchWithoutRegardToLetterCase) {
    EXPECT_TRUE(Look("en", "fr", "HOUSE").Has("maison"));
    EXPECT_TRUE(Look("fr", "en", "Maison").Has("house"));
    // CAFÉ with the capital É (C3 89)
    const Reply cafe = Look("fr", "en", "CAF%C3%89");
    ASSERT_EQ(cafe.results.size(), 1u);
    EXPECT_EQ(cafe.results[0].word, "caf\xC3\xA9");
}

TEST_F(InstalledData, SeveralMatchingEntriesGiveSeveralResults) {
    const Reply reply = Look("en", "sv", "house");
    EXPECT_GE(reply.results.size(), 2u);
    for (const Result& r : reply.results) {
        EXPECT_EQ(r.word, "house");
        EXPECT_FALSE(r.items.empty());
    }
    EXPECT_TRUE(reply.Has("hus"));
}

TEST_F(InstalledData, EveryPluginCodeWithDataReachesItsDictionary) {
    struct Case {
        const char *from, *to, *word, *expected;
    };
    const Case cases[] = {
        {"en", "de", "house", "Haus"},
        {"de", "en", "Haus", "house"},
        {"en", "es", "house", "casa"},
        {"es", "en", "casa", "house"},
        {"en", "it", "house", "casa"},
        {"it", "en", "casa", "house"},
        {"en", "pt", "house", "casa"},
        {"pt-br", "en", "mesa", "table"},
        {"pt", "en", "casa", "house"},
        {"en", "sv", "house", "hus"},
        {"sv", "en", "hus", "house"},
        {"en", "ru", "house", "\xD0\xB4\xD0\xBE\xD0\xBC"},
        // ru -> en has no file of its own: it is the reverse of en -> ru.
        {"ru", "en", "%D0%B4%D0%BE%D0%BC", "house"},
        {"ru", "en", "%D0%94%D0%9E%D0%9C", "house"}, // ДОМ in capitals
    };
    for (const Case& c : cases) {
        EXPECT_TRUE(Look(c.from, c.to, c.word).Has(c.expected))
            << c.from << "->" << c.to << " " << c.word;
    }
}

TEST_F(InstalledData, UnknownWordsAndPairsAreOkWithoutResults) {
    EXPECT_TRUE(Look("en", "fr", "qwxzvbnmlk").results.empty());
    EXPECT_TRUE(Look("en", "fr", "").results.empty());
    EXPECT_TRUE(Look("en", "fr", "00databaseinfo").results.empty());
    EXPECT_TRUE(Look("en", "xx", "house").results.empty());
    EXPECT_TRUE(Look("en", "ja", "house").results.empty());  // a plugin code without data
    EXPECT_TRUE(Look("fr", "de", "maison").results.empty()); // both known, no such pair
    EXPECT_TRUE(Look("en", "en", "house").results.empty());
}

TEST_F(InstalledData, MalformedQueriesAreErrors) {
    const std::string path = "/serverjobs/dictionary.php";
    for (const std::string& target :
         {path + "?tolang=fr&word=house", path + "?fromlang=en&word=house",
          path + "?fromlang=en&tolang=fr", path, path + "?fromlang=en&tolang=fr&word=caf%G9",
          path + "?fromlang=en&tolang=fr&word=house%4", path + "?fromlang=e%&tolang=fr&word=x"}) {
        const HttpReply http = Get(service_->port(), target);
        EXPECT_EQ(http.status, 400) << target;
        const Reply reply = ParseReply(http.body);
        EXPECT_TRUE(reply.parsed) << http.body;
        EXPECT_TRUE(reply.endsWithLineFeed);
        EXPECT_EQ(reply.status, "error") << target;
    }
    const HttpReply other = Get(service_->port(), "/serverjobs/other.php?word=house");
    EXPECT_EQ(other.status, 404);
    EXPECT_EQ(ParseReply(other.body).status, "error");

    const HttpReply post = SendRaw(service_->port(), "POST " + Query("en", "fr", "house") +
                                                         " HTTP/1.1\r\nHost: x\r\nContent-Length: "
                                                         "0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(post.status, 405);
}

TEST_F(InstalledData, AbsoluteFormTargetsOfProxiedRequestsAreServed) {
    const std::string origin = Get(service_->port(), Query("en", "fr", "house")).body;
    for (const std::string prefix : {"http://dictionary.brambix.example",
                                     "http://dictionary.brambix.example:80", "HTTP://127.0.0.1"}) {
        const HttpReply http = Get(service_->port(), prefix + Query("en", "fr", "house"));
        EXPECT_EQ(http.status, 200) << prefix;
        EXPECT_EQ(http.body, origin) << prefix;
    }
}

// Dictionaries the test writes, served from a folder of their own.
class WrittenData : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/lexigrove-dict-XXXXXX";
        folder_ = mkdtemp(pattern);
        std::string longEntry = "long /lɒŋ/\n1. ";
        for (int i = 1; i <= 30; ++i) {
            longEntry += "mot" + std::to_string(i) + (i < 30 ? ", " : "\n");
        }
        const DictEntries engFra = {
            {"00databaseinfo", "about this dictionary\n"},
            {"fish & chips", "fish & chips /fɪʃ/ <n>\npoisson & frites, \"quoted\" word, a<b\n"},
            {"\xC3\x89"
             "clair",
             "\xC3\x89"
             "clair /x/\n1. \xC3\xA9"
             "clair <n, masc>\n"
             "2. flash (of light, in the sky)\n"
             "      \"an example\"  - un exemple\n"
             "   Synonym: {lightning}\n"
             " see: {flash}\n\n"},
            {"long", longEntry},
        };
        // Chunks of 40 bytes: most entries span several.
        ASSERT_TRUE(WriteDictionary(folder_, "freedict-eng-fra", engFra, 40));
        ASSERT_TRUE(WriteDictionary(folder_, "freedict-eng-ita",
                                    {{"cat", "cat\ngatto\n"}, {"dog", "dog <n>\ncane, Gatto\n"}},
                                    0));
        service_ = new ServiceProcess({"--data", folder_});
    }
    static void TearDownTestSuite() {
        delete service_;
        service_ = nullptr;
        for (const char* file : {"freedict-eng-fra.index", "freedict-eng-fra.dict.dz",
                                 "freedict-eng-ita.index", "freedict-eng-ita.dict"}) {
            unlink((folder_ + "/" + file).c_str());
        }
        rmdir(folder_.c_str());
    }
    void SetUp() override { ASSERT_NE(service_->port(), 0) << service_->firstLine(); }

    static Reply Look(const std::string& from, const std::string& to, const std::string& word) {
        const HttpReply http = Get(service_->port(), Query(from, to, word));
        EXPECT_EQ(http.status, 200) << http.body;
        return ParseReply(http.body);
    }
    static std::string folder_;
    static ServiceProcess* service_;
};
std::string WrittenData::folder_;
ServiceProcess* WrittenData::service_ = nullptr;

TEST_F(WrittenData, ValuesWithXmlSpecialCharactersSurviveTheReply) {
    const Reply reply = Look("en", "fr", "fish+%26+chips");
    ASSERT_TRUE(reply.parsed);
    ASSERT_EQ(reply.results.size(), 1u);
    EXPECT_EQ(reply.results[0].word, "fish & chips");
    EXPECT_EQ(reply.Names(),
              (std::vector<std::string>{"poisson & frites", "\"quoted\" word", "a<b"}));
}

TEST_F(WrittenData, SensesBecomeItemsTypedByTheirPartOfSpeech) {
    const Reply reply = Look("en", "fr", "%C3%A9CLAIR");
    ASSERT_EQ(reply.results.size(), 1u);
    EXPECT_EQ(reply.results[0].word, "\xC3\x89"
                                     "clair");
    ASSERT_EQ(reply.results[0].items.size(), 2u); // no example, synonym or reference
    EXPECT_EQ(reply.results[0].items[0].name, "\xC3\xA9"
                                              "clair");
    EXPECT_EQ(reply.results[0].items[0].type, "noun");
    EXPECT_EQ(reply.results[0].items[1].name, "flash (of light, in the sky)");
    EXPECT_EQ(reply.results[0].items[1].type, "translation");
}

TEST_F(WrittenData, EntriesSpanningCompressedChunksAreReadWhole) {
    const Reply reply = Look("en", "fr", "long");
    ASSERT_EQ(reply.results.size(), 1u);
    const std::vector<std::string> names = reply.Names();
    ASSERT_EQ(names.size(), 30u);
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(names[static_cast<size_t>(i)], "mot" + std::to_string(i + 1));
    }
    EXPECT_TRUE(Look("en", "fr", "00databaseinfo").results.empty());
}

TEST_F(WrittenData, UncompressedTextAndTheReverseDirectionAreServed) {
    EXPECT_EQ(Look("en", "it", "dog").Names(), (std::vector<std::string>{"cane", "Gatto"}));
    // it -> en is built from en -> it: gatto is the translation of cat and dog.
    const Reply reverse = Look("it", "en", "gatto");
    ASSERT_EQ(reverse.results.size(), 1u);
    EXPECT_EQ(reverse.results[0].word, "gatto");
    ASSERT_EQ(reverse.results[0].items.size(), 2u);
    EXPECT_EQ(reverse.results[0].items[0].name, "cat");
    EXPECT_EQ(reverse.results[0].items[0].type, "translation");
    EXPECT_EQ(reverse.results[0].items[1].name, "dog");
    EXPECT_EQ(reverse.results[0].items[1].type, "noun");
}

TEST(ServiceProcessTest, StopsCleanlyOnSigtermAndSigint) {
    for (int signal : {SIGTERM, SIGINT}) {
        const std::string portFile = "/tmp/lexigrove-port-" + std::to_string(getpid());
        ServiceProcess service({"--port-file", portFile});
        ASSERT_NE(service.port(), 0) << service.firstLine();
        std::ifstream written(portFile);
        int port = 0;
        written >> port;
        EXPECT_EQ(port, service.port());
        EXPECT_EQ(Get(service.port(), Query("en", "fr", "house")).status, 200);
        EXPECT_EQ(service.Stop(signal, 5000), 0) << "signal " << signal;
        EXPECT_NE(access(portFile.c_str(), F_OK), 0) << "port file left behind";
        EXPECT_EQ(Get(port, Query("en", "fr", "house")).status, 0) << "still answering";
    }
}

TEST(ServiceProcessTest, StopsWhenTheSignalComesRightAfterStartUp) {
    // The signal may arrive before the server loop runs.
    for (int i = 0; i < 10; ++i) {
        ServiceProcess service({});
        ASSERT_NE(service.port(), 0) << service.firstLine();
        EXPECT_EQ(service.Stop(SIGTERM, 5000), 0) << "run " << i;
    }
}

TEST(ServiceProcessTest, BadCommandLinesFailWithoutListening) {
    ServiceProcess unknownOption({"--bogus"});
    EXPECT_EQ(unknownOption.port(), 0);
    EXPECT_EQ(unknownOption.Stop(SIGTERM, 5000), 64);
    ServiceProcess badPort({"--port", "70000"});
    EXPECT_EQ(badPort.Stop(SIGTERM, 5000), 64);
    ServiceProcess noData({"--data", "/nonexistent/lexigrove"});
    EXPECT_EQ(noData.port(), 0);
    EXPECT_EQ(noData.Stop(SIGTERM, 5000), 1);
}

} // namespace
} // namespace servicetest
