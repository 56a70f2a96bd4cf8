// The binding and the download loop against the scripted online library,
// loaded by its real file name through the platform layer.
#include "FailingAllocator.h"
#include "SkyloomDouble.h"

#include "basiccpp/Log.h"
#include "online/Online.h"
#include "platform/Platform.h"
#include "tests/support/RecordingLog.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kFolder = LEXIGROVE_DOUBLE_DIR;
const fs::path kInstalled = kFolder / LEXIGROVE_DOUBLE_INSTALLED_NAME;
const char* const kFullDouble = LEXIGROVE_DOUBLE_FILE;
const char* const kNoCreateDouble = LEXIGROVE_DOUBLE_NO_CREATE_FILE;
const char16_t* const kAddress = u"http://dictionary.test/lookup?from=en&to=de&q=tree";

// Exactly one report "Assert Failed!!!" from the plugin at line.
void ExpectOneReport(const RecordingLog& log, int line) {
    ASSERT_EQ(log.asserts.size(), 1u);
    EXPECT_EQ(log.asserts[0].message, u"Assert Failed!!!");
    EXPECT_EQ(log.asserts[0].file, u"..\\plugin-lexigrove");
    EXPECT_EQ(log.asserts[0].line, line);
    EXPECT_TRUE(log.entries.empty());
}

std::string Pattern(size_t size, char salt) {
    std::string text(size, '\0');
    for (size_t i = 0; i < size; ++i)
        text[i] = static_cast<char>(salt + (i * 7 + i / 4096) % 61);
    return text;
}

// Puts one of the double's builds where the binding looks for the online
// library, and lets the test script it through its own handle.
class BindingTest : public ::testing::Test {
protected:
    DoubleScript script;
    DoubleRecord record;
    RecordingLog log;
    online::Binding binding;
    online::ReceiveBuffer buffer;
    platform::ModuleHandle own = nullptr;
    std::string served;

    void SetUp() override {
        Uninstall();
        basiccpp::SetLog(&log);
    }
    void TearDown() override {
        online::Release(binding);
        if (own) {
            platform::FreeModule(own);
            own = nullptr;
            // Nothing else holds the library: it is gone.
            EXPECT_TRUE(record.unloaded);
        }
        Uninstall();
        basiccpp::SetLog(nullptr);
    }

    void Install(const char* variant) {
        fs::copy_file(kFolder / variant, kInstalled, fs::copy_options::overwrite_existing);
        own = platform::LoadModule(u"Skyloom.dll");
        ASSERT_NE(own, nullptr);
        auto attach = reinterpret_cast<DoubleAttachFn>(platform::FindSymbol(own, "DoubleAttach"));
        ASSERT_NE(attach, nullptr);
        attach(&script, &record);
    }
    static void Uninstall() {
        std::error_code ignored;
        fs::remove(kInstalled, ignored);
    }
    // The double reads the reply from here.
    void Serve(std::string reply) {
        served = std::move(reply);
        script.reply = served.data();
        script.replySize = served.size();
    }
    int FetchReply() { return online::Fetch(binding, buffer, kAddress, u"tree"); }
    std::string Text() const { return std::string(buffer.data()); }
};

// The binding with the complete double loaded and its object created.
class FetchTest : public BindingTest {
protected:
    void SetUp() override {
        BindingTest::SetUp();
        Install(kFullDouble);
        ASSERT_EQ(online::Prepare(binding), 1);
    }
};

TEST_F(BindingTest, MissingLibraryFailsSilentlyUntilItCanBeLoaded) {
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(online::Prepare(binding), 0);
        EXPECT_EQ(binding.library, nullptr);
        EXPECT_EQ(binding.file, nullptr);
    }
    EXPECT_TRUE(log.asserts.empty());
    EXPECT_TRUE(log.entries.empty());

    Install(kFullDouble);
    EXPECT_EQ(online::Prepare(binding), 1);
    EXPECT_NE(binding.library, nullptr);
    EXPECT_NE(binding.file, nullptr);
    EXPECT_EQ(record.creates, 1u);
    EXPECT_TRUE(log.asserts.empty());
}

