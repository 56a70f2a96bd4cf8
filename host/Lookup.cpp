#include "host/Lookup.h"

#include "basiccpp/Ascii.h"
#include "host/ConsoleLog.h"
#include "host/InputWords.h"
#include "host/Text.h"
#include "platform/Process.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace host {

namespace {

std::string Padded(const std::u16string& text, size_t width) {
    return ToUtf8(text) + std::string(width - std::min(width, DisplayWidth(text)), ' ');
}

std::string Quoted(const std::u16string& text) {
    return "\"" + ToUtf8(text) + "\"";
}

std::string JoinCodes(const std::vector<std::u16string>& codes) {
    std::string out;
    for (const std::u16string& code : codes) {
        out += (out.empty() ? "" : " ") + ToUtf8(code);
    }
    return out;
}

// The plugin's own spelling of code (compared without regard to ASCII case),
// or empty when it does not list it.
std::u16string FindCode(const std::vector<std::u16string>& codes, const std::u16string& code) {
    for (const std::u16string& known : codes) {
        if (ascii::EqualsIgnoringCase<char16_t>(known, code)) {
            return known;
        }
    }
    return {};
}

} // namespace

std::string FormatTable(const std::vector<SearchEntry>& entries) {
    size_t wordWidth = 0, nameWidth = 0;
    for (const SearchEntry& e : entries) {
        wordWidth = std::max(wordWidth, DisplayWidth(e.word));
        nameWidth = std::max(nameWidth, DisplayWidth(e.name));
    }
    std::string out;
    for (const SearchEntry& e : entries) {
        std::string line =
            Padded(e.word, wordWidth) + "  " + Padded(e.name, nameWidth) + "  " + ToUtf8(e.type);
        while (!line.empty() && line.back() == ' ') {
            line.pop_back();
        }
        out += line + "\n";
    }
    return out;
}

std::string FormatJsonLines(const std::vector<SearchEntry>& entries) {
    std::string out;
    for (const SearchEntry& e : entries) {
        nlohmann::ordered_json line;
        line["word"] = ToUtf8(e.word);
        line["name"] = ToUtf8(e.name);
        line["type"] = ToUtf8(e.type);
        out += line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
    }
    return out;
}

std::string FormatBlock(const std::u16string& word, const std::vector<SearchEntry>& entries,
                        const std::string& note) {
    std::string out = ToUtf8(word) + "\n";
    if (entries.empty()) {
        return out + "  (" + note + ")\n";
    }
    const std::string table = FormatTable(entries);
    for (size_t at = 0; at < table.size();) {
        const size_t end = table.find('\n', at);
        out += "  " + table.substr(at, end + 1 - at);
        at = end + 1;
    }
    return out;
}

namespace {

// The look-ups of one run: one word at a time, its entries printed as soon
// as it is done.
struct Lookups {
    const Plugin& plugin;
    const std::u16string& from;
    const std::u16string& to;
    bool json;
    bool blocks; // a table of several words: one block per word
    const Streams& streams;

    // Looks word up and prints what the search added; returns the exit
    // status this word alone would give.
    int LookUp(const std::u16string& word) const;
};

int Lookups::LookUp(const std::u16string& word) const {
    const std::string direction = " (" + ToUtf8(from) + " -> " + ToUtf8(to) + ")";
    const int32_t before = plugin.Count();
    if (plugin.Search(from, to, word) != 1) {
        if (blocks && !json) {
            streams.out(FormatBlock(word, {}, "the search failed"));
        } else {
            streams.err("lexigrove-lookup: the search for " + Quoted(word) + direction +
                        " failed\n");
        }
        return kExitFailed;
    }
    int status = kExitFound;
    const int32_t after = plugin.Count();
    std::vector<SearchEntry> entries;
    for (int32_t i = before; i < after; ++i) {
        SearchEntry entry;
        if (!plugin.Entry(i, &entry)) {
            streams.err("lexigrove-lookup: entry " + std::to_string(i) + " of the search for " +
                        Quoted(word) + " could not be read\n");
            status = kExitFailed;
            continue;
        }
        entries.push_back(entry);
    }
    if (after <= before) {
        if (!blocks || json) {
            streams.err("lexigrove-lookup: no entries for " + Quoted(word) + direction + "\n");
        }
        status = std::max(status, static_cast<int>(kExitEmpty));
    }
    if (json) {
        streams.out(FormatJsonLines(entries));
    } else if (blocks) {
        streams.out(FormatBlock(word, entries,
                                after > before ? "its entries could not be read" : "no entries"));
    } else {
        streams.out(FormatTable(entries));
    }
    return status;
}

} // namespace

