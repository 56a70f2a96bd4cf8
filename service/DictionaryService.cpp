#include "service/DictionaryService.h"

#include "basiccpp/Ascii.h"
#include "service/Reply.h"
#include "service/Request.h"

#include <malloc.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <new>
#include <thread>

namespace service {

namespace {
long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - start)
                                      .count());
}

// A reversed dictionary with the forward one it was built from, which it
// keeps alive.
struct Reversed {
    std::shared_ptr<Dictionary> forward;
    Dictionary reverse;
};
} // namespace

DictionaryService::DictionaryService(std::string folder, std::string cacheFolder)
    : folder_(std::move(folder)), cacheFolder_(std::move(cacheFolder)),
      directions_(ServedDirections(folder_)) {
    for (size_t i = 0; i < directions_.size(); ++i) {
        byCodes_[{directions_[i].from, directions_[i].to}] = i;
    }
}

DictionaryService::Slot& DictionaryService::SlotFor(std::map<std::string, Slot>& slots,
                                                    const std::string& file) {
    std::lock_guard<std::mutex> lock(mutex_);
    return slots[file]; // std::map never moves its elements
}

DictionaryService::Slot* DictionaryService::FindSlot(std::map<std::string, Slot>& slots,
                                                     const std::string& file) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = slots.find(file);
    return found == slots.end() ? nullptr : &found->second;
}

DictionaryService::Stamp DictionaryService::StampOf(const std::string& file) const {
    auto of = [](const std::string& path) {
        Stamp::File f;
        struct stat info {};
        if (stat(path.c_str(), &info) == 0) {
            f.present = true;
            f.device = info.st_dev;
            f.inode = info.st_ino;
            f.size = info.st_size;
            f.modified =
                static_cast<long long>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
        }
        return f;
    };
    const std::string base = folder_ + "/" + file;
    return {of(base + ".index"), of(base + ".dict.dz"), of(base + ".dict")};
}

template <class Build>
std::shared_ptr<Dictionary> DictionaryService::LoadSlot(Slot& slot, std::string* error,
                                                        Build build) {
    std::unique_lock<std::mutex> lock(slot.mutex);
    slot.done.wait(lock, [&] { return !slot.loading; });
    if (!slot.tried) {
        slot.loading = true;
        lock.unlock();
        Slot built;
        try {
            build(&built);
        } catch (const std::bad_alloc&) {
            built.dictionary.reset();
            built.error = "out of memory";
        }
        lock.lock();
        slot.dictionary = std::move(built.dictionary);
        slot.error = std::move(built.error);
        slot.stamp = built.stamp;
        slot.source = std::move(built.source);
        slot.loading = false;
        slot.tried = true;
        slot.done.notify_all();
    }
    if (slot.dictionary == nullptr) {
        *error = slot.error;
    }
    return slot.dictionary;
}

std::shared_ptr<Dictionary> DictionaryService::ReadFile(const std::string& file, CaseRules rules,
                                                        const char* done, std::string* error) {
    const auto started = std::chrono::steady_clock::now();
    try {
        auto dictionary = std::make_shared<Dictionary>();
        if (dictionary->Load(folder_, file, rules, error, cacheFolder_)) {
            std::fprintf(stderr, "lexigrove-service: %s %s (%zu headwords) in %lld ms%s%s\n", done,
                         file.c_str(), dictionary->HeadwordCount(), MillisecondsSince(started),
                         cacheFolder_.empty() ? "" : ": ", dictionary->CacheNote().c_str());
            return dictionary;
        }
    } catch (const std::bad_alloc&) {
        *error = "out of memory";
    }
    std::fprintf(stderr, "lexigrove-service: refused %s: %s\n", file.c_str(), error->c_str());
    return nullptr;
}

std::shared_ptr<Dictionary> DictionaryService::Reverse(const std::string& file,
                                                       std::shared_ptr<Dictionary> forward,
                                                       CaseRules rules, const char* done,
                                                       std::string* error) {
    const auto started = std::chrono::steady_clock::now();
    try {
        auto reversed = std::make_shared<Reversed>();
        reversed->forward = std::move(forward);
        if (reversed->reverse.LoadReversed(*reversed->forward, rules, cacheFolder_)) {
            std::fprintf(
                stderr, "lexigrove-service: %s the reverse of %s (%zu headwords) in %lld ms%s%s\n",
                done, file.c_str(), reversed->reverse.HeadwordCount(), MillisecondsSince(started),
                cacheFolder_.empty() ? "" : ": ", reversed->reverse.CacheNote().c_str());
            // Shares the ownership of the pair: the forward dictionary lives
            // as long as its reverse is in use.
            return std::shared_ptr<Dictionary>(reversed, &reversed->reverse);
        }
        *error = "the text of " + file + " cannot be read";
    } catch (const std::bad_alloc&) {
        *error = "out of memory";
    }
    std::fprintf(stderr, "lexigrove-service: refused the reverse of %s: %s\n", file.c_str(),
                 error->c_str());
    return nullptr;
}

