// The formatter behind BasicString::Format: printf-style formatting of a
// UTF-16 format into a bounded UTF-16 buffer, alike on every platform.
//
// Conventions: %s and %ls take a UTF-16 text, %S and %hs a narrow one, %c and
// %lc a UTF-16 unit, %C and %hc a narrow character, both passed as an int;
// narrow texts and characters are widened byte by byte (Latin-1, the same as
// the ANSI code page for ASCII). A null text is written "(null)", cut by a
// precision like any text. Numbers are written as the C library's printf
// writes them, with Windows' sizes: no modifier, 'h' and 'l' are 32-bit
// arguments ('h' prints a short), "I64" a 64-bit one; 'F', 'L' and 'N' change
// nothing (%Lf takes a double). Infinities and NaNs are "inf"/"nan" (upper
// case for E, G and A); %p is the pointer in upper-case hexadecimal of its full
// width (8 digits on 32-bit Windows). %n stores the count so far (a null
// pointer is skipped). An unknown letter is written as itself and takes no
// argument; a format that ends inside a conversion ends the output there.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace basiccpp {

// Writes at most capacity - 1 units and a terminator (nothing when capacity
// is 0). Returns the number of units the whole output has, terminator not
// counted, even when it was cut to fit.
size_t FormatWide(char16_t* buffer, size_t capacity, const char16_t* format, va_list args);

} // namespace basiccpp
