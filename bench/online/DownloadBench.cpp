// The download loop over an in-memory download object, beside a plain memcpy
// of the same bytes, for replies of 64 KB, 1 MB and 64 MB. "Warm" reuses one
// receive buffer as the plugin does across searches; "cold" starts each
// download from a fresh 4096-byte buffer, and is set beside a memcpy into
// fresh memory as well. Prints the ratios download/memcpy.
#include "online/Online.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

const char16_t* const kAddress = u"http://dictionary.test/lookup?q=bench";

// Hands out a reply from memory in the chunks asked for.
class MemoryFile final : public HttpFile {
public:
    explicit MemoryFile(const std::string& reply) : reply_(reply) {}

    int32_t LEXIGROVE_THISCALL Reserved1() override { return 0; }
    int32_t LEXIGROVE_THISCALL Reserved2() override { return 0; }
    int32_t LEXIGROVE_THISCALL Reserved3() override { return 0; }
    int32_t LEXIGROVE_THISCALL Open(const char16_t*, uint32_t, uint32_t, uint32_t,
                                    uint32_t) override {
        position_ = 0;
        return 0;
    }
    int32_t LEXIGROVE_THISCALL Read(void* destination, uint32_t count, uint32_t* read) override {
        const size_t n = std::min<size_t>(count, reply_.size() - position_);
        std::memcpy(destination, reply_.data() + position_, n);
        position_ += n;
        *read = static_cast<uint32_t>(n);
        return 0;
    }
    int32_t LEXIGROVE_THISCALL Reserved6() override { return 0; }
    int32_t LEXIGROVE_THISCALL Close() override { return 0; }

private:
    const std::string& reply_;
    size_t position_ = 0;
};

std::string Reply(size_t size) {
    std::string reply(size, '\0');
    for (size_t i = 0; i < size; ++i)
        reply[i] = static_cast<char>('a' + i % 26);
    return reply;
}

const std::string& ReplyOf(int64_t size) {
    static std::map<int64_t, std::string> replies;
    auto& reply = replies[size];
    if (reply.empty())
        reply = Reply(static_cast<size_t>(size));
    return reply;
}

void Bytes(benchmark::State& state) {
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_DownloadWarm(benchmark::State& state) {
    const std::string& reply = ReplyOf(state.range(0));
    MemoryFile file(reply);
    online::ReceiveBuffer buffer;
    online::Download(file, buffer, kAddress); // grown once, as after the first search
    for (auto _ : state) {
        if (online::Download(file, buffer, kAddress) != online::kFetchOk) {
            state.SkipWithError("download failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    Bytes(state);
}

void BM_DownloadCold(benchmark::State& state) {
    const std::string& reply = ReplyOf(state.range(0));
    MemoryFile file(reply);
    for (auto _ : state) {
        online::ReceiveBuffer buffer;
        if (online::Download(file, buffer, kAddress) != online::kFetchOk) {
            state.SkipWithError("download failed");
            break;
        }
        benchmark::DoNotOptimize(buffer.data());
        benchmark::ClobberMemory();
    }
    Bytes(state);
}

// The same bytes copied at once into a destination that already has room.
void BM_Memcpy(benchmark::State& state) {
    const std::string& reply = ReplyOf(state.range(0));
    std::vector<char> destination(reply.size() + 1);
    for (auto _ : state) {
        std::memcpy(destination.data(), reply.data(), reply.size());
        destination[reply.size()] = '\0';
        benchmark::DoNotOptimize(destination.data());
        benchmark::ClobberMemory();
    }
    Bytes(state);
}

// The same, into fresh memory each time: the baseline of the cold download,
// which pays for first touching its pages too.
void BM_MemcpyFresh(benchmark::State& state) {
    const std::string& reply = ReplyOf(state.range(0));
    for (auto _ : state) {
        std::unique_ptr<char[]> destination(new char[reply.size() + 1]);
        std::memcpy(destination.get(), reply.data(), reply.size());
        destination[reply.size()] = '\0';
        benchmark::DoNotOptimize(destination.get());
        benchmark::ClobberMemory();
    }
    Bytes(state);
}

void Sizes(benchmark::internal::Benchmark* b) {
    b->Arg(64 << 10)->Arg(1 << 20)->Arg(64 << 20)->Repetitions(5)->MinTime(0.3)->UseRealTime();
}
BENCHMARK(BM_Memcpy)->Apply(Sizes);
BENCHMARK(BM_MemcpyFresh)->Apply(Sizes);
BENCHMARK(BM_DownloadWarm)->Apply(Sizes);
BENCHMARK(BM_DownloadCold)->Apply(Sizes);

// Keeps the median real time of each run for the closing ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians_[run.run_name.function_name][std::stoll(run.run_name.args)] =
                    run.GetAdjustedRealTime();
        }
    }
    void Summary() const {
        const auto base = medians_.find("BM_Memcpy");
        if (base == medians_.end())
            return;
        std::printf("\n");
        for (const auto& [size, memcpyTime] : base->second) {
            const double warm = Median("BM_DownloadWarm", size);
            const double cold = Median("BM_DownloadCold", size);
            const double fresh = Median("BM_MemcpyFresh", size);
            if (warm > 0 && cold > 0 && fresh > 0)
                std::printf("RATIO download/memcpy %5lld KB warm %.2f%s  cold %.2f (vs memcpy into "
                            "fresh memory %.2f)\n",
                            size >> 10, warm / memcpyTime,
                            size == (64 << 20) ? " (target <= 1.30)" : "", cold / memcpyTime,
                            cold / fresh);
        }
    }

private:
    double Median(const std::string& name, long long size) const {
        const auto byName = medians_.find(name);
        if (byName == medians_.end())
            return 0;
        const auto byArgs = byName->second.find(size);
        return byArgs == byName->second.end() ? 0 : byArgs->second;
    }

    std::map<std::string, std::map<long long, double>> medians_; // by name, then size
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
