// The dictionary service as a child process of a test, and a minimal HTTP
// client that sends exactly the bytes a test gives it.
#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

namespace servicetest {

class ServiceProcess {
public:
    // Starts the service on port 0 with the extra arguments (and the extra
    // NAME=value environment) and waits (at most 60 s: a preload may come
    // first) for its "listening ADDRESS:PORT" line. port() is 0 on failure.
    // errorPath: a file for its standard error (inherited when empty).
    explicit ServiceProcess(const std::vector<std::string>& arguments,
                            const std::vector<std::string>& environment = {},
                            const std::string& errorPath = "");
    // Stops the service with SIGTERM if still running.
    ~ServiceProcess();
    ServiceProcess(const ServiceProcess&) = delete;
    ServiceProcess& operator=(const ServiceProcess&) = delete;

    int port() const { return port_; }
    const std::string& firstLine() const { return firstLine_; }

    // Sends signal and waits at most timeoutMs for the exit. The exit status
    // (0..255), 128 + n for death by signal n, or -1 when it did not end.
    int Stop(int signal, int timeoutMs);
    void Signal(int signal);
    // What the service wrote to standard output after its first line, as
    // far as it arrives within timeoutMs.
    std::string Output(int timeoutMs);

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_; // output read with the first line
    int port_ = 0;
    std::string firstLine_;
};

struct HttpReply {
    int status = 0;      // 0 when no reply arrived
    std::string headers; // the status line and headers
    std::string body;
};

// Sends "GET target HTTP/1.1" with Host and Connection: close to
// 127.0.0.1:port and reads the reply to the end (5 s limit).
HttpReply Get(int port, const std::string& target);
// Sends raw bytes and reads the reply to the end.
HttpReply SendRaw(int port, const std::string& request);
// The same to an IPv4 or IPv6 address.
HttpReply SendRawTo(const std::string& host, int port, const std::string& request);
// A socket connected to host:port with 5 s send and receive limits; -1 when
// the connection fails.
int Connect(const std::string& host, int port);

} // namespace servicetest