std::shared_ptr<Dictionary> DictionaryService::FileDictionary(const std::string& file,
                                                              CaseRules rules, std::string* error) {
    auto build = [&](Slot* out) {
        out->stamp = StampOf(file);
        out->rules = rules;
        out->dictionary = ReadFile(file, rules, "loaded", &out->error);
    };
    return LoadSlot(SlotFor(files_, file), error, build);
}

std::shared_ptr<Dictionary> DictionaryService::Load(const Direction& direction,
                                                    std::string* error) {
    if (!direction.reversed) {
        return FileDictionary(direction.file, CaseRulesFor(direction.from), error);
    }
    auto build = [&](Slot* out) {
        // The file's headwords are in the language this direction goes to.
        std::shared_ptr<Dictionary> forward =
            FileDictionary(direction.file, CaseRulesFor(direction.to), &out->error);
        if (forward == nullptr) {
            return;
        }
        out->rules = CaseRulesFor(direction.from);
        out->dictionary = Reverse(direction.file, forward, out->rules, "built", &out->error);
        out->source = std::move(forward);
    };
    return LoadSlot(SlotFor(reversed_, direction.file), error, build);
}

size_t DictionaryService::FindDirection(std::string_view from, std::string_view to) const {
    const auto found = byCodes_.find({ascii::Lowered(from), ascii::Lowered(to)});
    return found == byCodes_.end() ? kNoDirection : found->second;
}

size_t DictionaryService::DirectionOf(std::string_view target) const {
    DictionaryQuery query;
    std::string problem;
    if (ParseTarget(target, &query, &problem) != TargetKind::kQuery) {
        return kNoDirection;
    }
    return FindDirection(query.from, query.to);
}

bool DictionaryService::IsLoaded(size_t direction) {
    if (direction >= directions_.size()) {
        return true;
    }
    const Direction& d = directions_[direction];
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (morphology_.count(d.from) == 0) {
            return false;
        }
    }
    Slot* slot = FindSlot(d.reversed ? reversed_ : files_, d.file);
    if (slot == nullptr) {
        return false;
    }
    std::lock_guard<std::mutex> lock(slot->mutex);
    return slot->tried && !slot->loading;
}

bool DictionaryService::PrepareDirection(size_t direction) {
    const bool loaded = LoadDirection(direction);
    if (direction < directions_.size()) {
        const std::string& code = directions_[direction].from;
        // A language's data is loaded by the first word that needs it; any
        // word of one letter does.
        lemmas_.Of(code, "a");
        std::lock_guard<std::mutex> lock(mutex_);
        morphology_.insert(code);
    }
    return loaded;
}

bool DictionaryService::LoadDirection(size_t direction) {
    if (direction >= directions_.size()) {
        return false;
    }
    std::string error;
    return Load(directions_[direction], &error) != nullptr;
}

size_t DictionaryService::Preload(const std::vector<size_t>& directions, unsigned threads) {
    std::vector<size_t> todo;
    // Directions with a file of their own first: the reverses that follow
    // then mostly find the file they reverse loaded.
    for (const bool reversed : {false, true}) {
        for (size_t i = 0; i < directions_.size(); ++i) {
            const bool wanted =
                directions.empty() ||
                std::find(directions.begin(), directions.end(), i) != directions.end();
            if (wanted && directions_[i].reversed == reversed) {
                todo.push_back(i);
            }
        }
    }
    std::atomic<size_t> next{0}, failed{0};
    auto work = [&] {
        for (size_t i; (i = next++) < todo.size();) {
            if (!LoadDirection(todo[i])) {
                ++failed;
            }
        }
    };
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t) {
        helpers.emplace_back(work);
    }
    work();
    for (std::thread& helper : helpers) {
        helper.join();
    }
    // What the builds freed goes back to the system.
    malloc_trim(0);
    return failed;
}

