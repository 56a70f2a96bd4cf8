// The reply rules both transports share, on their own: what a head must be,
// how its body is framed, what a body may not start with, and the one text
// each failure is logged with.

#include "skyloom/Reply.h"
#include "skyloom/Status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace skyloom;

// A head of a status line and fields, finished; the first failure.
Failure ReadHead(ReplyHead& head, const std::string& status,
                 const std::vector<std::string>& fields) {
    Failure failure = head.Start(status);
    for (size_t i = 0; failure == Failure::kNone && i < fields.size(); ++i) {
        failure = head.AddField(fields[i]);
    }
    return failure == Failure::kNone ? head.Finish() : failure;
}

TEST(SkyloomReplyHead, StatusLineMustBeHttp1WithAThreeDigitCode) {
    ReplyHead head;
    struct Good {
        const char* line;
        int code;
        const char* phrase;
    };
    for (const Good& g :
         {Good{"HTTP/1.1 200 OK", 200, "OK"}, Good{"HTTP/1.0 404 Not Found\r", 404, "Not Found"},
          Good{"HTTP/1.1 200", 200, ""}, Good{"HTTP/1.1 599 ", 599, ""},
          Good{"HTTP/1.1 103 Early Hints", 103, "Early Hints"}}) {
        ASSERT_EQ(head.Start(g.line), Failure::kNone) << g.line;
        EXPECT_EQ(head.Code(), g.code) << g.line;
        EXPECT_EQ(head.Phrase(), g.phrase) << g.line;
    }
    for (const char* bad :
         {"HTTP/1.1 abc OK", "HTTP/1.1 2000 OK", "HTTP/1.1 20 OK", "HTTP/1.1 099 Low",
          "HTTP/1.1 600 High", "HTTP/1.1 200abc OK", "HTTP/1.1  200 OK", "HTTP/2 200",
          "HTTP/2.0 200 OK", "HTTPS/1.1 200 OK", "http/1.1 200 OK", "HTTP/1.x 200 OK", ""}) {
        EXPECT_EQ(head.Start(bad), Failure::kMalformedStatusLine) << bad;
    }
}

TEST(SkyloomReplyHead, FieldNamesMustBeTokensAndValuesFreeOfNulAndLineBreaks) {
    ReplyHead head;
    for (const std::string& good : {std::string("Content-Type: text/xml"),
                                    std::string("X-A!#$%&'*+.^_`|~9:  v  "), std::string("Empty:"),
                                    std::string("X-Ctl: a\x01"
                                                "b"),
                                    std::string("Latin: caf\xc3\xa9")}) {
        ASSERT_EQ(head.Start("HTTP/1.1 200 OK"), Failure::kNone);
        EXPECT_EQ(head.AddField(good), Failure::kNone) << good;
    }
    for (const std::string& bad :
         {std::string("X Note: a"), std::string("X-Note : a"), std::string(": a"),
          std::string("NoColon"), std::string("X-Note: a\0b", 11), std::string("X-Note: a\rb"),
          std::string("X(Note): a"), std::string("X\"Note\": a")}) {
        ASSERT_EQ(head.Start("HTTP/1.1 200 OK"), Failure::kNone);
        EXPECT_EQ(head.AddField(bad), Failure::kMalformedField) << bad;
    }
    // obs-fold continues the field before it (RFC 9112 5.2); there must be one.
    ASSERT_EQ(head.Start("HTTP/1.1 200 OK"), Failure::kNone);
    EXPECT_EQ(head.AddField(" folded"), Failure::kMalformedField);
    ASSERT_EQ(ReadHead(head, "HTTP/1.1 200 OK", {"X-Long: a", "\t b", "  c"}), Failure::kNone);
    EXPECT_EQ(head.FieldCount(), 1u);
    // Folded, "1 7 3" is not one number; a value that starts on the next line is.
    EXPECT_EQ(ReadHead(head, "HTTP/1.1 200 OK", {"Content-Length: 1", "\t 7", "  3"}),
              Failure::kMalformedLength);
    ASSERT_EQ(ReadHead(head, "HTTP/1.1 200 OK", {"Content-Length:", " 173"}), Failure::kNone);
    EXPECT_EQ(head.Length(), 173u);
}

