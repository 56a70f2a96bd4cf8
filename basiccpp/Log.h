// The log sink: the host's log object as the plugin sees it, the one
// process-wide pointer to it, and ReportAssert, the plugin's one way of
// recording a failed check. A report never changes the caller's control flow.
#pragma once

#include "AbiMacros.h"

#include <cstdint>

// The host's log class. The plugin calls only the tenth and eleventh entries
// of its virtual table; the nine before them stand in for the host's own
// operations and are never called. No virtual destructor (MSVC and g++ lay it
// out differently), no overloads, single inheritance: the table is exactly the
// host's.
class CAbstractLog {
public:
    virtual void LEXIGROVE_MEMBER_CDECL Reserved1() = 0;
    virtual void LEXIGROVE_MEMBER_CDECL Reserved2() = 0;
    virtual void LEXIGROVE_MEMBER_CDECL Reserved3() = 0;
    virtual void LEXIGROVE_MEMBER_CDECL Reserved4() = 0;
    virtual void LEXIGROVE_MEMBER_CDECL Reserved5() = 0;
    virtual void LEXIGROVE_MEMBER_CDECL Reserved6() = 0;
    virtual void LEXIGROVE_MEMBER_CDECL Reserved7() = 0;
    virtual void LEXIGROVE_MEMBER_CDECL Reserved8() = 0;
    virtual void LEXIGROVE_MEMBER_CDECL Reserved9() = 0;
    // Tenth: an assertion report (message, source file, line).
    virtual void LEXIGROVE_MEMBER_CDECL AssertReport(const char16_t* message, const char16_t* file,
                                                     int32_t line) = 0;
    // Eleventh: a formatted entry; the values for the printf-style wide
    // format follow it. Variadic members are __cdecl on every compiler.
    virtual void LEXIGROVE_MEMBER_CDECL FormattedEntry(const char16_t* file, int32_t line,
                                                       int32_t level, const char16_t* format,
                                                       ...) = 0;

protected:
    ~CAbstractLog() = default;
};

namespace basiccpp {

// The installed log, none at load. Owned by the host.
CAbstractLog* GetLog();
void SetLog(CAbstractLog* log);

} // namespace basiccpp

// Records a failed check: when condition is 0 and a log is installed, the
// log receives "Assert Failed!!!" with the widened file name and the line.
void ReportAssert(int condition, const char* file, int line);
