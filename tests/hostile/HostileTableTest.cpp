// Every row of hostile-table.txt, through the real plugin and the real online
// library, against lexigrove-hostile-httpd acting as the proxy: the lookup's
// return and the online library's log entry must be the row's (or the row's
// exception for this lane), a row with a deadline must end within it and a
// second, a row that bounds what the server sent must stay within it, and
// the good lookup after it must succeed. Then the connections a run of
// lookups leaves open at the server, and a word too long to send.

#include "TestEnvironment.h"
#include "basiccpp/Log.h"
#include "online/HttpFile.h"
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
    // Options, "name=value" separated by blanks: deadline (ms, through
    // SKYLOOM_DEADLINE_MS), timeout (ms, through SKYLOOM_TIMEOUT_MS), sent
    // ("cut": the server could write at most the reply bound and what the
    // sockets hold before the client hung up; "any").
    std::string deadline;
    std::string timeout;
    std::string sent;
};

void ReadOptions(const std::string& text, Row& row) {
    std::stringstream in(text);
    std::string option;
    while (in >> option) {
        const size_t equals = option.find('=');
        const std::string name = option.substr(0, equals);
        const std::string value = equals == std::string::npos ? "" : option.substr(equals + 1);
        if (name == "deadline") {
            row.deadline = value;
        } else if (name == "timeout") {
            row.timeout = value;
        } else if (name == "sent") {
            row.sent = value;
        } else {
            ADD_FAILURE() << "unknown option " << option << " in row " << row.kind;
        }
    }
}

