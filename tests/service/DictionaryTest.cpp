// The service's reading of FreeDict entries, its case folding and its
// request parsing, without a server.
#include "service/Dictionary.h"
#include "DictFiles.h"
#include "service/ChunkCache.h"
#include "service/DictData.h"
#include "service/IndexCheck.h"
#include "service/Languages.h"
#include "service/Reply.h"
#include "service/Request.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace service {
namespace {

std::vector<std::string> Names(const std::vector<Translation>& list) {
    std::vector<std::string> out;
    for (const Translation& t : list) {
        out.push_back(t.name);
    }
    return out;
}

TEST(ParseEntryTest, CommasInsideBracketsAndTagGroupsDoNotSplitTranslations) {
    const auto items =
        ParseEntry("run /r/ <v>\n"
                   "auf etw. abf\xC3\xA4rben, ausbluten <v, intr>, Lauf (a, b) <masc>\n");
    EXPECT_EQ(Names(items),
              (std::vector<std::string>{"auf etw. abf\xC3\xA4rben", "ausbluten", "Lauf (a, b)"}));
    EXPECT_EQ(items[0].type, "verb"); // from the headword line
    EXPECT_EQ(items[1].type, "verb");
    EXPECT_EQ(items[2].type, "noun"); // a gender alone marks a noun
}

TEST(ParseEntryTest, OwnTagOverridesTheEntryTypeAndDuplicatesAreDropped) {
    const auto items = ParseEntry("Haus /h/ <neut, n, sg>\n [mus.] house music <n>, house <adj>\n"
                                  "1. home\n2. home\n10. shelter\n");
    ASSERT_EQ(items.size(), 4u);
    EXPECT_EQ(items[0].name, "house music"); // the domain label left out
    EXPECT_EQ(items[1].name, "house");
    EXPECT_EQ(items[1].type, "adjective");
    EXPECT_EQ(items[2].name, "home");
    EXPECT_EQ(items[2].type, "noun");
    EXPECT_EQ(items[3].name, "shelter");
}

TEST(ParseEntryTest, EntriesWithoutSensesGiveNothing) {
    EXPECT_TRUE(ParseEntry("word /w/\n").empty());
    EXPECT_TRUE(
        ParseEntry("word\n1.\n      \"example\"\n   Synonyms: {a}, {b}\n see: {c}\n").empty());
    EXPECT_TRUE(ParseEntry("").empty());
    // A definition indented by one column is a sense of its own.
    EXPECT_EQ(Names(ParseEntry("verlan <n>\n2.\n french slang\n")),
              (std::vector<std::string>{"french slang"}));
}

// The layouts below are those of Debian's FreeDict files: the German-English
// TEI export, the WordNet-based English-Japanese and English-Norwegian, the
// Japanese-English (JMdict) and the English-Polish ones.
TEST(ParseEntryTest, PronunciationsAbbreviationsAndLabelsAreNotTranslations) {
    const auto items =
        ParseEntry("Stra\xC3\x9F"
                   "e /\xCA\x83tr/ (Str. /\xCB\x8C\xC9\x9Bst/) <fem, n, sg>\n"
                   "avenue <n>Ave,  /\xCB\x88\xC9\x91\xCB\x90v\xC9\x9B/ , alley <n>\n"
                   "street <n>St,  /\xCB\x8C\xC9\x9Bst\xCB\x88\x65\xCB\x90/\n"
                   " [geogr.] strait <n>, and/or //x// <adv>\n"
                   "         Note: of trees\n");
    EXPECT_EQ(Names(items),
              (std::vector<std::string>{"avenue", "alley", "street", "strait", "and/or"}));
    EXPECT_EQ(items[4].type, "adverb");
}

TEST(ParseEntryTest, DefinitionLinesAfterNumberedSensesAreLeftOut) {
    EXPECT_EQ(Names(ParseEntry("house //ha\xCA\x8As// <n>\n1. A, B\ndebating chamber\n"
                               "2. B, C\nhuman abode\n")),
              (std::vector<std::string>{"A", "B", "C"}));
    // A sense number at the end of the line opens the next sense; senses
    // without a translation give nothing.
    EXPECT_EQ(Names(ParseEntry("house <n>\nhus 2.\narchetypal structure\n 3.\nhuman abode\n")),
              (std::vector<std::string>{"hus"}));
}

TEST(ParseEntryTest, WikDictDefinitionsAfterUnnumberedTranslationsAreLeftOut) {
    const std::string talo =
        "talo /t\xCB\x88\x61lo/ <n>\nhouse, home\nyleens\xC3\xA4 asuinrakennus\n";
    EXPECT_EQ(Names(ParseEntry(talo, true)), (std::vector<std::string>{"house", "home"}));
    // Other dictionaries write further senses on such lines.
    EXPECT_EQ(Names(ParseEntry("Haus <n>\nhouse\nhome\n")),
              (std::vector<std::string>{"house", "home"}));
}

TEST(ParseEntryTest, PartOfSpeechLinesTypeTheSensesAfterThem) {
    const auto items = ParseEntry(" [ichi1]  X /x/\n1. (noun (common) (futsuumeishi))\n"
                                  " (nouns which may take the genitive case particle `no')\n"
                                  "house, residence\n2. family\n3. (Godan verb with `ku' ending)\n"
                                  "{A\xE3\x83\xBB"
                                  "b}\nto live (somewhere)\n");
    EXPECT_EQ(Names(items),
              (std::vector<std::string>{"house", "residence", "family", "to live (somewhere)"}));
    EXPECT_EQ(items[0].type, "noun");
    EXPECT_EQ(items[2].type, "noun"); // carried over to the next sense
    EXPECT_EQ(items[3].type, "verb");
}

TEST(ParseEntryTest, RomanSectionsTypeTheirNumberedSenses) {
    const auto items = ParseEntry("house\nI.  <N> 1.  budynek, dom\n 2.  [ksi\xC4\x85\xC5\xBC"
                                  "ek]  wydawnictwo\nII.  <V> 1.  mie\xC5\x9B\x63i\xC4\x87\n"
                                  " - mieszka\xC4\x87\n");
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(items[2].name, "wydawnictwo");
    EXPECT_EQ(items[2].type, "noun");
    EXPECT_EQ(items[3].type, "verb");
    EXPECT_EQ(items[4].name, "mieszka\xC4\x87");
}

TEST(LanguagesTest, ClientCodesMapOnceToFreeDictNames) {
    EXPECT_EQ(DictionaryLanguages("pt-br"), (std::vector<std::string>{"por"}));
    EXPECT_EQ(DictionaryLanguages("PT"), (std::vector<std::string>{"por"}));
    EXPECT_EQ(DictionaryLanguages("no"), (std::vector<std::string>{"nor", "nob", "nno"}));
    EXPECT_EQ(DictionaryLanguages("el"), (std::vector<std::string>{"ell"}));
    EXPECT_EQ(DictionaryLanguages("sl"), (std::vector<std::string>{"slv"}));
    EXPECT_TRUE(DictionaryLanguages("zh-cn").empty());
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
    const char* const files[] = {"freedict-eng-fra.index", "freedict-fra-eng.index",
                                 "freedict-slv-eng.index", "freedict-eng-nob.index",
                                 "freedict-eng-por.index", "freedict-eng-fra.dict.dz"};
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
              (std::vector<std::string>{"en>fr freedict-eng-fra", "en>no freedict-eng-nob",
                                        "en>pt freedict-eng-por", "en>pt-br freedict-eng-por",
                                        "en>sl freedict-slv-eng r", "fr>en freedict-fra-eng",
                                        "no>en freedict-eng-nob r", "pt>en freedict-eng-por r",
                                        "pt-br>en freedict-eng-por r", "sl>en freedict-slv-eng"}));
}

