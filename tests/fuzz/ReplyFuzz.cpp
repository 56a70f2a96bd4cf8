// Arbitrary bytes as a reply. Each input is laid out as the receive buffer
// holds a reply (the bytes, a zero byte, then the buffer's zero slack) in an
// allocation of exactly that size, so any read beyond the slack is caught.
//
// Besides running the reader, every input checks the second pass the reader
// trims by against TinyXML itself: the same verdict, the same end position,
// and node for node the same tree, values and attribute values. Each
// attribute's kept bytes are checked against an oracle that reads the raw
// value again with TinyXML's own character steps and applies the trimming
// rule to them: a double-quoted value loses the literal white space at its
// ends (and a byte-order mark among the leading white space); a character
// that comes from a reference is never removed; other values are kept whole.

#include "basiccpp/Log.h"
#include "online/ReceiveBuffer.h"
#include "plugin/ReplyReader.h"
#include "plugin/ReplyScan.h"
#include "plugin/SearchContext.h"

#include <tinyxml.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
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

// Node kinds as TinyXML's Type() gives them, CDATA apart.
enum Kind { kElement, kText, kCData, kComment, kUnknown, kDeclaration };

struct Attr {
    std::string name, value;
    reply::Spelling spelling;
    std::string oracleValue; // the whole value as the oracle reads it
    std::string oracleKept;  // what the trimming rule keeps of it
};
struct Node {
    int kind;
    size_t depth;
    std::string value;
    std::vector<Attr> attributes;
};

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "second pass disagrees with TinyXML: %s\n", what);
        std::abort();
    }
}

// TinyXML's own steps over raw text, which the oracle reads values with.
struct TinyXmlSteps : TiXmlBase {
    using TiXmlBase::GetChar;
    using TiXmlBase::IsWhiteSpace;
    using TiXmlBase::SkipWhiteSpace;
};

// White space as the trimming rule names it: space, tab, line feed, vertical
// tab, form feed, carriage return.
bool IsRuleWhite(int byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' ||
           byte == '\r';
}

// Reads the attribute whose name starts at `name` from the raw text with
// TinyXML's character steps and applies the trimming rule to the value as
// written: each stored byte is noted with the byte written in its place (-1
// for one that comes from a reference), and an '&' that TinyXML drops (no
// known reference follows it) is noted as a written character the value does
// not hold. Sets the whole value and the kept value.
void Oracle(const char* name, size_t nameLength, std::string* whole, std::string* kept) {
    const TiXmlEncoding utf8 = TIXML_ENCODING_UTF8;
    const char* p = TinyXmlSteps::SkipWhiteSpace(name + nameLength, utf8);
    Check(p && *p == '=', "oracle finds the equals sign");
    p = TinyXmlSteps::SkipWhiteSpace(p + 1, utf8);
    Check(p && *p, "oracle finds the value");
    const char quote = *p;
    if (quote != '"' && quote != '\'') {
        // Unquoted: the raw bytes, kept whole.
        const char* end = p;
        while (*end && !TinyXmlSteps::IsWhiteSpace(*end) && *end != '/' && *end != '>')
            ++end;
        whole->assign(p, end);
        *kept = *whole;
        return;
    }
    struct Unit {
        int written; // the byte as written; -1 from a reference
        bool stored; // false for a dropped '&'
        char byte;   // the stored byte
    };
    std::vector<Unit> units;
    for (++p; p && *p && *p != quote;) {
        char bytes[4] = {0, 0, 0, 0};
        int length = 0;
        const char* const step = p;
        p = TinyXmlSteps::GetChar(p, bytes, &length, utf8);
        if (length == 0)
            units.push_back({'&', false, 0});
        for (int i = 0; i < length; ++i)
            units.push_back(
                {*step == '&' ? -1 : static_cast<unsigned char>(step[i]), true, bytes[i]});
    }
    size_t begin = 0;
    size_t end = units.size();
    if (quote == '"') {
        const auto literal = [&](size_t i, int byte) {
            return units[i].stored && units[i].written == byte;
        };
        for (;;) {
            if (begin < end && units[begin].stored && IsRuleWhite(units[begin].written))
                begin += 1;
            else if (begin + 3 <= end && literal(begin, 0xEF) && literal(begin + 1, 0xBB) &&
                     literal(begin + 2, 0xBF))
                begin += 3;
            else
                break;
        }
        while (end > begin && units[end - 1].stored && IsRuleWhite(units[end - 1].written))
            --end;
    }
    whole->clear();
    kept->clear();
    for (size_t i = 0; i < units.size(); ++i) {
        if (!units[i].stored)
            continue;
        *whole += units[i].byte;
        if (i >= begin && i < end)
            *kept += units[i].byte;
    }
}

