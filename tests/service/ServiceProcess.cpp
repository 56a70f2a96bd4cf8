#include "ServiceProcess.h"

#include "service/Address.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace servicetest {

ServiceProcess::ServiceProcess(const std::vector<std::string>& arguments,
                               const std::vector<std::string>& environment,
                               const std::string& errorPath) {
    int out[2];
    if (pipe(out) != 0) {
        return;
    }
    std::vector<std::string> args = {LEXIGROVE_SERVICE_PATH, "--port", "0"};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (!errorPath.empty()) {
        posix_spawn_file_actions_addopen(&actions, 2, errorPath.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    }
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, out[1]);
    std::vector<std::string> variables = environment;
    for (char** e = environ; *e != nullptr; ++e) {
        variables.push_back(*e);
    }
    std::vector<char*> envp;
    for (std::string& v : variables) {
        envp.push_back(v.data());
    }
    envp.push_back(nullptr);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        pid_ = -1;
        close(out[0]);
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (firstLine_.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd p{out[0], POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        char c[256];
        const ssize_t n = read(out[0], c, sizeof c);
        if (n <= 0) {
            break;
        }
        firstLine_.append(c, static_cast<size_t>(n));
    }
    out_ = out[0];
    const size_t end = firstLine_.find('\n');
    if (end != std::string::npos) {
        pending_ = firstLine_.substr(end + 1);
    }
    firstLine_ = firstLine_.substr(0, end);
    const std::string prefix = "listening ";
    const size_t colon = firstLine_.rfind(':');
    if (firstLine_.compare(0, prefix.size(), prefix) == 0 && colon != std::string::npos) {
        port_ = std::atoi(firstLine_.c_str() + colon + 1);
    }
}

std::string ServiceProcess::Output(int timeoutMs) {
    std::string out = std::move(pending_);
    pending_.clear();
    pollfd p{out_, POLLIN, 0};
    char buffer[4096];
    while (out_ >= 0 && poll(&p, 1, timeoutMs) > 0) {
        const ssize_t n = read(out_, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

void ServiceProcess::Signal(int signal) {
    if (pid_ > 0) {
        kill(pid_, signal);
    }
}

ServiceProcess::~ServiceProcess() {
    if (pid_ > 0) {
        if (Stop(SIGTERM, 5000) < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    if (out_ >= 0) {
        close(out_);
    }
}

int ServiceProcess::Stop(int signal, int timeoutMs) {
    if (pid_ <= 0) {
        return -1;
    }
    kill(pid_, signal);
    for (int waited = 0; waited <= timeoutMs; waited += 10) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
}

int Connect(const std::string& host, int port) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    if (!service::ParseSocketAddress(host, port, &storage, &length)) {
        return -1;
    }
    const int s = socket(storage.ss_family, SOCK_STREAM, 0);
    if (s < 0) {
        return -1;
    }
    // The first request in a language waits for its dictionary and its
    // morphology to load, which the sanitized build on a busy machine makes
    // take several seconds (the latencies are measured in the optimised
    // build, by scripts/bench).
    timeval timeout{30, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (connect(s, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
        close(s);
        return -1;
    }
    return s;
}

HttpReply SendRaw(int port, const std::string& request) {
    return SendRawTo("127.0.0.1", port, request);
}

HttpReply SendRawTo(const std::string& host, int port, const std::string& request) {
    HttpReply reply;
    const int s = Connect(host, port);
    if (s < 0) {
        return reply;
    }
    std::string raw;
    if (send(s, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        ssize_t n;
        while ((n = recv(s, buffer, sizeof buffer, 0)) > 0) {
            raw.append(buffer, static_cast<size_t>(n));
        }
    }
    close(s);
    const size_t split = raw.find("\r\n\r\n");
    if (raw.compare(0, 9, "HTTP/1.1 ") != 0 || split == std::string::npos) {
        return reply;
    }
    reply.status = std::atoi(raw.c_str() + 9);
    reply.headers = raw.substr(0, split);
    reply.body = raw.substr(split + 4);
    return reply;
}

HttpReply Get(int port, const std::string& target) {
    return SendRaw(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                             "\r\nConnection: close\r\n\r\n");
}

} // namespace servicetest
