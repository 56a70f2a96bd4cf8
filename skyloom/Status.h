// Status values of the download object's operations: 0 for success, a
// negative value naming the reason otherwise.
#pragma once

#include <cstdint>

namespace skyloom {

enum : int32_t {
    kOk = 0,
    // The operations of the table nobody calls.
    kNotSupported = -1,
    // A null or unusable argument (no address, no count pointer).
    kBadArgument = -2,
    // Not an http:// or https:// address, or a redirect to one that is not.
    kUnsupportedAddress = -3,
    // The proxy in http_proxy cannot be understood.
    kBadProxy = -4,
    // The server or the proxy could not be reached.
    kConnectFailed = -5,
    // Connecting, or waiting for the next bytes of the reply, took too long.
    kTimedOut = -6,
    // The final reply's status was not 2xx.
    kHttpStatus = -7,
    // More than kMaxRedirects redirects.
    kTooManyRedirects = -8,
    // The connection broke or the reply was malformed or cut short.
    kTransferFailed = -9,
    // Read without a successful Open.
    kNotOpen = -10,
    kOutOfMemory = -11,
    // The server's certificate is not trusted, has expired or was issued
    // for another host.
    kCertificateRejected = -12,
    // A redirect from an https address to a plain http one.
    kInsecureRedirect = -13,
    // The TLS handshake failed for a reason other than the certificate (or
    // the certificate authorities file cannot be read).
    kSecureChannelFailed = -14,
    // The body passed kMaxReplyBytes; the request was ended there.
    kReplyTooLarge = -15,
};

// The most body bytes one reply may have: far above any dictionary reply,
// low enough that reading and parsing it costs bounded memory.
constexpr uint64_t kMaxReplyBytes = 64u << 20;

constexpr int kMaxRedirects = 5;

} // namespace skyloom