// Records the pass's view in document order.
class Recorder {
public:
    static constexpr bool kKeepsText = true;
    explicit Recorder(const reply::Scanner<Recorder>* scanner) : scanner_(scanner) {}
    void Bind(const reply::Scanner<Recorder>* scanner) { scanner_ = scanner; }

    void OpenElement(const char* name, size_t length) {
        nodes.push_back({kElement, depth_++, std::string(name, length), {}});
        open_.push_back(nodes.size() - 1);
    }
    void Attribute(const char* name, size_t length, const reply::Spelling& spelling) {
        Attr attribute{std::string(name, length), *scanner_->Value().text, spelling, {}, {}};
        Oracle(name, length, &attribute.oracleValue, &attribute.oracleKept);
        nodes[open_.back()].attributes.push_back(std::move(attribute));
    }
    void CloseElement() {
        open_.pop_back();
        --depth_;
    }
    void Leaf(reply::LeafKind kind, const reply::Decoded& value) {
        static const int kKinds[] = {kText, kCData, kComment, kUnknown, kDeclaration};
        nodes.push_back({kKinds[static_cast<int>(kind)], depth_, *value.text, {}});
    }

    std::vector<Node> nodes;

private:
    const reply::Scanner<Recorder>* scanner_;
    std::vector<size_t> open_;
    size_t depth_ = 0;
};

int KindOf(const TiXmlNode* node) {
    switch (node->Type()) {
    case TiXmlNode::TINYXML_ELEMENT:
        return kElement;
    case TiXmlNode::TINYXML_TEXT:
        return node->ToText()->CDATA() ? kCData : kText;
    case TiXmlNode::TINYXML_COMMENT:
        return kComment;
    case TiXmlNode::TINYXML_UNKNOWN:
        return kUnknown;
    case TiXmlNode::TINYXML_DECLARATION:
        return kDeclaration;
    default:
        return -1;
    }
}

void CompareTrees(const TiXmlDocument& document, const std::vector<Node>& nodes) {
    size_t index = 0;
    size_t depth = 0;
    const TiXmlNode* node = document.FirstChild();
    while (node) {
        Check(index < nodes.size(), "TinyXML has more nodes");
        const Node& seen = nodes[index++];
        Check(seen.kind == KindOf(node), "node kind");
        Check(seen.depth == depth, "nesting");
        Check(seen.value == node->ValueStr(), "node value");
        if (const TiXmlElement* element = node->ToElement()) {
            const TiXmlAttribute* attribute = element->FirstAttribute();
            for (const Attr& a : seen.attributes) {
                Check(attribute != nullptr, "TinyXML has fewer attributes");
                Check(a.name == attribute->NameTStr(), "attribute name");
                Check(a.value == attribute->ValueStr(), "attribute value");
                const reply::Spelling& s = a.spelling;
                Check(s.length == a.value.size(), "spelling length");
                Check(s.keepBegin <= s.keepEnd && s.keepEnd <= s.length, "kept range");
                Check(a.oracleValue == a.value, "oracle reads the value as TinyXML does");
                Check(a.value.compare(s.keepBegin, s.keepEnd - s.keepBegin, a.oracleKept) == 0,
                      "kept bytes are what the trimming rule keeps");
                attribute = attribute->Next();
            }
            Check(attribute == nullptr, "TinyXML has more attributes");
        }
        // Next node in document order.
        if (node->FirstChild()) {
            node = node->FirstChild();
            ++depth;
            continue;
        }
        while (node && !node->NextSibling()) {
            node = node->Parent();
            if (node == &document)
                node = nullptr;
            else
                --depth;
        }
        if (node)
            node = node->NextSibling();
    }
    Check(index == nodes.size(), "TinyXML has fewer nodes");
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

    {
        Recorder recorder(nullptr);
        reply::Scanner<Recorder> scanner(recorder, 100000);
        recorder.Bind(&scanner);
        const char* scanEnd = nullptr;
        const reply::Outcome outcome = scanner.Scan(text, &scanEnd);
        TiXmlDocument document;
        const char* parseEnd = document.Parse(text, nullptr, TIXML_ENCODING_UTF8);
        Check(outcome != reply::Outcome::kTooDeep, "depth");
        Check((outcome == reply::Outcome::kParsed) == (parseEnd != nullptr), "verdict");
        Check(scanEnd == parseEnd, "end position");
        if (parseEnd)
            CompareTrees(document, recorder.nodes);
    }

    std::vector<SearchResult> results;
    const int status = ReadReplyText(text, results);
    Check(status == 0 || status == -1, "status");
    return 0;
}
