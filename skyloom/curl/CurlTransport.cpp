// The transport over libcurl's multi interface: the request advances only
// while the download object waits for headers or for body bytes it has not
// got yet, so the memory held is what the network delivered in one step.
//
// Timeouts: curl's connect timeout, and our own receive timeout measured from
// the last byte (header or body) that arrived. Redirects and the proxy are
// left to curl, with the settings made explicit so that curl's own reading
// of the environment cannot disagree with the Windows build.
//
// https: the server's certificate and host name are always verified, against
// the system's CA bundle or the file SKYLOOM_CA_FILE names. A redirect from
// https to plain http is refused (curl would follow it).

#include "skyloom/Status.h"
#include "skyloom/Transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace skyloom {
namespace {

using Clock = std::chrono::steady_clock;

// curl_global_init and curl_global_cleanup, paired by a count of live
// transports, so that unloading the library leaves nothing of curl behind.
std::mutex globalMutex;
int globalUsers = 0;

bool AcquireCurl() {
    std::lock_guard<std::mutex> lock(globalMutex);
    if (globalUsers == 0 && curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        return false;
    ++globalUsers;
    return true;
}

void ReleaseCurl() {
    std::lock_guard<std::mutex> lock(globalMutex);
    if (--globalUsers == 0)
        curl_global_cleanup();
}

int32_t StatusOf(CURLcode code) {
    switch (code) {
    case CURLE_OK:
        return kOk;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return kUnsupportedAddress;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
        return kConnectFailed;
    case CURLE_OPERATION_TIMEDOUT:
        return kTimedOut;
    case CURLE_TOO_MANY_REDIRECTS:
        return kTooManyRedirects;
    case CURLE_OUT_OF_MEMORY:
        return kOutOfMemory;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        return kCertificateRejected;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_USE_SSL_FAILED:
        return kSecureChannelFailed;
    default:
        return kTransferFailed;
    }
}

class CurlTransport final : public Transport {
public:
    CurlTransport() = default;
    ~CurlTransport() override {
        End();
        if (easy_ != nullptr)
            curl_easy_cleanup(easy_);
        if (multi_ != nullptr)
            curl_multi_cleanup(multi_);
        ReleaseCurl();
    }
    CurlTransport(const CurlTransport&) = delete;
    CurlTransport& operator=(const CurlTransport&) = delete;

    int32_t Begin(const Url& url, const Settings& settings) override {
        End();
        detail_.clear();
        errorText_[0] = 0;
        receiveTimeout_ = std::chrono::milliseconds(settings.receiveTimeoutMs);
        // The handles live as long as the object: the multi handle keeps the
        // connection to the server (or proxy) open for the next request.
        if (multi_ == nullptr)
            multi_ = curl_multi_init();
        if (easy_ == nullptr) {
            easy_ = curl_easy_init();
            if (easy_ != nullptr)
                RememberDefaultAuthorities();
        }
        if (multi_ == nullptr || easy_ == nullptr)
            return kOutOfMemory;
        const std::string proxy = settings.proxy.use ? "http://" + settings.proxy.authority : "";
        // The file named in the settings replaces the system's bundle; the
        // system's own is set back explicitly, since the handle is reused.
        const char* caFile = settings.caFile.empty()
                                 ? (defaultCaFile_.empty() ? nullptr : defaultCaFile_.c_str())
                                 : settings.caFile.c_str();
        const char* caPath =
            settings.caFile.empty() && !defaultCaPath_.empty() ? defaultCaPath_.c_str() : nullptr;
        const bool ok =
            curl_easy_setopt(easy_, CURLOPT_URL, url.text.c_str()) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_CAINFO, caFile) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_CAPATH, caPath) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_MAXREDIRS, static_cast<long>(kMaxRedirects)) ==
                CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS,
                             static_cast<long>(settings.connectTimeoutMs)) == CURLE_OK &&
            // An empty proxy turns curl's own reading of http_proxy off: the
            // setting read by ReadSettings is the only one.
            curl_easy_setopt(easy_, CURLOPT_PROXY, proxy.c_str()) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_NOPROXY, settings.noProxy.c_str()) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_USERAGENT, "Skyloom/1.0") == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlTransport::OnHeader) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlTransport::OnBody) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this) == CURLE_OK &&
            curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorText_) == CURLE_OK;
        if (!ok)
            return kTransferFailed;
        if (curl_multi_add_handle(multi_, easy_) != CURLM_OK)
            return kTransferFailed;
        added_ = true;
        lastArrival_ = Clock::now();
        while (!headersFinal_ && !done_) {
            const int32_t status = Step();
            if (status < 0)
                return status;
        }
        if (done_ && result_ != CURLE_OK)
            return Failure();
        long code = 0;
        curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &code);
        if (code >= 200 && code <= 299)
            return kOk;
        // "HTTP/1.1 414 URI Too Long": the phrase follows the second blank.
        const size_t codeAt = statusLine_.find(' ');
        const size_t phraseAt =
            codeAt == std::string::npos ? std::string::npos : statusLine_.find(' ', codeAt + 1);
        detail_ =
            RefusedDetail(code, phraseAt == std::string::npos ? "" : statusLine_.substr(phraseAt));
        return kHttpStatus;
    }

    int32_t Receive(char* destination, size_t capacity, size_t& received) override {
        received = 0;
        if (easy_ == nullptr)
            return kNotOpen;
        // Nothing is received while the caller is away: the timeout counts
        // from now.
        lastArrival_ = Clock::now();
        while (pendingOffset_ == pending_.size()) {
            if (done_)
                return Failure();
            const int32_t status = Step();
            if (status < 0)
                return status;
        }
        received = std::min(capacity, pending_.size() - pendingOffset_);
        std::memcpy(destination, pending_.data() + pendingOffset_, received);
        pendingOffset_ += received;
        if (pendingOffset_ == pending_.size()) {
            pending_.clear();
            pendingOffset_ = 0;
        }
        return kOk;
    }

    void End() override {
        // Removing an unfinished transfer closes its connection; a finished
        // one stays in the multi handle's cache for reuse.
        if (added_)
            curl_multi_remove_handle(multi_, easy_);
        added_ = false;
        headersFinal_ = false;
        done_ = false;
        outOfMemory_ = false;
        insecureRedirect_ = false;
        unusableRedirect_ = false;
        headerTooLarge_ = false;
        sawStatusLine_ = false;
        headerBytes_ = 0;
        statusLine_.clear();
        location_.clear();
        result_ = CURLE_OK;
        std::vector<char>().swap(pending_);
        pendingOffset_ = 0;
    }