TEST_F(BindingTest, CreatesTheObjectOnceWithZeroAndTheLogInstalledThen) {
    Install(kFullDouble);
    ASSERT_EQ(online::Prepare(binding), 1);
    HttpFile* const created = binding.file;
    RecordingLog later;
    basiccpp::SetLog(&later);
    ASSERT_EQ(online::Prepare(binding), 1);
    EXPECT_EQ(binding.file, created);
    EXPECT_EQ(record.creates, 1u);
    EXPECT_EQ(record.createReserved, 0);
    EXPECT_EQ(record.createLog, &log);
    basiccpp::SetLog(&log);
}

TEST_F(BindingTest, PassesNoLogWhenNoneIsInstalled) {
    basiccpp::SetLog(nullptr);
    Install(kFullDouble);
    ASSERT_EQ(online::Prepare(binding), 1);
    EXPECT_EQ(record.createLog, nullptr);
}

TEST_F(BindingTest, NoObjectFailsWithoutTouchingItAndCreationIsRetried) {
    script.createGivesNull = true;
    Install(kFullDouble);
    EXPECT_EQ(online::Prepare(binding), 0);
    EXPECT_NE(binding.library, nullptr);
    EXPECT_EQ(binding.file, nullptr);
    EXPECT_EQ(FetchReply(), online::kFetchOpenFailed);
    EXPECT_EQ(record.opens, 0u);
    EXPECT_TRUE(log.asserts.empty());

    script.createGivesNull = false;
    EXPECT_EQ(online::Prepare(binding), 1);
    EXPECT_EQ(record.creates, 2u);
    Serve("<ok/>");
    EXPECT_EQ(FetchReply(), online::kFetchOk);
    EXPECT_EQ(Text(), "<ok/>");
}

TEST_F(BindingTest, MissingCreateIsReportedEverySearchAndTheLibraryStaysLoaded) {
    Install(kNoCreateDouble);
    EXPECT_EQ(online::Prepare(binding), 0);
    ExpectOneReport(log, 51);
    const platform::ModuleHandle loaded = binding.library;
    EXPECT_NE(loaded, nullptr);
    EXPECT_EQ(binding.file, nullptr);

    EXPECT_EQ(online::Prepare(binding), 0);
    EXPECT_EQ(log.asserts.size(), 2u);
    EXPECT_EQ(binding.library, loaded);

    // No object: Release only frees the library.
    online::Release(binding);
    EXPECT_EQ(record.deletes, 0u);
    EXPECT_EQ(binding.library, nullptr);
}

TEST_F(BindingTest, ReleaseDeletesTheObjectOnceAndFreesTheLibrary) {
    Install(kFullDouble);
    ASSERT_EQ(online::Prepare(binding), 1);
    Serve("<reply/>");
    ASSERT_EQ(FetchReply(), online::kFetchOk);
    platform::FreeModule(own);
    own = nullptr;

    online::Release(binding);
    EXPECT_EQ(record.deletes, 1u);
    EXPECT_TRUE(record.deletedOwnObject);
    EXPECT_EQ(record.closes, 1u); // no extra Close at release
    EXPECT_TRUE(record.unloaded);
    EXPECT_EQ(binding.library, nullptr);
    EXPECT_EQ(binding.file, nullptr);

    online::Release(binding);
    EXPECT_EQ(record.deletes, 1u);
}

TEST_F(BindingTest, DestroyingTheBindingReleasesIt) {
    Install(kFullDouble);
    {
        online::Binding scoped;
        ASSERT_EQ(online::Prepare(scoped), 1);
        platform::FreeModule(own);
        own = nullptr;
    }
    EXPECT_EQ(record.deletes, 1u);
    EXPECT_TRUE(record.deletedOwnObject);
    EXPECT_TRUE(record.unloaded);
}

