// The dictionary service without its HTTP server: turns a request target into
// the reply document, loading each language pair's dictionary on first use.
// Safe to call from several threads at once (one lock around every request).
#pragma once

#include "service/Dictionary.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

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
    // - the dictionary path with a well-formed query: 200, status "ok", with a
    //   result per matching entry (none for an unknown pair or word);
    // - a query with a missing key or a bad escape: 400, status "error";
    // - any other path: 404, status "error".
    Answer Handle(std::string_view target);

    // The three-letter dictionary language for a language code of the
    // client ("en" -> "eng", "pt-br" -> "por"); empty when there is none.
    static std::string DictionaryLanguage(std::string_view code);

private:
    // The dictionary for a pair of three-letter names: the FreeDict file of
    // that direction, else the reverse of the other direction's file (Debian
    // has eng-rus but no rus-eng); null when neither is installed. Called
    // with mutex_ held, as is FileDictionary.
    Dictionary* PairDictionary(const std::string& from, const std::string& to);
    // The dictionary of folder_/name.index + .dict.dz, loaded once; null when
    // it is not there.
    Dictionary* FileDictionary(const std::string& name);

    std::string folder_;
    std::mutex mutex_;
    // Loaded once each, null once known to be missing.
    std::map<std::string, std::unique_ptr<Dictionary>> files_;
    std::map<std::string, std::unique_ptr<Dictionary>> reversed_;
};

} // namespace service
