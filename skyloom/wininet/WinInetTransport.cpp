// The transport over WinINet. The session and the connection handles are
// kept between requests while the route (direct, the proxy from the
// environment, or the system's configuration) and the server stay the same,
// so WinINet keeps its connection alive and a request after the first costs
// one round trip. A request whose kept connection the server has closed
// meanwhile is sent once more on a new one.
//
// The proxy: http_proxy or HTTP_PROXY when set (with no_proxy), else the
// system's configuration as every Windows program sees it (the user's
// Internet Settings: ProxyEnable, ProxyServer, ProxyOverride, read by
// WinINet when a session opens). Redirects are followed here rather than by
// WinINet, by the shared rule, and every reply's head goes through the
// shared rules (skyloom/Reply.h) as WinINet hands it over.
//
// Timing: WinINet's connect, send and receive timeouts are set on each
// request, the receive timeout no longer than what is left of the deadline.
// A call waiting inside WinINet is not ended by InternetCloseHandle from
// another thread under Wine (it goes on until the server sends its next
// bytes, or the whole head for HttpSendRequest), so the body is read through
// InternetQueryDataAvailable, which returns as soon as any byte is in, and
// the deadline is checked between such waits. The waits that may outlast the
// deadline run in the pool (skyloom/wininet/PooledCall.h): sending and
// waiting for the head always, a wait for body bytes once less of the
// deadline is left than the receive timeout, and closing a request whose
// unread body WinINet would read to its end first. The request fails at its
// deadline, and a call left behind closes its handles when it returns.
//
// https: WinINet checks the server's certificate and host name against the
// system's certificate store; none of its checks is ever switched off, and a
// redirect from https to plain http is refused.

#include "skyloom/Reply.h"
#include "skyloom/Status.h"
#include "skyloom/Transport.h"
#include "skyloom/wininet/PooledCall.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <string>
#include <vector>

// The TLS handshake failed (12175; not in every SDK's wininet.h).
#ifndef ERROR_INTERNET_SECURE_FAILURE
#define ERROR_INTERNET_SECURE_FAILURE (INTERNET_ERROR_BASE + 175)
#endif

