// The reading of FreeDict entry text into translations, on the layouts of
// the dictionaries Debian installs.
#include "service/Entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(ParseEntryTest, CcCedictSensesSplitOnlyAtSemicolons) {
    const std::string entry = "2019\xE5\x86\xA0\n"
                              "COVID-19, the coronavirus disease identified in 2019\n"
                              "trisomy; Down's syndrome\nbye-bye (alternative for "
                              "\xE6\x8B\x9C[bai2 bai2])\n";
    EXPECT_EQ(
        Names(ParseEntry(entry, false, true)),
        (std::vector<std::string>{"COVID-19, the coronavirus disease identified in 2019", "trisomy",
                                  "Down's syndrome", "bye-bye (alternative for \xE6\x8B\x9C)"}));
    EXPECT_EQ(ParseEntry(entry, false, true)[0].type, "translation");
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

// English-Polish: a single sense indented by two columns with its part of
// speech on the headword line, senses numbered by letters, sub-entries whose
// English phrase is not a translation.
TEST(ParseEntryTest, EnglishPolishSingleSensesLettersAndSubEntries) {
    const auto chalet = ParseEntry("chalet /\xCB\x88\xCA\x83\xC3\xA6le\xC9\xAA/ <N>\n"
                                   "  domek, chatka\n");
    EXPECT_EQ(Names(chalet), (std::vector<std::string>{"domek", "chatka"}));
    EXPECT_EQ(chalet[1].type, "noun");
    EXPECT_EQ(Names(ParseEntry("ago <Adv>\n  a. temu\n b.\n      \"5 minutes ago\"  - 5 minut\n")),
              (std::vector<std::string>{"temu"}));
    const auto bend = ParseEntry("double /x/\nIV.  <N> 1. doubles  [sport]  debel\n"
                                 " 2.  bend double (bend V: :double)\n - zgina\xC4\x87 si\xC4\x99\n"
                                 "V.  <V Phras>double back   nawraca\xC4\x87\n"
                                 "VI.  <N Comp>double bass /\xCB\x8C\x64/   kontrabas\n");
    EXPECT_EQ(Names(bend), (std::vector<std::string>{"doubles debel", "zgina\xC4\x87 si\xC4\x99",
                                                     "nawraca\xC4\x87", "kontrabas"}));
    EXPECT_EQ(bend[2].type, "verb");
    EXPECT_EQ(bend[3].type, "noun");
}

// Japanese-English: usage labels and cross-references run into the
// translation after them; of two part-of-speech lines the first types the
// sense.
TEST(ParseEntryTest, JapaneseEnglishLabelsRunIntoTranslations) {
    const auto items = ParseEntry(
        "X /x/\n1. (noun (common) (futsuumeishi))\n"
        "         Note: word usually written using kana alonewhalebone, baleen\n"
        "2. (adverb (fukushi))\n (noun (common) (futsuumeishi))\n"
        "{\xE6\xB1\x9F\xE6\x88\xB8\xE7\xB4\xAB}, {\xE9\x83\xB5}somewhat purple\n"
        "3.\n         Note: of trees\n         Note: archaism\n         Note: obscure termfar\n"
        "4.\n         Note: word usually written using kana alone (after the -te form "
        "of a verb)to try\n");
    EXPECT_EQ(Names(items), (std::vector<std::string>{"whalebone", "baleen", "somewhat purple",
                                                      "far", "to try"}));
    EXPECT_EQ(items[0].type, "noun");
    EXPECT_EQ(items[2].type, "adverb");
}

TEST(ParseEntryTest, WikDictPartsOfSpeechAreNamed) {
    const auto items = ParseEntry("jednak <conjunction>\nhowever, yet <adverb>, Bornholm <pn>, "
                                  "mine <possessivepronoun>, first <ordinaladjective>, "
                                  "ten <cardinalnumeral>, ne <particle>\n",
                                  true);
    std::vector<std::string> types;
    for (const Translation& t : items) {
        types.push_back(t.type);
    }
    EXPECT_EQ(types, (std::vector<std::string>{"conjunction", "adverb", "proper noun", "pronoun",
                                               "adjective", "numeral", "particle"}));
}

} // namespace
} // namespace service
