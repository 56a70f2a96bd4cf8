// The plugin's language codes as FreeDict names its languages, and the
// directions a folder of FreeDict dictd files can serve. The one place where
// a client's code ("pt-br", "no") becomes a dictionary language ("por",
// "nor").
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace service {

// The FreeDict language names for a client's language code, in the order
// they are tried ("no": "nor", then "nob" and "nno"); empty for a code the
// service does not know or FreeDict has no name for. Letter case is ignored.
const std::vector<std::string>& DictionaryLanguages(std::string_view code);

// Every client code the service knows: the codes of the plugin's language
// table, in its order, each once.
const std::vector<std::string>& ClientCodes();

// The codes that have a row of FreeDict names, in that table's order; the
// test that ties the two tables together compares it with ClientCodes().
std::vector<std::string> NamedCodes();

// How one direction is served: from a file of its own, or by reversing the
// file of the opposite direction. file is the base name ("freedict-eng-fra",
// "cedict-zho-hans-eng").
struct Direction {
    std::string from, to; // client codes
    std::string file;
    bool reversed = false;
};

// The directions between client codes that the dictd files in folder serve
// (only the folder's listing is read, no dictionary is loaded): for each
// ordered pair of different codes, the first candidate file of its own, else
// the first reversible one. In ClientCodes() order.
std::vector<Direction> ServedDirections(const std::string& folder);

} // namespace service
