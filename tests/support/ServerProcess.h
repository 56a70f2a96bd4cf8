// Start and stop of the native test servers (posix). A server started in
// the background detaches into a session of its own and says on a pipe that
// it listens; its port file names its process id, and the server removes
// that file as the last thing it does.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace testserver {

// Runs serve(readyPipe) in a detached child with no descriptors of the
// caller's, so whoever started it (ctest) does not wait on its output. serve
// writes one byte to readyPipe once it listens. 0 when it did; 1 (with a
// message naming the program) when it ended without.
inline int Detach(const char* program, const std::string& portFile,
                  const std::function<int(int readyPipe)>& serve) {
    int ready[2];
    if (pipe(ready) != 0)
        return 1;
    std::remove(portFile.c_str());
    const pid_t child = fork();
    if (child < 0)
        return 1;
    if (child == 0) {
        close(ready[0]);
        setsid();
        const int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
            if (null > 2)
                close(null);
        }
        _exit(serve(ready[1]));
    }
    close(ready[1]);
    char byte = 0;
    const bool started = read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    if (!started) {
        std::fprintf(stderr, "%s: the server did not start\n", program);
        return 1;
    }
    return 0;
}

// Stops the server whose process id is the pidField-th number (from 1) of
// its port file, and waits at most 10 s for it to remove the file. 0 when it
// went (or none ran: a stale file is removed); 1 when it did not stop.
inline int Stop(const char* program, const std::string& portFile, int pidField) {
    using namespace std::chrono_literals;
    std::ifstream in(portFile);
    long pid = 0;
    for (int i = 0; i < pidField && in >> pid; ++i) {
    }
    if (!in || pid <= 1) {
        std::printf("%s: no server running for %s\n", program, portFile.c_str());
        return 0;
    }
    in.close();
    if (kill(static_cast<pid_t>(pid), SIGTERM) != 0) {
        std::remove(portFile.c_str());
        return 0;
    }
    const auto until = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < until) {
        struct stat info;
        if (stat(portFile.c_str(), &info) != 0)
            return 0;
        std::this_thread::sleep_for(50ms);
    }
    std::fprintf(stderr, "%s: server %ld did not stop\n", program, pid);
    return 1;
}

} // namespace testserver
