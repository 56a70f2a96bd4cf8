// The service's case folding, its language table and its request parsing,
// without a server.
#include "service/Dictionary.h"
#include "DictFiles.h"
#include "service/DictData.h"
#include "service/Folding.h"
#include "service/Languages.h"
#include "service/Request.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace service {
namespace {

TEST(LanguagesTest, ClientCodesMapOnceToFreeDictNames) {
    EXPECT_EQ(DictionaryLanguages("pt-br"), (std::vector<std::string>{"por"}));
    EXPECT_EQ(DictionaryLanguages("PT"), (std::vector<std::string>{"por"}));
    EXPECT_EQ(DictionaryLanguages("no"), (std::vector<std::string>{"nor", "nob", "nno"}));
    EXPECT_EQ(DictionaryLanguages("el"), (std::vector<std::string>{"ell"}));
    EXPECT_EQ(DictionaryLanguages("sl"), (std::vector<std::string>{"slv"}));
    EXPECT_EQ(DictionaryLanguages("zh-cn"), (std::vector<std::string>{"zho-hans"}));
    EXPECT_EQ(DictionaryLanguages("zh-tw"), (std::vector<std::string>{"zho-hant"}));
    EXPECT_TRUE(DictionaryLanguages("xx").empty());
    EXPECT_EQ(ClientCodes().size(), 26u); // es once for both Spanish rows
}

// A code added to the plugin's table without its FreeDict names, or names
// added for a code the plugin does not hand out, fails here.
TEST(LanguagesTest, EveryPluginCodeHasOneRowOfNames) {
    EXPECT_EQ(NamedCodes(), ClientCodes());
}

TEST(LanguagesTest, DirectionsComeFromOwnFilesElseReversedOnes) {
    char pattern[] = "/tmp/lexigrove-directions-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    const char* const files[] = {"freedict-eng-fra.index",   "freedict-fra-eng.index",
                                 "freedict-slv-eng.index",   "freedict-eng-nob.index",
                                 "freedict-eng-por.index",   "freedict-eng-fra.dict.dz",
                                 "cedict-zho-hant-eng.index"};
    for (const char* name : files) {
        std::ofstream(folder + "/" + name) << "";
    }
    std::vector<std::string> listed;
    for (const Direction& d : ServedDirections(folder)) {
        listed.push_back(d.from + ">" + d.to + " " + d.file + (d.reversed ? " r" : ""));
    }
    for (const char* name : files) {
        unlink((folder + "/" + name).c_str());
    }
    rmdir(folder.c_str());
    EXPECT_EQ(listed,
              (std::vector<std::string>{
                  "zh-tw>en cedict-zho-hant-eng", "en>zh-tw cedict-zho-hant-eng r",
                  "en>fr freedict-eng-fra", "en>no freedict-eng-nob", "en>pt freedict-eng-por",
                  "en>pt-br freedict-eng-por", "en>sl freedict-slv-eng r", "fr>en freedict-fra-eng",
                  "no>en freedict-eng-nob r", "pt>en freedict-eng-por r",
                  "pt-br>en freedict-eng-por r", "sl>en freedict-slv-eng"}));
}

