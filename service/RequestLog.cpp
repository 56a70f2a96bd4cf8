#include "service/RequestLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace service {

std::string EscapeLogField(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > ' ' && byte < 0x7F && c != '"' && c != '\\') {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    if (out.empty()) {
        out = "-";
    }
    return out;
}

std::string FormatLogTime(std::chrono::system_clock::time_point time) {
    const auto since = time.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    const long long micro =
        std::chrono::duration_cast<std::chrono::microseconds>(since - seconds).count();
    const std::time_t whole = static_cast<std::time_t>(seconds.count());
    std::tm utc{};
    gmtime_r(&whole, &utc);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, micro);
    return text;
}

RequestLog::~RequestLog() {
    if (fd_ > STDERR_FILENO) {
        close(fd_);
    }
}

bool RequestLog::Open(const std::string& path, std::string* error) {
    path_ = path;
    if (path == "-") {
        fd_ = STDOUT_FILENO;
        return true;
    }
    return Reopen(error);
}

bool RequestLog::Reopen(std::string* error) {
    if (path_.empty() || path_ == "-") {
        return true;
    }
    const int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot write " + path_ + ": " + std::strerror(errno);
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ > STDERR_FILENO) {
        close(fd_);
    }
    fd_ = fd;
    return true;
}

void RequestLog::Write(const RequestRecord& record) {
    std::string line = FormatLogTime(record.time);
    line += ' ';
    line += record.client;
    line += ' ';
    line += EscapeLogField(record.method);
    line += ' ';
    line += EscapeLogField(record.target);
    line += ' ' + std::to_string(record.status) + ' ' + std::to_string(record.results) + ' ' +
            std::to_string(record.microseconds) + '\n';
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ < 0) {
        return;
    }
    // One write per line: with O_APPEND, lines of several processes sharing a
    // file stay whole.
    size_t at = 0;
    while (at < line.size()) {
        const ssize_t n = write(fd_, line.data() + at, line.size() - at);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        at += static_cast<size_t>(n);
    }
}

} // namespace service
