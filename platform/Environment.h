// The process environment, read by name as the system keeps it. Windows
// compares the names ignoring case, so "http_proxy" and "HTTP_PROXY" are one
// variable there and two elsewhere.
#pragma once

#include <string>

namespace platform {

// The value of the variable name; empty when it is not set.
std::string EnvironmentVariable(const char* name);

} // namespace platform
