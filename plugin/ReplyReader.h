// Reading a dictionary reply: parses the zero-terminated reply in the
// context's receive buffer with TinyXML and appends one SearchResult per
// translation. Entries appended before a failure stay.
#pragma once

struct SearchContext;

// 0 on success, -1 on failure (a reply that does not parse, a status other
// than "ok", or a malformed result).
int ReadReply(SearchContext& context);
