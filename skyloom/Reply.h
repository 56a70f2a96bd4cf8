// The rules a reply must meet before its body is handed on, written once for
// both transports: each feeds in what its client library lets it see of the
// reply's head, and both get the same verdict. Where RFC 9110 or RFC 9112
// says what a client does, the rule follows it and names the section.
#pragma once

#include "skyloom/Status.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace skyloom {

// The most header bytes (status line and fields) one reply may have.
constexpr size_t kMaxHeaderBytes = 64 * 1024;

// The detail of a refused status, "414 URI Too Long": the code and the
// reason phrase as received, trimmed, with anything but printable ASCII and
// blanks dropped and at most 100 characters kept.
std::string RefusedDetail(long code, std::string_view phrase);

// Interim replies (RFC 9110 15.2) come before the final one and are passed
// over: every 1xx but 101, which switches protocols and is never asked for.
bool IsInterim(int code);

// Whether a reply with this status has a body at all (RFC 9110 6.4.1: 1xx,
// 204 and 304 never do, whatever their fields say).
bool CarriesBody(int code);

// One reply's head, line by line: its status line, its fields, its end.
class ReplyHead {
public:
    // A new reply: resets everything. The status line (RFC 9112 4) is
    // "HTTP/1.x", a blank, a three-digit code of 100..599 (RFC 9110 15), and
    // optionally a blank and the reason phrase; a trailing CR is ignored.
    // kMalformedStatusLine otherwise.
    Failure Start(std::string_view statusLine);
    // One field line without its line end. A line that begins with a blank
    // continues the field before it (obs-fold, RFC 9112 5.2). Refused
    // (kMalformedField): a name that is not a token or is followed by a
    // blank before its colon (RFC 9110 5.1, RFC 9112 5.1), and a value with
    // NUL, CR or LF in it (RFC 9110 5.5). kHeaderTooLarge past
    // kMaxHeaderBytes.
    Failure AddField(std::string_view line);
    // The blank line that ends the head: the fields as a whole.
    // - Content-Length (RFC 9110 8.6, RFC 9112 6.3): every value, and every
    //   element of a comma-separated value, one decimal number, all equal;
    //   kMalformedLength otherwise. Ignored under Transfer-Encoding.
    // - Transfer-Encoding (RFC 9112 6.1): only "chunked", which we accept
    //   without asking; any other coding is kTransferCoding.
    // - Content-Encoding (RFC 9110 8.4): we ask for none, so any coding but
    //   "identity" is kCompressed.
    // - A final reply with a body announced past kMaxReplyBytes is
    //   kTooLarge, before any of it is received.
    Failure Finish();

    // The text a failure's log entry holds with it (the codings), if any.
    const std::string& Detail() const { return detail_; }

    int Code() const { return code_; }
    const std::string& Phrase() const { return phrase_; }
    size_t FieldCount() const { return fields_.size(); }
    // After Finish: the body's framing.
    bool Chunked() const { return chunked_; }
    bool HasLength() const { return hasLength_; }
    uint64_t Length() const { return length_; }
    // The Location fields: how many, and the first one's value.
    size_t Locations() const { return locations_; }
    const std::string& Location() const { return location_; }

private:
    Failure Fail(Failure failure, std::string detail = {});

    int code_ = 0;
    std::string phrase_;
    std::vector<std::pair<std::string, std::string>> fields_; // name, value
    size_t bytes_ = 0;
    std::string detail_;
    bool chunked_ = false;
    bool hasLength_ = false;
    uint64_t length_ = 0;
    size_t locations_ = 0;
    std::string location_;
};

// A head whose status line came with no field at all: one client library
// (WinINet) makes that of a reply that had no status line, or of a
// connection that ended right after it, so both builds refuse it. With a
// body it is kNotHttp; without one, kClosedAfterStatusLine.
Failure HeadWithoutFields(bool bodyFollows);

// The start of a body that cannot be UTF-8 text (XML 1.0, Appendix F): a
// UTF-16 or UTF-32 byte-order mark, or "<?" in UTF-16. first: the body's
// first bytes, at least 4 unless the body is shorter. kNotUtf8 with detail
// set, or kNone.
Failure CheckBodyStart(std::string_view first, std::string& detail);

// A chunked body (RFC 9112 7.1) decoded as it arrives, for a transport that
// has to take the chunks apart itself. Chunk extensions and trailer fields
// are passed over.
class ChunkedBody {
public:
    // Takes in the bytes of data and appends the body bytes among them to
    // body; stops after the last chunk's trailer (consumed says how far).
    // kTransferFailed on a chunk size that is not hexadecimal or does not
    // fit in 64 bits, or a chunk without its CRLF.
    Failure Feed(std::string_view data, std::string& body, size_t& consumed);
    // The last chunk and its trailer have arrived.
    bool Done() const { return state_ == State::kDone; }

private:
    enum class State { kSize, kExtension, kSizeEnd, kData, kDataEnd, kDataLf, kTrailer, kDone };
    State state_ = State::kSize;
    uint64_t left_ = 0;        // of the chunk being read, or its size so far
    size_t digits_ = 0;        // of the chunk size
    bool lineHasText_ = false; // in a trailer line
};

} // namespace skyloom
