#include "service/Server.h"

#include "service/Address.h"
#include "service/Reply.h"
#include "service/Request.h"

#include <microhttpd.h>

#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

namespace service {

namespace {

using Clock = std::chrono::steady_clock;

long long Ticks(Clock::time_point t) {
    return static_cast<long long>(t.time_since_epoch().count());
}

} // namespace

// What the service knows of one connection, from its opening to its close.
// The server thread of the connection owns the request fields; the
// watchdog reads waitingSince and headDone, and the shed flag is guarded by
// Server::mutex_.
struct Server::Connection {
    MHD_Connection* mhd = nullptr;
    int fd = -1;
    std::string client;
    std::atomic<long long> waitingSince{0}; // opened, or the previous reply done
    std::atomic<bool> headDone{false};
    bool shed = false;

    std::atomic<bool> inRequest{false}; // from the request line to the request's end
    std::string target;                 // as it arrived (its start only when too long)
    bool tooLong = false;
    Clock::time_point started;
    std::chrono::system_clock::time_point startedWall;
    bool logged = false;
    size_t results = 0;
    bool waitingForLoad = false;
    bool stopAnswer = false; // resumed by Stop before its dictionary loaded
};

// Loads dictionaries and morphology for lookups that wait for them, and
// resumes their connections when the load is over.
class Server::Loader {
public:
    Loader(DictionaryService& dictionary, unsigned threads) : dictionary_(dictionary) {
        for (unsigned i = 0; i < threads; ++i) {
            threads_.emplace_back([this] { Work(); });
        }
    }
    ~Loader() {
        ResumeAll();
        for (std::thread& t : threads_) {
            if (t.joinable()) {
                t.join();
            }
        }
    }

    // Queues c (suspended) until direction is loaded; false when stopping.
    bool Enqueue(size_t direction, Connection* c) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) {
            return false;
        }
        std::vector<Connection*>& list = waiting_[direction];
        if (list.empty()) {
            queue_.push_back(direction);
            wake_.notify_one();
        }
        list.push_back(c);
        return true;
    }

    // Resumes every waiting connection to be answered that the service is
    // stopping; no load starts after this.
    void ResumeAll() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queue_.clear();
        for (auto& [direction, list] : waiting_) {
            for (Connection* c : list) {
                c->stopAnswer = true;
                MHD_resume_connection(c->mhd);
            }
        }
        waiting_.clear();
        wake_.notify_all();
    }

    // Waits until no load runs, up to deadline; true when none does (the
    // threads are then joined). Otherwise the destructor waits for them.
    bool Finish(Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        const bool idle = idle_.wait_until(lock, deadline, [&] { return busy_ == 0; });
        lock.unlock();
        if (idle) {
            for (std::thread& t : threads_) {
                t.join();
            }
        }
        return idle;
    }

private:
    void Work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
            if (stopping_) {
                return;
            }
            const size_t direction = queue_.front();
            queue_.pop_front();
            ++busy_;
            lock.unlock();
            dictionary_.PrepareDirection(direction);
            malloc_trim(0); // what the load freed goes back to the system
            lock.lock();
            --busy_;
            const auto found = waiting_.find(direction);
            if (found != waiting_.end()) {
                for (Connection* c : found->second) {
                    MHD_resume_connection(c->mhd);
                }
                waiting_.erase(found);
            }
            idle_.notify_all();
        }
    }

    DictionaryService& dictionary_;
    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::deque<size_t> queue_;
    std::map<size_t, std::vector<Connection*>> waiting_;
    bool stopping_ = false;
    int busy_ = 0;
    std::vector<std::thread> threads_;
};

