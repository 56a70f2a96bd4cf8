#include "skyloom/Request.h"

#include "basiccpp/Ascii.h"

#include <cstddef>

namespace skyloom {

namespace {

using ascii::EqualsIgnoringCase;
using ascii::StartsWithIgnoringCase;

std::string Trim(const std::string& text) {
    return std::string(ascii::Trimmed(text));
}

bool IsPrintable(const std::string& text) {
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x21 || byte > 0x7E)
            return false;
    }
    return true;
}

void AppendUtf8(uint32_t code, std::string& out) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Parses "host", "host:port", "[v6]" or "[v6]:port". False when the host is
// empty or holds a character a host name cannot, or the port is not 1..65535.
bool ParseHostPort(const std::string& authority, uint16_t defaultPort, std::string& host,
                   uint16_t& port) {
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos)
            return false;
        host = authority.substr(1, close - 1);
        const std::string rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':')
                return false;
            portText = rest.substr(1);
        }
        for (char c : host) {
            const bool hex =
                (c >= '0' && c <= '9') || (ascii::Lower(c) >= 'a' && ascii::Lower(c) <= 'f');
            if (!hex && c != ':' && c != '.' && c != '%')
                return false;
        }
    } else {
        const size_t colon = authority.find(':');
        host = authority.substr(0, colon);
        if (colon != std::string::npos)
            portText = authority.substr(colon + 1);
        for (char c : host) {
            if (c == ':' || c == '[' || c == ']' || c == '@' || c == '/' || c == '?' || c == '#')
                return false;
        }
    }
    if (host.empty() || !IsPrintable(host))
        return false;
    port = defaultPort;
    if (!portText.empty()) {
        if (portText.size() > 5)
            return false;
        uint32_t value = 0;
        for (char c : portText) {
            if (c < '0' || c > '9')
                return false;
            value = value * 10 + static_cast<uint32_t>(c - '0');
        }
        if (value == 0 || value > 65535)
            return false;
        port = static_cast<uint16_t>(value);
    }
    return true;
}

} // namespace

bool AddressToAscii(const char16_t* address, std::string& ascii) {
    ascii.clear();
    if (address == nullptr)
        return false;
    std::string utf8;
    size_t i = 0;
    for (; address[i] != 0; ++i) {
        if (i >= kMaxAddressUnits)
            return false;
        uint32_t code = address[i];
        if (code >= 0xD800 && code <= 0xDBFF) {
            const uint32_t low = address[i + 1];
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return false;
        }
        AppendUtf8(code, utf8);
    }
    static const char kHex[] = "0123456789ABCDEF";
    for (char c : utf8) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x21 || byte > 0x7E) {
            ascii += '%';
            ascii += kHex[byte >> 4];
            ascii += kHex[byte & 0xF];
        } else {
            ascii += c;
        }
    }
    return true;
}

bool ParseHttpUrl(const std::string& input, Url& url) {
    const std::string text = input.substr(0, input.find('#'));
    if (!IsPrintable(text))
        return false;
    size_t authorityBegin = 0;
    if (StartsWithIgnoringCase(text, "http://")) {
        url.secure = false;
        authorityBegin = 7;
    } else if (StartsWithIgnoringCase(text, "https://")) {
        url.secure = true;
        authorityBegin = 8;
    } else {
        return false;
    }
    const size_t authorityEnd = text.find_first_of("/?", authorityBegin);
    url.authority = text.substr(authorityBegin, authorityEnd == std::string::npos
                                                    ? std::string::npos
                                                    : authorityEnd - authorityBegin);
    if (url.authority.find('@') != std::string::npos)
        return false;
    if (!ParseHostPort(url.authority, url.secure ? 443 : 80, url.host, url.port))
        return false;
    const std::string rest = authorityEnd == std::string::npos ? "" : text.substr(authorityEnd);
    if (rest.empty())
        url.target = "/";
    else if (rest[0] == '?')
        url.target = "/" + rest;
    else
        url.target = rest;
    url.text = text;
    return true;
}

