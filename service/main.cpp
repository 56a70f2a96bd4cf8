// lexigrove-service: the local dictionary service.
//
//   lexigrove-service [PORT] [--port PORT] [--port-file PATH] [--data DIR]
//                     [--request-log PATH] [--address ADDRESS]
//                     [--idle-timeout SECONDS] [--threads N]
//   lexigrove-service --list [--data DIR]
//
// PORT 0 (the default) picks a free port. --address is any IPv4 or IPv6
// address, 0.0.0.0 and :: (every interface) included; the default is
// 127.0.0.1. The first line on standard output is "listening ADDRESS:PORT"
// ("[ADDRESS]:PORT" for IPv6); --port-file also writes the port to PATH
// (complete when it appears). --request-log appends one line per request:
// method, target, status, result count and the client's port (one port per
// connection, so the lines show how many connections the clients made).
// --list prints the directions the dictionaries in DIR serve, each with the
// data that gives the lemmas of its words ("folding only" where none is
// installed), and exits.
// Runs until SIGINT or SIGTERM, then exits 0.
//
// The server is libmicrohttpd's event loop (epoll) on --threads threads
// (default 8), each serving its share of the connections: an idle kept-alive
// connection costs a socket and a little memory, never a thread, so idle
// clients cannot hold back a new one. --idle-timeout (default 5 s) closes a
// connection that has said nothing for that long.
#include "service/DictionaryService.h"

#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <string>

namespace {

constexpr int kUsage = 64;
// Bytes a connection may use for its request; a request line longer than
// this (a word of tens of thousands of characters) is answered 414.
constexpr size_t kConnectionMemory = 256 * 1024;

void Usage(std::FILE* to) {
    std::fputs("usage: lexigrove-service [PORT] [--port PORT] [--port-file PATH] [--data DIR]\n"
               "                         [--request-log PATH] [--address ADDRESS]\n"
               "                         [--idle-timeout SECONDS] [--threads N]\n"
               "       lexigrove-service --list [--data DIR]\n"
               "Answers /serverjobs/dictionary.php?fromlang=..&tolang=..&word=.. on ADDRESS\n"
               "(default 127.0.0.1; any IPv4 or IPv6 address, 0.0.0.0 and :: included)\n"
               "from the FreeDict dictd files in DIR (default /usr/share/dictd).\n"
               "PORT 0 (default) picks a free port; the first output line names it.\n"
               "--list prints the directions DIR's dictionaries serve.\n",
               to);
}

bool ParseNumber(const char* text, long low, long high, long* out) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < low || value > high) {
        return false;
    }
    *out = value;
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

// A listening TCP socket on address:port (port 0: a free one); -1 with
// *error set when the address is not an IP address or cannot be bound.
int Listen(const std::string& address, int port, int* boundPort, std::string* error) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        length = sizeof *v4;
    } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        length = sizeof *v6;
    } else {
        *error = address + " is not an IPv4 or IPv6 address";
        return -1;
    }
    const int s = socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        *error = std::strerror(errno);
        return -1;
    }
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(s, reinterpret_cast<sockaddr*>(&storage), length) != 0 || listen(s, 1024) != 0) {
        *error = std::strerror(errno);
        close(s);
        return -1;
    }
    sockaddr_storage bound{};
    socklen_t boundLength = sizeof bound;
    getsockname(s, reinterpret_cast<sockaddr*>(&bound), &boundLength);
    *boundPort =
        ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return s;
}

struct Server {
    service::DictionaryService* dictionary = nullptr;
    std::mutex logMutex;
    std::ofstream requestLog;
};

int ClientPort(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) {
        return 0;
    }
    const sockaddr* address = info->client_addr;
    return ntohs(address->sa_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6*>(address)->sin6_port
                     : reinterpret_cast<const sockaddr_in*>(address)->sin_port);
}

// The request target exactly as it arrived (libmicrohttpd hands the handler
// a decoded path and decoded arguments; the service reads the raw target
// itself, absolute form of proxied requests included). Kept as the
// request's context until the request completes.
struct RequestContext {
    std::string target;
    bool headersSeen = false;
};

void* KeepTarget(void*, const char* uri, MHD_Connection*) {
    auto* context = new RequestContext;
    context->target = uri == nullptr ? "" : uri;
    return context;
}

void RequestDone(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    delete static_cast<RequestContext*>(*context);
    *context = nullptr;
}

