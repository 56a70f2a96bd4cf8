#include "service/Dictionary.h"

#include "basiccpp/Ascii.h"
#include "service/IndexCheck.h"

#include <algorithm>
#include <set>
#include <unordered_map>

namespace service {

namespace {

using ascii::Trimmed;

// The "00database..." entries describe the dictionary itself.
bool IsAboutEntry(std::string_view headword) {
    return headword.substr(0, 10) == "00database" || headword.substr(0, 11) == "00-database";
}

// The entry position and length an index line (up to its line feed) gives
// after its headword.
bool EntryPlace(std::string_view line, uint64_t* offset, uint64_t* size) {
    std::string_view headword;
    return ParseIndexLine(line.substr(0, line.find('\n')), &headword, offset, size);
}

} // namespace

std::string_view Dictionary::KeyBytes(const Key& k) const {
    if ((k.size & kOwnKey) != 0) {
        return std::string_view(keys_).substr(k.at, k.size & ~kOwnKey);
    }
    return forward_ == nullptr ? index_.substr(k.at, k.size)
                               : std::string_view(names_).substr(k.at, k.size);
}

std::string_view Dictionary::Headword(uint32_t headword) const {
    if (forward_ != nullptr) {
        const Reversed& r = reversed_[headword];
        return std::string_view(names_).substr(r.at, r.size);
    }
    const std::string_view line = index_.substr(headword);
    return line.substr(0, line.find('\t'));
}

void Dictionary::SortKeys(std::vector<Key>* table) const {
    // By key, then headword id. Most comparisons are settled by the keys'
    // first eight bytes, compared as one big-endian number.
    struct Sortable {
        uint64_t start;
        Key key;
    };
    std::vector<Sortable> sortable;
    sortable.reserve(table->size());
    for (const Key& k : *table) {
        const std::string_view bytes = KeyBytes(k);
        uint64_t start = 0;
        for (size_t i = 0; i < 8; ++i) {
            start = (start << 8) | (i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0u);
        }
        sortable.push_back({start, k});
    }
    std::sort(sortable.begin(), sortable.end(), [this](const Sortable& a, const Sortable& b) {
        if (a.start != b.start) {
            return a.start < b.start;
        }
        const std::string_view ka = KeyBytes(a.key), kb = KeyBytes(b.key);
        return ka < kb || (ka == kb && a.key.headword < b.key.headword);
    });
    for (size_t i = 0; i < sortable.size(); ++i) {
        (*table)[i] = sortable[i].key;
    }
}

void Dictionary::BuildKeys(const std::vector<uint32_t>& headwords) {
    fold_.clear();
    accent_.clear();
    keys_.clear();
    fold_.reserve(headwords.size());
    const auto own = [this](const std::string& key, uint32_t headword) {
        const Key k{static_cast<uint32_t>(keys_.size()),
                    static_cast<uint32_t>(key.size()) | kOwnKey, headword};
        keys_ += key;
        return k;
    };
    for (uint32_t id : headwords) {
        const std::string_view headword = Headword(id);
        const uint32_t at = static_cast<uint32_t>(
            headword.data() - (forward_ == nullptr ? index_.data() : names_.data()));
        const std::string folded = FoldCase(headword, rules_);
        fold_.push_back(folded == headword ? Key{at, static_cast<uint32_t>(headword.size()), id}
                                           : own(folded, id));
        const std::string plain = FoldAccents(folded);
        if (plain != folded) {
            accent_.push_back(own(plain, id));
        }
    }
    SortKeys(&fold_);
    SortKeys(&accent_);
    keys_.shrink_to_fit();
    accent_.shrink_to_fit();
}

void Dictionary::ClearTables() {
    definitionLines_ = commasInNames_ = false;
    fold_.clear();
    accent_.clear();
    keys_.clear();
    names_.clear();
    reversed_.clear();
    postings_.clear();
    types_.clear();
}

template <class Build> bool Dictionary::CachedTables(const std::string& cacheFolder, Build build) {
    cacheNote_.clear();
    if (!cacheFolder.empty()) {
        std::string why;
        if (RestoreTables(cacheFolder, &why)) {
            cacheNote_ = "tables read from the cache";
            return true;
        }
        cacheNote_ = why.empty() ? "" : "refused " + why + "; ";
    }
    if (!build()) {
        return false;
    }
    if (!cacheFolder.empty()) {
        std::string error;
        cacheNote_ += SaveTables(cacheFolder, &error) ? "tables written to the cache" : error;
    }
    return true;
}

bool Dictionary::Load(const std::string& folder, const std::string& name, CaseRules rules,
                      std::string* error, const std::string& cacheFolder) {
    name_ = name;
    cacheNote_.clear();
    const std::string base = folder + "/" + name;
    if (!indexFile_.Open(base + ".index", error)) {
        return false;
    }
    indexFile_.CloseDescriptor();
    if (indexFile_.size() >= kOwnKey) {
        *error = base + ".index is too large";
        return false;
    }
    std::string dataError;
    if (!data_.Open(base + ".dict.dz", &dataError) && !data_.Open(base + ".dict", error)) {
        *error = dataError + "; " + *error;
        return false;
    }
    if (!CheckIndex(indexFile_.bytes(), data_.TextSize(), base + ".index", error)) {
        return false;
    }
    index_ = indexFile_.bytes();
    rules_ = rules;
    forward_ = nullptr;
    ClearTables();
    CachedTables(cacheFolder, [&] {
        std::vector<uint32_t> lines;
        size_t at = 0;
        while (at < index_.size()) {
            size_t end = index_.find('\n', at);
            if (end == std::string_view::npos) {
                end = index_.size();
            }
            std::string_view headword;
            uint64_t offset = 0, size = 0;
            if (ParseIndexLine(index_.substr(at, end - at), &headword, &offset, &size)) {
                if (headword == "00databaseshort" || headword == "00-database-short") {
                    std::string about;
                    if (data_.Read(offset, size, &about)) {
                        definitionLines_ = about.find("WikDict") != std::string::npos;
                        commasInNames_ = about.find("CC-CEDICT") != std::string::npos;
                    }
                }
                if (!headword.empty() && !IsAboutEntry(headword)) {
                    lines.push_back(static_cast<uint32_t>(at));
                }
            }
            at = end + 1;
        }
        BuildKeys(lines);
        return true;
    });
    // Read whole for the key table; from now on lookups read a page here
    // and there.
    indexFile_.Release();
    return true;
}

bool Dictionary::LoadReversed(const Dictionary& forward, CaseRules rules,
                              const std::string& cacheFolder) {
    name_ = forward.name_;
    forward_ = &forward;
    rules_ = rules;
    ClearTables();
    const bool built = CachedTables(cacheFolder, [&] { return BuildReverse(forward); });
    forward.indexFile_.Release();
    return built;
}

bool Dictionary::BuildReverse(const Dictionary& forward) {
    // The forward entries in the order of their text, which inflates each
    // compressed chunk once; the translations of a reversed headword are
    // put in the forward index's order below.
    struct Place {
        DictData::Range range;
        uint32_t line;
    };
    std::vector<Place> places;
    places.reserve(forward.fold_.size());
    for (const Key& k : forward.fold_) {
        uint64_t offset = 0, size = 0;
        if (EntryPlace(forward.index_.substr(k.headword), &offset, &size)) {
            places.push_back({{offset, size}, k.headword});
        }
    }
    std::sort(places.begin(), places.end(), [](const Place& a, const Place& b) {
        return a.range.offset < b.range.offset ||
               (a.range.offset == b.range.offset && a.line < b.line);
    });
    std::vector<DictData::Range> ranges(places.size());
    for (size_t i = 0; i < places.size(); ++i) {
        ranges[i] = places[i].range;
    }
    struct Pair {
        uint32_t name;
        Posting posting;
    };
    std::vector<Pair> pairs;
    // Translations that differ only in letter case are one headword, written
    // as it appears first in the forward index.
    std::unordered_map<std::string, uint32_t> nameIds; // by folded name
    std::vector<std::string> names;
    std::vector<uint32_t> firstLine; // of each name
    std::unordered_map<std::string, uint32_t> typeIds;
    const bool read = forward.data_.ReadInOrder(ranges, [&](size_t i, std::string_view text) {
        const uint32_t line = places[i].line;
        for (Translation& t : ParseEntry(text, forward.definitionLines_, forward.commasInNames_)) {
            const auto name =
                nameIds.try_emplace(FoldCase(t.name, rules_), static_cast<uint32_t>(names.size()));
            const uint32_t id = name.first->second;
            if (name.second) {
                names.push_back(std::move(t.name));
                firstLine.push_back(line);
            } else if (line < firstLine[id]) {
                names[id] = std::move(t.name);
                firstLine[id] = line;
            }
            const auto type =
                typeIds.try_emplace(std::move(t.type), static_cast<uint32_t>(types_.size()));
            if (type.second) {
                types_.push_back(type.first->first);
            }
            pairs.push_back({id, {line, type.first->second}});
        }
    });
    if (!read) {
        types_.clear();
        return false;
    }
    nameIds.clear();
    std::stable_sort(pairs.begin(), pairs.end(), [](const Pair& a, const Pair& b) {
        return a.name < b.name || (a.name == b.name && a.posting.line < b.posting.line);
    });
    reversed_.reserve(names.size());
    postings_.reserve(pairs.size());
    size_t bytes = 0;
    for (const std::string& name : names) {
        bytes += name.size();
    }
    names_.reserve(bytes);
    std::set<std::pair<std::string_view, uint32_t>> seen;
    for (size_t i = 0; i < pairs.size();) {
        const uint32_t id = pairs[i].name;
        reversed_.push_back({static_cast<uint32_t>(names_.size()),
                             static_cast<uint32_t>(names[id].size()),
                             static_cast<uint32_t>(postings_.size())});
        names_ += names[id];
        // Two forward entries of the same headword may give the same
        // translation of the same type: it is listed once.
        seen.clear();
        for (; i < pairs.size() && pairs[i].name == id; ++i) {
            const Posting& p = pairs[i].posting;
            if (seen.emplace(forward.Headword(p.line), p.type).second) {
                postings_.push_back(p);
            }
        }
    }
    std::vector<uint32_t> ids(reversed_.size());
    for (size_t i = 0; i < ids.size(); ++i) {
        ids[i] = static_cast<uint32_t>(i);
    }
    BuildKeys(ids);
    return true;
}

void Dictionary::Find(const std::vector<Key>& table, std::string_view key,
                      std::vector<uint32_t>* found) const {
    const auto range =
        std::equal_range(table.begin(), table.end(), key, [this](const auto& a, const auto& b) {
            if constexpr (std::is_same_v<std::decay_t<decltype(a)>, Key>) {
                return KeyBytes(a) < std::string_view(b);
            } else {
                return std::string_view(a) < KeyBytes(b);
            }
        });
    for (auto it = range.first; it != range.second; ++it) {
        found->push_back(it->headword);
    }
}

void Dictionary::FindAccents(std::string_view folded, std::vector<uint32_t>* found) const {
    const std::string plain = FoldAccents(folded);
    // Headwords whose accents fold away are in accent_; the others are found
    // by their case-folded key, which is then their accent-free key too.
    Find(accent_, plain, found);
    if (plain != folded) {
        Find(fold_, plain, found);
    }
    std::sort(found->begin(), found->end());
}

bool Dictionary::Read(const std::vector<uint32_t>& headwords, std::vector<Entry>* out) const {
    std::string text;
    for (uint32_t id : headwords) {
        Entry entry;
        if (forward_ != nullptr) {
            const Reversed& r = reversed_[id];
            const uint32_t end = id + 1 < reversed_.size()
                                     ? reversed_[id + 1].first
                                     : static_cast<uint32_t>(postings_.size());
            entry.headword = std::string(Headword(id));
            for (uint32_t p = r.first; p < end; ++p) {
                entry.translations.push_back({std::string(forward_->Headword(postings_[p].line)),
                                              types_[postings_[p].type]});
            }
        } else {
            uint64_t offset = 0, size = 0;
            if (!EntryPlace(index_.substr(id), &offset, &size) ||
                !data_.Read(offset, size, &text)) {
                return false;
            }
            // The headword as the entry's first line writes it (the index
            // may hold it in lower case) when the two agree.
            const std::string_view indexed = Headword(id);
            const std::string_view written = HeadwordLine(text);
            entry.headword =
                std::string(written.size() == indexed.size() &&
                                    FoldCase(written, rules_) == FoldCase(indexed, rules_)
                                ? written
                                : indexed);
            entry.translations = ParseEntry(text, definitionLines_, commasInNames_);
        }
        if (!entry.translations.empty()) {
            out->push_back(std::move(entry));
        }
    }
    return true;
}

bool Dictionary::Lookup(std::string_view word, std::vector<Entry>* out, MatchKind* kind,
                        bool accents) const {
    out->clear();
    if (kind != nullptr) {
        *kind = MatchKind::kNone;
    }
    const std::string exact = Nfc(Trimmed(word));
    if (exact.empty()) {
        return true;
    }
    const std::string folded = FoldCase(exact, rules_);
    std::vector<uint32_t> found;
    Find(fold_, folded, &found);
    // The headwords written exactly as the word first.
    std::stable_partition(found.begin(), found.end(),
                          [&](uint32_t id) { return Headword(id) == exact; });
    if (!Read(found, out)) {
        return false;
    }
    if (!out->empty() || !accents) {
        if (kind != nullptr && !out->empty()) {
            *kind = MatchKind::kExact;
        }
        return true;
    }
    found.clear();
    FindAccents(folded, &found);
    if (!Read(found, out)) {
        return false;
    }
    if (kind != nullptr && !out->empty()) {
        *kind = MatchKind::kAccents;
    }
    return true;
}

size_t Dictionary::TableBytes() const {
    size_t bytes = (fold_.capacity() + accent_.capacity()) * sizeof(Key) + keys_.capacity() +
                   names_.capacity() + reversed_.capacity() * sizeof(Reversed) +
                   postings_.capacity() * sizeof(Posting);
    for (const std::string& type : types_) {
        bytes += sizeof type + type.capacity();
    }
    return bytes;
}

} // namespace service
