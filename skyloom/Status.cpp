#include "skyloom/Status.h"

namespace skyloom {
namespace {

struct Entry {
    Failure failure;
    int32_t status;
    // The text without a detail; with one, withDetail with "%s" replaced
    // (text itself when withDetail is null).
    const char* text;
    const char* withDetail;
};

// The first entry of each status is that status's own text.
constexpr Entry kEntries[] = {
    {Failure::kNoAddress, kBadArgument, "no address", nullptr},
    {Failure::kUnsupportedAddress, kUnsupportedAddress, "not an http or https address", nullptr},
    {Failure::kAddressTooLong, kUnsupportedAddress, "request address too long", nullptr},
    {Failure::kUnusableRedirect, kUnsupportedAddress, "redirect to an unusable address", nullptr},
    {Failure::kBadProxy, kBadProxy, "unusable http_proxy", nullptr},
    {Failure::kCannotConnect, kConnectFailed, "cannot connect", nullptr},
    {Failure::kTimedOut, kTimedOut, "timed out", nullptr},
    {Failure::kDeadline, kTimedOut, "timed out",
     "timed out: the whole request took longer than %s ms"},
    {Failure::kRefused, kHttpStatus, "server refused", "server refused: %s"},
    {Failure::kTooManyRedirects, kTooManyRedirects, "too many redirects", nullptr},
    {Failure::kTransferFailed, kTransferFailed, "transfer failed", "transfer failed: %s"},
    {Failure::kClosedBeforeReply, kTransferFailed, "connection closed before a reply", nullptr},
    {Failure::kNotHttp, kTransferFailed, "not an HTTP reply", nullptr},
    {Failure::kMalformedStatusLine, kTransferFailed, "status line is malformed", nullptr},
    {Failure::kClosedAfterStatusLine, kTransferFailed, "connection closed after the status line",
     nullptr},
    {Failure::kHeaderTooLarge, kTransferFailed, "header too large", nullptr},
    {Failure::kMalformedField, kTransferFailed, "header field is malformed", nullptr},
    {Failure::kMalformedLength, kTransferFailed, "malformed Content-Length", nullptr},
    {Failure::kTransferCoding, kTransferFailed,
     "reply uses a transfer coding that was not asked for",
     "reply uses a transfer coding that was not asked for (%s)"},
    {Failure::kCompressed, kTransferFailed, "reply is compressed, which was not asked for",
     "reply is compressed (%s), which was not asked for"},
    {Failure::kNotUtf8, kTransferFailed, "reply is not UTF-8", "reply is not UTF-8 (%s)"},
    {Failure::kCutShort, kTransferFailed, "reply cut short", nullptr},
    {Failure::kConnectionBroken, kTransferFailed, "connection broken", "connection broken (%s)"},
    {Failure::kOutOfMemory, kOutOfMemory, "out of memory", nullptr},
    {Failure::kCertificateRejected, kCertificateRejected, "certificate not trusted", nullptr},
    {Failure::kInsecureRedirect, kInsecureRedirect, "redirect from https to http refused", nullptr},
    {Failure::kSecureChannelFailed, kSecureChannelFailed, "secure connection failed", nullptr},
    {Failure::kTooLarge, kReplyTooLarge, nullptr, nullptr},
};

constexpr size_t kMaxDetail = 120;

const Entry* Find(Failure failure) {
    for (const Entry& entry : kEntries) {
        if (entry.failure == failure) {
            return &entry;
        }
    }
    return nullptr;
}

std::string Text(const Entry& entry, std::string_view detail) {
    if (entry.failure == Failure::kTooLarge) {
        return "reply larger than " + std::to_string(kMaxReplyBytes >> 20) + " MiB";
    }
    std::string kept;
    for (char c : detail) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte <= 0x7E && kept.size() < kMaxDetail) {
            kept += c;
        }
    }
    if (kept.empty() || entry.withDetail == nullptr) {
        return entry.text;
    }
    const std::string_view pattern = entry.withDetail;
    const size_t at = pattern.find("%s");
    return std::string(pattern.substr(0, at)) + kept + std::string(pattern.substr(at + 2));
}

} // namespace

static_assert(kMaxReplyBytes % (1u << 20) == 0, "the bound's text counts whole MiB");

int32_t StatusOf(Failure failure) {
    const Entry* entry = Find(failure);
    return entry != nullptr ? entry->status : kTransferFailed;
}

std::string Describe(Failure failure, std::string_view detail) {
    const Entry* entry = Find(failure);
    return entry != nullptr ? Text(*entry, detail) : "failed";
}

std::string DescribeStatus(int32_t status) {
    for (const Entry& entry : kEntries) {
        if (entry.status == status) {
            return Text(entry, {});
        }
    }
    return "failed";
}

} // namespace skyloom
