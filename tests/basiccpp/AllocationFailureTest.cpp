// Every operation of the support library re-run with the n-th allocation
// failing, for n = 0, 1, ... until it completes: std::bad_alloc must pass
// through to the caller, nothing may leak, and a string must stay usable.
// This program replaces the global operator new, so it is a test of its own.
#include "basiccpp/BasicString.h"
#include "basiccpp/Log.h"

#include "tests/support/RecordingLog.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

namespace {

long liveAllocations = 0;
long allocationsBeforeFailure = -1; // -1: never fail
// No block of this program needs more; larger requests fail as they would
// on a machine without the memory, without touching any.
const std::size_t kLargestBlock = std::size_t{1} << 30;

void* Allocate(std::size_t size) {
    if (allocationsBeforeFailure == 0 || size > kLargestBlock) {
        throw std::bad_alloc();
    }
    if (allocationsBeforeFailure > 0) {
        --allocationsBeforeFailure;
    }
    void* block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    ++liveAllocations;
    return block;
}

void Free(void* block) {
    if (block != nullptr) {
        --liveAllocations;
        std::free(block);
    }
}

} // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void operator delete(void* block) noexcept {
    Free(block);
}
void operator delete[](void* block) noexcept {
    Free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    Free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    Free(block);
}

namespace {

// Runs `operation` with ever later allocation failures; returns how many
// runs failed before one went through. A run that failed must leave no more
// blocks allocated than before it; the one that went through may keep what
// it handed out (a log entry, an assigned text).
template <typename Operation> int RunUnderFailures(Operation operation) {
    for (long failing = 0; failing < 64; ++failing) {
        const long before = liveAllocations;
        bool threw = false;
        allocationsBeforeFailure = failing;
        try {
            operation();
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        allocationsBeforeFailure = -1;
        if (!threw) {
            return static_cast<int>(failing);
        }
        // Fewer is fine: Format releases the old text before it allocates.
        EXPECT_LE(liveAllocations, before) << "leak when allocation " << failing << " failed";
    }
    ADD_FAILURE() << "never completed";
    return -1;
}

TEST(AllocationFailure, ConversionsReleaseTheirTemporaries) {
    EXPECT_GE(RunUnderFailures([] {
                  std::unique_ptr<char[]> bytes(
                      WideToMultiByte(65001, u"d\u00e9j\u00e0", nullptr, -1));
                  EXPECT_TRUE(bytes);
              }),
              2);
    EXPECT_GE(RunUnderFailures([] {
                  char destination[16];
                  EXPECT_EQ(WideToMultiByte(65001, u"abc", destination, -1), destination);
              }),
              2);
    EXPECT_GE(RunUnderFailures([] {
                  std::unique_ptr<char16_t[]> wide(MultiByteToWide(0, "abc", nullptr, -1));
                  EXPECT_TRUE(wide);
              }),
              2);
    EXPECT_GE(RunUnderFailures([] { EXPECT_EQ(Utf8ToWide("\xc3\xa9t\xc3\xa9").GetLength(), 3); }),
              2);
    RunUnderFailures([] { SystemErrorText(87); });
}

TEST(AllocationFailure, ConversionErrorEntryReleasesTheSystemText) {
    RunUnderFailures([] {
        std::unique_ptr<RecordingLog> log(new RecordingLog);
        basiccpp::SetLog(log.get());
        struct Remove {
            ~Remove() { basiccpp::SetLog(nullptr); }
        } remove;
        Utf8ToWide(nullptr);
        EXPECT_EQ(log->entries.size(), 1u);
    });
}

TEST(AllocationFailure, StringsStayUsable) {
    EXPECT_GE(RunUnderFailures([] { BasicString narrow("narrow text"); }), 2);
    RunUnderFailures([] { BasicString wide(u"wide text"); });

    BasicString target(u"unchanged");
    const BasicString source(u"replacement");
    RunUnderFailures([&] {
        try {
            target = source;
        } catch (const std::bad_alloc&) {
            // A failed assignment leaves the old text in place.
            EXPECT_EQ(std::u16string(target.GetString()), u"unchanged");
            throw;
        }
    });
    EXPECT_EQ(std::u16string(target.GetString()), u"replacement");

    BasicString formatted(u"old");
    RunUnderFailures([&] {
        try {
            formatted.Format(u"%s-%d", u"new", 1);
        } catch (const std::bad_alloc&) {
            // The old buffer is gone; the string is the empty value, not dangling.
            EXPECT_EQ(formatted.GetString(), BasicString::EmptyUnit());
            throw;
        }
    });
    EXPECT_EQ(std::u16string(formatted.GetString()), u"new-1");
}

// The largest estimate Format can reach, a width of 0x7FFFFFFF, is
// reported before its buffer is asked for; one unit less is not. A larger
// sum wraps to a negative estimate, which allocates nothing.
TEST(AllocationFailure, TheLargestEstimateIsReportedBeforeItsBufferIsAskedFor) {
    RecordingLog log;
    basiccpp::SetLog(&log);
    BasicString s(u"previous");
    EXPECT_THROW(s.Format(u"%2147483647s", u"x"), std::bad_alloc);
    EXPECT_EQ(log.Lines(), std::vector<int32_t>{1929});
    EXPECT_EQ(s.GetString(), BasicString::EmptyUnit());

    log.asserts.clear();
    EXPECT_THROW(s.Format(u"%2147483646s", u"x"), std::bad_alloc);
    EXPECT_THROW(s.Format(u"%99999999999s", u"x"), std::bad_alloc); // the width is clamped
    EXPECT_EQ(log.Lines(), std::vector<int32_t>{1929});

    log.asserts.clear();
    s.Format(u"x%2147483647s", u"x");
    EXPECT_EQ(log.Lines(), std::vector<int32_t>{1928});
    EXPECT_EQ(s.GetString(), BasicString::EmptyUnit());
    basiccpp::SetLog(nullptr);
    for (const AssertRecord& r : log.asserts) {
        EXPECT_EQ(r.file, u".\\BasicString");
    }
}

TEST(AllocationFailure, ReportsPassTheFailureOnWithoutLeaking) {
    RecordingLog log;
    basiccpp::SetLog(&log);
    RunUnderFailures([] { ReportAssert(0, "..\\plugin-lexigrove", 293); });
    basiccpp::SetLog(nullptr);
    // Reports that did not fail were recorded.
    EXPECT_FALSE(log.asserts.empty());
}

} // namespace
