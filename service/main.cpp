// lexigrove-service: the local dictionary service (usage: --help, and
// docs/service.md for running it under systemd and behind nginx).
//
// The first line on standard output is "listening ADDRESS:PORT"
// ("[ADDRESS]:PORT" for IPv6); --port-file also writes the port to PATH
// (complete when it appears). With --preload the dictionaries are loaded
// before the socket opens. Under systemd (Type=notify) the service says
// READY=1 once it listens, RELOADING=1 / READY=1 around a reload and
// STOPPING=1 when it stops. --list prints the directions the dictionaries in
// DIR serve, each with the data that gives the lemmas of its words ("folding
// only" where none is installed), and exits.
//
// Signals: SIGTERM or SIGINT stops accepting, lets the lookups in flight
// finish (up to --stop-timeout) and exits 0. SIGHUP reopens the request log
// and loads again the dictionaries whose files changed, and any whose load
// failed.
#include "service/Address.h"
#include "service/ChunkCache.h"
#include "service/DictionaryService.h"
#include "service/Options.h"
#include "service/RequestLog.h"
#include "service/Server.h"

#include <systemd/sd-daemon.h>

#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kUsage = 64;

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

// SIGINT, SIGTERM and SIGHUP are taken by sigtimedwait in the main thread
// only: blocked before any other thread starts (threads inherit the mask).
// A shell starts background jobs with SIGINT ignored, and an ignored signal
// is discarded rather than left pending: the default is restored first.
sigset_t BlockSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(s, SIG_DFL);
        sigaddset(&set, s);
    }
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return set;
}

// The next of the blocked signals, or 0 after timeout.
int WaitSignal(const sigset_t& set, std::chrono::milliseconds timeout) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout);
    const timespec wait{static_cast<time_t>(seconds.count()),
                        static_cast<long>((timeout - seconds).count() * 1000000)};
    const int s = sigtimedwait(&set, nullptr, &wait);
    return s < 0 ? 0 : s;
}

// As many descriptors as the connection limit needs, within what the system
// lets this process have; the limit is lowered to fit when it must be.
unsigned RaiseFileLimit(unsigned connections) {
    constexpr rlim_t kSpare = 64; // dictionaries, logs, epoll and the like
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) {
        return connections;
    }
    const rlim_t wanted = connections + kSpare;
    if (files.rlim_cur < wanted) {
        files.rlim_cur = std::min(wanted, files.rlim_max);
        setrlimit(RLIMIT_NOFILE, &files);
        getrlimit(RLIMIT_NOFILE, &files);
    }
    if (files.rlim_cur < wanted) {
        const unsigned fit =
            files.rlim_cur > kSpare + 16 ? static_cast<unsigned>(files.rlim_cur - kSpare) : 16;
        std::fprintf(stderr,
                     "lexigrove-service: the file limit (%llu) allows %u connections, not %u\n",
                     static_cast<unsigned long long>(files.rlim_cur), fit, connections);
        return fit;
    }
    return connections;
}

// The directions --preload names, as indexes; false (with a message) for one
// the folder does not serve.
bool PreloadList(const service::Options& o, const service::DictionaryService& dictionary,
                 std::vector<size_t>* out) {
    for (const auto& [from, to] : o.preloadDirections) {
        const size_t d = dictionary.FindDirection(from, to);
        if (d == service::DictionaryService::kNoDirection) {
            std::fprintf(stderr, "lexigrove-service: --preload: no dictionary for %s -> %s\n",
                         from.c_str(), to.c_str());
            return false;
        }
        out->push_back(d);
    }
    return true;
}

// Preloads while answering signals; false when a stop signal came first.
bool Preload(const std::vector<size_t>& directions, service::DictionaryService& dictionary,
             const sigset_t& signals) {
    const auto started = std::chrono::steady_clock::now();
    std::atomic<bool> done{false};
    size_t failed = 0;
    const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::thread loader([&] {
        failed = dictionary.Preload(directions, threads);
        done = true;
    });
    while (!done) {
        const int s = WaitSignal(signals, std::chrono::milliseconds(50));
        if (s == SIGTERM || s == SIGINT) {
            // Nothing is served yet: there is nothing to finish.
            std::fflush(stdout);
            std::_Exit(0);
        }
    }
    loader.join();
    const size_t count = directions.empty() ? dictionary.Directions().size() : directions.size();
    std::fprintf(stderr, "lexigrove-service: preloaded %zu directions (%zu refused) in %lld ms\n",
                 count - failed, failed,
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - started)
                                            .count()));
    return true;
}

