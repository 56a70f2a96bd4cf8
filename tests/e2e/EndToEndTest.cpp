// Lookups through the real plugin, loaded as a host loads it, with our
// online-service library fetching from the local dictionary service over
// real HTTP on 127.0.0.1 (the wrapper script starts it and sets http_proxy).
#include "basiccpp/Log.h"
#include "online/HttpFile.h"
#include "platform/Platform.h"
#include "plugin/lexigrove.h"
#include "tests/skyloom/TestEnvironment.h"
#include "tests/support/RecordingLog.h"
#include "tests/support/SystemProxySettings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Entry {
    std::u16string word, name, type;
};

// The plugin loaded once for the whole program, as a host keeps it.
class Plugin {
public:
    Plugin() {
        module_ = platform::LoadModule(LEXIGROVE_PLUGIN_PATH);
        if (module_ == nullptr) {
            return;
        }
        search = Find<decltype(&fnSearchWord)>("fnSearchWord");
        count = Find<decltype(&fnGetSearchResultCount)>("fnGetSearchResultCount");
        result = Find<decltype(&fnGetSearchResult)>("fnGetSearchResult");
        setLog = Find<decltype(&fnSetLog)>(LEXIGROVE_SETLOG_SYMBOL);
    }
    ~Plugin() {
        if (module_ != nullptr) {
            setLog(nullptr);
            platform::FreeModule(module_);
        }
    }
    bool Loaded() const { return search && count && result && setLog; }

    Entry At(int index) {
        std::vector<char16_t> word(1024), name(1024), type(1024);
        Entry e;
        if (result(index, word.data(), 1024, name.data(), 1024, type.data(), 1024) == 1) {
            e = {word.data(), name.data(), type.data()};
        }
        return e;
    }
    std::vector<Entry> Range(int begin, int end) {
        std::vector<Entry> out;
        for (int i = begin; i < end; ++i) {
            out.push_back(At(i));
        }
        return out;
    }

    decltype(&fnSearchWord) search = nullptr;
    decltype(&fnGetSearchResultCount) count = nullptr;
    decltype(&fnGetSearchResult) result = nullptr;
    decltype(&fnSetLog) setLog = nullptr;

private:
    template <typename F> F Find(const char* name) {
        return reinterpret_cast<F>(platform::FindSymbol(module_, name));
    }
    platform::ModuleHandle module_ = nullptr;
};

Plugin& ThePlugin() {
    static Plugin plugin;
    return plugin;
}

bool HasName(const std::vector<Entry>& entries, const std::u16string& name) {
    for (const Entry& e : entries) {
        if (e.name == name) {
            return true;
        }
    }
    return false;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(plugin.Loaded()) << "plugin or one of its exports not found";
        log.asserts.clear();
        log.entries.clear();
        plugin.setLog(&log);
    }
    void TearDown() override {
        if (plugin.Loaded()) {
            plugin.setLog(nullptr);
        }
    }
    // Searches and returns the entries this search appended.
    std::vector<Entry> Search(const char16_t* from, const char16_t* to, const char16_t* word,
                              int expected = 1) {
        const int before = plugin.count();
        EXPECT_EQ(plugin.search(from, to, word), expected);
        return plugin.Range(before, plugin.count());
    }
    Plugin& plugin = ThePlugin();
    // One log for the whole program, as a host keeps its log: the online
    // library holds on to the log it was given when the plugin created its
    // download object. Each test starts with it empty.
    RecordingLog& log = ProgramLog();

private:
    static RecordingLog& ProgramLog() {
        static RecordingLog programLog;
        return programLog;
    }
};

TEST_F(EndToEnd, KnownWordFindsItsTranslations) {
    const std::vector<Entry> found = Search(u"en", u"fr", u"house");
    ASSERT_FALSE(found.empty());
    EXPECT_TRUE(HasName(found, u"maison"));
    for (const Entry& e : found) {
        EXPECT_EQ(e.word, u"house");
        EXPECT_FALSE(e.type.empty());
    }
    EXPECT_TRUE(log.asserts.empty());
}

TEST_F(EndToEnd, AccentedAndMultiWordLookups) {
    const std::vector<Entry> cafe = Search(u"fr", u"en", u"caf\u00e9");
    ASSERT_FALSE(cafe.empty());
    EXPECT_EQ(cafe.front().word, u"caf\u00e9");
    const std::vector<Entry> morning = Search(u"en", u"fr", u"good morning");
    ASSERT_FALSE(morning.empty());
    EXPECT_EQ(morning.front().word, u"good morning");
}

TEST_F(EndToEnd, UnknownWordSucceedsWithoutEntries) {
    EXPECT_TRUE(Search(u"en", u"fr", u"qwxzvbnmlk").empty());
    EXPECT_TRUE(Search(u"en", u"fr", u"").empty());
}

