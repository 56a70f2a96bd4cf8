#include "service/Request.h"

#include "basiccpp/Ascii.h"

namespace service {

const char* const kDictionaryPath = "/serverjobs/dictionary.php";

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

bool DecodeQueryValue(std::string_view text, std::string* out) {
    out->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            *out += ' ';
        } else if (c == '%') {
            const int high = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
            const int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
            if (high < 0 || low < 0) {
                return false;
            }
            *out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            *out += c;
        }
    }
    return true;
}

std::string_view TargetPath(std::string_view target, std::string_view* query) {
    // Absolute form: drop the scheme and the authority.
    for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
        if (ascii::StartsWithIgnoringCase(target, scheme)) {
            target.remove_prefix(scheme.size());
            const size_t pathStart = target.find_first_of("/?");
            target = pathStart == std::string_view::npos ? std::string_view("/")
                                                         : target.substr(pathStart);
            break;
        }
    }
    const size_t mark = target.find('?');
    if (query != nullptr) {
        *query = mark == std::string_view::npos ? std::string_view() : target.substr(mark + 1);
    }
    return target.substr(0, mark);
}

TargetKind ParseTarget(std::string_view target, DictionaryQuery* query, std::string* problem) {
    std::string_view rest;
    if (TargetPath(target, &rest) != kDictionaryPath) {
        return TargetKind::kOtherPath;
    }
    // A fragment never reaches a server, but cut it off if a client sends one.
    rest = rest.substr(0, rest.find('#'));

    bool haveFrom = false, haveTo = false, haveWord = false;
    while (true) {
        const size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        const size_t eq = pair.find('=');
        const std::string_view rawKey = pair.substr(0, eq);
        const std::string_view rawValue =
            eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
        std::string key, value;
        if (!DecodeQueryValue(rawKey, &key) || !DecodeQueryValue(rawValue, &value)) {
            *problem = "bad %-escape in the query";
            return TargetKind::kMalformed;
        }
        if (key == "fromlang" && !haveFrom) {
            query->from = std::move(value);
            haveFrom = true;
        } else if (key == "tolang" && !haveTo) {
            query->to = std::move(value);
            haveTo = true;
        } else if (key == "word" && !haveWord) {
            query->word = std::move(value);
            haveWord = true;
        }
        if (amp == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(amp + 1);
    }
    if (!haveFrom || !haveTo || !haveWord) {
        *problem = !haveFrom ? "fromlang missing" : !haveTo ? "tolang missing" : "word missing";
        return TargetKind::kMalformed;
    }
    return TargetKind::kQuery;
}

} // namespace service
