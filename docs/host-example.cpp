// A minimal Lexigrove host: loads the plugin by name, installs a log, prints
// the plugin's name, owner and languages, looks "house" up from English to
// French and prints the entries. Exit status 0 when an entry "maison" came
// back. Needs only <lexigrove/lexigrove-host.h>.
#include <lexigrove/lexigrove-host.h>

#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <windows.h>
typedef HMODULE Module;
static Module Load() {
    return LoadLibraryW(L"" LEXIGROVE_PLUGIN_FILE);
}
static void* Find(Module m, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(m, name));
}
static void Unload(Module m) {
    FreeLibrary(m);
}
#else
#include <dlfcn.h>
typedef void* Module;
static Module Load() {
    return dlopen("./" LEXIGROVE_PLUGIN_FILE, RTLD_NOW);
}
static void* Find(Module m, const char* name) {
    return dlsym(m, name);
}
static void Unload(Module m) {
    dlclose(m);
}
#endif

// For printing: the plugin's own texts are ASCII; other units become '?'.
static std::string Narrow(const LexigroveChar* text) {
    std::string out;
    for (; *text != 0; ++text)
        out += (*text < 0x80) ? static_cast<char>(*text) : '?';
    return out;
}

// The host's log: the plugin calls only the last two entries.
class PrintingLog : public CAbstractLog {
public:
    void LEXIGROVE_LOG_CALL Reserved1() override {}
    void LEXIGROVE_LOG_CALL Reserved2() override {}
    void LEXIGROVE_LOG_CALL Reserved3() override {}
    void LEXIGROVE_LOG_CALL Reserved4() override {}
    void LEXIGROVE_LOG_CALL Reserved5() override {}
    void LEXIGROVE_LOG_CALL Reserved6() override {}
    void LEXIGROVE_LOG_CALL Reserved7() override {}
    void LEXIGROVE_LOG_CALL Reserved8() override {}
    void LEXIGROVE_LOG_CALL Reserved9() override {}
    void LEXIGROVE_LOG_CALL AssertReport(const LexigroveChar* message, const LexigroveChar* file,
                                         int32_t line) override {
        std::printf("log: %s %s:%d\n", Narrow(message).c_str(), Narrow(file).c_str(),
                    static_cast<int>(line));
    }
    void LEXIGROVE_LOG_CALL FormattedEntry(const LexigroveChar* file, int32_t line, int32_t,
                                           const LexigroveChar* format, ...) override {
        std::printf("log: %s:%d %s\n", Narrow(file).c_str(), static_cast<int>(line),
                    Narrow(format).c_str());
    }
};

int main() {
    Module plugin = Load();
    if (!plugin) {
        std::printf("cannot load " LEXIGROVE_PLUGIN_FILE "\n");
        return 2;
    }
    auto search = reinterpret_cast<LexigroveSearchWordFn>(Find(plugin, "fnSearchWord"));
    auto count =
        reinterpret_cast<LexigroveGetSearchResultCountFn>(Find(plugin, "fnGetSearchResultCount"));
    auto result = reinterpret_cast<LexigroveGetSearchResultFn>(Find(plugin, "fnGetSearchResult"));
    auto name = reinterpret_cast<LexigroveGetPluginTextFn>(Find(plugin, "fnGetPluginName"));
    auto owner = reinterpret_cast<LexigroveGetPluginTextFn>(Find(plugin, "fnGetPluginOwner"));
    auto languages =
        reinterpret_cast<LexigroveGetLanguagesFn>(Find(plugin, "fnGetSupportedFromLanguages"));
    auto setLog = reinterpret_cast<LexigroveSetLogFn>(Find(plugin, LEXIGROVE_SETLOG_EXPORT));
    if (!search || !count || !result || !name || !owner || !languages || !setLog) {
        std::printf("an export is missing\n");
        return 2;
    }

    PrintingLog log;
    setLog(&log);

    LexigroveChar text[128];
    name(text, 128);
    std::printf("name: %s\n", Narrow(text).c_str());
    owner(text, 128);
    std::printf("owner: %s\n", Narrow(text).c_str());
    text[0] = 0; // the codes are appended to what the buffer holds
    const int32_t n = languages(text);
    std::printf("languages (%d): %s\n", static_cast<int>(n), Narrow(text).c_str());

    // Entries of earlier searches stay: read from the count before this one.
    const int32_t first = count();
    bool found = false;
    if (search(LEXIGROVE_TEXT("en"), LEXIGROVE_TEXT("fr"), LEXIGROVE_TEXT("house")) == 1) {
        LexigroveChar word[256], translation[256], type[64];
        for (int32_t i = first; i < count(); ++i) {
            // 0 when a text does not fit: then nothing was written.
            if (result(i, word, 256, translation, 256, type, 64) != 1)
                continue;
            std::printf("%s -> %s (%s)\n", Narrow(word).c_str(), Narrow(translation).c_str(),
                        Narrow(type).c_str());
            found =
                found || std::basic_string<LexigroveChar>(translation) == LEXIGROVE_TEXT("maison");
        }
    } else {
        std::printf("search failed\n");
    }

    setLog(nullptr); // before the log object goes away
    Unload(plugin);
    return found ? 0 : 1;
}