MHD_Result Handle(void* cls, MHD_Connection* connection, const char*, const char* method,
                  const char*, const char*, size_t* uploadSize, void** context) {
    auto* server = static_cast<Server*>(cls);
    auto* request = static_cast<RequestContext*>(*context);
    if (request == nullptr) {
        return MHD_NO;
    }
    // The first call brings the headers, further calls the body, the last
    // one nothing: a reply queued before that last call closes the
    // connection instead of keeping it.
    if (!request->headersSeen || *uploadSize != 0) {
        request->headersSeen = true;
        *uploadSize = 0; // a body is not used
        return MHD_YES;
    }
    const std::string* target = &request->target;
    service::Answer answer;
    const bool read = std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0;
    if (!read) {
        answer.httpStatus = 405;
        answer.body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<dictionary status=\"error\" message=\"method not allowed\"/>\n";
    } else {
        answer = server->dictionary->Handle(*target);
    }
    MHD_Response* response = MHD_create_response_from_buffer(
        answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, "Content-Type", "text/xml; charset=UTF-8");
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(answer.httpStatus), response);
    MHD_destroy_response(response);
    if (server->requestLog.is_open()) {
        std::lock_guard<std::mutex> lock(server->logMutex);
        server->requestLog << method << ' ' << *target << ' ' << answer.httpStatus << ' '
                           << answer.results << ' ' << ClientPort(connection) << std::endl;
    }
    return queued;
}

} // namespace

int main(int argc, char** argv) {
    long port = 0, idleTimeout = 5, threads = 8;
    bool list = false;
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
        auto number = [&](const char* name, long low, long high, long* out) {
            const char* text = value(name);
            if (!ParseNumber(text, low, high, out)) {
                std::fprintf(stderr, "lexigrove-service: bad %s %s\n", name, text);
                std::exit(kUsage);
            }
        };
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (arg == "--list") {
            list = true;
        } else if (arg == "--port") {
            number("--port", 0, 65535, &port);
        } else if (arg == "--idle-timeout") {
            number("--idle-timeout", 1, 3600, &idleTimeout);
        } else if (arg == "--threads") {
            number("--threads", 1, 64, &threads);
        } else if (arg == "--port-file") {
            portFile = value("--port-file");
        } else if (arg == "--data") {
            data = value("--data");
        } else if (arg == "--address") {
            address = value("--address");
        } else if (arg == "--request-log") {
            requestLogPath = value("--request-log");
        } else if (!arg.empty() && arg[0] != '-' && ParseNumber(arg.c_str(), 0, 65535, &port)) {
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
    service::DictionaryService dictionary(data);
    if (list) {
        std::map<std::string, std::string> sources; // by code: the lemmas' data
        for (const service::Direction& d : dictionary.Directions()) {
            if (sources.count(d.from) == 0) {
                const std::string lemmas = dictionary.LemmaSources(d.from);
                sources[d.from] = lemmas.empty() ? "folding only" : "lemmas: " + lemmas;
            }
            std::printf("%s %s %s%s (%s)\n", d.from.c_str(), d.to.c_str(), d.file.c_str(),
                        d.reversed ? " reversed" : "", sources[d.from].c_str());
        }
        return 0;
    }

    // SIGINT and SIGTERM are taken by sigwait in the main thread only: block
    // them before the server starts its threads, which inherit the mask. A
    // shell starts background jobs with SIGINT ignored, and an ignored signal
    // is discarded rather than left pending: restore the default.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // Many clients: as many sockets as the system lets this process have.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    Server server;
    server.dictionary = &dictionary;
    if (!requestLogPath.empty()) {
        server.requestLog.open(requestLogPath, std::ios::app);
        if (!server.requestLog) {
            std::fprintf(stderr, "lexigrove-service: cannot write %s\n", requestLogPath.c_str());
            return 1;
        }
    }
    int boundPort = 0;
    std::string error;
    const int listener = Listen(address, static_cast<int>(port), &boundPort, &error);
    if (listener < 0) {
        std::fprintf(stderr, "lexigrove-service: cannot listen on %s port %ld: %s\n",
                     address.c_str(), port, error.c_str());
        return 1;
    }
    const unsigned connectionLimit =
        static_cast<unsigned>(files.rlim_cur > 64 ? files.rlim_cur - 32 : 32);
    MHD_Daemon* daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_TURBO | MHD_USE_ERROR_LOG, 0,
        nullptr, nullptr, &Handle, &server, MHD_OPTION_LISTEN_SOCKET, listener,
        MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(threads), MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(idleTimeout), MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory,
        MHD_OPTION_CONNECTION_LIMIT, connectionLimit, MHD_OPTION_URI_LOG_CALLBACK, &KeepTarget,
        nullptr, MHD_OPTION_NOTIFY_COMPLETED, &RequestDone, nullptr, MHD_OPTION_END);
    if (daemon == nullptr) {
        std::fprintf(stderr, "lexigrove-service: the HTTP server did not start\n");
        close(listener);
        return 1;
    }
    if (!portFile.empty() && !WritePortFile(portFile, boundPort)) {
        std::fprintf(stderr, "lexigrove-service: cannot write %s\n", portFile.c_str());
        MHD_stop_daemon(daemon);
        return 1;
    }
    const bool v6 = address.find(':') != std::string::npos;
    std::printf("listening %s%s%s:%d\n", v6 ? "[" : "", address.c_str(), v6 ? "]" : "", boundPort);
    std::fflush(stdout);

    int signal = 0;
    while (signal != SIGINT && signal != SIGTERM) {
        signal = sigwaitinfo(&stopSignals, nullptr);
    }
    MHD_stop_daemon(daemon);
    close(listener);
    if (!portFile.empty()) {
        std::remove(portFile.c_str());
    }
    return 0;
}
