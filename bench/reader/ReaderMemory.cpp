// Peak memory of reading a 16 MB reply beside parsing it with TinyXML alone.
// Two measures: the heap bytes requested through operator new at their peak
// (counted by this program's own operator new), and the peak resident set of
// a child process that does only the one or the other.
#include "Replies.h"

#include "bench/common/Report.h"

#include "plugin/ReplyReader.h"
#include "plugin/SearchContext.h"

#include <tinyxml.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

// Live and peak bytes requested from operator new; the size is kept in a
// header before each block.
size_t live = 0;
size_t peak = 0;
constexpr size_t kHeader = alignof(std::max_align_t);

void* Allocate(size_t bytes) {
    char* block = static_cast<char*>(std::malloc(bytes + kHeader));
    if (!block)
        throw std::bad_alloc();
    *reinterpret_cast<size_t*>(block) = bytes;
    live += bytes;
    if (live > peak)
        peak = live;
    return block + kHeader;
}

void Release(void* p) {
    if (!p)
        return;
    char* block = static_cast<char*>(p) - kHeader;
    live -= *reinterpret_cast<size_t*>(block);
    std::free(block);
}

enum class Work { kParse, kRead };

// The extra heap at its peak while the work runs, beyond what was live before
// (the receive buffer among it).
size_t HeapPeak(SearchContext& context, Work work) {
    const size_t before = live;
    peak = live;
    if (work == Work::kParse) {
        TiXmlDocument document;
        if (!document.Parse(context.buffer.data(), nullptr, TIXML_ENCODING_UTF8))
            std::abort();
    } else {
        if (ReadReply(context) != 0)
            std::abort();
    }
    return peak - before;
}

// Peak resident set in kilobytes of a child that does the work once.
long ResidentPeak(SearchContext& context, Work work) {
    const pid_t child = fork();
    if (child == 0) {
        HeapPeak(context, work);
        _exit(0);
    }
    int status = 0;
    rusage usage{};
    if (child < 0 || wait4(child, &status, 0, &usage) != child || status != 0)
        std::abort();
    return usage.ru_maxrss;
}

} // namespace

void* operator new(size_t bytes) {
    return Allocate(bytes);
}
void* operator new[](size_t bytes) {
    return Allocate(bytes);
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, size_t) noexcept {
    Release(p);
}

int main() {
    SearchContext context;
    {
        const std::string reply = bench_reader::MakeReply(16u << 20);
        bench_reader::Place(context, reply);
    }
    const double buffer = static_cast<double>(context.buffer.size());

    // Resident sets first, while this process holds nothing but the buffer.
    const long parseResident = ResidentPeak(context, Work::kParse);
    const long readResident = ResidentPeak(context, Work::kRead);

    const size_t parseHeap = HeapPeak(context, Work::kParse);
    const size_t readHeap = HeapPeak(context, Work::kRead);
    std::printf("16 MB reply: %zu results, receive buffer %.1f MB\n", context.results.size(),
                buffer / 1048576.0);
    std::printf("heap peak beyond the buffer: parse %.1f MB, read %.1f MB (results kept %.1f MB)\n",
                parseHeap / 1048576.0, readHeap / 1048576.0, (live - buffer) / 1048576.0);
    bench::PrintRatio("peak-heap-read/parse-16MB", double(readHeap) / double(parseHeap),
                      "<=", 1.25);
    bench::PrintRatio("peak-heap-with-buffer-read/parse-16MB",
                      (buffer + readHeap) / (buffer + parseHeap), "<=", 1.25);
    char detail[96];
    std::snprintf(detail, sizeof detail, "parse %ld KB, read %ld KB", parseResident, readResident);
    bench::PrintRatio("peak-resident-read/parse-16MB", double(readResident) / double(parseResident),
                      "<=", 1.25, detail);
    return 0;
}
