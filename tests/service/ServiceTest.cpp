// The dictionary service over real HTTP on 127.0.0.1: the installed FreeDict
// data, small dictionaries written by the tests, and the process's own
// start and stop.
#include "DictFiles.h"
#include "ServiceProcess.h"
#include "service/DictionaryService.h"

#include "tests/support/PercentEscape.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

    // The reply, checked to be status "ok" (served) or "unsupported".
    static Reply Look(const std::string& from, const std::string& to, const std::string& word,
                      bool served = true) {
        const HttpReply http = Get(service_->port(), Query(from, to, word));
        EXPECT_EQ(http.status, 200) << from << "->" << to << " " << word;
        const Reply reply = ParseReply(http.body);
        EXPECT_TRUE(reply.parsed) << http.body;
        EXPECT_TRUE(reply.endsWithLineFeed);
        EXPECT_EQ(reply.status, served ? "ok" : "unsupported") << from << "->" << to;
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

TEST_F(InstalledData, UnknownWordsAreOkWithoutResults) {
    EXPECT_TRUE(Look("en", "fr", "qwxzvbnmlk").results.empty());
    EXPECT_TRUE(Look("en", "fr", "").results.empty());
    EXPECT_TRUE(Look("en", "fr", "00databaseinfo").results.empty());
    EXPECT_TRUE(Look("fr", "de", "maison").Has("Haus")); // a pair without English
}

TEST_F(InstalledData, DirectionsWithoutADictionaryAreToldApart) {
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{{"en", "ko"},
                                                                                   {"ko", "en"},
                                                                                   {"en", "xx"},
                                                                                   {"en", "en"},
                                                                                   {"pt", "pt-br"},
                                                                                   {"th", "en"}}) {
        const HttpReply http = Get(service_->port(), Query(from, to, "house"));
        EXPECT_EQ(http.status, 200);
        const Reply reply = ParseReply(http.body);
        EXPECT_EQ(reply.status, "unsupported") << from << "->" << to;
        EXPECT_NE(http.body.find("message=\"no dictionary for " + from + " -&gt; " + to + "\""),
                  std::string::npos)
            << http.body;
    }
}

// Words as a learner copies them out of a text: inflected, capitalised,
// typed without accents. Each finds the entry of its dictionary form with
// that form as the result's word; a word whose accents make it another word,
// and a word no dictionary has, find no other.
TEST_F(InstalledData, ALearnersWordsFindTheirDictionaryForms) {
    struct Case {
        const char *from, *to, *word, *headword, *translation;
    };
    const Case cases[] = {
        // Inflected (Hunspell; WordNet for English irregulars; Voikko).
        {"fr", "en", "maisons", "maison", "house"},
        {"es", "en", "casas", "casa", "house"},
        {"de", "en", "Hundes", "Hund", "dog"},
        {"it", "en", "ragazze", "ragazza", "girl"},
        {"hu", "en", "k%C3%B6nyveket", "k\xC3\xB6nyv", "book"},
        {"ru", "en", "%D0%B4%D0%BE%D0%BC%D0%B0%D0%BC%D0%B8", "\xD0\xB4\xD0\xBE\xD0\xBC", "house"},
        {"pl", "en", "psy", "pies", "dog"},
        {"nl", "en", "huizen", "huis", "house"},
        {"en", "fr", "houses", "house", "maison"},
        {"en", "fr", "went", "go", "aller"},
        {"en", "de", "children", "child", "Kind"},
        {"en", "it", "bought", "buy", "comprare"},
        {"fi", "en", "kissat", "kissa", "cat"},
        // Capitals, with the Turkish dotted and dotless i and Greek's final
        // sigma.
        {"tr", "en", "%C4%B0NEK", "inek", "cow"},
        {"tr", "en", "BALIK", "bal\xC4\xB1k", "fish"},
        {"el", "en", "%CE%A6%CE%A9%CE%A3", "\xCF\x86\xCF\x89\xCF\x82", "light"},
        {"de", "en", "STRASSE",
         "Stra\xC3\x9F"
         "e",
         "street"},
        // Without accents.
        {"fr", "en", "ecole",
         "\xC3\xA9"
         "cole",
         "school"},
        {"es", "en", "nino", "ni\xC3\xB1o", "child"},
        {"tr", "en", "kedi", "ked\xC4\xB1", "cat"},
    };
    for (const Case& c : cases) {
        const Reply reply = Look(c.from, c.to, c.word);
        bool found = false;
        for (const Result& r : reply.results) {
            for (const Item& i : r.items) {
                found = found || (r.word == c.headword && i.name == c.translation);
            }
        }
        EXPECT_TRUE(found) << c.from << "->" << c.to << " " << c.word << ": "
                           << ::testing::PrintToString(reply.Names());
    }
    // Accents that tell words apart: año is not offered for ano.
    for (const Result& r : Look("es", "en", "ano").results) {
        EXPECT_EQ(r.word, "ano");
    }
    for (const auto& [from, word] :
         std::vector<std::pair<std::string, std::string>>{{"en", "glorptastic"},
                                                          {"fr", "maisonnettesque"},
                                                          {"de", "Hundeswerkelung"},
                                                          {"es", "casabulos"},
                                                          {"fi", "kissakkoiset"},
                                                          {"hu", "h%C3%A1zacskasz"}}) {
        EXPECT_TRUE(Look(from, "en" == from ? "fr" : "en", word).results.empty()) << word;
    }
}

