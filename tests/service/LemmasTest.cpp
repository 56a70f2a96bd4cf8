// Lemmas from morphology data the test writes: a Hunspell dictionary in an
// 8-bit encoding, one in UTF-8 and WordNet's exception lists.
#include "service/Lemmas.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace service {
namespace {

class LemmasTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/lexigrove-lemmas-XXXXXX";
        folder_ = mkdtemp(pattern);
        // Polish in ISO 8859-2 (ł is 0xB3): łza, plural łzy.
        Write("pl_PL.aff", "SET ISO8859-2\nSFX A Y 1\nSFX A a y a\n");
        Write("pl_PL.dic", "1\n\xB3za/A\n");
        Write("en_US.aff", "SET UTF-8\nSFX S Y 1\nSFX S 0 s .\n");
        Write("en_US.dic", "2\nhouse/S\nwent\n");
        Write("verb.exc", "went go\nwent_deep go_deep\n");
        Write("noun.exc", "houses_of_cards house_of_cards\nmice mouse\n");
        Write("adj.exc", "better good well\n");
        lemmas_ = std::make_unique<Lemmas>(MorphologyFolders{folder_, folder_});
    }
    void TearDown() override {
        for (const char* name : {"pl_PL.aff", "pl_PL.dic", "en_US.aff", "en_US.dic", "verb.exc",
                                 "noun.exc", "adj.exc"}) {
            unlink((folder_ + "/" + name).c_str());
        }
        rmdir(folder_.c_str());
    }
    void Write(const std::string& name, const std::string& text) {
        std::ofstream(folder_ + "/" + name, std::ios::binary) << text;
    }
    using List = std::vector<std::string>;
    std::string folder_;
    std::unique_ptr<Lemmas> lemmas_;
};

TEST_F(LemmasTest, HunspellStemsInTheDictionarysOwnEncoding) {
    EXPECT_EQ(lemmas_->Of("pl", "\xC5\x82zy"), List{"\xC5\x82za"}); // łzy -> łza
    EXPECT_EQ(lemmas_->Of("en", "houses"), List{"house"});
    EXPECT_EQ(lemmas_->Of("EN", " Houses "), List{"house"});
    // A word is not its own lemma; a word Hunspell does not know has none.
    EXPECT_TRUE(lemmas_->Of("en", "house").empty());
    EXPECT_TRUE(lemmas_->Of("en", "hous").empty());
    // A character the dictionary's encoding lacks: no lemma, no failure.
    EXPECT_TRUE(lemmas_->Of("pl", "\xE5\xAE\xB6").empty());
    EXPECT_TRUE(lemmas_->Of("pl", std::string("\xFF\xFE", 2)).empty());
}

TEST_F(LemmasTest, WordNetGivesEnglishIrregularFormsBeforeHunspell) {
    EXPECT_EQ(lemmas_->Of("en", "went"), List{"go"}); // Hunspell takes it for a word
    EXPECT_EQ(lemmas_->Of("en", "Mice"), List{"mouse"});
    EXPECT_EQ(lemmas_->Of("en", "better"), (List{"good", "well"}));
    // Phrases of the lists are not split into words, and a phrase gets no
    // lemma.
    EXPECT_TRUE(lemmas_->Of("en", "deep").empty());
    EXPECT_TRUE(lemmas_->Of("en", "went deep").empty());
    EXPECT_TRUE(lemmas_->Of("en", std::string(101, 'a')).empty());
}

TEST_F(LemmasTest, LanguagesWithoutDataGetNoneAndSayWhatTheyHave) {
    EXPECT_TRUE(lemmas_->Of("ja", "\xE5\xAE\xB6").empty());
    EXPECT_TRUE(lemmas_->Of("de", "Hunde").empty()); // not installed in this folder
    EXPECT_EQ(lemmas_->Sources("en"), "Hunspell en_US, WordNet exception lists");
    EXPECT_EQ(lemmas_->Sources("pl"), "Hunspell pl_PL");
    EXPECT_EQ(lemmas_->Sources("de"), "");
    EXPECT_EQ(lemmas_->Sources("ja"), "");
}

// Hunspell objects are not thread-safe: lookups from several server threads
// must not share one unguarded.
TEST_F(LemmasTest, SeveralThreadsAtOnce) {
    std::vector<std::thread> threads;
    std::vector<int> right(4, 0);
    for (size_t t = 0; t < right.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                right[t] +=
                    lemmas_->Of(i % 2 == 0 ? "en" : "pl", i % 2 == 0 ? "houses" : "\xC5\x82zy")
                                .size() == 1
                        ? 1
                        : 0;
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(right, (std::vector<int>(4, 300)));
}

} // namespace
} // namespace service
