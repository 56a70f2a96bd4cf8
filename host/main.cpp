// lexigrove-lookup: looks words up through the dictionary plugin, as the
// plugin's host application does. Usage: lexigrove-lookup --help.
#include "host/Lookup.h"
#include "platform/Process.h"

namespace {

int Main(const std::vector<std::u16string>& arguments) {
    host::Output output;
    output.out = [](const std::string& text) {
        platform::WriteStandardOutput(text.data(), text.size());
    };
    output.err = [](const std::string& text) {
        platform::WriteStandardError(text.data(), text.size());
    };
    return host::RunLookup(arguments, output);
}

} // namespace

LEXIGROVE_PROGRAM_MAIN(Main)