size_t DictionaryService::Refresh() {
    std::vector<std::pair<std::string, Slot*>> files;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [file, slot] : files_) {
            files.emplace_back(file, &slot);
        }
    }
    size_t reloaded = 0;
    for (const auto& entry : files) {
        const std::string& file = entry.first;
        Slot* slot = entry.second;
        const Stamp now = StampOf(file);
        std::shared_ptr<Dictionary> forward;
        std::string error;
        CaseRules rules = CaseRules::kDefault;
        bool changed = false;
        {
            std::unique_lock<std::mutex> lock(slot->mutex);
            slot->done.wait(lock, [&] { return !slot->loading; });
            if (!slot->tried) {
                continue;
            }
            if (slot->dictionary == nullptr) {
                slot->tried = false; // tried again at its next use
            }
            changed = slot->dictionary != nullptr && slot->stamp != now;
            forward = slot->dictionary;
            error = slot->error;
            rules = slot->rules;
        }
        if (changed) {
            // Built beside the one in use, which goes on answering meanwhile.
            forward = ReadFile(file, rules, "reloaded", &error);
            std::lock_guard<std::mutex> lock(slot->mutex);
            slot->dictionary = forward;
            slot->error = error;
            slot->stamp = now;
            ++reloaded;
        }
        if (Slot* reverse = FindSlot(reversed_, file)) {
            reloaded += RefreshReverse(file, *reverse, forward, error);
        }
    }
    malloc_trim(0);
    return reloaded;
}

size_t DictionaryService::RefreshReverse(const std::string& file, Slot& slot,
                                         const std::shared_ptr<Dictionary>& forward,
                                         const std::string& forwardError) {
    CaseRules rules = CaseRules::kDefault;
    {
        // A reverse being built now may be built from the forward dictionary
        // just replaced: it is looked at once it is done.
        std::unique_lock<std::mutex> lock(slot.mutex);
        slot.done.wait(lock, [&] { return !slot.loading; });
        if (!slot.tried) {
            return 0;
        }
        if (slot.dictionary == nullptr) {
            slot.tried = false; // tried again at its next use
            return 0;
        }
        if (slot.source == forward) {
            return 0;
        }
        if (forward == nullptr) {
            // Its forward file was refused: the reverse is built again (or
            // refused for the same reason) at its next use.
            slot.dictionary.reset();
            slot.source.reset();
            slot.error = forwardError;
            slot.tried = false;
            return 1;
        }
        rules = slot.rules;
    }
    std::string error;
    std::shared_ptr<Dictionary> rebuilt = Reverse(file, forward, rules, "rebuilt", &error);
    std::lock_guard<std::mutex> lock(slot.mutex);
    slot.dictionary = std::move(rebuilt);
    slot.error = std::move(error);
    slot.source = forward;
    return 1;
}

bool DictionaryService::LearnerLookup(const Dictionary& dictionary, const std::string& from,
                                      std::string_view word, std::vector<Entry>* out) {
    if (!dictionary.Lookup(word, out, nullptr, false)) {
        return false;
    }
    // Then the entries of each of its lemmas the dictionary has, after the
    // word's own ("sprach" may be a headword and a form of "sprechen"). A
    // lemma is looked up exactly and in letter case only: its accents are
    // right.
    std::vector<Entry> more;
    for (const std::string& lemma : lemmas_.Of(from, word)) {
        if (!dictionary.Lookup(lemma, &more, nullptr, false)) {
            return false;
        }
        for (Entry& entry : more) {
            out->push_back(std::move(entry));
        }
    }
    // Accents tell words apart (año, ano): a headword that differs from the
    // word only in accents is offered only when nothing else is found.
    return !out->empty() || dictionary.Lookup(word, out);
}

Answer DictionaryService::Handle(std::string_view target) {
    Answer answer;
    DictionaryQuery query;
    std::string problem;
    switch (ParseTarget(target, &query, &problem)) {
    case TargetKind::kOtherPath:
        answer.httpStatus = 404;
        answer.body = ErrorReply("no such service");
        return answer;
    case TargetKind::kMalformed:
        answer.httpStatus = 400;
        answer.body = ErrorReply(problem);
        return answer;
    case TargetKind::kQuery:
        break;
    }
    const size_t found = FindDirection(query.from, query.to);
    if (found == kNoDirection) {
        answer.body = UnsupportedReply("no dictionary for " + query.from + " -> " + query.to);
        return answer;
    }
    const Direction& direction = directions_[found];
    std::string error;
    const std::shared_ptr<Dictionary> dictionary = Load(direction, &error);
    std::vector<Entry> entries;
    if (dictionary == nullptr) {
        answer.httpStatus = 500;
        answer.body = ErrorReply("the dictionary for " + query.from + " -> " + query.to +
                                 " is unavailable: " + error);
        return answer;
    }
    if (!LearnerLookup(*dictionary, direction.from, query.word, &entries)) {
        answer.httpStatus = 500;
        answer.body = ErrorReply("dictionary data unreadable");
        return answer;
    }
    answer.results = entries.size();
    answer.body = OkReply(entries);
    return answer;
}

} // namespace service