TEST(FoldingTest, CaseFoldsFullyInEveryScriptWithTurkicRulesOnRequest) {
    EXPECT_EQ(FoldCase("HoUSE"), "house");
    EXPECT_EQ(FoldCase("\xC3\x89T\xC3\x89"), "\xC3\xA9t\xC3\xA9"); // ÉTÉ
    EXPECT_EQ(FoldCase("Stra\xC3\x9F"
                       "e"),
              "strasse"); // folding may lengthen
    EXPECT_EQ(FoldCase("STRASSE"), "strasse");
    // ΦΩΣ and φως (final sigma) meet; Ё and ё.
    EXPECT_EQ(FoldCase("\xCE\xA6\xCE\xA9\xCE\xA3"), FoldCase("\xCF\x86\xCF\x89\xCF\x82"));
    EXPECT_EQ(FoldCase("\xD0\x81"), "\xD1\x91");
    // A decomposed é is composed first: it meets the index's é.
    EXPECT_EQ(FoldCase("E\xCC\x81t\xC3\xA9"), "\xC3\xA9t\xC3\xA9");
    // Turkish: İnek -> inek and BALIK -> balık; by default İ keeps its dot
    // and I becomes i.
    EXPECT_EQ(FoldCase("\xC4\xB0nek", CaseRules::kTurkic), "inek");
    EXPECT_EQ(FoldCase("BALIK", CaseRules::kTurkic), "bal\xC4\xB1k");
    EXPECT_EQ(FoldCase("BALIK"), "balik");
    EXPECT_EQ(FoldCase("\xC4\xB0nek"), "i\xCC\x87nek");
    EXPECT_EQ(CaseRulesFor("TR"), CaseRules::kTurkic);
    EXPECT_EQ(CaseRulesFor("de"), CaseRules::kDefault);
    // Text that is not UTF-8 matches only itself: its ASCII letters fold,
    // the other bytes stay.
    EXPECT_EQ(FoldCase("\xC4\xB0\xC3\xFF\x80Z"), "\xC4\xB0\xC3\xFF\x80z");
    EXPECT_EQ(FoldAccents("\xC3\xA9\xFF"), "\xC3\xA9\xFF");
}

TEST(FoldingTest, AccentsFoldAwayAsALearnerTypesThem) {
    EXPECT_EQ(FoldAccents("\xC3\xA9"
                          "cole"),
              "ecole");
    EXPECT_EQ(FoldAccents("ni\xC3\xB1o"), "nino");
    EXPECT_EQ(FoldAccents("\xC5\x82\xC3\xB3"
                          "d\xC5\xBA"),
              "lodz");                                           // łódź
    EXPECT_EQ(FoldAccents("\xC3\xA6\xC3\xB8\xC5\x93"), "aeooe"); // æøœ
    EXPECT_EQ(FoldAccents("bal\xC4\xB1k"), "balik");             // ı
    EXPECT_EQ(FoldAccents("\xCF\x80\xCF\x8C\xCF\x84\xCE\xB5"), "\xCF\x80\xCE\xBF\xCF\x84\xCE\xB5");
    EXPECT_EQ(FoldAccents("\xD1\x91\xD0\xB6"), "\xD0\xB5\xD0\xB6"); // ёж -> еж
    // Japanese voicing marks and Hangul stay as they are.
    EXPECT_EQ(FoldAccents("\xE3\x81\x8C"), "\xE3\x81\x8C"); // が
    EXPECT_EQ(FoldAccents("\xEC\xA7\x91"), "\xEC\xA7\x91"); // 집
    EXPECT_EQ(Nfc("e\xCC\x81"), "\xC3\xA9");
}

