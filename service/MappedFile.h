// A file mapped read-only and shared. Its pages are the page cache's: every
// process that maps the same file shares them, and none is copied into this
// one. Pages this process has read stay in its resident set until Release.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace service {

// All of [offset, offset + size) of the file fd into buffer (pread, again
// after a signal); false on an error or an end of file before it.
bool ReadFully(int fd, uint64_t offset, void* buffer, size_t size);
// All size bytes of data to fd; false on an error.
bool WriteFully(int fd, const void* data, size_t size);

class MappedFile {
public:
    MappedFile() = default;
    ~MappedFile();
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;

    // Opens and maps path (an empty file maps to no bytes); false with a
    // reason in *error. The descriptor stays open until CloseDescriptor or
    // Close. May be called again for another file.
    bool Open(const std::string& path, std::string* error);
    // Unmaps the file.
    void Close();

    std::string_view bytes() const { return {static_cast<const char*>(map_), size_}; }
    const unsigned char* data() const { return static_cast<const unsigned char*>(map_); }
    size_t size() const { return size_; }
    // The open file's own status (not the path's, which may be replaced).
    const struct stat& info() const { return info_; }
    // The descriptor while it is open, else -1.
    int descriptor() const { return fd_; }
    void CloseDescriptor();

    // Takes the pages this process has read out of its resident set; they
    // stay in the page cache, and a later read maps them again. For a file
    // read whole once, at load, and then only here and there.
    void Release() const;

private:
    void* map_ = nullptr;
    size_t size_ = 0;
    int fd_ = -1;
    struct stat info_ {};
};

} // namespace service
