// Loads the built plugin the way a host does (load by path, look every export
// up by name) and drives it through a log object whose virtual table is built
// by hand from plain functions, as a host built with another compiler would
// present it.

#include "platform/Platform.h"
#include "plugin/lexigrove.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

// ---- The hand-made log object ----

struct AssertReport {
    std::u16string message;
    std::u16string file;
    int32_t line;
};

struct LogRecord {
    std::vector<AssertReport> reports;
    int formattedEntries = 0;
    int otherCalls = 0;
};

using Slot = void (*)();

// What the plugin sees: the table pointer first, nothing else it may touch.
struct HandLog {
    const Slot* table;
    LogRecord* record;
};

void LEXIGROVE_MEMBER_CDECL OtherSlot(HandLog* self) {
    ++self->record->otherCalls;
}

void LEXIGROVE_MEMBER_CDECL AssertSlot(HandLog* self, const char16_t* message, const char16_t* file,
                                       int32_t line) {
    self->record->reports.push_back({message ? message : u"(null)", file ? file : u"(null)", line});
}

void LEXIGROVE_MEMBER_CDECL FormattedSlot(HandLog* self, const char16_t*, int32_t, int32_t,
                                          const char16_t*, ...) {
    ++self->record->formattedEntries;
}

// The two words before the first slot are what the Itanium C++ ABI keeps
// there (offset to top, type information); the native sanitizer's
// dynamic-type check reads them. A 32-bit Windows host has its own data
// there, which the plugin never reads.
struct HandTable {
    std::ptrdiff_t offsetToTop;
    const std::type_info* type;
    Slot slots[11];
};

const HandTable kHandTable = {
    0,
    &typeid(CAbstractLog),
    {
        reinterpret_cast<Slot>(&OtherSlot),
        reinterpret_cast<Slot>(&OtherSlot),
        reinterpret_cast<Slot>(&OtherSlot),
        reinterpret_cast<Slot>(&OtherSlot),
        reinterpret_cast<Slot>(&OtherSlot),
        reinterpret_cast<Slot>(&OtherSlot),
        reinterpret_cast<Slot>(&OtherSlot),
        reinterpret_cast<Slot>(&OtherSlot),
        reinterpret_cast<Slot>(&OtherSlot),
        reinterpret_cast<Slot>(&AssertSlot),
        reinterpret_cast<Slot>(&FormattedSlot),
    },
};

// ---- The loaded plugin ----

using CountFn = int32_t (*)();
using ResultFn = int32_t (*)(int32_t, char16_t*, uint16_t, char16_t*, uint16_t, char16_t*,
                             uint16_t);
using TextFn = int32_t (*)(char16_t*, uint16_t);
using LanguagesFn = int32_t (*)(char16_t*);
using SetLogFn = void (*)(CAbstractLog*);

#if defined(_WIN32)
const char kSetLogName[] = LEXIGROVE_SETLOG_EXPORT_NAME;
#else
const char kSetLogName[] = "_Z8fnSetLogP12CAbstractLog";
#endif

// The built library beside this test program, as a path the platform's
// loader takes (a drive path under Wine).
std::u16string PluginPath() {
    const std::string unixPath = LEXIGROVE_PLUGIN_PATH;
    std::u16string path;
#if defined(_WIN32)
    path = u"Z:";
#endif
    for (char c : unixPath) {
#if defined(_WIN32)
        path += c == '/' ? u'\\' : static_cast<char16_t>(c);
#else
        path += static_cast<char16_t>(c);
#endif
    }
    return path;
}

const std::u16string kLanguageList =
    u"zh-cn zh-tw da nl en fi fr de el hu it ja ko no pl pt pt-br ru sl es es sv th uk tr ur ar ";

constexpr char16_t kCanary = 0xCDCD;

// A buffer of capacity units followed by canary units; the units inside the
// capacity start as canaries too unless an initial text is given.
struct GuardedBuffer {
    static constexpr size_t kGuard = 8;
    std::vector<char16_t> units;
    size_t capacity;

