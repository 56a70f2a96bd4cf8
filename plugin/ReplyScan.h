// A second pass over a reply that takes exactly the steps TinyXML's
// TiXmlDocument::Parse takes (UTF-8 forced, condensed white space, the
// Debian-patched 2.6.2 parser) without building a tree. It keeps what the
// document drops: which quote delimited each attribute value and how much raw
// white space stands at its ends, so the reader can trim a double-quoted value
// without ever trimming a character that came from a reference.
//
// The pass reports the nodes TinyXML links, in document order, to a sink:
//   OpenElement(name, length), Attribute(name, length, spelling),
//   CloseElement(), Leaf(kind, decoded)
// and reaches the same verdict and end position as Parse. It reads exactly
// the bytes Parse reads, which includes up to three bytes past a zero byte
// when a multibyte lead byte stands right before it; the buffer must keep
// zero bytes there (the receive buffer keeps ReceiveBuffer::kSlack).
//
// Unlike Parse it does not recurse: nesting deeper than the given limit stops
// the pass (kTooDeep) before Parse would exhaust the stack.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace reply {

// TinyXML's character tests and steps, as its parser applies them.
namespace tx {

extern const uint8_t kUtf8Step[256];

// StringEqual: tag is a prefix of p (p not at a zero byte).
bool Equal(const char* p, const char* tag);
bool EqualNoCase(const char* p, const char* tag);
// GetChar: one character of a value or text. out receives the bytes TinyXML
// appends (*length of them, 0 to 4); null for a malformed numeric reference.
const char* GetChar(const char* p, char out[4], int* length);

// The parser's byte classes, taken from the C library's classification in
// force when Load is called (the parser asks it byte by byte).
class CharClasses {
public:
    enum : uint8_t {
        kWhite = 1,        // IsWhiteSpace
        kNameStart = 2,    // a name's first byte
        kNameChar = 4,     // a name's other bytes
        kTextPlain = 8,    // text byte stored as itself: one step, not '&', '<' or white
        kDoublePlain = 16, // the same inside "": not '&' or '"'
        kSinglePlain = 32, // the same inside '': not '&' or '\''
    };

    void Load();
    bool Is(char c, uint8_t mask) const {
        return (bits_[static_cast<unsigned char>(c)] & mask) != 0;
    }
    bool IsWhite(char c) const { return Is(c, kWhite); }

    // SkipWhiteSpace: white space and the three zero-width EF sequences; null
    // for a null pointer or one at a zero byte.
    const char* SkipWhite(const char* p) const {
        if (!p || !*p)
            return nullptr;
        if (!efIsWhite_) {
            // The usual case: 0xEF is not white space, so the byte tests can
            // come first.
            for (;;) {
                while (IsWhite(*p))
                    ++p;
                const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
                if (u[0] == 0xEF &&
                    ((u[1] == 0xBB && u[2] == 0xBF) || (u[1] == 0xBF && u[2] == 0xBE) ||
                     (u[1] == 0xBF && u[2] == 0xBF)))
                    p += 3;
                else
                    return p;
            }
        }
        for (;;) {
            const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
            if (u[0] == 0xEF && ((u[1] == 0xBB && u[2] == 0xBF) || (u[1] == 0xBF && u[2] == 0xBE) ||
                                 (u[1] == 0xBF && u[2] == 0xBF))) {
                p += 3;
            } else if (IsWhite(*p)) {
                ++p;
            } else {
                return p;
            }
        }
    }
    // The same for a caller that fails alike on a null result and on a zero
    // byte: no call when nothing is to be skipped (p must not be null).
    const char* Skip(const char* p) const {
        if (!IsWhite(*p) && static_cast<unsigned char>(*p) != 0xEF)
            return p;
        return SkipWhite(p);
    }
    // ReadName: the end of the name at p, null when no name starts there.
    const char* ReadName(const char* p) const {
        if (!p || !Is(*p, kNameStart))
            return nullptr;
        ++p;
        while (Is(*p, kNameChar))
            ++p;
        return p;
    }

private:
    uint8_t bits_[256] = {};
    bool efIsWhite_ = false;
};

} // namespace tx

// White space a double-quoted value loses at its ends.
inline bool IsTrimWhite(unsigned char byte) {
    return byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
}

