// The command line of lexigrove-service.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace service {

struct Options {
    int port = 0;
    std::string address = "127.0.0.1";
    std::string portFile;
    std::string data = "/usr/share/dictd";
    std::string requestLog; // a file, "-" for standard output, empty for none
    bool list = false;
    bool help = false;
    int threads = 8;
    int idleTimeout = 5;  // seconds a kept connection may say nothing
    int headTimeout = 10; // seconds for a whole request head
    int stopTimeout = 10; // seconds SIGTERM waits for requests in flight
    unsigned maxConnections = 4096;
    size_t cacheBytes = size_t{64} << 20; // inflated text chunks, all dictionaries
    std::string tableCache; // a folder for the key tables between runs; empty for none
    bool preload = false;
    // --preload=FROM:TO,...: the directions to preload; empty with preload
    // set: every direction.
    std::vector<std::pair<std::string, std::string>> preloadDirections;
};

enum class ParseResult {
    kRun,   // *options holds the command line
    kUsage, // *error says what is wrong
};

// Reads argv (getopt_long: "--name value" and "--name=value"; a bare number is
// the port). On kUsage, *error is one line naming the bad argument.
ParseResult ParseOptions(int argc, char** argv, Options* options, std::string* error);

// The --help text.
const char* UsageText();

} // namespace service