    explicit GuardedBuffer(size_t cap) : units(cap + kGuard, kCanary), capacity(cap) {}
    char16_t* data() { return units.data(); }
    std::u16string Text() const { return std::u16string(units.data()); }
    bool GuardIntact() const {
        for (size_t i = capacity; i < units.size(); ++i) {
            if (units[i] != kCanary)
                return false;
        }
        return true;
    }
    bool Untouched() const {
        for (char16_t unit : units) {
            if (unit != kCanary)
                return false;
        }
        return true;
    }
};

class PluginHost : public testing::Test {
protected:
    static void SetUpTestSuite() {
        // A failed load fails every test in SetUp.
        module_ = platform::LoadModule(PluginPath().c_str());
        loadError_ = module_ == nullptr ? platform::LastError() : 0;
    }
    static void TearDownTestSuite() {
        if (module_ != nullptr) {
            // Unloading destroys the context; it must not touch the log.
            Find<SetLogFn>(kSetLogName)(nullptr);
            EXPECT_NE(platform::FreeModule(module_), 0);
            module_ = nullptr;
        }
    }

    void SetUp() override {
        ASSERT_NE(module_, nullptr) << "loading the plugin failed, error " << loadError_;
        getCount = Find<CountFn>("fnGetSearchResultCount");
        getResult = Find<ResultFn>("fnGetSearchResult");
        getName = Find<TextFn>("fnGetPluginName");
        getOwner = Find<TextFn>("fnGetPluginOwner");
        getFrom = Find<LanguagesFn>("fnGetSupportedFromLanguages");
        getTo = Find<LanguagesFn>("fnGetSupportedToLanguages");
        setLog = Find<SetLogFn>(kSetLogName);
        ASSERT_TRUE(getCount && getResult && getName && getOwner && getFrom && getTo && setLog);
        setLog(Log());
    }
    void TearDown() override {
        if (setLog)
            setLog(nullptr);
        EXPECT_EQ(record_.otherCalls, 0) << "a slot other than 10 and 11 was called";
    }

    template <typename Fn> static Fn Find(const char* name) {
        return reinterpret_cast<Fn>(platform::FindSymbol(module_, name));
    }
    CAbstractLog* Log() { return reinterpret_cast<CAbstractLog*>(&log_); }

    static platform::ModuleHandle module_;
    static uint32_t loadError_;
    LogRecord record_;
    HandLog log_{kHandTable.slots, &record_};

    CountFn getCount = nullptr;
    ResultFn getResult = nullptr;
    TextFn getName = nullptr;
    TextFn getOwner = nullptr;
    LanguagesFn getFrom = nullptr;
    LanguagesFn getTo = nullptr;
    SetLogFn setLog = nullptr;
};

platform::ModuleHandle PluginHost::module_ = nullptr;
uint32_t PluginHost::loadError_ = 0;

TEST_F(PluginHost, SetLogIsFoundOnlyUnderItsDecoratedName) {
    EXPECT_EQ(platform::FindSymbol(module_, "fnSetLog"), nullptr);
}

TEST_F(PluginHost, EmptyResultListRefusesIndexZeroWithOneReport) {
    EXPECT_EQ(getCount(), 0);
    GuardedBuffer word(64), name(64), type(64);
    EXPECT_EQ(getResult(0, word.data(), 64, name.data(), 64, type.data(), 64), 0);
    EXPECT_TRUE(word.Untouched() && name.Untouched() && type.Untouched());
    ASSERT_EQ(record_.reports.size(), 1u);
    EXPECT_EQ(record_.reports[0].message, u"Assert Failed!!!");
    EXPECT_EQ(record_.reports[0].file, u"..\\plugin-lexigrove");
    EXPECT_EQ(record_.reports[0].line, 293);
    EXPECT_EQ(record_.formattedEntries, 0);

    // Other refused forms report the same way.
    EXPECT_EQ(getResult(-1, word.data(), 64, name.data(), 64, type.data(), 64), 0);
    EXPECT_EQ(getResult(0, nullptr, 0, nullptr, 0, nullptr, 0), 0);
    EXPECT_EQ(record_.reports.size(), 3u);
    EXPECT_TRUE(word.Untouched() && name.Untouched() && type.Untouched());
}