// Headwords that differ only in accents or only in case, as a learner meets
// them.
class KeyTableTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/lexigrove-keys-XXXXXX";
        folder_ = mkdtemp(pattern);
        // dictd's own order is not byte order: the table sorts for itself.
        const servicetest::DictEntries entries = {
            {"00databaseshort", "A test dictionary\n"},
            {"a\xC3\xB1o", "a\xC3\xB1o\nyear\n"},
            {"ano", "ano\nanus\n"},
            {"\xC3\xA9"
             "cole",
             "\xC3\xA9"
             "cole\nschool\n"},
            {"Ecole", "Ecole <n>\nEcole (a place)\n"},
            {"ecole", "ecole\n"}, // no translation: not a match
            {"Rome", "Rome\nRoma\n"},
            {"rome", "rome\nrum\n"},
            {"ROME", "ROME\nROMA\n"},
            {"stra\xC3\x9F"
             "e",
             "Stra\xC3\x9F"
             "e\nstreet\n"},
            {"\xCF\x86\xCF\x89\xCF\x82", "\xCF\x86\xCF\x89\xCF\x82\nlight\n"},
        };
        ASSERT_TRUE(servicetest::WriteDictionary(folder_, "keys", entries, 0));
        std::string error;
        ASSERT_TRUE(dictionary_.Load(folder_, "keys", CaseRules::kDefault, &error)) << error;
    }
    static void TearDownTestSuite() {
        unlink((folder_ + "/keys.index").c_str());
        unlink((folder_ + "/keys.dict").c_str());
        rmdir(folder_.c_str());
    }
    static std::vector<std::string> Find(const std::string& word, MatchKind* kind = nullptr) {
        std::vector<Entry> entries;
        EXPECT_TRUE(dictionary_.Lookup(word, &entries, kind));
        std::vector<std::string> out;
        for (const Entry& e : entries) {
            out.push_back(e.headword + ":" + e.translations[0].name);
        }
        return out;
    }
    static std::string folder_;
    static Dictionary dictionary_;
};
std::string KeyTableTest::folder_;
Dictionary KeyTableTest::dictionary_;

TEST_F(KeyTableTest, ExactFirstThenCaseThenAccentsOnlyWhenNothingElse) {
    MatchKind kind;
    // The exact headword first, then the others in index order.
    EXPECT_EQ(Find("rome", &kind),
              (std::vector<std::string>{"rome:rum", "Rome:Roma", "ROME:ROMA"}));
    EXPECT_EQ(kind, MatchKind::kExact);
    EXPECT_EQ(Find("ROME")[0], "ROME:ROMA");
    // año and ano are two words: neither is offered for the other.
    EXPECT_EQ(Find("ano"), (std::vector<std::string>{"ano:anus"}));
    EXPECT_EQ(Find("A\xC3\x91O"), (std::vector<std::string>{"a\xC3\xB1o:year"}));
    // Ecole is a match in case, so école is not offered; "ecole" itself has
    // no translation.
    EXPECT_EQ(Find("ECOLE", &kind), (std::vector<std::string>{"Ecole:Ecole (a place)"}));
    EXPECT_EQ(kind, MatchKind::kExact);
    // Misplaced accents find the headwords without accents and with others.
    EXPECT_EQ(Find("\xC3\xA8"
                   "col\xC3\xA9",
                   &kind),
              (std::vector<std::string>{"\xC3\xA9"
                                        "cole:school",
                                        "Ecole:Ecole (a place)"}));
    EXPECT_EQ(kind, MatchKind::kAccents);
    EXPECT_EQ(Find("STRASSE"), (std::vector<std::string>{"Stra\xC3\x9F"
                                                         "e:street"}));
    EXPECT_EQ(Find("\xCE\xA6\xCE\xA9\xCE\xA3"),
              (std::vector<std::string>{"\xCF\x86\xCF\x89\xCF\x82:light"}));
    EXPECT_TRUE(Find("romes", &kind).empty());
    EXPECT_EQ(kind, MatchKind::kNone);
    EXPECT_TRUE(Find("00databaseshort").empty());
    EXPECT_EQ(dictionary_.HeadwordCount(), 10u);
}

TEST_F(KeyTableTest, AReverseFindsItsHeadwordsTheSameWay) {
    Dictionary reverse;
    reverse.LoadReversed(dictionary_, CaseRules::kDefault);
    std::vector<Entry> entries;
    MatchKind kind;
    ASSERT_TRUE(reverse.Lookup("ROMA", &entries, &kind));
    // Roma and ROMA, translations that differ only in case, are one
    // headword written as it first appears.
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].headword, "Roma");
    ASSERT_EQ(entries[0].translations.size(), 2u);
    EXPECT_EQ(entries[0].translations[0].name, "Rome");
    EXPECT_EQ(entries[0].translations[1].name, "ROME");
    ASSERT_TRUE(reverse.Lookup("ecole (a place)", &entries, &kind));
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].translations[0].type, "noun");
    EXPECT_EQ(kind, MatchKind::kExact);
}

