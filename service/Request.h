// The dictionary request as it arrives: a request target in origin form
// ("/serverjobs/dictionary.php?fromlang=en&tolang=fr&word=house") or, when
// the client goes through a proxy, in absolute form ("http://host/serverjobs/...").
#pragma once

#include <string>
#include <string_view>

namespace service {

struct DictionaryQuery {
    std::string from; // fromlang as sent
    std::string to;   // tolang as sent
    std::string word; // word, decoded to its bytes (UTF-8)
};

enum class TargetKind {
    kQuery,     // the dictionary path with a well-formed query
    kMalformed, // the dictionary path, but a key is missing or an escape is bad
    kOtherPath, // not the dictionary path at all
};

extern const char* const kDictionaryPath; // "/serverjobs/dictionary.php"

// Decodes a query value: '+' is a space, "%XX" (either case of hex digit) a
// byte. False for a '%' not followed by two hexadecimal digits.
bool DecodeQueryValue(std::string_view text, std::string* out);

// The path of target (origin or absolute form) without its query, which goes
// to *query when that is not null.
std::string_view TargetPath(std::string_view target, std::string_view* query = nullptr);

// Reads target into *query. On kMalformed, *problem says what is wrong. The
// first occurrence of a repeated key counts; unknown keys are ignored.
TargetKind ParseTarget(std::string_view target, DictionaryQuery* query, std::string* problem);

} // namespace service
