// The dictionary service without its HTTP server: turns a request target into
// the reply document. Which directions it serves is read from the folder's
// listing at construction; each dictionary is loaded on its first use, or
// beforehand by Preload. Safe to call from several threads at once: a
// dictionary is loaded once while lookups in other dictionaries go on, and
// lookups run side by side. A dictionary that failed to load, or whose files
// changed on disk, is loaded again after Refresh.
#pragma once

#include "service/Dictionary.h"
#include "service/Languages.h"
#include "service/Lemmas.h"

#include <sys/types.h>

#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <set>
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
    static constexpr size_t kNoDirection = static_cast<size_t>(-1);

    // folder holds the dictd files (freedict-eng-fra.index, ...dict.dz);
    // cacheFolder, when given, the dictionaries' tables between runs (see
    // Dictionary::Load).
    explicit DictionaryService(std::string folder, std::string cacheFolder = "");

    // The reply to one request target (origin or absolute form):
    // - the dictionary path with a well-formed query for a served direction:
    //   200, status "ok", with a result per matching entry (none for a word
    //   the dictionary lacks);
    // - a well-formed query for a direction without a dictionary (unknown
    //   codes and a language to itself included): 200, status "unsupported",
    //   message "no dictionary for FROM -> TO";
    // - a query with a missing key or a bad escape: 400, status "error";
    // - the direction's dictionary refused at load (damaged, cut short,
    //   missing) or its data unreadable: 500, status "error", with the
    //   reason in the message;
    // - any other path: 404, status "error".
    // Loads the direction's dictionary first when it is not loaded yet.
    Answer Handle(std::string_view target);

    // The directions served, in the plugin's table order.
    const std::vector<Direction>& Directions() const { return directions_; }

    // What gives the lemmas of words in a client's language ("Hunspell
    // de_DE"); empty when its words are only folded.
    std::string LemmaSources(const std::string& code) const { return lemmas_.Sources(code); }

    // The index into Directions() of the direction target asks for;
    // kNoDirection when target is not a well-formed query for one.
    size_t DirectionOf(std::string_view target) const;
    // The index of the direction from -> to (letter case ignored);
    // kNoDirection when it is not served.
    size_t FindDirection(std::string_view from, std::string_view to) const;

    // True when Handle for this direction has nothing to load: its
    // dictionary is loaded (or its load failed and has not been retried),
    // and so is the morphology of its words' language.
    bool IsLoaded(size_t direction);
    // Loads the direction's dictionary (and the one it reverses) unless it
    // is loaded; blocks until it is. False when it cannot be used.
    bool LoadDirection(size_t direction);
    // LoadDirection, then the morphology of the direction's words (which
    // Handle would otherwise load at its first word): all that a lookup in
    // the direction loads.
    bool PrepareDirection(size_t direction);

    // Loads the given directions (every direction when empty) on `threads`
    // threads at once. The number of directions that could not be loaded.
    size_t Preload(const std::vector<size_t>& directions, unsigned threads);

    // Looks at what is loaded against the folder: a dictionary whose files
    // changed (size, time or file replaced) is loaded again now, its reverse
    // (when loaded) rebuilt from it right after, each served from the old
    // files until its new one is ready; one whose load failed is tried
    // again at its next use. A reverse always keeps the forward dictionary
    // it was built from alive. The number of dictionaries reloaded.
    size_t Refresh();

private:
    // The identity of a dictionary's files, to see whether they changed.
    struct Stamp {
        struct File {
            bool present = false;
            dev_t device = 0;
            ino_t inode = 0;
            off_t size = 0;
            long long modified = 0; // nanoseconds
            bool operator==(const File& o) const {
                return present == o.present && device == o.device && inode == o.inode &&
                       size == o.size && modified == o.modified;
            }
        };
        File index, text, plain;
        bool operator==(const Stamp& o) const {
            return index == o.index && text == o.text && plain == o.plain;
        }
        bool operator!=(const Stamp& o) const { return !(*this == o); }
    };
    struct Slot {
        std::mutex mutex;
        std::condition_variable done;
        bool loading = false;
        bool tried = false;                     // a load ran to its end
        std::shared_ptr<Dictionary> dictionary; // null when not loaded or failed
        std::string error;                      // why it failed
        Stamp stamp;                            // the files it was loaded from
        std::shared_ptr<Dictionary> source;     // a reverse: the forward dictionary
        CaseRules rules = CaseRules::kDefault;  // the headwords' letter-case rules
    };
    // The loaded dictionary of a direction; null with *error set when it
    // cannot be used.
    std::shared_ptr<Dictionary> Load(const Direction& direction, std::string* error);
    std::shared_ptr<Dictionary> FileDictionary(const std::string& file, CaseRules rules,
                                               std::string* error);
    // The dictionary of file, loaded now, and the reverse of forward, built
    // now (done says so in the line on standard error: "loaded",
    // "reloaded"); null with *error set when refused.
    std::shared_ptr<Dictionary> ReadFile(const std::string& file, CaseRules rules, const char* done,
                                         std::string* error);
    std::shared_ptr<Dictionary> Reverse(const std::string& file,
                                        std::shared_ptr<Dictionary> forward, CaseRules rules,
                                        const char* done, std::string* error);
    // Brings the reverse of file in line with its forward dictionary, just
    // refreshed (null when refused, for forwardError); 1 when it changed.
    size_t RefreshReverse(const std::string& file, Slot& slot,
                          const std::shared_ptr<Dictionary>& forward,
                          const std::string& forwardError);
    Slot& SlotFor(std::map<std::string, Slot>& slots, const std::string& file);
    Slot* FindSlot(std::map<std::string, Slot>& slots, const std::string& file);
    Stamp StampOf(const std::string& file) const;
    // Runs build in the slot once (or again after a reset); waits while
    // another thread does.
    template <class Build>
    std::shared_ptr<Dictionary> LoadSlot(Slot& slot, std::string* error, Build build);
    // The entries a learner means by word in a text of language from: its
    // own, then its lemmas', then (only when neither finds any) those of the
    // headwords that differ from it only in accents.
    bool LearnerLookup(const Dictionary& dictionary, const std::string& from, std::string_view word,
                       std::vector<Entry>* out);

    std::string folder_;
    std::string cacheFolder_;
    std::vector<Direction> directions_;
    std::map<std::pair<std::string, std::string>, size_t> byCodes_; // into directions_
    std::mutex mutex_; // guards the two maps' structure, never held while loading
    std::map<std::string, Slot> files_;
    std::map<std::string, Slot> reversed_; // by the forward file's name
    Lemmas lemmas_;
    std::set<std::string> morphology_; // the codes whose morphology is loaded; under mutex_
};

} // namespace service