enum class LeafKind : uint8_t { kText, kCData, kComment, kUnknown, kDeclaration };

// The bytes TinyXML stores as a node's value or an attribute's value, seen
// as they are produced.
struct Decoded {
    size_t length = 0;           // bytes in the stored value (zero bytes included)
    bool blank = true;           // every byte white space by TinyXML's test
    bool ended = false;          // a zero byte ends the value as Value() returns it
    int8_t matched = 0;          // bytes of "result" matched so far; -1: cannot match
    std::string* text = nullptr; // the bytes themselves, when a sink wants them
    const tx::CharClasses* classes = nullptr;

    void Reset() {
        length = 0;
        blank = true;
        ended = false;
        matched = 0;
        if (text)
            text->clear();
    }
    void Put(char c) {
        ++length;
        if (blank && !classes->IsWhite(c))
            blank = false;
        if (!ended) {
            if (c == '\0')
                ended = true;
            else if (matched >= 0)
                matched =
                    (matched < 6 && c == "result"[matched]) ? int8_t(matched + 1) : int8_t(-1);
        }
        if (text)
            text->push_back(c);
    }
    void Put(const char* bytes, int count) {
        for (int i = 0; i < count; ++i)
            Put(bytes[i]);
    }
    // A run of bytes that are neither zero nor white space.
    void PutRun(const char* bytes, size_t count) {
        length += count;
        blank = false;
        for (size_t i = 0; i < count && !ended && matched >= 0; ++i)
            matched =
                (matched < 6 && bytes[i] == "result"[matched]) ? int8_t(matched + 1) : int8_t(-1);
        if (text)
            text->append(bytes, count);
    }
    // Value() compares equal to "result".
    bool IsResult() const { return matched == 6; }
};

// How an attribute value was written.
struct Spelling {
    char quote = 0;    // '"', '\'' or 0 when unquoted
    size_t length = 0; // bytes of the stored value
    // For a double-quoted value: the stored bytes that remain once the raw
    // white space at both ends is gone, [keepBegin, keepEnd). Otherwise the
    // whole value.
    size_t keepBegin = 0;
    size_t keepEnd = 0;
};

enum class Outcome { kParsed, kFailed, kTooDeep };

// A quick look at a reply, far lighter than the full pass: true only when
// the text is a plain document (an optional "<?xml" declaration, then one
// element tree of start tags, end tags and white space, nothing after it but
// white space) that nests no deeper than maxDepth and in which no quoted
// attribute value begins or ends with white space or begins with a
// byte-order mark. Such a text is tokenised alike by this look and by the
// parser, and none of its values loses anything to trimming, so the parser
// can read it without the full pass. False says nothing: the full pass
// decides. Reads what the full pass reads, nothing beyond. On true,
// *fourthLevel is the number of elements four levels deep (where a reply's
// translations stand).
bool IsPlain(const char* text, size_t maxDepth, size_t* fourthLevel);

template <class Sink> class Scanner {
public:
    Scanner(Sink& sink, size_t maxDepth) : sink_(sink), maxDepth_(maxDepth) {
        if (Sink::kKeepsText)
            decoded_.text = &text_;
        decoded_.classes = &classes_;
    }

    // Scans the zero-terminated text. On kParsed, *end is the position Parse
    // returns; otherwise null.
    Outcome Scan(const char* p, const char** end);

    const Decoded& Value() const { return decoded_; }

private:
    enum class Kind { kNone, kElement, kCData, kComment, kUnknown, kDeclaration };
    struct Open {
        const char* name;
        size_t length;
    };
    struct Name {
        const char* name;
        size_t length;
    };

    Kind Identify(const char* p) const;
    const char* ParseElementTree(const char* p);
    const char* StartElement(const char* p, bool* open);
    const char* ParseAttribute(const char* p, bool inElement);
    const char* ParseText(const char* p);
    const char* ParseLeaf(Kind kind, const char* p);
    const char* ParseDeclaration(const char* p);
    static bool EqualEndTag(const char* p, const Open& open);

    Sink& sink_;
    size_t maxDepth_;
    bool tooDeep_ = false;
    std::vector<Open> open_; // elements whose content is being read
    // Names in the current start tag: the first few in place, the rest after.
    static const size_t kNamesInPlace = 8;
    Name firstNames_[kNamesInPlace];
    size_t nameCount_ = 0;
    std::vector<Name> moreNames_;
    Decoded decoded_;
    std::string text_;
    tx::CharClasses classes_;
};

