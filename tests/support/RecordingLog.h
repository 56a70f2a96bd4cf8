// A stand-in for the host's log: records assertion reports and formatted
// entries, and fails the test if any of the nine other operations is called.
#pragma once

#include "basiccpp/Log.h"
#include "basiccpp/WideFormat.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>
#include <utility>
#include <vector>

struct AssertRecord {
    std::u16string message;
    std::u16string file;
    int32_t line;
};

struct EntryRecord {
    std::u16string file;
    int32_t line;
    int32_t level;
    std::u16string format;
    std::u16string text; // the format applied to the values
};

class RecordingLog final : public CAbstractLog {
public:
    void LEXIGROVE_MEMBER_CDECL Reserved1() override { Unexpected(1); }
    void LEXIGROVE_MEMBER_CDECL Reserved2() override { Unexpected(2); }
    void LEXIGROVE_MEMBER_CDECL Reserved3() override { Unexpected(3); }
    void LEXIGROVE_MEMBER_CDECL Reserved4() override { Unexpected(4); }
    void LEXIGROVE_MEMBER_CDECL Reserved5() override { Unexpected(5); }
    void LEXIGROVE_MEMBER_CDECL Reserved6() override { Unexpected(6); }
    void LEXIGROVE_MEMBER_CDECL Reserved7() override { Unexpected(7); }
    void LEXIGROVE_MEMBER_CDECL Reserved8() override { Unexpected(8); }
    void LEXIGROVE_MEMBER_CDECL Reserved9() override { Unexpected(9); }

    void LEXIGROVE_MEMBER_CDECL AssertReport(const char16_t* message, const char16_t* file,
                                             int32_t line) override {
        asserts.push_back({message, file, line});
    }

    void LEXIGROVE_MEMBER_CDECL FormattedEntry(const char16_t* file, int32_t line, int32_t level,
                                               const char16_t* format, ...) override {
        char16_t text[512];
        va_list args;
        va_start(args, format);
        basiccpp::FormatWide(text, sizeof text / sizeof text[0], format, args);
        va_end(args);
        entries.push_back({file, line, level, format, text});
    }

    // The lines of the assertion reports, in order.
    std::vector<int32_t> Lines() const {
        std::vector<int32_t> lines;
        for (const AssertRecord& r : asserts) {
            lines.push_back(r.line);
        }
        return lines;
    }

    std::vector<AssertRecord> asserts;
    std::vector<EntryRecord> entries;

private:
    static void Unexpected(int slot) { ADD_FAILURE() << "log operation " << slot << " called"; }
};

// Installs a recording log for the duration of a test.
class WithLog : public ::testing::Test {
protected:
    void SetUp() override { basiccpp::SetLog(&log); }
    void TearDown() override { basiccpp::SetLog(nullptr); }

    RecordingLog log;
};
