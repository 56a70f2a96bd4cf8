// Setting and clearing the process environment from a test, on both builds
// (the online library reads it at every Open).
#pragma once

#include <cstdlib>
#include <string>

namespace skyloom_test {

// Sets name to value; an empty value removes the variable.
inline void SetEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
    // The C runtime's _putenv_s also changes the process environment that
    // GetEnvironmentVariable reads; "" removes the variable.
    _putenv_s(name, value.c_str());
#else
    if (value.empty())
        unsetenv(name);
    else
        setenv(name, value.c_str(), 1);
#endif
}

// Sets a variable for the life of the object, then restores the old value.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::string& value) : name_(name) {
        const char* old = std::getenv(name);
        old_ = old != nullptr ? old : "";
        SetEnvironment(name, value);
    }
    ~ScopedEnvironment() { SetEnvironment(name_, old_); }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
    std::string old_;
};

} // namespace skyloom_test
