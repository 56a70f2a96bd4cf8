// One dictd dictionary (FreeDict data as Debian installs it), or the reverse
// of one: its headwords in a sorted key table and their look-up, exact, then
// ignoring letter case, then ignoring accents. service/Entry.h reads the text
// of the entries it finds.
#pragma once

#include "service/DictData.h"
#include "service/Entry.h"
#include "service/Folding.h"
#include "service/MappedFile.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace service {

// How a looked-up word met the headwords it found.
enum class MatchKind {
    kNone,    // nothing found
    kExact,   // byte for byte (after normal form C), or only in letter case
    kAccents, // only once accents were left out on both sides
};

class Dictionary {
public:
    // Loads folder/name.index and the text from folder/name.dict.dz (or
    // folder/name.dict), both mapped read-only; rules fold the headwords'
    // letter case. Its "00databaseshort" entry tells whether WikDict made
    // it, or CC-CEDICT (see ParseEntry). False with a reason when either
    // file is missing or unreadable.
    //
    // With a cache folder, the key tables are read from it when a file
    // there was built from exactly these files with these rules, and are
    // otherwise built and written there (see DictionaryCache.cpp); a cache
    // file that is refused or cannot be written never fails the load.
    bool Load(const std::string& folder, const std::string& name, CaseRules rules,
              std::string* error, const std::string& cacheFolder = "");

    // Makes this dictionary the reverse of forward, which must stay loaded
    // as long as this one: every translation of every entry becomes a
    // headword whose translations are the forward headwords (in the forward
    // index's order), its case folded by rules. False (and no headword) when
    // the forward text cannot be read. The cache folder serves as in Load.
    bool LoadReversed(const Dictionary& forward, CaseRules rules,
                      const std::string& cacheFolder = "");

    // What the last load did with the cache folder: empty without one,
    // else "tables read from the cache", "tables written to the cache" or
    // why a cache file was refused or could not be written.
    const std::string& CacheNote() const { return cacheNote_; }

    // The entries of word, entries without any translation left out: those
    // whose headword is word exactly come first, then those that differ only
    // in letter case, each group in index order; only when there are none,
    // those whose headword differs only in accents (and case), unless
    // accents is false. *kind (when given) says which. False when the
    // dictionary text could not be read.
    bool Lookup(std::string_view word, std::vector<Entry>* out, MatchKind* kind = nullptr,
                bool accents = true) const;

    size_t HeadwordCount() const { return fold_.size(); }

    // Bytes held for the look-up beside the index file and the text: the key
    // tables, the folded keys that differ from the headwords and, in a
    // reversed dictionary, its headwords and their translations.
    size_t TableBytes() const;

private:
    // One key of a key table. A key that is the headword itself points into
    // the headwords' bytes; one that folding changed is kept in keys_.
    struct Key {
        uint32_t at;
        uint32_t size; // kOwnKey set: at is in keys_
        uint32_t headword;
    };
    static constexpr uint32_t kOwnKey = 0x80000000u;
    // A reversed headword: its bytes in names_ and its translations in
    // postings_[first, next one's first).
    struct Reversed {
        uint32_t at, size, first;
    };
    struct Posting {
        uint32_t line; // the forward headword's index line
        uint32_t type; // into types_
    };

    std::string_view KeyBytes(const Key& k) const;
    // A headword as the index (or the reversal) writes it.
    std::string_view Headword(uint32_t headword) const;
    // Fills the key tables for the given headwords (ids in ascending order).
    void BuildKeys(const std::vector<uint32_t>& headwords);
    void SortKeys(std::vector<Key>* table) const;
    // Appends the headwords of table's keys equal to key.
    void Find(const std::vector<Key>& table, std::string_view key,
              std::vector<uint32_t>* found) const;
    void FindAccents(std::string_view folded, std::vector<uint32_t>* found) const;
    bool Read(const std::vector<uint32_t>& headwords, std::vector<Entry>* out) const;
    // The cache (DictionaryCache.cpp): the file of this dictionary in
    // folder, the identity of the files it is built from, and writing and
    // reading the tables.
    std::string CachePath(const std::string& folder) const;
    void Sources(uint64_t* out) const; // 8 numbers
    bool SaveTables(const std::string& folder, std::string* error) const;
    bool RestoreTables(const std::string& folder, std::string* why);
    bool TablesInBounds() const;
    void ClearTables(); // every table, and what the "00databaseshort" entry said
    // Reads the tables from cacheFolder, or has build make them and writes
    // them there; false when build fails.
    template <class Build> bool CachedTables(const std::string& cacheFolder, Build build);
    bool BuildReverse(const Dictionary& forward);

    std::string name_; // the files' name, without folder and extension
    std::string cacheNote_;
    CaseRules rules_ = CaseRules::kDefault;
    bool definitionLines_ = false; // made by WikDict, see ParseEntry
    bool commasInNames_ = false;   // CC-CEDICT, see ParseEntry
    MappedFile indexFile_;         // the index file, which index_ views
    std::string_view index_;
    // Forward: headword ids are the offsets of their index lines. Reversed:
    // indexes into reversed_.
    std::vector<Key> fold_;   // every headword, by case-folded key, then id
    std::vector<Key> accent_; // headwords whose accents fold away, by that key
    std::string keys_;        // folded keys that differ from their headword
    mutable DictData data_;
    const Dictionary* forward_ = nullptr; // set when this is a reverse
    std::string names_;                   // reversed headwords' bytes
    std::vector<Reversed> reversed_;
    std::vector<Posting> postings_;
    std::vector<std::string> types_;
};

} // namespace service
