// The host header against the real binaries: the plugin's exports and both
// log slots, and the online library's download object, called only through
// the declarations of <lexigrove/lexigrove-host.h> (under Wine in the win32
// build, so the calling conventions are the ones an MSVC-built host uses).
// Runs under scripts/with-service: http_proxy points at the local service.
#include <lexigrove/lexigrove-host.h>

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
namespace {
using Module = HMODULE;
Module Load(const char* name) {
    return LoadLibraryA(name);
}
void* Find(Module m, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(m, name));
}
void Unload(Module m) {
    FreeLibrary(m);
}
const char kOnlineLibrary[] = "Skyloom.dll";
} // namespace
#else
#include <dlfcn.h>
namespace {
using Module = void*;
Module Load(const char* name) {
    return dlopen((std::string("./") + name).c_str(), RTLD_NOW);
}
void* Find(Module m, const char* name) {
    return dlsym(m, name);
}
void Unload(Module m) {
    dlclose(m);
}
const char kOnlineLibrary[] = "libSkyloom.so";
} // namespace
#endif

namespace {

using Text = std::basic_string<LexigroveChar>;

std::string Narrow(const Text& text) {
    return std::string(text.begin(), text.end());
}

// Records both slots, the formatted entry with its first two values (an int
// and a text, as the online library passes them).
class RecordingLog : public CAbstractLog {
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
        asserts.push_back(Narrow(message) + " " + Narrow(file) + ":" + std::to_string(line));
    }
    void LEXIGROVE_LOG_CALL FormattedEntry(const LexigroveChar* file, int32_t, int32_t level,
                                           const LexigroveChar* format, ...) override {
        va_list values;
        va_start(values, format);
        const int number = va_arg(values, int);
        const LexigroveChar* text = va_arg(values, const LexigroveChar*);
        va_end(values);
        entries.push_back(Narrow(file) + "|" + std::to_string(level) + "|" + Narrow(format) + "|" +
                          std::to_string(number) + "|" + Narrow(text));
    }
    std::vector<std::string> asserts, entries;
};

Text Address(const char* word) {
    const std::string address = std::string("http://") + LEXIGROVE_DICTIONARY_HOST +
                                "/serverjobs/dictionary.php?fromlang=en&tolang=fr&word=" + word;
    return Text(address.begin(), address.end());
}

TEST(PublicHeader, DownloadObjectServesWholeChunksThroughTheDeclaredSlots) {
    Module online = Load(kOnlineLibrary);
    ASSERT_NE(online, nullptr);
    auto create = reinterpret_cast<LexigroveCreateHttpFileFn>(Find(online, "CreateHttpFile"));
    auto destroy = reinterpret_cast<LexigroveDeleteHttpFileFn>(Find(online, "DeleteHttpFile"));
    ASSERT_TRUE(create && destroy);
    RecordingLog log;
    HttpFile* file = create(0, &log);
    ASSERT_NE(file, nullptr);

    // One object, two requests, as the plugin uses it.
    for (const char* word : {"house", "cat"}) {
        SCOPED_TRACE(word);
        ASSERT_GE(file->Open(Address(word).c_str(), 0x80000000u, 1, 3, 0x80), 0);
        std::string body;
        std::vector<char> chunk(4096);
        uint32_t count = 0;
        int chunks = 0;
        do {
            count = 0;
            ASSERT_GE(file->Read(chunk.data(), 4096, &count), 0);
            ASSERT_LE(count, 4096u);
            body.append(chunk.data(), count);
            ++chunks;
        } while (count == 4096);
        file->Close();
        EXPECT_EQ(body.size() / 4096 + 1, static_cast<size_t>(chunks)) << "short read mid-reply";
        EXPECT_NE(body.find("<?xml"), std::string::npos) << body;
        if (std::string(word) == "house") {
            EXPECT_NE(body.find("maison"), std::string::npos) << body;
        }
    }

    // A refused address: negative, reported through the variadic 11th slot
    // with its values intact; Close is still fine afterwards.
    const Text ftp = Text(LEXIGROVE_TEXT("ftp://127.0.0.1/x"));
    EXPECT_LT(file->Open(ftp.c_str(), 0x80000000u, 1, 3, 0x80), 0);
    file->Close();
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.entries[0].rfind("Skyloom|1|HTTP request failed: (%d) %s|-", 0), 0u)
        << log.entries[0];
    EXPECT_NE(log.entries[0].find("not an http or https address"), std::string::npos)
        << log.entries[0];

    destroy(file);
    Unload(online);
}