template <class Sink> Outcome Scanner<Sink>::Scan(const char* p, const char** end) {
    *end = nullptr;
    tooDeep_ = false;
    open_.clear();
    classes_.Load();
    if (!p || !*p)
        return Outcome::kFailed;
    p = classes_.SkipWhite(p);
    if (!p)
        return Outcome::kFailed;
    bool any = false;
    while (p && *p) {
        const Kind kind = Identify(p);
        if (kind == Kind::kNone)
            break; // text at the top level ends the document
        any = true;
        p = kind == Kind::kElement ? ParseElementTree(p) : ParseLeaf(kind, p);
        if (tooDeep_)
            return Outcome::kTooDeep;
        p = classes_.SkipWhite(p);
    }
    if (!any || !p)
        return Outcome::kFailed;
    *end = p;
    return Outcome::kParsed;
}

template <class Sink> typename Scanner<Sink>::Kind Scanner<Sink>::Identify(const char* p) const {
    p = classes_.SkipWhite(p);
    if (!p || !*p || *p != '<')
        return Kind::kNone;
    // Only '?' lowers to '?', so the four tests below need p[1] to be '?'
    // or '!'; everything else is told apart by p[1] alone.
    if (p[1] != '?' && p[1] != '!')
        return classes_.Is(p[1], tx::CharClasses::kNameStart) ? Kind::kElement : Kind::kUnknown;
    if (tx::EqualNoCase(p, "<?xml"))
        return Kind::kDeclaration;
    if (tx::Equal(p, "<!--"))
        return Kind::kComment;
    if (tx::Equal(p, "<![CDATA["))
        return Kind::kCData;
    if (tx::Equal(p, "<!"))
        return Kind::kUnknown;
    if (classes_.Is(p[1], tx::CharClasses::kNameStart))
        return Kind::kElement;
    return Kind::kUnknown;
}

// An element and everything inside it, with an explicit stack where the
// parser recurses.
template <class Sink> const char* Scanner<Sink>::ParseElementTree(const char* p) {
    bool open = false;
    p = StartElement(p, &open);
    if (!p || !open)
        return p;
    while (!open_.empty()) {
        p = classes_.Skip(p);
        if (!p || !*p)
            return nullptr;
        if (*p != '<') {
            p = ParseText(p);
            if (!p)
                return nullptr;
            continue;
        }
        if (p[1] == '/') { // "</"
            const Open& current = open_.back();
            if (!EqualEndTag(p, current))
                return nullptr;
            p = classes_.Skip(p + 2 + current.length);
            if (!p || *p != '>')
                return nullptr;
            ++p;
            open_.pop_back();
            sink_.CloseElement();
            continue;
        }
        const Kind kind = Identify(p);
        if (kind == Kind::kElement) {
            p = StartElement(p, &open);
        } else {
            // A comment or unknown tag may stop at the zero byte; the
            // white-space skip at the top of the loop then fails.
            p = ParseLeaf(kind, p);
        }
        if (!p)
            return nullptr;
    }
    return p;
}

// The start tag; *open tells whether content and an end tag follow.
template <class Sink> const char* Scanner<Sink>::StartElement(const char* p, bool* open) {
    *open = false;
    if (open_.size() >= maxDepth_) {
        tooDeep_ = true;
        return nullptr;
    }
    if (*p != '<')
        return nullptr;
    p = classes_.Skip(p + 1);
    const char* name = p;
    p = classes_.ReadName(p);
    if (!p || !*p)
        return nullptr;
    const size_t nameLength = static_cast<size_t>(p - name);
    sink_.OpenElement(name, nameLength);
    nameCount_ = 0;
    moreNames_.clear();
    for (;;) {
        p = classes_.Skip(p);
        if (!*p)
            return nullptr;
        if (*p == '/') {
            ++p;
            if (*p != '>')
                return nullptr;
            sink_.CloseElement();
            return p + 1;
        }
        if (*p == '>') {
            open_.push_back({name, nameLength});
            *open = true;
            return p + 1;
        }
        p = ParseAttribute(p, true);
        if (!p || !*p)
            return nullptr;
    }
}

