// The dictionary plugin as a host sees it: loaded by path, every export
// looked up by name, results copied out into buffers that grow as needed.
#pragma once

#include "plugin/lexigrove.h"

#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct SearchEntry {
    std::u16string word, name, type;
};

class Plugin {
public:
    Plugin() = default;
    ~Plugin(); // detaches the log and unloads the library
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    // Loads the library at path and looks up all eight exports. False with a
    // message (UTF-8) when the library does not load or an export is missing;
    // the library is then unloaded again.
    bool Load(const std::u16string& path, std::string* error);

    // The export calls. Only valid after a successful Load.
    int32_t Search(const std::u16string& from, const std::u16string& to,
                   const std::u16string& word) const;
    int32_t Count() const;
    std::u16string Name() const;
    std::u16string Owner() const;
    // The codes in the order the plugin lists them (duplicates kept).
    std::vector<std::u16string> FromLanguages() const;
    std::vector<std::u16string> ToLanguages() const;
    void SetLog(CAbstractLog* log) const;

    // Entry index, read with capacities of 256 units and, when the plugin
    // refuses (a text does not fit), again with larger ones up to 65535.
    // False when it refuses every capacity.
    bool Entry(int32_t index, SearchEntry* entry) const;

private:
    static std::vector<std::u16string> SplitCodes(const char16_t* list);

    void* module_ = nullptr;
    decltype(&fnSearchWord) search_ = nullptr;
    decltype(&fnGetSearchResultCount) count_ = nullptr;
    decltype(&fnGetSearchResult) result_ = nullptr;
    decltype(&fnGetPluginName) name_ = nullptr;
    decltype(&fnGetPluginOwner) owner_ = nullptr;
    decltype(&fnGetSupportedFromLanguages) fromLanguages_ = nullptr;
    decltype(&fnGetSupportedToLanguages) toLanguages_ = nullptr;
    decltype(&fnSetLog) setLog_ = nullptr;
};

} // namespace host
