// lexigrove-hostile-httpd: a dictionary service on 127.0.0.1 that
// misbehaves on purpose, written on plain sockets so that it can break HTTP
// in ways a real server library never would. Requests arrive in proxy form
// (the client's http_proxy points here); the word of a dictionary request,
// "hostile-KIND", names the behaviour (see Reply below).
//
// Connections are kept alive as an HTTP/1.1 server keeps them (until the
// client closes, asks for "Connection: close", or stays idle 30 s), so that
// a client which leaves connections open can be caught: FILE.stats holds
// "open N accepted M" and is rewritten whenever N changes. After each reply
// that streams a large body, FILE.sent holds "KIND BYTES": the body bytes the
// server could write before the client hung up.
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
std::string sentFile;

constexpr auto kIdleLimit = 30s;
constexpr auto kStallLimit = 10s;
// How long a drip goes on when the client does not hang up.
constexpr auto kDripLimit = 150s;
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

// Records what a streamed reply could write before the client hung up.
void WriteSent(const std::string& kind, uint64_t bytes) {
    std::lock_guard<std::mutex> lock(statsMutex);
    const std::string temporary = sentFile + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << kind << ' ' << bytes << '\n';
    }
    std::rename(temporary.c_str(), sentFile.c_str());
}

// Sends size bytes of data; false once the client has gone. sent (when
// given) grows by every byte the socket took, whole or not.
bool Send(int fd, const char* data, size_t size, uint64_t* sent = nullptr) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = send(fd, data + done, size - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
        if (sent != nullptr) {
            *sent += static_cast<uint64_t>(n);
        }
    }
    return true;
}