TEST_F(PluginHost, NoReportReachesARemovedLog) {
    setLog(nullptr);
    GuardedBuffer word(8), name(8), type(8);
    EXPECT_EQ(getResult(0, word.data(), 8, name.data(), 8, type.data(), 8), 0);
    EXPECT_TRUE(record_.reports.empty());
    EXPECT_EQ(record_.formattedEntries, 0);

    // A later log replaces none and receives the next report.
    LogRecord other;
    HandLog otherLog{kHandTable.slots, &other};
    setLog(reinterpret_cast<CAbstractLog*>(&otherLog));
    EXPECT_EQ(getResult(0, word.data(), 8, name.data(), 8, type.data(), 8), 0);
    setLog(nullptr);
    EXPECT_EQ(other.reports.size(), 1u);
    EXPECT_TRUE(record_.reports.empty());
}

TEST_F(PluginHost, NameAndOwnerAreCutToTheCapacity) {
    struct Case {
        TextFn fn;
        std::u16string full;
    };
    for (const Case& c : {Case{getName, u"Lexigrove"}, Case{getOwner, u"Brambix"}}) {
        const size_t n = c.full.size();
        for (size_t cap : {size_t{64}, n + 1, n, size_t{1}}) {
            SCOPED_TRACE(cap);
            GuardedBuffer buffer(cap);
            EXPECT_EQ(c.fn(buffer.data(), static_cast<uint16_t>(cap)), 1);
            EXPECT_EQ(buffer.Text(), c.full.substr(0, cap - 1));
            EXPECT_TRUE(buffer.GuardIntact());
        }
        GuardedBuffer buffer(0);
        EXPECT_EQ(c.fn(buffer.data(), 0), 1);
        EXPECT_TRUE(buffer.Untouched());
        EXPECT_EQ(c.fn(nullptr, 64), 1);
    }
    EXPECT_TRUE(record_.reports.empty());
}

TEST_F(PluginHost, LanguageCodesAreAppendedToTheText) {
    ASSERT_EQ(kLanguageList.size(), 90u);
    GuardedBuffer from(91 * 2);
    from.units[0] = u'\0';
    EXPECT_EQ(getFrom(from.data()), 27);
    EXPECT_EQ(from.Text(), kLanguageList);
    EXPECT_EQ(from.units[91], kCanary);
    EXPECT_EQ(getFrom(from.data()), 27);
    EXPECT_EQ(from.Text(), kLanguageList + kLanguageList);
    EXPECT_TRUE(from.GuardIntact());

    GuardedBuffer to(3 + 91);
    to.units[0] = u'x';
    to.units[1] = u' ';
    to.units[2] = u'\0';
    EXPECT_EQ(getTo(to.data()), 27);
    EXPECT_EQ(to.Text(), u"x " + kLanguageList);
    EXPECT_TRUE(to.GuardIntact());

    EXPECT_EQ(getFrom(nullptr), 27);
    EXPECT_EQ(getTo(nullptr), 27);
}

#if defined(_WIN32)
// A 32-bit host pushes each 16-bit capacity in a 32-bit stack slot, and a
// 64-bit host passes it in a register; either may leave junk above the low
// 16 bits, and only those count.
TEST_F(PluginHost, CapacitiesIgnoreTheUpperHalfOfTheirStackSlot) {
    using WideTextFn = int32_t (*)(char16_t*, uint32_t);
    GuardedBuffer buffer(5);
    EXPECT_EQ(Find<WideTextFn>("fnGetPluginName")(buffer.data(), 0xBEEF0005u), 1);
    EXPECT_EQ(buffer.Text(), u"Lexi");
    EXPECT_TRUE(buffer.GuardIntact());

    GuardedBuffer zero(0);
    EXPECT_EQ(Find<WideTextFn>("fnGetPluginOwner")(zero.data(), 0x00010000u), 1);
    EXPECT_TRUE(zero.Untouched());
}
#endif

} // namespace
