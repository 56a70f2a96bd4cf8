// Reading replies of about 64 KB, 1 MB and 16 MB beside parsing the same
// buffers with TinyXML alone, the floor the reader builds on, each run once
// per child process so both start from the same heap. Prints the median
// ratio reading / bare parse for each size.
#include "Replies.h"

#include "plugin/ReplyReader.h"
#include "plugin/SearchContext.h"

#include <benchmark/benchmark.h>
#include <tinyxml.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

SearchContext& ContextFor(size_t bytes) {
    static std::map<size_t, SearchContext> contexts;
    auto found = contexts.find(bytes);
    if (found == contexts.end()) {
        found = contexts
                    .emplace(std::piecewise_construct, std::forward_as_tuple(bytes),
                             std::forward_as_tuple())
                    .first;
        bench_reader::Place(found->second, bench_reader::MakeReply(bytes));
    }
    return found->second;
}

// Runs the work once in a child process and returns its time in seconds.
// Every run starts from the same heap (the allocator's state after earlier
// work would otherwise favour whichever of the two runs second).
template <class Work> double TimeInChild(Work work) {
    int channel[2];
    if (pipe(channel) != 0)
        std::abort();
    const pid_t child = fork();
    if (child == 0) {
        const auto start = std::chrono::steady_clock::now();
        const bool ok = work();
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (!ok)
            seconds = -1;
        _exit(write(channel[1], &seconds, sizeof seconds) == sizeof seconds ? 0 : 1);
    }
    double seconds = -1;
    int status = 0;
    if (child < 0 || read(channel[0], &seconds, sizeof seconds) != sizeof seconds ||
        waitpid(child, &status, 0) != child || status != 0)
        seconds = -1;
    close(channel[0]);
    close(channel[1]);
    return seconds;
}

// Each iteration reads the reply once and parses it once with TinyXML alone,
// each in a fresh child, the order swapped every other iteration. The
// iteration time is the reading's; the counters give both means and their
// ratio.
void BM_ReadVsParse(benchmark::State& state) {
    SearchContext& context = ContextFor(static_cast<size_t>(state.range(0)));
    const auto readOnce = [&context] { return ReadReply(context) == 0; };
    const auto parseOnce = [&context] {
        // The document is released inside the time, as the reader's is.
        TiXmlDocument document;
        return document.Parse(context.buffer.data(), nullptr, TIXML_ENCODING_UTF8) != nullptr;
    };
    double readTotal = 0, parseTotal = 0;
    bool readFirst = false;
    for (auto _ : state) {
        double read = 0, parse = 0;
        if (readFirst) {
            read = TimeInChild(readOnce);
            parse = TimeInChild(parseOnce);
        } else {
            parse = TimeInChild(parseOnce);
            read = TimeInChild(readOnce);
        }
        if (read < 0 || parse < 0) {
            state.SkipWithError("reading or parsing failed");
            return;
        }
        readFirst = !readFirst;
        state.SetIterationTime(read);
        readTotal += read;
        parseTotal += parse;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["read_ms"] = readTotal / n * 1e3;
    state.counters["parse_ms"] = parseTotal / n * 1e3;
    state.counters["read/parse"] = readTotal / parseTotal;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

BENCHMARK(BM_ReadVsParse)
    ->Arg(64 << 10)
    ->Arg(1 << 20)
    ->Arg(16 << 20)
    ->Repetitions(9)
    ->MinTime(0.5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// Keeps the median counters per size for the closing ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians_[std::stoull(run.run_name.args)] = run.counters;
        }
    }
    void Summary() const {
        std::printf("\n");
        for (const auto& [size, counters] : medians_) {
            std::printf("RATIO read/parse %8llu bytes: %.2f (read %.3f ms, parse %.3f ms; "
                        "target <= 1.40)\n",
                        size, counters.at("read/parse").value, counters.at("read_ms").value,
                        counters.at("parse_ms").value);
        }
    }

private:
    std::map<unsigned long long, benchmark::UserCounters> medians_;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.Summary();
    benchmark::Shutdown();
    return 0;
}
