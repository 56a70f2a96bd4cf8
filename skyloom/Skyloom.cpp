// The download object and the library's two exports. The object runs one
// GET at a time over the build's transport and hands the body out in full
// chunks: a Read that is asked for n bytes gets n bytes, however the network
// split them, until the body is exhausted; then the rest; then 0.
//
// No exception leaves an exported function or an operation of the table.

#include "basiccpp/Log.h"
#include "online/HttpFile.h"
#include "platform/Environment.h"
#include "skyloom/Reply.h"
#include "skyloom/Request.h"
#include "skyloom/Status.h"
#include "skyloom/Transport.h"

#include <algorithm>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#if defined(_WIN32)
#define SKYLOOM_EXPORT
#else
#define SKYLOOM_EXPORT __attribute__((visibility("default")))
#endif

namespace skyloom {
namespace {

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
            status = Fail(Failure::kOutOfMemory);
        } catch (...) {
            status = Fail(Failure::kTransferFailed);
        }
        if (status < 0) {
            Close();
            Report(status);
        }
        return status;
    }

    int32_t LEXIGROVE_THISCALL Read(void* destination, uint32_t count, uint32_t* read) override {
        if (read == nullptr) {
            return kBadArgument;
        }
        *read = 0;
        if (destination == nullptr && count != 0) {
            return kBadArgument;
        }
        if (state_ == State::Ended) {
            return kOk;
        }
        if (state_ != State::Receiving) {
            return kNotOpen;
        }
        int32_t status = kOk;
        uint32_t filled = 0;
        try {
            char* bytes = static_cast<char*>(destination);
            while (filled < count) {
                size_t received = 0;
                status = transport_->Receive(bytes + filled, count - filled, received);
                if (status < 0) {
                    fromTransport_ = true;
                    break;
                }
                status = CheckStart(bytes + filled, received);
                if (status < 0) {
                    break;
                }
                if (received == 0) {
                    // The body is complete: let the connection go now.
                    state_ = State::Ended;
                    transport_->End();
                    break;
                }
                filled += static_cast<uint32_t>(received);
                delivered_ += received;
                if (delivered_ > kMaxReplyBytes) {
                    status = Fail(Failure::kTooLarge);
                    break;
                }
            }
        } catch (const std::bad_alloc&) {
            status = Fail(Failure::kOutOfMemory);
        } catch (...) {
            status = Fail(Failure::kTransferFailed);
        }
        if (status < 0) {
            state_ = State::Failed;
            transport_->End();
            Report(status);
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
        detail_.clear();
        fromTransport_ = false;
        std::string ascii;
        Url url;
        const Failure failure = AddressToAscii(address, ascii);
        if (failure != Failure::kNone) {
            return Fail(failure);
        }
        if (!ParseHttpUrl(ascii, url)) {
            return Fail(Failure::kUnsupportedAddress);
        }
        Settings settings;
        if (!ReadSettings(&platform::EnvironmentVariable, settings)) {
            return Fail(Failure::kBadProxy);
        }
        if (!transport_) {
            transport_ = CreateTransport();
            if (!transport_) {
                return Fail(Failure::kTransferFailed);
            }
        }
        delivered_ = 0;
        first_.clear();
        startChecked_ = false;
        const int32_t status = transport_->Begin(url, settings);
        if (status < 0) {
            fromTransport_ = true;
            return status;
        }
        state_ = State::Receiving;
        return kOk;
    }

    // Records a failure this object found itself; returns its status. Never
    // throws (it runs in the handlers of a failed allocation too): without
    // memory for the text, the status's own text is logged.
    int32_t Fail(Failure failure, std::string_view detail = {}) {
        fromTransport_ = false;
        try {
            detail_ = Describe(failure, detail);
        } catch (...) {
            detail_.clear();
        }
        return StatusOf(failure);
    }

    // Checks the start of the body once its first bytes are in (received
    // of them at bytes; 0: the body ended).
    int32_t CheckStart(const char* bytes, size_t received) {
        if (startChecked_) {
            return kOk;
        }
        const size_t wanted = 4 - first_.size();
        first_.append(bytes, std::min(wanted, received));
        if (first_.size() < 4 && received != 0) {
            return kOk;
        }
        startChecked_ = true;
        std::string what;
        const Failure failure = CheckBodyStart(first_, what);
        return failure == Failure::kNone ? kOk : Fail(failure, what);
    }

    // One entry for the failed request: the transport's account when the
    // failure is the transport's, else this object's own, else the status's.
    void Report(int32_t status) {
        if (log_ == nullptr) {
            return;
        }
        std::u16string reason;
        const char16_t* text = u"out of memory";
        try {
            const std::string& detail =
                fromTransport_ && transport_ ? transport_->Detail() : detail_;
            const std::string narrow = detail.empty() ? DescribeStatus(status) : detail;
            reason.assign(narrow.begin(), narrow.end());
            text = reason.c_str();
        } catch (...) {
        }
        log_->FormattedEntry(u"Skyloom", __LINE__, 1, u"HTTP request failed: (%d) %s", status,
                             text);
    }

    CAbstractLog* log_;
    std::unique_ptr<Transport> transport_;
    State state_ = State::Closed;
    uint64_t delivered_ = 0; // body bytes handed out since the Open
    std::string first_;      // the body's first bytes, until checked
    bool startChecked_ = false;
    std::string detail_;         // this object's account of the last failure
    bool fromTransport_ = false; // the last failure is the transport's
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
