// BasicString: a zero-terminated UTF-16 text behind one pointer, with the
// text conversions and the system error text built on it.
//
// - Every empty string points at one shared static zero unit, never written
//   or freed. No length is stored; copies are deep.
// - Format estimates its output in one pass over the format, allocates
//   estimate + 1 units once and formats once, never past that reservation.
// - Failures are results (an empty string, 0, or a null array); memory
//   exhaustion is std::bad_alloc, passed through to the caller.
#pragma once

#include <cstdarg>
#include <cstdint>

class BasicString {
public:
    BasicString();
    BasicString(const char16_t* text);
    // Narrow text in the ANSI code page.
    BasicString(const char* text);
    BasicString(const BasicString& other);
    BasicString& operator=(const BasicString& other);
    ~BasicString();

    // 0 for null, otherwise the units before the terminator.
    int32_t GetLength() const;
    // The pointer as held: the shared empty unit when empty, null after Release.
    const char16_t* GetString() const { return text_; }

    // Formats into a new buffer; an empty format or an estimate of 0 keeps
    // the previous text. %s/%ls take UTF-16 texts, %S/%hs narrow ones.
    void Format(const char16_t* format, ...);
    void FormatV(const char16_t* format, va_list args);
    // Cuts trailing white space in place (the buffer is kept).
    void TrimRight();

    // Steps used by the conversions and by tests.
    void SetEmpty();
    void Release();
    int Allocate(int32_t count);
    void Assign(const char16_t* text);
    void Assign(const char* text);
    static int IsReadableText(const char16_t* text, uint32_t maxCount);

    // The shared empty unit.
    static const char16_t* EmptyUnit();

private:
    char16_t* text_;
};

// Units before the terminator; 0 for null.
int32_t WideLength(const char16_t* text);
// Copies at most limit units (-1: all) and a terminator into destination, or
// into a new array (caller releases with delete[]) when destination is null.
// Null source: null, nothing allocated.
char16_t* WideCopy(const char16_t* source, char16_t* destination, int32_t limit);
// Bytes of a code page to a UTF-16 text in destination or a new array
// (delete[]); null on failure.
char16_t* MultiByteToWide(uint32_t codePage, const char* source, char16_t* destination,
                          int32_t count);
// UTF-16 to bytes of a code page, in destination or a new array (delete[]);
// null for a null source or when the platform refuses.
char* WideToMultiByte(uint32_t codePage, const char16_t* source, char* destination, int32_t count);
// UTF-8 to UTF-16. A failed conversion gives the empty value and, with a log
// installed, one formatted entry with the error code and the system's text.
BasicString Utf8ToWide(const char* source);
// The system's message for an error code without trailing white space; empty
// when the system has none.
BasicString SystemErrorText(uint32_t code);
