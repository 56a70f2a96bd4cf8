// Random access to the text of a dictd dictionary: a ".dict.dz" file
// (dictzip: gzip with a table of independently inflatable chunks), a plain
// gzip file (inflated whole when opened), or an uncompressed ".dict" file.
// The file is mapped read-only (MappedFile), never copied: instances of the
// service on one host share its pages. A compressed file is checked whole
// when opened, against the CRC-32 and length in its gzip trailer, so that no
// damaged byte is ever served. Inflated chunks are kept in the process's
// ChunkCache.
#pragma once

#include "service/MappedFile.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace service {

class DictData {
public:
    DictData();
    ~DictData();
    DictData(const DictData&) = delete;
    DictData& operator=(const DictData&) = delete;

    // Opens path; false (with a reason in *error) when the file cannot be
    // read, is not a dictzip/gzip file, or fails its CRC-32 or length check.
    // Files ending in ".dz" or ".gz" are taken as gzip. May be called again
    // for another file.
    bool Open(const std::string& path, std::string* error);

    // The bytes [offset, offset + length) of the uncompressed text. False when
    // the range lies outside the text or the compressed data is damaged.
    // Safe to call from several threads at once after Open.
    bool Read(uint64_t offset, uint64_t length, std::string* out);

    // Hands the ranges of the text, sorted by offset, to take in that order
    // (take(i, bytes) for ranges[i]), each compressed chunk inflated once and
    // kept neither in the chunk cache nor in this process's resident set:
    // for reading a whole text once. False when a range lies outside the
    // text or the data cannot be read (take may have had some ranges).
    struct Range {
        uint64_t offset, length;
    };
    bool ReadInOrder(const std::vector<Range>& ranges,
                     const std::function<void(size_t, std::string_view)>& take);

    // The length of the uncompressed text.
    uint64_t TextSize() const { return textSize_; }
    // The status of the file opened (for telling whether it changed since).
    const struct stat& FileInfo() const { return info_; }

private:
    using Chunk = std::shared_ptr<const std::string>;
    void Close();
    bool OpenGzip(std::string* error);
    bool CheckChunks(std::string* error);
    bool InflateChunk(size_t index, std::string* text) const;
    bool ReadChunk(size_t index, Chunk* chunk);

    std::string path_;
    MappedFile file_;     // unmapped once a plain gzip file is inflated
    struct stat info_ {}; // the file's, as opened
    bool compressed_ = false;
    bool randomAccess_ = false;        // dictzip chunk table present
    size_t chunkLength_ = 0;           // uncompressed bytes per chunk
    std::vector<uint64_t> chunkStart_; // file offsets; one more than chunks
    uint64_t textSize_ = 0;
    std::string whole_;               // a plain gzip file's text
    uint64_t id_;                     // this text's key in the chunk cache
    std::atomic<bool> cached_{false}; // chunks of it may be in the cache
};

} // namespace service
