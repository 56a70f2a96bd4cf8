#include "basiccpp/Log.h"

#include "basiccpp/BasicString.h"
#include "platform/Platform.h"

#include <memory>

namespace basiccpp {

namespace {

// The host's log object, installed by the host; none at load.
CAbstractLog* installedLog = nullptr;

} // namespace

CAbstractLog* GetLog() {
    return installedLog;
}

void SetLog(CAbstractLog* log) {
    installedLog = log;
}

} // namespace basiccpp

void ReportAssert(int condition, const char* file, int line) {
    if (condition != 0) {
        return;
    }
    // Source-file names are ASCII: the ANSI code page keeps every byte.
    const std::unique_ptr<char16_t[]> wideFile(
        MultiByteToWide(platform::kCodePageAnsi, file, nullptr, -1));
    if (CAbstractLog* log = basiccpp::GetLog()) {
        // A name that could not be widened is reported as an empty text.
        log->AssertReport(u"Assert Failed!!!", wideFile ? wideFile.get() : u"", line);
    }
}
