// The receive buffer a reply is downloaded into: a byte array whose size is a
// multiple of 4096, starts at 4096 zero bytes, grows by 4096 zero bytes at a
// time and never shrinks. The allocation underneath grows geometrically, so a
// large reply costs linear time, and always keeps a few zero bytes past the
// end, so a reader that looks a little beyond the terminator stays inside.
#pragma once

#include <cstddef>
#include <cstdint>

namespace online {

class ReceiveBuffer {
public:
    static constexpr size_t kStep = 4096;
    // Zero bytes always kept past size().
    static constexpr size_t kSlack = 16;

    ReceiveBuffer(); // 4096 zero bytes; throws std::bad_alloc
    ~ReceiveBuffer();
    ReceiveBuffer(const ReceiveBuffer&) = delete;
    ReceiveBuffer& operator=(const ReceiveBuffer&) = delete;

    char* data() { return data_; }
    const char* data() const { return data_; }
    size_t size() const { return size_; }
    // Adds kStep zero bytes. Throws std::bad_alloc and leaves the buffer as it
    // was when memory runs out.
    void Grow();

private:
    char* data_;
    size_t size_;
    size_t capacity_; // bytes allocated, beyond size_ + kSlack
};

} // namespace online
