// The seam between the download object and the system's HTTP client: one
// GET at a time, its body received in pieces of whatever size the network
// delivers. One implementation per build (curl/ natively, wininet/ on
// Windows); they apply the same rules (skyloom/Reply.h, the redirect rule of
// skyloom/Request.h) and name their failures from the same vocabulary
// (skyloom/Status.h), so both builds give one verdict and one log text.
#pragma once

#include "skyloom/Reply.h"
#include "skyloom/Request.h"
#include "skyloom/Status.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace skyloom {

class Transport {
public:
    virtual ~Transport() = default;

    // Sends a GET for url and waits for the final reply's headers, following
    // at most kMaxRedirects redirects, through settings.proxy unless the
    // host bypasses it. kOk when a 2xx reply's body is ready to be received;
    // a negative status otherwise (End must still be called). The request's
    // deadline (settings.deadlineMs) runs from here to the last Receive.
    virtual int32_t Begin(const Url& url, const Settings& settings) = 0;
    // Receives between 1 and capacity bytes of the body into destination and
    // stores the count in received; received 0 means the body is complete.
    // Waits at most the receive timeout for the next bytes, and never past
    // the deadline. Negative status on failure, including a body cut short.
    virtual int32_t Receive(char* destination, size_t capacity, size_t& received) = 0;
    // Ends the request and releases its connection; harmless when idle.
    virtual void End() = 0;

    // What went wrong in the last failed Begin or Receive, for the log
    // ("server refused: 414 URI Too Long", "not an HTTP reply"); empty when
    // the status alone says it. Cleared by the next Begin.
    const std::string& Detail() const { return detail_; }

protected:
    // Records why the request failed; returns the failure's status.
    int32_t Fail(Failure failure, std::string_view detail = {}) {
        detail_ = Describe(failure, detail);
        return StatusOf(failure);
    }

    // What the final reply's head to the request for url means, by the one
    // redirect rule, with redirects already followed: kOk and follow set,
    // url now the redirect's target; kOk, follow clear, for a 2xx reply
    // whose body is to be read; or the failure's status.
    int32_t TakeFinalHead(const ReplyHead& head, int redirects, Url& url, bool& follow) {
        const Redirect redirect = RedirectOf(url, head.Code(), head.Locations(), head.Location());
        follow = redirect.follow;
        if (redirect.failure != Failure::kNone) {
            return Fail(redirect.failure);
        }
        if (follow) {
            if (redirects == kMaxRedirects) {
                return Fail(Failure::kTooManyRedirects);
            }
            url = redirect.next;
            return kOk;
        }
        if (head.Code() < 200 || head.Code() > 299) {
            return Fail(Failure::kRefused, RefusedDetail(head.Code(), head.Phrase()));
        }
        return kOk;
    }

    std::string detail_;
};

// The build's transport; null when the system's client cannot start.
std::unique_ptr<Transport> CreateTransport();

} // namespace skyloom
