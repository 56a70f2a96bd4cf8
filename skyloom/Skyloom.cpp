// The download object and the library's two exports. The object runs one
// GET at a time over the build's transport and hands the body out in full
// chunks: a Read that is asked for n bytes gets n bytes, however the network
// split them, until the body is exhausted; then the rest; then 0.
//
// No exception leaves an exported function or an operation of the table.

#include "basiccpp/Log.h"
#include "online/HttpFile.h"
#include "skyloom/Request.h"
#include "skyloom/Status.h"
#include "skyloom/Transport.h"

#include <memory>
#include <new>
#include <string>

#if defined(_WIN32)
#define SKYLOOM_EXPORT
#else
#define SKYLOOM_EXPORT __attribute__((visibility("default")))
#endif

namespace skyloom {
namespace {

const char16_t* Reason(int32_t status) {
    switch (status) {
    case kBadArgument:
        return u"no address";
    case kUnsupportedAddress:
        return u"not an http or https address";
    case kBadProxy:
        return u"unusable http_proxy";
    case kConnectFailed:
        return u"cannot connect";
    case kTimedOut:
        return u"timed out";
    case kHttpStatus:
        return u"server refused";
    case kTooManyRedirects:
        return u"too many redirects";
    case kTransferFailed:
        return u"transfer failed";
    case kOutOfMemory:
        return u"out of memory";
    case kCertificateRejected:
        return u"certificate not trusted";
    case kInsecureRedirect:
        return u"redirect from https to http refused";
    case kSecureChannelFailed:
        return u"secure connection failed";
    case kReplyTooLarge:
        return u"reply larger than 64 MiB";
    default:
        return u"failed";
    }
}

class SkyloomFile final : public HttpFile {
public:
    explicit SkyloomFile(CAbstractLog* log) : log_(log) {}
    ~SkyloomFile() { Close(); }
    SkyloomFile(const SkyloomFile&) = delete;
    SkyloomFile& operator=(const SkyloomFile&) = delete;

    int32_t LEXIGROVE_THISCALL Reserved1() override { return kNotSupported; }
    int32_t LEXIGROVE_THISCALL Reserved2() override { return kNotSupported; }
    int32_t LEXIGROVE_THISCALL Reserved3() override { return kNotSupported; }

    int32_t LEXIGROVE_THISCALL Open(const char16_t* address, uint32_t, uint32_t, uint32_t,
                                    uint32_t) override {
        int32_t status;
        try {
            status = Start(address);
        } catch (const std::bad_alloc&) {
            status = kOutOfMemory;
        } catch (...) {
            status = kTransferFailed;
        }
        if (status < 0) {
            Close();
            Report(status, began_);
        }
        return status;
    }

    int32_t LEXIGROVE_THISCALL Read(void* destination, uint32_t count, uint32_t* read) override {
        if (read == nullptr)
            return kBadArgument;
        *read = 0;
        if (destination == nullptr && count != 0)
            return kBadArgument;
        if (state_ == State::Ended)
            return kOk;
        if (state_ != State::Receiving)
            return kNotOpen;
        int32_t status = kOk;
        uint32_t filled = 0;
        try {
            char* bytes = static_cast<char*>(destination);
            while (filled < count) {
                size_t received = 0;
                status = transport_->Receive(bytes + filled, count - filled, received);
                if (status < 0)
                    break;
                if (received == 0) {
                    // The body is complete: let the connection go now.
                    state_ = State::Ended;
                    transport_->End();
                    break;
                }
                filled += static_cast<uint32_t>(received);
                delivered_ += received;
                if (delivered_ > kMaxReplyBytes) {
                    status = kReplyTooLarge;
                    break;
                }
            }
        } catch (const std::bad_alloc&) {
            status = kOutOfMemory;
        } catch (...) {
            status = kTransferFailed;
        }
        if (status < 0) {
            state_ = State::Failed;
            transport_->End();
            Report(status, true);
            return status;
        }
        *read = filled;
        return kOk;
    }

    int32_t LEXIGROVE_THISCALL Reserved6() override { return kNotSupported; }

    int32_t LEXIGROVE_THISCALL Close() override {
        if (transport_)
            transport_->End();
        state_ = State::Closed;
        return kOk;
    }

private:
    enum class State { Closed, Receiving, Ended, Failed };

    int32_t Start(const char16_t* address) {
        Close();
        began_ = false;
        if (address == nullptr)
            return kBadArgument;
        std::string ascii;
        Url url;
        if (!AddressToAscii(address, ascii) || !ParseHttpUrl(ascii, url))
            return kUnsupportedAddress;
        Settings settings;
        if (!ReadSettings(&EnvironmentValue, settings))
            return kBadProxy;
        if (!transport_) {
            transport_ = CreateTransport();
            if (!transport_)
                return kTransferFailed;
        }
        began_ = true;
        const int32_t status = transport_->Begin(url, settings);
        if (status < 0)
            return status;
        delivered_ = 0;
        state_ = State::Receiving;
        return kOk;
    }

    // The transport's account of the failure when it has one, else the
    // status's own reason.
    // withDetail: the transport saw this request (its detail is not one of
    // an earlier request's).
    void Report(int32_t status, bool withDetail) {
        if (log_ == nullptr)
            return;
        std::u16string reason;
        try {
            if (withDetail && transport_ && status != kReplyTooLarge && status != kOutOfMemory) {
                const std::string& detail = transport_->Detail();
                reason.assign(detail.begin(), detail.end());
            }
        } catch (...) {
            reason.clear();
        }
        log_->FormattedEntry(u"Skyloom", __LINE__, 1, u"HTTP request failed: (%d) %s", status,
                             reason.empty() ? Reason(status) : reason.c_str());
    }

    CAbstractLog* log_;
    std::unique_ptr<Transport> transport_;
    State state_ = State::Closed;
    uint64_t delivered_ = 0; // body bytes handed out since the Open
    bool began_ = false;     // the last Open reached the transport
};

} // namespace
} // namespace skyloom

extern "C" {

// The zero first argument is reserved. Returns null when no object can be made.
SKYLOOM_EXPORT HttpFile* CreateHttpFile(int32_t, CAbstractLog* log) {
    return new (std::nothrow) skyloom::SkyloomFile(log);
}

// Ends any request still open and destroys the object; null is ignored.
SKYLOOM_EXPORT void DeleteHttpFile(HttpFile* file) {
    delete static_cast<skyloom::SkyloomFile*>(file);
}
}
