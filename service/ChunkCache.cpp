#include "service/ChunkCache.h"

namespace service {

ChunkCache& ChunkCache::Shared() {
    static ChunkCache cache(size_t{64} << 20);
    return cache;
}

void ChunkCache::SetBudget(size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    budget_ = bytes;
    DropBeyond(budget_);
}

ChunkCache::Chunk ChunkCache::Find(uint64_t owner, size_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = byKey_.find({owner, index});
    if (found == byKey_.end()) {
        return nullptr;
    }
    entries_.splice(entries_.begin(), entries_, found->second);
    return found->second->second;
}

void ChunkCache::Insert(uint64_t owner, size_t index, Chunk chunk) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (chunk == nullptr || chunk->size() > budget_ || byKey_.count({owner, index}) != 0) {
        return;
    }
    DropBeyond(budget_ - chunk->size());
    bytes_ += chunk->size();
    entries_.emplace_front(Key{owner, index}, std::move(chunk));
    byKey_[{owner, index}] = entries_.begin();
}

void ChunkCache::Forget(uint64_t owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->first.owner == owner) {
            bytes_ -= it->second->size();
            byKey_.erase(it->first);
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
}

size_t ChunkCache::Bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

void ChunkCache::DropBeyond(size_t budget) {
    while (bytes_ > budget && !entries_.empty()) {
        bytes_ -= entries_.back().second->size();
        byKey_.erase(entries_.back().first);
        entries_.pop_back();
    }
}

} // namespace service