bool ResolveRedirect(const Url& base, const std::string& rawLocation, Url& next) {
    const std::string location = Trim(rawLocation);
    if (location.empty())
        return false;
    // A scheme: a letter, then letters, digits, '+', '-' or '.', then ':'.
    size_t i = 0;
    const auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (isAlpha(location[0])) {
        i = 1;
        while (i < location.size() &&
               (isAlpha(location[i]) || (location[i] >= '0' && location[i] <= '9') ||
                location[i] == '+' || location[i] == '-' || location[i] == '.'))
            ++i;
        if (i < location.size() && location[i] == ':')
            return ParseHttpUrl(location, next);
    }
    const std::string scheme = base.secure ? "https:" : "http:";
    const std::string origin = scheme + "//" + base.authority;
    const std::string basePath = base.target.substr(0, base.target.find('?'));
    if (location.compare(0, 2, "//") == 0)
        return ParseHttpUrl(scheme + location, next);
    if (location[0] == '/')
        return ParseHttpUrl(origin + location, next);
    if (location[0] == '?')
        return ParseHttpUrl(origin + basePath + location, next);
    if (location[0] == '#')
        return ParseHttpUrl(base.text, next);
    return ParseHttpUrl(origin + basePath.substr(0, basePath.rfind('/') + 1) + location, next);
}

bool IsDowngrade(const Url& base, const Url& next) {
    return base.secure && !next.secure;
}

bool ParseProxy(const std::string& rawValue, Proxy& proxy) {
    proxy = Proxy();
    std::string value = Trim(rawValue);
    if (value.empty())
        return true;
    const size_t schemeEnd = value.find("://");
    if (schemeEnd != std::string::npos) {
        if (!EqualsIgnoringCase(value.substr(0, schemeEnd), "http"))
            return false;
        value = value.substr(schemeEnd + 3);
    }
    value = value.substr(0, value.find('/'));
    // Credentials are not supported: better a clear failure than requests
    // that the proxy refuses one by one.
    if (value.find('@') != std::string::npos)
        return false;
    if (!ParseHostPort(value, 1080, proxy.host, proxy.port))
        return false;
    const bool v6 = proxy.host.find(':') != std::string::npos;
    proxy.authority = (v6 ? "[" + proxy.host + "]" : proxy.host) + ":" + std::to_string(proxy.port);
    proxy.use = true;
    return true;
}

bool BypassesProxy(const std::string& noProxy, const std::string& host) {
    size_t pos = 0;
    while (pos < noProxy.size()) {
        size_t end = noProxy.find_first_of(", \t", pos);
        if (end == std::string::npos)
            end = noProxy.size();
        std::string entry = noProxy.substr(pos, end - pos);
        pos = end + 1;
        if (entry == "*")
            return true;
        if (entry.size() >= 2 && entry.front() == '[' && entry.back() == ']')
            entry = entry.substr(1, entry.size() - 2);
        while (!entry.empty() && entry.front() == '.')
            entry.erase(0, 1);
        if (entry.empty())
            continue;
        if (EqualsIgnoringCase(host, entry))
            return true;
        if (host.size() > entry.size() && host[host.size() - entry.size() - 1] == '.' &&
            EqualsIgnoringCase(host.substr(host.size() - entry.size()), entry))
            return true;
    }
    return false;
}

bool ReadSettings(EnvironmentLookup lookup, Settings& settings) {
    settings = Settings();
    const std::string timeout = Trim(lookup("SKYLOOM_TIMEOUT_MS"));
    if (!timeout.empty() && timeout.size() <= 6) {
        uint32_t value = 0;
        bool digits = true;
        for (char c : timeout) {
            if (c < '0' || c > '9') {
                digits = false;
                break;
            }
            value = value * 10 + static_cast<uint32_t>(c - '0');
        }
        if (digits && value >= 1 && value <= 600000) {
            settings.connectTimeoutMs = value;
            settings.receiveTimeoutMs = value;
        }
    }
    std::string proxy = lookup("http_proxy");
    if (Trim(proxy).empty())
        proxy = lookup("HTTP_PROXY");
    if (!ParseProxy(proxy, settings.proxy))
        return false;
    settings.noProxy = lookup("no_proxy");
    if (Trim(settings.noProxy).empty())
        settings.noProxy = lookup("NO_PROXY");
    settings.caFile = Trim(lookup("SKYLOOM_CA_FILE"));
    return true;
}

std::string RefusedDetail(long code, const std::string& phrase) {
    std::string kept;
    for (char c : Trim(phrase)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte <= 0x7E && kept.size() < 100)
            kept += c;
    }
    std::string detail = "server refused: " + std::to_string(code);
    if (!kept.empty())
        detail += " " + kept;
    return detail;
}

} // namespace skyloom
