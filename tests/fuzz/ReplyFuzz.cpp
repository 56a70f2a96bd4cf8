// Arbitrary bytes as a reply. Each input is laid out as the receive buffer
// holds a reply (the bytes, a zero byte, then the buffer's zero slack) in an
// allocation of exactly that size, so any read beyond the slack is caught.
//
// Besides running the reader, every input checks the second pass the reader
// trims by against TinyXML itself: the same verdict, the same end position,
// and node for node the same tree, values and attribute values.

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
};
struct Node {
    int kind;
    size_t depth;
    std::string value;
    std::vector<Attr> attributes;
};

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
        nodes[open_.back()].attributes.push_back(
            {std::string(name, length), *scanner_->Value().text, spelling});
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

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "second pass disagrees with TinyXML: %s\n", what);
        std::abort();
    }
}

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
                if (s.quote != '"')
                    Check(s.keepBegin == 0 && s.keepEnd == s.length, "only double quotes trim");
                for (size_t i = 0; i < s.keepBegin; ++i) {
                    const unsigned char b = static_cast<unsigned char>(a.value[i]);
                    Check(reply::IsTrimWhite(b) || b == 0xEF || b == 0xBB || b == 0xBF,
                          "cut lead is white space");
                }
                for (size_t i = s.keepEnd; i < s.length && s.keepEnd > s.keepBegin; ++i) {
                    const unsigned char b = static_cast<unsigned char>(a.value[i]);
                    Check(reply::IsTrimWhite(b) || b == 0, "cut tail is white space");
                }
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
