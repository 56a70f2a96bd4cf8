// Reading a dictionary reply: parses the zero-terminated reply in the
// context's receive buffer with TinyXML and appends one SearchResult per
// translation. Entries appended before a failure stay.
//
// Attribute values are TinyXML's, with one change: a value written in double
// quotes loses the raw white space at its ends (a byte-order mark among the
// leading white space with it); characters from references stay.
#pragma once

#include <vector>

struct SearchContext;
struct SearchResult;

// 0 on success, -1 on failure (a reply that does not parse or nests deeper
// than reply::kMaxDepth, a status other than "ok", or a malformed result). std::bad_alloc passes
// through; the document is released on every path.
int ReadReply(SearchContext& context);

// The same reading on any zero-terminated text, appending to results. The
// text must be followed by at least three more zero bytes (the receive buffer
// keeps them): the parser can step up to three bytes past a zero byte.
int ReadReplyText(const char* text, std::vector<SearchResult>& results);
