#include "service/IndexCheck.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace service {

namespace {

// dictd's base64 number; false for an empty field, another character or an
// overflow.
bool Base64Number(std::string_view text, uint64_t* value) {
    *value = 0;
    for (const char c : text) {
        int digit;
        if (c >= 'A' && c <= 'Z') {
            digit = c - 'A';
        } else if (c >= 'a' && c <= 'z') {
            digit = c - 'a' + 26;
        } else if (c >= '0' && c <= '9') {
            digit = c - '0' + 52;
        } else if (c == '+') {
            digit = 62;
        } else if (c == '/') {
            digit = 63;
        } else {
            return false;
        }
        if (*value > (UINT64_MAX >> 6)) {
            return false;
        }
        *value = *value * 64 + static_cast<uint64_t>(digit);
    }
    return !text.empty();
}

} // namespace

bool ParseIndexLine(std::string_view line, std::string_view* headword, uint64_t* offset,
                    uint64_t* length) {
    const size_t tab1 = line.find('\t');
    const size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
    if (tab2 == std::string_view::npos) {
        return false;
    }
    *headword = line.substr(0, tab1);
    return Base64Number(line.substr(tab1 + 1, tab2 - tab1 - 1), offset) &&
           Base64Number(line.substr(tab2 + 1, line.find('\t', tab2 + 1) - tab2 - 1), length);
}

bool CheckIndex(std::string_view index, uint64_t textSize, const std::string& name,
                std::string* error) {
    if (index.empty() || index.back() != '\n') {
        *error = name + (index.empty() ? " is empty" : " ends inside a line: it is cut short");
        return false;
    }
    std::vector<std::pair<uint64_t, uint64_t>> ranges; // offset, end
    size_t line = 0;
    for (size_t at = 0; at < index.size(); ++line) {
        const size_t end = index.find('\n', at);
        const std::string_view text = index.substr(at, end - at);
        at = end + 1;
        std::string_view headword;
        uint64_t offset = 0, size = 0;
        if (!ParseIndexLine(text, &headword, &offset, &size)) {
            *error = name + ": line " + std::to_string(line + 1) +
                     " is not \"headword TAB offset TAB length\"";
            return false;
        }
        if (offset > textSize || size > textSize - offset) {
            *error = name + ": line " + std::to_string(line + 1) + " points past the end of the " +
                     std::to_string(textSize) + "-byte text";
            return false;
        }
        if (size > 0) {
            ranges.emplace_back(offset, offset + size);
        }
    }
    std::sort(ranges.begin(), ranges.end());
    uint64_t reached = 0;
    for (const auto& [offset, end] : ranges) {
        if (offset > reached) {
            break;
        }
        reached = std::max(reached, end);
    }
    if (reached != textSize) {
        *error = name + " reaches the text only up to byte " + std::to_string(reached) + " of " +
                 std::to_string(textSize) + ": it is cut short or does not belong to this text";
        return false;
    }
    return true;
}

} // namespace service
