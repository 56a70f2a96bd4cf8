#include "service/DictionaryService.h"

#include "basiccpp/Ascii.h"
#include "service/Reply.h"
#include "service/Request.h"

#include <chrono>
#include <cstdio>

namespace service {

namespace {
long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - start)
                                      .count());
}
} // namespace

DictionaryService::DictionaryService(std::string folder)
    : folder_(std::move(folder)), directions_(ServedDirections(folder_)) {
    for (size_t i = 0; i < directions_.size(); ++i) {
        byCodes_[{directions_[i].from, directions_[i].to}] = i;
    }
}

DictionaryService::Slot& DictionaryService::SlotFor(std::map<std::string, Slot>& slots,
                                                    const std::string& file) {
    std::lock_guard<std::mutex> lock(mutex_);
    return slots[file]; // std::map never moves its elements
}

Dictionary* DictionaryService::FileDictionary(const std::string& file, CaseRules rules) {
    Slot& slot = SlotFor(files_, file);
    std::call_once(slot.once, [&] {
        const auto started = std::chrono::steady_clock::now();
        auto dictionary = std::make_unique<Dictionary>();
        std::string error;
        if (dictionary->Load(folder_, file, rules, &error)) {
            std::fprintf(stderr, "lexigrove-service: loaded %s (%zu headwords) in %lld ms\n",
                         file.c_str(), dictionary->HeadwordCount(), MillisecondsSince(started));
            slot.dictionary = std::move(dictionary);
        } else {
            std::fprintf(stderr, "lexigrove-service: %s\n", error.c_str());
        }
    });
    return slot.dictionary.get();
}

Dictionary* DictionaryService::Load(const Direction& direction) {
    if (!direction.reversed) {
        return FileDictionary(direction.file, CaseRulesFor(direction.from));
    }
    Slot& slot = SlotFor(reversed_, direction.file);
    std::call_once(slot.once, [&] {
        // The file's headwords are in the language this direction goes to.
        Dictionary* forward = FileDictionary(direction.file, CaseRulesFor(direction.to));
        if (forward == nullptr) {
            return;
        }
        const auto started = std::chrono::steady_clock::now();
        auto dictionary = std::make_unique<Dictionary>();
        dictionary->LoadReversed(*forward, CaseRulesFor(direction.from));
        std::fprintf(
            stderr, "lexigrove-service: built the reverse of %s (%zu headwords) in %lld ms\n",
            direction.file.c_str(), dictionary->HeadwordCount(), MillisecondsSince(started));
        slot.dictionary = std::move(dictionary);
    });
    return slot.dictionary.get();
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
    const auto found = byCodes_.find({ascii::Lowered(query.from), ascii::Lowered(query.to)});
    if (found == byCodes_.end()) {
        answer.body = UnsupportedReply("no dictionary for " + query.from + " -> " + query.to);
        return answer;
    }
    const Direction& direction = directions_[found->second];
    Dictionary* dictionary = Load(direction);
    std::vector<Entry> entries;
    if (dictionary == nullptr ||
        !LearnerLookup(*dictionary, direction.from, query.word, &entries)) {
        answer.httpStatus = 500;
        answer.body = ErrorReply("dictionary data unreadable");
        return answer;
    }
    answer.results = entries.size();
    answer.body = OkReply(entries);
    return answer;
}

} // namespace service