// The request targets the local service has received so far, one a line
// (scripts/with-service names its request log).
std::vector<std::string> ServiceRequests() {
    std::vector<std::string> targets;
    const char* path = std::getenv("LEXIGROVE_SERVICE_REQUEST_LOG");
    if (path == nullptr) {
        return targets;
    }
    std::ifstream log(path);
    std::string time, client, method, target, rest;
    while (log >> time >> client >> method >> target && std::getline(log, rest)) {
        targets.push_back(target);
    }
    return targets;
}

// The query of a request target (WinINet adds the port to the host of a
// proxied request, curl does not).
std::string Query(const std::string& target) {
    const size_t mark = target.find('?');
    return mark == std::string::npos ? std::string() : target.substr(mark + 1);
}

struct LoadedPlugin {
    LoadedPlugin() : module(Load(LEXIGROVE_PLUGIN_FILE)) {
        if (module != nullptr) {
            search = reinterpret_cast<LexigroveSearchWordFn>(Find(module, "fnSearchWord"));
            count = reinterpret_cast<LexigroveGetSearchResultCountFn>(
                Find(module, "fnGetSearchResultCount"));
            setLog = reinterpret_cast<LexigroveSetLogFn>(Find(module, LEXIGROVE_SETLOG_EXPORT));
        }
    }
    ~LoadedPlugin() {
        if (module != nullptr) {
            if (setLog != nullptr) {
                setLog(nullptr);
            }
            Unload(module);
        }
    }
    Module module;
    LexigroveSearchWordFn search = nullptr;
    LexigroveGetSearchResultCountFn count = nullptr;
    LexigroveSetLogFn setLog = nullptr;
};

// What fnSearchWord sends and returns for the arguments the guide names:
// each search is one request (or none), read back from the service's log.
TEST(PublicHeader, SearchWordSendsWhatTheGuideSays) {
    ASSERT_NE(std::getenv("LEXIGROVE_SERVICE_REQUEST_LOG"), nullptr) << "not run by with-service";
    RecordingLog log; // outlives the plugin, as the guide asks
    LoadedPlugin plugin;
    ASSERT_TRUE(plugin.search && plugin.count && plugin.setLog);
    plugin.setLog(&log);

    // The listed codes go out as they are.
    size_t sent = ServiceRequests().size();
    ASSERT_EQ(plugin.search(LEXIGROVE_TEXT("pt-br"), LEXIGROVE_TEXT("en"), LEXIGROVE_TEXT("casa")),
              1);
    std::vector<std::string> requests = ServiceRequests();
    ASSERT_EQ(requests.size(), sent + 1);
    EXPECT_EQ(Query(requests.back()), "fromlang=pt-br&tolang=en&word=casa");

    // A null word: 0, an assertion at line 122, no request.
    sent = requests.size();
    EXPECT_EQ(plugin.search(LEXIGROVE_TEXT("en"), LEXIGROVE_TEXT("fr"), nullptr), 0);
    ASSERT_EQ(log.asserts.size(), 1u);
    EXPECT_EQ(log.asserts[0], "Assert Failed!!! ..\\plugin-lexigrove:122");
    EXPECT_EQ(ServiceRequests().size(), sent);
    log.asserts.clear();

    // A null code is sent as the text "(null)", silently, and fares as any
    // code the service does not know.
    const int32_t before = plugin.count();
    const int32_t unknown =
        plugin.search(LEXIGROVE_TEXT("xx"), LEXIGROVE_TEXT("fr"), LEXIGROVE_TEXT("house"));
    EXPECT_EQ(plugin.search(nullptr, LEXIGROVE_TEXT("fr"), LEXIGROVE_TEXT("house")), unknown);
    EXPECT_EQ(plugin.search(LEXIGROVE_TEXT("en"), nullptr, LEXIGROVE_TEXT("house")), unknown);
    requests = ServiceRequests();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(Query(requests[requests.size() - 2]), "fromlang=(null)&tolang=fr&word=house");
    EXPECT_EQ(Query(requests.back()), "fromlang=en&tolang=(null)&word=house");
    EXPECT_EQ(plugin.count(), before);

    // Any other code is escaped as the word is: it cannot add a key.
    EXPECT_EQ(plugin.search(LEXIGROVE_TEXT("en&tolang=de"), LEXIGROVE_TEXT("fr"),
                            LEXIGROVE_TEXT("house")),
              unknown);
    EXPECT_EQ(Query(ServiceRequests().back()), "fromlang=en%26tolang%3Dde&tolang=fr&word=house");
    EXPECT_EQ(plugin.count(), before);

    // A lone surrogate in the word goes out as U+FFFD, with no log entry.
    const LexigroveChar lone[] = {'a', static_cast<LexigroveChar>(0xD800), 'b', 0};
    plugin.search(LEXIGROVE_TEXT("en"), LEXIGROVE_TEXT("fr"), lone);
    EXPECT_EQ(Query(ServiceRequests().back()), "fromlang=en&tolang=fr&word=a%EF%BF%BDb");

    // The plugin reported nothing about any of these codes or words (the
    // online library may log how the service answered an unknown pair).
    EXPECT_TRUE(log.asserts.empty());
    for (const std::string& entry : log.entries) {
        EXPECT_EQ(entry.find("String conversion error"), std::string::npos) << entry;
    }
}

