#include "FailingAllocator.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {
std::atomic<size_t> g_failFrom{0};
std::atomic<size_t> g_count{0};
} // namespace

namespace failing_allocator {
void FailFrom(size_t bytes) {
    g_failFrom = bytes;
}
size_t Count() {
    return g_count;
}
} // namespace failing_allocator

void* operator new(size_t bytes) {
    ++g_count;
    const size_t failFrom = g_failFrom;
    if (failFrom != 0 && bytes >= failFrom)
        throw std::bad_alloc();
    // Fresh memory is never zero here, so code that relies on it shows.
    if (void* p = std::malloc(bytes ? bytes : 1))
        return std::memset(p, 0xA5, bytes);
    throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