TEST(SkyloomReplyHead, HeadIsBoundedAsAWhole) {
    ReplyHead head;
    ASSERT_EQ(head.Start("HTTP/1.1 200 OK"), Failure::kNone);
    const std::string line = "X-Filler: " + std::string(1000, 'b');
    Failure failure = Failure::kNone;
    size_t fields = 0;
    while (failure == Failure::kNone && fields < 1000) {
        failure = head.AddField(line);
        ++fields;
    }
    EXPECT_EQ(failure, Failure::kHeaderTooLarge);
    EXPECT_EQ(fields, kMaxHeaderBytes / (line.size() + 2) + 1);
}

TEST(SkyloomReplyHead, ContentLengthIsOneDecimalNumberAndEqualDuplicatesStandForIt) {
    struct Case {
        std::vector<std::string> fields;
        Failure failure;
        uint64_t length;
    };
    const std::vector<Case> cases = {
        {{"Content-Length: 173"}, Failure::kNone, 173},
        {{"Content-Length: 173, 173"}, Failure::kNone, 173},
        {{"Content-Length: 173", "content-length: 173"}, Failure::kNone, 173},
        {{"Content-Length: 173,,173,"}, Failure::kNone, 173},
        {{"Content-Length: 0"}, Failure::kNone, 0},
        {{"Content-Length: 000173"}, Failure::kNone, 173},
        {{"Content-Length: 173, 213"}, Failure::kMalformedLength, 0},
        {{"Content-Length: 173", "Content-Length: 178"}, Failure::kMalformedLength, 0},
        {{"Content-Length: +173"}, Failure::kMalformedLength, 0},
        {{"Content-Length: -1"}, Failure::kMalformedLength, 0},
        {{"Content-Length: 1 73"}, Failure::kMalformedLength, 0},
        {{"Content-Length: 0x10"}, Failure::kMalformedLength, 0},
        {{"Content-Length:"}, Failure::kMalformedLength, 0},
        {{"Content-Length: 1234567890123456789"}, Failure::kMalformedLength, 0},
        // Announced past the bound: refused before any of it is received.
        {{"Content-Length: " + std::to_string(kMaxReplyBytes)}, Failure::kNone, kMaxReplyBytes},
        {{"Content-Length: " + std::to_string(kMaxReplyBytes + 1)}, Failure::kTooLarge, 0},
        {{"Content-Length: 400000000"}, Failure::kTooLarge, 0},
        // Transfer-Encoding overrides it (RFC 9112 6.3).
        {{"Content-Length: nonsense", "Transfer-Encoding: chunked"}, Failure::kNone, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields.front());
        ReplyHead head;
        EXPECT_EQ(ReadHead(head, "HTTP/1.1 200 OK", c.fields), c.failure);
        if (c.failure == Failure::kNone && !head.Chunked()) {
            EXPECT_TRUE(head.HasLength());
            EXPECT_EQ(head.Length(), c.length);
        }
    }
    ReplyHead head;
    ASSERT_EQ(ReadHead(head, "HTTP/1.1 200 OK", {"Content-Type: text/xml"}), Failure::kNone);
    EXPECT_FALSE(head.HasLength());
}

