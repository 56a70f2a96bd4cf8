// Random access to the text of a dictd dictionary: a ".dict.dz" file
// (dictzip: gzip with a table of independently inflatable chunks), a plain
// gzip file (inflated whole on first use), or an uncompressed ".dict" file.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace service {

// The whole file at path into *out; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* out);

class DictData {
public:
    // Opens path; false (with a reason in *error) when the file cannot be read
    // or is not a dictzip/gzip file. Files ending in ".dz" are taken as gzip.
    bool Open(const std::string& path, std::string* error);

    // The bytes [offset, offset + length) of the uncompressed text. False when
    // the range lies outside the text or the compressed data is damaged.
    // Safe to call from several threads at once after Open.
    bool Read(uint64_t offset, uint64_t length, std::string* out);

private:
    using Chunk = std::shared_ptr<const std::string>;
    bool ReadChunk(size_t index, Chunk* chunk);
    bool InflateWhole();

    std::string path_;
    std::string file_; // the whole file as read from disk
    bool compressed_ = false;
    bool randomAccess_ = false;        // dictzip chunk table present
    size_t chunkLength_ = 0;           // uncompressed bytes per chunk
    std::vector<uint64_t> chunkStart_; // file offsets; one more than chunks
    std::mutex mutex_;                 // guards the cache and the whole text
    std::map<size_t, Chunk> cache_;    // inflated chunks, bounded
    std::vector<size_t> cacheOrder_;   // oldest first
    std::string whole_;                // the inflated text without chunk table
    bool wholeReady_ = false;
};

} // namespace service
