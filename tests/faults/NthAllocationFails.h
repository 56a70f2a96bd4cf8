// The test program's own global operator new (all its forms): counts the
// allocations made while counting is on and makes exactly one of them, the
// n-th, fail with std::bad_alloc.
#pragma once

#include <cstddef>

namespace nth_allocation {

// Starts counting from zero; allocation number failAt (1-based) fails, 0
// fails none.
void Start(size_t failAt);
// Stops counting; returns the allocations counted.
size_t Stop();
// Whether the chosen allocation was reached (and failed) since Start.
bool Failed();

} // namespace nth_allocation
