#include "host/Plugin.h"

#include "basiccpp/BasicString.h"
#include "host/Text.h"
#include "platform/Platform.h"

namespace host {

namespace {

// The name fnSetLog is exported under: the MSVC-decorated one in the Windows
// DLL, the Itanium-mangled one in the native library (set by the build).
constexpr const char kSetLogExport[] = LEXIGROVE_SETLOG_SYMBOL;

// Language lists: 27 codes of at most 5 units, each with a space, plus room.
constexpr size_t kLanguageBuffer = 1024;

template <typename F> bool Find(void* module, const char* name, F* into, std::string* missing) {
    *into = reinterpret_cast<F>(platform::FindSymbol(module, name));
    if (*into == nullptr) {
        if (!missing->empty()) {
            *missing += ", ";
        }
        *missing += name;
        return false;
    }
    return true;
}

} // namespace

Plugin::~Plugin() {
    if (module_ != nullptr) {
        setLog_(nullptr);
        platform::FreeModule(module_);
    }
}

bool Plugin::Load(const std::u16string& path, std::string* error) {
    void* module = platform::LoadModule(path.c_str());
    if (module == nullptr) {
        const uint32_t code = platform::LastError();
        // The loader's own words where it has them (dlerror), else the
        // system's error code and its text.
        const std::string loader = platform::LastLoadFailure();
        if (!loader.empty()) {
            *error = "cannot load the plugin " + ToUtf8(path) + " (" + loader + ")";
            return false;
        }
        const BasicString reason = SystemErrorText(code);
        *error = "cannot load the plugin " + ToUtf8(path) + " (error " + std::to_string(code) +
                 (reason.GetLength() > 0 ? ": " + ToUtf8(reason.GetString()) : std::string()) + ")";
        return false;
    }
    std::string missing;
    bool all = true;
    all &= Find(module, "fnSearchWord", &search_, &missing);
    all &= Find(module, "fnGetSearchResultCount", &count_, &missing);
    all &= Find(module, "fnGetSearchResult", &result_, &missing);
    all &= Find(module, "fnGetPluginName", &name_, &missing);
    all &= Find(module, "fnGetPluginOwner", &owner_, &missing);
    all &= Find(module, "fnGetSupportedFromLanguages", &fromLanguages_, &missing);
    all &= Find(module, "fnGetSupportedToLanguages", &toLanguages_, &missing);
    all &= Find(module, kSetLogExport, &setLog_, &missing);
    if (!all) {
        *error = "the plugin " + ToUtf8(path) + " does not export " + missing;
        platform::FreeModule(module);
        return false;
    }
    module_ = module;
    return true;
}

int32_t Plugin::Search(const std::u16string& from, const std::u16string& to,
                       const std::u16string& word) const {
    return search_(from.c_str(), to.c_str(), word.c_str());
}

int32_t Plugin::Count() const {
    return count_();
}

std::u16string Plugin::Name() const {
    char16_t buffer[256] = {};
    name_(buffer, 256);
    return buffer;
}

std::u16string Plugin::Owner() const {
    char16_t buffer[256] = {};
    owner_(buffer, 256);
    return buffer;
}

std::vector<std::u16string> Plugin::SplitCodes(const char16_t* list) {
    std::vector<std::u16string> codes;
    std::u16string code;
    for (const char16_t* p = list;; ++p) {
        if (*p == u' ' || *p == u'\0') {
            if (!code.empty()) {
                codes.push_back(code);
                code.clear();
            }
            if (*p == u'\0') {
                break;
            }
        } else {
            code += *p;
        }
    }
    return codes;
}

std::vector<std::u16string> Plugin::FromLanguages() const {
    std::vector<char16_t> buffer(kLanguageBuffer, u'\0');
    fromLanguages_(buffer.data());
    buffer.back() = u'\0';
    return SplitCodes(buffer.data());
}

std::vector<std::u16string> Plugin::ToLanguages() const {
    std::vector<char16_t> buffer(kLanguageBuffer, u'\0');
    toLanguages_(buffer.data());
    buffer.back() = u'\0';
    return SplitCodes(buffer.data());
}

void Plugin::SetLog(CAbstractLog* log) const {
    setLog_(log);
}

bool Plugin::Entry(int32_t index, SearchEntry* entry) const {
    for (uint32_t capacity : {256u, 4096u, 65535u}) {
        std::vector<char16_t> word(capacity), name(capacity), type(capacity);
        const auto cap = static_cast<uint16_t>(capacity);
        if (result_(index, word.data(), cap, name.data(), cap, type.data(), cap) == 1) {
            // Terminated within the capacity when the plugin keeps its word;
            // the last unit is forced to zero all the same.
            word.back() = name.back() = type.back() = u'\0';
            *entry = {word.data(), name.data(), type.data()};
            return true;
        }
    }
    return false;
}

} // namespace host
