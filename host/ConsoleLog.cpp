#include "host/ConsoleLog.h"

#include "basiccpp/BasicString.h"
#include "host/Text.h"

#include <cstdarg>

namespace host {

namespace {
std::string Text(const char16_t* text) {
    return text == nullptr ? std::string("(null)") : ToUtf8(text);
}
} // namespace

ConsoleLog::ConsoleLog(std::function<void(const std::string&)> write) : write_(std::move(write)) {}

void ConsoleLog::AssertReport(const char16_t* message, const char16_t* file, int32_t line) {
    write_("assert: " + Text(message) + " " + Text(file) + ":" + std::to_string(line) + "\n");
}

void ConsoleLog::FormattedEntry(const char16_t*, int32_t, int32_t level, const char16_t* format,
                                ...) {
    BasicString text;
    if (format != nullptr) {
        va_list args;
        va_start(args, format);
        text.FormatV(format, args);
        va_end(args);
    }
    write_("log " + std::to_string(level) + ": " + Text(text.GetString()) + "\n");
}

} // namespace host
