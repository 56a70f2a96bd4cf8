// The running program on Windows.
#include <windows.h>

#include "platform/Process.h"

namespace platform {

const char16_t kModuleSuffix[] = u".dll";

namespace {

bool WriteAll(DWORD which, const char* bytes, size_t size) {
    HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    // WriteFile passes the bytes through as they are, to a console, a file
    // or a pipe alike.
    while (size > 0) {
        const DWORD chunk = size > 0x10000 ? 0x10000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!::WriteFile(handle, bytes, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

} // namespace

std::u16string ExecutableFolder() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) {
            return {};
        }
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        if (path.size() >= 32768) {
            return {};
        }
        path.resize(path.size() * 2);
    }
    const size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) {
        return {};
    }
    path.resize(separator + 1);
    return std::u16string(path.begin(), path.end());
}

bool WriteStandardOutput(const char* bytes, size_t size) {
    return WriteAll(STD_OUTPUT_HANDLE, bytes, size);
}

bool WriteStandardError(const char* bytes, size_t size) {
    return WriteAll(STD_ERROR_HANDLE, bytes, size);
}

long ReadStandardInput(char* buffer, size_t size) {
    HANDLE handle = ::GetStdHandle(STD_INPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return -1;
    }
    const DWORD chunk = size > 0x10000 ? 0x10000 : static_cast<DWORD>(size);
    DWORD read = 0;
    if (!::ReadFile(handle, buffer, chunk, &read, nullptr)) {
        // A pipe whose writer has closed it ends the input.
        return ::GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    return static_cast<long>(read);
}

int RunProgram(int argc, wchar_t** argv, ProgramEntry entry) {
    std::vector<std::u16string> arguments;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* text = argv[i];
        arguments.emplace_back(reinterpret_cast<const char16_t*>(text));
    }
    return entry(arguments);
}

} // namespace platform