struct Callbacks {
    static void OnConnection(void* cls, MHD_Connection* connection, void** socketContext,
                             MHD_ConnectionNotificationCode code) {
        auto* server = static_cast<Server*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* c = new Server::Connection;
            c->mhd = connection;
            const MHD_ConnectionInfo* fd =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            c->fd = fd == nullptr ? -1 : fd->connect_fd;
            const MHD_ConnectionInfo* address =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
            c->client = FormatEndpoint(address == nullptr ? nullptr : address->client_addr);
            c->waitingSince = Ticks(Clock::now());
            *socketContext = c;
            std::lock_guard<std::mutex> lock(server->mutex_);
            server->connections_.insert(c);
            // Near the limit: make room by closing the connections that have
            // waited longest for their request head.
            while (server->connections_.size() - server->shedOpen_ > server->softLimit_) {
                Server::Connection* oldest = nullptr;
                for (Server::Connection* other : server->connections_) {
                    if (other != c && !other->shed && !other->headDone &&
                        (oldest == nullptr || other->waitingSince < oldest->waitingSince)) {
                        oldest = other;
                    }
                }
                if (oldest == nullptr) {
                    break;
                }
                server->Shed(oldest);
            }
            return;
        }
        auto* c = static_cast<Server::Connection*>(*socketContext);
        if (c == nullptr) {
            return;
        }
        if (c->inRequest) {
            --server->inFlight_;
        }
        {
            std::lock_guard<std::mutex> lock(server->mutex_);
            server->connections_.erase(c);
            if (c->shed) {
                --server->shedOpen_;
            }
        }
        delete c;
        *socketContext = nullptr;
    }

    static void* OnRequestLine(void* cls, const char* uri, MHD_Connection* connection) {
        auto* server = static_cast<Server*>(cls);
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        auto* c =
            info == nullptr ? nullptr : static_cast<Server::Connection*>(info->socket_context);
        if (c == nullptr || uri == nullptr) {
            return c;
        }
        const size_t length = std::strlen(uri);
        c->tooLong = length > kTargetLimit;
        c->target.assign(uri, c->tooLong ? 256 : length);
        c->started = Clock::now();
        c->startedWall = std::chrono::system_clock::now();
        c->logged = false;
        c->results = 0;
        c->waitingForLoad = false;
        c->stopAnswer = false;
        if (!c->inRequest) {
            c->inRequest = true;
            ++server->inFlight_;
        }
        // The service reads the query from the target itself. libmicrohttpd
        // would also split it into one record per key in the connection's
        // small pool, and a query of a few hundred keys fills the pool on a
        // path where the library neither answers nor ends the request. It
        // splits the query in the buffer it hands this callback, right after
        // it: ending the query there leaves it nothing to split.
        if (char* mark = std::strchr(const_cast<char*>(uri), '?')) {
            mark[1] = '\0';
        }
        return c;
    }

    static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char*,
                                const char* method, const char*, const char*, size_t* uploadSize,
                                void** context) {
        auto* server = static_cast<Server*>(cls);
        auto* c = static_cast<Server::Connection*>(*context);
        if (c == nullptr) {
            return MHD_NO;
        }
        // The first call brings the headers, further calls the body, the
        // last one nothing: a reply queued before that last call closes the
        // connection instead of keeping it.
        if (!c->headDone) {
            c->headDone = true;
            *uploadSize = 0;
            return MHD_YES;
        }
        if (*uploadSize != 0) {
            *uploadSize = 0; // a body is not used
            return MHD_YES;
        }
        return server->Answer(c, connection, method) ? MHD_YES : MHD_NO;
    }

    static void OnCompleted(void* cls, MHD_Connection* connection, void** context,
                            MHD_RequestTerminationCode) {
        auto* server = static_cast<Server*>(cls);
        auto* c = static_cast<Server::Connection*>(*context);
        if (c == nullptr) {
            return;
        }
        if (!c->logged) {
            // A reply of the library's own, or none: the client left first.
            const MHD_ConnectionInfo* status =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_HTTP_STATUS);
            server->Log(c, "-", status == nullptr ? 0 : static_cast<int>(status->http_status));
        }
        if (c->inRequest) {
            c->inRequest = false;
            --server->inFlight_;
        }
        if (c->target.capacity() > 1024) {
            std::string().swap(c->target);
        } else {
            c->target.clear();
        }
        c->waitingForLoad = false;
        c->waitingSince = Ticks(Clock::now());
        c->headDone = false;
        *context = nullptr;
    }

    static void OnLibraryMessage(void* cls, const char* format, va_list arguments) {
        if (!static_cast<Server*>(cls)->started_) {
            std::fputs("lexigrove-service: ", stderr);
            std::vfprintf(stderr, format, arguments);
        }
    }
};

