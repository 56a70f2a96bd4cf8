// Arbitrary bytes as a reply. Each input is laid out as the receive buffer
// holds a reply (the bytes, a zero byte, then the buffer's zero slack) in an
// allocation of exactly that size, so any read beyond the slack is caught.
//
// Besides running the reader, every input holds the reader's tree against
// TinyXML's own (tests/reader/TreeOracle.h): the same verdict, the same end
// position, node for node the same kinds and values, the same attributes
// before cutting, and each cut value what the cutting rule keeps of the value
// as written.

#include "basiccpp/Log.h"
#include "online/ReceiveBuffer.h"
#include "plugin/ReplyReader.h"
#include "plugin/SearchContext.h"
#include "tests/reader/TreeOracle.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

class QuietLog : public CAbstractLog {
public:
    void LEXIGROVE_MEMBER_CDECL Reserved1() override {}
    void LEXIGROVE_MEMBER_CDECL Reserved2() override {}
    void LEXIGROVE_MEMBER_CDECL Reserved3() override {}
    void LEXIGROVE_MEMBER_CDECL Reserved4() override {}
    void LEXIGROVE_MEMBER_CDECL Reserved5() override {}
    void LEXIGROVE_MEMBER_CDECL Reserved6() override {}
    void LEXIGROVE_MEMBER_CDECL Reserved7() override {}
    void LEXIGROVE_MEMBER_CDECL Reserved8() override {}
    void LEXIGROVE_MEMBER_CDECL Reserved9() override {}
    void LEXIGROVE_MEMBER_CDECL AssertReport(const char16_t*, const char16_t*, int32_t) override {}
    void LEXIGROVE_MEMBER_CDECL FormattedEntry(const char16_t*, int32_t, int32_t, const char16_t*,
                                               ...) override {}
};

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "%s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QuietLog log;
    basiccpp::SetLog(&log);

    const size_t total = size + 1 + online::ReceiveBuffer::kSlack;
    std::unique_ptr<char[]> buffer(new char[total]);
    std::memcpy(buffer.get(), data, size);
    std::memset(buffer.get() + size, 0, total - size);
    const char* text = buffer.get();

    // Deeper than any input of the fuzzing's length can nest.
    bool parsed = false;
    const std::string difference = oracle::Compare(text, size + 1, &parsed);
    if (!difference.empty()) {
        std::fprintf(stderr, "the reader's tree differs from TinyXML's: %s\n", difference.c_str());
        std::abort();
    }

    // The walk over what was read. A text that does not parse is refused
    // before any walk: the comparison has shown the reader refuses it too.
    if (!parsed)
        return 0;
    std::vector<SearchResult> results;
    const int status = ReadReplyText(text, results);
    Check(status == 0 || status == -1, "status");
    return 0;
}
