// One dictd dictionary (FreeDict data as Debian installs it): its index and
// the case-insensitive look-up of headwords; service/Entry.h reads the text of
// the entries it finds.
#pragma once

#include "service/DictData.h"
#include "service/Entry.h"

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace service {

// Lower-cases UTF-8 text for comparison: ASCII, Latin-1, Latin Extended-A,
// Greek and Cyrillic capitals. Every other byte (and any invalid sequence) is
// kept as it is, so the result always has the input's byte length.
std::string FoldCase(std::string_view text);

class Dictionary {
public:
    // Loads folder/name.index and the text from folder/name.dict.dz (or
    // folder/name.dict). Its "00databaseshort" entry tells whether WikDict
    // made it. False with a reason when either is missing or
    // unreadable.
    bool Load(const std::string& folder, const std::string& name, std::string* error);

    // Makes this dictionary the reverse of forward: every translation of every
    // entry becomes a headword whose translations are the forward headwords.
    void LoadReversed(Dictionary& forward);

    // Every entry whose headword equals word ignoring letter case, in index
    // order; entries without any translation are left out. False when the
    // dictionary text could not be read.
    bool Lookup(std::string_view word, std::vector<Entry>* out);

    size_t HeadwordCount() const { return reversed_ ? reverse_.size() : records_.size(); }

private:
    struct Record {
        uint32_t at;     // headword position in index_ (and in folded_)
        uint32_t length; // headword length in bytes
        uint64_t offset; // entry position in the dictionary text
        uint64_t size;   // entry length
    };
    std::string_view Key(const Record& r) const { return {folded_.data() + r.at, r.length}; }

    bool reversed_ = false;
    bool definitionLines_ = false; // made by WikDict, see ParseEntry
    std::string index_;            // the index file
    std::string folded_;           // the index file case-folded, byte for byte aligned
    std::vector<Record> records_;  // sorted by folded headword, stable
    DictData data_;
    std::map<std::string, Entry> reverse_; // folded headword -> entry
};

} // namespace service
