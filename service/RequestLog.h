// The request log: one line per request, appended to a file (reopened on
// request, so that a rotated file is let go) or written to standard output.
//
//   2025-01-31T12:00:00.123456Z 127.0.0.1:51234 GET /serverjobs/dictionary.php?... 200 1 412
//
// time the request line arrived (UTC), client address and port, method,
// target, HTTP status (0 when the client left before a reply), results in
// the reply and microseconds from the request line to the reply. Bytes of the
// method and target outside printable ASCII, and space, '"' and '\', are
// written as %XX, so a line is always one line of ASCII fields.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace service {

// text with every byte outside '!'..'~', and '"' and '\', as %XX.
std::string EscapeLogField(std::string_view text);

// The UTC time as "YYYY-MM-DDTHH:MM:SS.uuuuuuZ".
std::string FormatLogTime(std::chrono::system_clock::time_point time);

struct RequestRecord {
    std::chrono::system_clock::time_point time;
    std::string client;
    std::string_view method, target;
    int status = 0;
    size_t results = 0;
    long long microseconds = 0;
};

class RequestLog {
public:
    RequestLog() = default;
    ~RequestLog();
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;

    // path: a file to append to, or "-" for standard output. False with a
    // reason when the file cannot be opened.
    bool Open(const std::string& path, std::string* error);
    // Opens the file again (after it was moved away); standard output stays.
    // False with a reason when it cannot, and the old file is kept.
    bool Reopen(std::string* error);
    bool enabled() const { return fd_ >= 0; }

    // Writes one line; safe from several threads. A line that cannot be
    // written (disk full) is dropped.
    void Write(const RequestRecord& record);

private:
    std::mutex mutex_;
    std::string path_;
    int fd_ = -1;
};

} // namespace service