TEST(SkyloomReplyHead, OnlyChunkedAndNoContentCodingAreTaken) {
    struct Case {
        const char* field;
        Failure failure;
        const char* detail;
    };
    for (const Case& c :
         {Case{"Transfer-Encoding: chunked", Failure::kNone, ""},
          Case{"Transfer-Encoding: Chunked ", Failure::kNone, ""},
          Case{"Transfer-Encoding: gzip, chunked", Failure::kTransferCoding, "gzip"},
          Case{"Transfer-Encoding: chunked, chunked", Failure::kTransferCoding, "chunked, chunked"},
          Case{"Transfer-Encoding: identity", Failure::kTransferCoding, "identity"},
          Case{"Content-Encoding: gzip", Failure::kCompressed, "gzip"},
          Case{"Content-Encoding: identity", Failure::kNone, ""},
          Case{"Content-Encoding: identity, BR", Failure::kCompressed, "br"}}) {
        ReplyHead head;
        EXPECT_EQ(ReadHead(head, "HTTP/1.1 200 OK", {c.field}), c.failure) << c.field;
        EXPECT_EQ(head.Detail(), c.detail) << c.field;
    }
    ReplyHead head;
    ASSERT_EQ(ReadHead(head, "HTTP/1.1 200 OK",
                       {"Transfer-Encoding: gzip", "Transfer-Encoding: chunked"}),
              Failure::kTransferCoding);
    EXPECT_EQ(head.Detail(), "gzip");
}

TEST(SkyloomReplyHead, BodyRulesApplyOnlyToASuccessfulReplyWithABody) {
    // The status is what a refused or bodyless reply is known by.
    for (const char* status :
         {"HTTP/1.1 500 Server Error", "HTTP/1.1 302 Found", "HTTP/1.1 204 No Content",
          "HTTP/1.1 304 Not Modified", "HTTP/1.1 103 Early Hints"}) {
        ReplyHead head;
        EXPECT_EQ(ReadHead(head, status,
                           {"Content-Length: -1", "Content-Encoding: gzip",
                            "Transfer-Encoding: gzip", "Location: /a", "Location: /b"}),
                  Failure::kNone)
            << status;
        EXPECT_EQ(head.Locations(), 2u);
        EXPECT_EQ(head.Location(), "/a");
    }
    for (int code : {100, 102, 103, 199}) {
        EXPECT_TRUE(IsInterim(code)) << code;
        EXPECT_FALSE(CarriesBody(code)) << code;
    }
    EXPECT_FALSE(IsInterim(101));
    EXPECT_FALSE(IsInterim(200));
    for (int code : {204, 304}) {
        EXPECT_FALSE(CarriesBody(code)) << code;
    }
    for (int code : {200, 203, 206, 404}) {
        EXPECT_TRUE(CarriesBody(code)) << code;
    }
}

TEST(SkyloomReplyBody, StartThatCannotBeUtf8IsRefused) {
    struct Case {
        std::string first;
        const char* detail; // null: accepted
    };
    for (const Case& c : {Case{"\xFF\xFE<\0", "UTF-16 byte-order mark"},
                          Case{"\xFE\xFF\0<", "UTF-16 byte-order mark"},
                          Case{std::string("\xFF\xFE\0\0", 4), "UTF-32 byte-order mark"},
                          Case{std::string("\0\0\xFE\xFF", 4), "UTF-32 byte-order mark"},
                          Case{std::string("<\0?\0", 4), "UTF-16 without a byte-order mark"},
                          Case{std::string("\0<\0?", 4), "UTF-16 without a byte-order mark"},
                          Case{"\xEF\xBB\xBF<", nullptr}, Case{"<?xm", nullptr}, Case{"<", nullptr},
                          Case{"", nullptr}, Case{"\xFF", nullptr}}) {
        std::string detail;
        const Failure failure = CheckBodyStart(c.first, detail);
        if (c.detail == nullptr) {
            EXPECT_EQ(failure, Failure::kNone);
        } else {
            EXPECT_EQ(failure, Failure::kNotUtf8);
            EXPECT_EQ(detail, c.detail);
        }
    }
}

// Decodes text fed in pieces of piece bytes.
Failure Decode(const std::string& text, size_t piece, std::string& body, bool& done) {
    ChunkedBody chunks;
    body.clear();
    for (size_t at = 0; at < text.size() && !chunks.Done(); at += piece) {
        const std::string part = text.substr(at, piece);
        size_t used = 0;
        size_t offset = 0;
        while (offset < part.size() && !chunks.Done()) {
            const Failure failure = chunks.Feed(part.substr(offset), body, used);
            if (failure != Failure::kNone) {
                return failure;
            }
            offset += used;
        }
    }
    done = chunks.Done();
    return Failure::kNone;
}

