// What one download needs before it goes on the wire: the address as an
// http:// or https:// URL, the settings read from the environment
// (timeouts, the deadline, proxy, certificate authorities), and the one rule
// for where a redirect leads. Pure functions, shared by both transports.
#pragma once

#include "skyloom/Status.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

// The longest address a request is sent to, counted in characters as sent
// (printable ASCII, every other byte of the UTF-8 form as "%XX").
constexpr size_t kMaxAddressLength = 65536;

// Turns a zero-terminated UTF-16 address into printable ASCII: UTF-8, with
// every byte outside 0x21..0x7E percent-encoded. Failure::kNone on success;
// kNoAddress for null, kUnsupportedAddress for an unpaired surrogate,
// kAddressTooLong when the result would pass kMaxAddressLength (the input is
// never read further than that).
Failure AddressToAscii(const char16_t* address, std::string& ascii);

// Parses an absolute http:// or https:// URL (scheme case-insensitive; no
// user information; at most kMaxAddressLength characters). False for
// anything else, url left unspecified.
bool ParseHttpUrl(const std::string& text, Url& url);

// The URL a Location value leads to from base (RFC 9110 10.2.2: a URI
// reference, resolved against the request's URL as RFC 3986 5.2 says, dot
// segments removed): absolute, scheme-relative ("//host/x"), absolute-path
// ("/x"), query-only ("?q") or relative to base's folder ("x"). Relative
// forms keep base's scheme. False when the value is not printable ASCII
// (after trimming the blanks around it), leads to a scheme other than http
// or https, or does not parse.
bool ResolveRedirect(const Url& base, const std::string& location, Url& next);

// What the final status and Location of a reply mean for the request.
struct Redirect {
    bool follow = false;              // send the request to next
    Failure failure = Failure::kNone; // the reply leads nowhere usable
    Url next;
};

// The one redirect rule of both builds. Only 301, 302, 303, 307 and 308 are
// followed (RFC 9110 15.4.2-15.4.9: each names the target in Location), and
// only with exactly one Location; every other 3xx, 300 and 304 included, is
// a final reply like any other status. A Location that does not resolve is
// kUnusableRedirect; an https request is never continued over plain http
// (kInsecureRedirect). locations counts the reply's Location fields; location
// is the first.
Redirect RedirectOf(const Url& current, int code, size_t locations, const std::string& location);

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
    // The longest wait for the next bytes of a reply (headers or body).
    uint32_t receiveTimeoutMs = 15000;
    // The longest one request may take from its Open to its last Read,
    // redirects included, however the bytes trickle in.
    uint32_t deadlineMs = 30000;
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

// Reads the settings: SKYLOOM_TIMEOUT_MS (1..600000) replaces both timeouts,
// SKYLOOM_DEADLINE_MS (1..600000) the deadline; http_proxy, else HTTP_PROXY,
// gives the proxy; no_proxy, else NO_PROXY, the hosts that bypass it;
// SKYLOOM_CA_FILE the certificate authorities. A value out of range or not a
// number leaves the default. Returns false (kBadProxy) when the proxy is
// malformed: a request must not silently go direct when a proxy was asked
// for.
bool ReadSettings(EnvironmentLookup lookup, Settings& settings);

} // namespace skyloom
