#include "service/Reply.h"

namespace service {

namespace {
const char kDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
}

std::string XmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
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

} // namespace service
