// The host's log object: what the plugin reports goes to standard error.
#pragma once

#include "basiccpp/Log.h"

#include <functional>
#include <string>

namespace host {

// final, with no virtual destructor: the table stays exactly the host's.
class ConsoleLog final : public CAbstractLog {
public:
    // write receives each finished line (UTF-8, ending in a line feed).
    explicit ConsoleLog(std::function<void(const std::string&)> write);

    // The operations the plugin never calls do nothing.
    void LEXIGROVE_MEMBER_CDECL Reserved1() override {}
    void LEXIGROVE_MEMBER_CDECL Reserved2() override {}
    void LEXIGROVE_MEMBER_CDECL Reserved3() override {}
    void LEXIGROVE_MEMBER_CDECL Reserved4() override {}
    void LEXIGROVE_MEMBER_CDECL Reserved5() override {}
    void LEXIGROVE_MEMBER_CDECL Reserved6() override {}
    void LEXIGROVE_MEMBER_CDECL Reserved7() override {}
    void LEXIGROVE_MEMBER_CDECL Reserved8() override {}
    void LEXIGROVE_MEMBER_CDECL Reserved9() override {}

    // "assert: <message> <file>:<line>"
    void LEXIGROVE_MEMBER_CDECL AssertReport(const char16_t* message, const char16_t* file,
                                             int32_t line) override;
    // "log <level>: <formatted text>", formatted as the plugin's own
    // BasicString formats (%s a UTF-16 text, %S a narrow one).
    void LEXIGROVE_MEMBER_CDECL FormattedEntry(const char16_t* file, int32_t line, int32_t level,
                                               const char16_t* format, ...) override;

private:
    std::function<void(const std::string&)> write_;
};

} // namespace host
