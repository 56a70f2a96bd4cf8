// Dictionary replies of a given size for the reader benchmarks, shaped as the
// service writes them: a declaration, a root with status "ok", and results
// of one headword and one to five translations each.
#pragma once

#include "plugin/SearchContext.h"

#include <cstring>
#include <string>

namespace bench_reader {

inline std::string MakeReply(size_t bytes) {
    static const char* const kStems[] = {"house",
                                         "water",
                                         "caf\xC3\xA9",
                                         "r\xC3\xAAve",
                                         "stra\xC3\x9F\x65",
                                         "good morning",
                                         "\xD0\xB4\xD0\xBE\xD0\xBC",
                                         "AT&amp;T",
                                         "na\xC3\xAFve",
                                         "long-distance call"};
    static const char* const kTypes[] = {"noun", "verb", "adjective", "noun, feminine", "phrase"};
    std::string reply = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<dictionary status=\"ok\">\n";
    for (size_t i = 0; reply.size() < bytes; ++i) {
        const std::string n = std::to_string(i);
        reply += " <result>\n  <word name=\"";
        reply += kStems[i % 10];
        reply += n + "\"/>\n  <translations>\n";
        for (size_t k = 0; k <= i % 5; ++k) {
            reply += "   <item name=\"";
            reply += kStems[(i + k + 3) % 10];
            reply += " " + std::to_string(k) + "\" type=\"";
            reply += kTypes[(i + k) % 5];
            reply += "\"/>\n";
        }
        reply += "  </translations>\n </result>\n";
    }
    reply += "</dictionary>\n";
    return reply;
}

// Places the reply in the receive buffer as a download leaves it.
inline void Place(SearchContext& context, const std::string& reply) {
    while (context.buffer.size() < reply.size() + 1)
        context.buffer.Grow();
    std::memcpy(context.buffer.data(), reply.data(), reply.size());
    context.buffer.data()[reply.size()] = 0;
}

} // namespace bench_reader
