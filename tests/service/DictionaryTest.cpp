// The service's case folding, its language table and its request parsing,
// without a server.
#include "service/Dictionary.h"
#include "DictFiles.h"
#include "service/DictData.h"
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

} // namespace
} // namespace service
