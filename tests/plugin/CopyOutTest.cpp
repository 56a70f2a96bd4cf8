// Copying result entries out of a context filled by hand: the fit rule at its
// boundary, and that a refused copy writes nothing and reports once.

#include "basiccpp/Log.h"
#include "plugin/Exports.h"
#include "plugin/Languages.h"
#include "plugin/SearchContext.h"
#include "tests/support/RecordingLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr char16_t kFill = 0x7777;

// Three buffers of the given capacities, each followed by fill units.
struct Buffers {
    std::vector<char16_t> word, name, type;
    uint16_t wordCap, nameCap, typeCap;

    Buffers(uint16_t w, uint16_t n, uint16_t t)
        : word(w + 4u, kFill), name(n + 4u, kFill), type(t + 4u, kFill), wordCap(w), nameCap(n),
          typeCap(t) {}
    int Copy(const SearchContext& context, int32_t index) {
        return CopySearchResult(context, index, word.data(), wordCap, name.data(), nameCap,
                                type.data(), typeCap);
    }
    static bool AllFill(const std::vector<char16_t>& units, size_t from = 0) {
        for (size_t i = from; i < units.size(); ++i) {
            if (units[i] != kFill)
                return false;
        }
        return true;
    }
    bool Untouched() const { return AllFill(word) && AllFill(name) && AllFill(type); }
};

class CopyOut : public testing::Test {
protected:
    void SetUp() override {
        basiccpp::SetLog(&log);
        context.results.push_back({u"house", u"maison", u"noun"});
        context.results.push_back({u"", u"x", u""});
    }
    void TearDown() override { basiccpp::SetLog(nullptr); }

    RecordingLog log;
    SearchContext context;
};

TEST_F(CopyOut, TextsThatFitExactlyAreCopiedWholeAndNothingBeyond) {
    Buffers b(6, 7, 5); // each text plus its terminator, exactly
    ASSERT_EQ(b.Copy(context, 0), 1);
    EXPECT_EQ(std::u16string(b.word.data()), u"house");
    EXPECT_EQ(std::u16string(b.name.data()), u"maison");
    EXPECT_EQ(std::u16string(b.type.data()), u"noun");
    EXPECT_TRUE(Buffers::AllFill(b.word, 6) && Buffers::AllFill(b.name, 7) &&
                Buffers::AllFill(b.type, 5));

    Buffers empty(1, 2, 1); // empty texts need the terminator only
    ASSERT_EQ(empty.Copy(context, 1), 1);
    EXPECT_EQ(empty.word[0], u'\0');
    EXPECT_EQ(empty.name[0], u'x');
    EXPECT_EQ(empty.type[0], u'\0');
    EXPECT_TRUE(log.asserts.empty());
}

TEST_F(CopyOut, AnyTextOneUnitTooLongRefusesTheWholeEntry) {
    // Whichever of the three does not fit, the other two stay unwritten too.
    for (Buffers b : {Buffers(5, 7, 5), Buffers(6, 6, 5), Buffers(6, 7, 4)}) {
        EXPECT_EQ(b.Copy(context, 0), 0);
        EXPECT_TRUE(b.Untouched());
    }
    EXPECT_EQ(log.Lines(), (std::vector<int32_t>{293, 293, 293}));
    EXPECT_EQ(log.asserts.at(0).file, u"..\\plugin-lexigrove");
}

TEST_F(CopyOut, MissingBuffersZeroCapacitiesAndBadIndexesAreRefused) {
    Buffers b(32, 32, 32);
    EXPECT_EQ(b.Copy(context, -1), 0);
    EXPECT_EQ(b.Copy(context, 2), 0); // equal to the count
    EXPECT_EQ(b.Copy(context, INT32_MIN), 0);
    EXPECT_EQ(CopySearchResult(context, 0, nullptr, 32, b.name.data(), 32, b.type.data(), 32), 0);
    EXPECT_EQ(CopySearchResult(context, 0, b.word.data(), 32, nullptr, 32, b.type.data(), 32), 0);
    EXPECT_EQ(CopySearchResult(context, 0, b.word.data(), 32, b.name.data(), 32, nullptr, 32), 0);
    EXPECT_EQ(CopySearchResult(context, 1, b.word.data(), 0, b.name.data(), 32, b.type.data(), 32),
              0);
    EXPECT_EQ(CopySearchResult(context, 1, b.word.data(), 32, b.name.data(), 0, b.type.data(), 32),
              0);
    EXPECT_EQ(CopySearchResult(context, 1, b.word.data(), 32, b.name.data(), 32, b.type.data(), 0),
              0);
    EXPECT_TRUE(b.Untouched());
    EXPECT_EQ(log.asserts.size(), 9u);

    // Entries appended later are reachable at their indexes; earlier ones stay.
    context.results.push_back({u"a", u"b", u"c"});
    ASSERT_EQ(b.Copy(context, 2), 1);
    EXPECT_EQ(std::u16string(b.type.data()), u"c");
    ASSERT_EQ(b.Copy(context, 0), 1);
    EXPECT_EQ(std::u16string(b.word.data()), u"house");
}

TEST(LanguageTable, EveryRowHasANameAndACodeThatFitsItsStorage) {
    for (const LanguageEntry& row : kLanguages) {
        const size_t code = std::char_traits<char16_t>::length(row.code);
        EXPECT_GE(code, 2u);
        EXPECT_LE(code, 5u);
        EXPECT_GT(std::char_traits<char16_t>::length(row.name), 0u);
    }
}

} // namespace