bool Send(int fd, const std::string& text) {
    return Send(fd, text.data(), text.size());
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

// Streams a document of total bytes as fast as the client takes it: head,
// then blanks, then tail; fields are the header fields (Content-Length:
// total unless given). Records the body bytes the socket took under kind.
bool Stream(int fd, const std::string& kind, const std::string& head, uint64_t total,
            const std::string& tail, const std::string& fields = "") {
    static const std::string blanks(1 << 20, ' ');
    uint64_t sent = 0;
    bool whole = Send(fd, Head("200 OK", fields.empty() ? Length(total) : fields)) &&
                 Send(fd, head.data(), head.size(), &sent);
    uint64_t left = total - head.size() - tail.size();
    while (whole && left > 0 && !stopping) {
        const size_t piece = static_cast<size_t>(std::min<uint64_t>(left, blanks.size()));
        whole = Send(fd, blanks.data(), piece, &sent);
        left -= piece;
    }
    whole = whole && left == 0 && Send(fd, tail.data(), tail.size(), &sent);
    WriteSent(kind, sent);
    return whole;
}

// Sends text one byte at a time, gap apart, until it is all sent, the client
// goes or the drip limit passes.
void Drip(int fd, const std::string& text, std::chrono::milliseconds gap) {
    const auto until = std::chrono::steady_clock::now() + kDripLimit;
    for (size_t i = 0; i < text.size() && !stopping && std::chrono::steady_clock::now() < until;
         ++i) {
        if (!Send(fd, text.substr(i, 1))) {
            return;
        }
        Sleep(gap);
    }
}

// Ends the connection with a reset (RST) instead of an orderly close.
void Reset(int fd) {
    const linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
}

// Answers one request for kind. False: close the connection afterwards.
bool Reply(int fd, const std::string& kind) {
    const std::string good = kGood;
    const size_t n = good.size();
    if (kind == "good") {
        return Send(fd, Head("200 OK", Length(n)) + good);
    }
    if (kind == "halfway") {
        return Send(fd, Head("200 OK", Length(n)) + good.substr(0, n / 2)), false;
    }
    if (kind == "endless") {
        Send(fd, Head("200 OK", Length(n)) + good.substr(0, 40));
        Sleep(kStallLimit);
        return false;
    }
    if (kind == "chunk-cutoff") {
        return Send(fd, Head("200 OK", "Transfer-Encoding: chunked\r\n") + "7fffffff\r\n" + good),
               false;
    }
    if (kind == "chunk-nofinal") {
        return Send(fd, Head("200 OK", "Transfer-Encoding: chunked\r\n") + Hex(n) + "\r\n" + good +
                            "\r\n"),
               false;
    }
    if (kind == "chunk-hugesize") {
        return Send(fd, Head("200 OK", "Transfer-Encoding: chunked\r\n") + "ffffffffffffffff\r\n" +
                            good),
               false;
    }
    if (kind == "chunk-nocrlf") {
        return Send(fd, Head("200 OK", "Transfer-Encoding: chunked\r\n") + Hex(n) + "\r\n" + good +
                            "0\r\n\r\n"),
               false;
    }
    if (kind == "half-length") {
        return Send(fd, Head("200 OK", Length(n / 2)) + good), false;
    }
    if (kind == "junk-after") {
        return Send(fd, Head("200 OK", Length(n)) + good + "JUNK AFTER THE BODY\r\n\r\n");
    }
    if (kind == "http09") {
        return Send(fd, good), false;
    }
    if (kind == "204-body") {
        return Send(fd, Head("204 No Content", Length(n)) + good);
    }
    if (kind == "header-line") {
        const std::string line = "X-Big: " + std::string(1 << 20, 'a') + "\r\n";
        return Send(fd, Head("200 OK", line + Length(n)) + good), false;
    }
    if (kind == "header-lines") {
        std::string lines;
        for (int i = 0; i < 2000; ++i) {
            lines += "X-Filler-" + std::to_string(i) + ": " + std::string(500, 'b') + "\r\n";
        }
        return Send(fd, Head("200 OK", lines + Length(n)) + good), false;
    }
    if (kind == "two-lengths") {
        return Send(fd, Head("200 OK", Length(n) + Length(n + 5)) + good), false;
    }
    if (kind == "negative-length") {
        return Send(fd, Head("200 OK", "Content-Length: -1\r\n") + good), false;
    }
    if (kind == "no-fields") {
        return Send(fd, "HTTP/1.1 200 OK\r\n\r\n" + good), false;
    }
    if (kind == "trickle" || kind == "slow-head") {
        // 8 bytes of the status line 600 ms apart (4.8 s in all, each gap
        // well inside the client's idle timeout), then the rest at once.
        const std::string reply = Head("200 OK", Length(n)) + good;
        for (size_t i = 0; i < 8; ++i) {
            if (!Send(fd, reply.substr(i, 1))) {
                return false;
            }
            Sleep(600ms);
        }
        return Send(fd, reply.substr(8));
    }
    if (kind == "redirect-port0") {
        return Send(fd, Head("302 Found", "Location: http://127.0.0.1:0/x\r\n" + Length(0)));
    }
    if (kind == "414") {
        return Send(fd, Head("414 URI Too Long", Length(0)));
    }
    if (kind == "500") {
        return Send(fd, Head("500 Internal Server Error", Length(n)) + good);
    }
    if (kind == "close-noreply") {
        return false;
    }
    if (kind == "notxml") {
        const std::string text = "Service temporarily unavailable, try later.\n";
        return Send(fd, Head("200 OK", Length(text.size())) + text);
    }
    if (kind == "huge") {
        return Stream(fd, kind,
                      "<dictionary status=\"ok\"><result><word name=\"w\"/><translations>",
                      100u << 20, "");
    }
    if (kind == "huge-length") {
        // Announced as 400,000,000 bytes; streamed as fast as the client takes them.
        return Stream(fd, kind, "<dictionary status=\"ok\">", 400000000, "</dictionary>\n"), false;
    }
    if (kind == "huge-unannounced") {
        // 100 MiB with no length, ended by the close: the bound is found
        // only by counting.
        return Stream(fd, kind, "<dictionary status=\"ok\">", 100u << 20, "</dictionary>\n",
                      "Connection: close\r\n"),
               false;
    }
    if (kind == "2gib") {
        // Valid XML of 2^31 + 43 bytes with no length, ended by the close:
        // the blanks are one line of 2^31.
        return Stream(fd, kind, "<dictionary status=\"ok\">", (uint64_t(1) << 31) + 43,
                      "</dictionary>\n", "Connection: close\r\n"),
               false;
    }
    if (kind == "near-limit") {
        // A valid reply of 64 MiB less 1 KiB: the largest that is taken.
        return Stream(fd, kind, good.substr(0, good.size() - 14), (uint64_t(64) << 20) - 1024,
                      "</dictionary>\n");
    }
    if (kind == "drip") {
        // The whole reply announced, then one byte of it every 500 ms: never
        // idle for long, never done.
        Send(fd, Head("200 OK", Length(n)));
        Drip(fd, good, 500ms);
        return false;
    }
    if (kind == "drip-stall") {
        // Four bytes of the body 500 ms apart, then nothing for a while: the
        // wait for the fifth begins late in the request.
        Send(fd, Head("200 OK", Length(n)));
        Drip(fd, good.substr(0, 4), 500ms);
        Sleep(kStallLimit);
        return false;
    }
    if (kind == "head-drip") {
        // The status line, then a field one byte every 300 ms (8.4 s), then
        // the rest of the reply.
        const std::string field = "X-Drip: " + std::string(18, 'a') + "\r\n";
        if (!Send(fd, "HTTP/1.1 200 OK\r\n")) {
            return false;
        }
        Drip(fd, field, 300ms);
        return Send(fd, Head("200 OK", Length(n)).substr(17) + good), false;
    }
    // Interim replies before the final one (RFC 9110 15.2).
    if (kind == "interim-103") {
        return Send(fd, "HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n" +
                            Head("200 OK", Length(n)) + good);
    }
    if (kind == "interim-100-103") {
        return Send(fd, "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 103 Early Hints\r\n"
                        "Link: </a.css>; rel=preload\r\n\r\n" +
                            Head("200 OK", Length(n)) + good);
    }
    if (kind == "interim-chunked") {
        return Send(fd, "HTTP/1.1 102 Processing\r\n\r\n" +
                            Head("200 OK", "Transfer-Encoding: chunked\r\n") + Hex(20) + "\r\n" +
                            good.substr(0, 20) + "\r\n" + Hex(n - 20) + "\r\n" + good.substr(20) +
                            "\r\n0\r\n\r\n");
    }
    if (kind == "interim-redirect") {
        // An interim reply, a redirect, and then (to the good reply) a
        // request of its own: nothing of the first reply may carry over.
        return Send(
            fd, "HTTP/1.1 103 Early Hints\r\n\r\n" +
                    Head("302 Found",
                         "Location: /serverjobs/dictionary.php?word=hostile-good\r\n" + Length(5)) +
                    "moved");
    }
    if (kind == "interim-101") {
        return Send(fd, "HTTP/1.1 101 Switching Protocols\r\nUpgrade: h2c\r\n\r\n" +
                            Head("200 OK", Length(n)) + good),
               false;
    }
    // Content-Length forms (RFC 9110 8.6).
    if (kind == "length-same-list") {
        return Send(fd, Head("200 OK", "Content-Length: " + std::to_string(n) + ", " +
                                           std::to_string(n) + "\r\n") +
                            good);
    }
    if (kind == "length-same-twice") {
        return Send(fd, Head("200 OK", Length(n) + Length(n)) + good);
    }
    if (kind == "length-list") {
        return Send(fd, Head("200 OK", "Content-Length: " + std::to_string(n) + ", " +
                                           std::to_string(n + 40) + "\r\n") +
                            good),
               false;
    }
    if (kind == "length-plus") {
        return Send(fd, Head("200 OK", "Content-Length: +" + std::to_string(n) + "\r\n") + good),
               false;
    }
    // Status lines that do not parse (RFC 9112 4).
    if (kind == "status-word") {
        return Send(fd,
                    "HTTP/1.1 abc OK\r\nContent-Length: " + std::to_string(n) + "\r\n\r\n" + good),
               false;
    }
    if (kind == "status-2000") {
        return Send(fd,
                    "HTTP/1.1 2000 OK\r\nContent-Length: " + std::to_string(n) + "\r\n\r\n" + good),
               false;
    }
    if (kind == "status-20") {
        return Send(fd,
                    "HTTP/1.1 20 OK\r\nContent-Length: " + std::to_string(n) + "\r\n\r\n" + good),
               false;
    }
    if (kind == "reset-after-status") {
        Send(fd, "HTTP/1.1 200 OK\r\n");
        Sleep(100ms);
        Reset(fd);
        return false;
    }
    if (kind == "close-after-status") {
        Send(fd, "HTTP/1.1 200 OK\r\n");
        return false;
    }
    if (kind == "nul-header") {
        return Send(fd, Head("200 OK", std::string("X-Note: a\0b\r\n", 13) + Length(n)) + good),
               false;
    }
    if (kind == "space-in-name") {
        return Send(fd, Head("200 OK", "X Note: a\r\n" + Length(n)) + good), false;
    }
    if (kind == "gzip") {
        // The first bytes of a gzip stream, as a server that compresses
        // unasked would send them.
        const std::string gzip("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10);
        return Send(fd, Head("200 OK", "Content-Encoding: gzip\r\n" + Length(gzip.size())) + gzip);
    }
    if (kind == "gzip-chunked") {
        return Send(fd, Head("200 OK", "Transfer-Encoding: gzip, chunked\r\n") + Hex(n) + "\r\n" +
                            good + "\r\n0\r\n\r\n"),
               false;
    }
    if (kind == "utf16") {
        // The reply in UTF-16 (little-endian) with its byte-order mark.
        std::string utf16 = "\xff\xfe";
        for (char c : good) {
            utf16 += c;
            utf16 += '\0';
        }
        return Send(fd, Head("200 OK", Length(utf16.size())) + utf16);
    }
    if (kind == "redirect-space") {
        return Send(fd, Head("302 Found", "Location: /serverjobs/a b\r\n" + Length(0)));
    }
    if (kind == "redirect-300") {
        return Send(
            fd, Head("300 Multiple Choices",
                     "Location: http://127.0.0.1/serverjobs/dictionary.php?word=hostile-good\r\n" +
                         Length(0)));
    }
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
    sentFile = portFile + ".sent";
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
    std::remove(sentFile.c_str());
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
