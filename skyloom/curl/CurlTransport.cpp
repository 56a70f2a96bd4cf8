// The transport over libcurl's multi interface: the request advances only
// while the download object waits for headers or for body bytes it has not
// got yet, so the memory held is what the network delivered in one step.
//
// Timeouts: curl's connect timeout, our own receive timeout measured from
// the last byte (header or body) that arrived, and the request's deadline.
// The transfer only moves inside Step, which checks both clocks each time
// round, so neither can be outrun by a server that trickles.
//
// Every line of each reply's head goes through the shared rules
// (skyloom/Reply.h) as curl hands it over; redirects are followed here, by
// the shared rule, not by curl. The proxy is left to curl, with the settings
// made explicit so that curl's own reading of the environment cannot
// disagree with the Windows build.
//
// https: the server's certificate and host name are always verified, against
// the system's CA bundle or the file SKYLOOM_CA_FILE names.

#include "skyloom/Reply.h"
#include "skyloom/Status.h"
#include "skyloom/Transport.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace skyloom {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// curl_global_init and curl_global_cleanup, paired by a count of live
// transports, so that unloading the library leaves nothing of curl behind.
std::mutex globalMutex;
int globalUsers = 0;

bool AcquireCurl() {
    std::lock_guard<std::mutex> lock(globalMutex);
    if (globalUsers == 0 && curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        return false;
    }
    ++globalUsers;
    return true;
}

void ReleaseCurl() {
    std::lock_guard<std::mutex> lock(globalMutex);
    if (--globalUsers == 0) {
        curl_global_cleanup();
    }
}

// How much of a redirect's own body is read so that its connection can be
// kept; a longer one costs the connection instead.
constexpr size_t kRedirectBodyLimit = 64 * 1024;

// The failure of a transfer curl ended with code, where nothing of ours
// explains it.
Failure FailureOf(CURLcode code) {
    switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
        return Failure::kCannotConnect;
    case CURLE_OPERATION_TIMEDOUT:
        return Failure::kTimedOut;
    case CURLE_OUT_OF_MEMORY:
        return Failure::kOutOfMemory;
    case CURLE_GOT_NOTHING:
        return Failure::kClosedBeforeReply;
    case CURLE_PARTIAL_FILE:
        return Failure::kCutShort;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        return Failure::kCertificateRejected;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_USE_SSL_FAILED:
        return Failure::kSecureChannelFailed;
    default:
        return Failure::kTransferFailed;
    }
}

class CurlTransport final : public Transport {
public:
    CurlTransport() = default;
    ~CurlTransport() override {
        End();
        if (easy_ != nullptr) {
            curl_easy_cleanup(easy_);
        }
        if (multi_ != nullptr) {
            curl_multi_cleanup(multi_);
        }
        ReleaseCurl();
    }
    CurlTransport(const CurlTransport&) = delete;
    CurlTransport& operator=(const CurlTransport&) = delete;

    int32_t Begin(const Url& first, const Settings& settings) override {
        End();
        detail_.clear();
        receiveTimeout_ = milliseconds(settings.receiveTimeoutMs);
        deadlineMs_ = settings.deadlineMs;
        deadline_ = Clock::now() + milliseconds(settings.deadlineMs);
        // The handles live as long as the object: the multi handle keeps the
        // connection to the server (or proxy) open for the next request.
        if (multi_ == nullptr) {
            multi_ = curl_multi_init();
        }
        if (easy_ == nullptr && multi_ != nullptr) {
            easy_ = curl_easy_init();
            if (easy_ != nullptr && !SetFixedOptions()) {
                curl_easy_cleanup(easy_);
                easy_ = nullptr;
                return Fail(Failure::kTransferFailed);
            }
        }
        if (multi_ == nullptr || easy_ == nullptr) {
            return Fail(Failure::kOutOfMemory);
        }
        if (!SetRequestOptions(settings)) {
            return Fail(Failure::kTransferFailed);
        }
        Url url = first;
        for (int redirects = 0;; ++redirects) {
            bool follow = false;
            int32_t status = Perform(url, settings);
            if (status >= 0) {
                status = TakeFinalHead(head_, redirects, url, follow);
            }
            if (status < 0) {
                return status;
            }
            if (follow) {
                LetRedirectFinish();
                continue;
            }
            if (head_.FieldCount() == 0) {
                return Fail(HeadWithoutFields(BodyFollows()));
            }
            return kOk;
        }
    }

