#include "host/Lookup.h"

#include "basiccpp/Ascii.h"
#include "host/ConsoleLog.h"
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

int RunLookup(const std::vector<std::u16string>& arguments, const Output& output) {
    Options options;
    std::string error;
    if (!ParseOptions(arguments, &options, &error)) {
        output.err("lexigrove-lookup: " + error + "\n" + kUsageText);
        return kExitUsage;
    }
    if (options.mode == Options::Mode::kHelp) {
        output.out(kUsageText);
        return kExitFound;
    }

    std::u16string path = options.plugin;
    if (path.empty()) {
        path = platform::ExecutableFolder() + u"plugin-lexigrove" + platform::kModuleSuffix;
    }
    // The log outlives the plugin: the plugin and its online library may
    // still report while the plugin is unloaded.
    ConsoleLog log(output.err);
    Plugin plugin;
    if (!plugin.Load(path, &error)) {
        output.err("lexigrove-lookup: " + error + "\n");
        return kExitFailed;
    }
    plugin.SetLog(&log);

    if (options.mode == Options::Mode::kInfo) {
        if (options.json) {
            nlohmann::ordered_json info;
            info["name"] = ToUtf8(plugin.Name());
            info["owner"] = ToUtf8(plugin.Owner());
            output.out(info.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n");
        } else {
            output.out("name: " + ToUtf8(plugin.Name()) + "\nowner: " + ToUtf8(plugin.Owner()) +
                       "\n");
        }
        return kExitFound;
    }
    const std::vector<std::u16string> fromCodes = plugin.FromLanguages();
    if (options.mode == Options::Mode::kLanguages) {
        output.out(JoinCodes(fromCodes) + "\n");
        return kExitFound;
    }

    // Refuse codes the plugin does not list before any request goes out.
    const std::vector<std::u16string> toCodes = plugin.ToLanguages();
    const std::u16string from = FindCode(fromCodes, options.from);
    const std::u16string to = FindCode(toCodes, options.to);
    if (from.empty() || to.empty()) {
        const bool badFrom = from.empty();
        output.err("lexigrove-lookup: the plugin does not support the language code " +
                   Quoted(badFrom ? options.from : options.to) + " (--" +
                   (badFrom ? "from" : "to") +
                   "); it supports: " + JoinCodes(badFrom ? fromCodes : toCodes) + "\n");
        return kExitUsage;
    }

    int status = kExitFound;
    for (const std::u16string& word : options.words) {
        const int32_t before = plugin.Count();
        if (plugin.Search(from, to, word) != 1) {
            output.err("lexigrove-lookup: the search for " + Quoted(word) + " (" + ToUtf8(from) +
                       " -> " + ToUtf8(to) + ") failed\n");
            status = kExitFailed;
            continue;
        }
        const int32_t after = plugin.Count();
        std::vector<SearchEntry> entries;
        for (int32_t i = before; i < after; ++i) {
            SearchEntry entry;
            if (!plugin.Entry(i, &entry)) {
                output.err("lexigrove-lookup: entry " + std::to_string(i) + " of the search for " +
                           Quoted(word) + " could not be read\n");
                status = kExitFailed;
                continue;
            }
            entries.push_back(entry);
        }
        if (after <= before) {
            output.err("lexigrove-lookup: no entries for " + Quoted(word) + " (" + ToUtf8(from) +
                       " -> " + ToUtf8(to) + ")\n");
            status = std::max(status, static_cast<int>(kExitEmpty));
        }
        output.out(options.json ? FormatJsonLines(entries) : FormatTable(entries));
    }
    return status;
}

} // namespace host
