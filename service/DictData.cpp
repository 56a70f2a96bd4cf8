#include "service/DictData.h"

#include "service/ChunkCache.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>

namespace service {

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
    file_.Close();
    info_ = {};
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
    if (!file_.Open(path, error)) {
        return false;
    }
    info_ = file_.info();
    compressed_ = EndsWith(path, ".dz") || EndsWith(path, ".gz");
    bool ok = true;
    if (!compressed_) {
        textSize_ = file_.size();
    } else {
        ok = OpenGzip(error);
    }
    file_.CloseDescriptor();
    // The header and the trailer were read through the mapping (and the
    // pages around them with them): lookups map what they read.
    file_.Release();
    if (!ok) {
        Close();
    }
    return ok;
}

bool DictData::OpenGzip(std::string* error) {
    const unsigned char* file = file_.data();
    const size_t size = file_.size();
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
        if (!InflateRaw(file, size, &whole_, 16 + MAX_WBITS)) {
            *error = path_ + ": the compressed text is damaged (its CRC-32 or length check fails)";
            return false;
        }
        textSize_ = whole_.size();
        file_.Close();
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
    return CheckChunks(error);
}

namespace {

// What checking a run of chunks found.
struct ChunkRun {
    uLong crc = crc32(0, nullptr, 0);
    uint64_t length = 0;
    size_t damaged = 0; // the first damaged chunk's number from 1; 0 when none
    bool unreadable = false;
};

} // namespace

// Inflates every chunk once, read with pread rather than through the mapping
// (which would make the whole file resident in this process): each must give
// exactly one chunk of text, the last one the end of the stream, and the text
// together must match the trailer's CRC-32 and length. A large file is
// checked in two halves at once, their CRC-32s then combined.
bool DictData::CheckChunks(std::string* error) {
    const size_t chunks = chunkStart_.size() - 1;
    const int fd = file_.descriptor();
    const auto check = [&](size_t first, size_t end, ChunkRun* run) {
        std::vector<unsigned char> in(65536 + 16), out(chunkLength_ + 1);
        z_stream z{};
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK) {
            run->unreadable = true;
            return;
        }
        for (size_t i = first; i < end; ++i) {
            const bool last = i + 1 == chunks;
            // The last chunk is inflated with the stream's end after it.
            const size_t size = static_cast<size_t>((last ? file_.size() - 8 : chunkStart_[i + 1]) -
                                                    chunkStart_[i]);
            if (size > in.size() || !ReadFully(fd, chunkStart_[i], in.data(), size)) {
                run->unreadable = size <= in.size();
                run->damaged = run->unreadable ? 0 : i + 1;
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
            const bool ok =
                z.avail_in == 0 && produced <= chunkLength_ &&
                (last ? status == Z_STREAM_END
                      : (status == Z_OK || status == Z_BUF_ERROR) && produced == chunkLength_);
            if (!ok) {
                run->damaged = i + 1;
                break;
            }
            run->crc = crc32(run->crc, out.data(), static_cast<uInt>(produced));
            run->length += produced;
        }
        inflateEnd(&z);
    };
    ChunkRun head, tail;
    const size_t half = chunks >= 64 ? chunks / 2 : chunks;
    std::thread second;
    if (half < chunks) {
        second = std::thread(check, half, chunks, &tail);
    }
    check(0, half, &head);
    if (second.joinable()) {
        second.join();
    }
    for (const ChunkRun* run : {&head, &tail}) {
        if (run->unreadable) {
            *error = "cannot read " + path_;
            return false;
        }
        if (run->damaged != 0) {
            *error = path_ + ": chunk " + std::to_string(run->damaged) + " of " +
                     std::to_string(chunks) + " is damaged";
            return false;
        }
    }
    const uLong crc = crc32_combine(head.crc, tail.crc, static_cast<z_off_t>(tail.length));
    const uint64_t total = head.length + tail.length;
    const unsigned char* trailer = file_.data() + file_.size() - 8;
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

bool DictData::InflateChunk(size_t index, std::string* text) const {
    text->clear();
    return InflateRaw(file_.data() + chunkStart_[index],
                      chunkStart_[index + 1] - chunkStart_[index], text, -MAX_WBITS) &&
           text->size() <= chunkLength_;
}

bool DictData::ReadChunk(size_t index, Chunk* chunk) {
    ChunkCache& cache = ChunkCache::Shared();
    *chunk = cache.Find(id_, index);
    if (*chunk != nullptr) {
        return true;
    }
    // Two threads may inflate the same chunk; the cache keeps the first.
    std::string text;
    if (!InflateChunk(index, &text)) {
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
        out->assign(file_.bytes().substr(static_cast<size_t>(offset), static_cast<size_t>(length)));
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

namespace service {

bool DictData::ReadInOrder(const std::vector<Range>& ranges,
                           const std::function<void(size_t, std::string_view)>& take) {
    bool ok = true;
    if (!randomAccess_) {
        std::string text;
        for (size_t i = 0; i < ranges.size() && ok; ++i) {
            ok = Read(ranges[i].offset, ranges[i].length, &text);
            if (ok) {
                take(i, text);
            }
        }
        file_.Release();
        return ok;
    }
    // The inflated text [windowStart, windowStart + window.size()): from the
    // chunk of the range being read on; earlier chunks are dropped.
    std::string window, chunk;
    uint64_t windowStart = 0;
    size_t next = 0; // the next chunk to inflate
    const size_t chunks = chunkStart_.size() - 1;
    for (size_t i = 0; i < ranges.size() && ok; ++i) {
        const uint64_t offset = ranges[i].offset, end = offset + ranges[i].length;
        if (end < offset || end > textSize_ || (i > 0 && offset < ranges[i - 1].offset)) {
            ok = false;
            break;
        }
        if (offset >= windowStart + window.size()) {
            next = static_cast<size_t>(offset / chunkLength_);
            windowStart = static_cast<uint64_t>(next) * chunkLength_;
            window.clear();
        } else if (offset - windowStart >= chunkLength_) {
            const size_t drop = static_cast<size_t>((offset - windowStart) / chunkLength_);
            window.erase(0, drop * chunkLength_);
            windowStart += static_cast<uint64_t>(drop) * chunkLength_;
        }
        while (ok && windowStart + window.size() < end) {
            ok = next < chunks && InflateChunk(next++, &chunk) &&
                 (chunk.size() == chunkLength_ || next == chunks);
            window += chunk;
        }
        if (ok) {
            take(i, std::string_view(window).substr(static_cast<size_t>(offset - windowStart),
                                                    static_cast<size_t>(end - offset)));
        }
    }
    file_.Release();
    return ok;
}

} // namespace service
