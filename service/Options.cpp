#include "service/Options.h"

#include <getopt.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace service {

namespace {

enum Key {
    kPort = 256,
    kAddress,
    kPortFile,
    kData,
    kRequestLog,
    kList,
    kThreads,
    kIdleTimeout,
    kHeadTimeout,
    kStopTimeout,
    kMaxConnections,
    kCacheSize,
    kTableCache,
    kPreload,
};

bool ParseNumber(const char* text, long low, long high, long* out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < low || value > high) {
        return false;
    }
    *out = value;
    return true;
}

// "en:fr,pt-br:en" into pairs; false for an empty item or one without ':'.
bool ParseDirections(const std::string& text,
                     std::vector<std::pair<std::string, std::string>>* out) {
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string item = text.substr(at, comma - at);
        const size_t colon = item.find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == item.size() ||
            item.find(':', colon + 1) != std::string::npos) {
            return false;
        }
        out->emplace_back(item.substr(0, colon), item.substr(colon + 1));
        at = comma + 1;
    }
    return true;
}

} // namespace

const char* UsageText() {
    return "usage: lexigrove-service [PORT] [--port PORT] [--address ADDRESS] [--data DIR]\n"
           "                         [--preload[=FROM:TO,...]] [--request-log PATH|-]\n"
           "                         [--port-file PATH] [--threads N] [--max-connections N]\n"
           "                         [--cache-size MIB] [--idle-timeout S] [--head-timeout S]\n"
           "                         [--stop-timeout S] [--table-cache DIR]\n"
           "       lexigrove-service --list [--data DIR]\n"
           "Answers /serverjobs/dictionary.php?fromlang=..&tolang=..&word=.. on ADDRESS\n"
           "(default 127.0.0.1; any IPv4 or IPv6 address, 0.0.0.0 and :: included)\n"
           "from the FreeDict dictd files in DIR (default /usr/share/dictd), and GET /healthz.\n"
           "PORT 0 (default) picks a free port; the first output line names it.\n"
           "--preload loads every direction (or the ones listed) before listening.\n"
           "--table-cache keeps the dictionaries' key tables and reverses in DIR between runs.\n"
           "--list prints the directions DIR's dictionaries serve.\n";
}

ParseResult ParseOptions(int argc, char** argv, Options* options, std::string* error) {
    static const option kOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {"port", required_argument, nullptr, kPort},
        {"address", required_argument, nullptr, kAddress},
        {"port-file", required_argument, nullptr, kPortFile},
        {"data", required_argument, nullptr, kData},
        {"request-log", required_argument, nullptr, kRequestLog},
        {"list", no_argument, nullptr, kList},
        {"threads", required_argument, nullptr, kThreads},
        {"idle-timeout", required_argument, nullptr, kIdleTimeout},
        {"head-timeout", required_argument, nullptr, kHeadTimeout},
        {"stop-timeout", required_argument, nullptr, kStopTimeout},
        {"max-connections", required_argument, nullptr, kMaxConnections},
        {"cache-size", required_argument, nullptr, kCacheSize},
        {"table-cache", required_argument, nullptr, kTableCache},
        {"preload", optional_argument, nullptr, kPreload},
        {nullptr, 0, nullptr, 0},
    };
    struct Range {
        int key;
        const char* name;
        long low, high;
    };
    static const Range kRanges[] = {
        {kPort, "--port", 0, 65535},
        {kThreads, "--threads", 1, 64},
        {kIdleTimeout, "--idle-timeout", 1, 3600},
        {kHeadTimeout, "--head-timeout", 1, 3600},
        {kStopTimeout, "--stop-timeout", 0, 3600},
        {kMaxConnections, "--max-connections", 16, 1000000},
        {kCacheSize, "--cache-size", 0, 1 << 20},
    };
    // getopt keeps its place in globals: start over on every call, and say
    // nothing on standard error (the caller prints *error).
    optind = 0;
    opterr = 0;
    int key;
    while ((key = getopt_long(argc, argv, ":h", kOptions, nullptr)) != -1) {
        long number = 0;
        for (const Range& range : kRanges) {
            if (range.key == key && !ParseNumber(optarg, range.low, range.high, &number)) {
                *error = std::string("bad ") + range.name + " " + optarg;
                return ParseResult::kUsage;
            }
        }
        switch (key) {
        case 'h':
            options->help = true;
            break;
        case kPort:
            options->port = static_cast<int>(number);
            break;
        case kAddress:
            options->address = optarg;
            break;
        case kPortFile:
            options->portFile = optarg;
            break;
        case kData:
            options->data = optarg;
            break;
        case kRequestLog:
            options->requestLog = optarg;
            break;
        case kList:
            options->list = true;
            break;
        case kThreads:
            options->threads = static_cast<int>(number);
            break;
        case kIdleTimeout:
            options->idleTimeout = static_cast<int>(number);
            break;
        case kHeadTimeout:
            options->headTimeout = static_cast<int>(number);
            break;
        case kStopTimeout:
            options->stopTimeout = static_cast<int>(number);
            break;
        case kMaxConnections:
            options->maxConnections = static_cast<unsigned>(number);
            break;
        case kCacheSize:
            options->cacheBytes = static_cast<size_t>(number) << 20;
            break;
        case kTableCache:
            options->tableCache = optarg;
            break;
        case kPreload:
            options->preload = true;
            options->preloadDirections.clear();
            if (optarg != nullptr && !ParseDirections(optarg, &options->preloadDirections)) {
                *error = std::string("bad --preload ") + optarg + " (FROM:TO,... expected)";
                return ParseResult::kUsage;
            }
            break;
        case ':':
            *error = std::string(argv[optind - 1]) + " needs a value";
            return ParseResult::kUsage;
        default:
            *error = std::string("unknown argument ") + argv[optind - 1];
            return ParseResult::kUsage;
        }
    }
    // Operands: one port number, as older command lines give it.
    for (int i = optind; i < argc; ++i) {
        long number = 0;
        if (!ParseNumber(argv[i], 0, 65535, &number)) {
            *error = std::string("unknown argument ") + argv[i];
            return ParseResult::kUsage;
        }
        options->port = static_cast<int>(number);
    }
    return ParseResult::kRun;
}

} // namespace service