// p is past white space and not at a zero byte.
template <class Sink> const char* Scanner<Sink>::ParseAttribute(const char* p, bool inElement) {
    const char* name = p;
    p = classes_.ReadName(p);
    if (!p || !*p)
        return nullptr;
    const size_t nameLength = static_cast<size_t>(p - name);
    p = classes_.Skip(p);
    if (*p != '=')
        return nullptr;
    ++p;
    p = classes_.Skip(p);
    if (!*p)
        return nullptr;

    // Only the length of the stored value is needed (and its bytes, when the
    // sink keeps them).
    std::string* const text = decoded_.text;
    if constexpr (Sink::kKeepsText)
        text->clear();
    size_t length = 0;
    Spelling spelling;
    if (*p == '\'' || *p == '"') {
        const char quote = *p;
        const char* const start = ++p;
        // Leading raw white space of a double-quoted value: one-byte steps of
        // white space and three-byte steps of a byte-order mark, which the
        // stored value begins with unchanged.
        size_t lead = 0;
        if (quote == '"') {
            for (;;) {
                const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
                if (IsTrimWhite(u[0]))
                    lead += 1;
                else if (u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF)
                    lead += 3;
                else
                    break;
                p = start + lead;
            }
            length = lead;
            if constexpr (Sink::kKeepsText)
                text->append(start, lead);
        }
        const uint8_t plain =
            quote == '"' ? tx::CharClasses::kDoublePlain : tx::CharClasses::kSinglePlain;
        for (;;) {
            // Bytes stored as themselves: one-step bytes, and multibyte steps,
            // which copy their bytes (zeros from a zero byte on) and move on
            // by the whole step even past a zero byte.
            const char* const run = p;
            const char* copied = p;
            for (;;) {
                if (classes_.Is(*p, plain)) {
                    ++p;
                    continue;
                }
                const int step = tx::kUtf8Step[static_cast<unsigned char>(*p)];
                if (step == 1)
                    break;
                if constexpr (Sink::kKeepsText) {
                    text->append(copied, static_cast<size_t>(p - copied));
                    int i = 0;
                    for (; i < step && p[i]; ++i)
                        text->push_back(p[i]);
                    text->append(static_cast<size_t>(step - i), '\0');
                    copied = p + step;
                }
                p += step;
            }
            length += static_cast<size_t>(p - run);
            if constexpr (Sink::kKeepsText)
                text->append(copied, static_cast<size_t>(p - copied));
            if (!*p || *p == quote)
                break;
            // A reference.
            char out[4] = {0, 0, 0, 0};
            int count = 0;
            p = tx::GetChar(p, out, &count);
            length += static_cast<size_t>(count);
            if constexpr (Sink::kKeepsText)
                text->append(out, static_cast<size_t>(count));
            if (!p)
                return nullptr;
        }
        if (!*p)
            return nullptr;
        const char* const close = p;
        ++p;
        if (!*p)
            return nullptr;
        spelling.quote = quote;
        spelling.length = length;
        spelling.keepEnd = length;
        if (quote == '"') {
            // Trailing raw white space: bytes that are copied into the stored
            // value as they stand (a reference always ends in ';').
            size_t trail = 0;
            for (const char* q = close; q > start && IsTrimWhite(static_cast<unsigned char>(q[-1]));
                 --q)
                ++trail;
            spelling.keepBegin = lead;
            spelling.keepEnd = length - (trail < length ? trail : length);
            if (spelling.keepEnd < spelling.keepBegin)
                spelling.keepEnd = spelling.keepBegin;
        }
    } else {
        // Unquoted: raw bytes up to white space or the end of the tag.
        const char* const start = p;
        while (*p && !classes_.IsWhite(*p) && *p != '/' && *p != '>') {
            if (*p == '\'' || *p == '"')
                return nullptr;
            ++p;
        }
        length = static_cast<size_t>(p - start);
        if constexpr (Sink::kKeepsText)
            text->append(start, length);
        spelling.length = length;
        spelling.keepEnd = length;
    }
    if (inElement && p && *p) {
        // Two attributes of one name fail the element.
        const auto same = [&](const Name& seen) {
            return seen.length == nameLength &&
                   std::char_traits<char>::compare(seen.name, name, nameLength) == 0;
        };
        for (size_t i = 0; i < nameCount_; ++i) {
            if (same(firstNames_[i]))
                return nullptr;
        }
        for (const Name& seen : moreNames_) {
            if (same(seen))
                return nullptr;
        }
        if (nameCount_ < kNamesInPlace)
            firstNames_[nameCount_++] = {name, nameLength};
        else
            moreNames_.push_back({name, nameLength});
        sink_.Attribute(name, nameLength, spelling);
    }
    return p;
}

