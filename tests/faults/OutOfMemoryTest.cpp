// Memory running out at every allocation of a lookup in turn: the search,
// the fetch through the scripted online library, the reading and the copying
// out. Whichever allocation fails, the export in whose call it failed returns
// 0 and nothing escapes it, the entries of earlier searches stay as they
// were, and the next lookup succeeds. AddressSanitizer and LeakSanitizer
// (native build) check that no failure path touches freed memory or leaks.
// One exemption (lsan.supp): TinyXML is not exception-safe, so an allocation
// failing inside TiXmlDocument::Parse loses the node being parsed.

#include "NthAllocationFails.h"
#include "SkyloomDouble.h"
#include "platform/Platform.h"
#include "plugin/SearchContext.h"
#include "plugin/lexigrove.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Entry {
    std::u16string word, name, type;
    bool operator==(const Entry& other) const {
        return word == other.word && name == other.name && type == other.type;
    }
};

// A reply of three translations, more than one 4096-byte chunk long, so the
// receive buffer grows during the first lookup.
std::string Reply() {
    std::string reply = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                        "<dictionary status=\"ok\" note=\"" +
                        std::string(6000, 'x') +
                        "\">\n"
                        "  <result>\n"
                        "    <word name=\"ma\xC3\xAFson\"/>\n"
                        "    <translations>\n"
                        "      <item name=\"house\" type=\"noun\"/>\n"
                        "      <item name=\"home\" type=\"noun\"/>\n"
                        "      <item name=\"  to  lodge \" type=\"verb\"/>\n"
                        "    </translations>\n"
                        "  </result>\n";
    reply += "</dictionary>\n";
    return reply;
}

const std::vector<Entry> kExpected = {{u"ma\u00efson", u"house", u"noun"},
                                      {u"ma\u00efson", u"home", u"noun"},
                                      {u"ma\u00efson", u"to  lodge", u"verb"}};

// The double keeps using both until the plugin's context releases it at exit,
// so they live as long as the program (neither has anything to destroy).
DoubleScript script_;
DoubleRecord record_;

class OutOfMemory : public ::testing::Test {
protected:
    void SetUp() override {
        static const std::string* const reply = new std::string(Reply());
        script_.reply = reply->data();
        script_.replySize = reply->size();
        // The test holds the double too, to hand it the script; the plugin
        // loads the same library by name at its first search.
        double_ = platform::LoadModule(u"Skyloom.dll");
        ASSERT_NE(double_, nullptr);
        const auto attach =
            reinterpret_cast<DoubleAttachFn>(platform::FindSymbol(double_, "DoubleAttach"));
        ASSERT_NE(attach, nullptr);
        attach(&script_, &record_);
    }
    void TearDown() override { platform::FreeModule(double_); }

    // Copies entry index out through the export; nothing when it fails.
    static bool CopyOut(int index, Entry& entry) {
        char16_t word[64], name[64], type[64];
        if (fnGetSearchResult(index, word, 64, name, 64, type, 64) != 1)
            return false;
        entry = {word, name, type};
        return true;
    }
    static std::vector<Entry> AllEntries() {
        std::vector<Entry> all;
        const int count = fnGetSearchResultCount();
        for (int i = 0; i < count; ++i) {
            Entry e;
            EXPECT_TRUE(CopyOut(i, e));
            all.push_back(e);
        }
        return all;
    }

    // One lookup with allocation failAt failing (0: none): the search, then
    // copying out what it appended. Returns whether every call succeeded;
    // expects that a call fails exactly when the failing allocation was in
    // it. The test itself allocates nothing while counting.
    bool Lookup(size_t failAt, size_t* allocations = nullptr) {
        const int before = fnGetSearchResultCount();
        struct Texts {
            char16_t word[64], name[64], type[64];
        };
        std::vector<Texts> texts(8);
        std::vector<int> copied(8, -1);
        nth_allocation::Start(failAt);
        const int searched = fnSearchWord(u"fr", u"en", u"ma\u00efson");
        const bool failedInSearch = nth_allocation::Failed();
        const int appended = fnGetSearchResultCount() - before;
        for (int i = 0; searched == 1 && i < appended && i < 8; ++i) {
            Texts& t = texts[static_cast<size_t>(i)];
            copied[static_cast<size_t>(i)] =
                fnGetSearchResult(before + i, t.word, 64, t.name, 64, t.type, 64);
            if (copied[static_cast<size_t>(i)] != 1)
                break;
        }
        const size_t counted = nth_allocation::Stop();
        if (allocations)
            *allocations = counted;

        EXPECT_EQ(searched, failedInSearch ? 0 : 1) << "allocation " << failAt;
        if (searched != 1)
            return false;
        // Copying out allocates nothing, so it never fails here.
        EXPECT_EQ(appended, static_cast<int>(kExpected.size()));
        std::vector<Entry> entries;
        for (int i = 0; i < appended && i < 8; ++i) {
            EXPECT_EQ(copied[static_cast<size_t>(i)], 1) << "allocation " << failAt;
            const Texts& t = texts[static_cast<size_t>(i)];
            entries.push_back({t.word, t.name, t.type});
        }
        EXPECT_EQ(entries, kExpected);
        return !nth_allocation::Failed();
    }

    platform::ModuleHandle double_ = nullptr;
};

TEST_F(OutOfMemory, EveryFailingAllocationFailsOnlyItsLookup) {
    // An earlier search whose entries must survive everything below.
    ASSERT_TRUE(Lookup(0));
    size_t allocations = 0;
    ASSERT_TRUE(Lookup(0, &allocations));
    ASSERT_GT(allocations, 0u);

    // The allocations of a lookup vary a little as the result list grows, so
    // the points run until a lookup no longer reaches the chosen one.
    size_t tried = 0;
    for (size_t point = 1; point < 10000; ++point) {
        const std::vector<Entry> earlier = AllEntries();
        const bool ok = Lookup(point);
        if (!nth_allocation::Failed()) {
            EXPECT_TRUE(ok);
            break;
        }
        ++tried;
        EXPECT_FALSE(ok) << "allocation " << point << " failed but the lookup succeeded";
        // Entries appended before the failure stay after the earlier ones.
        const std::vector<Entry> now = AllEntries();
        ASSERT_GE(now.size(), earlier.size());
        EXPECT_TRUE(std::equal(earlier.begin(), earlier.end(), now.begin()))
            << "allocation " << point << " changed earlier entries";
        EXPECT_TRUE(Lookup(0)) << "the lookup after allocation " << point << " failed";
        if (::testing::Test::HasFailure())
            break;
    }
    std::printf("allocation points tried: %zu (a lookup makes %zu allocations)\n", tried,
                allocations);
    // Every point of the measured lookup, give or take the one allocation of
    // a growing result list.
    EXPECT_NEAR(static_cast<double>(tried), static_cast<double>(allocations), 1.0);
    // One download object for the whole run, every reply closed.
    EXPECT_EQ(record_.creates, 1u);
    EXPECT_EQ(record_.opens, record_.closes);
}

} // namespace
