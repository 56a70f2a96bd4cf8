// What one download needs before it goes on the wire: the address as an
// http:// or https:// URL, and the settings read from the environment
// (timeouts, proxy, certificate authorities).
// Pure functions, shared by both transports.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace skyloom {

// An absolute http:// or https:// URL, split as a transport needs it.
struct Url {
    std::string text;      // the whole URL without a fragment, printable ASCII
    bool secure = false;   // https: TLS with the server's certificate verified
    std::string authority; // as written: "host", "host:8080", "[::1]:8080"
    std::string host;      // without brackets
    uint16_t port = 80;    // 443 by default for https
    std::string target;    // path and query, always starting with '/'
};

// Turns a zero-terminated UTF-16 address into printable ASCII: UTF-8, with
// every byte outside 0x21..0x7E percent-encoded. False for a null address, an
// unpaired surrogate or more than kMaxAddressUnits units without a terminator.
constexpr size_t kMaxAddressUnits = 65536;
bool AddressToAscii(const char16_t* address, std::string& ascii);

// Parses an absolute http:// or https:// URL (scheme case-insensitive; no
// user information). False for anything else, url left unspecified.
bool ParseHttpUrl(const std::string& text, Url& url);

// The URL a redirect from base with this Location value leads to: absolute,
// scheme-relative ("//host/x"), absolute-path ("/x"), query-only ("?q") or
// relative to base's folder ("x"). Relative forms keep base's scheme. False
// when it leads to a scheme other than http or https, or does not parse.
bool ResolveRedirect(const Url& base, const std::string& location, Url& next);

// True when following a redirect from base to next would leave TLS: an
// https request is never continued over plain http.
bool IsDowngrade(const Url& base, const Url& next);

struct Proxy {
    bool use = false;
    std::string host; // without brackets
    uint16_t port = 0;
    std::string authority; // "host:port", host bracketed when it is IPv6
};

// Parses a proxy setting: "http://host:port/", "http://host:port" or
// "host:port"; the port defaults to 1080 as for command-line HTTP clients.
// Empty means no proxy. False for another scheme or a malformed value.
bool ParseProxy(const std::string& value, Proxy& proxy);

// The no_proxy convention: a list separated by commas or blanks; "*" matches
// every host; an entry matches the host itself and its subdomains (a leading
// dot is ignored); comparison ignores case. True when host goes direct.
bool BypassesProxy(const std::string& noProxy, const std::string& host);

struct Settings {
    uint32_t connectTimeoutMs = 5000;
    uint32_t receiveTimeoutMs = 15000;
    // The proxy from http_proxy or HTTP_PROXY. When neither is set, the
    // Windows build uses the system's proxy configuration; the curl build
    // goes direct.
    Proxy proxy;
    std::string noProxy;
    // A PEM file of the certificate authorities the curl build trusts for
    // https instead of the system bundle; empty for the system bundle. The
    // Windows build always uses the system's certificate store.
    std::string caFile;
};

// Reads an environment variable; empty when it is not set.
using EnvironmentLookup = std::string (*)(const char* name);

// Reads the settings: SKYLOOM_TIMEOUT_MS (1..600000) replaces both timeouts;
// http_proxy, else HTTP_PROXY, gives the proxy; no_proxy, else NO_PROXY, the
// hosts that bypass it; SKYLOOM_CA_FILE the certificate authorities. Returns
// false (kBadProxy) when the proxy is malformed:
// a request must not silently go direct when a proxy was asked for.
bool ReadSettings(EnvironmentLookup lookup, Settings& settings);

// The most header bytes (status line and fields) one reply may have.
constexpr size_t kMaxHeaderBytes = 64 * 1024;

// The log text for a refused status, "server refused: 414 URI Too Long":
// the code and the reason phrase as received, trimmed, with anything but
// printable ASCII and blanks dropped and at most 100 characters kept.
std::string RefusedDetail(long code, const std::string& phrase);

} // namespace skyloom
