// The command line of lexigrove-lookup.
#pragma once

#include <string>
#include <vector>

namespace host {

enum ExitCode : int {
    kExitFound = 0,  // every search found entries (or --info, --languages, --help)
    kExitEmpty = 1,  // a search succeeded without entries
    kExitFailed = 2, // a search failed, a line of standard input was refused, or the
                     // plugin could not be used
    kExitUsage = 64, // bad command line
};

struct Options {
    enum class Mode { kLookup, kLanguages, kInfo, kHelp };
    Mode mode = Mode::kLookup;
    std::vector<std::u16string> words;
    bool readInput = false; // --stdin: more words from standard input, after these
    std::u16string from, to;
    std::u16string plugin; // empty: the plugin beside the executable
    bool json = false;
};

// The short help text (UTF-8, ends with a line feed).
extern const char kUsageText[];

// Reads the arguments (without the program name). False with a message in
// *error (UTF-8, no line feed) for a bad command line. "--" ends the options;
// "--name=value" is the same as "--name value".
bool ParseOptions(const std::vector<std::u16string>& arguments, Options* options,
                  std::string* error);

} // namespace host
