// The service as an operator runs it, on the installed dictionaries:
//   - a full --preload before the service listens, first with an empty
//     table cache (every key table and reverse built and written there),
//     then from the filled one;
//   - the memory of that instance then, with every direction loaded and no
//     morphology (/proc/PID/smaps_rollup: resident, and private to the
//     instance);
//   - the first lookup in every direction without --preload, one after
//     another, each on a new connection (the cold load of its dictionary),
//     with the table cache and without one; then the memory with the
//     morphology of every language the lookups loaded;
//   - lookups on new connections while slow clients, trickling their request
//     heads, fill the connection limit;
//   - the nginx scale-out run (tests/service/scale-out-test): two instances,
//     one killed and restarted under load, the other stopped and restarted.
//
//   bench_service_operation SERVICE SCALE_OUT_TEST GUIDE WORK
#include "bench/common/Report.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The service, started with arguments; port 0 when it did not start.
struct Service {
    pid_t pid = -1;
    int port = 0;
    double startMs = 0; // spawn to its "listening" line

    Service(const std::string& path, std::vector<std::string> args) {
        int out[2];
        if (pipe(out) != 0) {
            return;
        }
        args.insert(args.begin(), {path, "--port", "0"});
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const auto started = Clock::now();
        const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        std::string line;
        char c;
        pollfd p{out[0], POLLIN, 0};
        while (spawned == 0 && line.find('\n') == std::string::npos && poll(&p, 1, 120000) > 0 &&
               read(out[0], &c, 1) == 1) {
            line += c;
        }
        close(out[0]);
        startMs = MsSince(started);
        const size_t colon = line.rfind(':');
        if (line.rfind("listening ", 0) == 0 && colon != std::string::npos) {
            port = std::atoi(line.c_str() + colon + 1);
        }
    }
    ~Service() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    // The CPU seconds (user and system, every thread) the process has used.
    double CpuSeconds() const {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // Fields after the command's closing parenthesis; utime and stime
        // are the 12th and 13th of them.
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string field;
        double ticks = 0;
        for (int i = 1; i <= 13 && fields >> field; ++i) {
            if (i >= 12) {
                ticks += std::atof(field.c_str());
            }
        }
        return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    // Resident and private MiB from /proc/PID/smaps_rollup.
    void Memory(double* resident, double* privateMiB) const {
        std::ifstream in("/proc/" + std::to_string(pid) + "/smaps_rollup");
        std::string line;
        *resident = *privateMiB = 0;
        while (std::getline(in, line)) {
            char key[64];
            double kb = 0;
            if (std::sscanf(line.c_str(), "%63s %lf kB", key, &kb) != 2) {
                continue;
            }
            if (std::strcmp(key, "Rss:") == 0) {
                *resident = kb / 1024;
            } else if (std::strcmp(key, "Private_Clean:") == 0 ||
                       std::strcmp(key, "Private_Dirty:") == 0) {
                *privateMiB += kb / 1024;
            }
        }
    }
};

int Connect(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout{30, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(s);
        return -1;
    }
    return s;
}

// One GET on a new connection; the reply's status line and body.
std::string Get(int port, const std::string& target) {
    const int s = Connect(port);
    if (s < 0) {
        return "";
    }
    const std::string request =
        "GET " + target + " HTTP/1.1\r\nHost: b\r\nConnection: close\r\n\r\n";
    std::string reply;
    if (send(s, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
        char buffer[8192];
        ssize_t n;
        while ((n = recv(s, buffer, sizeof buffer, 0)) > 0) {
            reply.append(buffer, static_cast<size_t>(n));
        }
    }
    close(s);
    return reply;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

std::string Query(const std::string& from, const std::string& to) {
    return "/serverjobs/dictionary.php?fromlang=" + from + "&tolang=" + to + "&word=house";
}

std::string Output(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    size_t n;
    while (pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        out.append(buffer, n);
    }
    if (pipe != nullptr) {
        pclose(pipe);
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: bench_service_operation SERVICE SCALE_OUT_TEST GUIDE WORK\n");
        return 1;
    }
    const std::string service = argv[1];
    std::vector<std::pair<std::string, std::string>> directions;
    {
        std::istringstream list(Output(service + " --list"));
        std::string from, to, rest;
        while (list >> from >> to && std::getline(list, rest)) {
            directions.emplace_back(from, to);
        }
    }
    bool ok = !directions.empty();

    const std::string tables = std::string(argv[4]) + "/table-cache";
    std::system(("rm -rf '" + tables + "'").c_str());

    // A full preload before listening: building every table, then reading
    // them from the cache; the memory with every direction loaded.
    double dictionariesPrivate = 0;
    for (const bool filled : {false, true}) {
        Service preloaded(service, {"--preload", "--table-cache", tables});
        ok = ok && preloaded.port != 0;
        const char* how = filled ? "from the table cache" : "building every table";
        std::printf("full preload (%zu directions, %s): listening after %.1f s\n",
                    directions.size(), how, preloaded.startMs / 1000);
        bench::PrintRatio(filled ? "service/full-preload-s" : "service/full-preload-s-building",
                          preloaded.startMs / 1000, "<", 10.0,
                          std::string("every direction, reverses too, ") + how + ", on " +
                              std::to_string(std::thread::hardware_concurrency()) + " cores");
        // The processor time it took, which other work on the machine
        // stretches far less than the time on the clock.
        bench::PrintFigure(filled ? "service/full-preload-cpu-s"
                                  : "service/full-preload-cpu-s-building",
                           preloaded.CpuSeconds(), std::string("user and system, ") + how);
        if (!filled) {
            double resident = 0, privateMiB = 0;
            preloaded.Memory(&resident, &privateMiB);
            bench::PrintFigure("service/private-MiB-every-direction-building", privateMiB,
                               "every direction preloaded while building every table, " +
                                   std::to_string(static_cast<int>(resident)) + " MiB resident");
        } else {
            double resident = 0;
            preloaded.Memory(&resident, &dictionariesPrivate);
            std::printf("memory with every direction preloaded: %.0f MiB resident, %.0f MiB "
                        "private\n",
                        resident, dictionariesPrivate);
            bench::PrintRatio("service/resident-MiB-every-direction", resident, "<=", 600.0,
                              "every direction preloaded, no morphology");
            bench::PrintRatio("service/private-MiB-every-direction", dictionariesPrivate,
                              "<=", 350.0, "Private_Clean + Private_Dirty, no morphology");
        }
    }

    // Cold: the first lookup of every direction, with the table cache and
    // without; the memory after them, morphology included.
    for (const bool cached : {true, false}) {
        Service cold(service, cached ? std::vector<std::string>{"--table-cache", tables}
                                     : std::vector<std::string>{});
        ok = ok && cold.port != 0;
        std::vector<double> firsts;
        std::string slowest;
        for (const auto& [from, to] : directions) {
            const auto asked = Clock::now();
            const std::string reply = Get(cold.port, Query(from, to));
            firsts.push_back(MsSince(asked));
            if (firsts.back() >= Percentile(firsts, 1.0)) {
                slowest = from + " -> " + to;
            }
            ok = ok && reply.find("status=\"ok\"") != std::string::npos;
        }
        const double max = Percentile(firsts, 1.0);
        const char* how = cached ? "from the table cache" : "building the tables";
        std::printf("first lookup per direction (%zu directions, cold, %s): p50 %.0f ms, p99 "
                    "%.0f ms, max %.0f ms (%s)\n",
                    firsts.size(), how, Percentile(firsts, 0.5), Percentile(firsts, 0.99), max,
                    slowest.c_str());
        const std::string detail = "slowest " + slowest + ", without --preload, " + how;
        if (cached) {
            bench::PrintRatio("service/first-lookup-max-ms", max, "<", 1000.0, detail);
        } else {
            // The first start on a host, before any table cache exists.
            bench::PrintFigure("service/first-lookup-max-ms-building", max, detail);
        }
        if (cached) {
            double resident = 0, privateMiB = 0;
            cold.Memory(&resident, &privateMiB);
            std::printf("memory after a lookup in every direction: %.0f MiB resident, %.0f MiB "
                        "private (morphology of every language included)\n",
                        resident, privateMiB);
            bench::PrintFigure("service/private-MiB-every-direction-with-morphology", privateMiB,
                               "after a lookup of 'house' in each direction");
            bench::PrintFigure("service/morphology-private-MiB", privateMiB - dictionariesPrivate,
                               "the same less the preloaded instance's private memory");
        }
    }

    // Slow clients fill the connection limit; lookups on new connections.
    {
        Service limited(service, {"--max-connections", "256", "--preload=en:fr"});
        ok = ok && limited.port != 0;
        std::vector<int> slow;
        for (int i = 0; i < 300; ++i) {
            const int s = Connect(limited.port);
            if (s >= 0) {
                send(s, "GET /x HTTP/1.1\r\n", 17, MSG_NOSIGNAL);
                slow.push_back(s);
            }
        }
        std::vector<double> latencies;
        size_t failed = 0;
        const auto started = Clock::now();
        for (int i = 0; i < 500; ++i) {
            if (i % 20 == 0) {
                for (int s : slow) {
                    send(s, "X", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                }
            }
            const auto asked = Clock::now();
            failed +=
                Get(limited.port, Query("en", "fr")).find("status=\"ok\"") == std::string::npos;
            latencies.push_back(MsSince(asked));
        }
        std::printf("behind 300 slow clients at a limit of 256: %zu lookups in %.1f s, %zu failed, "
                    "p50 %.2f ms, p99 %.2f ms\n",
                    latencies.size(), MsSince(started) / 1000, failed, Percentile(latencies, 0.5),
                    Percentile(latencies, 0.99));
        bench::PrintRatio("service/lookup-p99-ms-behind-slow-clients", Percentile(latencies, 0.99),
                          "<=", 50.0, std::to_string(failed) + " of 500 failed");
        ok = ok && failed == 0;
        for (int s : slow) {
            close(s);
        }
    }

    // Scale-out behind nginx.
    {
        const std::string out =
            Output(std::string(argv[2]) + " " + service + " " + argv[3] + " " + argv[4] + " 2>&1");
        std::fputs(out.c_str(), stdout);
        long lookups = -1, failed = -1;
        double p50 = 0, p99 = 0, max = -1;
        const size_t at = out.find("lookups ");
        if (at == std::string::npos ||
            std::sscanf(out.c_str() + at, "lookups %ld failed %ld p50_ms %lf p99_ms %lf max_ms %lf",
                        &lookups, &failed, &p50, &p99, &max) != 5) {
            ok = false;
        }
        char detail[160];
        std::snprintf(detail, sizeof detail,
                      "%ld lookups through nginx, %ld failed, p99 %.1f ms; one of two instances "
                      "killed and restarted, then the other",
                      lookups, failed, p99);
        bench::PrintRatio("service/scale-out-max-ms", max, "<", 1000.0, detail);
        bench::PrintRatio("service/scale-out-failed-lookups", static_cast<double>(failed),
                          "<=", 0.0, detail);
    }
    return ok ? 0 : 1;
}