// The table as it applies to this lane.
std::vector<Row> ReadTable(const char* path) {
    std::vector<Row> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        const std::string text = Trim(line);
        if (text.empty() || text[0] == '#') {
            continue;
        }
        const std::vector<std::string> fields = Fields(text);
        if (text[0] == '@') {
            if (rows.empty() || fields.size() < 4 || fields.size() > 5) {
                ADD_FAILURE() << "malformed exception row: " << text;
                continue;
            }
            const std::string lanes = "," + fields[0].substr(1) + ",";
            if (lanes.find("," + std::string(kLane) + ",") != std::string::npos) {
                rows.back().expected = std::atoi(fields[1].c_str());
                rows.back().log = fields[2];
                rows.back().why = fields[3];
                if (fields.size() == 5) {
                    ReadOptions(fields[4], rows.back());
                }
            }
            continue;
        }
        if (fields.size() < 3 || fields.size() > 4) {
            ADD_FAILURE() << "malformed row: " << text;
            continue;
        }
        rows.push_back({fields[0], std::atoi(fields[1].c_str()), fields[2], "", "", "", ""});
        if (fields.size() == 4) {
            ReadOptions(fields[3], rows.back());
        }
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
        for (const char* name : {"HTTP_PROXY", "no_proxy", "NO_PROXY"}) {
            skyloom_test::SetEnvironment(name, "");
        }
        if (const char* timeout = std::getenv("SKYLOOM_TIMEOUT_MS")) {
            timeout_ = timeout;
        }
        skyloom_test::SetEnvironment("http_proxy",
                                     "http://127.0.0.1:" + std::to_string(port) + "/");
        LoadPlugin();
    }
    void LoadPlugin() {
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
        if (module_) {
            platform::FreeModule(module_);
        }
    }

    // One lookup of hostile-KIND: its return, its seconds, and the library's
    // log entries it caused.
    int Lookup(const std::string& kind, double& seconds, std::vector<std::string>& entries) {
        const std::string ascii = "hostile-" + kind;
        return LookUpWord(std::u16string(ascii.begin(), ascii.end()), seconds, entries);
    }

    int LookUpWord(const std::u16string& word, double& seconds, std::vector<std::string>& entries) {
        const size_t from = log_.entries.size();
        const auto start = std::chrono::steady_clock::now();
        const int result = search_(u"en", u"fr", word.c_str());
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        entries = LibraryEntries(log_, from);
        return result;
    }

    // The body bytes the server could write for a streamed reply of kind
    // before the client hung up; -1 when it has not said within 60 s (a
    // client may go on reading after the lookup has failed).
    long long SentBy(const std::string& kind) {
        for (int i = 0; i < 600; ++i) {
            std::ifstream in(portFile_ + ".sent");
            std::string named;
            long long bytes = -1;
            if (in >> named >> bytes && named == kind) {
                return bytes;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return -1;
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
    std::string timeout_; // SKYLOOM_TIMEOUT_MS as the test was started with
    platform::ModuleHandle module_ = nullptr;
    decltype(&fnSearchWord) search_ = nullptr;
    RecordingLog log_;
};

// What the sockets between the server and the client may hold beyond what
// the client took (both kernels' buffers on loopback), for rows whose reply
// must be cut off.
constexpr long long kSocketAllowance = 16ll << 20;

TEST_F(HostileTable, EveryRowGetsItsVerdict) {
    const char* table = std::getenv("LEXIGROVE_HOSTILE_TABLE");
    ASSERT_NE(table, nullptr);
    const std::vector<Row> rows = ReadTable(table);
    ASSERT_GE(rows.size(), 20u) << "table not read: " << table;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.kind);
        double seconds = 0;
        std::vector<std::string> entries;
        skyloom_test::SetEnvironment("SKYLOOM_DEADLINE_MS", row.deadline);
        skyloom_test::SetEnvironment("SKYLOOM_TIMEOUT_MS",
                                     row.timeout.empty() ? timeout_ : row.timeout);
        std::remove((portFile_ + ".sent").c_str());
        const int result = Lookup(row.kind, seconds, entries);
        skyloom_test::SetEnvironment("SKYLOOM_DEADLINE_MS", "");
        skyloom_test::SetEnvironment("SKYLOOM_TIMEOUT_MS", timeout_);
        const std::string entry = entries.empty() ? "none" : entries.front();
        std::printf("verdict %-6s %-18s %d  %-48s %6.2f s%s\n", kLane, row.kind.c_str(), result,
                    entry.c_str(), seconds, row.why.empty() ? "" : "  (lane exception)");
        EXPECT_EQ(result, row.expected);
        if (row.log == "none") {
            EXPECT_TRUE(entries.empty()) << entry;
        } else {
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(entry.compare(0, row.log.size(), row.log), 0) << entry;
        }
        if (!row.deadline.empty()) {
            EXPECT_LE(seconds, std::atoi(row.deadline.c_str()) / 1000.0 + 1.0);
        }
        if (!row.sent.empty()) {
            const long long sent = SentBy(row.kind);
            std::printf("        the server wrote %lld bytes of the body (%.1f MiB; the bound "
                        "is %u MiB) before the client hung up\n",
                        sent, sent / 1048576.0, kMaxReplyBytes >> 20);
            EXPECT_GE(sent, 0) << "the server did not say what it wrote";
            if (row.sent == "cut") {
                EXPECT_LE(sent, static_cast<long long>(kMaxReplyBytes) + kSocketAllowance);
            }
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
        EXPECT_LT(seconds, 2.0) << "good lookup after " << row.kind;
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

// The plugin escapes "\u20ac" as %E2%82%AC: 7,000 of them make an address of
// some 63,100 characters, 7,300 one past the 65,536 the library sends.
TEST_F(HostileTable, WordTooLongToSendFailsBeforeSending) {
    double seconds = 0;
    std::vector<std::string> entries;
    const std::u16string stem = u"hostile-good";
    EXPECT_EQ(LookUpWord(stem + std::u16string(7300, u'\u20ac'), seconds, entries), 0);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries.front(), "(-3) request address too long");
    // Sent: whatever the server makes of it, it is not refused before.
    LookUpWord(stem + std::u16string(7000, u'\u20ac'), seconds, entries);
    for (const std::string& entry : entries) {
        EXPECT_EQ(entry.find("request address too long"), std::string::npos) << entry;
    }
    EXPECT_EQ(Lookup("good", seconds, entries), 1);
}

// A header block that trickles in for 8.4 s, looked up again and again with
// a deadline of 600 ms: every lookup fails at its deadline. A request left
// behind at its deadline keeps its connection until the block is in, and no
// more than four are left behind at once (a lookup that finds four waits
// for one within its deadline). The plugin unloads at once while they run,
// and they end without it; then a plugin loaded anew looks words up.
TEST_F(HostileTable, RequestsLeftBehindAtTheirDeadlineAreFourAtMostAndOutliveTheLibrary) {
    double seconds = 0;
    std::vector<std::string> entries;
    const int before = OpenAtServer(); // a connection kept from an earlier lookup, say
    skyloom_test::SetEnvironment("SKYLOOM_DEADLINE_MS", "600");
    int most = 0;
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(Lookup("head-drip", seconds, entries), 0);
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries.front(), "(-6) timed out: the whole request took longer than 600 ms");
        EXPECT_LE(seconds, 1.6) << "lookup " << i;
        most = std::max(most, OpenAtServer());
    }
    skyloom_test::SetEnvironment("SKYLOOM_DEADLINE_MS", "");
    const auto start = std::chrono::steady_clock::now();
    platform::FreeModule(module_);
    module_ = nullptr;
    const double unload =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int waited = 0;
    while (OpenAtServer() > before && waited < 150) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        ++waited;
    }
    std::printf("%s: 8 lookups of a trickling header block: at most %d connections open at the "
                "server (%d before); the plugin unloaded in %.3f s; the connections closed "
                "%.1f s later\n",
                kLane, most, before, unload, waited / 10.0);
    EXPECT_LE(most, before + 4);
    EXPECT_LT(unload, 1.0);
    EXPECT_LE(OpenAtServer(), before);
    LoadPlugin();
    EXPECT_EQ(Lookup("good", seconds, entries), 1);
    EXPECT_LT(seconds, 2.0);
}

} // namespace
