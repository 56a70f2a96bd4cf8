// 20,000 lookups in one process against the local dictionary service (the
// wrapper script starts it and points http_proxy at it). The receive buffer
// must never grow past the largest reply seen, ended by its zero byte and
// rounded up to whole 4096-byte chunks; every lookup must succeed and append
// what the same word appended the first time. LeakSanitizer checks at exit
// that the run left nothing behind.

#include "plugin/SearchContext.h"
#include "plugin/lexigrove.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

TEST(Soak, TwentyThousandLookupsKeepTheBufferAtTheLargestReply) {
    // LEXIGROVE_SOAK_LOOKUPS shortens a run by hand; the test runs 20,000.
    const char* override = std::getenv("LEXIGROVE_SOAK_LOOKUPS");
    const int lookups = override ? std::atoi(override) : 20000;
    struct Query {
        const char16_t *from, *to, *word;
        int entries; // appended by the first lookup of the word
    };
    Query queries[] = {{u"en", u"fr", u"house", -1},
                       {u"de", u"en", u"Wasser", -1},
                       {u"en", u"es", u"water", -1},
                       {u"fr", u"en", u"caf\u00e9", -1},
                       {u"en", u"de", u"qwxzvbnmlk", -1}};
    const int kinds = static_cast<int>(sizeof queries / sizeof queries[0]);
    const SearchContext& context = TheSearchContext();

    size_t largestReply = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < lookups; ++i) {
        Query& q = queries[i % kinds];
        const int before = fnGetSearchResultCount();
        ASSERT_EQ(fnSearchWord(q.from, q.to, q.word), 1) << "lookup " << i;
        const int appended = fnGetSearchResultCount() - before;
        if (q.entries < 0)
            q.entries = appended;
        ASSERT_EQ(appended, q.entries) << "lookup " << i;

        largestReply = std::max(largestReply, std::strlen(context.buffer.data()));
        const size_t bound = (largestReply + 1 + 4095) / 4096 * 4096;
        ASSERT_LE(context.buffer.size(), bound) << "lookup " << i;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(queries[0].entries, 0);
    EXPECT_EQ(queries[kinds - 1].entries, 0);
    std::printf("%d lookups in %.1f s; largest reply %zu bytes, receive buffer %zu bytes\n",
                lookups, seconds, largestReply, context.buffer.size());
}

} // namespace
