// Status values of the download object's operations (0 for success, a
// negative value naming the kind of failure) and the failure vocabulary: the
// one text the host's log receives for each reason a request fails, the same
// in both builds. Transports name a Failure; they never spell a text.
#pragma once

#include "online/HttpFile.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace skyloom {

enum : int32_t {
    kOk = 0,
    // The operations of the table nobody calls.
    kNotSupported = -1,
    // A null or unusable argument (no address, no count pointer).
    kBadArgument = -2,
    // Not an http:// or https:// address (or one too long to send), or a
    // redirect to one that cannot be used.
    kUnsupportedAddress = -3,
    // The proxy in http_proxy cannot be understood.
    kBadProxy = -4,
    // The server or the proxy could not be reached.
    kConnectFailed = -5,
    // Connecting or waiting for the next bytes of the reply took too long,
    // or the whole request passed its deadline.
    kTimedOut = -6,
    // The final reply's status was not 2xx.
    kHttpStatus = -7,
    // More than kMaxRedirects redirects.
    kTooManyRedirects = -8,
    // The connection broke, or the reply was malformed, cut short or in a
    // form that was not asked for.
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
    // The body passed kMaxReplyBytes (online/HttpFile.h), or announced that
    // it would; the request was ended there.
    kReplyTooLarge = -15,
};

constexpr int kMaxRedirects = 5;

// Why a request failed, where the status alone does not say it. Each has
// one status and one text (Describe); a few texts hold a detail, such as
// the coding a server used.
enum class Failure : uint8_t {
    kNone,
    kNoAddress,             // kBadArgument
    kUnsupportedAddress,    // kUnsupportedAddress
    kAddressTooLong,        // kUnsupportedAddress: longer than kMaxAddressLength
    kUnusableRedirect,      // kUnsupportedAddress
    kBadProxy,              // kBadProxy
    kCannotConnect,         // kConnectFailed
    kTimedOut,              // kTimedOut: connecting, or nothing received for a while
    kDeadline,              // kTimedOut: detail, the deadline in ms
    kRefused,               // kHttpStatus: detail, "414 URI Too Long"
    kTooManyRedirects,      // kTooManyRedirects
    kClosedBeforeReply,     // kTransferFailed
    kNotHttp,               // kTransferFailed
    kMalformedStatusLine,   // kTransferFailed
    kClosedAfterStatusLine, // kTransferFailed
    kHeaderTooLarge,        // kTransferFailed
    kMalformedField,        // kTransferFailed
    kMalformedLength,       // kTransferFailed
    kTransferCoding,        // kTransferFailed: detail, the codings
    kCompressed,            // kTransferFailed: detail, the content codings
    kNotUtf8,               // kTransferFailed: detail, what the body starts with
    kCutShort,              // kTransferFailed
    kConnectionBroken,      // kTransferFailed: detail, the system's account
    kTransferFailed,        // kTransferFailed: detail, the client library's account
    kOutOfMemory,           // kOutOfMemory
    kCertificateRejected,   // kCertificateRejected
    kInsecureRedirect,      // kInsecureRedirect
    kSecureChannelFailed,   // kSecureChannelFailed
    kTooLarge,              // kReplyTooLarge
};

// The status a failure is reported with.
int32_t StatusOf(Failure failure);

// The log text of a failure, with its detail where it has one: "reply is
// compressed (gzip), which was not asked for". A detail is reduced to
// printable ASCII and at most 120 characters.
std::string Describe(Failure failure, std::string_view detail = {});

// The log text of a status without a failure ("cannot connect"); "failed"
// for a value that is not a status.
std::string DescribeStatus(int32_t status);

} // namespace skyloom
