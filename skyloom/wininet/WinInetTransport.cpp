// The transport over WinINet. The session and the connection handles are
// kept between requests while the way out (direct, the proxy from the
// environment, or the system's configuration) and the server stay the same,
// so WinINet keeps its connection alive and a request after the first costs
// one round trip. A request whose kept connection the server has closed
// meanwhile is sent once more on a new one.
//
// The proxy: http_proxy or HTTP_PROXY when set (with no_proxy), else the
// system's configuration as every Windows program sees it (the user's
// Internet Settings: ProxyEnable, ProxyServer, ProxyOverride, read by
// WinINet when a session opens). The connect, send and receive timeouts are
// set on each handle. Redirects are followed here rather than by WinINet, so
// that the limit and the rules are the same as in the curl build.
//
// https: WinINet checks the server's certificate and host name against the
// system's certificate store; none of its checks is ever switched off, and a
// redirect from https to plain http is refused.

#include "skyloom/Status.h"
#include "skyloom/Transport.h"

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

int32_t StatusOfError(DWORD error) {
    switch (error) {
    case ERROR_INTERNET_TIMEOUT:
    case WSAETIMEDOUT: // how some WinINet implementations report a body read timing out
        return kTimedOut;
    case ERROR_INTERNET_CANNOT_CONNECT:
    case ERROR_INTERNET_NAME_NOT_RESOLVED:
        return kConnectFailed;
    case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
    case ERROR_INTERNET_INVALID_URL:
        return kUnsupportedAddress;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return kOutOfMemory;
    case ERROR_INTERNET_INVALID_CA:
    case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
    case ERROR_INTERNET_SEC_CERT_CN_INVALID:
    case ERROR_INTERNET_SEC_CERT_ERRORS:
    case ERROR_INTERNET_SEC_CERT_REVOKED:
    case ERROR_INTERNET_SEC_CERT_REV_FAILED:
    case ERROR_INTERNET_SEC_CERT_NO_REV:
    case ERROR_INTERNET_SEC_INVALID_CERT:
    case ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR:
        return kCertificateRejected;
    case ERROR_INTERNET_SECURITY_CHANNEL_ERROR:
    case ERROR_INTERNET_SECURE_FAILURE:
        return kSecureChannelFailed;
    default:
        return kTransferFailed;
    }
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
                         &size) != ERROR_SUCCESS)
            return;
        static const wchar_t kHex[] = L"0123456789abcdef";
        for (DWORD i = 0; i < size; ++i) {
            text += kHex[bytes[i] >> 4];
            text += kHex[bytes[i] & 15];
        }
    };
    const wchar_t* const settings =
        L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
    for (const wchar_t* value :
         {L"ProxyEnable", L"ProxyServer", L"ProxyOverride", L"AutoConfigURL", L"AutoDetect"})
        append(settings, value);
    append(L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections",
           L"DefaultConnectionSettings");
    return text;
}

bool ParseDecimal(const std::wstring& text, uint64_t& value) {
    value = 0;
    if (text.empty() || text.size() > 18)
        return false;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        value = value * 10 + static_cast<uint64_t>(c - L'0');
    }
    return true;
}

class WinInetTransport final : public Transport {
public:
    WinInetTransport() = default;
    ~WinInetTransport() override { CloseHandles(); }
    WinInetTransport(const WinInetTransport&) = delete;
    WinInetTransport& operator=(const WinInetTransport&) = delete;