int Serve(const service::Options& o, service::DictionaryService& dictionary,
          const sigset_t& signals) {
    service::ServerSettings settings;
    socklen_t length = 0;
    if (!service::ParseSocketAddress(o.address, o.port, &settings.address, &length)) {
        std::fprintf(stderr, "lexigrove-service: %s is not an IPv4 or IPv6 address\n",
                     o.address.c_str());
        return 1;
    }
    service::RequestLog log;
    std::string error;
    if (!o.requestLog.empty() && !log.Open(o.requestLog, &error)) {
        std::fprintf(stderr, "lexigrove-service: %s\n", error.c_str());
        return 1;
    }
    std::vector<size_t> preload;
    if (!PreloadList(o, dictionary, &preload)) {
        return kUsage;
    }
    if (o.preload) {
        Preload(preload, dictionary, signals);
    }
    settings.threads = static_cast<unsigned>(o.threads);
    settings.idleTimeout = static_cast<unsigned>(o.idleTimeout);
    settings.headTimeout = static_cast<unsigned>(o.headTimeout);
    settings.maxConnections = RaiseFileLimit(o.maxConnections);
    settings.loaders = std::min(2u, std::max(1u, std::thread::hardware_concurrency()));

    service::Server server(dictionary, log);
    if (!server.Start(settings, &error)) {
        std::fprintf(stderr, "lexigrove-service: cannot listen on %s port %d: %s\n",
                     o.address.c_str(), o.port, error.c_str());
        return 1;
    }
    if (!o.portFile.empty() && !WritePortFile(o.portFile, server.Port())) {
        std::fprintf(stderr, "lexigrove-service: cannot write %s\n", o.portFile.c_str());
        server.Stop(std::chrono::milliseconds(0));
        return 1;
    }
    const bool v6 = settings.address.ss_family == AF_INET6;
    std::printf("listening %s%s%s:%d\n", v6 ? "[" : "", o.address.c_str(), v6 ? "]" : "",
                server.Port());
    std::fflush(stdout);
    sd_notifyf(0, "READY=1\nSTATUS=listening on %s port %d", o.address.c_str(), server.Port());

    // SIGHUP's reload runs beside the server; a second SIGHUP during it
    // runs it once more afterwards.
    std::thread reloader;
    std::atomic<bool> reloading{false}, again{false};
    auto reload = [&] {
        do {
            again = false;
            dictionary.Refresh();
        } while (again);
        server.SetHealth(service::Health::kReady);
        sd_notify(0, "READY=1\nSTATUS=reloaded");
        reloading = false;
    };
    for (;;) {
        const int s = WaitSignal(signals, std::chrono::seconds(1));
        if (s == SIGTERM || s == SIGINT) {
            break;
        }
        if (s != SIGHUP) {
            continue;
        }
        if (!log.Reopen(&error)) {
            std::fprintf(stderr, "lexigrove-service: %s\n", error.c_str());
        }
        if (reloading) {
            again = true;
            continue;
        }
        if (reloader.joinable()) {
            reloader.join();
        }
        reloading = true;
        server.SetHealth(service::Health::kLoading);
        sd_notify(0, "RELOADING=1\nSTATUS=reloading changed dictionaries");
        reloader = std::thread(reload);
    }
    sd_notify(0, "STOPPING=1\nSTATUS=finishing the lookups in flight");
    const bool finished = server.Stop(std::chrono::seconds(o.stopTimeout));
    if (!o.portFile.empty()) {
        std::remove(o.portFile.c_str());
    }
    if (!finished || reloading) {
        // A dictionary is still loading for nobody: no need to wait for it.
        std::fflush(stdout);
        std::_Exit(0);
    }
    if (reloader.joinable()) {
        reloader.join();
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    service::Options o;
    std::string error;
    if (service::ParseOptions(argc, argv, &o, &error) != service::ParseResult::kRun) {
        std::fprintf(stderr, "lexigrove-service: %s\n%s", error.c_str(), service::UsageText());
        return kUsage;
    }
    if (o.help) {
        std::fputs(service::UsageText(), stdout);
        return 0;
    }
    struct stat info {};
    if (stat(o.data.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        std::fprintf(stderr, "lexigrove-service: no dictionary folder %s\n", o.data.c_str());
        return 1;
    }
    service::ChunkCache::Shared().SetBudget(o.cacheBytes);
    service::DictionaryService dictionary(o.data, o.list ? "" : o.tableCache);
    if (o.list) {
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
    if (!o.tableCache.empty() && mkdir(o.tableCache.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "lexigrove-service: cannot make the table cache %s: %s\n",
                     o.tableCache.c_str(), std::strerror(errno));
        return 1;
    }
    const sigset_t signals = BlockSignals();
    return Serve(o, dictionary, signals);
}