TEST(RequestTest, AbsoluteAndOriginFormsGiveTheSameQuery) {
    for (const char* target :
         {"/serverjobs/dictionary.php?word=caf%c3%a9+au+lait&tolang=fr&fromlang=pt-br",
          "http://dictionary.brambix.example:8080/serverjobs/dictionary.php"
          "?fromlang=pt-br&tolang=fr&word=caf%C3%A9+au+lait&word=ignored",
          "https://h/serverjobs/"
          "dictionary.php?x&fromlang=pt-br&tolang=fr&word=caf%C3%A9%20au+lait"}) {
        DictionaryQuery q;
        std::string problem;
        ASSERT_EQ(ParseTarget(target, &q, &problem), TargetKind::kQuery) << target << problem;
        EXPECT_EQ(q.from, "pt-br");
        EXPECT_EQ(q.to, "fr");
        EXPECT_EQ(q.word, "caf\xC3\xA9 au lait");
    }
}

TEST(RequestTest, OtherPathsAndBrokenQueriesAreTold) {
    DictionaryQuery q;
    std::string problem;
    EXPECT_EQ(ParseTarget("/", &q, &problem), TargetKind::kOtherPath);
    EXPECT_EQ(ParseTarget("http://h", &q, &problem), TargetKind::kOtherPath);
    EXPECT_EQ(ParseTarget("/serverjobs/dictionary.phpx?fromlang=en&tolang=fr&word=a", &q, &problem),
              TargetKind::kOtherPath);
    EXPECT_EQ(ParseTarget("/serverjobs/dictionary.php?fromlang=en&tolang=fr&word", &q, &problem),
              TargetKind::kQuery); // a key without '=' has the empty value
    EXPECT_EQ(q.word, "");
    EXPECT_EQ(ParseTarget("/serverjobs/dictionary.php?fromlang=en&tolang=fr&wor%d=a", &q, &problem),
              TargetKind::kMalformed);
    std::string decoded;
    EXPECT_TRUE(DecodeQueryValue("%00%ff%2B", &decoded));
    EXPECT_EQ(decoded, std::string("\0\xFF+", 3));
    EXPECT_FALSE(DecodeQueryValue("%", &decoded));
    EXPECT_FALSE(DecodeQueryValue("%1", &decoded));
    EXPECT_FALSE(DecodeQueryValue("%x1", &decoded));
}

TEST(DictDataTest, ReadsAnyRangeAcrossDictzipChunks) {
    std::string text;
    for (int i = 0; i < 500; ++i) {
        text += "line " + std::to_string(i) + "\n";
    }
    const std::string path = "/tmp/lexigrove-dictdata-" + std::to_string(getpid()) + ".dict.dz";
    {
        std::ofstream out(path, std::ios::binary);
        out << servicetest::Dictzip(text, 97);
    }
    DictData data;
    std::string error;
    ASSERT_TRUE(data.Open(path, &error)) << error;
    std::string got;
    for (size_t offset : {size_t{0}, size_t{96}, size_t{97}, size_t{1000}, text.size() - 5}) {
        for (size_t length : {size_t{0}, size_t{1}, size_t{5}, size_t{300}}) {
            if (offset + length <= text.size()) {
                ASSERT_TRUE(data.Read(offset, length, &got)) << offset << "+" << length;
                EXPECT_EQ(got, text.substr(offset, length)) << offset << "+" << length;
            }
        }
    }
    ASSERT_TRUE(data.Read(0, text.size(), &got));
    EXPECT_EQ(got, text);
    EXPECT_FALSE(data.Read(text.size() - 1, 2, &got));
    EXPECT_FALSE(data.Read(~0ull - 1, 4, &got));
    std::remove(path.c_str());

    EXPECT_FALSE(data.Open("/nonexistent.dict.dz", &error));
}

} // namespace
} // namespace service