TEST(FoldCaseTest, LowersCommonScriptsAndKeepsTheByteLength) {
    EXPECT_EQ(FoldCase("HoUSE"), "house");
    EXPECT_EQ(FoldCase("\xC3\x89T\xC3\x89"), "\xC3\xA9t\xC3\xA9"); // ÉTÉ
    EXPECT_EQ(FoldCase("\xC3\x97"), "\xC3\x97");                   // × stays
    EXPECT_EQ(FoldCase("\xC5\xB8"), "\xC3\xBF");                   // Ÿ -> ÿ
    EXPECT_EQ(FoldCase("\xC5\x81\xC3\x93"
                       "D\xC5\xB9"),
              "\xC5\x82\xC3\xB3"
              "d\xC5\xBA");                                                      // ŁÓDŹ
    EXPECT_EQ(FoldCase("\xD0\x94\xD0\x9E\xD0\x9C"), "\xD0\xB4\xD0\xBE\xD0\xBC"); // ДОМ
    EXPECT_EQ(FoldCase("\xD0\x81"), "\xD1\x91");                                 // Ё -> ё
    EXPECT_EQ(FoldCase("\xCE\xA3"), "\xCF\x83");                                 // Σ -> σ
    // Not folded to a shorter form, invalid sequences untouched.
    const std::string odd = "\xC4\xB0\xC3\xFF\x80Z";
    EXPECT_EQ(FoldCase(odd), "\xC4\xB0\xC3\xFF\x80z");
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

// Every single changed byte of a dictzip file, anywhere: the file is refused
// when it is opened, or (a byte the text does not depend on, such as the
// header's time) every byte of its text still reads as written.
TEST(DictDataTest, NoChangedByteOfACompressedFileIsEverRead) {
    std::string text;
    for (int i = 0; i < 60; ++i) {
        text += "entry " + std::to_string(i * 7919) + "\n";
    }
    const std::string good = servicetest::Dictzip(text, 101);
    const std::string path = "/tmp/lexigrove-flip-" + std::to_string(getpid()) + ".dict.dz";
    size_t refused = 0;
    for (size_t at = 0; at < good.size(); ++at) {
        std::string bad = good;
        bad[at] = static_cast<char>(bad[at] ^ 0x20);
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << bad;
        }
        DictData data;
        std::string error, got;
        if (!data.Open(path, &error)) {
            ++refused;
            EXPECT_NE(error.find(path), std::string::npos) << error;
            continue;
        }
        ASSERT_TRUE(data.Read(0, data.TextSize(), &got)) << "byte " << at;
        EXPECT_EQ(got, text) << "byte " << at;
    }
    std::remove(path.c_str());
    // Some bytes the text does not depend on (the header's time and system,
    // padding bits of the flush points) may change; nearly all others are
    // caught.
    EXPECT_GT(refused, good.size() * 9 / 10);

    // A file cut short, and one with bytes after its end.
    for (const std::string& bad : {good.substr(0, good.size() - 3), good + "junk"}) {
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << bad;
        }
        DictData data;
        std::string error;
        EXPECT_FALSE(data.Open(path, &error)) << bad.size();
    }
    std::remove(path.c_str());
}