TEST(SkyloomReplyBody, ChunksAreTakenApartHoweverTheyArrive) {
    const std::string text = "5\r\nHello\r\n7;name=value\r\n, world\r\n1A\r\n" +
                             std::string(26, 'z') + "\r\n0\r\nTrailer: x\r\n\r\nNEXT";
    const std::string expected = "Hello, world" + std::string(26, 'z');
    for (size_t piece : {size_t(1), size_t(2), size_t(3), size_t(7), text.size()}) {
        SCOPED_TRACE(piece);
        std::string body;
        bool done = false;
        ASSERT_EQ(Decode(text, piece, body, done), Failure::kNone);
        EXPECT_TRUE(done);
        EXPECT_EQ(body, expected);
    }
    // Bare LF line ends are read too; nothing after the last chunk is body.
    std::string body;
    bool done = false;
    ASSERT_EQ(Decode("3\nabc\n0\n\n", 1, body, done), Failure::kNone);
    EXPECT_TRUE(done);
    EXPECT_EQ(body, "abc");
    // Cut off: not done, and not a failure of the framing itself.
    ASSERT_EQ(Decode("5\r\nHel", 1, body, done), Failure::kNone);
    EXPECT_FALSE(done);
    for (const std::string& bad :
         {std::string("x\r\n"), std::string("\r\n"), std::string("5\r\nHelloX\r\n"),
          std::string("10000000000000000\r\n"), std::string("5\rX")}) {
        EXPECT_EQ(Decode(bad, 1, body, done), Failure::kTransferFailed) << bad;
    }
}

TEST(SkyloomFailures, EachHasOneTextAndItsStatus) {
    for (int value = static_cast<int>(Failure::kNone) + 1;
         value <= static_cast<int>(Failure::kTooLarge); ++value) {
        const auto failure = static_cast<Failure>(value);
        EXPECT_LT(StatusOf(failure), 0) << value;
        EXPECT_NE(Describe(failure), "failed") << value;
    }
    EXPECT_EQ(Describe(Failure::kTooLarge), "reply larger than 64 MiB");
    EXPECT_EQ(DescribeStatus(kReplyTooLarge), "reply larger than 64 MiB");
    EXPECT_EQ(Describe(Failure::kCompressed, "gzip"),
              "reply is compressed (gzip), which was not asked for");
    EXPECT_EQ(Describe(Failure::kDeadline, "30000"),
              "timed out: the whole request took longer than 30000 ms");
    EXPECT_EQ(Describe(Failure::kDeadline), "timed out");
    // A detail is reduced to printable ASCII and bounded.
    EXPECT_EQ(Describe(Failure::kTransferFailed, "a\x01\xff"
                                                 "b"),
              "transfer failed: ab");
    EXPECT_EQ(Describe(Failure::kTransferFailed, std::string(500, 'x')).size(),
              std::string("transfer failed: ").size() + 120);
    EXPECT_EQ(DescribeStatus(kBadProxy), "unusable http_proxy");
    EXPECT_EQ(DescribeStatus(kTransferFailed), "transfer failed");
    EXPECT_EQ(DescribeStatus(12345), "failed");
}

TEST(SkyloomFailures, RefusedStatusNamesTheCodeAndAPrintableBoundedPhrase) {
    EXPECT_EQ(Describe(Failure::kRefused, RefusedDetail(414, " URI Too Long\r\n")),
              "server refused: 414 URI Too Long");
    EXPECT_EQ(Describe(Failure::kRefused, RefusedDetail(500, "")), "server refused: 500");
    // Control bytes and anything past ASCII are dropped; the phrase is cut.
    EXPECT_EQ(RefusedDetail(403, "No\x01\xff way"), "403 No way");
    EXPECT_EQ(RefusedDetail(400, std::string(500, 'x')).size(), std::string("400 ").size() + 100);
}

} // namespace
