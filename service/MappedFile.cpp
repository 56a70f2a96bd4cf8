#include "service/MappedFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace service {

namespace {

// Calls io(done, left) until size bytes are done.
template <class Io> bool Fully(size_t size, Io io) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = io(done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool ReadFully(int fd, uint64_t offset, void* buffer, size_t size) {
    auto* at = static_cast<unsigned char*>(buffer);
    return Fully(size, [&](size_t done, size_t left) {
        return pread(fd, at + done, left, static_cast<off_t>(offset + done));
    });
}

bool WriteFully(int fd, const void* data, size_t size) {
    const auto* at = static_cast<const unsigned char*>(data);
    return Fully(size, [&](size_t done, size_t left) { return write(fd, at + done, left); });
}

MappedFile::~MappedFile() {
    Close();
}

void MappedFile::Close() {
    if (map_ != nullptr) {
        munmap(map_, size_);
    }
    map_ = nullptr;
    size_ = 0;
    info_ = {};
    CloseDescriptor();
}

void MappedFile::CloseDescriptor() {
    if (fd_ >= 0) {
        close(fd_);
    }
    fd_ = -1;
}

bool MappedFile::Open(const std::string& path, std::string* error) {
    Close();
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0 || fstat(fd_, &info_) != 0) {
        *error = "cannot read " + path;
        Close();
        return false;
    }
    if (!S_ISREG(info_.st_mode)) {
        *error = path + " is not a file";
        Close();
        return false;
    }
    if (info_.st_size == 0) {
        return true;
    }
    void* map = mmap(nullptr, static_cast<size_t>(info_.st_size), PROT_READ, MAP_SHARED, fd_, 0);
    if (map == MAP_FAILED) {
        *error = "cannot map " + path + ": " + std::strerror(errno);
        Close();
        return false;
    }
    map_ = map;
    size_ = static_cast<size_t>(info_.st_size);
    // Lookups touch a page here and there: no read-ahead around them.
    madvise(map_, size_, MADV_RANDOM);
    return true;
}

void MappedFile::Release() const {
    if (map_ != nullptr) {
        madvise(map_, size_, MADV_DONTNEED);
    }
}

} // namespace service
