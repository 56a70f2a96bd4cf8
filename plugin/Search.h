// The dictionary search: escaping the word, building the request address,
// fetching the reply and reading it.
#pragma once

#include "basiccpp/BasicString.h"

struct SearchContext;

// The word's UTF-8 bytes escaped for a query: space as "+", ASCII letters,
// digits, "/" and "\" as themselves, every other byte as "%XX".
BasicString QueryEncode(const char16_t* word);
// A language code as it goes into the query: unchanged when it holds only
// ASCII letters, digits and "-", otherwise escaped as QueryEncode escapes a
// word, so that a code never adds or changes a query key. Null gives the
// empty string.
BasicString QueryCode(const char16_t* code);
// The request address for the language pair (codes as QueryCode gives them;
// a null code is written "(null)") and the escaped word.
BasicString RequestAddress(const char16_t* from, const char16_t* to, const char16_t* escapedWord);
// 1 when the search ran to its end, 0 on any failure. Throws std::bad_alloc.
int SearchWord(SearchContext& context, const char16_t* from, const char16_t* to,
               const char16_t* word);