TEST_F(InstalledData, AFormsOwnEntriesComeBeforeItsLemmas) {
    // "Hunde" is a headword of its own and a form of "Hund".
    const Reply hunde = Look("de", "en", "Hunde");
    ASSERT_FALSE(hunde.results.empty());
    EXPECT_EQ(hunde.results.front().word, "Hunde");
    EXPECT_EQ(hunde.results.back().word, "Hund");
    const Reply mice = Look("en", "de", "mice");
    ASSERT_FALSE(mice.results.empty());
    EXPECT_EQ(mice.results.front().word, "mice");
    EXPECT_EQ(mice.results.back().word, "mouse");
    EXPECT_TRUE(mice.Has("Maus"));
}

// What a person would write down from each entry: the translations alone,
// typed by their part of speech, from several of the installed dictionaries.
TEST_F(InstalledData, RealEntriesReadAsAPersonWouldWriteThemDown) {
    struct Case {
        const char *from, *to, *word;
        std::vector<std::string> expected; // "name/type", every item of the reply
    };
    const Case cases[] = {
        {"de",
         "en",
         "Stra%C3%9Fe",
         {"avenue/noun", "alley/noun", "strait/noun", "straits/noun", "road/noun", "street/noun",
          "street address/noun", "straight/noun"}},
        {"en", "no", "house", {"hus/noun"}},
        {"en",
         "ja",
         "house",
         {"\xE8\xAD\xB0\xE9\x99\xA2/noun", "\xE5\xAE\xB6/noun", "\xE5\xAE\xB6\xE5\xB1\x8B/noun",
          "\xE3\x81\x8A\xE5\xAE\x85/noun", "\xE5\xBB\xBA\xE7\x89\xA9/noun",
          "\xE4\xB8\x80\xE6\x88\xB8\xE5\xBB\xBA\xE3\x81\xA6/noun",
          "\xE4\xBD\x8F\xE3\x81\xBE\xE3\x81\x84/noun"}},
        {"sl", "en", "hi%C5%A1a", {"house/noun", "building/noun"}},
        {"fr", "en", "maison", {"house/noun"}},
        {"fi", "en", "talo", {"house/noun", "home/noun"}}, // made by WikDict
        {"en",
         "el",
         "house",
         {"\xCF\x83\xCF\x80\xCE\xAF\xCF\x84\xCE\xB9 (\xCF\x84\xCE\xBF \xCF\x87\xCF\x84\xCE\xAF"
          "\xCF\x81\xCE\xB9\xCE\xBF)/translation",
          "\xCE\xBF\xCE\xAF\xCE\xBA\xCE\xBF\xCF\x82/translation",
          "\xCF\x83\xCF\x84\xCE\xB5\xCE\xB3\xCE\xAC\xCE\xB6\xCF\x89/translation"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> got;
        for (const Result& r : Look(c.from, c.to, c.word).results) {
            for (const Item& i : r.items) {
                got.push_back(i.name + "/" + i.type);
            }
        }
        EXPECT_EQ(got, c.expected) << c.from << "->" << c.to << " " << c.word;
    }
    // Japanese-English: part-of-speech lines type the senses; a polish entry's
    // sections and labels.
    const Reply ie = Look("ja", "en", "%E5%AE%B6");
    ASSERT_FALSE(ie.results.empty());
    std::vector<std::string> first;
    for (const Item& i : ie.results[0].items) {
        first.push_back(i.name + "/" + i.type);
    }
    EXPECT_EQ(first, (std::vector<std::string>{"house/noun", "residence/noun", "dwelling/noun",
                                               "family/noun", "household/noun", "lineage/noun",
                                               "family name/noun"}));
    const Reply pl = Look("en", "pl", "house");
    EXPECT_TRUE(pl.Has("wydawnictwo"));
    EXPECT_TRUE(pl.Has("mieszka\xC4\x87"));
    for (const std::string& name : pl.Names()) {
        EXPECT_EQ(name.find('['), std::string::npos) << name;
    }
}

// Chinese from CC-CEDICT: simplified headwords for zh-cn, traditional for
// zh-tw, English to both by reversing them; pinyin is no translation.
TEST_F(InstalledData, ChineseComesFromCcCedictInBothScripts) {
    const Reply simplified = Look("zh-cn", "en", "%E6%88%BF%E5%AD%90"); // 房子
    ASSERT_EQ(simplified.results.size(), 1u);
    EXPECT_EQ(simplified.Names(),
              (std::vector<std::string>{"house", "building (single- or two-story)", "apartment",
                                        "room"}));
    EXPECT_TRUE(Look("zh-tw", "en", "%E9%96%80").Has("gate"));     // 門
    EXPECT_TRUE(Look("zh-cn", "en", "%E9%96%80").results.empty()); // not simplified
    EXPECT_TRUE(Look("en", "zh-cn", "house").Has("\xE6\x88\xBF\xE5\xAD\x90"));
    EXPECT_TRUE(Look("en", "zh-tw", "door").Has("\xE9\x96\x80"));
    EXPECT_TRUE(Look("en", "zh-cn", "door").Has("\xE9\x97\xA8")); // 门
    for (const std::string& name : Look("zh-cn", "en", "%E5%AE%B6").Names()) {
        EXPECT_EQ(name.find("jia1"), std::string::npos) << name;
    }
    // 傢 only points to the words it is written in: no entry.
    EXPECT_TRUE(Look("zh-tw", "en", "%E5%82%A2").results.empty());
}

// 150 headwords spread over each of the dictionaries whose layouts are the
// hardest to read (English-Polish sub-entries and indented single senses,
// Japanese-English labels run into translations, a WikDict-made one): at
// most 2% of them may come back without a translation.
TEST_F(InstalledData, HeadwordsOfHardLayoutsAllHaveTranslations) {
    struct Case {
        const char *file, *from, *to;
    };
    for (const Case& c :
         {Case{"freedict-eng-pol", "en", "pl"}, Case{"freedict-jpn-eng", "ja", "en"},
          Case{"freedict-fin-eng", "fi", "en"}}) {
        std::ifstream index(std::string("/usr/share/dictd/") + c.file + ".index");
        std::vector<std::string> headwords;
        std::string line;
        while (std::getline(index, line)) {
            const std::string headword = line.substr(0, line.find('\t'));
            if (!headword.empty() && headword.rfind("00", 0) != 0) {
                headwords.push_back(headword);
            }
        }
        ASSERT_GT(headwords.size(), 1000u) << c.file;
        std::vector<std::string> empty;
        for (size_t i = 0; i < 150; ++i) {
            const std::string& word = headwords[(2 * i + 1) * headwords.size() / 300];
            if (Look(c.from, c.to, testsupport::PercentEscaped(word)).Names().empty()) {
                empty.push_back(word);
            }
        }
        EXPECT_LE(empty.size(), 3u) << c.file << ": " << ::testing::PrintToString(empty);
    }
}

// English with every other code of the plugin's table, both ways: a direction
// the service lists answers entries for a common word, every other one says
// it has no dictionary.
TEST_F(InstalledData, EnglishWithEveryCodeAnswersEntriesOrNoDictionary) {
    const std::vector<std::string> codes = {
        "zh-cn", "zh-tw", "da",    "nl", "fi", "fr", "de", "el", "hu", "it", "ja", "ko", "no",
        "pl",    "pt",    "pt-br", "ru", "sl", "es", "sv", "th", "uk", "tr", "ur", "ar"};
    const std::vector<std::string> without = {"ko", "th", "uk", "ur"};
    for (const std::string& code : codes) {
        const bool served = std::find(without.begin(), without.end(), code) == without.end();
        const Reply there = Look("en", code, "house", served);
        if (!served) {
            EXPECT_EQ(Look(code, "en", "house", false).status, "unsupported") << code;
            continue;
        }
        ASSERT_FALSE(there.Names().empty()) << "en->" << code;
        // Back again with one of the translations: the English word is among
        // its translations, or at least some English comes back.
        bool back = false;
        for (const std::string& name : there.Names()) {
            const Reply again = Look(code, "en", testsupport::PercentEscaped(name), true);
            if (!again.Names().empty()) {
                back = true;
                break;
            }
        }
        EXPECT_TRUE(back) << code << "->en";
    }
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

// One request on a kept connection: the reply's status once its whole body
// (Content-Length) has arrived, 0 when it did not.
int RequestOnConnection(int s, const std::string& target) {
    const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(s, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        return 0;
    }
    std::string raw;
    char buffer[4096];
    for (;;) {
        const size_t split = raw.find("\r\n\r\n");
        if (split != std::string::npos) {
            const size_t at = raw.find("Content-Length: ");
            if (at != std::string::npos && at < split &&
                raw.size() >= split + 4 + std::stoul(raw.substr(at + 16))) {
                return std::atoi(raw.c_str() + 9);
            }
        }
        const ssize_t n = recv(s, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return 0;
        }
        raw.append(buffer, static_cast<size_t>(n));
    }
}

// 256 kept-alive connections that say nothing more (half after a request,
// half before any) must not hold back a client that connects after them. A
// server that gives each connection a thread of a fixed pool makes that
// client wait until an idle connection times out (seconds); the bound here
// only tells the two apart, the latency itself is measured by scripts/bench.
TEST(ServiceConnectionsTest, IdleConnectionsDoNotHoldBackNewOnes) {
    ServiceProcess service({"--idle-timeout", "60"});
    ASSERT_NE(service.port(), 0) << service.firstLine();
    const std::string target = Query("en", "fr", "house");
    std::vector<int> idle;
    for (int i = 0; i < 256; ++i) {
        const int s = Connect("127.0.0.1", service.port());
        ASSERT_GE(s, 0) << i;
        idle.push_back(s);
        if (i % 2 == 0) {
            ASSERT_EQ(RequestOnConnection(s, target), 200) << i;
        }
    }
    long long slowest = 0;
    for (int i = 0; i < 50; ++i) {
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(Get(service.port(), target).status, 200) << i;
        slowest =
            std::max<long long>(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now() - started)
                                             .count());
    }
    EXPECT_LT(slowest, 1000) << "a new connection waited behind the idle ones";
    // The idle connections were kept, not dropped to make room.
    EXPECT_EQ(RequestOnConnection(idle[0], target), 200);
    EXPECT_EQ(RequestOnConnection(idle[1], target), 200);
    for (int s : idle) {
        close(s);
    }
}

// A connection's request head has a small fixed room: a word of 1,000
// characters of any script fits; a longer target is refused with the
// service's own reply, and one past the room by the library's; a query of
// thousands of keys is read like any other. Every one of them gets a reply,
// and the service goes on serving.
TEST(ServiceConnectionsTest, LongTargetsAndManyKeysAreAnsweredWithinTheirLimits) {
    ServiceProcess service({});
    ASSERT_NE(service.port(), 0) << service.firstLine();
    std::string word;
    for (int i = 0; i < 1000; ++i) {
        word += "%F0%9F%98%80"; // U+1F600, four bytes escaped
    }
    const HttpReply served = Get(service.port(), Query("ja", "en", word));
    EXPECT_EQ(served.status, 200);
    EXPECT_EQ(ParseReply(served.body).status, "ok");
    EXPECT_TRUE(ParseReply(served.body).results.empty());

    const HttpReply refused = Get(service.port(), Query("en", "fr", std::string(20000, 'a')));
    EXPECT_EQ(refused.status, 414);
    EXPECT_EQ(ParseReply(refused.body).status, "error") << refused.body;
    EXPECT_EQ(Get(service.port(), Query("en", "fr", std::string(300000, 'a'))).status, 414);

    std::string keys = Query("en", "fr", "house");
    for (int i = 0; i < 4000; ++i) {
        keys += "&k=";
    }
    const HttpReply many = Get(service.port(), keys);
    EXPECT_EQ(many.status, 200);
    EXPECT_TRUE(ParseReply(many.body).Has("maison"));
    EXPECT_EQ(Get(service.port(), Query("en", "fr", "house")).status, 200); // still serving
}

TEST(ServiceConnectionsTest, ListensOnAnyIpv4OrIpv6Address) {
    struct Case {
        const char *address, *connectTo, *shown;
    };
    for (const Case& c :
         {Case{"::1", "::1", "listening [::1]:"}, Case{"::", "127.0.0.1", "listening [::]:"},
          Case{"0.0.0.0", "127.0.0.1", "listening 0.0.0.0:"},
          Case{"127.0.0.2", "127.0.0.2", "listening 127.0.0.2:"}}) {
        ServiceProcess service({"--address", c.address});
        ASSERT_NE(service.port(), 0) << c.address << ": " << service.firstLine();
        EXPECT_EQ(service.firstLine().rfind(c.shown, 0), 0u) << service.firstLine();
        const HttpReply http = SendRawTo(c.connectTo, service.port(),
                                         "GET " + Query("en", "fr", "house") +
                                             " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        EXPECT_TRUE(ParseReply(http.body).Has("maison")) << c.address;
    }
    ServiceProcess named({"--address", "localhost"});
    EXPECT_EQ(named.port(), 0);
    EXPECT_EQ(named.Stop(SIGTERM, 5000), 1);
}

TEST(ServiceConnectionsTest, ListPrintsTheServedDirections) {
    const std::string command = std::string(LEXIGROVE_SERVICE_PATH) + " --list";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out.append(buffer, n);
    }
    EXPECT_EQ(pclose(pipe), 0);
    EXPECT_NE(out.find("en fr freedict-eng-fra (lemmas: Hunspell en_US, WordNet exception "
                       "lists)\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("ru en freedict-eng-rus reversed (lemmas: Hunspell ru_RU)\n"),
              std::string::npos);
    EXPECT_NE(out.find("pt-br en freedict-por-eng (lemmas: Hunspell pt_BR)\n"), std::string::npos);
    EXPECT_NE(out.find("fi en freedict-fin-eng (lemmas: Voikko)\n"), std::string::npos);
    EXPECT_NE(out.find("ja en freedict-jpn-eng (folding only)\n"), std::string::npos);
    EXPECT_NE(out.find("en zh-cn cedict-zho-hans-eng reversed (lemmas: "), std::string::npos);
    EXPECT_EQ(out.find("en ko "), std::string::npos);
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
    for (const char* preload : {"--preload=en", "--preload=en:fr,", "--preload=en:ko"}) {
        ServiceProcess badPreload({preload});
        EXPECT_EQ(badPreload.port(), 0) << preload;
        EXPECT_EQ(badPreload.Stop(SIGTERM, 5000), 64) << preload;
    }
    ServiceProcess noData({"--data", "/nonexistent/lexigrove"});
    EXPECT_EQ(noData.port(), 0);
    EXPECT_EQ(noData.Stop(SIGTERM, 5000), 1);
    ServiceProcess noCache({"--table-cache", "/nonexistent/lexigrove/tables"});
    EXPECT_EQ(noCache.port(), 0);
    EXPECT_EQ(noCache.Stop(SIGTERM, 5000), 1);
}

// A folder of its own for a test, removed with everything in it.
struct TempFolder {
    TempFolder() {
        char pattern[] = "/tmp/lexigrove-op-XXXXXX";
        path = mkdtemp(pattern);
    }
    ~TempFolder() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string File(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

bool WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out.flush());
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes a dictionary into folder/staging and renames its files into place,
// as a package upgrade does.
void Install(const TempFolder& folder, const std::string& name, const DictEntries& entries) {
    const std::string staging = folder.File("staging");
    mkdir(staging.c_str(), 0755);
    ASSERT_TRUE(WriteDictionary(staging, name, entries, 64));
    for (const char* suffix : {".index", ".dict.dz"}) {
        ASSERT_EQ(std::rename((staging + "/" + name + suffix).c_str(),
                              folder.File(name + suffix).c_str()),
                  0);
    }
}

long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// Waits (at most 20 s) until probe() holds.
template <class Probe> bool Eventually(Probe probe) {
    const auto started = std::chrono::steady_clock::now();
    while (!probe()) {
        if (MillisecondsSince(started) > 20000) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// A damaged text or a cut index is refused with a reason, and the direction
// says so instead of answering "ok"; the repaired files, and a changed one,
// are served after SIGHUP, without a restart.
TEST(ServiceOperationTest, DamagedFilesAreRefusedAndReplacedOnesServedAfterSighup) {
    TempFolder folder;
    const DictEntries french = {{"cat", "cat\nchat\n"}, {"house", "house <n>\nmaison\n"}};
    DictEntries italian, german;
    for (int i = 0; i < 40; ++i) {
        italian.push_back({"w" + std::to_string(100 + i), "w\nparola" + std::to_string(i) + "\n"});
        german.push_back({"w" + std::to_string(100 + i), "w\nWort" + std::to_string(i) + "\n"});
    }
    Install(folder, "freedict-eng-fra", french);
    Install(folder, "freedict-eng-ita", italian);
    Install(folder, "freedict-eng-deu", german);
    std::string text = ReadBytes(folder.File("freedict-eng-ita.dict.dz"));
    text[text.size() / 2] = static_cast<char>(text[text.size() / 2] ^ 1);
    ASSERT_TRUE(WriteBytes(folder.File("freedict-eng-ita.dict.dz"), text));
    const std::string index = ReadBytes(folder.File("freedict-eng-deu.index"));
    ASSERT_TRUE(WriteBytes(folder.File("freedict-eng-deu.index"),
                           index.substr(0, index.find('\n', index.size() / 2) + 1)));

    ServiceProcess service({"--data", folder.path});
    ASSERT_NE(service.port(), 0) << service.firstLine();
    EXPECT_TRUE(ParseReply(Get(service.port(), Query("en", "fr", "cat")).body).Has("chat"));
    for (const auto& [to, why] :
         std::vector<std::pair<std::string, std::string>>{{"it", "damaged"}, {"de", "cut short"}}) {
        const HttpReply http = Get(service.port(), Query("en", to, "w101"));
        EXPECT_EQ(http.status, 500) << to;
        EXPECT_EQ(ParseReply(http.body).status, "error") << http.body;
        EXPECT_NE(http.body.find(why), std::string::npos) << http.body;
    }

    Install(folder, "freedict-eng-ita", italian);
    Install(folder, "freedict-eng-deu", german);
    DictEntries more = french;
    more.push_back({"dog", "dog\nchien\n"});
    Install(folder, "freedict-eng-fra", more);
    // Served from the old files until the signal.
    EXPECT_TRUE(ParseReply(Get(service.port(), Query("en", "fr", "dog")).body).results.empty());
    service.Signal(SIGHUP);
    EXPECT_TRUE(Eventually([&] {
        return ParseReply(Get(service.port(), Query("en", "fr", "dog")).body).Has("chien");
    }));
    EXPECT_TRUE(ParseReply(Get(service.port(), Query("en", "it", "w101")).body).Has("parola1"));
    EXPECT_TRUE(ParseReply(Get(service.port(), Query("en", "de", "w139")).body).Has("Wort39"));
    EXPECT_EQ(service.Stop(SIGTERM, 10000), 0);
}

// A reload replaces a forward dictionary and the reverse built from it while
// lookups in both directions go on, in the process itself: every lookup is
// answered, from the old files or the new ones (never from a dictionary
// freed under it: the sanitizers would say so), and once Refresh returns
// both directions answer from the new files, the table cache's reverse
// included.
TEST(ServiceOperationTest, RefreshReplacesAForwardDictionaryAndItsReverseUnderLookups) {
    TempFolder folder;
    const auto generation = [](int g) {
        DictEntries entries = {{"cat", "cat\ngatto\n"},
                               {"dog", "dog\ncane" + std::to_string(g) + "\n"}};
        // Every entry translates as gatto: a lookup of gatto in the reverse
        // reads hundreds of forward headwords.
        for (int i = 0; i < 300 + g; ++i) {
            entries.push_back(
                {"w" + std::to_string(i), "w\nparola" + std::to_string(i) + ", gatto\n"});
        }
        return entries;
    };
    Install(folder, "freedict-eng-ita", generation(0));
    mkdir(folder.File("tables").c_str(), 0755);
    service::DictionaryService dictionary(folder.path, folder.File("tables"));
    const auto answers = [&](const std::string& from, const std::string& to,
                             const std::string& word, const std::string& name) {
        const service::Answer answer = dictionary.Handle(Query(from, to, word));
        return answer.httpStatus == 200 && ParseReply(answer.body).Has(name);
    };
    ASSERT_TRUE(answers("en", "it", "cat", "gatto"));
    ASSERT_TRUE(answers("it", "en", "gatto", "cat"));
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, lookups{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t) {
        readers.emplace_back([&] {
            while (!stop) {
                wrong += answers("it", "en", "gatto", "cat") ? 0 : 1;
                wrong += answers("en", "it", "cat", "gatto") ? 0 : 1;
                lookups += 2;
            }
        });
    }
    for (int g = 1; g <= 20; ++g) {
        Install(folder, "freedict-eng-ita", generation(g));
        EXPECT_EQ(dictionary.Refresh(), 2u) << g; // the forward dictionary and its reverse
        const std::string cane = "cane" + std::to_string(g);
        EXPECT_TRUE(answers("en", "it", "dog", cane)) << g;
        EXPECT_TRUE(answers("it", "en", cane, "dog")) << g;
    }
    stop = true;
    for (std::thread& t : readers) {
        t.join();
    }
    EXPECT_EQ(wrong, 0) << "of " << lookups;
    EXPECT_GT(lookups, 40);

    // The service's own executable takes none of the tables this test's
    // executable wrote: it builds and writes its own.
    ServiceProcess service(
        {"--data", folder.path, "--table-cache", folder.File("tables"), "--preload=en:it,it:en"},
        {}, folder.File("errors"));
    ASSERT_NE(service.port(), 0) << service.firstLine();
    const std::string errors = ReadBytes(folder.File("errors"));
    for (const char* table : {"freedict-eng-ita.keys", "freedict-eng-ita.reverse"}) {
        EXPECT_NE(errors.find("refused " + folder.File("tables/") + table +
                              " was built by another build of the service; tables written to "
                              "the cache"),
                  std::string::npos)
            << errors;
    }
    EXPECT_TRUE(ParseReply(Get(service.port(), Query("it", "en", "cane20")).body).Has("dog"));
}

// The milliseconds the slowest of five lookups on a kept connection took.
long long SlowestOfFiveLookups(int kept) {
    long long slowest = 0;
    for (int i = 0; i < 5; ++i) {
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(RequestOnConnection(kept, Query("en", "fr", "cat")), 200);
        slowest = std::max(slowest, MillisecondsSince(started));
    }
    return slowest;
}

// A cold dictionary (German-English, half a million headwords) loads off the
// server thread: a kept connection on the same, only server thread is
// answered meanwhile, and SIGTERM during the load still answers the lookup
// that waits for it before the service exits 0.
TEST(ServiceOperationTest, ColdLoadsHoldUpNoOneAndSigtermFinishesThem) {
    ServiceProcess service({"--threads", "1"});
    ASSERT_NE(service.port(), 0) << service.firstLine();
    const int kept = Connect("127.0.0.1", service.port());
    ASSERT_GE(kept, 0);
    ASSERT_EQ(RequestOnConnection(kept, Query("en", "fr", "house")), 200);

    HttpReply cold;
    bool coldDone = false;
    std::thread lookup([&] {
        cold = Get(service.port(), Query("de", "en", "Haus"));
        coldDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const long long slowest = SlowestOfFiveLookups(kept);
    const bool loadStillRunning = !coldDone;
    service.Signal(SIGTERM);
    lookup.join();
    EXPECT_TRUE(loadStillRunning) << "the load ended before the test could look";
    EXPECT_LT(slowest, 500) << "a lookup waited behind the cold load";
    EXPECT_EQ(cold.status, 200);
    EXPECT_TRUE(ParseReply(cold.body).Has("house"));
    EXPECT_EQ(service.Stop(SIGTERM, 10000), 0);
    close(kept);
}

// So does the first word of a language whose morphology is not loaded yet
// (Brazilian Portuguese: pt_BR, Hunspell's largest dictionary here), though
// its dictionary was preloaded.
TEST(ServiceOperationTest, ColdMorphologyHoldsUpNoOne) {
    ServiceProcess service({"--threads", "1", "--preload=pt-br:en,en:fr"});
    ASSERT_NE(service.port(), 0) << service.firstLine();
    const int kept = Connect("127.0.0.1", service.port());
    ASSERT_GE(kept, 0);
    ASSERT_EQ(RequestOnConnection(kept, Query("en", "fr", "house")), 200);
    std::atomic<bool> coldDone{false};
    HttpReply cold;
    std::thread lookup([&] {
        cold = Get(service.port(), Query("pt-br", "en", "casa"));
        coldDone = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const long long slowest = SlowestOfFiveLookups(kept);
    const bool loadStillRunning = !coldDone;
    lookup.join();
    EXPECT_TRUE(loadStillRunning) << "the load ended before the test could look";
    EXPECT_LT(slowest, 200) << "a lookup waited behind the morphology's load";
    EXPECT_EQ(cold.status, 200);
    EXPECT_TRUE(ParseReply(cold.body).Has("house")) << cold.body;
    close(kept);
}

// Clients that trickle their request heads a byte at a time are closed at
// the head deadline, however steadily they send; and while they fill the
// connection limit, lookups from other clients are still answered at once.
TEST(ServiceOperationTest, SlowClientsNeitherStayNorCrowdOutLookups) {
    ServiceProcess service({"--max-connections", "64", "--threads", "2", "--head-timeout", "2",
                            "--idle-timeout", "1"});
    ASSERT_NE(service.port(), 0) << service.firstLine();
    std::vector<int> slow;
    for (int i = 0; i < 80; ++i) {
        const int s = Connect("127.0.0.1", service.port());
        ASSERT_GE(s, 0);
        const std::string line = "GET " + Query("en", "fr", "house") + " HTTP/1.1\r\n";
        send(s, line.data(), line.size(), MSG_NOSIGNAL);
        slow.push_back(s);
    }
    std::atomic<bool> stop{false};
    std::vector<bool> closed(slow.size(), false);
    std::thread trickle([&] {
        while (!stop) {
            for (size_t i = 0; i < slow.size(); ++i) {
                if (!closed[i] && send(slow[i], "X", 1, MSG_NOSIGNAL) != 1) {
                    closed[i] = true;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
    });
    const auto started = std::chrono::steady_clock::now();
    long long slowest = 0;
    int answered = 0;
    while (MillisecondsSince(started) < 1500) {
        const auto asked = std::chrono::steady_clock::now();
        answered += Get(service.port(), Query("en", "fr", "house")).status == 200 ? 1 : 0;
        slowest = std::max(slowest, MillisecondsSince(asked));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_GE(answered, 10);
    EXPECT_LT(slowest, 1000) << "a lookup waited behind the slow clients";
    // By 2 s plus the sweep, every slow client has been closed.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    stop = true;
    trickle.join();
    for (size_t i = 0; i < slow.size(); ++i) {
        char byte;
        EXPECT_TRUE(closed[i] || recv(slow[i], &byte, 1, MSG_DONTWAIT) == 0) << i;
        close(slow[i]);
    }
}

int NotifySocket(const std::string& path) {
    const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        return -1;
    }
    timeval timeout{20, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    return s;
}

// The next message the service sent its manager (empty after 20 s).
std::string NextNotice(int s) {
    char buffer[512];
    const ssize_t n = recv(s, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Under systemd: the preload comes before the socket, READY=1 once it
// listens; SIGHUP reloads a changed dictionary while /healthz says
// "loading" and lookups go on; SIGTERM says STOPPING=1 and exits 0.
TEST(ServiceOperationTest, PreloadHealthAndTheManagerHearOfEveryStage) {
    TempFolder folder;
    for (const char* suffix : {".index", ".dict.dz"}) {
        ASSERT_TRUE(
            WriteBytes(folder.File(std::string("freedict-deu-eng") + suffix),
                       ReadBytes(std::string("/usr/share/dictd/freedict-deu-eng") + suffix)));
    }
    const std::string socketPath = folder.File("notify");
    const int notices = NotifySocket(socketPath);
    ASSERT_GE(notices, 0);
    ServiceProcess service({"--data", folder.path, "--preload=de:en"},
                           {"NOTIFY_SOCKET=" + socketPath});
    ASSERT_NE(service.port(), 0) << service.firstLine();
    EXPECT_EQ(NextNotice(notices).rfind("READY=1\n", 0), 0u);
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_TRUE(ParseReply(Get(service.port(), Query("de", "en", "Haus")).body).Has("house"));
    EXPECT_LT(MillisecondsSince(asked), 500) << "the dictionary was not loaded before listening";
    const HttpReply ready = Get(service.port(), "/healthz");
    EXPECT_EQ(ready.status, 200);
    EXPECT_NE(ready.body.find("<service status=\"ready\"/>"), std::string::npos) << ready.body;

    // A newer file: reloaded beside the one in use.
    const std::string text = folder.File("freedict-deu-eng.dict.dz");
    ASSERT_EQ(utimensat(AT_FDCWD, text.c_str(), nullptr, 0), 0);
    service.Signal(SIGHUP);
    EXPECT_EQ(NextNotice(notices).rfind("RELOADING=1\n", 0), 0u);
    const HttpReply loading = Get(service.port(), "/healthz");
    EXPECT_EQ(loading.status, 503);
    EXPECT_NE(loading.body.find("status=\"loading\""), std::string::npos) << loading.body;
    EXPECT_TRUE(ParseReply(Get(service.port(), Query("de", "en", "Haus")).body).Has("house"));
    EXPECT_EQ(NextNotice(notices).rfind("READY=1\n", 0), 0u);
    EXPECT_EQ(Get(service.port(), "/healthz").status, 200);

    service.Signal(SIGTERM);
    EXPECT_EQ(NextNotice(notices).rfind("STOPPING=1\n", 0), 0u);
    EXPECT_EQ(service.Stop(SIGTERM, 10000), 0);
    close(notices);
}

// One line per request with its time, client, method, escaped target,
// status, results and microseconds; the file is reopened on SIGHUP after it
// was moved away; and nothing a client sends reaches standard error.
TEST(ServiceOperationTest, RequestLogLinesRotationAndAQuietStandardError) {
    TempFolder folder;
    const std::string log = folder.File("requests.log");
    const std::string errors = folder.File("stderr");
    ServiceProcess service({"--request-log", log, "--idle-timeout", "1"}, {}, errors);
    ASSERT_NE(service.port(), 0) << service.firstLine();
    EXPECT_EQ(Get(service.port(), Query("en", "fr", "house")).status, 200);
    SendRaw(service.port(), "GET /serverjobs/dictionary.php?word=caf\xC3\xA9\"x HTTP/1.1\r\n"
                            "Host: x\r\nConnection: close\r\n\r\n");
    // Whether a line of text is time, client and GET followed by rest.
    auto hasLine = [](const std::string& text, const std::string& rest) {
        const std::regex line("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}Z "
                              "127\\.0\\.0\\.1:[0-9]+ GET " +
                              rest);
        std::istringstream lines(text);
        std::string one;
        while (std::getline(lines, one)) {
            if (std::regex_match(one, line)) {
                return true;
            }
        }
        return false;
    };
    const std::string lines = ReadBytes(log);
    EXPECT_TRUE(hasLine(lines, "/serverjobs/dictionary\\.php\\?fromlang=en&tolang=fr&word=house"
                               " 200 1 [0-9]+"))
        << lines;
    EXPECT_TRUE(hasLine(lines, "/serverjobs/dictionary\\.php\\?word=caf%C3%A9%22x 400 0 [0-9]+"))
        << lines;

    ASSERT_EQ(std::rename(log.c_str(), (log + ".1").c_str()), 0);
    service.Signal(SIGHUP);
    EXPECT_TRUE(Eventually([&] { return access(log.c_str(), F_OK) == 0; }));
    EXPECT_EQ(Get(service.port(), Query("en", "fr", "cat")).status, 200);
    EXPECT_NE(ReadBytes(log).find("word=cat 200"), std::string::npos);
    EXPECT_EQ(ReadBytes(log + ".1").find("word=cat"), std::string::npos);

    // Requests a client should not send, each on a connection of its own.
    const std::string errorsBefore = ReadBytes(errors);
    for (const std::string& raw : {
             std::string("GARBAGE\r\n\r\n"), std::string("GET / HTTP/9.9\r\n\r\n"),
             std::string("GET /x HTTP/1.1\r\n\r\n"), // no Host
             std::string("GET /x HTTP/1.1\r\nHost: x\r\n") + std::string(40000, 'h') + "\r\n\r\n",
             std::string("POST /x HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\nZZ\r\n"),
             std::string("GET /x HTTP/1.1\r\nHost: x\r\nContent-Length: -1\r\n\r\n"),
             std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), // TLS
         }) {
        SendRaw(service.port(), raw);
    }
    EXPECT_EQ(Get(service.port(), Query("en", "fr", "house")).status, 200);
    EXPECT_EQ(ReadBytes(errors), errorsBefore);
    EXPECT_EQ(service.Stop(SIGTERM, 10000), 0);

    ServiceProcess stdoutLog({"--request-log", "-"});
    ASSERT_NE(stdoutLog.port(), 0) << stdoutLog.firstLine();
    EXPECT_EQ(Get(stdoutLog.port(), Query("en", "fr", "house")).status, 200);
    EXPECT_TRUE(hasLine(stdoutLog.Output(1000), ".*word=house 200 1 [0-9]+"));
}

} // namespace
} // namespace servicetest
