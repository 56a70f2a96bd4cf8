// The words lexigrove-lookup reads from standard input, one a line.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace host {

// Lines of UTF-8 text, each ended by a line feed or CR LF (the last one may
// end without). ASCII blanks at either end of a line are dropped, blank lines
// are skipped and a UTF-8 byte order mark at the very start is ignored. A
// line that is not UTF-8, holds a NUL byte or is longer than kMaxLineBytes
// (its line end not counted) is refused as a whole, and the lines after it
// are read on.
class InputWords {
public:
    static constexpr size_t kMaxLineBytes = 4096;

    // read fills up to size bytes of buffer and returns how many, 0 at the
    // end of the input, -1 when it cannot be read.
    using Read = std::function<long(char* buffer, size_t size)>;
    explicit InputWords(Read read);

    enum class Next {
        kWord,    // *word holds the next word
        kRefused, // line() was refused; *problem says why
        kEnd,     // the input has ended
        kFailed,  // the input could not be read; *problem says so
    };
    // Reads up to the next word; blocks until a whole line or the end of the
    // input has arrived. After kEnd or kFailed it returns the same again.
    Next Take(std::u16string* word, std::string* problem);

    // The number of the line last taken, from 1.
    size_t line() const { return line_; }

private:
    // The next line without its line feed, *tooLong when it was longer than
    // kMaxLineBytes plus a carriage return (its bytes are then dropped).
    // False when no line is left.
    bool NextLine(std::string* line, bool* tooLong);
    // Reads more into pending_; false at the end of the input or on failure.
    bool Fill();

    Read read_;
    std::string pending_; // bytes read and not yet taken, from at_
    size_t at_ = 0;
    bool ended_ = false, failed_ = false;
    size_t line_ = 0;
};

} // namespace host
