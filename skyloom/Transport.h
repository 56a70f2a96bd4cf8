// The seam between the download object and the system's HTTP client: one
// GET at a time, its body received in pieces of whatever size the network
// delivers. One implementation per build (curl/ natively, wininet/ on
// Windows); they agree on the behaviour stated here.
#pragma once

#include "skyloom/Request.h"

#include <cstddef>
#include <memory>
#include <string>

namespace skyloom {

class Transport {
public:
    virtual ~Transport() = default;

    // Sends a GET for url and waits for the final reply's headers, following
    // at most kMaxRedirects redirects, through settings.proxy unless the
    // host bypasses it. kOk when a 2xx reply's body is ready to be received;
    // a negative status otherwise (End must still be called).
    virtual int32_t Begin(const Url& url, const Settings& settings) = 0;
    // Receives between 1 and capacity bytes of the body into destination and
    // stores the count in received; received 0 means the body is complete.
    // Waits at most the receive timeout for the next bytes. Negative status
    // on failure, including a body cut short.
    virtual int32_t Receive(char* destination, size_t capacity, size_t& received) = 0;
    // Ends the request and releases its connection; harmless when idle.
    virtual void End() = 0;

    // What went wrong in the last failed Begin or Receive, for the log
    // ("server refused: 414 URI Too Long", "not an HTTP reply"); empty when
    // the status alone says it. Cleared by the next Begin.
    const std::string& Detail() const { return detail_; }

protected:
    std::string detail_;
};

// The build's transport; null when the system's client cannot start.
std::unique_ptr<Transport> CreateTransport();

// Reads an environment variable of the process; empty when it is not set.
std::string EnvironmentValue(const char* name);

} // namespace skyloom