void SetProxy(const char* value) {
#if defined(_WIN32)
    SetEnvironmentVariableA("http_proxy", value);
#else
    setenv("http_proxy", value, 1);
#endif
}

// The download object is created at the first search with the log installed
// then, and the online library keeps that log: after setLog(nullptr) the
// plugin reports nothing more, but the library still writes to the old log.
TEST(PublicHeader, TheOnlineLibraryKeepsTheLogOfTheFirstSearch) {
    const char* proxy = std::getenv("http_proxy");
    ASSERT_NE(proxy, nullptr) << "not run by with-service";
    const std::string service = proxy;
    RecordingLog first; // outlives the plugin, as the guide asks
    LoadedPlugin plugin;
    ASSERT_TRUE(plugin.search && plugin.count && plugin.setLog);
    plugin.setLog(&first);
    ASSERT_EQ(plugin.search(LEXIGROVE_TEXT("en"), LEXIGROVE_TEXT("fr"), LEXIGROVE_TEXT("house")),
              1);
    plugin.setLog(nullptr);

    // Nobody listens on port 9 of the loopback: the request fails.
    SetProxy("http://127.0.0.1:9/");
    EXPECT_EQ(plugin.search(LEXIGROVE_TEXT("en"), LEXIGROVE_TEXT("fr"), LEXIGROVE_TEXT("cat")), 0);
    SetProxy(service.c_str());
    ASSERT_EQ(first.entries.size(), 1u);
    EXPECT_EQ(first.entries[0].rfind("Skyloom|1|HTTP request failed: (%d) %s|-", 0), 0u)
        << first.entries[0];
    EXPECT_TRUE(first.asserts.empty());
}

#if defined(_WIN32)
// A log that formats the entry itself, with the function a host picks.
class FormattingLog : public RecordingLog {
public:
    using Formatter = int (*)(wchar_t*, size_t, const wchar_t*, va_list);
    explicit FormattingLog(Formatter formatter) : formatter_(formatter) {}
    void LEXIGROVE_LOG_CALL FormattedEntry(const LexigroveChar*, int32_t, int32_t,
                                           const LexigroveChar* format, ...) override {
        wchar_t text[512] = {};
        va_list values;
        va_start(values, format);
        formatter_(text, 511, format, values);
        va_end(values);
        formatted.push_back(text);
    }
    std::vector<std::wstring> formatted;

private:
    Formatter formatter_;
};

int MsvcrtFormat(wchar_t* buffer, size_t count, const wchar_t* format, va_list values) {
    return _vsnwprintf(buffer, count, format, values);
}

int IsoFormat(wchar_t* buffer, size_t count, const wchar_t* format, va_list values) {
    return vswprintf(buffer, count, format, values);
}

