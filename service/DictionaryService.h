// The dictionary service without its HTTP server: turns a request target into
// the reply document. Which directions it serves is read from the folder's
// listing at construction; each dictionary is loaded on its first use. Safe
// to call from several threads at once: a dictionary is loaded once while
// lookups in other dictionaries go on, and lookups run side by side.
#pragma once

#include "service/Dictionary.h"
#include "service/Languages.h"
#include "service/Lemmas.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace service {

struct Answer {
    int httpStatus = 200;
    std::string body;   // the XML reply
    size_t results = 0; // entries in the reply
};

class DictionaryService {
public:
    // folder holds the dictd files (freedict-eng-fra.index, ...dict.dz).
    explicit DictionaryService(std::string folder);

    // The reply to one request target (origin or absolute form):
    // - the dictionary path with a well-formed query for a served direction:
    //   200, status "ok", with a result per matching entry, the word's own
    //   first, then its lemmas' (none for a word the dictionary lacks);
    // - a well-formed query for a direction without a dictionary (unknown
    //   codes and a language to itself included): 200, status "unsupported",
    //   message "no dictionary for FROM -> TO";
    // - a query with a missing key or a bad escape: 400, status "error";
    // - the dictionary data unreadable: 500, status "error";
    // - any other path: 404, status "error".
    Answer Handle(std::string_view target);

    // The directions served, in the plugin's table order.
    const std::vector<Direction>& Directions() const { return directions_; }

    // What gives the lemmas of words in a client's language ("Hunspell
    // de_DE"); empty when its words are only folded.
    std::string LemmaSources(const std::string& code) const { return lemmas_.Sources(code); }

private:
    struct Slot {
        std::once_flag once;
        std::unique_ptr<Dictionary> dictionary; // null when it failed to load
    };
    // The loaded dictionary of a direction; null when its file cannot be read.
    Dictionary* Load(const Direction& direction);
    Dictionary* FileDictionary(const std::string& file, CaseRules rules);
    Slot& SlotFor(std::map<std::string, Slot>& slots, const std::string& file);
    // The entries a learner means by word in a text of language from: its
    // own, then its lemmas', then (only when neither finds any) those of the
    // headwords that differ from it only in accents.
    bool LearnerLookup(const Dictionary& dictionary, const std::string& from, std::string_view word,
                       std::vector<Entry>* out);

    std::string folder_;
    std::vector<Direction> directions_;
    std::map<std::pair<std::string, std::string>, size_t> byCodes_; // into directions_
    std::mutex mutex_; // guards the two maps' structure, never held while loading
    std::map<std::string, Slot> files_;
    std::map<std::string, Slot> reversed_; // by the forward file's name
    Lemmas lemmas_;
};

} // namespace service
