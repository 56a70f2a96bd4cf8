#include "skyloom/Reply.h"

#include "basiccpp/Ascii.h"

#include <algorithm>

namespace skyloom {
namespace {

// RFC 9110 5.6.2: tchar.
bool IsTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// RFC 9110 5.6.3: optional white space is SP and HTAB only.
std::string_view TrimOws(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// The non-empty elements of a comma-separated list (RFC 9110 5.6.1, which
// has recipients pass over empty ones), appended to elements.
void AppendElements(std::string_view value, std::vector<std::string>& elements) {
    while (true) {
        const size_t comma = value.find(',');
        const std::string_view element = TrimOws(value.substr(0, comma));
        if (!element.empty()) {
            elements.emplace_back(element);
        }
        if (comma == std::string_view::npos) {
            return;
        }
        value.remove_prefix(comma + 1);
    }
}

std::string Joined(const std::vector<std::string>& elements) {
    std::string text;
    for (const std::string& element : elements) {
        text += (text.empty() ? "" : ", ") + element;
    }
    return text;
}

// The fields whose values are lists the rules read as a whole, wherever
// their fields stand in the head and however many there are.
enum class ListField { kContentLength, kTransferEncoding, kContentEncoding, kCount };

struct ListFieldName {
    std::string_view name;
    ListField field;
};

constexpr ListFieldName kListFields[] = {
    {"Content-Length", ListField::kContentLength},
    {"Transfer-Encoding", ListField::kTransferEncoding},
    {"Content-Encoding", ListField::kContentEncoding},
};

// The starts of bodies that are not UTF-8 text, longest first.
struct Signature {
    std::string_view bytes;
    const char* name;
};

constexpr Signature kNotUtf8[] = {
    {std::string_view("\x00\x00\xFE\xFF", 4), "UTF-32 byte-order mark"},
    {std::string_view("\xFF\xFE\x00\x00", 4), "UTF-32 byte-order mark"},
    {std::string_view("\x00\x3C\x00\x3F", 4), "UTF-16 without a byte-order mark"},
    {std::string_view("\x3C\x00\x3F\x00", 4), "UTF-16 without a byte-order mark"},
    {std::string_view("\xFE\xFF", 2), "UTF-16 byte-order mark"},
    {std::string_view("\xFF\xFE", 2), "UTF-16 byte-order mark"},
};

} // namespace

std::string RefusedDetail(long code, std::string_view phrase) {
    std::string kept;
    for (char c : ascii::Trimmed(phrase)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte <= 0x7E && kept.size() < 100) {
            kept += c;
        }
    }
    return std::to_string(code) + (kept.empty() ? "" : " " + kept);
}

bool IsInterim(int code) {
    return code >= 100 && code <= 199 && code != 101;
}

bool CarriesBody(int code) {
    return code >= 200 && code != 204 && code != 304;
}

Failure ReplyHead::Fail(Failure failure, std::string detail) {
    detail_ = std::move(detail);
    return failure;
}

Failure ReplyHead::Start(std::string_view line) {
    *this = ReplyHead();
    bytes_ = line.size() + 2;
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    // HTTP-version SP status-code [ SP reason-phrase ]; only major version 1
    // has this framing.
    if (line.size() < 12 || line.substr(0, 7) != "HTTP/1." || !IsDigit(line[7]) || line[8] != ' ' ||
        !IsDigit(line[9]) || !IsDigit(line[10]) || !IsDigit(line[11]) ||
        (line.size() > 12 && line[12] != ' ')) {
        return Fail(Failure::kMalformedStatusLine);
    }
    code_ = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    if (code_ < 100 || code_ > 599) {
        return Fail(Failure::kMalformedStatusLine);
    }
    phrase_ = std::string(line.substr(line.size() > 12 ? 13 : 12));
    return Failure::kNone;
}

Failure ReplyHead::AddField(std::string_view line) {
    bytes_ += line.size() + 2;
    if (bytes_ > kMaxHeaderBytes) {
        return Fail(Failure::kHeaderTooLarge);
    }
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    if (line.find_first_of(std::string_view("\0\r\n", 3)) != std::string_view::npos) {
        return Fail(Failure::kMalformedField);
    }
    if (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
        if (fields_.empty()) {
            return Fail(Failure::kMalformedField);
        }
        std::string& value = fields_.back().second;
        const std::string_view more = TrimOws(line);
        if (!more.empty()) {
            value += (value.empty() ? "" : " ") + std::string(more);
        }
        return Failure::kNone;
    }
    const size_t colon = line.find(':');
    if (colon == 0 || colon == std::string_view::npos) {
        return Fail(Failure::kMalformedField);
    }
    for (char c : line.substr(0, colon)) {
        if (!IsTokenChar(c)) {
            return Fail(Failure::kMalformedField);
        }
    }
    fields_.emplace_back(std::string(line.substr(0, colon)),
                         std::string(TrimOws(line.substr(colon + 1))));
    return Failure::kNone;
}

Failure ReplyHead::Finish() {
    std::vector<std::string> lists[static_cast<size_t>(ListField::kCount)];
    for (const auto& [name, value] : fields_) {
        if (ascii::EqualsIgnoringCase(name, "Location")) {
            if (locations_++ == 0) {
                location_ = value;
            }
        }
        for (const ListFieldName& list : kListFields) {
            if (ascii::EqualsIgnoringCase(name, list.name)) {
                AppendElements(value, lists[static_cast<size_t>(list.field)]);
            }
        }
    }
    // Only a successful reply's body is read; the others end the request
    // with their status (or lead on to a redirect's target).
    if (code_ < 200 || code_ > 299 || !CarriesBody(code_)) {
        return Failure::kNone;
    }
    const auto& transfer = lists[static_cast<size_t>(ListField::kTransferEncoding)];
    if (!transfer.empty()) {
        std::vector<std::string> unasked;
        for (const std::string& coding : transfer) {
            if (!ascii::EqualsIgnoringCase(coding, "chunked")) {
                unasked.push_back(ascii::Lowered(coding));
            }
        }
        if (!unasked.empty() || transfer.size() > 1) {
            return Fail(Failure::kTransferCoding, Joined(unasked.empty() ? transfer : unasked));
        }
        chunked_ = true;
    }
    std::vector<std::string> compressed;
    for (const std::string& coding : lists[static_cast<size_t>(ListField::kContentEncoding)]) {
        if (!ascii::EqualsIgnoringCase(coding, "identity")) {
            compressed.push_back(ascii::Lowered(coding));
        }
    }
    if (!compressed.empty()) {
        return Fail(Failure::kCompressed, Joined(compressed));
    }
    // Transfer-Encoding overrides Content-Length (RFC 9112 6.3, rule 3).
    const auto& lengths = lists[static_cast<size_t>(ListField::kContentLength)];
    if (chunked_) {
        return Failure::kNone;
    }
    bool anyLength = false;
    for (const auto& [name, value] : fields_) {
        anyLength = anyLength || ascii::EqualsIgnoringCase(name, "Content-Length");
    }
    if (anyLength && lengths.empty()) {
        return Fail(Failure::kMalformedLength);
    }
    for (const std::string& element : lengths) {
        // 1*DIGIT; equal duplicates stand for one value (RFC 9110 8.6).
        if (element.size() > 18) {
            return Fail(Failure::kMalformedLength);
        }
        uint64_t value = 0;
        for (char c : element) {
            if (!IsDigit(c)) {
                return Fail(Failure::kMalformedLength);
            }
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        if (hasLength_ && value != length_) {
            return Fail(Failure::kMalformedLength);
        }
        hasLength_ = true;
        length_ = value;
    }
    if (hasLength_ && length_ > kMaxReplyBytes) {
        return Fail(Failure::kTooLarge);
    }
    return Failure::kNone;
}

Failure HeadWithoutFields(bool bodyFollows) {
    return bodyFollows ? Failure::kNotHttp : Failure::kClosedAfterStatusLine;
}

Failure CheckBodyStart(std::string_view first, std::string& detail) {
    for (const Signature& signature : kNotUtf8) {
        if (first.substr(0, signature.bytes.size()) == signature.bytes) {
            detail = signature.name;
            return Failure::kNotUtf8;
        }
    }
    return Failure::kNone;
}

Failure ChunkedBody::Feed(std::string_view data, std::string& body, size_t& consumed) {
    const auto malformed = [] { return Failure::kTransferFailed; };
    consumed = 0;
    while (consumed < data.size() && state_ != State::kDone) {
        const char c = data[consumed];
        switch (state_) {
        case State::kSize: {
            const char lower = ascii::Lower(c);
            const bool hex = IsDigit(c) || (lower >= 'a' && lower <= 'f');
            if (hex) {
                if (++digits_ > 16) {
                    return malformed();
                }
                left_ = left_ * 16 + static_cast<uint64_t>(IsDigit(c) ? c - '0' : lower - 'a' + 10);
            } else if (digits_ > 0 && (c == ';' || c == ' ' || c == '\t')) {
                state_ = State::kExtension;
            } else if (digits_ > 0 && c == '\r') {
                state_ = State::kSizeEnd;
            } else if (digits_ > 0 && c == '\n') {
                digits_ = 0;
                state_ = left_ == 0 ? State::kTrailer : State::kData;
            } else {
                return malformed();
            }
            ++consumed;
            break;
        }
        case State::kExtension:
            if (c == '\n') {
                digits_ = 0;
                state_ = left_ == 0 ? State::kTrailer : State::kData;
            }
            ++consumed;
            break;
        case State::kSizeEnd:
            if (c != '\n') {
                return malformed();
            }
            digits_ = 0;
            state_ = left_ == 0 ? State::kTrailer : State::kData;
            ++consumed;
            break;
        case State::kData: {
            const size_t take =
                static_cast<size_t>(std::min<uint64_t>(left_, data.size() - consumed));
            body.append(data.substr(consumed, take));
            consumed += take;
            left_ -= take;
            if (left_ == 0) {
                state_ = State::kDataEnd;
            }
            break;
        }
        case State::kDataEnd:
            if (c == '\r') {
                state_ = State::kDataLf;
            } else if (c == '\n') {
                state_ = State::kSize;
            } else {
                return malformed();
            }
            ++consumed;
            break;
        case State::kDataLf:
            if (c != '\n') {
                return malformed();
            }
            state_ = State::kSize;
            ++consumed;
            break;
        case State::kTrailer:
            // Trailer fields up to an empty line (RFC 9112 7.1.2).
            if (c == '\n') {
                state_ = lineHasText_ ? State::kTrailer : State::kDone;
                lineHasText_ = false;
            } else if (c != '\r') {
                lineHasText_ = true;
            }
            ++consumed;
            break;
        case State::kDone:
            break;
        }
    }
    return Failure::kNone;
}

} // namespace skyloom
