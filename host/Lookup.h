// lexigrove-lookup's work: load the plugin, run the look-ups and print what
// each one added.
#pragma once

#include "host/Options.h"
#include "host/Plugin.h"

#include <functional>
#include <string>
#include <vector>

namespace host {

// The program's standard streams: out and err receive UTF-8 bytes; in reads
// up to size bytes of standard input and returns how many, 0 at its end, -1
// when it cannot be read (an empty in: there is no standard input).
struct Streams {
    std::function<void(const std::string&)> out;
    std::function<void(const std::string&)> err;
    std::function<long(char* buffer, size_t size)> in;
};

// The entries as a table: one line per entry, word, name and type in columns
// aligned by their width in code points, two spaces apart.
std::string FormatTable(const std::vector<SearchEntry>& entries);

// One word's block of a table of several words: the word looked up on a line
// of its own, then its entries as FormatTable aligns them, each line indented
// by two spaces; without entries, "  (" note ")" in their place.
std::string FormatBlock(const std::u16string& word, const std::vector<SearchEntry>& entries,
                        const std::string& note);

// One line {"word":..,"name":..,"type":..} per entry.
std::string FormatJsonLines(const std::vector<SearchEntry>& entries);

// The whole program on its arguments; returns the exit status.
int RunLookup(const std::vector<std::u16string>& arguments, const Streams& streams);

} // namespace host
