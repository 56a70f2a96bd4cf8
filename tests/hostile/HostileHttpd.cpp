// lexigrove-hostile-httpd: a dictionary service on 127.0.0.1 that
// misbehaves on purpose, written on plain sockets so that it can break HTTP
// in ways a real server library never would. Requests arrive in proxy form
// (the client's http_proxy points here); the word of a dictionary request,
// "hostile-KIND", names the behaviour (see Reply below).
//
// Connections are kept alive as an HTTP/1.1 server keeps them (until the
// client closes, asks for "Connection: close", or stays idle 30 s), so that
// a client which leaves connections open can be caught: FILE.stats holds
// "open N accepted M" and is rewritten whenever N changes.
//
//   lexigrove-hostile-httpd --port-file FILE [--lifetime S]
//       Serves in the background once listening (exit 0), or exits 1.
//       FILE receives "port pid".
//   lexigrove-hostile-httpd --stop FILE
//       Stops that server and waits (at most 10 s) for it to go.

#include "tests/support/ServerProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::atomic<bool> stopping{false};
std::atomic<int> openConnections{0};
std::atomic<int> acceptedConnections{0};
std::mutex statsMutex;
std::string statsFile;

constexpr auto kIdleLimit = 30s;
constexpr auto kStallLimit = 10s;
constexpr size_t kMaxRequest = 64 * 1024;

void WriteStats() {
    std::lock_guard<std::mutex> lock(statsMutex);
    const std::string temporary = statsFile + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << "open " << openConnections.load() << " accepted " << acceptedConnections.load()
            << '\n';
    }
    std::rename(temporary.c_str(), statsFile.c_str());
}

// Sends all of text; false once the client has gone.
bool Send(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

void Sleep(std::chrono::milliseconds time) {
    const auto until = std::chrono::steady_clock::now() + time;
    while (!stopping && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
}

const std::string kGood = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<dictionary status=\"ok\"><result><word name=\"calm\"/>"
                          "<translations><item name=\"calme\" type=\"adj\"/></translations>"
                          "</result></dictionary>\n";

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string Head(const std::string& status, const std::string& fields) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: text/xml\r\n" + fields + "\r\n";
}

std::string Length(uint64_t length) {
    return "Content-Length: " + std::to_string(length) + "\r\n";
}

// Streams a document of total bytes: head, then blanks, then tail.
bool Stream(int fd, const std::string& head, uint64_t total, const std::string& tail) {
    if (!Send(fd, Head("200 OK", Length(total)) + head))
        return false;
    const std::string blanks(1 << 20, ' ');
    uint64_t left = total - head.size() - tail.size();
    while (left > 0 && !stopping) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, blanks.size()));
        if (!Send(fd, blanks.substr(0, piece)))
            return false;
        left -= piece;
    }
    return Send(fd, tail);
}

// Answers one request for kind. False: close the connection afterwards.
bool Reply(int fd, const std::string& kind) {
    const std::string good = kGood;
    const size_t n = good.size();
    if (kind == "good")
        return Send(fd, Head("200 OK", Length(n)) + good);
    if (kind == "halfway")
        return Send(fd, Head("200 OK", Length(n)) + good.substr(0, n / 2)), false;
    if (kind == "endless") {
        Send(fd, Head("200 OK", Length(n)) + good.substr(0, 40));
        Sleep(kStallLimit);
        return false;
    }
    if (kind == "chunk-cutoff")
        return Send(fd, Head("200 OK", "Transfer-Encoding: chunked\r\n") + "7fffffff\r\n" + good),
               false;
    if (kind == "chunk-nofinal")
        return Send(fd, Head("200 OK", "Transfer-Encoding: chunked\r\n") + Hex(n) + "\r\n" + good +
                            "\r\n"),
               false;
    if (kind == "chunk-hugesize")
        return Send(fd, Head("200 OK", "Transfer-Encoding: chunked\r\n") + "ffffffffffffffff\r\n" +
                            good),
               false;
    if (kind == "chunk-nocrlf")
        return Send(fd, Head("200 OK", "Transfer-Encoding: chunked\r\n") + Hex(n) + "\r\n" + good +
                            "0\r\n\r\n"),
               false;
    if (kind == "half-length")
        return Send(fd, Head("200 OK", Length(n / 2)) + good), false;
    if (kind == "junk-after")
        return Send(fd, Head("200 OK", Length(n)) + good + "JUNK AFTER THE BODY\r\n\r\n");
    if (kind == "http09")
        return Send(fd, good), false;
    if (kind == "204-body")
        return Send(fd, Head("204 No Content", Length(n)) + good);
    if (kind == "header-line") {
        const std::string line = "X-Big: " + std::string(1 << 20, 'a') + "\r\n";
        return Send(fd, Head("200 OK", line + Length(n)) + good), false;
    }
    if (kind == "header-lines") {
        std::string lines;
        for (int i = 0; i < 2000; ++i)
            lines += "X-Filler-" + std::to_string(i) + ": " + std::string(500, 'b') + "\r\n";
        return Send(fd, Head("200 OK", lines + Length(n)) + good), false;
    }
    if (kind == "two-lengths")
        return Send(fd, Head("200 OK", Length(n) + Length(n + 5)) + good), false;
    if (kind == "negative-length")
        return Send(fd, Head("200 OK", "Content-Length: -1\r\n") + good), false;
    if (kind == "trickle") {
        // 8 bytes of the status line 600 ms apart (4.8 s in all, each gap
        // well inside the client's idle timeout), then the rest at once.
        const std::string reply = Head("200 OK", Length(n)) + good;
        for (size_t i = 0; i < 8; ++i) {
            if (!Send(fd, reply.substr(i, 1)))
                return false;
            Sleep(600ms);
        }
        return Send(fd, reply.substr(8));
    }
    if (kind == "redirect-port0")
        return Send(fd, Head("302 Found", "Location: http://127.0.0.1:0/x\r\n" + Length(0)));
    if (kind == "414")
        return Send(fd, Head("414 URI Too Long", Length(0)));
    if (kind == "500")
        return Send(fd, Head("500 Internal Server Error", Length(n)) + good);
    if (kind == "close-noreply")
        return false;
    if (kind == "notxml") {
        const std::string text = "Service temporarily unavailable, try later.\n";
        return Send(fd, Head("200 OK", Length(text.size())) + text);
    }
    if (kind == "huge")
        return Stream(fd, "<dictionary status=\"ok\"><result><word name=\"w\"/><translations>",
                      100u << 20, "");
    if (kind == "2gib")
        // Valid XML of 2^31 + 43 bytes: the blanks are one line of 2^31.
        return Stream(fd, "<dictionary status=\"ok\">", (uint64_t(1) << 31) + 43,
                      "</dictionary>\n"),
               false;
    if (kind == "near-limit")
        // A valid reply of 64 MiB less 1 KiB: the largest that is taken.
        return Stream(fd, good.substr(0, good.size() - 14), (uint64_t(64) << 20) - 1024,
                      "</dictionary>\n");
    return Send(fd, Head("404 Not Found", Length(0)));
}