Server::Server(DictionaryService& dictionary, RequestLog& log)
    : dictionary_(dictionary), log_(log) {}

Server::~Server() {
    if (daemon_ != nullptr) {
        Stop(std::chrono::milliseconds(0));
    }
}

bool Server::Start(const ServerSettings& settings, std::string* error) {
    headLimit_ = std::chrono::seconds(std::max(settings.headTimeout, settings.idleTimeout));
    // Room kept for new clients: an eighth of the places, at least 8.
    const unsigned reserve = std::max(8u, settings.maxConnections / 8);
    softLimit_ = settings.maxConnections > reserve ? settings.maxConnections - reserve : 1;
    loader_ = std::make_unique<Loader>(dictionary_, std::max(1u, settings.loaders));
    const bool v6 = settings.address.ss_family == AF_INET6;
    const unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_TURBO |
                           MHD_USE_ERROR_LOG | MHD_ALLOW_SUSPEND_RESUME |
                           (v6 ? MHD_USE_DUAL_STACK : 0);
    auto number = [](MHD_OPTION option, intptr_t value) {
        return MHD_OptionItem{option, value, nullptr};
    };
    auto callback = [this](MHD_OPTION option, auto function) {
        return MHD_OptionItem{option, reinterpret_cast<intptr_t>(function), this};
    };
    // The library's messages go to OnLibraryMessage from the first one on.
    std::vector<MHD_OptionItem> options = {
        callback(MHD_OPTION_EXTERNAL_LOGGER, &Callbacks::OnLibraryMessage),
        {MHD_OPTION_SOCK_ADDR, 0,
         const_cast<sockaddr*>(reinterpret_cast<const sockaddr*>(&settings.address))},
        number(MHD_OPTION_LISTEN_BACKLOG_SIZE, 1024),
        number(MHD_OPTION_CONNECTION_TIMEOUT, settings.idleTimeout),
        number(MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kConnectionPool)),
        number(MHD_OPTION_CONNECTION_LIMIT, settings.maxConnections),
        callback(MHD_OPTION_URI_LOG_CALLBACK, &Callbacks::OnRequestLine),
        callback(MHD_OPTION_NOTIFY_COMPLETED, &Callbacks::OnCompleted),
        callback(MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::OnConnection),
    };
    if (settings.threads > 1) { // one thread is the polling thread alone
        options.push_back(number(MHD_OPTION_THREAD_POOL_SIZE, settings.threads));
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &Callbacks::OnRequest, this,
                               MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    if (daemon_ == nullptr) {
        *error = "the HTTP server did not start";
        loader_.reset();
        return false;
    }
    const MHD_DaemonInfo* bound = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    port_ = bound == nullptr ? 0 : bound->port;
    started_ = true;
    watcher_ = std::thread([this] { Watch(); });
    return true;
}

void Server::Shed(Connection* c) {
    if (!c->shed && c->fd >= 0) {
        // The server thread sees the end of the stream and closes the
        // connection; mutex_ keeps the descriptor from being closed (and
        // reused) meanwhile.
        shutdown(c->fd, SHUT_RDWR);
        c->shed = true;
        ++shedOpen_;
    }
}

