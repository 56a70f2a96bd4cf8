// The HTTP side of lexigrove-service: libmicrohttpd's event loop (epoll) on a
// pool of threads, each serving its share of the connections, in front of a
// DictionaryService.
//
// - An idle kept-alive connection holds no thread, and a small memory pool
//   (kConnectionPool) for its request head.
// - A connection must send each request head within the head timeout of
//   opening or of its previous reply (or the idle timeout, when that is
//   longer), however slowly it trickles in; it is closed otherwise.
// - When the connections near the limit, the ones that have waited longest
//   for their request head are closed, so that slow clients never take the
//   last places from clients that ask and go.
// - A lookup in a direction whose dictionary, or the morphology of whose
//   words' language, is not loaded yet waits, its connection suspended,
//   while a loader thread loads it: the server thread goes on serving the
//   other connections.
// - GET /healthz answers 200 "ready", or 503 "loading" / "stopping".
// - The library's own messages reach standard error only while it starts:
//   nothing a client sends makes the service write there.
#pragma once

#include "service/DictionaryService.h"
#include "service/RequestLog.h"

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>

struct MHD_Daemon;
struct MHD_Connection;

namespace service {

// Bytes of memory a connection has for its request head and reply headers.
// libmicrohttpd clears a connection's whole pool after every request, so the
// pool is resident for as long as a kept-alive connection stays open: it is
// kept small, and a request target longer than kTargetLimit is answered 414.
constexpr size_t kConnectionPool = 32 * 1024;
constexpr size_t kTargetLimit = 16 * 1024;

struct ServerSettings {
    sockaddr_storage address{};
    unsigned threads = 8;
    unsigned idleTimeout = 5;  // seconds
    unsigned headTimeout = 10; // seconds
    unsigned maxConnections = 4096;
    unsigned loaders = 2; // threads that load dictionaries for waiting lookups
};

enum class Health { kLoading, kReady, kStopping };

class Server {
public:
    Server(DictionaryService& dictionary, RequestLog& log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds settings.address and serves; false with a reason when it cannot.
    bool Start(const ServerSettings& settings, std::string* error);
    // The port bound (the one picked for port 0).
    int Port() const { return port_; }

    void SetHealth(Health health) { health_ = health; }

    // Stops accepting, closes the idle connections, lets the requests in
    // flight finish for up to bound (replies then carry "Connection: close"),
    // answers the ones still waiting for a dictionary 503 and closes
    // everything. False when a loader thread is still loading a dictionary
    // (the caller then ends the process without waiting for it).
    bool Stop(std::chrono::milliseconds bound);

private:
    struct Connection;
    class Loader;

    friend struct Callbacks; // libmicrohttpd's callbacks, in Server.cpp

    bool Answer(Connection* c, MHD_Connection* connection, const char* method);
    void Log(Connection* c, std::string_view method, int status);
    void Shed(Connection* c); // with mutex_ held
    void Watch();

    DictionaryService& dictionary_;
    RequestLog& log_;
    MHD_Daemon* daemon_ = nullptr;
    int port_ = 0;
    std::atomic<Health> health_{Health::kReady};
    std::atomic<bool> started_{false};
    std::chrono::steady_clock::duration headLimit_{};
    size_t softLimit_ = 0;
    std::unique_ptr<Loader> loader_;

    std::mutex mutex_; // guards the connection set and each one's shed flag
    std::unordered_set<Connection*> connections_;
    size_t shedOpen_ = 0; // shed but not closed yet
    std::atomic<long> inFlight_{0};

    std::mutex watchMutex_;
    std::condition_variable watchWake_;
    bool watchStop_ = false;
    std::thread watcher_;
};

} // namespace service
