#include "service/DictionaryService.h"

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

DictionaryService::DictionaryService(std::string folder) : folder_(std::move(folder)) {}

std::string DictionaryService::DictionaryLanguage(std::string_view code) {
    static const std::pair<std::string_view, const char*> kCodes[] = {
        {"en", "eng"}, {"fr", "fra"},    {"de", "deu"}, {"es", "spa"}, {"it", "ita"},
        {"pt", "por"}, {"pt-br", "por"}, {"ru", "rus"}, {"sv", "swe"},
    };
    std::string lower(code);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + 32);
        }
    }
    for (const auto& [client, name] : kCodes) {
        if (lower == client) {
            return name;
        }
    }
    return {};
}

Dictionary* DictionaryService::FileDictionary(const std::string& name) {
    auto found = files_.find(name);
    if (found != files_.end()) {
        return found->second.get();
    }
    const auto started = std::chrono::steady_clock::now();
    auto dictionary = std::make_unique<Dictionary>();
    std::string error;
    if (dictionary->Load(folder_, name, &error)) {
        std::fprintf(stderr, "lexigrove-service: loaded %s (%zu headwords) in %lld ms\n",
                     name.c_str(), dictionary->HeadwordCount(), MillisecondsSince(started));
    } else {
        dictionary.reset();
    }
    return (files_[name] = std::move(dictionary)).get();
}

Dictionary* DictionaryService::PairDictionary(const std::string& from, const std::string& to) {
    const std::string name = "freedict-" + from + "-" + to;
    if (Dictionary* direct = FileDictionary(name)) {
        return direct;
    }
    auto found = reversed_.find(name);
    if (found != reversed_.end()) {
        return found->second.get();
    }
    std::unique_ptr<Dictionary> dictionary;
    const auto started = std::chrono::steady_clock::now();
    const std::string otherName = "freedict-" + to + "-" + from;
    if (Dictionary* other = FileDictionary(otherName)) {
        dictionary = std::make_unique<Dictionary>();
        dictionary->LoadReversed(*other);
        std::fprintf(stderr, "lexigrove-service: built %s from %s (%zu headwords) in %lld ms\n",
                     name.c_str(), otherName.c_str(), dictionary->HeadwordCount(),
                     MillisecondsSince(started));
    }
    return (reversed_[name] = std::move(dictionary)).get();
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
    const std::string from = DictionaryLanguage(query.from);
    const std::string to = DictionaryLanguage(query.to);
    std::vector<Entry> entries;
    if (!from.empty() && !to.empty() && from != to) {
        std::lock_guard<std::mutex> lock(mutex_);
        Dictionary* dictionary = PairDictionary(from, to);
        if (dictionary != nullptr && !dictionary->Lookup(query.word, &entries)) {
            answer.httpStatus = 500;
            answer.body = ErrorReply("dictionary data unreadable");
            return answer;
        }
    }
    answer.results = entries.size();
    answer.body = OkReply(entries);
    return answer;
}

} // namespace service