// Text inside an element: leading white space skipped, runs of white space
// before a character become one space, text of only white space dropped.
template <class Sink> const char* Scanner<Sink>::ParseText(const char* p) {
    decoded_.Reset();
    p = classes_.SkipWhite(p);
    bool white = false;
    while (p && *p && *p != '<') {
        if (classes_.Is(*p, tx::CharClasses::kTextPlain)) {
            const char* run = p;
            do
                ++p;
            while (classes_.Is(*p, tx::CharClasses::kTextPlain));
            if (white) {
                decoded_.Put(' ');
                white = false;
            }
            decoded_.PutRun(run, static_cast<size_t>(p - run));
        } else if (classes_.IsWhite(*p)) {
            white = true;
            ++p;
        } else {
            if (white) {
                decoded_.Put(' ');
                white = false;
            }
            char out[4] = {0, 0, 0, 0};
            int count = 0;
            p = tx::GetChar(p, out, &count);
            decoded_.Put(out, count);
        }
    }
    if (p && *p)
        ++p; // the '<'
    if (!p || !*p)
        return nullptr;
    if (!decoded_.blank)
        sink_.Leaf(LeafKind::kText, decoded_);
    return p - 1;
}

template <class Sink> const char* Scanner<Sink>::ParseLeaf(Kind kind, const char* p) {
    decoded_.Reset();
    switch (kind) {
    case Kind::kDeclaration:
        return ParseDeclaration(p);
    case Kind::kComment:
        p += 4;
        while (p && *p && !tx::Equal(p, "-->")) {
            decoded_.Put(*p);
            ++p;
        }
        if (p && *p)
            p += 3;
        sink_.Leaf(LeafKind::kComment, decoded_);
        return p;
    case Kind::kCData:
        p += 9;
        while (p && *p && !tx::Equal(p, "]]>")) {
            decoded_.Put(*p);
            ++p;
        }
        if (!*p)
            return nullptr;
        p += 3;
        if (!*p)
            return nullptr;
        sink_.Leaf(LeafKind::kCData, decoded_);
        return p;
    case Kind::kUnknown:
        ++p;
        while (p && *p && *p != '>') {
            decoded_.Put(*p);
            ++p;
        }
        sink_.Leaf(LeafKind::kUnknown, decoded_);
        return *p == '>' ? p + 1 : p;
    default:
        return nullptr;
    }
}

template <class Sink> const char* Scanner<Sink>::ParseDeclaration(const char* p) {
    p += 5; // "<?xml"
    while (p && *p) {
        if (*p == '>') {
            decoded_.Reset();
            sink_.Leaf(LeafKind::kDeclaration, decoded_);
            return p + 1;
        }
        p = classes_.SkipWhite(p);
        if (!p || !*p)
            break;
        if (tx::EqualNoCase(p, "version") || tx::EqualNoCase(p, "encoding") ||
            tx::EqualNoCase(p, "standalone")) {
            p = ParseAttribute(p, false);
        } else {
            while (p && *p && *p != '>' && !classes_.IsWhite(*p))
                ++p;
        }
    }
    return nullptr;
}

template <class Sink> bool Scanner<Sink>::EqualEndTag(const char* p, const Open& open) {
    // Byte by byte: the text may end (a zero byte) before the name does.
    if (p[0] != '<' || p[1] != '/')
        return false;
    for (size_t i = 0; i < open.length; ++i) {
        if (p[2 + i] != open.name[i])
            return false;
    }
    return true;
}

} // namespace reply