TEST_F(FetchTest, EmptyReplyWithTheExactOpenArguments) {
    Serve("");
    buffer.data()[0] = 'x';
    ASSERT_EQ(FetchReply(), online::kFetchOk);
    EXPECT_EQ(std::u16string(record.address), kAddress);
    EXPECT_EQ(record.access, 0x80000000u);
    EXPECT_EQ(record.sharing, 1u);
    EXPECT_EQ(record.disposition, 3u);
    EXPECT_EQ(record.attributes, 0x80u);
    EXPECT_EQ(record.opens, 1u);
    EXPECT_EQ(record.reads, 1u);
    EXPECT_EQ(record.closes, 1u);
    EXPECT_EQ(buffer.data()[0], '\0');
    EXPECT_EQ(buffer.size(), 4096u);
    EXPECT_TRUE(log.asserts.empty());
}

TEST_F(FetchTest, ExactlyOneChunkGrowsTheBufferAndReadsOnceMore) {
    const std::string reply = Pattern(4096, 'A');
    Serve(reply);
    ASSERT_EQ(FetchReply(), online::kFetchOk);
    EXPECT_EQ(buffer.size(), 8192u);
    EXPECT_EQ(record.reads, 2u);
    EXPECT_EQ(std::memcmp(buffer.data(), reply.data(), 4096), 0);
    EXPECT_EQ(buffer.data()[4096], '\0');
    EXPECT_FALSE(record.readAskedOther);
    EXPECT_FALSE(record.readCountNotZero);
    EXPECT_FALSE(record.usedWhileClosed);
}

TEST_F(FetchTest, ShorterReplyAfterALongerOneIsExactlyTheNewBytes) {
    const std::string first = Pattern(6000, 'a');
    Serve(first);
    ASSERT_EQ(FetchReply(), online::kFetchOk);
    EXPECT_EQ(Text(), first);
    EXPECT_EQ(buffer.size(), 8192u);

    const std::string second = Pattern(3000, 'A');
    Serve(second);
    ASSERT_EQ(FetchReply(), online::kFetchOk);
    EXPECT_EQ(Text(), second);
    // Nothing of the longer reply right behind the terminator, where a parser
    // stepping over a cut multibyte sequence would still look.
    EXPECT_EQ(std::string(buffer.data() + 3000, 4), std::string(4, '\0'));
    EXPECT_EQ(buffer.data()[3004], first[3004]);
    EXPECT_EQ(buffer.size(), 8192u); // never shrinks
    EXPECT_EQ(record.opens, 2u);
    EXPECT_EQ(record.closes, 2u);
    EXPECT_FALSE(record.readCountNotZero);
}

TEST_F(FetchTest, ReplyEndingAtTheLastByteKeepsZerosBehindItsTerminator) {
    Serve(Pattern(4095, 'a'));
    ASSERT_EQ(FetchReply(), online::kFetchOk);
    EXPECT_EQ(buffer.size(), 4096u);
    EXPECT_EQ(std::string(buffer.data() + 4095, 4), std::string(4, '\0'));
}

TEST_F(FetchTest, FailedSecondReadIsReportedClosesAndLeavesTheBindingUsable) {
    const std::string reply = Pattern(10000, 'a');
    Serve(reply);
    script.failReadAt = 2;
    EXPECT_EQ(FetchReply(), online::kFetchReadFailed);
    ExpectOneReport(log, 148);
    EXPECT_EQ(record.reads, 2u);
    EXPECT_EQ(record.closes, 1u);

    script.failReadAt = 0;
    ASSERT_EQ(FetchReply(), online::kFetchOk);
    EXPECT_EQ(Text(), reply);
}

TEST_F(FetchTest, CountAboveTheChunkIsAFailedRead) {
    for (uint32_t chunk : {1u, 3u}) {
        SCOPED_TRACE(chunk);
        log.asserts.clear();
        record.closes = 0;
        const std::string reply = Pattern(20000, 'a');
        Serve(reply);
        script.oddCountAt = chunk;
        script.oddCount = 5000;
        const size_t sizeBefore = buffer.size();
        EXPECT_EQ(FetchReply(), online::kFetchReadFailed);
        ExpectOneReport(log, 148);
        EXPECT_EQ(record.reads, chunk);
        EXPECT_EQ(record.closes, 1u);
        EXPECT_GE(buffer.size(), sizeBefore);
    }
}

