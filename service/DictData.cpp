#include "service/DictData.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>

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

// Inflated chunks kept per dictionary, oldest dropped first: FreeDict's
// chunks are about 58 KB of text, so at most some 60 MB for the largest
// dictionary, and only for the chunks its lookups have touched. A lookup of
// a word whose chunk is kept inflates nothing.
constexpr size_t kCachedChunks = 1024;

uint16_t Le16(const std::string& s, size_t at) {
    return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) |
                                 (static_cast<unsigned char>(s[at + 1]) << 8));
}

bool EndsWith(const std::string& s, const char* suffix) {
    const std::string tail(suffix);
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
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

} // namespace

bool DictData::Open(const std::string& path, std::string* error) {
    path_ = path;
    if (!ReadWholeFile(path, &file_)) {
        *error = "cannot read " + path;
        return false;
    }
    compressed_ = EndsWith(path, ".dz") || EndsWith(path, ".gz");
    if (!compressed_) {
        return true;
    }
    // gzip header: magic, method 8, flags, mtime, xfl, os.
    if (file_.size() < 18 || static_cast<unsigned char>(file_[0]) != 0x1f ||
        static_cast<unsigned char>(file_[1]) != 0x8b || file_[2] != 8) {
        *error = path + " is not a gzip file";
        return false;
    }
    const unsigned flags = static_cast<unsigned char>(file_[3]);
    size_t at = 10;
    size_t chunkCount = 0;
    std::vector<uint16_t> sizes;
    if (flags & 0x04) { // FEXTRA: look for the dictzip "RA" subfield
        const size_t extraLength = Le16(file_, at);
        at += 2;
        const size_t extraEnd = at + extraLength;
        if (extraEnd > file_.size()) {
            *error = path + ": truncated gzip header";
            return false;
        }
        size_t field = at;
        while (field + 4 <= extraEnd) {
            const size_t length = Le16(file_, field + 2);
            if (field + 4 + length > extraEnd) {
                break;
            }
            if (file_[field] == 'R' && file_[field + 1] == 'A' && length >= 6 &&
                Le16(file_, field + 4) == 1) {
                chunkLength_ = Le16(file_, field + 6);
                chunkCount = Le16(file_, field + 8);
                if (length >= 6 + 2 * chunkCount && chunkLength_ > 0) {
                    for (size_t i = 0; i < chunkCount; ++i) {
                        sizes.push_back(Le16(file_, field + 10 + 2 * i));
                    }
                }
            }
            field += 4 + length;
        }
        at = extraEnd;
    }
    auto skipZeroTerminated = [&] {
        while (at < file_.size() && file_[at] != '\0') {
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
    if (at >= file_.size()) {
        *error = path + ": truncated gzip header";
        return false;
    }
    if (!sizes.empty()) {
        chunkStart_.push_back(at);
        for (uint16_t size : sizes) {
            chunkStart_.push_back(chunkStart_.back() + size);
        }
        if (chunkStart_.back() > file_.size()) {
            *error = path + ": chunk table runs past the end of the file";
            chunkStart_.clear();
            return false;
        }
        randomAccess_ = true;
    }
    return true;
}

bool DictData::ReadChunk(size_t index, Chunk* chunk) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto found = cache_.find(index);
        if (found != cache_.end()) {
            *chunk = found->second;
            return true;
        }
    }
    // Inflated outside the lock: two threads may inflate the same chunk, and
    // the second copy simply replaces the first.
    std::string text;
    const auto* base = reinterpret_cast<const unsigned char*>(file_.data());
    if (!InflateRaw(base + chunkStart_[index], chunkStart_[index + 1] - chunkStart_[index], &text,
                    -MAX_WBITS) ||
        text.size() > chunkLength_) {
        return false;
    }
    *chunk = std::make_shared<const std::string>(std::move(text));
    std::lock_guard<std::mutex> lock(mutex_);
    if (cache_.count(index) == 0) {
        if (cacheOrder_.size() >= kCachedChunks) {
            cache_.erase(cacheOrder_.front());
            cacheOrder_.erase(cacheOrder_.begin());
        }
        cacheOrder_.push_back(index);
    }
    cache_[index] = *chunk;
    return true;
}

bool DictData::InflateWhole() {
    if (wholeReady_) {
        return true;
    }
    // windowBits 16 + MAX_WBITS: zlib reads the gzip wrapper itself.
    whole_.clear();
    if (!InflateRaw(reinterpret_cast<const unsigned char*>(file_.data()), file_.size(), &whole_,
                    16 + MAX_WBITS)) {
        return false;
    }
    wholeReady_ = true;
    return true;
}

bool DictData::Read(uint64_t offset, uint64_t length, std::string* out) {
    out->clear();
    if (!compressed_) {
        if (offset > file_.size() || length > file_.size() - offset) {
            return false;
        }
        out->assign(file_, offset, length);
        return true;
    }
    if (!randomAccess_) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!InflateWhole() || offset > whole_.size() || length > whole_.size() - offset) {
            return false;
        }
        out->assign(whole_, offset, length);
        return true;
    }
    const size_t chunks = chunkStart_.size() - 1;
    uint64_t at = offset;
    const uint64_t end = offset + length;
    if (end < offset) {
        return false;
    }
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