    int32_t Begin(const Url& first, const Settings& settings) override {
        End();
        detail_.clear();
        Url url = first;
        for (int redirects = 0;; ++redirects) {
            const int32_t sent = Send(url, settings);
            if (sent < 0)
                return sent;
            DWORD code = 0;
            DWORD size = sizeof(code);
            if (!HttpQueryInfoW(request_, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code,
                                &size, nullptr))
                return kTransferFailed;
            // No status at all: the connection ended before any reply.
            if (code == 0) {
                detail_ = "connection closed before a reply";
                return kTransferFailed;
            }
            const int32_t checked = CheckHeaders();
            if (checked < 0)
                return checked;
            std::wstring location;
            if (code >= 300 && code <= 399 && code != 304 &&
                QueryText(HTTP_QUERY_LOCATION, location)) {
                if (redirects == kMaxRedirects)
                    return kTooManyRedirects;
                std::string ascii;
                Url next;
                if (!AddressToAscii(reinterpret_cast<const char16_t*>(location.c_str()), ascii) ||
                    !ResolveRedirect(url, ascii, next)) {
                    detail_ = "redirect to an unusable address";
                    return kUnsupportedAddress;
                }
                if (IsDowngrade(url, next))
                    return kInsecureRedirect;
                url = next;
                continue;
            }
            if (code < 200 || code > 299) {
                std::wstring phrase;
                QueryText(HTTP_QUERY_STATUS_TEXT, phrase);
                detail_ = RefusedDetail(static_cast<long>(code), Narrow(phrase));
                return kHttpStatus;
            }
            received_ = 0;
            // 204 and 304 carry no body, whatever follows their headers.
            noBody_ = code == 204 || code == 304;
            return noBody_ ? kOk : ReadLength();
        }
    }

    int32_t Receive(char* destination, size_t capacity, size_t& received) override {
        received = 0;
        if (request_ == nullptr)
            return kNotOpen;
        if (capacity == 0 || noBody_)
            return kOk;
        size_t wanted = std::min<size_t>(capacity, 0x40000000);
        if (hasLength_) {
            // Never more than announced: bytes past it are not this body's.
            if (received_ == expectedLength_) {
                NoteExcess();
                return kOk;
            }
            wanted = static_cast<size_t>(std::min<uint64_t>(wanted, expectedLength_ - received_));
        }
        DWORD got = 0;
        if (!InternetReadFile(request_, destination, static_cast<DWORD>(wanted), &got)) {
            const DWORD error = GetLastError();
            const int32_t status = StatusOfError(error);
            if (status == kTransferFailed)
                detail_ = "connection broken (WinINet error " + std::to_string(error) + ")";
            return status;
        }
        if (got > wanted) {
            detail_ = "WinINet delivered more than asked";
            return kTransferFailed;
        }
        if (got == 0 && hasLength_ && received_ < expectedLength_) {
            detail_ = "reply cut short"; // the connection ended before the body did
            return kTransferFailed;
        }
        received_ += got;
        received = got;
        return kOk;
    }

    // Ends the request; the session and connection stay for the next one.
    void End() override {
        CloseRequest();
        hasLength_ = false;
        noBody_ = false;
        expectedLength_ = 0;
        received_ = 0;
    }

private:
    static std::string Narrow(const std::wstring& text) {
        std::string ascii;
        for (wchar_t c : text)
            ascii += (c >= 0x20 && c <= 0x7E) ? static_cast<char>(c) : '?';
        return ascii;
    }

    // What every reply must have, whatever its status: a status line (a
    // reply without one, HTTP/0.9 or no HTTP at all, is taken by WinINet
    // for a headerless "200 OK" whose body is everything that came), and a
    // header block within kMaxHeaderBytes.
    int32_t CheckHeaders() {
        std::wstring raw;
        if (!QueryText(HTTP_QUERY_RAW_HEADERS_CRLF, raw, kMaxHeaderBytes + 2)) {
            detail_ = "header too large";
            return kTransferFailed;
        }
        // Every HTTP server sends at least one field (Date, Content-Type,
        // Content-Length...) after the status line.
        const size_t end = raw.find(L"\r\n");
        if (end == std::wstring::npos || end + 2 >= raw.size() ||
            raw.compare(end + 2, 2, L"\r\n") == 0) {
            detail_ = "not an HTTP reply";
            return kTransferFailed;
        }
        return kOk;
    }

