// lexigrove-lookup-timer COUNT
// Times warm lookups through the real plugin, loaded as a host loads it:
// three lookups to warm up (library loaded, connection made), then COUNT
// timed ones. Prints "LOOKUP <median ms> <min ms> <max ms>". Exit 1 when the
// plugin does not load or a lookup fails or finds nothing.
#include "platform/Platform.h"
#include "plugin/lexigrove.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, std::min(1000, std::atoi(argv[1]))) : 20;
    platform::ModuleHandle plugin = platform::LoadModule(LEXIGROVE_PLUGIN_PATH);
    if (plugin == nullptr) {
        std::fprintf(stderr, "lexigrove-lookup-timer: the plugin does not load\n");
        return 1;
    }
    const auto search =
        reinterpret_cast<decltype(&fnSearchWord)>(platform::FindSymbol(plugin, "fnSearchWord"));
    const auto results = reinterpret_cast<decltype(&fnGetSearchResultCount)>(
        platform::FindSymbol(plugin, "fnGetSearchResultCount"));
    if (search == nullptr || results == nullptr) {
        std::fprintf(stderr, "lexigrove-lookup-timer: exports missing\n");
        return 1;
    }
    const char16_t* const words[] = {u"house", u"water", u"cat", u"dog", u"tree"};
    std::vector<double> times;
    for (int i = 0; i < count + 3; ++i) {
        const int before = results();
        const auto start = std::chrono::steady_clock::now();
        const int ok = search(u"en", u"fr", words[i % 5]);
        const auto end = std::chrono::steady_clock::now();
        if (ok != 1 || results() <= before) {
            std::fprintf(stderr, "lexigrove-lookup-timer: lookup %d failed\n", i);
            return 1;
        }
        if (i >= 3)
            times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("LOOKUP %.3f %.3f %.3f\n", times[times.size() / 2], times.front(), times.back());
    platform::FreeModule(plugin);
    return 0;
}
