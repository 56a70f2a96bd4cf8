// The posix build's stand-ins for Windows, run next to Windows itself: the
// posix backend's UTF-8 decoder (compiled into this program) against the
// system's MultiByteToWideChar, and the string class's white-space, digit
// and number tables against the C runtime's iswspace, iswdigit and _wtoi
// over every UTF-16 unit. Every difference is a failure.
#include <windows.h>

#include "basiccpp/FormatParse.h"
#include "platform/Platform.h"
#include "platform/posix/TextCodec.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <string>
#include <vector>

namespace {

// Wine's conversion (through at least 8.0) differs from Windows in one
// place: at a lead whose sequence would run past the end of the input it
// turns everything from that lead on into one U+FFFD. Windows replaces only
// the cut sequence and goes on.
bool RunsUnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

struct Converted {
    int size = 0;   // the size query's result
    int result = 0; // the conversion's result
    uint32_t error = 0;
    std::u16string units;

    bool operator==(const Converted& other) const {
        return size == other.size && result == other.result && error == other.error &&
               units == other.units;
    }
};

using Convert = int (*)(uint32_t, uint32_t, const char*, int, char16_t*, int);

int System(uint32_t codePage, uint32_t flags, const char* src, int count, char16_t* dst,
           int capacity) {
    return ::MultiByteToWideChar(codePage, flags, src, count, reinterpret_cast<wchar_t*>(dst),
                                 capacity);
}

// Size query, then the conversion into exactly that size; the error is read
// after a failure only.
Converted SizeAndConvert(Convert convert, uint32_t flags, const std::string& bytes, int count) {
    Converted out;
    ::SetLastError(0);
    out.size = convert(CP_UTF8, flags, bytes.data(), count, nullptr, 0);
    if (out.size <= 0) {
        out.error = ::GetLastError();
        return out;
    }
    out.units.assign(static_cast<size_t>(out.size), u'\x7777');
    ::SetLastError(0);
    out.result = convert(CP_UTF8, flags, bytes.data(), count, &out.units[0], out.size);
    if (out.result <= 0) {
        out.error = ::GetLastError();
    }
    return out;
}

Converted Posix(uint32_t flags, const std::string& bytes, int count) {
    return SizeAndConvert(platform::posix::MultiByteToWideChar, flags, bytes, count);
}

// The first lead (C2-F4) whose sequence would run past the end of the input
// (the terminator included for count -1), or npos.
size_t FirstCutLead(const std::string& bytes, int count) {
    const size_t n = count < 0 ? bytes.size() + 1 : static_cast<size_t>(count);
    for (size_t k = 0; k < n; ++k) {
        const auto lead = static_cast<unsigned char>(bytes[k]);
        const size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                              : lead >= 0xE0 && lead <= 0xEF ? 3
                              : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                             : 1;
        if (k + length > n) {
            return k;
        }
    }
    return std::string::npos;
}

// What the system should give: the posix decoder's result, but under Wine,
// at a cut lead, Wine's known difference. Every lead starts a step, so the
// bytes before the cut lead decode alone as they do in the whole input.
Converted Expected(bool wine, uint32_t flags, const std::string& bytes, int count) {
    const Converted posix = Posix(flags, bytes, count);
    const size_t cut = wine ? FirstCutLead(bytes, count) : std::string::npos;
    if (cut == std::string::npos) {
        return posix;
    }
    if (flags & MB_ERR_INVALID_CHARS) {
        return {0, 0, ERROR_NO_UNICODE_TRANSLATION, {}};
    }
    Converted out;
    if (cut > 0) {
        out = Posix(flags, bytes, static_cast<int>(cut));
        if (out.size <= 0) {
            return out;
        }
    }
    out.units += u'\xFFFD';
    out.size = out.result = static_cast<int>(out.units.size());
    return out;
}

std::string Show(const std::string& bytes) {
    std::string shown;
    char hex[4];
    for (unsigned char b : bytes) {
        std::snprintf(hex, sizeof hex, "%02X ", b);
        shown += hex;
    }
    return shown;
}

std::string Show(const Converted& c) {
    std::string shown = "size " + std::to_string(c.size) + " result " + std::to_string(c.result) +
                        " error " + std::to_string(c.error) + ":";
    char hex[8];
    for (char16_t u : c.units) {
        std::snprintf(hex, sizeof hex, " %04X", static_cast<unsigned>(u));
        shown += hex;
    }
    return shown;
}

// Bytes that decide how a sequence decodes: ASCII, the edges of every
// continuation range (80, 8F, 90, 9F, A0, BF), bytes that never lead (C0,
// C1, F5-FF), and leads of every length with the special ones (E0, ED, F0,
// F4) and their neighbours.
const unsigned char kAlphabet[] = {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                   0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1,
                                   0xF3, 0xF4, 0xF5, 0xF7, 0xF8, 0xFB, 0xFC, 0xFE, 0xFF};

class Utf8Differential : public ::testing::Test {
protected:
    // Compares one input, with its count and with -1, strict and not.
    void Compare(const std::string& bytes) {
        for (uint32_t flags : {0u, static_cast<uint32_t>(MB_ERR_INVALID_CHARS)}) {
            for (int count : {static_cast<int>(bytes.size()), -1}) {
                ++compared_;
                const Converted system = SizeAndConvert(System, flags, bytes, count);
                const Converted expected = Expected(wine_, flags, bytes, count);
                if (!(system == expected) && ++differences_ <= 20) {
                    ADD_FAILURE() << "bytes " << Show(bytes) << "count " << count << " flags "
                                  << flags << "\n  system " << Show(system) << "\n  expected "
                                  << Show(expected);
                }
            }
        }
    }
    void TearDown() override {
        EXPECT_EQ(differences_, 0) << "of " << compared_ << " comparisons";
        std::printf("%ld comparisons%s\n", compared_, wine_ ? " (under Wine)" : "");
    }

