// A whole lookup against the local dictionary service on loopback, beside
// the same request made directly with libcurl and the reply parsed with
// TinyXML alone. Run under scripts/with-service (it sets http_proxy and
// LEXIGROVE_SERVICE_PORT); prints the median time per lookup of each and the
// median over alternating rounds of the ratio lookup / direct.
#include "bench/common/Report.h"
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

// A run of lookups through the plugin's search, with its context kept for
// the whole benchmark as a host keeps the loaded plugin. False when one fails.
bool PluginLookups(SearchContext& context, size_t count, size_t& next) {
    for (size_t n = 0; n < count; ++n) {
        if (SearchWord(context, u"en", u"fr", kWords[next++ % kWordCount]) != 1)
            return false;
        context.results.clear();
    }
    return true;
}

// The same requests with one reused libcurl handle through the same proxy,
// each reply parsed by TinyXML.
class Direct {
public:
    Direct() : curl_(curl_easy_init()) {
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, Append);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &body_);
        curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
    }
    ~Direct() { curl_easy_cleanup(curl_); }
    Direct(const Direct&) = delete;
    Direct& operator=(const Direct&) = delete;

    bool Lookups(size_t count, size_t& next) {
        for (size_t n = 0; n < count; ++n) {
            body_.clear();
            const std::string address = Address(next++);
            curl_easy_setopt(curl_, CURLOPT_URL, address.c_str());
            long status = 0;
            if (curl_easy_perform(curl_) != CURLE_OK ||
                curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
                status != 200)
                return false;
            TiXmlDocument document;
            benchmark::DoNotOptimize(document.Parse(body_.c_str(), nullptr, TIXML_ENCODING_UTF8));
        }
        return true;
    }

private:
    CURL* curl_;
    std::string body_;
};

template <class Work> double Seconds(Work work, bool& ok) {
    const auto start = std::chrono::steady_clock::now();
    ok = work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Each iteration is one round: a run of plugin lookups and a run of direct
// requests, in turn first, so that both see the same moments of a busy
// machine. The iteration time is the plugin's; the counters give the median
// over the rounds of each side's time per lookup and of the round's ratio.
constexpr size_t kPerRound = 300;
void BM_LookupVsDirect(benchmark::State& state) {
    SearchContext context;
    Direct direct;
    size_t nextPlugin = 0, nextDirect = 0;
    std::vector<double> plugin, straight, ratios;
    bool pluginFirst = true;
    for (auto _ : state) {
        bool okPlugin = false, okDirect = false;
        double p = 0, d = 0;
        const auto pluginRun = [&] { return PluginLookups(context, kPerRound, nextPlugin); };
        const auto directRun = [&] { return direct.Lookups(kPerRound, nextDirect); };
        if (pluginFirst) {
            p = Seconds(pluginRun, okPlugin);
            d = Seconds(directRun, okDirect);
        } else {
            d = Seconds(directRun, okDirect);
            p = Seconds(pluginRun, okPlugin);
        }
        if (!okPlugin || !okDirect) {
            state.SkipWithError("lookup failed: is the service running?");
            return;
        }
        pluginFirst = !pluginFirst;
        state.SetIterationTime(p / kPerRound);
        plugin.push_back(p / kPerRound);
        straight.push_back(d / kPerRound);
        ratios.push_back(p / d);
    }
    state.counters["lookup_us"] = Median(plugin) * 1e6;
    state.counters["direct_us"] = Median(straight) * 1e6;
    state.counters["lookup/direct"] = Median(ratios);
    state.counters["rounds"] = static_cast<double>(ratios.size());
}

constexpr int kRounds = 21;
BENCHMARK(BM_LookupVsDirect)->Iterations(kRounds)->UseManualTime()->Unit(benchmark::kMicrosecond);

// One benchmark run (no repetitions): its counters already hold the medians
// over the rounds.
int Report(const bench::MedianReporter& reporter) {
    const auto* round = reporter.Find("BM_LookupVsDirect");
    if (!round) {
        std::fprintf(stderr, "bench_lookup: no rounds measured\n");
        return 1;
    }
    char detail[160];
    std::snprintf(
        detail, sizeof detail,
        "median of %.0f alternating rounds of %zu lookups; lookup %.1f us, direct %.1f us",
        round->counters.at("rounds").value, kPerRound, round->counters.at("lookup_us").value,
        round->counters.at("direct_us").value);
    bench::PrintRatio("lookup/direct-time", round->counters.at("lookup/direct").value, "<=", 1.30,
                      detail);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (std::getenv("http_proxy") == nullptr) {
        std::fprintf(stderr, "bench_lookup: run it under scripts/with-service\n");
        return 2;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const int status = bench::Main(argc, argv, nullptr, Report);
    curl_global_cleanup();
    return status;
}
