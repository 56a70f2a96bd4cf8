// Lookups through the real plugin and the real online library while the
// dictionary service misbehaves: a reply that stops half-way, one that never
// ends within the timeout, 100 MB, not XML, XML nested 100,000 deep, status
// 500. Each such lookup returns 0; the host goes on (the next good lookup
// succeeds), the entries of earlier lookups stay as they were, and (native
// build) the memory in use returns to its level once the receive buffer has
// reached its largest size, which it keeps by design.

#include "TestEnvironment.h"
#include "platform/Platform.h"
#include "plugin/lexigrove.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/allocator_interface.h>
#define LEXIGROVE_HOSTILE_MEMORY 1
#endif
#endif

namespace {

struct Entry {
    std::u16string word, name, type;
    bool operator==(const Entry& other) const {
        return word == other.word && name == other.name && type == other.type;
    }
};

class HostileService : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        int port = 0;
        if (const char* portFile = std::getenv("LEXIGROVE_TESTHTTPD_PORT_FILE")) {
            std::ifstream in(portFile);
            in >> port;
        }
        Port() = port;
        // Every dictionary request goes to the test server as the proxy.
        // (Windows names are case-insensitive: http_proxy is set last.)
        for (const char* name : {"HTTP_PROXY", "no_proxy", "NO_PROXY"})
            skyloom_test::SetEnvironment(name, "");
        skyloom_test::SetEnvironment("http_proxy",
                                     "http://127.0.0.1:" + std::to_string(port) + "/");
        Module() = platform::LoadModule(LEXIGROVE_PLUGIN_PATH);
    }
    static void TearDownTestSuite() {
        if (Module())
            platform::FreeModule(Module());
    }
    static int& Port() {
        static int port = 0;
        return port;
    }
    static platform::ModuleHandle& Module() {
        static platform::ModuleHandle module = nullptr;
        return module;
    }
    void SetUp() override {
        ASSERT_GT(Port(), 0) << "no test server (LEXIGROVE_TESTHTTPD_PORT_FILE)";
        ASSERT_NE(Module(), nullptr);
        search = Find<decltype(&fnSearchWord)>("fnSearchWord");
        count = Find<decltype(&fnGetSearchResultCount)>("fnGetSearchResultCount");
        result = Find<decltype(&fnGetSearchResult)>("fnGetSearchResult");
        ASSERT_TRUE(search && count && result);
    }
    template <typename F> static F Find(const char* name) {
        return reinterpret_cast<F>(platform::FindSymbol(Module(), name));
    }
    std::vector<Entry> All() {
        std::vector<Entry> all;
        for (int i = 0; i < count(); ++i) {
            char16_t word[64] = {}, name[64] = {}, type[64] = {};
            EXPECT_EQ(result(i, word, 64, name, 64, type, 64), 1);
            all.push_back({word, name, type});
        }
        return all;
    }
    // One lookup of hostile-kind; returns its seconds.
    double Lookup(const char16_t* kind, int expected) {
        const std::u16string word = std::u16string(u"hostile-") + kind;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(search(u"en", u"fr", word.c_str()), expected)
            << std::string(word.begin(), word.end());
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    decltype(&fnSearchWord) search = nullptr;
    decltype(&fnGetSearchResultCount) count = nullptr;
    decltype(&fnGetSearchResult) result = nullptr;
};

size_t BytesInUse() {
#ifdef LEXIGROVE_HOSTILE_MEMORY
    return __sanitizer_get_current_allocated_bytes();
#else
    return 0;
#endif
}

TEST_F(HostileService, EveryHostileReplyFailsOnlyItsOwnLookup) {
    const char16_t* const kinds[] = {u"halfway", u"endless", u"huge", u"notxml", u"deep", u"500"};
    const Entry calm{u"calm", u"calme", u"adj"};

    Lookup(u"good", 1);
    const std::vector<Entry> earlier = All();
    ASSERT_FALSE(earlier.empty());
    EXPECT_EQ(earlier.back(), calm);

    std::vector<Entry> good = earlier;
    size_t level = 0;
    // The first round lets the receive buffer reach its largest size; the
    // second must end where it started.
    for (int round = 0; round < 2; ++round) {
        const size_t before = BytesInUse();
        for (const char16_t* kind : kinds) {
            const double seconds = Lookup(kind, 0);
            std::printf("round %d: %-8s failed in %.2f s\n", round,
                        std::string(kind, kind + std::char_traits<char16_t>::length(kind)).c_str(),
                        seconds);
            // Nothing appended, nothing lost.
            const std::vector<Entry> now = All();
            ASSERT_EQ(now.size(), good.size());
            ASSERT_TRUE(now == good);
            // The host goes on: the next good lookup succeeds.
            Lookup(u"good", 1);
            good.push_back(calm);
            ASSERT_TRUE(All() == good);
        }
        level = BytesInUse();
#ifdef LEXIGROVE_HOSTILE_MEMORY
        std::printf("round %d: %zu bytes in use before, %zu after\n", round, before, level);
#endif
        if (round == 1 && before != 0) {
            // Allowance for the online library's and the runtime's caches.
            EXPECT_LT(level, before + (1u << 20)) << "memory did not return to its level";
        }
    }
}

} // namespace
