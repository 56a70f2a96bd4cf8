// The formatter behind BasicString::Format: printf-style formatting of a
// UTF-16 format into a bounded UTF-16 buffer, alike on every platform.
//
// Conventions: %s and %ls take a UTF-16 text, %S and %hs a narrow one, %c and
// %C one character passed as an int; a null text is written "(null)"; numbers
// are written as the C library's printf writes them.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace basiccpp {

// Writes at most capacity - 1 units and a terminator (nothing when capacity
// is 0). Returns the number of units the whole output has, terminator not
// counted, even when it was cut to fit.
size_t FormatWide(char16_t* buffer, size_t capacity, const char16_t* format, va_list args);

} // namespace basiccpp
