// The dictionary search: escaping the word, building the request address,
// fetching the reply and reading it.
#pragma once

#include "basiccpp/BasicString.h"

struct SearchContext;

// The word's UTF-8 bytes escaped for a query: space as "+", ASCII letters,
// digits, "/" and "\" as themselves, every other byte as "%XX".
BasicString QueryEncode(const char16_t* word);
// The request address for the language pair and the escaped word.
BasicString RequestAddress(const char16_t* from, const char16_t* to, const char16_t* escapedWord);
// 1 when the search ran to its end, 0 on any failure. Throws std::bad_alloc.
int SearchWord(SearchContext& context, const char16_t* from, const char16_t* to,
               const char16_t* word);
