// lexigrove-service: the local dictionary service on 127.0.0.1.
//
//   lexigrove-service [PORT] [--port PORT] [--port-file PATH] [--data DIR]
//                     [--request-log PATH] [--address IPV4]
//
// PORT 0 (the default) picks a free port. --address replaces 127.0.0.1 (the
// round-trip benchmark serves inside a network namespace of its own). The
// first line on standard output is "listening ADDRESS:PORT"; --port-file also writes the port to
// PATH (complete when it appears). --request-log appends one line per request: method, target,
// status, result count and the client's port (one port per connection, so the lines show how many
// connections the clients made). Runs until SIGINT or SIGTERM, then exits 0.
#include "service/DictionaryService.h"

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include <pthread.h>
#include <sys/stat.h>
#include <time.h>

namespace {

constexpr int kUsage = 64;

void Usage(std::FILE* to) {
    std::fputs("usage: lexigrove-service [PORT] [--port PORT] [--port-file PATH] [--data DIR]\n"
               "                         [--request-log PATH] [--address IPV4]\n"
               "Answers /serverjobs/dictionary.php?fromlang=..&tolang=..&word=.. on 127.0.0.1\n"
               "from the FreeDict dictd files in DIR (default /usr/share/dictd).\n"
               "PORT 0 (default) picks a free port; the first output line names it.\n",
               to);
}

bool ParsePort(const char* text, int* port) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || value > 65535) {
        return false;
    }
    *port = static_cast<int>(value);
    return true;
}

bool WritePortFile(const std::string& path, int port) {
    const std::string temporary = path + ".tmp";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << port << '\n';
        if (!out.flush()) {
            return false;
        }
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

} // namespace

int main(int argc, char** argv) {
    int port = 0;
    std::string portFile, requestLogPath;
    std::string address = "127.0.0.1";
    std::string data = "/usr/share/dictd";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "lexigrove-service: %s needs a value\n", name);
                std::exit(kUsage);
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--port") {
            if (!ParsePort(value("--port"), &port)) {
                std::fprintf(stderr, "lexigrove-service: bad port %s\n", argv[i]);
                return kUsage;
            }
        } else if (arg == "--port-file") {
            portFile = value("--port-file");
        } else if (arg == "--data") {
            data = value("--data");
        } else if (arg == "--address") {
            address = value("--address");
        } else if (arg == "--request-log") {
            requestLogPath = value("--request-log");
        } else if (arg.size() > 0 && arg[0] != '-' && ParsePort(arg.c_str(), &port)) {
            // the port as a plain argument
        } else {
            std::fprintf(stderr, "lexigrove-service: unknown argument %s\n", arg.c_str());
            Usage(stderr);
            return kUsage;
        }
    }
    struct stat info {};
    if (stat(data.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        std::fprintf(stderr, "lexigrove-service: no dictionary folder %s\n", data.c_str());
        return 1;
    }

    // SIGINT and SIGTERM are taken by sigwait in the main thread only: block
    // them before the server starts its worker threads, which inherit the mask.
    // A shell starts background jobs with SIGINT ignored, and an ignored
    // signal is discarded rather than left pending: restore the default.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    service::DictionaryService dictionary(data);
    std::mutex logMutex;
    std::ofstream requestLog;
    if (!requestLogPath.empty()) {
        requestLog.open(requestLogPath, std::ios::app);
        if (!requestLog) {
            std::fprintf(stderr, "lexigrove-service: cannot write %s\n", requestLogPath.c_str());
            return 1;
        }
    }

    httplib::Server server;
    server.set_keep_alive_max_count(100);
    // Headers and body go out in separate writes: without this a client on a
    // kept-alive connection waits for its delayed acknowledgement each time.
    server.set_tcp_nodelay(true);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_payload_max_length(64 * 1024);
    // Every request goes through here: the target may be in absolute form
    // (requests sent through a proxy), which the router does not match.
    server.set_pre_routing_handler(
        [&](const httplib::Request& request, httplib::Response& response) {
            service::Answer answer;
            if (request.method != "GET" && request.method != "HEAD") {
                answer.httpStatus = 405;
                answer.body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                              "<dictionary status=\"error\" message=\"method not allowed\"/>\n";
            } else {
                answer = dictionary.Handle(request.target);
            }
            response.status = answer.httpStatus;
            response.set_content(answer.body, "text/xml; charset=UTF-8");
            if (requestLog.is_open()) {
                std::lock_guard<std::mutex> lock(logMutex);
                requestLog << request.method << ' ' << request.target << ' ' << answer.httpStatus
                           << ' ' << answer.results << ' ' << request.remote_port << std::endl;
            }
            return httplib::Server::HandlerResponse::Handled;
        });

    if (port == 0) {
        port = server.bind_to_any_port(address);
        if (port < 0) {
            std::fprintf(stderr, "lexigrove-service: cannot listen on %s\n", address.c_str());
            return 1;
        }
    } else if (!server.bind_to_port(address, port)) {
        std::fprintf(stderr, "lexigrove-service: cannot listen on %s:%d\n", address.c_str(), port);
        return 1;
    }
    if (!portFile.empty() && !WritePortFile(portFile, port)) {
        std::fprintf(stderr, "lexigrove-service: cannot write %s\n", portFile.c_str());
        return 1;
    }
    std::printf("listening %s:%d\n", address.c_str(), port);
    std::fflush(stdout);

    std::atomic<bool> listenerEnded{false};
    std::thread listener([&] {
        server.listen_after_bind();
        listenerEnded = true;
    });
    int stopped = 0;
    while (stopped == 0 && !listenerEnded) {
        const timespec wait{0, 200 * 1000 * 1000};
        const int signal = sigtimedwait(&stopSignals, nullptr, &wait);
        if (signal == SIGINT || signal == SIGTERM) {
            stopped = signal;
        }
    }
    // A signal that comes before the listener has started would find nothing
    // to stop: keep asking until the listener has ended.
    while (!listenerEnded) {
        server.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    listener.join();
    if (!portFile.empty()) {
        std::remove(portFile.c_str());
    }
    return 0;
}
