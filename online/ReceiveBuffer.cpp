#include "online/ReceiveBuffer.h"

#include <cstdint>
#include <cstring>
#include <new>

namespace online {

namespace {

// Bytes past size() that are zero: the slack, always; the rest of the
// allocation is not kept zero, since a Grow zeroes the step it adds.
constexpr size_t kInitialCapacity = ReceiveBuffer::kStep + ReceiveBuffer::kSlack;

char* Allocate(size_t bytes) {
    return static_cast<char*>(::operator new(bytes));
}

} // namespace

ReceiveBuffer::ReceiveBuffer()
    : data_(Allocate(kInitialCapacity)), size_(kStep), capacity_(kInitialCapacity) {
    std::memset(data_, 0, kInitialCapacity);
}

ReceiveBuffer::~ReceiveBuffer() {
    ::operator delete(data_);
}

void ReceiveBuffer::Grow() {
    if (size_ > SIZE_MAX - kStep - kSlack)
        throw std::bad_alloc();
    const size_t needed = size_ + kStep + kSlack;
    if (needed > capacity_) {
        // Double the allocation, so a reply of n bytes costs O(n) copying in
        // all, however many steps it takes.
        size_t capacity = capacity_ <= SIZE_MAX / 2 ? capacity_ * 2 : SIZE_MAX;
        if (capacity < needed)
            capacity = needed;
        char* data = Allocate(capacity); // may throw: nothing changed yet
        std::memcpy(data, data_, size_ + kSlack);
        ::operator delete(data_);
        data_ = data;
        capacity_ = capacity;
    }
    // The first kSlack bytes of the new step are already zero.
    std::memset(data_ + size_ + kSlack, 0, kStep);
    size_ += kStep;
}

} // namespace online
