// The download loop over an in-memory download object, beside a plain memcpy
// of the same bytes, for replies of 64 KB, 1 MB and 64 MB. "Warm" reuses one
// receive buffer as the plugin does across searches; "cold" starts each
// download from a fresh 4096-byte buffer, and is set beside a memcpy into
// fresh memory as well. Prints the ratios download/memcpy in time, and for
// 64 MB warm in instructions (counted by callgrind), which the target is
// judged on.
#include "bench/common/Report.h"
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
const long long kSizes[] = {64 << 10, 1 << 20, 64 << 20};
const long long kLargest = kSizes[2];

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
    b->Arg(kSizes[0])->Arg(kSizes[1])->Arg(kSizes[2])->Repetitions(5)->MinTime(0.3)->UseRealTime();
}
BENCHMARK(BM_Memcpy)->Apply(Sizes);
BENCHMARK(BM_MemcpyFresh)->Apply(Sizes);
BENCHMARK(BM_DownloadWarm)->Apply(Sizes);
BENCHMARK(BM_DownloadCold)->Apply(Sizes);

// A counted run: "download:<bytes>" (warm: the buffer has grown in an
// earlier download, as after the first search) or "memcpy:<bytes>", the
// reply made before counting starts.
int CountOnce(const std::string& work, long long bytes) {
    const std::string& reply = ReplyOf(bytes);
    if (work == "download") {
        MemoryFile file(reply);
        online::ReceiveBuffer buffer;
        if (online::Download(file, buffer, kAddress) != online::kFetchOk) {
            return 1;
        }
        return bench::CountedChild([&] {
            const bool ok = online::Download(file, buffer, kAddress) == online::kFetchOk;
            benchmark::DoNotOptimize(buffer.data());
            return ok;
        });
    }
    if (work == "memcpy") {
        std::vector<char> destination(reply.size() + 1);
        return bench::CountedChild([&] {
            std::memcpy(destination.data(), reply.data(), reply.size());
            destination[reply.size()] = '\0';
            benchmark::DoNotOptimize(destination.data());
            return true;
        });
    }
    return 2;
}

int Report(const bench::MedianReporter& reporter) {
    int status = 0;
    // Instructions for the largest reply: the same in every run, so the
    // target is judged on them.
    if (!bench::PrintInstructionRatio("download/memcpy-instructions-64MB", "download", "memcpy",
                                      kLargest, "<=", 1.30)) {
        status = 1;
    }
    // Times, medians of the repetitions.
    for (const long long size : kSizes) {
        const std::string args = std::to_string(size);
        const auto* memcpyTime = reporter.Find("BM_Memcpy", args);
        const auto* fresh = reporter.Find("BM_MemcpyFresh", args);
        const auto* warm = reporter.Find("BM_DownloadWarm", args);
        const auto* cold = reporter.Find("BM_DownloadCold", args);
        if (!memcpyTime || !fresh || !warm || !cold) {
            status = 1;
            continue;
        }
        const std::string sizeName = std::to_string(size >> 10) + "KB";
        bench::PrintFigure("download/memcpy-time-warm-" + sizeName,
                           warm->realTime / memcpyTime->realTime);
        bench::PrintFigure("download/memcpy-time-cold-" + sizeName,
                           cold->realTime / memcpyTime->realTime);
        bench::PrintFigure("download/fresh-memcpy-time-cold-" + sizeName,
                           cold->realTime / fresh->realTime);
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    return bench::Main(argc, argv, CountOnce, Report);
}