namespace skyloom {
namespace {

std::wstring Widen(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

// ASCII as it is (line ends included), anything else as '?'.
std::string Narrow(const std::wstring& text) {
    std::string ascii;
    for (wchar_t c : text) {
        ascii += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return ascii;
}

bool IsTimeout(DWORD error) {
    // WSAETIMEDOUT: how some WinINet implementations report a body read
    // timing out.
    return error == ERROR_INTERNET_TIMEOUT || error == WSAETIMEDOUT;
}

// What a WinINet error means, where the transport knows nothing better.
Failure FailureOfError(DWORD error) {
    switch (error) {
    case ERROR_INTERNET_CANNOT_CONNECT:
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
        return Failure::kCannotConnect;
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
    case ERROR_INTERNET_INVALID_URL:
        return Failure::kUnsupportedAddress;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return Failure::kOutOfMemory;
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR:
        return Failure::kCertificateRejected;
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
    case ERROR_INTERNET_SECURE_FAILURE:
        return Failure::kSecureChannelFailed;
    default:
        return Failure::kConnectionBroken;
    }
}

std::string ErrorDetail(DWORD error) {
    return "WinINet error " + std::to_string(error);
}

// The user's proxy configuration as it stands, as one text: a session opened
// from the system's configuration is replaced when this changes. Missing
// values count as empty.
std::wstring SystemProxyConfiguration() {
    std::wstring text;
    const auto append = [&text](const wchar_t* key, const wchar_t* value) {
        BYTE bytes[2048];
        DWORD size = sizeof(bytes);
        DWORD type = REG_NONE;
        text += L'|';
        if (RegGetValueW(HKEY_CURRENT_USER, key, value, RRF_RT_ANY | RRF_NOEXPAND, &type, bytes,
                         &size) != ERROR_SUCCESS) {
            return;
        }
        static const wchar_t kHex[] = L"0123456789abcdef";
        for (DWORD i = 0; i < size; ++i) {
            text += kHex[bytes[i] >> 4];
            text += kHex[bytes[i] & 15];
        }
    };
    const wchar_t* const settings =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    for (const wchar_t* value :
         {L"ProxyEnable", L"ProxyServer", L"ProxyOverride", L"AutoConfigURL", L"AutoDetect"}) {
        append(settings, value);
    }
    append(L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections",
           L"DefaultConnectionSettings");
    return text;
}

// How a session goes out.
struct Route {
    enum class Way { kDirect, kProxy, kSystem };
    Way way = Way::kDirect;
    std::string proxy;          // kProxy: "host:port"
    std::wstring configuration; // kSystem: the configuration it was opened with

    bool operator==(const Route& other) const {
        return way == other.way && proxy == other.proxy && configuration == other.configuration;
    }
    bool operator!=(const Route& other) const { return !(*this == other); }
};

// The server a connection handle talks to.
struct Server {
    bool secure = false;
    std::string host;
    uint16_t port = 0;

    bool operator==(const Server& other) const {
        return secure == other.secure && host == other.host && port == other.port;
    }
};

constexpr uint64_t kUnknownLength = UINT64_MAX;
// How much unread body WinINet may read at the close without holding the
// caller up: no more than the sockets already hold.
constexpr uint64_t kQuickDrain = 64 * 1024;

// How the body of the reply being received ends.
enum class Framing {
    kNone,       // no body (204, 304)
    kWinInet,    // WinINet frames it (chunked, or until the close), we count
                 // it against a Content-Length
    kOwnLength,  // after an interim reply: ours, Content-Length
    kOwnChunked, // ours, chunked
    kOwnClose,   // ours, until the close
};

class WinInetTransport final : public Transport {
public:
    WinInetTransport() = default;
    // (Never waits for a thread of the pool: this may run while the loader
    // holds its lock, which a new thread needs before it starts.)
    ~WinInetTransport() override { CloseHandles(0); }
    WinInetTransport(const WinInetTransport&) = delete;
    WinInetTransport& operator=(const WinInetTransport&) = delete;

    int32_t Begin(const Url& first, const Settings& settings) override {
        End();
        detail_.clear();
        settings_ = settings;
        deadline_ = GetTickCount64() + settings.deadlineMs;
        Url url = first;
        for (int redirects = 0;; ++redirects) {
            bool follow = false;
            int32_t status = Send(url);
            if (status >= 0) {
                status = ReadHead();
            }
            if (status >= 0) {
                status = TakeFinalHead(head_, redirects, url, follow);
            }
            if (status < 0) {
                return status;
            }
            if (follow) {
                continue;
            }
            SetFraming();
            if (head_.FieldCount() == 0) {
                return Fail(HeadWithoutFields(BodyFollows()));
            }
            return kOk;
        }
    }

    int32_t Receive(char* destination, size_t capacity, size_t& received) override {
        received = 0;
        if (request_ == nullptr) {
            return Fail(Failure::kTransferFailed);
        }
        if (capacity == 0) {
            return kOk;
        }
        switch (framing_) {
        case Framing::kNone:
            return kOk;
        case Framing::kWinInet:
            return ReceiveFramed(destination, capacity, received);
        case Framing::kOwnChunked:
            return ReceiveChunked(destination, capacity, received);
        case Framing::kOwnLength:
        case Framing::kOwnClose:
            return ReceiveOwn(destination, capacity, received);
        }
        return kOk;
    }

    // Ends the request; the session and connection stay for the next one.
    void End() override {
        CloseRequest();
        ResetReply();
    }

private:
    // Forgets the reply of the last request sent (of a redirect, say).
    void ResetReply() {
        framing_ = Framing::kNone;
        received_ = 0;
        head_ = ReplyHead();
        raw_.clear();
        decoded_.clear();
        chunks_ = ChunkedBody();
    }

    // Milliseconds left of the deadline (0 once it has passed).
    uint64_t Left() const {
        const ULONGLONG now = GetTickCount64();
        return now < deadline_ ? deadline_ - now : 0;
    }

    int32_t FailDeadline() {
        return Fail(Failure::kDeadline, std::to_string(settings_.deadlineMs));
    }

    // A timeout of a wait inside WinINet: the deadline's when the wait was
    // bounded by it.
    int32_t FailTimeout() {
        return receiveBoundByDeadline_ || Left() == 0 ? FailDeadline() : Fail(Failure::kTimedOut);
    }

    // Opens a request for url on a kept or a new connection and sends it; a
    // kept connection that fails at once is replaced by a new one once.
    int32_t Send(const Url& url) {
        CloseRequest();
        ResetReply();
        if (Left() == 0) {
            return FailDeadline();
        }
        const bool kept = Connect(url);
        int32_t status = connection_ != nullptr ? SendOn(url) : FailError(lastError_);
        if (status < 0 && kept && !IsTimeout(lastError_) && Left() > 0 &&
            (lastError_ == ERROR_INTERNET_CONNECTION_ABORTED ||
             lastError_ == ERROR_INTERNET_CONNECTION_RESET ||
             lastError_ == ERROR_HTTP_INVALID_SERVER_RESPONSE)) {
            CloseHandles();
            Connect(url);
            status = connection_ != nullptr ? SendOn(url) : FailError(lastError_);
        }
        // After a failure the next request starts from a new session, which
        // also picks up a changed system proxy configuration.
        if (status < 0) {
            CloseHandles();
        }
        return status;
    }

    // A call in the pool that outlasted the deadline, or found no thread
    // before it: the request has failed at its deadline.
    int32_t FailLeftBehind(Waited waited) {
        if (waited == Waited::kAbandoned) {
            Forget();
        }
        lastError_ = ERROR_INTERNET_TIMEOUT;
        return FailDeadline();
    }

    int32_t FailError(DWORD error) {
        if (IsTimeout(error)) {
            return FailTimeout();
        }
        const Failure failure = FailureOfError(error);
        return Fail(failure, failure == Failure::kConnectionBroken ? ErrorDetail(error) : "");
    }

    // Makes session_ and connection_ fit url and the settings, reusing them
    // when they already do. True when both were kept from an earlier
    // request; connection_ is null (and lastError_ set) on failure.
    bool Connect(const Url& url) {
        Route route;
        DWORD access = INTERNET_OPEN_TYPE_PRECONFIG;
        if (settings_.proxy.use) {
            const bool bypass = BypassesProxy(settings_.noProxy, url.host);
            access = bypass ? INTERNET_OPEN_TYPE_DIRECT : INTERNET_OPEN_TYPE_PROXY;
            route.way = bypass ? Route::Way::kDirect : Route::Way::kProxy;
            route.proxy = bypass ? "" : settings_.proxy.authority;
        } else {
            // The system's configuration, read by WinINet when the session
            // opens; a change to it gets a new session.
            route.way = Route::Way::kSystem;
            route.configuration = SystemProxyConfiguration();
        }
        const Server server{url.secure, url.host, url.port};
        if (session_ != nullptr && route == route_) {
            if (connection_ != nullptr && server == server_) {
                return true;
            }
        } else {
            CloseHandles();
            const std::wstring proxy = Widen(route.proxy);
            // "<-loopback>" keeps WinINet from bypassing the proxy for
            // loopback hosts on its own: which hosts go direct is no_proxy's
            // business.
            const bool viaProxy = access == INTERNET_OPEN_TYPE_PROXY;
            session_ = InternetOpenW(L"Skyloom/1.0", access, viaProxy ? proxy.c_str() : nullptr,
                                     viaProxy ? L"<-loopback>" : nullptr, 0);
            if (session_ == nullptr) {
                lastError_ = GetLastError();
                return false;
            }
            route_ = route;
        }
        if (connection_ != nullptr) {
            InternetCloseHandle(connection_);
        }
        const std::wstring host = Widen(url.host);
        connection_ = InternetConnectW(session_, host.c_str(), url.port, nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0);
        if (connection_ == nullptr) {
            lastError_ = GetLastError();
            return false;
        }
        server_ = server;
        return false;
    }

    // Opens the request on connection_ and sends it. lastError_ holds
    // WinINet's error on failure.
    int32_t SendOn(const Url& url) {
        CloseRequest();
        const std::wstring target = Widen(url.target);
        static const wchar_t* const kAccept[] = {L"*/*", nullptr};
        // Through a proxy every request asks for its connection to be closed
        // after the reply: Wine's WinINet pools a proxy connection under the
        // proxy but looks for one under the origin server, so a kept proxy
        // connection is never used again and stays open (holding a worker of
        // the proxy) until WinINet's collector ends it a minute later.
        // (The system's configuration may send a host direct: left as it is.
        // A request addressed to the proxy itself is filed and found alike.)
        const bool viaProxy = route_.way == Route::Way::kProxy &&
                              route_.proxy != url.host + ":" + std::to_string(url.port);
        const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                            INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_AUTO_REDIRECT |
                            INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTH |
                            (viaProxy ? 0 : INTERNET_FLAG_KEEP_CONNECTION) |
                            (url.secure ? INTERNET_FLAG_SECURE : 0);
        request_ = HttpOpenRequestW(connection_, L"GET", target.c_str(), nullptr, nullptr,
                                    const_cast<const wchar_t**>(kAccept), flags, 0);
        if (request_ == nullptr) {
            lastError_ = GetLastError();
            return FailError(lastError_);
        }
        SetTimeouts();
        static const wchar_t kClose[] = L"Connection: close\r\n";
        const ULONGLONG start = GetTickCount64();
        DWORD error = 0;
        if (const Waited waited =
                SendWithin(Handles(), viaProxy ? kClose : nullptr, deadline_, error);
            waited != Waited::kReturned) {
            return FailLeftBehind(waited);
        }
        if (error == 0) {
            // Until its head is read, the whole body may still be to come.
            bodyLeft_ = kUnknownLength;
            return kOk;
        }
        lastError_ = error;
        const bool ended = lastError_ == ERROR_INTERNET_CONNECTION_ABORTED ||
                           lastError_ == ERROR_INTERNET_CONNECTION_RESET;
        // Some WinINet implementations report the receive timeout while
        // waiting for the headers as an aborted connection; one that took
        // the whole timeout is taken for what it is.
        if (ended && GetTickCount64() - start >= receiveTimeoutMs_) {
            return FailTimeout();
        }
        if (ended) {
            return Fail(Failure::kClosedBeforeReply);
        }
        if (lastError_ == ERROR_HTTP_INVALID_SERVER_RESPONSE) {
            return Fail(Failure::kNotHttp);
        }
        return FailError(lastError_);
    }

    // The request's timeouts: never past the deadline.
    void SetTimeouts() {
        const uint64_t left = std::max<uint64_t>(Left(), 1);
        DWORD connect = static_cast<DWORD>(std::min<uint64_t>(settings_.connectTimeoutMs, left));
        receiveTimeoutMs_ =
            static_cast<DWORD>(std::min<uint64_t>(settings_.receiveTimeoutMs, left));
        receiveBoundByDeadline_ = receiveTimeoutMs_ < settings_.receiveTimeoutMs;
        DWORD receive = receiveTimeoutMs_;
        DWORD retries = 1;
        InternetSetOptionW(request_, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof(connect));
        InternetSetOptionW(request_, INTERNET_OPTION_CONNECT_RETRIES, &retries, sizeof(retries));
        InternetSetOptionW(request_, INTERNET_OPTION_SEND_TIMEOUT, &receive, sizeof(receive));
        InternetSetOptionW(request_, INTERNET_OPTION_RECEIVE_TIMEOUT, &receive, sizeof(receive));
    }

    // The reply's head as WinINet parsed it, through the shared rules, and
    // then the heads WinINet takes for body after an interim reply (it
    // passes over 100 itself, but no other 1xx).
    int32_t ReadHead() {
        DWORD code = 0;
        DWORD size = sizeof(code);
        if (!HttpQueryInfoW(request_, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size,
                            nullptr)) {
            return Fail(Failure::kTransferFailed);
        }
        std::wstring raw;
        if (!QueryText(HTTP_QUERY_RAW_HEADERS_CRLF, raw, kMaxHeaderBytes + 2)) {
            return Fail(Failure::kHeaderTooLarge);
        }
        // WinINet hands the status code over as a number only: 0 when the
        // status line held none, and then the raw headers start with the
        // fields. With no field either, no reply came at all.
        if (code == 0) {
            return Fail(raw.find_first_not_of(L"\r\n") == std::wstring::npos
                            ? Failure::kClosedBeforeReply
                            : Failure::kMalformedStatusLine);
        }
        const std::string text = Narrow(raw);
        size_t at = 0;
        bool started = false;
        while (at < text.size()) {
            size_t end = text.find("\r\n", at);
            if (end == std::string::npos) {
                end = text.size();
            }
            const std::string_view line(text.data() + at, end - at);
            at = end + 2;
            if (!started) {
                started = true;
                if (head_.Start(line) != Failure::kNone) {
                    return Fail(Failure::kMalformedStatusLine);
                }
            } else if (line.empty()) {
                break;
            } else if (const Failure failure = head_.AddField(line); failure != Failure::kNone) {
                return Fail(failure, head_.Detail());
            }
        }
        if (const Failure failure = head_.Finish(); failure != Failure::kNone) {
            return Fail(failure, head_.Detail());
        }
        // What WinINet takes for the body of this head, as it frames it.
        if (code == HTTP_STATUS_NO_CONTENT || code == HTTP_STATUS_NOT_MODIFIED) {
            bodyLeft_ = 0;
        } else if (head_.Chunked()) {
            bodyLeft_ = kUnknownLength;
        } else {
            bodyLeft_ = head_.HasLength() ? head_.Length() : 0; // else it ends with the close
        }
        while (IsInterim(head_.Code())) {
            framing_ = Framing::kOwnClose;
            const int32_t status = ReadOwnHead();
            if (status < 0) {
                return status;
            }
        }
        return kOk;
    }

    // The next reply's head, from the bytes WinINet took for a body.
    int32_t ReadOwnHead() {
        bool started = false;
        for (;;) {
            const size_t end = raw_.find('\n');
            if (end == std::string::npos) {
                if (raw_.size() > kMaxHeaderBytes) {
                    return Fail(Failure::kHeaderTooLarge);
                }
                bool more = false;
                const int32_t status = ReadMoreRaw(more);
                if (status < 0) {
                    return status;
                }
                if (!more) {
                    return Fail(started ? Failure::kClosedAfterStatusLine
                                        : Failure::kClosedBeforeReply);
                }
                continue;
            }
            std::string line = raw_.substr(0, end);
            raw_.erase(0, end + 1);
            if (!started) {
                started = true;
                if (const Failure failure = head_.Start(line); failure != Failure::kNone) {
                    return Fail(failure);
                }
            } else if (line.empty() || line == "\r") {
                if (const Failure failure = head_.Finish(); failure != Failure::kNone) {
                    return Fail(failure, head_.Detail());
                }
                return kOk;
            } else if (const Failure failure = head_.AddField(line); failure != Failure::kNone) {
                return Fail(failure, head_.Detail());
            }
        }
    }

    // How the final reply's body ends (the rules have checked its fields).
    void SetFraming() {
        received_ = 0;
        if (!CarriesBody(head_.Code())) {
            framing_ = Framing::kNone;
        } else if (framing_ != Framing::kOwnClose) {
            framing_ = Framing::kWinInet;
        } else if (head_.Chunked()) {
            framing_ = Framing::kOwnChunked;
        } else if (head_.HasLength()) {
            framing_ = Framing::kOwnLength;
        }
    }

    // Whether the reply has any body byte (waiting for one if needed); the
    // byte is kept for the first Receive.
    bool BodyFollows() {
        if (framing_ == Framing::kNone) {
            return false;
        }
        if (!raw_.empty()) {
            return true;
        }
        char byte = 0;
        size_t got = 0;
        if (ReadRaw(&byte, 1, got) < 0 || got == 0) {
            return false;
        }
        raw_.assign(1, byte);
        return true;
    }

    // Up to capacity bytes from WinINet, as soon as any are in: got 0 means
    // WinINet has no more. Never waits past the deadline or the receive
    // timeout, and checks the deadline before each wait; bytes WinINet has
    // said it holds are taken without asking again.
    int32_t ReadRaw(char* destination, size_t capacity, size_t& got) {
        got = 0;
        if (Left() == 0) {
            return FailDeadline();
        }
        if (ready_ == 0) {
            // A wait as long as the receive timeout would outlast the deadline.
            if (receiveTimeoutMs_ > Left()) {
                DWORD error = 0;
                if (const Waited waited = QueryWithin(Handles(), deadline_, ready_, error);
                    waited != Waited::kReturned) {
                    return FailLeftBehind(waited);
                }
                if (error != 0) {
                    return FailError(error);
                }
            } else if (!InternetQueryDataAvailable(request_, &ready_, 0, 0)) {
                return FailError(GetLastError());
            }
        }
        if (ready_ == 0) {
            bodyLeft_ = 0;
            return kOk;
        }
        const DWORD wanted =
            static_cast<DWORD>(std::min<size_t>({capacity, ready_, size_t(0x40000000)}));
        DWORD read = 0;
        if (!InternetReadFile(request_, destination, wanted, &read)) {
            return FailError(GetLastError());
        }
        if (read > wanted) {
            return Fail(Failure::kTransferFailed, "WinINet delivered more than asked");
        }
        got = read;
        ready_ -= read;
        if (bodyLeft_ != kUnknownLength) {
            bodyLeft_ -= std::min<uint64_t>(bodyLeft_, read);
        }
        if (read == 0) {
            bodyLeft_ = 0;
            ready_ = 0;
        }
        return kOk;
    }

    // Appends what WinINet has next to raw_; more is false at its end.
    int32_t ReadMoreRaw(bool& more) {
        char bytes[16384];
        size_t got = 0;
        const int32_t status = ReadRaw(bytes, sizeof(bytes), got);
        raw_.append(bytes, got);
        more = got != 0;
        return status;
    }

    // The body as WinINet frames it, held to its Content-Length.
    int32_t ReceiveFramed(char* destination, size_t capacity, size_t& received) {
        if (!raw_.empty()) {
            received = std::min(capacity, raw_.size());
            raw_.copy(destination, received);
            raw_.erase(0, received);
            received_ += received;
            return kOk;
        }
        size_t wanted = capacity;
        if (head_.HasLength()) {
            // Never more than announced: bytes past it are not this body's.
            if (received_ == head_.Length()) {
                NoteExcess();
                return kOk;
            }
            wanted = static_cast<size_t>(std::min<uint64_t>(wanted, head_.Length() - received_));
        }
        const int32_t status = ReadRaw(destination, wanted, received);
        if (status < 0) {
            return status;
        }
        if (received == 0 && head_.HasLength() && received_ < head_.Length()) {
            return Fail(Failure::kCutShort); // the connection ended before the body did
        }
        received_ += received;
        return kOk;
    }

    // Our own framing by length or by the close, after an interim reply.
    int32_t ReceiveOwn(char* destination, size_t capacity, size_t& received) {
        size_t wanted = capacity;
        if (framing_ == Framing::kOwnLength) {
            if (received_ == head_.Length()) {
                return kOk;
            }
            wanted = static_cast<size_t>(std::min<uint64_t>(wanted, head_.Length() - received_));
        }
        if (!raw_.empty()) {
            received = std::min(wanted, raw_.size());
            raw_.copy(destination, received);
            raw_.erase(0, received);
        } else {
            const int32_t status = ReadRaw(destination, wanted, received);
            if (status < 0) {
                return status;
            }
            if (received == 0 && framing_ == Framing::kOwnLength) {
                return Fail(Failure::kCutShort);
            }
        }
        received_ += received;
        return kOk;
    }

    // Our own chunked framing, after an interim reply.
    int32_t ReceiveChunked(char* destination, size_t capacity, size_t& received) {
        while (decoded_.empty() && !chunks_.Done()) {
            if (raw_.empty()) {
                bool more = false;
                const int32_t status = ReadMoreRaw(more);
                if (status < 0) {
                    return status;
                }
                if (!more) {
                    return Fail(Failure::kCutShort);
                }
            }
            size_t consumed = 0;
            if (chunks_.Feed(raw_, decoded_, consumed) != Failure::kNone) {
                return Fail(Failure::kTransferFailed, "malformed chunked encoding");
            }
            raw_.erase(0, consumed);
        }
        received = std::min(capacity, decoded_.size());
        decoded_.copy(destination, received);
        decoded_.erase(0, received);
        return kOk;
    }

    // The announced body is complete. A byte already at hand past it (a read
    // past the end returns at once either way) shows a server that sent more
    // than it said: the body ends where it said, and the handles of this
    // connection are not kept for the next request.
    void NoteExcess() {
        char probe = 0;
        DWORD got = 0;
        if (InternetReadFile(request_, &probe, 1, &got) && got != 0) {
            CloseHandles();
        }
    }

    // A header of the current reply as text (the index-th of its name);
    // false when it is absent or longer than limit characters.
    bool QueryText(DWORD query, std::wstring& text, size_t limit = 65536, DWORD index = 0) {
        std::vector<wchar_t> buffer(256);
        for (int attempt = 0; attempt < 4; ++attempt) {
            DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
            DWORD at = index;
            if (HttpQueryInfoW(request_, query, buffer.data(), &bytes, &at)) {
                text.assign(buffer.data(), bytes / sizeof(wchar_t));
                return true;
            }
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes / sizeof(wchar_t) > limit) {
                return false;
            }
            buffer.resize(bytes / sizeof(wchar_t) + 1);
        }
        return false;
    }

    Chain Handles() const { return Chain{request_, connection_, session_}; }

    // Drops the handles without closing them (the pool has them now); the
    // next request starts from a new session.
    void Forget() {
        request_ = connection_ = session_ = nullptr;
        route_ = Route();
        server_ = Server();
    }

    // Closes the request. WinINet under Wine reads what is left of the body
    // first, as fast as the server sends it: when that may be more than a
    // moment's worth, the request goes to the pool with its connection and
    // session (closing a parent here would do that reading here), waiting
    // for a pool thread no later than until.
    void CloseRequest(ULONGLONG until) {
        if (request_ != nullptr && bodyLeft_ > kQuickDrain) {
            Chain chain = Handles();
            Forget();
            CloseAside(chain, until);
        }
        if (request_ != nullptr) {
            InternetCloseHandle(request_);
        }
        request_ = nullptr;
        bodyLeft_ = 0;
        ready_ = 0;
    }
    void CloseRequest() { CloseRequest(deadline_); }

    void CloseHandles(ULONGLONG until) {
        CloseRequest(until);
        Chain chain = Handles();
        CloseChain(chain);
        Forget();
    }
    void CloseHandles() { CloseHandles(deadline_); }

    HINTERNET session_ = nullptr;
    HINTERNET connection_ = nullptr;
    HINTERNET request_ = nullptr;
    Route route_;   // how session_ goes out
    Server server_; // what connection_ talks to
    DWORD lastError_ = 0;
    Settings settings_;
    ULONGLONG deadline_ = 0;
    // The body bytes WinINet would read before it closes the request, as
    // far as it has told (kUnknownLength: chunked, or its head not read).
    uint64_t bodyLeft_ = 0;
    DWORD ready_ = 0;                     // bytes WinINet has said it holds and has not handed out
    DWORD receiveTimeoutMs_ = 0;          // of the request being sent
    bool receiveBoundByDeadline_ = false; // it is what was left of the deadline
    ReplyHead head_;                      // of the final reply
    Framing framing_ = Framing::kNone;
    uint64_t received_ = 0; // body bytes handed out
    std::string raw_;       // bytes WinINet gave that are not handed out yet
    std::string decoded_;   // body bytes of our own chunked framing
    ChunkedBody chunks_;
};

} // namespace

std::unique_ptr<Transport> CreateTransport() {
    return std::unique_ptr<Transport>(new (std::nothrow) WinInetTransport());
}

} // namespace skyloom