    // The body's length: every Content-Length field must hold the same
    // decimal number; none (or chunked encoding) means the body ends with
    // its encoding or the connection.
    int32_t ReadLength() {
        hasLength_ = false;
        std::wstring encoding;
        if (QueryText(HTTP_QUERY_TRANSFER_ENCODING, encoding))
            return kOk;
        for (DWORD index = 0; index < 16; ++index) {
            std::wstring text;
            if (!QueryText(HTTP_QUERY_CONTENT_LENGTH, text, 256, index))
                return kOk;
            uint64_t value = 0;
            while (!text.empty() && (text.back() == L' ' || text.back() == L'\t'))
                text.pop_back();
            if (!ParseDecimal(text, value) || (hasLength_ && value != expectedLength_)) {
                detail_ = "malformed Content-Length";
                return kTransferFailed;
            }
            hasLength_ = true;
            expectedLength_ = value;
        }
        detail_ = "malformed Content-Length";
        return kTransferFailed;
    }

    // The announced body is complete. A byte already at hand past it (a read
    // past the end returns at once either way) shows a server that sent more
    // than it said: the body ends where it said, and the handles of this
    // connection are not kept for the next request.
    void NoteExcess() {
        char probe = 0;
        DWORD got = 0;
        if (InternetReadFile(request_, &probe, 1, &got) && got != 0)
            CloseHandles();
    }

    // Opens a request for url on a kept or a new connection and sends it; a
    // kept connection that fails at once is replaced by a new one once.
    int32_t Send(const Url& url, const Settings& settings) {
        CloseRequest();
        const bool kept = Connect(url, settings);
        int32_t status = connection_ != nullptr ? SendOn(url, settings) : StatusOfError(lastError_);
        if (status < 0 && kept && lastError_ != ERROR_INTERNET_TIMEOUT && status != kTimedOut &&
            (lastError_ == ERROR_INTERNET_CONNECTION_ABORTED ||
             lastError_ == ERROR_INTERNET_CONNECTION_RESET ||
             lastError_ == ERROR_HTTP_INVALID_SERVER_RESPONSE)) {
            CloseHandles();
            Connect(url, settings);
            status = connection_ != nullptr ? SendOn(url, settings) : StatusOfError(lastError_);
        }
        // After a failure the next request starts from a new session, which
        // also picks up a changed system proxy configuration.
        if (status < 0)
            CloseHandles();
        return status;
    }

    // Makes session_ and connection_ fit url and settings, reusing them when
    // they already do. True when both were kept from an earlier request;
    // connection_ is null (and lastError_ set) on failure.
    bool Connect(const Url& url, const Settings& settings) {
        std::wstring way;
        DWORD access = INTERNET_OPEN_TYPE_PRECONFIG;
        if (settings.proxy.use) {
            const bool bypass = BypassesProxy(settings.noProxy, url.host);
            access = bypass ? INTERNET_OPEN_TYPE_DIRECT : INTERNET_OPEN_TYPE_PROXY;
            way = bypass ? L"direct" : L"proxy " + Widen(settings.proxy.authority);
        } else {
            // The system's configuration, read by WinINet when the session
            // opens; a change to it gets a new session.
            way = L"system" + SystemProxyConfiguration();
        }
        const std::wstring server = (url.secure ? L"https " : L"http ") + Widen(url.host) + L" " +
                                    Widen(std::to_string(url.port));
        if (session_ != nullptr && way == sessionWay_) {
            if (connection_ != nullptr && server == connectionServer_) {
                SetTimeouts(session_, settings);
                SetTimeouts(connection_, settings);
                return true;
            }
        } else {
            CloseHandles();
            const std::wstring proxy = Widen(settings.proxy.authority);
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
            sessionWay_ = way;
        }
        if (connection_ != nullptr)
            InternetCloseHandle(connection_);
        SetTimeouts(session_, settings);
        const std::wstring host = Widen(url.host);
        connection_ = InternetConnectW(session_, host.c_str(), url.port, nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0);
        if (connection_ == nullptr) {
            lastError_ = GetLastError();
            return false;
        }
        connectionServer_ = server;
        SetTimeouts(connection_, settings);
        return false;
    }

