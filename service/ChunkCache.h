// Inflated chunks of dictzip text, kept for every dictionary of the process
// within one byte budget, least recently used dropped first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace service {

class ChunkCache {
public:
    using Chunk = std::shared_ptr<const std::string>;

    explicit ChunkCache(size_t budget) : budget_(budget) {}

    // The process's cache, shared by every dictionary; 64 MiB until set.
    static ChunkCache& Shared();

    // Drops chunks until the cache fits the new budget (0: keep nothing).
    void SetBudget(size_t bytes);

    // The chunk index of owner's text; null when it is not kept.
    Chunk Find(uint64_t owner, size_t index);
    // Keeps chunk, dropping the least recently used ones beyond the budget.
    // A chunk larger than the whole budget is not kept.
    void Insert(uint64_t owner, size_t index, Chunk chunk);
    // Drops every chunk of owner (a dictionary that goes away).
    void Forget(uint64_t owner);

    size_t Bytes() const;

private:
    struct Key {
        uint64_t owner;
        size_t index;
        bool operator==(const Key& other) const {
            return owner == other.owner && index == other.index;
        }
    };
    struct KeyHash {
        size_t operator()(const Key& key) const {
            return std::hash<uint64_t>()(key.owner * 0x9E3779B97F4A7C15ull ^ key.index);
        }
    };
    using Entries = std::list<std::pair<Key, Chunk>>; // most recently used first
    void DropBeyond(size_t budget);

    mutable std::mutex mutex_;
    size_t budget_;
    size_t bytes_ = 0;
    Entries entries_;
    std::unordered_map<Key, Entries::iterator, KeyHash> byKey_;
};

} // namespace service
