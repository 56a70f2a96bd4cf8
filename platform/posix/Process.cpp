// The running program on POSIX systems.
#include "platform/Process.h"
#include "platform/Platform.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <unistd.h>

namespace platform {

const char16_t kModuleSuffix[] = u".so";

namespace {

std::u16string FromUtf8(const char* text) {
    if (text == nullptr || *text == '\0') {
        return {};
    }
    const int units = MultiByteToWideChar(kCodePageUtf8, 0, text, -1, nullptr, 0);
    if (units <= 0) {
        return {};
    }
    std::u16string out(static_cast<size_t>(units), u'\0');
    const int written = MultiByteToWideChar(kCodePageUtf8, 0, text, -1, out.data(), units);
    out.resize(written > 0 ? static_cast<size_t>(written) : 0);
    // The conversion of a zero-terminated text counts the terminator.
    while (!out.empty() && out.back() == u'\0') {
        out.pop_back();
    }
    return out;
}

bool WriteAll(int fd, const char* bytes, size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

long ReadStandardInput(char* buffer, size_t size) {
    for (;;) {
        const ssize_t n = read(0, buffer, size > LONG_MAX ? LONG_MAX : size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 ? -1 : static_cast<long>(n);
    }
}

std::u16string ExecutableFolder() {
    char path[PATH_MAX + 1];
    const ssize_t n = readlink("/proc/self/exe", path, PATH_MAX);
    if (n <= 0) {
        return {};
    }
    path[n] = '\0';
    char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        return {};
    }
    slash[1] = '\0';
    return FromUtf8(path);
}

bool WriteStandardOutput(const char* bytes, size_t size) {
    return WriteAll(STDOUT_FILENO, bytes, size);
}

bool WriteStandardError(const char* bytes, size_t size) {
    return WriteAll(STDERR_FILENO, bytes, size);
}

int RunProgram(int argc, char** argv, ProgramEntry entry) {
    std::vector<std::u16string> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(FromUtf8(argv[i]));
    }
    return entry(arguments);
}

} // namespace platform