TEST_F(FetchTest, ShortCountEndsTheReply) {
    const std::string reply = Pattern(12000, 'a');
    Serve(reply);
    script.oddCountAt = 2;
    script.oddCount = 100;
    ASSERT_EQ(FetchReply(), online::kFetchOk);
    EXPECT_EQ(record.reads, 2u);
    EXPECT_EQ(Text(), reply.substr(0, 4096 + 100));
}

TEST_F(FetchTest, FailedOpenClosesWithoutReadingOrLogging) {
    script.openStatus = -5;
    EXPECT_EQ(FetchReply(), online::kFetchOpenFailed);
    EXPECT_EQ(record.opens, 1u);
    EXPECT_EQ(record.reads, 0u);
    EXPECT_EQ(record.closes, 1u);
    EXPECT_TRUE(log.asserts.empty());
}

TEST_F(FetchTest, MissingAddressOrWordIsReportedWithoutOpening) {
    EXPECT_EQ(online::Fetch(binding, buffer, nullptr, u"tree"), online::kFetchMissingArgument);
    ExpectOneReport(log, 122);
    EXPECT_EQ(online::Fetch(binding, buffer, kAddress, nullptr), online::kFetchMissingArgument);
    EXPECT_EQ(log.asserts.size(), 2u);
    EXPECT_EQ(record.opens, 0u);
}

TEST_F(FetchTest, LargeReplyArrivesWhole) {
    const size_t size = 64u << 20;
    const std::string reply = Pattern(size, 'a');
    Serve(reply);
    ASSERT_EQ(FetchReply(), online::kFetchOk);
    EXPECT_EQ(buffer.size(), size + 4096);
    EXPECT_EQ(record.reads, size / 4096 + 1);
    EXPECT_EQ(std::memcmp(buffer.data(), reply.data(), size), 0);
    EXPECT_EQ(buffer.data()[size], '\0');
    EXPECT_FALSE(record.readAskedOther);
    EXPECT_FALSE(record.readCountNotZero);
}

TEST_F(FetchTest, BufferThatCannotGrowClosesAndThrowsAndTheNextFetchWorks) {
    script.endlessReply = true;
    {
        failing_allocator::Armed armed(256 * 1024);
        EXPECT_THROW(FetchReply(), std::bad_alloc);
    }
    EXPECT_EQ(record.closes, 1u);
    EXPECT_LT(buffer.size(), 256u * 1024);
    EXPECT_EQ(buffer.size() % 4096, 0u);

    script.endlessReply = false;
    const std::string reply = Pattern(5000, 'a');
    Serve(reply);
    ASSERT_EQ(FetchReply(), online::kFetchOk);
    EXPECT_EQ(Text(), reply);
    EXPECT_EQ(record.closes, 2u);
}

} // namespace

TEST_F(FetchTest, ReplyPastTheBoundFailsAsAFailedReadAndKeepsTheBufferBounded) {
    // Exactly the bound is taken; one byte more is not, however it is split.
    for (uint64_t size : {uint64_t(online::kMaxReplyBytes), uint64_t(online::kMaxReplyBytes) + 1}) {
        SCOPED_TRACE(size);
        log.asserts.clear();
        const std::string reply(static_cast<size_t>(size), 'a');
        Serve(reply);
        const int expected =
            size > online::kMaxReplyBytes ? online::kFetchTooLarge : online::kFetchOk;
        EXPECT_EQ(FetchReply(), expected);
        if (expected != online::kFetchOk)
            ExpectOneReport(log, 148);
        EXPECT_LE(buffer.size(), online::kMaxReplyBytes + 4096);
    }
    // A reply that never ends stops at the bound.
    script.endlessReply = true;
    log.asserts.clear();
    EXPECT_EQ(FetchReply(), online::kFetchTooLarge);
    ExpectOneReport(log, 148);
    EXPECT_EQ(record.reads, online::kMaxReplyBytes / 4096 + 1);
    EXPECT_LE(buffer.size(), online::kMaxReplyBytes + 4096);
    script.endlessReply = false;
    Serve("<ok/>");
    EXPECT_EQ(FetchReply(), online::kFetchOk);
}
