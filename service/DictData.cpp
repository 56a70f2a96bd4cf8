#include "service/DictData.h"

#include "service/ChunkCache.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace service {

bool ReadWholeFile(const std::string& path, std::string* out) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    out->clear();
    char buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        out->append(buffer, n);
    }
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

namespace {

uint16_t Le16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t Le32(const unsigned char* p) {
    return static_cast<uint32_t>(Le16(p)) | (static_cast<uint32_t>(Le16(p + 2)) << 16);
}

bool EndsWith(const std::string& s, const char* suffix) {
    const std::string tail(suffix);
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// All of [offset, offset + size) of fd into buffer; false on a short read.
bool ReadAt(int fd, uint64_t offset, size_t size, unsigned char* buffer) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pread(fd, buffer + done, size - done, static_cast<off_t>(offset + done));
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

// Inflates in[0, size) and appends the text to out. windowBits selects raw
// deflate (a dictzip chunk, which ends on a flush point rather than at the end
// of a stream) or a gzip member. False on damaged data.
bool InflateRaw(const unsigned char* in, size_t size, std::string* out, int windowBits) {
    z_stream z{};
    if (inflateInit2(&z, windowBits) != Z_OK) {
        return false;
    }
    z.next_in = const_cast<unsigned char*>(in);
    z.avail_in = static_cast<uInt>(size);
    unsigned char buffer[65536];
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_out = buffer;
        z.avail_out = sizeof buffer;
        status = inflate(&z, Z_SYNC_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            inflateEnd(&z);
            return false;
        }
        out->append(reinterpret_cast<char*>(buffer), sizeof buffer - z.avail_out);
        if (status == Z_BUF_ERROR) {
            // No progress possible: all input used (a chunk ends on a flush
            // point, not at the end of the stream).
            status = z.avail_in == 0 ? Z_STREAM_END : Z_DATA_ERROR;
        } else if (status == Z_OK && z.avail_in == 0 && z.avail_out != 0) {
            status = Z_STREAM_END;
        }
    }
    inflateEnd(&z);
    return status == Z_STREAM_END;
}

std::atomic<uint64_t> nextId{1};

} // namespace

DictData::DictData() : id_(nextId++) {}

DictData::~DictData() {
    Close();
}

void DictData::Close() {
    if (map_ != nullptr) {
        munmap(const_cast<unsigned char*>(map_), mapSize_);
    }
    map_ = nullptr;
    mapSize_ = 0;
    compressed_ = randomAccess_ = false;
    chunkLength_ = 0;
    chunkStart_.clear();
    textSize_ = 0;
    whole_.clear();
    if (cached_.exchange(false)) {
        ChunkCache::Shared().Forget(id_);
    }
    id_ = nextId++;
}

bool DictData::Open(const std::string& path, std::string* error) {
    Close();
    path_ = path;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) {
        *error = "cannot read " + path;
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    mapSize_ = static_cast<size_t>(info.st_size);
    if (mapSize_ > 0) {
        void* map = mmap(nullptr, mapSize_, PROT_READ, MAP_SHARED, fd, 0);
        if (map == MAP_FAILED) {
            *error = "cannot map " + path + ": " + std::strerror(errno);
            mapSize_ = 0;
            close(fd);
            return false;
        }
        map_ = static_cast<const unsigned char*>(map);
        // Lookups touch a chunk here and there: no read-ahead around them.
        madvise(map, mapSize_, MADV_RANDOM);
    }
    compressed_ = EndsWith(path, ".dz") || EndsWith(path, ".gz");
    bool ok = true;
    if (!compressed_) {
        textSize_ = mapSize_;
    } else {
        ok = OpenGzip(fd, error);
    }
    close(fd);
    if (!ok) {
        Close();
    }
    return ok;
}

bool DictData::OpenGzip(int fd, std::string* error) {
    const unsigned char* file = map_;
    const size_t size = mapSize_;
    // gzip header: magic, method 8, flags, mtime, xfl, os.
    if (size < 18 || file[0] != 0x1f || file[1] != 0x8b || file[2] != 8) {
        *error = path_ + " is not a gzip file";
        return false;
    }
    const unsigned flags = file[3];
    size_t at = 10;
    std::vector<uint16_t> sizes;
    if (flags & 0x04) { // FEXTRA: look for the dictzip "RA" subfield
        const size_t extraLength = Le16(file + at);
        at += 2;
        const size_t extraEnd = at + extraLength;
        if (extraEnd > size) {
            *error = path_ + ": truncated gzip header";
            return false;
        }
        size_t field = at;
        while (field + 4 <= extraEnd) {
            const size_t length = Le16(file + field + 2);
            if (field + 4 + length > extraEnd) {
                break;
            }
            if (file[field] == 'R' && file[field + 1] == 'A' && length >= 6 &&
                Le16(file + field + 4) == 1) {
                chunkLength_ = Le16(file + field + 6);
                const size_t chunkCount = Le16(file + field + 8);
                if (length >= 6 + 2 * chunkCount && chunkLength_ > 0) {
                    for (size_t i = 0; i < chunkCount; ++i) {
                        sizes.push_back(Le16(file + field + 10 + 2 * i));
                    }
                }
            }
            field += 4 + length;
        }
        at = extraEnd;
    }
    auto skipZeroTerminated = [&] {
        while (at < size && file[at] != '\0') {
            ++at;
        }
        ++at;
    };
    if (flags & 0x08) { // FNAME
        skipZeroTerminated();
    }
    if (flags & 0x10) { // FCOMMENT
        skipZeroTerminated();
    }
    if (flags & 0x02) { // FHCRC
        at += 2;
    }
    if (at + 8 > size) {
        *error = path_ + ": truncated gzip header";
        return false;
    }
    if (sizes.empty()) {
        // Plain gzip: inflated whole now; zlib checks the trailer itself.
        if (!InflateRaw(map_, size, &whole_, 16 + MAX_WBITS)) {
            *error = path_ + ": the compressed text is damaged (its CRC-32 or length check fails)";
            return false;
        }
        textSize_ = whole_.size();
        munmap(const_cast<unsigned char*>(map_), mapSize_);
        map_ = nullptr;
        mapSize_ = 0;
        return true;
    }
    chunkStart_.push_back(at);
    for (uint16_t chunk : sizes) {
        chunkStart_.push_back(chunkStart_.back() + chunk);
    }
    // The chunks end where the 8-byte trailer (CRC-32, length) begins, or
    // just before: dictzip may end the stream with an empty block of its own.
    if (chunkStart_.back() + 8 > size || chunkStart_.back() + 8 + 16 < size) {
        *error = path_ + ": the chunk table does not match the file's length (" +
                 std::to_string(chunkStart_.back() + 8) + " against " + std::to_string(size) +
                 " bytes): the file is damaged or cut short";
        return false;
    }
    randomAccess_ = true;
    return CheckChunks(fd, error);
}

