// Texts of a reply as the reader hands them on: attribute values converted
// from UTF-8 to wide text as Utf8ToWide converts them, and the case-blind
// comparison of the status.
#pragma once

#include <cstddef>
#include <string>

// The text as Utf8ToWide converts it: well-formed UTF-8 is decoded here;
// anything else goes to Utf8ToWide itself, which reports a failing conversion
// and gives empty text.
std::u16string ReplyText(const char* utf8);

// Translation types repeat from item to item ("noun", "verb"): the last
// conversion of each is kept, by a hash of the text. Only conversions that
// gave text are kept, so a failing one is repeated, and reported, each time.
class TypeTexts {
public:
    // The text converted; valid until the next call. utf8 is not empty.
    const std::u16string& Convert(const char* utf8);

private:
    static const size_t kSlots = 16;
    struct Slot {
        std::string utf8;
        std::u16string wide;
    };
    Slot slots_[kSlots];
    std::u16string uncached_;
};

// ASCII letters compared without case, as _stricmp does in the C locale.
bool EqualIgnoringCase(const char* a, const char* b);
