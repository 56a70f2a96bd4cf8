// The transport over WinINet. Every hop of a request gets its own session,
// opened direct or through the proxy from the environment (never the
// system's configured one, so the behaviour is the same on every machine),
// with the connect, send and receive timeouts set on each handle. Redirects
// are followed here rather than by WinINet, so that the limit and the rules
// are the same as in the curl build.

#include "skyloom/Status.h"
#include "skyloom/Transport.h"

#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <string>
#include <vector>

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
    default:
        return kTransferFailed;
    }
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
    ~WinInetTransport() override { End(); }
    WinInetTransport(const WinInetTransport&) = delete;
    WinInetTransport& operator=(const WinInetTransport&) = delete;

    int32_t Begin(const Url& first, const Settings& settings) override {
        End();
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
            std::wstring location;
            if (code >= 300 && code <= 399 && code != 304 &&
                QueryText(HTTP_QUERY_LOCATION, location)) {
                if (redirects == kMaxRedirects)
                    return kTooManyRedirects;
                std::string ascii;
                Url next;
                if (!AddressToAscii(reinterpret_cast<const char16_t*>(location.c_str()), ascii) ||
                    !ResolveRedirect(url, ascii, next))
                    return kUnsupportedAddress;
                url = next;
                continue;
            }
            if (code < 200 || code > 299)
                return kHttpStatus;
            std::wstring length;
            hasLength_ = QueryText(HTTP_QUERY_CONTENT_LENGTH, length) &&
                         ParseDecimal(length, expectedLength_);
            received_ = 0;
            return kOk;
        }
    }

    int32_t Receive(char* destination, size_t capacity, size_t& received) override {
        received = 0;
        if (request_ == nullptr)
            return kNotOpen;
        if (capacity == 0)
            return kOk;
        DWORD got = 0;
        const DWORD ask = static_cast<DWORD>(std::min<size_t>(capacity, 0x40000000));
        if (!InternetReadFile(request_, destination, ask, &got))
            return StatusOfError(GetLastError());
        if (got == 0 && hasLength_ && received_ < expectedLength_)
            return kTransferFailed; // the connection ended before the body did
        received_ += got;
        received = got;
        return kOk;
    }

    void End() override {
        CloseHandles();
        hasLength_ = false;
        expectedLength_ = 0;
        received_ = 0;
    }

private:
    // Opens a fresh session, connection and request for url and sends it.
    int32_t Send(const Url& url, const Settings& settings) {
        CloseHandles();
        const bool viaProxy = settings.proxy.use && !BypassesProxy(settings.noProxy, url.host);
        const std::wstring proxy = Widen(settings.proxy.authority);
        // "<-loopback>" keeps WinINet from bypassing the proxy for loopback
        // hosts on its own: which hosts go direct is no_proxy's business.
        session_ = InternetOpenW(
            L"Skyloom/1.0", viaProxy ? INTERNET_OPEN_TYPE_PROXY : INTERNET_OPEN_TYPE_DIRECT,
            viaProxy ? proxy.c_str() : nullptr, viaProxy ? L"<-loopback>" : nullptr, 0);
        if (session_ == nullptr)
            return StatusOfError(GetLastError());
        SetTimeouts(session_, settings);
        const std::wstring host = Widen(url.host);
        connection_ = InternetConnectW(session_, host.c_str(), url.port, nullptr, nullptr,
                                       INTERNET_SERVICE_HTTP, 0, 0);
        if (connection_ == nullptr)
            return StatusOfError(GetLastError());
        SetTimeouts(connection_, settings);
        const std::wstring target = Widen(url.target);
        static const wchar_t* const kAccept[] = {L"*/*", nullptr};
        const DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE |
                            INTERNET_FLAG_NO_UI | INTERNET_FLAG_NO_AUTO_REDIRECT |
                            INTERNET_FLAG_NO_COOKIES | INTERNET_FLAG_NO_AUTH;
        request_ = HttpOpenRequestW(connection_, L"GET", target.c_str(), nullptr, nullptr,
                                    const_cast<const wchar_t**>(kAccept), flags, 0);
        if (request_ == nullptr)
            return StatusOfError(GetLastError());
        SetTimeouts(request_, settings);
        const ULONGLONG start = GetTickCount64();
        if (!HttpSendRequestW(request_, nullptr, 0, nullptr, 0)) {
            const DWORD error = GetLastError();
            // Some WinINet implementations report the receive timeout while
            // waiting for the headers as an aborted connection; one that
            // took the whole timeout is taken for what it is.
            if ((error == ERROR_INTERNET_CONNECTION_ABORTED ||
                 error == ERROR_INTERNET_CONNECTION_RESET) &&
                GetTickCount64() - start >= settings.receiveTimeoutMs)
                return kTimedOut;
            return StatusOfError(error);
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

    // A header of the current reply as text; false when it is absent.
    bool QueryText(DWORD query, std::wstring& text) {
        std::vector<wchar_t> buffer(256);
        for (int attempt = 0; attempt < 4; ++attempt) {
            DWORD bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
            DWORD index = 0;
            if (HttpQueryInfoW(request_, query, buffer.data(), &bytes, &index)) {
                text.assign(buffer.data(), bytes / sizeof(wchar_t));
                return true;
            }
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
                return false;
            buffer.resize(bytes / sizeof(wchar_t) + 1);
        }
        return false;
    }

    void CloseHandles() {
        for (HINTERNET* handle : {&request_, &connection_, &session_}) {
            if (*handle != nullptr)
                InternetCloseHandle(*handle);
            *handle = nullptr;
        }
    }

    HINTERNET session_ = nullptr;
    HINTERNET connection_ = nullptr;
    HINTERNET request_ = nullptr;
    bool hasLength_ = false;
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
