// The reply documents of the dictionary service. Every document ends with a
// line feed after the root's end tag (a client parser may need a byte after
// the root to finish).
#pragma once

#include "service/Dictionary.h"

#include <string>
#include <string_view>
#include <vector>

namespace service {

// text with & < > " escaped, and tab, line feed and carriage return written
// as character references so they survive attribute normalisation; other
// control characters (not allowed in XML) are dropped, and every byte that
// does not begin a well-formed UTF-8 character XML allows becomes U+FFFD, so
// the result is always well-formed UTF-8 XML text.
std::string XmlEscape(std::string_view text);

// status="ok" with one <result> per entry: <word name=.../> followed by a
// <translations> list of <item name=... type=.../>. No entries: a root
// without results.
std::string OkReply(const std::vector<Entry>& entries);

// status="error" with the reason in a message attribute.
std::string ErrorReply(std::string_view message);

// status="unsupported" with the reason in a message attribute: a direction
// the service has no dictionary for.
std::string UnsupportedReply(std::string_view message);

// The health document: <service status="STATE"/>.
std::string HealthReply(std::string_view state);

} // namespace service