int RunLookup(const std::vector<std::u16string>& arguments, const Streams& streams) {
    Options options;
    std::string error;
    if (!ParseOptions(arguments, &options, &error)) {
        streams.err("lexigrove-lookup: " + error + "\n" + kUsageText);
        return kExitUsage;
    }
    if (options.mode == Options::Mode::kHelp) {
        streams.out(kUsageText);
        return kExitFound;
    }

    std::u16string path = options.plugin;
    if (path.empty()) {
        path = platform::ExecutableFolder() + u"plugin-lexigrove" + platform::kModuleSuffix;
    }
    // The log outlives the plugin: the plugin and its online library may
    // still report while the plugin is unloaded.
    ConsoleLog log(streams.err);
    Plugin plugin;
    if (!plugin.Load(path, &error)) {
        streams.err("lexigrove-lookup: " + error + "\n");
        return kExitFailed;
    }
    plugin.SetLog(&log);

    if (options.mode == Options::Mode::kInfo) {
        if (options.json) {
            nlohmann::ordered_json info;
            info["name"] = ToUtf8(plugin.Name());
            info["owner"] = ToUtf8(plugin.Owner());
            streams.out(info.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
        } else {
            streams.out("name: " + ToUtf8(plugin.Name()) + "\nowner: " + ToUtf8(plugin.Owner()) +
                        "\n");
        }
        return kExitFound;
    }
    const std::vector<std::u16string> fromCodes = plugin.FromLanguages();
    if (options.mode == Options::Mode::kLanguages) {
        streams.out(JoinCodes(fromCodes) + "\n");
        return kExitFound;
    }

    // Refuse codes the plugin does not list before any request goes out.
    const std::vector<std::u16string> toCodes = plugin.ToLanguages();
    const std::u16string from = FindCode(fromCodes, options.from);
    const std::u16string to = FindCode(toCodes, options.to);
    if (from.empty() || to.empty()) {
        const bool badFrom = from.empty();
        streams.err("lexigrove-lookup: the plugin does not support the language code " +
                    Quoted(badFrom ? options.from : options.to) + " (--" +
                    (badFrom ? "from" : "to") +
                    "); it supports: " + JoinCodes(badFrom ? fromCodes : toCodes) + "\n");
        return kExitUsage;
    }

    const Lookups lookups{
        plugin, from, to, options.json, options.readInput || options.words.size() > 1, streams};
    int status = kExitFound;
    for (const std::u16string& word : options.words) {
        status = std::max(status, lookups.LookUp(word));
    }
    if (!options.readInput) {
        return status;
    }
    // Each word of standard input as soon as its line has arrived.
    InputWords input(streams.in);
    size_t looked = options.words.size();
    for (;;) {
        std::u16string word;
        const InputWords::Next next = input.Take(&word, &error);
        if (next == InputWords::Next::kEnd) {
            break;
        }
        if (next == InputWords::Next::kWord) {
            status = std::max(status, lookups.LookUp(word));
            ++looked;
            continue;
        }
        status = std::max(status, static_cast<int>(kExitFailed));
        if (next == InputWords::Next::kFailed) {
            streams.err("lexigrove-lookup: " + error + "\n");
            return status;
        }
        streams.err("lexigrove-lookup: " + error + "; it was not looked up\n");
    }
    if (looked == 0 && status == kExitFound) {
        streams.err("lexigrove-lookup: no word to look up (standard input held none)\n");
        return kExitUsage;
    }
    return status;
}

} // namespace host