// The service says status "unsupported" for a direction it has no
// dictionary for; the reply rules make that a failed search, without a log
// entry and without entries.
TEST_F(EndToEnd, ADirectionWithoutADictionaryFailsTheSearch) {
    EXPECT_TRUE(Search(u"en", u"ko", u"house", 0).empty());
    EXPECT_TRUE(Search(u"th", u"en", u"house", 0).empty());
    // Missing codes are sent as "(null)": an unknown pair, not a crash.
    EXPECT_TRUE(Search(nullptr, nullptr, u"house", 0).empty());
    EXPECT_TRUE(log.asserts.empty());
    EXPECT_FALSE(Search(u"en", u"fr", u"house").empty()); // and the next search goes on
}

TEST_F(EndToEnd, MissingWordFailsWithItsReport) {
    EXPECT_TRUE(Search(u"en", u"fr", nullptr, 0).empty());
    ASSERT_EQ(log.asserts.size(), 1u);
    EXPECT_EQ(log.asserts[0].message, u"Assert Failed!!!");
    EXPECT_EQ(log.asserts[0].file, u"..\\plugin-lexigrove");
    EXPECT_EQ(log.asserts[0].line, 122);
}

TEST_F(EndToEnd, LaterLookupsAppendAfterEarlierOnes) {
    const int start = plugin.count();
    const std::vector<Entry> first = Search(u"en", u"de", u"dog");
    const std::vector<Entry> second = Search(u"en", u"es", u"cat");
    ASSERT_FALSE(first.empty());
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(plugin.count(), start + static_cast<int>(first.size() + second.size()));
    EXPECT_EQ(plugin.At(start).name, first.front().name);
    EXPECT_EQ(plugin.At(start + static_cast<int>(first.size())).name, second.front().name);
    if (start > 0) {
        // Index 0 still holds the first entry any search of this process found.
        EXPECT_FALSE(plugin.At(0).word.empty());
    }
}

// A zero capacity for any one text refuses the entry through the export:
// nothing is written, and the refusal is reported.
TEST_F(EndToEnd, AZeroCapacityRefusesTheEntry) {
    ASSERT_FALSE(Search(u"en", u"fr", u"house").empty());
    const int last = plugin.count() - 1;
    const char16_t fill = 0x7777;
    for (int zero = 0; zero < 3; ++zero) {
        std::vector<char16_t> word(64, fill), name(64, fill), type(64, fill);
        const uint16_t caps[3] = {static_cast<uint16_t>(zero == 0 ? 0 : 64),
                                  static_cast<uint16_t>(zero == 1 ? 0 : 64),
                                  static_cast<uint16_t>(zero == 2 ? 0 : 64)};
        EXPECT_EQ(
            plugin.result(last, word.data(), caps[0], name.data(), caps[1], type.data(), caps[2]),
            0)
            << zero;
        const std::vector<char16_t> untouched(64, fill);
        EXPECT_TRUE(word == untouched && name == untouched && type == untouched) << zero;
    }
    ASSERT_EQ(log.asserts.size(), 3u);
    for (const AssertRecord& report : log.asserts) {
        EXPECT_EQ(report.file, u"..\\plugin-lexigrove");
        EXPECT_EQ(report.line, 293);
    }
    EXPECT_FALSE(plugin.At(last).name.empty());
}

TEST_F(EndToEnd, EveryInstalledPairAnswers) {
    const char16_t* pairs[][3] = {
        {u"en", u"fr", u"water"},     {u"fr", u"en", u"eau"},   {u"en", u"de", u"water"},
        {u"de", u"en", u"Wasser"},    {u"en", u"es", u"water"}, {u"es", u"en", u"agua"},
        {u"en", u"it", u"water"},     {u"it", u"en", u"acqua"}, {u"en", u"pt", u"water"},
        {u"pt", u"en", u"\u00e1gua"}, {u"en", u"ru", u"water"}, {u"en", u"sv", u"water"},
        {u"sv", u"en", u"vatten"},
    };
    for (const auto& p : pairs) {
        EXPECT_FALSE(Search(p[0], p[1], p[2]).empty())
            << std::string(p[0], p[0] + 2) << "->" << std::string(p[1], p[1] + 2);
    }
}

// The client ports of the service's request log from line `from` on (the
// wrapper names the log); each connection has a port of its own.
std::vector<std::string> RequestPorts(size_t from) {
    const char* path = std::getenv("LEXIGROVE_SERVICE_REQUEST_LOG");
    std::vector<std::string> ports;
    if (path == nullptr)
        return ports;
    std::string name = path;
#if defined(_WIN32)
    if (!name.empty() && name[0] == '/')
        name = "Z:" + name; // Wine's drive for the Unix root
#endif
    std::ifstream in(name);
    std::string line;
    for (size_t i = 0; std::getline(in, line); ++i) {
        if (i < from)
            continue;
        std::istringstream fields(line);
        std::string time, client;
        fields >> time >> client; // client: ADDRESS:PORT
        ports.push_back(client.substr(client.rfind(':') + 1));
    }
    return ports;
}

