// Text conversions of the posix backend: MultiByteToWideChar and
// WideCharToMultiByte for the two code pages the system uses. They live in
// platform::posix so that a Windows test program can hold them next to the
// system's own conversions and compare the two.
//
// Code page 65001 is UTF-8. Code page 0, the ANSI page, is ISO-8859-1 here:
// every byte is the code point of the same value, and a unit above U+00FF
// becomes '?' (each unit of a surrogate pair on its own).
//
// Decoding UTF-8 without the strict flag replaces what is not UTF-8 with
// U+FFFD, one U+FFFD per step below, as the Windows conversion does:
// - A byte 80-BF, C0, C1 or F5-FF that does not continue a sequence is one
//   step.
// - A second byte outside the lead's range (E0: A0-BF, ED: 80-9F, F0: 90-BF,
//   F4: 80-8F; overlongs, surrogates and code points above U+10FFFF) joins
//   the lead in one U+FFFD.
// - A byte that should continue a sequence but is not 80-BF ends the step
//   before it (the bytes so far give one U+FFFD) and starts the next step.
// - A sequence cut by the end of the input gives one U+FFFD for the bytes it
//   has. The end of the input is just another place where a sequence stops:
//   a character after a cut sequence is never taken into it, so with a count
//   of -1 the terminator is always converted.
#include "platform/posix/TextCodec.h"

#include "platform/Platform.h"

#include <cstring>

namespace platform::posix {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;
constexpr uint32_t kInvalid = 0xFFFFFFFF;

struct Step {
    uint32_t value; // a code point, or kInvalid
    int length;     // bytes taken from the input
};

bool IsContinuation(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

Step DecodeUtf8(const unsigned char* p, const unsigned char* end) {
    const unsigned char lead = p[0];
    if (lead < 0x80) {
        return {lead, 1};
    }
    int following;
    uint32_t value;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        following = 1;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        following = 2;
        value = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        following = 3;
        value = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {kInvalid, 1};
    }
    // Bytes from the lead to the end of the input: a sequence may be cut
    // there, and then stops as it would before any other non-continuation.
    const int available = static_cast<int>(end - p);
    if (available < 2 || !IsContinuation(p[1])) {
        return {kInvalid, 1};
    }
    if (p[1] < low || p[1] > high) {
        return {kInvalid, 2};
    }
    for (int i = 1; i <= following; ++i) {
        if (i == available || !IsContinuation(p[i])) {
            return {kInvalid, i};
        }
        value = (value << 6) | (p[i] & 0x3F);
    }
    return {value, following + 1};
}

int Fail(uint32_t code) {
    SetLastError(code);
    return 0;
}

// Appends units to dst while they fit. Counts every unit in `total`; sets
// `overflow` once one does not fit.
struct WideSink {
    char16_t* dst;
    int capacity; // 0: only count
    int total = 0;
    bool overflow = false;

    void Put(const char16_t* units, int count) {
        if (capacity != 0) {
            if (total + count > capacity) {
                overflow = true;
                return;
            }
            std::memcpy(dst + total, units, sizeof(char16_t) * static_cast<size_t>(count));
        }
        total += count;
    }
};

struct ByteSink {
    char* dst;
    int capacity; // 0: only count
    int total = 0;
    bool overflow = false;

    void Put(const unsigned char* bytes, int count) {
        if (capacity != 0) {
            if (total + count > capacity) {
                overflow = true;
                return;
            }
            std::memcpy(dst + total, bytes, static_cast<size_t>(count));
        }
        total += count;
    }
};

int WideUnitsWithTerminator(const char16_t* text) {
    int n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n + 1;
}

int EncodeUtf8(uint32_t cp, unsigned char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<unsigned char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
        out[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
        out[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    out[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    return 4;
}

bool IsHighSurrogate(uint32_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(uint32_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

} // namespace

int MultiByteToWideChar(uint32_t codePage, uint32_t flags, const char* src, int srcCount,
                        char16_t* dst, int dstCount) {
    if (src == nullptr || srcCount == 0 || dstCount < 0 || (dst == nullptr && dstCount != 0)) {
        return Fail(kErrorInvalidParameter);
    }
    if (codePage != kCodePageAnsi && codePage != kCodePageUtf8) {
        return Fail(kErrorInvalidParameter);
    }
    if (flags & ~kMbErrInvalidChars) {
        return Fail(kErrorInvalidFlags);
    }
    if (srcCount < 0) {
        srcCount = static_cast<int>(std::strlen(src)) + 1;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(src);
    const unsigned char* end = p + srcCount;
    WideSink sink{dst, dstCount};

    if (codePage == kCodePageAnsi) {
        for (; p < end && !sink.overflow; ++p) {
            const char16_t unit = *p;
            sink.Put(&unit, 1);
        }
    } else {
        while (p < end && !sink.overflow) {
            const Step step = DecodeUtf8(p, end);
            p += step.length;
            if (step.value == kInvalid) {
                if (flags & kMbErrInvalidChars) {
                    return Fail(kErrorNoUnicodeTranslation);
                }
                const char16_t unit = kReplacement;
                sink.Put(&unit, 1);
            } else if (step.value < 0x10000) {
                const char16_t unit = static_cast<char16_t>(step.value);
                sink.Put(&unit, 1);
            } else {
                const uint32_t v = step.value - 0x10000;
                const char16_t pair[2] = {static_cast<char16_t>(0xD800 | (v >> 10)),
                                          static_cast<char16_t>(0xDC00 | (v & 0x3FF))};
                sink.Put(pair, 2);
            }
        }
    }
    if (sink.overflow) {
        return Fail(kErrorInsufficientBuffer);
    }
    return sink.total;
}

int WideCharToMultiByte(uint32_t codePage, uint32_t flags, const char16_t* src, int srcCount,
                        char* dst, int dstCount) {
    if (src == nullptr || srcCount == 0 || dstCount < 0 || (dst == nullptr && dstCount != 0)) {
        return Fail(kErrorInvalidParameter);
    }
    if (codePage != kCodePageAnsi && codePage != kCodePageUtf8) {
        return Fail(kErrorInvalidParameter);
    }
    const uint32_t allowed = codePage == kCodePageUtf8 ? uint32_t{kWcErrInvalidChars} : 0u;
    if (flags & ~allowed) {
        return Fail(kErrorInvalidFlags);
    }
    if (srcCount < 0) {
        srcCount = WideUnitsWithTerminator(src);
    }
    ByteSink sink{dst, dstCount};

    for (int i = 0; i < srcCount && !sink.overflow; ++i) {
        uint32_t cp = src[i];
        unsigned char bytes[4];
        if (codePage == kCodePageAnsi) {
            bytes[0] = cp <= 0xFF ? static_cast<unsigned char>(cp) : '?';
            sink.Put(bytes, 1);
            continue;
        }
        if (IsHighSurrogate(cp) && i + 1 < srcCount && IsLowSurrogate(src[i + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (src[i + 1] - 0xDC00u);
            ++i;
        } else if (IsHighSurrogate(cp) || IsLowSurrogate(cp)) {
            if (flags & kWcErrInvalidChars) {
                return Fail(kErrorNoUnicodeTranslation);
            }
            cp = kReplacement;
        }
        sink.Put(bytes, EncodeUtf8(cp, bytes));
    }
    if (sink.overflow) {
        return Fail(kErrorInsufficientBuffer);
    }
    return sink.total;
}

} // namespace platform::posix
