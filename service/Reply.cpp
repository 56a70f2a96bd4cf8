#include "service/Reply.h"

#include <cstdint>

namespace service {

namespace {
const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
}

namespace {

// The length of the well-formed UTF-8 sequence at text[at] of a character XML
// allows (not a surrogate, U+FFFE or U+FFFF, at most U+10FFFF); 0 when there
// is none there.
size_t CharacterLength(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    size_t length;
    uint32_t cp;
    if (lead < 0x80) {
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07u;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (byte(i) & 0x3Fu);
    }
    const uint32_t lowest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < lowest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE ||
        cp == 0xFFFF) {
        return 0;
    }
    return length;
}

} // namespace

std::string XmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const char c = text[at];
        const size_t length = CharacterLength(text, at);
        if (length == 0) {
            out += "\xEF\xBF\xBD"; // U+FFFD in place of the byte
            ++at;
            continue;
        }
        if (length > 1) {
            out.append(text, at, length);
            at += length;
            continue;
        }
        ++at;
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\t':
            out += "&#9;";
            break;
        case '\n':
            out += "&#10;";
            break;
        case '\r':
            out += "&#13;";
            break;
        default:
            if (static_cast<unsigned char>(c) >= 0x20) {
                out += c;
            }
        }
    }
    return out;
}

std::string OkReply(const std::vector<Entry>& entries) {
    std::string out = kDeclaration;
    out += "<dictionary status=\"ok\">\n";
    for (const Entry& entry : entries) {
        out += " <result>\n  <word name=\"" + XmlEscape(entry.headword) + "\"/>\n";
        out += "  <translations>\n";
        for (const Translation& t : entry.translations) {
            out += "   <item name=\"" + XmlEscape(t.name) + "\" type=\"" + XmlEscape(t.type) +
                   "\"/>\n";
        }
        out += "  </translations>\n </result>\n";
    }
    out += "</dictionary>\n";
    return out;
}

namespace {
std::string StatusReply(std::string_view status, std::string_view message) {
    return std::string(kDeclaration) + "<dictionary status=\"" + std::string(status) +
           "\" message=\"" + XmlEscape(message) + "\"/>\n";
}
} // namespace

std::string ErrorReply(std::string_view message) {
    return StatusReply("error", message);
}

std::string UnsupportedReply(std::string_view message) {
    return StatusReply("unsupported", message);
}

std::string HealthReply(std::string_view state) {
    return std::string(kDeclaration) + "<service status=\"" + XmlEscape(state) + "\"/>\n";
}

} // namespace service
