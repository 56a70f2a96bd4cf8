// ASCII-only text helpers shared by every folder: letter case, comparison
// and prefix tests that ignore ASCII case, and trimming of ASCII white space.
// They never look at a byte or unit outside ASCII, so they are exact on UTF-8
// and UTF-16 alike and do not depend on a locale. Header-only; each works on
// narrow (char) and UTF-16 (char16_t) text.
#pragma once

#include <string>
#include <string_view>

namespace ascii {

// The lower-case letter of an ASCII capital; every other unit as it is.
template <typename Char> constexpr Char Lower(Char c) {
    return (c >= Char('A') && c <= Char('Z')) ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

// A copy with the ASCII capitals lowered.
template <typename Char> std::basic_string<Char> Lowered(std::basic_string_view<Char> text) {
    std::basic_string<Char> out(text);
    for (Char& c : out) {
        c = Lower(c);
    }
    return out;
}
inline std::string Lowered(std::string_view text) {
    return Lowered<char>(text);
}
inline std::u16string Lowered(std::u16string_view text) {
    return Lowered<char16_t>(text);
}

// True when a and b are the same text up to ASCII letter case.
template <typename Char>
constexpr bool EqualsIgnoringCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(b[i])) {
            return false;
        }
    }
    return true;
}
constexpr bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return EqualsIgnoringCase<char>(a, b);
}

// True when text begins with prefix up to ASCII letter case.
constexpr bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// Space, tab, carriage return and line feed.
template <typename Char> constexpr bool IsBlank(Char c) {
    return c == Char(' ') || c == Char('\t') || c == Char('\r') || c == Char('\n');
}

// text without the blanks at either end; a view into text.
template <typename Char>
constexpr std::basic_string_view<Char> Trimmed(std::basic_string_view<Char> text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}
constexpr std::string_view Trimmed(std::string_view text) {
    return Trimmed<char>(text);
}

} // namespace ascii
