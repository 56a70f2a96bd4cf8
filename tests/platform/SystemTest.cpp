// System message texts, module loading and the readable-string test through
// the platform seam.
#include "platform/Platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

using namespace platform;

namespace {

std::u16string SystemText(uint32_t code, uint32_t* units = nullptr) {
    char16_t* buffer = nullptr;
    const uint32_t n =
        FormatSystemMessage(kFormatMessageSystemText, code, kLanguageUserDefault, &buffer);
    if (units != nullptr) {
        *units = n;
    }
    std::u16string text = buffer != nullptr ? std::u16string(buffer, n) : std::u16string();
    LocalFreeBuffer(buffer);
    return text;
}

bool EndsWithLineBreak(const std::u16string& text) {
    return text.size() > 2 && text.compare(text.size() - 2, 2, u"\r\n") == 0;
}

// Runs the body from another working directory, so that a bare module name
// has to be found beside the program, not in the current folder.
class ElsewhereTest : public ::testing::Test {
protected:
    void SetUp() override {
        original_ = std::filesystem::current_path();
        std::filesystem::current_path(std::filesystem::temp_directory_path());
    }
    void TearDown() override { std::filesystem::current_path(original_); }

private:
    std::filesystem::path original_;
};

using ProbeAnswer = int (*)();

} // namespace

TEST(SystemMessage, EveryCodeTheLayerSetsHasALineOfText) {
    const uint32_t codes[] = {kErrorSuccess,
                              kErrorFileNotFound,
                              kErrorInvalidHandle,
                              kErrorInvalidParameter,
                              kErrorInsufficientBuffer,
                              kErrorModNotFound,
                              kErrorProcNotFound,
                              kErrorMrMidNotFound,
                              kErrorInvalidFlags,
                              kErrorNoUnicodeTranslation};
    for (uint32_t code : codes) {
        uint32_t units = 0;
        const std::u16string text = SystemText(code, &units);
        EXPECT_EQ(units, text.size()) << code;
        EXPECT_TRUE(EndsWithLineBreak(text)) << code;
        EXPECT_EQ(text.find(u'\0'), std::u16string::npos) << code;
    }
}

TEST(SystemMessage, UnknownCodeGivesNoText) {
    for (uint32_t code : {12345u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
        char16_t* buffer = reinterpret_cast<char16_t*>(&code); // must be replaced
        SetLastError(0);
        EXPECT_EQ(
            FormatSystemMessage(kFormatMessageSystemText, code, kLanguageUserDefault, &buffer), 0u);
        EXPECT_EQ(LastError(), kErrorMrMidNotFound);
        EXPECT_EQ(buffer, nullptr);
        LocalFreeBuffer(buffer);
    }
}

TEST(SystemMessage, RequiresAnAllocatedBuffer) {
    char16_t* buffer = nullptr;
    SetLastError(0);
    EXPECT_EQ(FormatSystemMessage(kFormatMessageFromSystem | kFormatMessageIgnoreInserts,
                                  kErrorInvalidParameter, kLanguageUserDefault, &buffer),
              0u);
    EXPECT_EQ(LastError(), kErrorInvalidParameter);
    EXPECT_EQ(FormatSystemMessage(kFormatMessageSystemText, kErrorInvalidParameter,
                                  kLanguageUserDefault, nullptr),
              0u);
}

TEST(Modules, AMissingModuleIsNotFound) {
    for (const char16_t* name : {u"lexigrove-no-such-module.dll", u"no-such-folder/missing.dll"}) {
        SetLastError(0);
        EXPECT_EQ(LoadModule(name), nullptr);
        EXPECT_EQ(LastError(), kErrorModNotFound);
    }
    SetLastError(0);
    EXPECT_EQ(LoadModule(nullptr), nullptr);
    EXPECT_EQ(LastError(), kErrorInvalidParameter);
}

// The loader's own reason: dlerror()'s text in the posix backend, none in
// the win32 backend (LastError says it there); a load that succeeds clears it.
TEST(Modules, TheLoadersReasonForAModuleThatDoesNotLoad) {
    EXPECT_EQ(LoadModule(u"/nonexistent/lexigrove-missing.so"), nullptr);
    const std::string reason = LastLoadFailure();
#ifdef _WIN32
    EXPECT_EQ(reason, "");
#else
    EXPECT_EQ(reason, "/nonexistent/lexigrove-missing.so: cannot open shared object file: No such "
                      "file or directory");
    EXPECT_EQ(LoadModule(u""), nullptr);
    EXPECT_EQ(std::string(LastLoadFailure()), "empty module name");
    // A file that is not a shared object: the loader says so.
    EXPECT_EQ(LoadModule(u"/proc/self/status"), nullptr);
    EXPECT_NE(std::string(LastLoadFailure()).find("/proc/self/status"), std::string::npos);
#endif
#ifdef _WIN32
    const char16_t* present = u".\\lexigrove_probe.dll";
#else
    const char16_t* present = u"./liblexigrove_probe.so";
#endif
    ModuleHandle module = LoadModule(present);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(std::string(LastLoadFailure()), "");
    FreeModule(module);
}

TEST_F(ElsewhereTest, ABareNameIsFoundBesideTheProgram) {
    ModuleHandle module = LoadModule(u"lexigrove_probe.dll");
    ASSERT_NE(module, nullptr) << "error " << LastError();

    auto answer = reinterpret_cast<ProbeAnswer>(FindSymbol(module, "lexigrove_probe_answer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);

    SetLastError(0);
    EXPECT_EQ(FindSymbol(module, "lexigrove_probe_missing"), nullptr);
    EXPECT_EQ(LastError(), kErrorProcNotFound);

    // A second load counts a reference on the same module: it stays usable
    // until the last reference goes.
    ModuleHandle again = LoadModule(u"lexigrove_probe.dll");
    EXPECT_EQ(again, module);
    EXPECT_NE(FreeModule(again), 0);
    EXPECT_EQ(reinterpret_cast<ProbeAnswer>(FindSymbol(module, "lexigrove_probe_answer"))(), 42);
    EXPECT_NE(FreeModule(module), 0);
}

TEST(Modules, APathIsUsedAsGiven) {
    // The tests run in the program's folder.
#ifdef _WIN32
    const char16_t* path = u".\\lexigrove_probe.dll";
#else
    const char16_t* path = u"./liblexigrove_probe.so";
#endif
    ModuleHandle module = LoadModule(path);
    ASSERT_NE(module, nullptr) << "error " << LastError();
    EXPECT_NE(FindSymbol(module, "lexigrove_probe_answer"), nullptr);
    EXPECT_NE(FreeModule(module), 0);
}

TEST(Modules, FreeingNoModuleFails) {
    SetLastError(0);
    EXPECT_EQ(FreeModule(nullptr), 0);
    EXPECT_EQ(LastError(), kErrorInvalidHandle);
}

TEST(ReadableText, AcceptsATextAndRefusesNull) {
    EXPECT_EQ(IsBadStringPtr(u"house", 0xFFFFFFFFu), 0);
    EXPECT_EQ(IsBadStringPtr(u"", 0xFFFFFFFFu), 0);
    EXPECT_NE(IsBadStringPtr(nullptr, 0xFFFFFFFFu), 0);
}