private:
    // The status of a transfer curl ended, with the detail for the log.
    int32_t Failure() {
        if (headerTooLarge_ || (result_ == CURLE_OUT_OF_MEMORY && !headersFinal_)) {
            // curl refuses a header line over its own limit as "out of
            // memory"; no real shortage happens before the headers are in.
            detail_ = "header too large";
            return kTransferFailed;
        }
        if (outOfMemory_)
            return kOutOfMemory;
        if (insecureRedirect_)
            return kInsecureRedirect;
        if (unusableRedirect_) {
            detail_ = "redirect to an unusable address";
            return kUnsupportedAddress;
        }
        switch (result_) {
        case CURLE_GOT_NOTHING:
            detail_ = "connection closed before a reply";
            return kTransferFailed;
        case CURLE_WEIRD_SERVER_REPLY:
            detail_ = "not an HTTP reply";
            return kTransferFailed;
        case CURLE_UNSUPPORTED_PROTOCOL:
            // The address was checked before the request, and a redirect's
            // status line would have been seen: a reply without one (HTTP/0.9).
            if (!sawStatusLine_) {
                detail_ = "not an HTTP reply";
                return kTransferFailed;
            }
            break;
        case CURLE_PARTIAL_FILE:
            detail_ = "reply cut short";
            return kTransferFailed;
        default:
            break;
        }
        const int32_t status = StatusOf(result_);
        if (status == kTransferFailed && errorText_[0] != 0)
            detail_ = std::string("transfer failed: ") + errorText_;
        return status;
    }

    // The CA bundle and folder curl was built to use.
    void RememberDefaultAuthorities() {
        char* value = nullptr;
        if (curl_easy_getinfo(easy_, CURLINFO_CAINFO, &value) == CURLE_OK && value != nullptr)
            defaultCaFile_ = value;
        value = nullptr;
        if (curl_easy_getinfo(easy_, CURLINFO_CAPATH, &value) == CURLE_OK && value != nullptr)
            defaultCaPath_ = value;
    }

    // Advances the transfer once: lets curl work, then, if nothing arrived,
    // waits for the sockets, but fails once nothing has arrived for the
    // receive timeout.
    int32_t Step() {
        const uint64_t before = arrived_;
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK)
            return kTransferFailed;
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg == CURLMSG_DONE) {
                done_ = true;
                result_ = message->data.result;
            }
        }
        const Clock::time_point now = Clock::now();
        if (arrived_ != before)
            lastArrival_ = now;
        if (done_ || arrived_ != before)
            return kOk;
        const auto waited = now - lastArrival_;
        if (waited >= receiveTimeout_)
            return kTimedOut;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(receiveTimeout_ - waited);
        const int wait = static_cast<int>(std::clamp<long long>(left.count(), 1, 1000));
        int ready = 0;
        if (curl_multi_poll(multi_, nullptr, 0, wait, &ready) != CURLM_OK)
            return kTransferFailed;
        // A socket that became ready has bytes (or its end) for curl: a
        // header trickling in keeps the request alive as body bytes do,
        // though curl hands header lines over only once they are whole.
        if (ready > 0)
            lastArrival_ = Clock::now();
        return kOk;
    }

    static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
        auto* transport = static_cast<CurlTransport*>(self);
        const size_t bytes = size * count;
        transport->arrived_ += bytes;
        const std::string line(data, bytes);
        if (line.compare(0, 5, "HTTP/") == 0) {
            // A new reply begins.
            transport->location_.clear();
            transport->sawStatusLine_ = true;
            transport->headerBytes_ = 0;
            transport->statusLine_ = line;
        }
        transport->headerBytes_ += bytes;
        if (transport->headerBytes_ > kMaxHeaderBytes) {
            transport->headerTooLarge_ = true;
            return 0; // curl ends the transfer with a write error
        }
        if (line.size() > 9 && (line[0] == 'L' || line[0] == 'l') &&
            curl_strnequal(line.c_str(), "location:", 9))
            transport->location_ = line.substr(9);
        // The blank line ends one reply's headers. Interim (1xx) replies and
        // redirects (which curl follows, or else delivers a body for) are not
        // the final reply.
        if (bytes > 0 && bytes <= 2 && (data[0] == '\r' || data[0] == '\n')) {
            long code = 0;
            curl_easy_getinfo(transport->easy_, CURLINFO_RESPONSE_CODE, &code);
            if (code >= 200 && (code < 300 || code >= 400))
                transport->headersFinal_ = true;
            else if (code >= 300 && transport->LeavesTls())
                return 0; // curl ends the transfer with a write error
            else if ((code == 301 || code == 302 || code == 303 || code == 307 || code == 308) &&
                     !transport->location_.empty() && !transport->RedirectIsUsable())
                return 0;
        }
        return bytes;
    }

    // Whether the redirect whose headers just ended goes from https to http.
    bool LeavesTls() {
        char* current = nullptr;
        Url base;
        Url next;
        if (location_.empty() ||
            curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &current) != CURLE_OK ||
            current == nullptr || !ParseHttpUrl(current, base) ||
            !ResolveRedirect(base, location_, next) || !IsDowngrade(base, next))
            return false;
        insecureRedirect_ = true;
        return true;
    }

    // Whether the Location of the redirect whose headers just ended leads to
    // an address a request could be sent to (curl would try port 0, say).
    bool RedirectIsUsable() {
        char* current = nullptr;
        Url base;
        Url next;
        if (curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &current) != CURLE_OK ||
            current == nullptr || !ParseHttpUrl(current, base) ||
            ResolveRedirect(base, location_, next))
            return true;
        unusableRedirect_ = true;
        return false;
    }

    static size_t OnBody(char* data, size_t size, size_t count, void* self) {
        auto* transport = static_cast<CurlTransport*>(self);
        const size_t bytes = size * count;
        transport->arrived_ += bytes;
        transport->headersFinal_ = true;
        try {
            transport->pending_.insert(transport->pending_.end(), data, data + bytes);
        } catch (...) {
            transport->outOfMemory_ = true;
            return 0; // curl ends the transfer with a write error
        }
        return bytes;
    }

    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    bool added_ = false;
    bool headersFinal_ = false;
    bool done_ = false;
    bool outOfMemory_ = false;
    bool insecureRedirect_ = false;
    bool unusableRedirect_ = false;
    bool headerTooLarge_ = false;
    bool sawStatusLine_ = false;
    size_t headerBytes_ = 0; // of the reply being received
    std::string statusLine_; // of the reply being received
    char errorText_[CURL_ERROR_SIZE] = {};
    std::string location_; // the Location header of the reply being received
    std::string defaultCaFile_;
    std::string defaultCaPath_;
    CURLcode result_ = CURLE_OK;
    std::vector<char> pending_; // body bytes delivered but not yet received
    size_t pendingOffset_ = 0;
    uint64_t arrived_ = 0; // header and body bytes so far
    Clock::time_point lastArrival_;
    std::chrono::milliseconds receiveTimeout_{15000};
};

} // namespace

std::unique_ptr<Transport> CreateTransport() {
    if (!AcquireCurl())
        return nullptr;
    std::unique_ptr<Transport> transport(new (std::nothrow) CurlTransport());
    if (!transport)
        ReleaseCurl();
    return transport;
}

std::string EnvironmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

} // namespace skyloom