    int32_t Receive(char* destination, size_t capacity, size_t& received) override {
        received = 0;
        if (easy_ == nullptr || !added_) {
            return Fail(Failure::kTransferFailed);
        }
        // Nothing is received while the caller is away: the idle timeout
        // counts from now (the deadline does not).
        lastArrival_ = Clock::now();
        while (pendingOffset_ == pending_.size()) {
            if (done_) {
                return result_ == CURLE_OK ? kOk : Failed();
            }
            const int32_t status = Step();
            if (status < 0) {
                return status;
            }
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
        if (added_) {
            curl_multi_remove_handle(multi_, easy_);
        }
        added_ = false;
        ResetReply();
    }

private:
    // The options every request of this handle shares, set once.
    bool SetFixedOptions() {
        RememberDefaultAuthorities();
        return curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L) == CURLE_OK &&
               curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
               curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
               curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK &&
               curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK &&
               curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L) == CURLE_OK &&
               // Redirects go through the shared rule, one request each.
               curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L) == CURLE_OK &&
               // A reply without a status line is handed over as a body, so
               // that the shared rules, not curl, name it.
               curl_easy_setopt(easy_, CURLOPT_HTTP09_ALLOWED, 1L) == CURLE_OK &&
               curl_easy_setopt(easy_, CURLOPT_USERAGENT, "Skyloom/1.0") == CURLE_OK &&
               curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &CurlTransport::OnHeader) ==
                   CURLE_OK &&
               curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this) == CURLE_OK &&
               curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &CurlTransport::OnBody) == CURLE_OK &&
               curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this) == CURLE_OK &&
               curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorText_) == CURLE_OK;
    }

    // The options that follow the settings of this request.
    bool SetRequestOptions(const Settings& settings) {
        const std::string proxy = settings.proxy.use ? "http://" + settings.proxy.authority : "";
        // The file named in the settings replaces the system's bundle; the
        // system's own is set back explicitly, since the handle is reused.
        const char* caFile = settings.caFile.empty()
                                 ? (defaultCaFile_.empty() ? nullptr : defaultCaFile_.c_str())
                                 : settings.caFile.c_str();
        const char* caPath =
            settings.caFile.empty() && !defaultCaPath_.empty() ? defaultCaPath_.c_str() : nullptr;
        return curl_easy_setopt(easy_, CURLOPT_CAINFO, caFile) == CURLE_OK &&
               curl_easy_setopt(easy_, CURLOPT_CAPATH, caPath) == CURLE_OK &&
               // An empty proxy turns curl's own reading of http_proxy off:
               // the setting read by ReadSettings is the only one.
               curl_easy_setopt(easy_, CURLOPT_PROXY, proxy.c_str()) == CURLE_OK &&
               curl_easy_setopt(easy_, CURLOPT_NOPROXY, settings.noProxy.c_str()) == CURLE_OK;
    }

    // The CA bundle and folder curl was built to use.
    void RememberDefaultAuthorities() {
        char* value = nullptr;
        if (curl_easy_getinfo(easy_, CURLINFO_CAINFO, &value) == CURLE_OK && value != nullptr) {
            defaultCaFile_ = value;
        }
        value = nullptr;
        if (curl_easy_getinfo(easy_, CURLINFO_CAPATH, &value) == CURLE_OK && value != nullptr) {
            defaultCaPath_ = value;
        }
    }

    void ResetReply() {
        headersFinal_ = false;
        done_ = false;
        expectStatus_ = true;
        sawStatusLine_ = false;
        headEnded_ = false;
        failure_ = Failure::kNone;
        head_ = ReplyHead();
        result_ = CURLE_OK;
        errorText_[0] = 0;
        std::vector<char>().swap(pending_);
        pendingOffset_ = 0;
    }

    // One request of the chain: sends it and waits until its final reply's
    // head is in (or the transfer ended).
    int32_t Perform(const Url& url, const Settings& settings) {
        if (added_) {
            curl_multi_remove_handle(multi_, easy_);
            added_ = false;
        }
        ResetReply();
        const auto left =
            std::chrono::duration_cast<milliseconds>(deadline_ - Clock::now()).count();
        if (left <= 0) {
            return Fail(Failure::kDeadline, std::to_string(deadlineMs_));
        }
        const long connectTimeout = static_cast<long>(
            std::min<long long>(settings.connectTimeoutMs, std::max<long long>(left, 1)));
        if (curl_easy_setopt(easy_, CURLOPT_URL, url.text.c_str()) != CURLE_OK ||
            curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS, connectTimeout) != CURLE_OK ||
            curl_multi_add_handle(multi_, easy_) != CURLM_OK) {
            return Fail(Failure::kTransferFailed);
        }
        added_ = true;
        lastArrival_ = Clock::now();
        while (!headersFinal_ && !done_) {
            const int32_t status = Step();
            if (status < 0) {
                return status;
            }
        }
        if (done_ && result_ != CURLE_OK) {
            return Failed();
        }
        if (failure_ != Failure::kNone) {
            return Fail(failure_, head_.Detail());
        }
        // The transfer ended without a final head: inside a head, or after
        // an interim reply (before the final one began).
        if (!headersFinal_) {
            return Fail(expectStatus_ ? Failure::kClosedBeforeReply
                                      : Failure::kClosedAfterStatusLine);
        }
        return kOk;
    }

    // A redirect's body is not wanted, but reading a short one to its end
    // keeps the connection for the next request.
    void LetRedirectFinish() {
        size_t discarded = 0;
        while (!done_ && discarded <= kRedirectBodyLimit) {
            discarded += pending_.size() - pendingOffset_;
            pending_.clear();
            pendingOffset_ = 0;
            if (Step() < 0) {
                break;
            }
        }
        // Nothing of this is a failure of the request.
        detail_.clear();
    }

    // Whether the reply has any body byte (waiting for one if needed).
    bool BodyFollows() {
        while (pending_.empty() && !done_) {
            if (Step() < 0) {
                return false;
            }
        }
        return !pending_.empty();
    }

    // The status and log text of a transfer curl ended, or our callbacks
    // ended for a reason they recorded.
    int32_t Failed() {
        if (failure_ != Failure::kNone) {
            return Fail(failure_, head_.Detail());
        }
        if (result_ == CURLE_OUT_OF_MEMORY && !headEnded_) {
            // curl refuses a header line over its own limit as "out of
            // memory"; no real shortage happens before the headers are in.
            return Fail(Failure::kHeaderTooLarge);
        }
        if (!sawStatusLine_ &&
            (result_ == CURLE_UNSUPPORTED_PROTOCOL || result_ == CURLE_WEIRD_SERVER_REPLY)) {
            // A reply without a status line would have arrived as a body:
            // this one began like a status line that curl could not read.
            return Fail(Failure::kMalformedStatusLine);
        }
        if (sawStatusLine_ && !headEnded_) {
            if (result_ == CURLE_WEIRD_SERVER_REPLY) {
                // curl's own checks of a field, made before the line reaches
                // OnHeader: a NUL in it, or a Content-Length it cannot read.
                return Fail(std::strstr(errorText_, "Content-Length") != nullptr
                                ? Failure::kMalformedLength
                                : Failure::kMalformedField);
            }
            if (result_ != CURLE_OPERATION_TIMEDOUT) {
                return Fail(Failure::kClosedAfterStatusLine);
            }
        }
        const Failure failure = FailureOf(result_);
        return Fail(failure, failure == Failure::kTransferFailed ? errorText_ : "");
    }

    // Advances the transfer once: lets curl work, then, if nothing arrived,
    // waits for the sockets, but fails once nothing has arrived for the
    // receive timeout or the deadline has passed.
    int32_t Step() {
        const uint64_t before = arrived_;
        int running = 0;
        if (curl_multi_perform(multi_, &running) != CURLM_OK) {
            return Fail(Failure::kTransferFailed);
        }
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
            if (message->msg == CURLMSG_DONE) {
                done_ = true;
                result_ = message->data.result;
            }
        }
        const Clock::time_point now = Clock::now();
        if (arrived_ != before) {
            lastArrival_ = now;
        }
        if (now >= deadline_) {
            return Fail(Failure::kDeadline, std::to_string(deadlineMs_));
        }
        if (done_ || arrived_ != before) {
            return kOk;
        }
        const auto idle = now - lastArrival_;
        if (idle >= receiveTimeout_) {
            return Fail(Failure::kTimedOut);
        }
        const auto left = std::min(std::chrono::duration_cast<milliseconds>(receiveTimeout_ - idle),
                                   std::chrono::duration_cast<milliseconds>(deadline_ - now));
        const int wait = static_cast<int>(std::clamp<long long>(left.count(), 1, 1000));
        int ready = 0;
        if (curl_multi_poll(multi_, nullptr, 0, wait, &ready) != CURLM_OK) {
            return Fail(Failure::kTransferFailed);
        }
        // A socket that became ready has bytes (or its end) for curl: a
        // header trickling in keeps the request alive as body bytes do,
        // though curl hands header lines over only once they are whole.
        if (ready > 0) {
            lastArrival_ = Clock::now();
        }
        return kOk;
    }

    // One line of a reply's head, as curl hands it over (with its line end).
    // Nothing may be thrown through curl: a shortage of memory ends the
    // transfer instead.
    static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
        auto* transport = static_cast<CurlTransport*>(self);
        const size_t bytes = size * count;
        transport->arrived_ += bytes;
        std::string_view line(data, bytes);
        if (!line.empty() && line.back() == '\n') {
            line.remove_suffix(1);
        }
        try {
            return transport->TakeHeaderLine(line) ? bytes : 0; // 0: curl ends the transfer
        } catch (...) {
            transport->failure_ = Failure::kOutOfMemory;
            return 0;
        }
    }

    bool TakeHeaderLine(std::string_view line) {
        Failure failure = Failure::kNone;
        if (expectStatus_) {
            expectStatus_ = false;
            sawStatusLine_ = true;
            headEnded_ = false;
            failure = head_.Start(line);
        } else if (line.empty() || line == "\r") {
            headEnded_ = true;
            failure = head_.Finish();
            if (failure == Failure::kNone && IsInterim(head_.Code())) {
                expectStatus_ = true; // the final reply is still to come
            } else {
                headersFinal_ = true;
            }
        } else {
            failure = head_.AddField(line);
        }
        failure_ = failure;
        return failure == Failure::kNone;
    }

    static size_t OnBody(char* data, size_t size, size_t count, void* self) {
        auto* transport = static_cast<CurlTransport*>(self);
        const size_t bytes = size * count;
        transport->arrived_ += bytes;
        if (!transport->sawStatusLine_) {
            // HTTP/0.9 or no HTTP at all.
            transport->failure_ = Failure::kNotHttp;
            return 0;
        }
        transport->headersFinal_ = true;
        try {
            transport->pending_.insert(transport->pending_.end(), data, data + bytes);
        } catch (...) {
            transport->failure_ = Failure::kOutOfMemory;
            return 0; // curl ends the transfer with a write error
        }
        return bytes;
    }

    CURLM* multi_ = nullptr;
    CURL* easy_ = nullptr;
    bool added_ = false;
    bool headersFinal_ = false; // the final reply's head is in
    bool done_ = false;
    bool expectStatus_ = true; // the next header line starts a reply
    bool sawStatusLine_ = false;
    bool headEnded_ = false;           // the head of the reply being received ended
    Failure failure_ = Failure::kNone; // why a callback ended the transfer
    ReplyHead head_;                   // of the reply being received
    char errorText_[CURL_ERROR_SIZE] = {};
    std::string defaultCaFile_;
    std::string defaultCaPath_;
    CURLcode result_ = CURLE_OK;
    std::vector<char> pending_; // body bytes delivered but not yet received
    size_t pendingOffset_ = 0;
    uint64_t arrived_ = 0; // header and body bytes so far
    Clock::time_point lastArrival_;
    milliseconds receiveTimeout_{15000};
    Clock::time_point deadline_;
    uint32_t deadlineMs_ = 0;
};

} // namespace

std::unique_ptr<Transport> CreateTransport() {
    if (!AcquireCurl()) {
        return nullptr;
    }
    std::unique_ptr<Transport> transport(new (std::nothrow) CurlTransport());
    if (!transport) {
        ReleaseCurl();
    }
    return transport;
}

} // namespace skyloom
