// Every row of hostile-table.txt, through the real plugin and the real online
// library, against lexigrove-hostile-httpd acting as the proxy: the lookup's
// return and the online library's log entry must be the row's (or the row's
// exception for this lane), and the good lookup after it must succeed.
// Then the connections a run of lookups leaves open at the server.

#include "TestEnvironment.h"
#include "basiccpp/Log.h"
#include "platform/Platform.h"
#include "plugin/lexigrove.h"
#include "tests/support/RecordingLog.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
// windows.h first
#include <psapi.h>
#undef FreeModule // a macro of windows.h for FreeLibrary; the platform's is meant
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

#if defined(_WIN64)
const char kLane[] = "win64";
#elif defined(_WIN32)
const char kLane[] = "win32";
#else
const char kLane[] = "native";
#endif

#if defined(_WIN32)
const char kSetLogName[] = LEXIGROVE_SETLOG_EXPORT_NAME;
#else
const char kSetLogName[] = "_Z8fnSetLogP12CAbstractLog";
#endif

std::string Trim(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t\r");
    const size_t end = text.find_last_not_of(" \t\r");
    return begin == std::string::npos ? "" : text.substr(begin, end - begin + 1);
}

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, '|'))
        fields.push_back(Trim(field));
    return fields;
}

struct Row {
    std::string kind;
    int expected = 0;
    std::string log; // prefix of the library's entry, or "none"
    std::string why; // set when this lane's exception applies
};

// The table as it applies to this lane.
std::vector<Row> ReadTable(const char* path) {
    std::vector<Row> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const std::string text = Trim(line);
        if (text.empty() || text[0] == '#')
            continue;
        const std::vector<std::string> fields = Fields(text);
        if (text[0] == '@') {
            if (rows.empty() || fields.size() != 4)
                continue;
            const std::string lanes = "," + fields[0].substr(1) + ",";
            if (lanes.find("," + std::string(kLane) + ",") != std::string::npos) {
                rows.back().expected = std::atoi(fields[1].c_str());
                rows.back().log = fields[2];
                rows.back().why = fields[3];
            }
            continue;
        }
        if (fields.size() == 3)
            rows.push_back({fields[0], std::atoi(fields[1].c_str()), fields[2], ""});
    }
    return rows;
}

// The online library's entries in the log since index from, as
// "(status) reason" (non-ASCII units as '?').
std::vector<std::string> LibraryEntries(const RecordingLog& log, size_t from) {
    static const std::u16string kPrefix = u"HTTP request failed: ";
    std::vector<std::string> library;
    for (size_t i = from; i < log.entries.size(); ++i) {
        const EntryRecord& entry = log.entries[i];
        if (entry.file != u"Skyloom" || entry.format != u"HTTP request failed: (%d) %s")
            continue;
        std::string text;
        for (char16_t c : entry.text.substr(kPrefix.size()))
            text += c < 0x80 ? static_cast<char>(c) : '?';
        library.push_back(text);
    }
    return library;
}

// The process's peak resident memory (peak working set on Windows) in MiB.
long PeakMiB() {
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters)))
        return static_cast<long>(counters.PeakWorkingSetSize / (1024 * 1024));
#elif defined(__linux__)
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::atol(line.c_str() + 6) / 1024;
    }
#endif
    return 0;
}

class HostileTable : public ::testing::Test {
protected:
    void SetUp() override {
        const char* portFile = std::getenv("LEXIGROVE_HOSTILE_PORT_FILE");
        ASSERT_NE(portFile, nullptr);
        portFile_ = portFile;
        std::ifstream in(portFile_);
        int port = 0;
        in >> port;
        ASSERT_GT(port, 0) << "no hostile server (" << portFile_ << ")";
        for (const char* name : {"HTTP_PROXY", "no_proxy", "NO_PROXY"})
            skyloom_test::SetEnvironment(name, "");
        skyloom_test::SetEnvironment("http_proxy",
                                     "http://127.0.0.1:" + std::to_string(port) + "/");
        module_ = platform::LoadModule(LEXIGROVE_PLUGIN_PATH);
        ASSERT_NE(module_, nullptr);
        search_ = reinterpret_cast<decltype(&fnSearchWord)>(
            platform::FindSymbol(module_, "fnSearchWord"));
        const auto setLog =
            reinterpret_cast<decltype(&fnSetLog)>(platform::FindSymbol(module_, kSetLogName));
        ASSERT_TRUE(search_ && setLog);
        setLog(&log_);
    }
    void TearDown() override {
        if (module_)
            platform::FreeModule(module_);
    }

