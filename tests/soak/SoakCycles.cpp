// 200 cycles of what a host does when it loads the plugin for a session:
// load, search, copy out, unload. The scripted online library stands in for
// the online library in this program's folder. Each cycle must start from a
// fresh context, give the download object back to DeleteHttpFile exactly
// once, and free the online library: once the test drops its own reference
// too, the double's static objects are destroyed.

#include "SkyloomDouble.h"
#include "platform/Platform.h"
#include "plugin/lexigrove.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

const char kReply[] = "<dictionary status=\"ok\"><result><word name=\"tree\"/><translations>"
                      "<item name=\"arbre\" type=\"noun\"/><item name=\"arbor\" type=\"noun\"/>"
                      "</translations></result></dictionary>\n";

// The double writes into the record until it is unloaded, which a failing
// cycle may leave to the end of the program: both live as long as it.
DoubleScript script;
DoubleRecord record;

TEST(Cycles, TwoHundredLoadSearchUnloadCyclesReleaseEverything) {
    script.reply = kReply;
    script.replySize = sizeof kReply - 1;
    const int kCycles = 200;
    int deletes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        record = DoubleRecord();
        // The test's own reference hands the double its script; the plugin
        // loads the same library by name at its first search.
        platform::ModuleHandle own = platform::LoadModule(u"Skyloom.dll");
        ASSERT_NE(own, nullptr) << "cycle " << cycle;
        const auto attach =
            reinterpret_cast<DoubleAttachFn>(platform::FindSymbol(own, "DoubleAttach"));
        ASSERT_NE(attach, nullptr);
        attach(&script, &record);

        platform::ModuleHandle plugin = platform::LoadModule(LEXIGROVE_PLUGIN_PATH);
        ASSERT_NE(plugin, nullptr) << "cycle " << cycle;
        const auto search =
            reinterpret_cast<decltype(&fnSearchWord)>(platform::FindSymbol(plugin, "fnSearchWord"));
        const auto count = reinterpret_cast<decltype(&fnGetSearchResultCount)>(
            platform::FindSymbol(plugin, "fnGetSearchResultCount"));
        const auto result = reinterpret_cast<decltype(&fnGetSearchResult)>(
            platform::FindSymbol(plugin, "fnGetSearchResult"));
        ASSERT_TRUE(search && count && result);

        // A fresh context: nothing from the cycles before.
        EXPECT_EQ(count(), 0) << "cycle " << cycle;
        EXPECT_EQ(search(u"en", u"fr", u"tree"), 1) << "cycle " << cycle;
        EXPECT_EQ(search(u"en", u"fr", u"tree"), 1) << "cycle " << cycle;
        ASSERT_EQ(count(), 4) << "cycle " << cycle;
        char16_t word[16], name[16], type[16];
        EXPECT_EQ(result(3, word, 16, name, 16, type, 16), 1);
        EXPECT_EQ(std::u16string(name), u"arbor");

        EXPECT_EQ(platform::FreeModule(plugin), 1) << "cycle " << cycle;
        EXPECT_EQ(record.creates, 1u) << "cycle " << cycle;
        EXPECT_EQ(record.deletes, 1u) << "cycle " << cycle;
        EXPECT_TRUE(record.deletedOwnObject);
        EXPECT_EQ(record.opens, 2u);
        EXPECT_EQ(record.closes, 2u);
        deletes += static_cast<int>(record.deletes);
        EXPECT_FALSE(record.unloaded); // the test still holds it
        platform::FreeModule(own);
        // Only when the plugin has freed its reference too is the double gone.
        ASSERT_TRUE(record.unloaded) << "cycle " << cycle << ": the online library stays loaded";
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(deletes, kCycles);
    std::printf("%d load, search and unload cycles in %.1f s\n", kCycles, seconds);
}

} // namespace
