// The service's case folding, its language table and its request parsing,
// without a server.
#include "service/Dictionary.h"
#include "DictFiles.h"
#include "service/ChunkCache.h"
#include "service/DictData.h"
#include "service/Folding.h"
#include "service/IndexCheck.h"
#include "service/Languages.h"
#include "service/Reply.h"
#include "service/Request.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace service {
namespace {

bool ReadFile(const std::string& path, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    *out = text.str();
    return static_cast<bool>(in);
}

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

// Every lookup of a dictionary and of its reverse, as "word:headword=translation,..." lines.
std::string Answers(const Dictionary& d, const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& word : words) {
        std::vector<Entry> entries;
        EXPECT_TRUE(d.Lookup(word, &entries));
        out += word + ":";
        for (const Entry& e : entries) {
            out += e.headword + "=";
            for (const Translation& t : e.translations) {
                out += t.name + "/" + t.type + ",";
            }
        }
        out += "\n";
    }
    return out;
}

// The key tables and reverses kept in a table cache answer exactly as built
// ones; a cache file built from other files or with other rules, cut
// short, or with any byte changed is refused, and the tables are built and
// written again.
TEST(TableCacheTest, CachedTablesAnswerAsBuiltOnesAndNoOtherFileIsTaken) {
    char pattern[] = "/tmp/lexigrove-tables-XXXXXX";
    const std::string folder = mkdtemp(pattern);
    const std::string cache = folder + "/cache";
    ASSERT_EQ(mkdir(cache.c_str(), 0755), 0);
    servicetest::DictEntries entries = {
        {"00databaseshort", "A test dictionary\n"},
        {"\xC3\xA9"
         "cole",
         "\xC3\xA9"
         "cole <n>\n\xC3\xA9"
         "cole, Schule\n"},
        {"Ecole", "Ecole\nEcole (Ort)\n"},
        {"Iran", "Iran\nIran\n"},
        {"stra\xC3\x9F"
         "e",
         "Stra\xC3\x9F"
         "e\nstreet\n"},
    };
    const std::vector<std::string> words = {"ECOLE",  "ecole",  "iran",        "STRASSE",
                                            "schule", "street", "Ecole (ort)", "nothing"};
    ASSERT_TRUE(servicetest::WriteDictionary(folder, "tables", entries, 16));
    const auto load = [&](CaseRules rules, std::string* forwardNote, std::string* reverseNote) {
        Dictionary forward, reverse;
        std::string error;
        EXPECT_TRUE(forward.Load(folder, "tables", rules, &error, cache)) << error;
        EXPECT_TRUE(reverse.LoadReversed(forward, rules, cache));
        *forwardNote = forward.CacheNote();
        *reverseNote = reverse.CacheNote();
        return Answers(forward, words) + Answers(reverse, words);
    };
    std::string built;
    {
        Dictionary forward, reverse;
        std::string error;
        ASSERT_TRUE(forward.Load(folder, "tables", CaseRules::kDefault, &error)) << error;
        ASSERT_TRUE(reverse.LoadReversed(forward, CaseRules::kDefault));
        EXPECT_EQ(forward.CacheNote(), "");
        built = Answers(forward, words) + Answers(reverse, words);
    }
    EXPECT_NE(built.find("ecole:\xC3\xA9"
                         "cole="),
              std::string::npos)
        << built;
    std::string forwardNote, reverseNote;
    EXPECT_EQ(load(CaseRules::kDefault, &forwardNote, &reverseNote), built);
    EXPECT_EQ(forwardNote, "tables written to the cache");
    EXPECT_EQ(reverseNote, "tables written to the cache");
    EXPECT_EQ(load(CaseRules::kDefault, &forwardNote, &reverseNote), built);
    EXPECT_EQ(forwardNote, "tables read from the cache");
    EXPECT_EQ(reverseNote, "tables read from the cache");

    // Any changed byte, and a file cut short.
    for (const char* file : {"/tables.keys", "/tables.reverse"}) {
        const std::string path = cache + file;
        std::string good;
        ASSERT_TRUE(ReadFile(path, &good));
        std::vector<std::string> bad = {good.substr(0, good.size() - 1), good + "x"};
        for (size_t at = 0; at < good.size(); ++at) {
            bad.push_back(good);
            bad.back()[at] = static_cast<char>(bad.back()[at] ^ 0x10);
        }
        for (size_t i = 0; i < bad.size(); ++i) {
            {
                std::ofstream out(path, std::ios::binary | std::ios::trunc);
                out << bad[i];
            }
            EXPECT_EQ(load(CaseRules::kDefault, &forwardNote, &reverseNote), built) << file << i;
            EXPECT_EQ((std::string(file) == "/tables.keys" ? forwardNote : reverseNote)
                          .rfind("refused " + path, 0),
                      0u)
                << file << " " << i << ": " << forwardNote << " / " << reverseNote;
        }
    }
    // Other rules: Turkish folds Iran's I to a dotless ı.
    load(CaseRules::kTurkic, &forwardNote, &reverseNote);
    EXPECT_NE(forwardNote.find("not a table file of this version for these rules"),
              std::string::npos)
        << forwardNote;
    load(CaseRules::kDefault, &forwardNote, &reverseNote);
    // Other files: a changed text makes a changed reverse.
    entries.push_back({"rue", "rue\nstreet\n"});
    ASSERT_TRUE(servicetest::WriteDictionary(folder, "tables", entries, 16));
    const std::string changed = load(CaseRules::kDefault, &forwardNote, &reverseNote);
    EXPECT_NE(forwardNote.find("was built from other files"), std::string::npos) << forwardNote;
    EXPECT_NE(reverseNote.find("was built from other files"), std::string::npos) << reverseNote;
    EXPECT_NE(changed.find("street:street=stra\xC3\x9F"
                           "e/translation,rue/translation,"),
              std::string::npos)
        << changed;
    EXPECT_EQ(load(CaseRules::kDefault, &forwardNote, &reverseNote), changed);
    EXPECT_EQ(reverseNote, "tables read from the cache");

    // A cache that cannot be written fails no load.
    {
        Dictionary forward;
        std::string error;
        EXPECT_TRUE(forward.Load(folder, "tables", CaseRules::kDefault, &error, folder + "/none"));
        EXPECT_EQ(forward.CacheNote().rfind("cannot write " + folder + "/none/tables.keys", 0), 0u)
            << forward.CacheNote();
    }
    // The text is checked at every load, also when the cache matches it: a
    // byte changed in place under the same size and time is refused.
    const std::string text = folder + "/tables.dict.dz";
    struct stat before {};
    ASSERT_EQ(stat(text.c_str(), &before), 0);
    {
        std::fstream io(text, std::ios::binary | std::ios::in | std::ios::out);
        io.seekg(static_cast<std::streamoff>(before.st_size / 2));
        const char c = static_cast<char>(io.get());
        io.seekp(static_cast<std::streamoff>(before.st_size / 2));
        io.put(static_cast<char>(c ^ 0x01));
    }
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, text.c_str(), times, 0), 0);
    {
        Dictionary forward;
        std::string error;
        EXPECT_FALSE(forward.Load(folder, "tables", CaseRules::kDefault, &error, cache));
        EXPECT_NE(error.find("damaged"), std::string::npos) << error;
    }
    std::system(("rm -rf '" + folder + "'").c_str());
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

    // In text order, as a reverse reads it: ranges that share a chunk,
    // overlap, are empty, skip chunks or span many.
    const std::vector<DictData::Range> ranges = {{0, 10},         {5, 200},    {96, 1},
                                                 {96, 0},         {97, 96},    {1000, 3},
                                                 {1000, 500},     {2500, 900}, {text.size() - 1, 1},
                                                 {text.size(), 0}};
    std::vector<std::string> read(ranges.size());
    ASSERT_TRUE(data.ReadInOrder(
        ranges, [&](size_t i, std::string_view bytes) { read[i] = std::string(bytes); }));
    for (size_t i = 0; i < ranges.size(); ++i) {
        EXPECT_EQ(read[i], text.substr(ranges[i].offset, ranges[i].length)) << i;
    }
    EXPECT_FALSE(data.ReadInOrder({{10, 5}, {4, 1}}, [](size_t, std::string_view) {}));
    EXPECT_FALSE(data.ReadInOrder({{text.size() - 1, 2}}, [](size_t, std::string_view) {}));
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
    // 1 when file with the bits of one byte changed is refused; otherwise
    // its text must read as written.
    const auto refused = [&](const std::string& file, const std::string& written, size_t at,
                             int bits) {
        std::string bad = file;
        bad[at] = static_cast<char>(bad[at] ^ bits);
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << bad;
        }
        DictData data;
        std::string error, got;
        if (!data.Open(path, &error)) {
            EXPECT_NE(error.find(path), std::string::npos) << error;
            return size_t{1};
        }
        EXPECT_TRUE(data.Read(0, data.TextSize(), &got)) << "byte " << at;
        EXPECT_EQ(got, written) << "byte " << at;
        return size_t{0};
    };
    size_t caught = 0;
    for (size_t at = 0; at < good.size(); ++at) {
        caught += refused(good, text, at, 0x20);
    }
    // Some bytes the text does not depend on (the header's time and system,
    // padding bits of the flush points) may change; nearly all others are
    // caught.
    EXPECT_GT(caught, good.size() * 9 / 10);

    // A text of many chunks is checked in two halves at once: a changed
    // byte in either, or in the trailer, is refused all the same.
    std::string large;
    for (int i = 0; large.size() < 101 * 150; ++i) {
        large += "entry " + std::to_string(i * 7919 % 100003) + "\n";
    }
    const std::string many = servicetest::Dictzip(large, 101);
    size_t checked = 0;
    caught = 0;
    for (size_t at = many.size() / 4; at < many.size(); at += many.size() / 40) {
        for (const size_t where : {at, many.size() - 1 - (at - many.size() / 4) % 8}) {
            ++checked;
            caught += refused(many, large, where, 0x01);
        }
    }
    EXPECT_GT(caught, checked * 9 / 10);

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
