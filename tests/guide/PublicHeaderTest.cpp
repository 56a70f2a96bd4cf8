// The host header against the real binaries: the plugin's exports and both
// log slots, and the online library's download object, called only through
// the declarations of <lexigrove/lexigrove-host.h> (under Wine in the win32
// build, so the calling conventions are the ones an MSVC-built host uses).
// Runs under scripts/with-service: http_proxy points at the local service.
#include <lexigrove/lexigrove-host.h>

#include <gtest/gtest.h>

#include <cstdarg>
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