    // One lookup of hostile-KIND: its return, its seconds, and the library's
    // log entries it caused.
    int Lookup(const std::string& kind, double& seconds, std::vector<std::string>& entries) {
        const std::string ascii = "hostile-" + kind;
        const std::u16string word(ascii.begin(), ascii.end());
        const size_t from = log_.entries.size();
        const auto start = std::chrono::steady_clock::now();
        const int result = search_(u"en", u"fr", word.c_str());
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        entries = LibraryEntries(log_, from);
        return result;
    }

    // Connections the server has open now.
    int OpenAtServer() {
        std::ifstream in(portFile_ + ".stats");
        std::string word;
        int open = -1;
        in >> word >> open;
        return open;
    }

    std::string portFile_;
    platform::ModuleHandle module_ = nullptr;
    decltype(&fnSearchWord) search_ = nullptr;
    RecordingLog log_;
};

TEST_F(HostileTable, EveryRowGetsItsVerdict) {
    const char* table = std::getenv("LEXIGROVE_HOSTILE_TABLE");
    ASSERT_NE(table, nullptr);
    const std::vector<Row> rows = ReadTable(table);
    ASSERT_GE(rows.size(), 20u) << "table not read: " << table;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.kind);
        double seconds = 0;
        std::vector<std::string> entries;
        const int result = Lookup(row.kind, seconds, entries);
        const std::string entry = entries.empty() ? "none" : entries.front();
        std::printf("verdict %-6s %-16s %d  %-48s %6.2f s%s\n", kLane, row.kind.c_str(), result,
                    entry.c_str(), seconds, row.why.empty() ? "" : "  (lane exception)");
        EXPECT_EQ(result, row.expected);
        if (row.log == "none") {
            EXPECT_TRUE(entries.empty()) << entry;
        } else {
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(entry.compare(0, row.log.size(), row.log), 0) << entry;
        }
        if (row.kind == "2gib" || row.kind == "near-limit") {
            const long peak = PeakMiB();
            std::printf("peak resident memory after %s: %ld MiB\n", row.kind.c_str(), peak);
            // Bounded by the reply limit, not by the reply (sanitizer
            // shadow and quarantine included).
            EXPECT_GT(peak, 0) << "no peak memory figure on this platform";
            EXPECT_LT(peak, 1024);
        }
        // The next lookup succeeds, and at once (no connection left waiting).
        const int next = Lookup("good", seconds, entries);
        EXPECT_EQ(next, 1) << "good lookup after " << row.kind;
        EXPECT_TRUE(entries.empty());
        std::printf("        then good: %d in %.2f s\n", next, seconds);
    }
}

TEST_F(HostileTable, LookupsLeaveAtMostTwoConnectionsOpen) {
    double seconds = 0;
    std::vector<std::string> entries;
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(Lookup("good", seconds, entries), 1);
    // The server sees a close a moment after the client makes it.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int afterTen = OpenAtServer();
    std::printf("%s: connections open at the server after 10 lookups: %d\n", kLane, afterTen);
    EXPECT_GE(afterTen, 0);
    EXPECT_LE(afterTen, 2);
    double slowest = 0;
    double total = 0;
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(Lookup("good", seconds, entries), 1);
        slowest = std::max(slowest, seconds);
        total += seconds;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const int afterHundred = OpenAtServer();
    std::printf("%s: 100 lookups through the proxy: %.2f s in all, slowest %.3f s; "
                "%d connections open after them\n",
                kLane, total, slowest, afterHundred);
    EXPECT_LE(afterHundred, 2);
}

} // namespace