    // Opens the request on connection_ and sends it. lastError_ holds
    // WinINet's error on failure.
    int32_t SendOn(const Url& url, const Settings& settings) {
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
        const bool viaProxy =
            sessionWay_.compare(0, 6, L"proxy ") == 0 &&
            sessionWay_ != L"proxy " + Widen(url.host) + L":" + Widen(std::to_string(url.port));
        const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                            INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_AUTO_REDIRECT |
                            INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTH |
                            (viaProxy ? 0 : INTERNET_FLAG_KEEP_CONNECTION) |
                            (url.secure ? INTERNET_FLAG_SECURE : 0);
        request_ = HttpOpenRequestW(connection_, L"GET", target.c_str(), nullptr, nullptr,
                                    const_cast<const wchar_t**>(kAccept), flags, 0);
        if (request_ == nullptr) {
            lastError_ = GetLastError();
            return StatusOfError(lastError_);
        }
        SetTimeouts(request_, settings);
        static const wchar_t kClose[] = L"Connection: close\r\n";
        const ULONGLONG start = GetTickCount64();
        if (!HttpSendRequestW(request_, viaProxy ? kClose : nullptr, viaProxy ? DWORD(-1) : 0,
                              nullptr, 0)) {
            lastError_ = GetLastError();
            // Some WinINet implementations report the receive timeout while
            // waiting for the headers as an aborted connection; one that
            // took the whole timeout is taken for what it is.
            if ((lastError_ == ERROR_INTERNET_CONNECTION_ABORTED ||
                 lastError_ == ERROR_INTERNET_CONNECTION_RESET) &&
                GetTickCount64() - start >= settings.receiveTimeoutMs)
                return kTimedOut;
            if (lastError_ == ERROR_INTERNET_CONNECTION_ABORTED ||
                lastError_ == ERROR_INTERNET_CONNECTION_RESET)
                detail_ = "connection closed before a reply";
            else if (lastError_ == ERROR_HTTP_INVALID_SERVER_RESPONSE)
                detail_ = "not an HTTP reply";
            return StatusOfError(lastError_);
        }
        return kOk;
    }

    static void SetTimeouts(HINTERNET handle, const Settings& settings) {
        DWORD connect = settings.connectTimeoutMs;
        DWORD receive = settings.receiveTimeoutMs;
        DWORD retries = 1;
        InternetSetOptionW(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof(connect));
        InternetSetOptionW(handle, INTERNET_OPTION_CONNECT_RETRIES, &retries, sizeof(retries));
        InternetSetOptionW(handle, INTERNET_OPTION_SEND_TIMEOUT, &receive, sizeof(receive));
        InternetSetOptionW(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &receive, sizeof(receive));
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
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || bytes / sizeof(wchar_t) > limit)
                return false;
            buffer.resize(bytes / sizeof(wchar_t) + 1);
        }
        return false;
    }

    void CloseRequest() {
        if (request_ != nullptr)
            InternetCloseHandle(request_);
        request_ = nullptr;
    }

    void CloseHandles() {
        for (HINTERNET* handle : {&request_, &connection_, &session_}) {
            if (*handle != nullptr)
                InternetCloseHandle(*handle);
            *handle = nullptr;
        }
        sessionWay_.clear();
        connectionServer_.clear();
    }

    HINTERNET session_ = nullptr;
    HINTERNET connection_ = nullptr;
    HINTERNET request_ = nullptr;
    std::wstring sessionWay_;       // how session_ goes out: "direct", "proxy h:p", "system"
    std::wstring connectionServer_; // scheme, host and port of connection_
    DWORD lastError_ = 0;
    bool hasLength_ = false;
    bool noBody_ = false; // a 204 or 304
    uint64_t expectedLength_ = 0;
    uint64_t received_ = 0;
};

} // namespace

std::unique_ptr<Transport> CreateTransport() {
    return std::unique_ptr<Transport>(new (std::nothrow) WinInetTransport());
}

std::string EnvironmentValue(const char* name) {
    char small[512];
    DWORD length = GetEnvironmentVariableA(name, small, sizeof(small));
    if (length == 0)
        return "";
    if (length < sizeof(small))
        return std::string(small, length);
    std::vector<char> large(length);
    length = GetEnvironmentVariableA(name, large.data(), static_cast<DWORD>(large.size()));
    return length < large.size() ? std::string(large.data(), length) : "";
}

} // namespace skyloom