std::wstring RefusedOpenEntry(FormattingLog::Formatter formatter) {
    Module online = Load(kOnlineLibrary);
    auto create = reinterpret_cast<LexigroveCreateHttpFileFn>(Find(online, "CreateHttpFile"));
    auto destroy = reinterpret_cast<LexigroveDeleteHttpFileFn>(Find(online, "DeleteHttpFile"));
    FormattingLog log(formatter);
    HttpFile* file = create(0, &log);
    file->Open(LEXIGROVE_TEXT("ftp://127.0.0.1/x"), 0x80000000u, 1, 3, 0x80);
    file->Close();
    destroy(file);
    Unload(online);
    return log.formatted.empty() ? L"" : log.formatted[0];
}

// This file is built with __USE_MINGW_ANSI_STDIO=1, as a MinGW-w64 host may
// be: there vswprintf reads "%s" as a narrow text, while msvcrt's
// _vsnwprintf keeps the Windows convention the log's formats are written in.
TEST(PublicHeader, AMinGWHostFormatsTheLogWithMsvcrtConventions) {
    const std::wstring right = RefusedOpenEntry(MsvcrtFormat);
    EXPECT_EQ(right.rfind(L"HTTP request failed: (-", 0), 0u);
    EXPECT_NE(right.find(L"not an http or https address"), std::wstring::npos);
    const std::wstring wrong = RefusedOpenEntry(IsoFormat);
    EXPECT_EQ(wrong.find(L"not an http or https address"), std::wstring::npos);
}
#endif

TEST(PublicHeader, PluginExportsKeepTheGuidesBufferRules) {
    Module plugin = Load(LEXIGROVE_PLUGIN_FILE);
    ASSERT_NE(plugin, nullptr);
    auto search = reinterpret_cast<LexigroveSearchWordFn>(Find(plugin, "fnSearchWord"));
    auto count =
        reinterpret_cast<LexigroveGetSearchResultCountFn>(Find(plugin, "fnGetSearchResultCount"));
    auto result = reinterpret_cast<LexigroveGetSearchResultFn>(Find(plugin, "fnGetSearchResult"));
    auto name = reinterpret_cast<LexigroveGetPluginTextFn>(Find(plugin, "fnGetPluginName"));
    auto languages =
        reinterpret_cast<LexigroveGetLanguagesFn>(Find(plugin, "fnGetSupportedToLanguages"));
    auto setLog = reinterpret_cast<LexigroveSetLogFn>(Find(plugin, LEXIGROVE_SETLOG_EXPORT));
    ASSERT_TRUE(search && count && result && name && languages && setLog);
    RecordingLog log;
    setLog(&log);

    // Name cut to capacity - 1.
    LexigroveChar text[128] = {};
    EXPECT_EQ(name(text, 4), 1);
    EXPECT_EQ(Text(text), LEXIGROVE_TEXT("Lex"));

    // The codes are appended to what the buffer holds: 91 units more.
    const Text prefix = LEXIGROVE_TEXT("x ");
    std::copy(prefix.begin(), prefix.end() + 1, text);
    EXPECT_EQ(languages(text), LEXIGROVE_LANGUAGE_COUNT);
    const Text list(text);
    EXPECT_EQ(list.size() + 1, prefix.size() + LEXIGROVE_LANGUAGE_LIST_UNITS);
    EXPECT_EQ(list.rfind(LEXIGROVE_TEXT("x zh-cn zh-tw da "), 0), 0u);

    ASSERT_EQ(search(LEXIGROVE_TEXT("en"), LEXIGROVE_TEXT("fr"), LEXIGROVE_TEXT("house")), 1);
    ASSERT_GT(count(), 0);
    // A word that does not fit: 0, nothing written, one report in slot 10.
    LexigroveChar word[3] = {'?', '?', 0}, translation[256] = {'?', 0}, type[64] = {'?', 0};
    EXPECT_EQ(result(0, word, 3, translation, 256, type, 64), 0); // "house" needs 6
    EXPECT_EQ(Text(word), LEXIGROVE_TEXT("??"));
    EXPECT_EQ(Text(translation), LEXIGROVE_TEXT("?"));
    ASSERT_EQ(log.asserts.size(), 1u);
    EXPECT_EQ(log.asserts[0], "Assert Failed!!! ..\\plugin-lexigrove:293");
    LexigroveChar bigWord[64];
    EXPECT_EQ(result(0, bigWord, 64, translation, 256, type, 64), 1);
    EXPECT_EQ(Text(bigWord), LEXIGROVE_TEXT("house"));

    setLog(nullptr);
    Unload(plugin);
}

} // namespace
