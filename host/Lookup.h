// lexigrove-lookup's work: load the plugin, run the look-ups and print what
// each one added.
#pragma once

#include "host/Options.h"
#include "host/Plugin.h"

#include <functional>
#include <string>
#include <vector>

namespace host {

// Where the program writes (UTF-8 bytes).
struct Output {
    std::function<void(const std::string&)> out;
    std::function<void(const std::string&)> err;
};

// The entries as a table: one line per entry, word, name and type in columns
// aligned by their width in code points, two spaces apart.
std::string FormatTable(const std::vector<SearchEntry>& entries);

// One line {"word":..,"name":..,"type":..} per entry.
std::string FormatJsonLines(const std::vector<SearchEntry>& entries);

// The whole program on its arguments; returns the exit status.
int RunLookup(const std::vector<std::u16string>& arguments, const Output& output);

} // namespace host
