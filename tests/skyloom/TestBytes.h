// The deterministic reply bytes the test server sends and the tests expect:
// byte i of every generated reply. Not periodic in any power of two, so a
// chunk delivered twice, dropped or out of order shows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace skyloom_test {

inline char ReplyByte(size_t i) {
    const uint32_t x = static_cast<uint32_t>(i) * 2654435761u + static_cast<uint32_t>(i >> 7);
    return static_cast<char>(x >> 24);
}

inline std::string ReplyBytes(size_t offset, size_t count) {
    std::string bytes(count, '\0');
    for (size_t i = 0; i < count; ++i)
        bytes[i] = ReplyByte(offset + i);
    return bytes;
}

} // namespace skyloom_test
