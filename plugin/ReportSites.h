// Where the plugin's failed checks are reported: the source name and the
// line that reach the host's log with each "Assert Failed!!!" report. Hosts
// see these values, so they stay as they are. Lines are named
// kLine<step><what failed>.
#pragma once

namespace reportsite {

// The source name of every report the plugin itself makes.
inline constexpr char kPluginFile[] = "..\\plugin-lexigrove";

// The search: fnSearchWord without a word.
inline constexpr int kLineSearchNoWord = 122;

// The online library: it has no CreateHttpFile; a fetch without an address
// or a word; a read that failed, claimed more bytes than it had room for, or
// went past the reply bound.
inline constexpr int kLineOnlineNoCreate = 51;
inline constexpr int kLineOnlineNoArgument = 122;
inline constexpr int kLineOnlineReadFailed = 148;

// The reply: no root element; a result without a named word; no list after
// the word; an item without a name or a type.
inline constexpr int kLineReplyNoRoot = 199;
inline constexpr int kLineReplyBadWord = 217;
inline constexpr int kLineReplyNoList = 230;
inline constexpr int kLineReplyBadItem = 242;

// The copy-out: fnGetSearchResult refused a call.
inline constexpr int kLineCopyOutRefused = 293;

} // namespace reportsite
