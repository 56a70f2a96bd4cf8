// Reading replies of about 64 KB, 1 MB and 16 MB beside parsing the same
// buffers with TinyXML alone (construct, Parse, destroy), the floor the
// reader builds on. Prints for each size the ratio reading / bare parse in
// instructions (counted by callgrind, the figure the target is judged on) and
// in time (the median of runs each made once in a child process, so both
// start from the same heap), and the number of lines of the reading code.
#include "Replies.h"

#include "bench/common/Report.h"

#include "plugin/ReplyReader.h"
#include "plugin/SearchContext.h"

#include <benchmark/benchmark.h>
#include <tinyxml.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

const long long kSizes[] = {64 << 10, 1 << 20, 16 << 20};

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
    ->Arg(kSizes[0])
    ->Arg(kSizes[1])
    ->Arg(kSizes[2])
    ->Repetitions(9)
    ->MinTime(0.5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A counted run: "read:<bytes>" or "parse:<bytes>", the reply made before
// counting starts.
int CountOnce(const std::string& work, long long bytes) {
    SearchContext& context = ContextFor(static_cast<size_t>(bytes));
    if (work == "read") {
        return bench::CountedChild([&context] { return ReadReply(context) == 0; });
    }
    if (work == "parse") {
        return bench::CountedChild([&context] {
            TiXmlDocument document;
            return document.Parse(context.buffer.data(), nullptr, TIXML_ENCODING_UTF8) != nullptr;
        });
    }
    return 2;
}

std::string SizeName(long long bytes) {
    return bytes >= (1 << 20) ? std::to_string(bytes >> 20) + "MB"
                              : std::to_string(bytes >> 10) + "KB";
}

int Report(const bench::MedianReporter& reporter) {
    int status = 0;
    for (const long long bytes : kSizes) {
        // Instructions: the same in every run, so the target is judged on them.
        if (!bench::PrintInstructionRatio("read/parse-instructions-" + SizeName(bytes), "read",
                                          "parse", bytes, "<=", 1.10)) {
            status = 1;
        }
    }
    // The reading code: the one-pass reader, the driver and the walk (the
    // text conversions in ReplyText are not counted).
    size_t lines = 0;
    std::string counted;
    for (const char* file : {"ReplyTree.h", "ReplyTree.cpp", "ReplyReader.h", "ReplyReader.cpp"}) {
        std::ifstream source(std::string(LEXIGROVE_SOURCE_DIR "/plugin/") + file);
        if (!source) {
            std::fprintf(stderr, "bench_reader: cannot read plugin/%s\n", file);
            status = 1;
        }
        size_t here = 0;
        for (std::string line; std::getline(source, line);) {
            ++here;
        }
        lines += here;
        counted += (counted.empty() ? "" : ", ") + std::string(file) + " " + std::to_string(here);
    }
    bench::PrintRatio("reading-code-lines", double(lines), "<=", 450, counted);
    for (const long long bytes : kSizes) {
        const auto* median = reporter.Find("BM_ReadVsParse", std::to_string(bytes));
        if (!median) {
            status = 1;
            continue;
        }
        char detail[128];
        std::snprintf(detail, sizeof detail, "read %.3f ms, parse %.3f ms",
                      median->counters.at("read_ms").value, median->counters.at("parse_ms").value);
        bench::PrintFigure("read/parse-time-" + SizeName(bytes),
                           median->counters.at("read/parse").value, detail);
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    return bench::Main(argc, argv, CountOnce, Report);
}