// Closes the connections whose request head is overdue, ten times a second.
void Server::Watch() {
    std::unique_lock<std::mutex> wait(watchMutex_);
    while (!watchWake_.wait_for(wait, std::chrono::milliseconds(100), [&] { return watchStop_; })) {
        const long long overdue = Ticks(Clock::now() - headLimit_);
        std::lock_guard<std::mutex> lock(mutex_);
        for (Connection* c : connections_) {
            if (!c->headDone && c->waitingSince < overdue) {
                Shed(c);
            }
        }
    }
}

void Server::Log(Connection* c, std::string_view method, int status) {
    c->logged = true;
    if (!log_.enabled()) {
        return;
    }
    RequestRecord record;
    record.time = c->startedWall;
    record.client = c->client;
    record.method = method;
    record.target = c->target;
    record.status = status;
    record.results = c->results;
    record.microseconds =
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - c->started).count();
    log_.Write(record);
}

bool Server::Answer(Connection* c, MHD_Connection* connection, const char* method) {
    service::Answer answer;
    const bool read = std::strcmp(method, "GET") == 0 || std::strcmp(method, "HEAD") == 0;
    const Health health = health_;
    if (c->stopAnswer) {
        answer.httpStatus = 503;
        answer.body = ErrorReply("the service is stopping");
    } else if (!read) {
        answer.httpStatus = 405;
        answer.body = ErrorReply("method not allowed");
    } else if (c->tooLong) {
        answer.httpStatus = 414;
        answer.body =
            ErrorReply("request target longer than " + std::to_string(kTargetLimit) + " bytes");
    } else if (TargetPath(c->target) == "/healthz") {
        answer.httpStatus = health == Health::kReady ? 200 : 503;
        answer.body = HealthReply(health == Health::kReady     ? "ready"
                                  : health == Health::kLoading ? "loading"
                                                               : "stopping");
    } else {
        if (!c->waitingForLoad) {
            const size_t direction = dictionary_.DirectionOf(c->target);
            if (direction != DictionaryService::kNoDirection && !dictionary_.IsLoaded(direction)) {
                // Answered when the loader has loaded it; this thread serves
                // the other connections meanwhile.
                c->waitingForLoad = true;
                MHD_suspend_connection(connection);
                if (!loader_->Enqueue(direction, c)) {
                    c->stopAnswer = true;
                    MHD_resume_connection(connection);
                }
                return true;
            }
        }
        answer = dictionary_.Handle(c->target);
    }
    c->results = answer.results;
    MHD_Response* response = MHD_create_response_from_buffer(
        answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return false;
    }
    MHD_add_response_header(response, "Content-Type", "text/xml; charset=UTF-8");
    if (health == Health::kStopping) {
        MHD_add_response_header(response, "Connection", "close");
    }
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(answer.httpStatus), response);
    MHD_destroy_response(response);
    // Logged before the reply goes out: whoever reads the log after the
    // reply finds the line there.
    Log(c, method, answer.httpStatus);
    return queued == MHD_YES;
}

bool Server::Stop(std::chrono::milliseconds bound) {
    if (daemon_ == nullptr) {
        return true;
    }
    health_ = Health::kStopping;
    const auto deadline = Clock::now() + bound;
    const MHD_socket listener = MHD_quiesce_daemon(daemon_);
    if (listener != MHD_INVALID_SOCKET) {
        close(listener);
    }
    {
        // Idle kept-alive connections are closed now; a request under way
        // finishes on its connection, which then closes.
        std::lock_guard<std::mutex> lock(mutex_);
        for (Connection* c : connections_) {
            if (!c->inRequest && !c->headDone) {
                Shed(c);
            }
        }
    }
    while (inFlight_ > 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    loader_->ResumeAll();
    const auto last = Clock::now() + std::chrono::seconds(1);
    while (inFlight_ > 0 && Clock::now() < last) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    {
        std::lock_guard<std::mutex> lock(watchMutex_);
        watchStop_ = true;
    }
    watchWake_.notify_all();
    watcher_.join();
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
    return loader_->Finish(Clock::now() + std::chrono::milliseconds(200));
}

} // namespace service