// Inflates every chunk once, read with pread rather than through the mapping
// (which would make the whole file resident in this process): each must give
// exactly one chunk of text, the last one the end of the stream, and the text
// together must match the trailer's CRC-32 and length.
bool DictData::CheckChunks(int fd, std::string* error) {
    const size_t chunks = chunkStart_.size() - 1;
    std::vector<unsigned char> in(65536 + 16), out(chunkLength_ + 1);
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) {
        *error = path_ + ": out of memory";
        return false;
    }
    uLong crc = crc32(0, nullptr, 0);
    uint64_t total = 0;
    bool ok = true;
    for (size_t i = 0; i < chunks && ok; ++i) {
        const bool last = i + 1 == chunks;
        // The last chunk is inflated with the stream's end after it.
        const size_t size =
            static_cast<size_t>((last ? mapSize_ - 8 : chunkStart_[i + 1]) - chunkStart_[i]);
        if (!ReadAt(fd, chunkStart_[i], size, in.data())) {
            *error = "cannot read " + path_;
            ok = false;
            break;
        }
        inflateReset(&z);
        z.next_in = in.data();
        z.avail_in = static_cast<uInt>(size);
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        int status = Z_OK;
        while (status == Z_OK && z.avail_in > 0 && z.avail_out > 0) {
            status = inflate(&z, Z_SYNC_FLUSH);
        }
        const size_t produced = out.size() - z.avail_out;
        ok = z.avail_in == 0 && produced <= chunkLength_ &&
             (last ? status == Z_STREAM_END
                   : (status == Z_OK || status == Z_BUF_ERROR) && produced == chunkLength_);
        if (!ok) {
            *error = path_ + ": chunk " + std::to_string(i + 1) + " of " + std::to_string(chunks) +
                     " is damaged";
            break;
        }
        crc = crc32(crc, out.data(), static_cast<uInt>(produced));
        total += produced;
    }
    inflateEnd(&z);
    if (!ok) {
        return false;
    }
    const unsigned char* trailer = map_ + mapSize_ - 8;
    if (static_cast<uint32_t>(crc) != Le32(trailer) ||
        static_cast<uint32_t>(total) != Le32(trailer + 4)) {
        char detail[96];
        std::snprintf(detail, sizeof detail, " (CRC-32 %08x, the trailer says %08x)",
                      static_cast<unsigned>(crc), static_cast<unsigned>(Le32(trailer)));
        *error = path_ + ": the text fails its CRC-32 or length check" +
                 (static_cast<uint32_t>(crc) != Le32(trailer) ? std::string(detail) : "") +
                 ": the file is damaged";
        return false;
    }
    textSize_ = total;
    return true;
}

bool DictData::ReadChunk(size_t index, Chunk* chunk) {
    ChunkCache& cache = ChunkCache::Shared();
    *chunk = cache.Find(id_, index);
    if (*chunk != nullptr) {
        return true;
    }
    // Two threads may inflate the same chunk; the cache keeps the first.
    std::string text;
    if (!InflateRaw(map_ + chunkStart_[index], chunkStart_[index + 1] - chunkStart_[index], &text,
                    -MAX_WBITS) ||
        text.size() > chunkLength_) {
        return false;
    }
    *chunk = std::make_shared<const std::string>(std::move(text));
    cached_ = true;
    cache.Insert(id_, index, *chunk);
    return true;
}

bool DictData::Read(uint64_t offset, uint64_t length, std::string* out) {
    out->clear();
    const uint64_t end = offset + length;
    if (end < offset || end > textSize_) {
        return false;
    }
    if (!compressed_) {
        out->assign(reinterpret_cast<const char*>(map_) + offset, static_cast<size_t>(length));
        return true;
    }
    if (!randomAccess_) {
        out->assign(whole_, static_cast<size_t>(offset), static_cast<size_t>(length));
        return true;
    }
    const size_t chunks = chunkStart_.size() - 1;
    uint64_t at = offset;
    while (at < end) {
        const size_t index = static_cast<size_t>(at / chunkLength_);
        if (index >= chunks) {
            return false;
        }
        Chunk chunk;
        if (!ReadChunk(index, &chunk)) {
            return false;
        }
        const uint64_t inside = at - static_cast<uint64_t>(index) * chunkLength_;
        if (inside >= chunk->size()) {
            return false;
        }
        const uint64_t take = std::min<uint64_t>(chunk->size() - inside, end - at);
        out->append(*chunk, static_cast<size_t>(inside), static_cast<size_t>(take));
        at += take;
    }
    return true;
}

} // namespace service
