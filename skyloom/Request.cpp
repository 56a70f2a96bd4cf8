#include "skyloom/Request.h"

#include "basiccpp/Ascii.h"
#include "platform/Platform.h"

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

// RFC 3986 5.2.4: the path with its "." and ".." segments applied.
std::string RemoveDotSegments(std::string_view input) {
    std::string output;
    const auto dropLastSegment = [&output] {
        const size_t slash = output.rfind('/');
        output.erase(slash == std::string::npos ? 0 : slash);
    };
    while (!input.empty()) {
        if (input.substr(0, 3) == "../") {
            input.remove_prefix(3);
        } else if (input.substr(0, 2) == "./") {
            input.remove_prefix(2);
        } else if (input.substr(0, 3) == "/./") {
            input.remove_prefix(2);
        } else if (input == "/.") {
            input = "/";
        } else if (input.substr(0, 4) == "/../") {
            input.remove_prefix(3);
            dropLastSegment();
        } else if (input == "/..") {
            input = "/";
            dropLastSegment();
        } else if (input == "." || input == "..") {
            input = {};
        } else {
            const size_t end = input.find('/', 1);
            const size_t length = end == std::string_view::npos ? input.size() : end;
            output.append(input.substr(0, length));
            input.remove_prefix(length);
        }
    }
    return output;
}

// A setting in milliseconds, 1..600000; false for anything else.
bool ParseMilliseconds(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 6) {
        return false;
    }
    uint32_t parsed = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        parsed = parsed * 10 + static_cast<uint32_t>(c - '0');
    }
    if (parsed < 1 || parsed > 600000) {
        return false;
    }
    value = parsed;
    return true;
}

} // namespace

Failure AddressToAscii(const char16_t* address, std::string& ascii) {
    ascii.clear();
    if (address == nullptr) {
        return Failure::kNoAddress;
    }
    // Every unit becomes at least one character: a longer address never fits.
    size_t units = 0;
    while (address[units] != 0) {
        if (++units > kMaxAddressLength) {
            return Failure::kAddressTooLong;
        }
    }
    std::string utf8;
    if (units > 0) {
        // The system's conversion, strict: an unpaired surrogate fails it.
        const int count = static_cast<int>(units);
        const int bytes = platform::WideCharToMultiByte(
            platform::kCodePageUtf8, platform::kWcErrInvalidChars, address, count, nullptr, 0);
        if (bytes <= 0) {
            return Failure::kUnsupportedAddress;
        }
        utf8.resize(static_cast<size_t>(bytes));
        if (platform::WideCharToMultiByte(platform::kCodePageUtf8, platform::kWcErrInvalidChars,
                                          address, count, &utf8[0], bytes) != bytes) {
            return Failure::kUnsupportedAddress;
        }
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
        if (ascii.size() > kMaxAddressLength) {
            ascii.clear();
            return Failure::kAddressTooLong;
        }
    }
    return Failure::kNone;
}

bool ParseHttpUrl(const std::string& input, Url& url) {
    const std::string text = input.substr(0, input.find('#'));
    if (text.size() > kMaxAddressLength || !IsPrintable(text)) {
        return false;
    }
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
    if (url.authority.find('@') != std::string::npos) {
        return false;
    }
    if (!ParseHostPort(url.authority, url.secure ? 443 : 80, url.host, url.port)) {
        return false;
    }
    const std::string rest = authorityEnd == std::string::npos ? "" : text.substr(authorityEnd);
    if (rest.empty()) {
        url.target = "/";
    } else if (rest[0] == '?') {
        url.target = "/" + rest;
    } else {
        url.target = rest;
    }
    url.text = text;
    return true;
}

namespace {

// The reference resolved, before its dot segments are removed.
bool Resolve(const Url& base, const std::string& location, Url& next) {
    // A scheme: a letter, then letters, digits, '+', '-' or '.', then ':'.
    size_t i = 0;
    const auto isAlpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (isAlpha(location[0])) {
        i = 1;
        while (i < location.size() &&
               (isAlpha(location[i]) || (location[i] >= '0' && location[i] <= '9') ||
                location[i] == '+' || location[i] == '-' || location[i] == '.')) {
            ++i;
        }
        if (i < location.size() && location[i] == ':') {
            return ParseHttpUrl(location, next);
        }
    }
    const std::string scheme = base.secure ? "https:" : "http:";
    const std::string origin = scheme + "//" + base.authority;
    const std::string basePath = base.target.substr(0, base.target.find('?'));
    if (location.compare(0, 2, "//") == 0) {
        return ParseHttpUrl(scheme + location, next);
    }
    if (location[0] == '/') {
        return ParseHttpUrl(origin + location, next);
    }
    if (location[0] == '?') {
        return ParseHttpUrl(origin + basePath + location, next);
    }
    if (location[0] == '#') {
        return ParseHttpUrl(base.text, next);
    }
    return ParseHttpUrl(origin + basePath.substr(0, basePath.rfind('/') + 1) + location, next);
}

} // namespace

bool ResolveRedirect(const Url& base, const std::string& rawLocation, Url& next) {
    const std::string location = Trim(rawLocation);
    if (location.empty() || !IsPrintable(location) || !Resolve(base, location, next)) {
        return false;
    }
    const size_t query = next.target.find('?');
    const std::string path = next.target.substr(0, query);
    const std::string cleaned = RemoveDotSegments(path);
    if (cleaned != path) {
        const std::string target =
            (cleaned.empty() ? "/" : cleaned) +
            (query == std::string::npos ? std::string() : next.target.substr(query));
        // The target is the end of the text whenever it starts with '/'.
        next.text = next.text.substr(0, next.text.size() - next.target.size()) + target;
        next.target = target;
    }
    return true;
}

Redirect RedirectOf(const Url& current, int code, size_t locations, const std::string& location) {
    Redirect redirect;
    const bool names = code == 301 || code == 302 || code == 303 || code == 307 || code == 308;
    if (!names || locations == 0) {
        return redirect;
    }
    if (locations > 1 || !ResolveRedirect(current, location, redirect.next)) {
        redirect.failure = Failure::kUnusableRedirect;
    } else if (current.secure && !redirect.next.secure) {
        redirect.failure = Failure::kInsecureRedirect;
    } else {
        redirect.follow = true;
    }
    return redirect;
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
    uint32_t timeout = 0;
    if (ParseMilliseconds(Trim(lookup("SKYLOOM_TIMEOUT_MS")), timeout)) {
        settings.connectTimeoutMs = timeout;
        settings.receiveTimeoutMs = timeout;
    }
    ParseMilliseconds(Trim(lookup("SKYLOOM_DEADLINE_MS")), settings.deadlineMs);
    // On Windows these pairs are one variable each (names ignore case there).
    std::string proxy = lookup("http_proxy");
    if (Trim(proxy).empty()) {
        proxy = lookup("HTTP_PROXY");
    }
    if (!ParseProxy(proxy, settings.proxy)) {
        return false;
    }
    settings.noProxy = lookup("no_proxy");
    if (Trim(settings.noProxy).empty()) {
        settings.noProxy = lookup("NO_PROXY");
    }
    settings.caFile = Trim(lookup("SKYLOOM_CA_FILE"));
    return true;
}

} // namespace skyloom
