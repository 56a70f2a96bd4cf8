// Module loading of the posix backend, through dlopen.
//
// A name without '/' is a bare module name, looked for in the folder of the
// module that holds this code (the plugin's shared library, or the program
// when the platform library is linked into it), as Windows looks in the
// program's folder first: "X.dll" (any case of ".dll") and "X" are found
// there as "libX.so"; a name with another extension is used as it is. A name
// with '/' is a path, used as given. A module that does not load sets 126
// and keeps dlerror()'s text for LastLoadFailure; a missing symbol sets 127.
#include "platform/Platform.h"

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

namespace platform {

namespace {

// An object inside this module, to ask the loader which file holds it.
const char anchor = 0;

// dlerror()'s text for the thread's last LoadModule that dlopen refused, cut
// to the buffer. A plain array: this code is also in libraries that are
// unloaded while the thread goes on, which must leave no thread-exit
// destructor behind.
thread_local char lastLoadFailure[1024];

void KeepLoadFailure(const char* reason) {
    std::snprintf(lastLoadFailure, sizeof lastLoadFailure, "%s", reason != nullptr ? reason : "");
}

// The file holding the anchor, from the kernel's list of this process's
// mappings: an absolute path even when the module was loaded by a relative
// one. Empty when the list cannot be read.
std::string FileFromMappings() {
    std::ifstream maps("/proc/self/maps");
    const auto address = reinterpret_cast<uintptr_t>(&anchor);
    std::string line;
    while (std::getline(maps, line)) {
        // start-end perms offset device inode path
        unsigned long start = 0;
        unsigned long end = 0;
        int pathAt = 0;
        if (std::sscanf(line.c_str(), "%lx-%lx %*s %*s %*s %*s %n", &start, &end, &pathAt) >= 2 &&
            start <= address && address < end) {
            return pathAt > 0 && line[static_cast<size_t>(pathAt)] == '/'
                       ? line.substr(static_cast<size_t>(pathAt))
                       : std::string();
        }
    }
    return {};
}

// The file as the loader names it: the path it was loaded by, or the
// program's own file.
std::string FileFromLoader() {
    Dl_info info{};
    link_map* map = nullptr;
    if (dladdr1(&anchor, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) != 0 &&
        map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0') {
        return map->l_name;
    }
    // The program itself: its link map has no name.
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

// The folder of the file this code was loaded from.
std::string FolderOfThisModule() {
    std::string file = FileFromMappings();
    if (file.empty()) {
        file = FileFromLoader();
    }
    const size_t slash = file.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? std::string("/") : file.substr(0, slash);
}

bool EndsWithDll(const std::string& name) {
    if (name.size() < 4) {
        return false;
    }
    const std::string tail = name.substr(name.size() - 4);
    return tail[0] == '.' && (tail[1] | 0x20) == 'd' && (tail[2] | 0x20) == 'l' &&
           (tail[3] | 0x20) == 'l';
}

// The file dlopen is given for a module name.
std::string ModulePath(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    std::string file;
    if (EndsWithDll(name)) {
        file = "lib" + name.substr(0, name.size() - 4) + ".so";
    } else if (name.find('.') == std::string::npos) {
        file = "lib" + name + ".so";
    } else {
        file = name;
    }
    std::string folder = FolderOfThisModule();
    if (folder.back() != '/') {
        folder += '/';
    }
    return folder + file;
}

} // namespace

ModuleHandle LoadModule(const char16_t* name) {
    lastLoadFailure[0] = '\0';
    if (name == nullptr) {
        KeepLoadFailure("no module name");
        SetLastError(kErrorInvalidParameter);
        return nullptr;
    }
    const int bytes = WideCharToMultiByte(kCodePageUtf8, 0, name, -1, nullptr, 0);
    if (bytes <= 1) {
        KeepLoadFailure("empty module name");
        SetLastError(kErrorModNotFound);
        return nullptr;
    }
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(kCodePageUtf8, 0, name, -1, &utf8[0], bytes);
    utf8.resize(static_cast<size_t>(bytes - 1));

    void* handle = dlopen(ModulePath(utf8).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        KeepLoadFailure(dlerror());
        SetLastError(kErrorModNotFound);
    }
    return handle;
}

const char* LastLoadFailure() {
    return lastLoadFailure;
}

void* FindSymbol(ModuleHandle module, const char* name) {
    // Values below 0x10000 are ordinals on Windows; there are none here.
    if (module == nullptr || reinterpret_cast<uintptr_t>(name) < 0x10000) {
        SetLastError(kErrorProcNotFound);
        return nullptr;
    }
    void* symbol = dlsym(module, name);
    if (symbol == nullptr) {
        SetLastError(kErrorProcNotFound);
    }
    return symbol;
}

int FreeModule(ModuleHandle module) {
    if (module == nullptr || dlclose(module) != 0) {
        SetLastError(kErrorInvalidHandle);
        return 0;
    }
    return 1;
}

} // namespace platform
