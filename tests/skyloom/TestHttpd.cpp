// lexigrove-testhttpd: the HTTP server the online library's tests talk to.
// Listens on 127.0.0.1 on a free port and serves fixed replies (sizes,
// redirects, errors, stalls, and an echo of absolute-form requests as a proxy
// receives them), and, as a proxy, hostile dictionary replies. Bounded: it stops on SIGTERM or
// SIGINT, and by itself after --lifetime seconds; a stalling reply gives up after 10 s.
//
// With --tls-dir, four https servers on further loopback ports serve the same
// routes, each with one certificate of DIR (made by make-test-certs): good,
// expired, wronghost and untrusted. /to-tls/NAME/PATH on any server
// redirects to https://localhost:PORT/PATH of the server NAME (a host name:
// not every client matches a certificate's IP address entries).
//
//   lexigrove-testhttpd --port-file FILE [--tls-dir DIR] [--lifetime S] [--background]
//       Serves. FILE receives "port closed-port pid" once it listens
//       (closed-port: a loopback port nothing listens on), followed by the
//       four https ports in the order above when --tls-dir is given. With
//       --background, returns as soon as the server is ready (exit 0) or
//       has failed to start (exit 1), the server going on detached.
//   lexigrove-testhttpd --stop FILE
//       Stops the server FILE names and waits (at most 10 s) for it to go.
//
// The server removes FILE when it stops (unless another server has
// replaced it meanwhile).

#include "TestBytes.h"
#include "tests/support/ServerProcess.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
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
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using skyloom_test::ReplyBytes;

std::atomic<bool> stopping{false};

constexpr size_t kMaxReply = 64u << 20;
constexpr auto kStallLimit = 10s;