// The online library as the plugin drives it, straight to the service.
class EndToEndConnections : public ::testing::Test {
protected:
    void SetUp() override {
        const char* port = std::getenv("LEXIGROVE_SERVICE_PORT");
        ASSERT_NE(port, nullptr);
        base_ = std::string("http://127.0.0.1:") + port +
                "/serverjobs/dictionary.php?fromlang=en&tolang=fr&word=";
        library_ = platform::LoadModule(u"Skyloom.dll");
        ASSERT_NE(library_, nullptr);
        create_ =
            reinterpret_cast<CreateHttpFileFn>(platform::FindSymbol(library_, "CreateHttpFile"));
        destroy_ =
            reinterpret_cast<DeleteHttpFileFn>(platform::FindSymbol(library_, "DeleteHttpFile"));
        ASSERT_NE(create_, nullptr);
        ASSERT_NE(destroy_, nullptr);
        file_ = create_(0, nullptr);
        ASSERT_NE(file_, nullptr);
    }
    void TearDown() override {
        if (file_ != nullptr)
            destroy_(file_);
        if (library_ != nullptr)
            platform::FreeModule(library_);
    }
    // One download as the plugin does it; false when any step fails.
    bool Download(const char* word) {
        const std::string text = base_ + word;
        const std::u16string address(text.begin(), text.end());
        bool ok = file_->Open(address.c_str(), kGenericRead, kFileShareRead, kOpenExisting,
                              kFileAttributeNormal) == 0;
        std::vector<char> chunk(4096);
        uint32_t count = 4096;
        while (ok && count == 4096)
            ok = file_->Read(chunk.data(), 4096, &count) == 0;
        file_->Close();
        return ok;
    }
    static size_t Connections(const std::vector<std::string>& ports) {
        return std::set<std::string>(ports.begin(), ports.end()).size();
    }

    std::string base_;
    platform::ModuleHandle library_ = nullptr;
    CreateHttpFileFn create_ = nullptr;
    DeleteHttpFileFn destroy_ = nullptr;
    HttpFile* file_ = nullptr;
};

TEST_F(EndToEndConnections, TenDownloadsShareOneConnection) {
    const size_t before = RequestPorts(0).size();
    const char* const words[] = {"water", "cat", "dog", "house", "tree"};
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(Download(words[i % 5])) << i;
    const std::vector<std::string> ports = RequestPorts(before);
    ASSERT_EQ(ports.size(), 10u);
    EXPECT_EQ(Connections(ports), 1u) << "ten downloads used more than one connection";
}

TEST_F(EndToEndConnections, AKeptConnectionTheServerClosedIsReplaced) {
    const size_t before = RequestPorts(0).size();
    ASSERT_TRUE(Download("house"));
    // The service closes a connection idle for 5 s, without a word to the
    // client; the next download finds it closed and connects anew.
    std::this_thread::sleep_for(std::chrono::milliseconds(6000));
    EXPECT_TRUE(Download("cat"));
    EXPECT_TRUE(Download("dog"));
    const std::vector<std::string> ports = RequestPorts(before);
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(Connections(ports), 2u);
}

#if !defined(_WIN32)
// The same through the plugin and the proxy (the service). Not in the
// Windows builds: Wine's WinINet does not keep connections made through a
// proxy (Windows' own does), so there every proxied lookup connects anew.
TEST_F(EndToEnd, TenLookupsThroughTheProxyShareOneConnection) {
    ASSERT_FALSE(Search(u"en", u"fr", u"house").empty());
    const size_t before = RequestPorts(0).size();
    const char16_t* const words[] = {u"water", u"cat", u"dog", u"house", u"tree"};
    for (int i = 0; i < 10; ++i)
        EXPECT_FALSE(Search(u"en", u"fr", words[i % 5]).empty());
    const std::vector<std::string> ports = RequestPorts(before);
    ASSERT_EQ(ports.size(), 10u);
    EXPECT_EQ(std::set<std::string>(ports.begin(), ports.end()).size(), 1u)
        << "ten lookups used more than one connection";
}
#endif

#if defined(_WIN32)
// With no proxy in the environment, the online library takes the proxy from
// the user's Internet Settings, as Windows programs do.
TEST_F(EndToEnd, LookupGoesThroughTheSystemProxyWithoutAnEnvironmentProxy) {
    const char* port = std::getenv("LEXIGROVE_SERVICE_PORT");
    ASSERT_NE(port, nullptr);
    const std::wstring service = L"127.0.0.1:" + std::wstring(port, port + std::strlen(port));
    skyloom_test::ScopedEnvironment lower("http_proxy", "");
    skyloom_test::ScopedEnvironment upper("HTTP_PROXY", "");
    {
        lexigrove_test::ScopedSystemProxy system(true, service, L"<local>");
        ASSERT_TRUE(system.ok());
        const size_t before = RequestPorts(0).size();
        const std::vector<Entry> found = Search(u"en", u"fr", u"house");
        EXPECT_TRUE(HasName(found, u"maison"));
        EXPECT_EQ(RequestPorts(before).size(), 1u);
    }
    {
        // The configured proxy refuses connections: the lookup fails.
        lexigrove_test::ScopedSystemProxy system(true, L"127.0.0.1:1", L"");
        ASSERT_TRUE(system.ok());
        EXPECT_TRUE(Search(u"en", u"fr", u"house", 0).empty());
    }
}
#endif

} // namespace