    const bool wine_ = RunsUnderWine();
    long compared_ = 0;
    long differences_ = 0;
};

// Every sequence of one to four bytes of the alphabet, alone, followed by
// ASCII, and after ASCII: cut sequences before ASCII and before the end,
// overlong forms, encoded surrogates and bytes above F4 in every position.
TEST_F(Utf8Differential, EverySequenceOfDecidingBytes) {
    std::vector<std::string> sequences{""};
    for (int length = 1; length <= 4; ++length) {
        std::vector<std::string> longer;
        for (const std::string& s : sequences) {
            if (static_cast<int>(s.size()) == length - 1) {
                for (unsigned char b : kAlphabet) {
                    longer.push_back(s + static_cast<char>(b));
                }
            }
        }
        for (const std::string& s : longer) {
            Compare(s);
            Compare(s + "BC");
            Compare("A" + s);
        }
        sequences.insert(sequences.end(), longer.begin(), longer.end());
    }
}

// Every byte pair, and every lead with every second byte before one more
// continuation: all the range checks of the second byte.
TEST_F(Utf8Differential, EveryByteAfterEveryByte) {
    for (int first = 1; first < 256; ++first) {
        for (int second = 1; second < 256; ++second) {
            const std::string pair{static_cast<char>(first), static_cast<char>(second)};
            Compare(pair);
            Compare(pair + "\x80"
                           "B");
        }
    }
}

// Whole characters at the edges of every length and range.
TEST_F(Utf8Differential, ValidCharactersAtTheEdges) {
    const char* const characters[] = {
        "\xC2\x80",         "\xDF\xBF",         "\xE0\xA0\x80",     "\xEC\xBF\xBF",
        "\xED\x80\x80",     "\xED\x9F\xBF",     "\xEE\x80\x80",     "\xEF\xBF\xBF",
        "\xF0\x90\x80\x80", "\xF0\x9F\x98\x80", "\xF3\xBF\xBF\xBF", "\xF4\x8F\xBF\xBF",
    };
    for (const char* c : characters) {
        Compare(c);
        Compare(std::string("A") + c + "B");
        Compare(std::string(c) + c);
    }
}

// The string class's tables against the C runtime, for every unit.
TEST(CharacterTables, WhiteSpaceAndDigitsAsTheRuntimeClassifiesThem) {
    int differences = 0;
    for (unsigned u = 0; u <= 0xFFFF; ++u) {
        const auto unit = static_cast<wchar_t>(u);
        const bool space = std::iswspace(unit) != 0;
        const bool digit = std::iswdigit(unit) != 0;
        if ((basiccpp::IsWideSpace(static_cast<char16_t>(u)) != space ||
             basiccpp::IsWideDigit(static_cast<char16_t>(u)) != digit) &&
            ++differences <= 20) {
            ADD_FAILURE() << "unit " << u << ": iswspace " << space << ", iswdigit " << digit;
        }
    }
    EXPECT_EQ(differences, 0);
}

// _wtoi of each unit before a digit, after a digit and after a sign: which
// units it skips as white space, which it reads as digits and with what
// value, which sign it takes.
TEST(CharacterTables, NumbersAsWtoiReadsThem) {
    int differences = 0;
    for (unsigned u = 1; u <= 0xFFFF; ++u) {
        const wchar_t unit = static_cast<wchar_t>(u);
        const wchar_t texts[][4] = {{unit, L'7', 0}, {L'7', unit, 0}, {L'-', unit, L'7', 0}};
        for (int i = 0; i < 3; ++i) {
            const int system = ::_wtoi(texts[i]);
            const int32_t ours = basiccpp::WideToInt(reinterpret_cast<const char16_t*>(texts[i]));
            if (system != ours && ++differences <= 20) {
                ADD_FAILURE() << "unit " << u << " in text " << i << ": _wtoi " << system
                              << ", ours " << ours;
            }
        }
    }
    EXPECT_EQ(differences, 0);
    const wchar_t* const limits[] = {L"2147483647",  L"2147483648", L"-2147483648", L"-2147483649",
                                     L"99999999999", L"+-1",        L" \t+12x"};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(basiccpp::WideToInt(reinterpret_cast<const char16_t*>(limits[i])),
                  ::_wtoi(limits[i]))
            << "text " << i;
    }
}

} // namespace