// Waits until the server stops or the stall limit passes.
void Stall() {
    const auto until = std::chrono::steady_clock::now() + kStallLimit;
    while (!stopping && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(20ms);
}

// A loopback port that was free a moment ago and has nobody listening.
int ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

const char* const kTlsNames[] = {"good", "expired", "wronghost", "untrusted"};

bool WritePortFile(const std::string& path, int port, int closedPort,
                   const std::vector<int>& tlsPorts) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << port << ' ' << closedPort << ' ' << getpid();
        for (int tlsPort : tlsPorts)
            out << ' ' << tlsPort;
        out << '\n';
        if (!out)
            return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

void ServeBytes(httplib::Response& res, size_t size) {
    res.set_content_provider(size, "application/octet-stream",
                             [](size_t offset, size_t length, httplib::DataSink& sink) {
                                 const std::string piece =
                                     ReplyBytes(offset, std::min<size_t>(length, 65536));
                                 return sink.write(piece.data(), piece.size());
                             });
}

size_t SizeParameter(const httplib::Request& req) {
    const unsigned long long size = std::strtoull(req.matches[1].str().c_str(), nullptr, 10);
    return static_cast<size_t>(std::min<unsigned long long>(size, kMaxReply));
}

// A dictionary reply with one translation, for the good lookups between the
// hostile ones.
const char kGoodReply[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<dictionary status=\"ok\"><result><word name=\"calm\"/>"
                          "<translations><item name=\"calme\" type=\"adj\"/></translations>"
                          "</result></dictionary>\n";
constexpr size_t kHugeReply = 100u << 20;
constexpr size_t kDeepNesting = 100000;

// Dictionary requests (through the proxy) whose word starts "hostile-":
//   hostile-good      a valid reply with one translation
//   hostile-halfway   half the announced bytes of a valid reply, then the
//                     connection is dropped
//   hostile-endless   headers and the start of a reply, then nothing until
//                     the stall limit passes
//   hostile-huge      100 MB: an opened reply whose text never ends
//   hostile-notxml    a reply that is not XML
//   hostile-deep      well-formed XML nested 100,000 elements deep
//   hostile-500       status 500 with a valid reply as its body
bool HostileDictionaryReply(const httplib::Request& req, httplib::Response& res) {
    const std::string marker = "/serverjobs/dictionary.php?";
    const size_t query = req.target.find(marker);
    // The plugin escapes the "-" as %2D; a client may send it back as "-".
    if (query == std::string::npos)
        return false;
    std::string kind;
    for (const std::string prefix : {"word=hostile%2D", "word=hostile-"}) {
        const size_t word = req.target.find(prefix, query);
        if (word != std::string::npos) {
            kind = req.target.substr(word + prefix.size());
            break;
        }
    }
    if (kind.empty())
        return false;
    const std::string good = kGoodReply;
    if (kind == "good") {
        res.set_content(good, "text/xml");
    } else if (kind == "halfway") {
        res.set_content_provider(good.size(), "text/xml",
                                 [good](size_t, size_t, httplib::DataSink& sink) {
                                     sink.write(good.data(), good.size() / 2);
                                     return false;
                                 });
    } else if (kind == "endless") {
        res.set_content_provider(good.size(), "text/xml",
                                 [good](size_t, size_t, httplib::DataSink& sink) {
                                     sink.write(good.data(), 40);
                                     Stall();
                                     return false;
                                 });
    } else if (kind == "huge") {
        res.set_content_provider(
            kHugeReply, "text/xml", [](size_t offset, size_t length, httplib::DataSink& sink) {
                static const std::string head = "<dictionary status=\"ok\"><result>"
                                                "<word name=\"w\"/><translations>";
                std::string piece(std::min<size_t>(length, 1u << 20), 'x');
                if (offset == 0)
                    piece.replace(0, head.size(), head);
                return sink.write(piece.data(), piece.size());
            });
    } else if (kind == "notxml") {
        res.set_content("Service temporarily unavailable, try later.\n", "text/plain");
    } else if (kind == "deep") {
        std::string deep = "<dictionary status=\"ok\">";
        deep.reserve(kDeepNesting * 7 + 64);
        for (size_t i = 0; i < kDeepNesting; ++i)
            deep += "<a>";
        for (size_t i = 0; i < kDeepNesting; ++i)
            deep += "</a>";
        deep += "</dictionary>\n";
        res.set_content(deep, "text/xml");
    } else if (kind == "500") {
        res.status = 500;
        res.set_content(good, "text/xml");
    } else {
        res.status = 404;
        res.set_content("no such hostile reply", "text/plain");
    }
    return true;
}

// port: the plain http server's; tlsPorts: the https servers', in the order
// of kTlsNames (empty without --tls-dir).
void AddRoutes(httplib::Server& server, int port, const std::vector<int>& tlsPorts) {
    server.Get("/empty", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("", "application/octet-stream");
    });
    server.Get(R"(/bytes/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
        ServeBytes(res, SizeParameter(req));
    });
    server.Get(R"(/dir/bytes/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
        ServeBytes(res, SizeParameter(req));
    });
    // The same bytes in chunked encoding, in pieces of 1000 bytes with short
    // pauses, so the client receives less than it asks for at a time.
    server.Get(R"(/chunked/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
        const size_t size = SizeParameter(req);
        res.set_chunked_content_provider(
            "application/octet-stream", [size](size_t offset, httplib::DataSink& sink) {
                if (offset >= size) {
                    sink.done();
                    return true;
                }
                const std::string piece = ReplyBytes(offset, std::min<size_t>(1000, size - offset));
                if ((offset / 1000) % 8 == 7)
                    std::this_thread::sleep_for(2ms);
                return sink.write(piece.data(), piece.size());
            });
    });
    server.Get("/redirect", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("/bytes/4096", 302);
    });
    server.Get("/redirect-absolute", [port](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("http://127.0.0.1:" + std::to_string(port) + "/bytes/4096", 301);
    });
    server.Get("/dir/redirect-relative", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("bytes/4096", 307);
    });
    server.Get(R"(/to-tls/(\w+)(/.*))", [tlsPorts](const httplib::Request& req,
                                                   httplib::Response& res) {
        for (size_t i = 0; i < tlsPorts.size(); ++i) {
            if (req.matches[1].str() == kTlsNames[i]) {
                res.set_redirect(
                    "https://localhost:" + std::to_string(tlsPorts[i]) + req.matches[2].str(), 302);
                return;
            }
        }
        res.status = 404;
        res.set_content("no such https server", "text/plain");
    });
    server.Get("/redirect-loop", [](const httplib::Request&, httplib::Response& res) {
        res.set_redirect("/redirect-loop", 302);
    });
    // /chain/N: N redirects before the 4096 bytes.
    server.Get(R"(/chain/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
        const size_t left = SizeParameter(req);
        if (left == 0)
            ServeBytes(res, 4096);
        else
            res.set_redirect("/chain/" + std::to_string(left - 1), 302);
    });
    server.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
        res.status = 404;
        res.set_content("no such entry", "text/plain");
    });
    server.Get("/error", [](const httplib::Request&, httplib::Response& res) {
        res.status = 500;
        res.set_content("failed", "text/plain");
    });
    // The request target as received, for checking what the client sent.
    server.Get("/echo", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content("GET " + req.target, "text/plain");
    });
    // Headers and 10 of the 100 announced bytes, then nothing until the
    // stall limit passes; then the connection is dropped.
    server.Get("/stall", [](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(100, "application/octet-stream",
                                 [](size_t, size_t, httplib::DataSink& sink) {
                                     const std::string piece = ReplyBytes(0, 10);
                                     sink.write(piece.data(), piece.size());
                                     Stall();
                                     return false;
                                 });
    });
    // Nothing at all until the stall limit passes.
    server.Get("/stall-headers", [](const httplib::Request&, httplib::Response& res) {
        Stall();
        res.set_content("late", "text/plain");
    });
    // 500 of the 1000 announced bytes, then the connection is dropped.
    server.Get("/truncated", [](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(1000, "application/octet-stream",
                                 [](size_t, size_t, httplib::DataSink& sink) {
                                     const std::string piece = ReplyBytes(0, 500);
                                     sink.write(piece.data(), piece.size());
                                     return false;
                                 });
    });
    // A request in absolute form is what a proxy receives: echo it, with
    // the Host header, instead of routing it; except a dictionary request
    // for one of the hostile words, which gets that word's reply.
    server.set_pre_routing_handler([](const httplib::Request& req, httplib::Response& res) {
        if (req.target.compare(0, 7, "http://") != 0)
            return httplib::Server::HandlerResponse::Unhandled;
        if (HostileDictionaryReply(req, res))
            return httplib::Server::HandlerResponse::Handled;
        res.set_content("PROXY GET " + req.target + " HOST " + req.get_header_value("Host"),
                        "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
}

// One request per connection and short socket timeouts: no worker is held by
// an idle client for long, so stalled tests cannot starve later ones. The
// wait for the request itself is longer: a client under the i386 emulation
// on a busy machine has been seen to spend 11 s verifying the certificate
// between the end of the TLS handshake and its request.
void Configure(httplib::Server& server) {
    server.new_task_queue = [] { return new httplib::ThreadPool(16); };
    server.set_keep_alive_max_count(1);
    server.set_keep_alive_timeout(60);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
}

int Serve(const std::string& portFile, const std::string& tlsDir, int lifetimeSeconds,
          int readyPipe) {
    // SIGTERM and SIGINT are taken by the watcher below, not by a handler.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    httplib::Server server;
    Configure(server);
    const int port = server.bind_to_any_port("127.0.0.1");
    if (port <= 0)
        return 1;
    std::vector<std::unique_ptr<httplib::SSLServer>> tlsServers;
    std::vector<int> tlsPorts;
    if (!tlsDir.empty()) {
        for (const char* name : kTlsNames) {
            const std::string base = tlsDir + "/" + name;
            auto tls = std::make_unique<httplib::SSLServer>((base + ".pem").c_str(),
                                                            (base + ".key").c_str());
            if (!tls->is_valid()) {
                std::fprintf(stderr, "lexigrove-testhttpd: cannot use %s.pem\n", base.c_str());
                return 1;
            }
            Configure(*tls);
            const int tlsPort = tls->bind_to_any_port("127.0.0.1");
            if (tlsPort <= 0)
                return 1;
            tlsPorts.push_back(tlsPort);
            tlsServers.push_back(std::move(tls));
        }
    }
    AddRoutes(server, port, tlsPorts);
    for (auto& tls : tlsServers)
        AddRoutes(*tls, port, tlsPorts);
    if (!WritePortFile(portFile, port, ClosedPort(), tlsPorts))
        return 1;
    if (readyPipe >= 0) {
        const char ready = 1;
        (void)!write(readyPipe, &ready, 1);
        close(readyPipe);
    }

    std::vector<std::thread> tlsListeners;
    for (auto& tls : tlsServers)
        tlsListeners.emplace_back([&tls] { tls->listen_after_bind(); });
    std::thread watcher([&server, &tlsServers, &signals, lifetimeSeconds] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(lifetimeSeconds);
        timespec tick{0, 200 * 1000 * 1000};
        while (std::chrono::steady_clock::now() < until) {
            if (sigtimedwait(&signals, nullptr, &tick) > 0)
                break;
        }
        stopping = true;
        server.stop();
        for (auto& tls : tlsServers)
            tls->stop();
    });
    server.listen_after_bind();
    stopping = true;
    server.stop();
    watcher.join();
    for (auto& tls : tlsServers)
        tls->stop();
    for (std::thread& listener : tlsListeners)
        listener.join();
    // Only our own port file: a later server may have replaced it.
    std::ifstream in(portFile);
    long filePort = 0;
    long fileClosedPort = 0;
    long filePid = 0;
    if (in >> filePort >> fileClosedPort >> filePid && filePid == getpid()) {
        in.close();
        std::remove(portFile.c_str());
    }
    return 0;
}

int Background(const std::string& portFile, const std::string& tlsDir, int lifetimeSeconds) {
    const int status = testserver::Detach("lexigrove-testhttpd", portFile, [&](int readyPipe) {
        return Serve(portFile, tlsDir, lifetimeSeconds, readyPipe);
    });
    if (status == 0)
        std::printf("lexigrove-testhttpd: serving, details in %s\n", portFile.c_str());
    return status;
}

} // namespace

int main(int argc, char** argv) {
    std::string portFile;
    std::string stopFile;
    std::string tlsDir;
    int lifetime = 600;
    bool background = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--port-file" && i + 1 < argc)
            portFile = argv[++i];
        else if (arg == "--tls-dir" && i + 1 < argc)
            tlsDir = argv[++i];
        else if (arg == "--stop" && i + 1 < argc)
            stopFile = argv[++i];
        else if (arg == "--lifetime" && i + 1 < argc)
            lifetime = std::max(1, std::min(3600, std::atoi(argv[++i])));
        else if (arg == "--background")
            background = true;
        else {
            std::fprintf(stderr, "lexigrove-testhttpd: unknown argument %s\n", arg.c_str());
            return 2;
        }
    }
    if (!stopFile.empty())
        return testserver::Stop("lexigrove-testhttpd", stopFile, 3);
    if (portFile.empty()) {
        std::fprintf(stderr, "usage: lexigrove-testhttpd --port-file FILE [--tls-dir DIR] "
                             "[--lifetime S] [--background] | --stop FILE\n");
        return 2;
    }
    return background ? Background(portFile, tlsDir, lifetime)
                      : Serve(portFile, tlsDir, lifetime, -1);
}
