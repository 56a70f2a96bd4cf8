#include "NthAllocationFails.h"

#include <cstdlib>
#include <new>

namespace {
bool g_counting = false;
size_t g_count = 0;
size_t g_failAt = 0;
bool g_failed = false;

void* Allocate(size_t bytes) {
    if (g_counting && ++g_count == g_failAt) {
        g_failed = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(bytes ? bytes : 1))
        return p;
    throw std::bad_alloc();
}
} // namespace

namespace nth_allocation {
void Start(size_t failAt) {
    g_count = 0;
    g_failAt = failAt;
    g_failed = false;
    g_counting = true;
}
size_t Stop() {
    g_counting = false;
    return g_count;
}
bool Failed() {
    return g_failed;
}
} // namespace nth_allocation

void* operator new(size_t bytes) {
    return Allocate(bytes);
}
void* operator new[](size_t bytes) {
    return Allocate(bytes);
}
void* operator new(size_t bytes, const std::nothrow_t&) noexcept {
    try {
        return Allocate(bytes);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t bytes, const std::nothrow_t&) noexcept {
    try {
        return Allocate(bytes);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}