TEST(IndexCheckTest, AnIndexMustReachTheWholeTextAndNothingPastIt) {
    const std::string index = "a\tA\tK\nb\tK\tK\nc\tU\tF\n"; // [0,10) [10,20) [20,25)
    std::string error;
    EXPECT_TRUE(CheckIndex(index, 25, "x.index", &error)) << error;
    // Two headwords on one entry, and the entry of an empty headword.
    EXPECT_TRUE(CheckIndex("a\tA\tZ\nb\tA\tZ\n\tZ\tA\n", 25, "x.index", &error)) << error;
    struct Case {
        std::string index;
        uint64_t textSize;
        const char* why;
    };
    for (const Case& c : {
             Case{index.substr(0, index.size() - 3), 25, "ends inside a line"},
             Case{"a\tA\tK\nc\tU\tF\n", 25, "reaches the text only up to byte 10"},
             Case{"a\tA\tK\nb\tK\tK\n", 25, "reaches the text only up to byte 20"},
             Case{index, 24, "points past the end"},
             Case{"a\tA\tK\nb K K\n", 25, "line 2 is not"},
             Case{"a\tA\t*\n", 25, "line 1 is not"},
             Case{"", 0, "is empty"},
         }) {
        EXPECT_FALSE(CheckIndex(c.index, c.textSize, "x.index", &error)) << c.why;
        EXPECT_NE(error.find(c.why), std::string::npos) << error;
        EXPECT_EQ(error.rfind("x.index", 0), 0u) << error;
    }
}

// Whatever bytes a request or the data holds, the reply is well-formed
// UTF-8: a byte that begins no character XML allows becomes U+FFFD.
TEST(ReplyTest, EscapedTextIsAlwaysWellFormedUtf8) {
    const std::string fffd = "\xEF\xBF\xBD";
    struct Case {
        std::string in, out;
    };
    for (const Case& c : {
             Case{"caf\xC3\xA9 \xE5\xAE\xB6 \xF0\x9F\x98\x80",
                  "caf\xC3\xA9 \xE5\xAE\xB6 \xF0\x9F\x98\x80"},
             Case{"\xFF", fffd},
             Case{"a\xC3", "a" + fffd},                           // cut sequence
             Case{"\xC0\xAF", fffd + fffd},                       // overlong '/'
             Case{"\xED\xA0\x80", fffd + fffd + fffd},            // a surrogate
             Case{"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd}, // past U+10FFFF
             Case{"\xEF\xBF\xBE", fffd + fffd + fffd},            // U+FFFE
             Case{"<&\">\t\x01", "&lt;&amp;&quot;&gt;&#9;"},
         }) {
        EXPECT_EQ(XmlEscape(c.in), c.out) << c.in;
    }
    EXPECT_NE(UnsupportedReply("no dictionary for \xFF -> en").find(fffd + " -&gt; en"),
              std::string::npos);
}

TEST(ChunkCacheTest, KeepsTheMostRecentlyUsedChunksWithinItsBudget) {
    ChunkCache cache(100);
    auto chunk = [](size_t size) { return std::make_shared<const std::string>(size, 'x'); };
    cache.Insert(1, 0, chunk(40));
    cache.Insert(1, 1, chunk(40));
    ASSERT_NE(cache.Find(1, 0), nullptr); // now the most recently used
    cache.Insert(2, 0, chunk(40));        // drops (1, 1)
    EXPECT_EQ(cache.Find(1, 1), nullptr);
    EXPECT_NE(cache.Find(1, 0), nullptr);
    EXPECT_NE(cache.Find(2, 0), nullptr);
    EXPECT_EQ(cache.Bytes(), 80u);
    cache.Insert(3, 0, chunk(101)); // larger than the budget: not kept
    EXPECT_EQ(cache.Find(3, 0), nullptr);
    cache.Forget(1);
    EXPECT_EQ(cache.Find(1, 0), nullptr);
    EXPECT_EQ(cache.Bytes(), 40u);
    cache.SetBudget(0);
    EXPECT_EQ(cache.Bytes(), 0u);
}

} // namespace
} // namespace service
