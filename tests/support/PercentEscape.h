// A query value as the service tests and benchmarks send it: every byte but
// ASCII letters and digits escaped as %XX (capital hex digits), whatever the
// locale.
#pragma once

#include <string>
#include <string_view>

namespace testsupport {

inline std::string PercentEscaped(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

} // namespace testsupport
