// The test program's own global operator new: counts allocations and, when
// armed, fails every allocation of at least a given size with std::bad_alloc.
// Fresh allocations are filled with 0xA5, never zero.
#pragma once

#include <cstddef>

namespace failing_allocator {

// Allocations of at least bytes fail from now on; 0 disarms.
void FailFrom(size_t bytes);
// Allocations made through operator new so far.
size_t Count();

// Arms for one scope.
struct Armed {
    explicit Armed(size_t bytes) { FailFrom(bytes); }
    ~Armed() { FailFrom(0); }
    Armed(const Armed&) = delete;
    Armed& operator=(const Armed&) = delete;
};

} // namespace failing_allocator
