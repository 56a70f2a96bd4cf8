#include "platform/Environment.h"

#include <windows.h>

#include <vector>

namespace platform {

std::string EnvironmentVariable(const char* name) {
    char small[512];
    DWORD length = GetEnvironmentVariableA(name, small, sizeof(small));
    if (length == 0) {
        return "";
    }
    if (length < sizeof(small)) {
        return std::string(small, length);
    }
    // length is the size needed, terminator included.
    std::vector<char> large(length);
    length = GetEnvironmentVariableA(name, large.data(), static_cast<DWORD>(large.size()));
    return length < large.size() ? std::string(large.data(), length) : "";
}

} // namespace platform