// The KIND of a dictionary request for "hostile-KIND" (the plugin escapes
// the "-" as %2D), or "" for anything else.
std::string KindOf(const std::string& target) {
    for (const std::string prefix : {"word=hostile%2D", "word=hostile-"}) {
        const size_t at = target.find(prefix);
        if (at == std::string::npos)
            continue;
        std::string kind =
            target.substr(at + prefix.size(), target.find_first_of("& ", at) - at - prefix.size());
        for (size_t dash; (dash = kind.find("%2D")) != std::string::npos;)
            kind.replace(dash, 3, "-");
        return kind;
    }
    return "";
}

bool AsksToClose(const std::string& head) {
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.find("\r\nconnection: close") != std::string::npos ||
           lower.find("\r\nproxy-connection: close") != std::string::npos;
}

void Serve(int fd) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        // One request head, while the client keeps the connection and talks.
        size_t end;
        auto idleSince = std::chrono::steady_clock::now();
        while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
            if (stopping || pending.size() > kMaxRequest ||
                std::chrono::steady_clock::now() - idleSince > kIdleLimit)
                goto done;
            pollfd wait{fd, POLLIN, 0};
            if (poll(&wait, 1, 200) <= 0)
                continue;
            const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
            if (got <= 0)
                goto done;
            pending.append(buffer, static_cast<size_t>(got));
            idleSince = std::chrono::steady_clock::now();
        }
        {
            const std::string head = pending.substr(0, end);
            pending.erase(0, end + 4);
            const std::string target = head.substr(0, head.find("\r\n"));
            if (!Reply(fd, KindOf(target)) || AsksToClose(head))
                break;
        }
    }
done:
    close(fd);
    --openConnections;
    WriteStats();
}

int Run(const std::string& portFile, int lifetime, int readyPipe) {
    signal(SIGPIPE, SIG_IGN);
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    const int yes = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) ||
        listen(listener, 64) ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length))
        return 1;
    statsFile = portFile + ".stats";
    WriteStats();
    {
        const std::string temporary = portFile + ".tmp";
        std::ofstream(temporary, std::ios::trunc)
            << ntohs(address.sin_port) << ' ' << getpid() << '\n';
        if (std::rename(temporary.c_str(), portFile.c_str()) != 0)
            return 1;
    }
    const char ready = 1;
    (void)!write(readyPipe, &ready, 1);
    close(readyPipe);

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread watcher([&signals, lifetime] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime);
        timespec tick{0, 200 * 1000 * 1000};
        while (std::chrono::steady_clock::now() < until &&
               sigtimedwait(&signals, nullptr, &tick) <= 0)
            ;
        stopping = true;
    });
    while (!stopping) {
        pollfd wait{listener, POLLIN, 0};
        if (poll(&wait, 1, 200) <= 0)
            continue;
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0)
            continue;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
        ++openConnections;
        ++acceptedConnections;
        WriteStats();
        std::thread(Serve, fd).detach();
    }
    watcher.join();
    close(listener);
    // The connection threads see stopping within 200 ms.
    for (int i = 0; i < 50 && openConnections > 0; ++i)
        std::this_thread::sleep_for(100ms);
    std::remove(statsFile.c_str());
    std::remove(portFile.c_str());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string portFile;
    std::string stopFile;
    int lifetime = 900;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--port-file")
            portFile = argv[i + 1];
        else if (arg == "--stop")
            stopFile = argv[i + 1];
        else if (arg == "--lifetime")
            lifetime = std::max(1, std::min(3600, std::atoi(argv[i + 1])));
    }
    if (!stopFile.empty())
        return testserver::Stop("lexigrove-hostile-httpd", stopFile, 2);
    if (portFile.empty()) {
        std::fprintf(stderr, "usage: lexigrove-hostile-httpd --port-file FILE [--lifetime S] | "
                             "--stop FILE\n");
        return 2;
    }
    return testserver::Detach("lexigrove-hostile-httpd", portFile,
                              [&](int readyPipe) { return Run(portFile, lifetime, readyPipe); });
}
