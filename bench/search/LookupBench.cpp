// A whole lookup against the local dictionary service on loopback, beside
// the same request made directly with libcurl and the reply parsed with
// TinyXML alone. Run under scripts/with-service (it sets http_proxy and
// LEXIGROVE_SERVICE_PORT); prints lookups per second, the median latency and
// the ratio lookup / direct.
#include "plugin/Search.h"
#include "plugin/SearchContext.h"

#include <benchmark/benchmark.h>
#include <curl/curl.h>
#include <tinyxml.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

const char16_t* const kWords[] = {u"house", u"water", u"cat", u"dog", u"good morning"};
const char* const kEscaped[] = {"house", "water", "cat", "dog", "good+morning"};
constexpr size_t kWordCount = sizeof(kWords) / sizeof(kWords[0]);

std::string Address(size_t i) {
    return std::string("http://" LEXIGROVE_DICTIONARY_HOST
                       "/serverjobs/dictionary.php?fromlang=en&tolang=fr&word=") +
           kEscaped[i % kWordCount];
}

size_t Append(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// The plugin's search, with its context kept for the whole run as a host
// keeps the loaded plugin.
void BM_PluginLookup(benchmark::State& state) {
    SearchContext context;
    size_t i = 0;
    for (auto _ : state) {
        if (SearchWord(context, u"en", u"fr", kWords[i++ % kWordCount]) != 1) {
            state.SkipWithError("lookup failed: is the service running?");
            break;
        }
        context.results.clear();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

// The same requests with one reused libcurl handle through the same proxy,
// each reply parsed by TinyXML.
void BM_DirectCurlAndParse(benchmark::State& state) {
    CURL* curl = curl_easy_init();
    std::string body;
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    size_t i = 0;
    for (auto _ : state) {
        body.clear();
        const std::string address = Address(i++);
        curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
        long status = 0;
        if (curl_easy_perform(curl) != CURLE_OK ||
            curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200) {
            state.SkipWithError("request failed: is the service running?");
            break;
        }
        TiXmlDocument document;
        benchmark::DoNotOptimize(document.Parse(body.c_str(), nullptr, TIXML_ENCODING_UTF8));
    }
    curl_easy_cleanup(curl);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

BENCHMARK(BM_PluginLookup)->Repetitions(5)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_DirectCurlAndParse)->Repetitions(5)->MinTime(1.0)->UseRealTime();

// Keeps the median real time of each benchmark for the closing ratio.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                medians_[run.run_name.function_name] = run.GetAdjustedRealTime();
            }
        }
    }
    void Summary() const {
        const auto plugin = medians_.find("BM_PluginLookup");
        const auto direct = medians_.find("BM_DirectCurlAndParse");
        if (plugin == medians_.end() || direct == medians_.end()) {
            return;
        }
        std::printf("\nlookup: %.0f lookups/s, median %.1f us; direct: %.0f requests/s, "
                    "median %.1f us\n",
                    1e9 / plugin->second, plugin->second / 1e3, 1e9 / direct->second,
                    direct->second / 1e3);
        std::printf("RATIO lookup/direct %.2f (target <= 1.30)\n", plugin->second / direct->second);
    }

private:
    std::map<std::string, double> medians_;
};

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("http_proxy") == nullptr) {
        std::fprintf(stderr, "bench_lookup: run it under scripts/with-service\n");
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.Summary();
    benchmark::Shutdown();
    curl_global_cleanup();
    return 0;
}
