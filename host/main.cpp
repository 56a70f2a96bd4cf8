// lexigrove-lookup: looks words up through the dictionary plugin, as the
// plugin's host application does. Usage: lexigrove-lookup --help.
#include "host/Lookup.h"
#include "platform/Process.h"

namespace {

int Main(const std::vector<std::u16string>& arguments) {
    host::Streams streams;
    streams.out = [](const std::string& text) {
        platform::WriteStandardOutput(text.data(), text.size());
    };
    streams.err = [](const std::string& text) {
        platform::WriteStandardError(text.data(), text.size());
    };
    streams.in = platform::ReadStandardInput;
    return host::RunLookup(arguments, streams);
}

} // namespace

LEXIGROVE_PROGRAM_MAIN(Main)
