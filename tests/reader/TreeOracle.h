// The reader's tree held against TinyXML's own. One text is read by
// reply::ReplyDocument and parsed by TiXmlDocument::Parse; the two must agree
// on the verdict, the end position, every node's kind and value (in full,
// zero bytes included) and every attribute's name and value before cutting.
// Each value the reader stores is checked against the cutting rule applied
// to the value as written, read again from the text with TinyXML's own
// character steps: a double-quoted value loses the literal white space at its
// ends (and a byte-order mark among the leading white space); a character
// that comes from a reference is never removed; other values are kept whole.
// The fuzz target and the reader tests share it.
#pragma once

#include "plugin/ReplyTree.h"

#include <tinyxml.h>

#include <cstring>
#include <string>
#include <vector>

namespace oracle {

// TinyXML's own steps over raw text.
struct TinyXmlSteps : TiXmlBase {
    using TiXmlBase::GetChar;
    using TiXmlBase::IsWhiteSpace;
    using TiXmlBase::SkipWhiteSpace;
};

// White space as the cutting rule names it.
inline bool IsRuleWhite(int byte) {
    return byte == ' ' || byte == '\t' || byte == '\n' || byte == '\v' || byte == '\f' ||
           byte == '\r';
}

// Reads the attribute whose name starts at `name` from the raw text with
// TinyXML's character steps and applies the cutting rule to the value as
// written: each stored byte is noted with the byte written in its place (-1
// for one that comes from a reference), and an '&' that TinyXML drops (no
// known reference follows it) as a written character the value does not
// hold. Sets the whole value and the kept value; false where the text does
// not hold an attribute there.
inline bool ReadWritten(const char* name, size_t nameLength, std::string* whole,
                        std::string* kept) {
    const TiXmlEncoding utf8 = TIXML_ENCODING_UTF8;
    const char* p = TinyXmlSteps::SkipWhiteSpace(name + nameLength, utf8);
    if (!p || *p != '=')
        return false;
    p = TinyXmlSteps::SkipWhiteSpace(p + 1, utf8);
    if (!p || !*p)
        return false;
    const char quote = *p;
    if (quote != '"' && quote != '\'') {
        const char* end = p;
        while (*end && !TinyXmlSteps::IsWhiteSpace(*end) && *end != '/' && *end != '>')
            ++end;
        whole->assign(p, end);
        *kept = *whole;
        return true;
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
    return true;
}

// Each attribute as the reader read it, in document order.
class Recorder : public reply::AttributeWatch {
public:
    struct Seen {
        std::string name, value; // as TinyXML read them
        bool written;            // ReadWritten found the attribute
        std::string whole, kept; // the value as written, and what the rule keeps
    };
    void Read(const char* at, const TiXmlAttribute& attribute) override {
        Seen seen{attribute.Name(), attribute.Value(), false, {}, {}};
        seen.written = ReadWritten(at, seen.name.size(), &seen.whole, &seen.kept);
        this->seen.push_back(std::move(seen));
    }
    std::vector<Seen> seen;
};

inline std::string Bytes(const TIXML_STRING& s) {
    return std::string(s.c_str(), s.length());
}

inline const char* KindOf(const TiXmlNode* node) {
    switch (node->Type()) {
    case TiXmlNode::TINYXML_ELEMENT:
        return "element";
    case TiXmlNode::TINYXML_TEXT:
        return node->ToText()->CDATA() ? "cdata" : "text";
    case TiXmlNode::TINYXML_COMMENT:
        return "comment";
    case TiXmlNode::TINYXML_UNKNOWN:
        return "unknown";
    case TiXmlNode::TINYXML_DECLARATION:
        return "declaration";
    default:
        return "other";
    }
}

// The next node in document order below `top`, or null.
inline const TiXmlNode* Next(const TiXmlNode* node, const TiXmlNode* top) {
    if (node->FirstChild())
        return node->FirstChild();
    while (node != top && !node->NextSibling())
        node = node->Parent();
    return node == top ? nullptr : node->NextSibling();
}

// Node for node, the reader's tree against TinyXML's; "" when they agree.
inline std::string CompareTrees(const TiXmlDocument& parsed, const TiXmlDocument& read,
                                const std::vector<Recorder::Seen>& seen) {
    size_t attributes = 0;
    const TiXmlNode* a = parsed.FirstChild();
    const TiXmlNode* b = read.FirstChild();
    for (; a && b; a = Next(a, &parsed), b = Next(b, &read)) {
        if (std::strcmp(KindOf(a), KindOf(b)) != 0)
            return std::string("node kind: ") + KindOf(a) + " read as " + KindOf(b);
        if (Bytes(a->ValueTStr()) != Bytes(b->ValueTStr()))
            return "node value: " + Bytes(a->ValueTStr()) + " read as " + Bytes(b->ValueTStr());
        if (!a->FirstChild() != !b->FirstChild() || !a->NextSibling() != !b->NextSibling())
            return "nesting at " + Bytes(a->ValueTStr());
        if (!a->ToElement())
            continue;
        const TiXmlAttribute* x = a->ToElement()->FirstAttribute();
        const TiXmlAttribute* y = b->ToElement()->FirstAttribute();
        for (; x && y; x = x->Next(), y = y->Next(), ++attributes) {
            if (attributes >= seen.size())
                return "attribute not seen: " + std::string(x->Name());
            const Recorder::Seen& s = seen[attributes];
            if (s.name != x->Name() || s.name != y->Name())
                return "attribute name: " + std::string(x->Name()) + " read as " + s.name;
            if (s.value != x->Value())
                return "attribute value: " + std::string(x->Value()) + " read as " + s.value;
            if (!s.written || std::string(s.whole.c_str()) != x->Value())
                return "attribute as written: " + s.whole + " parsed as " + x->Value();
            // The value as the reader sees it ends at its first zero byte.
            if (std::string(s.kept.c_str()) != y->Value())
                return "cut value of " + s.name + ": " + y->Value() + ", the rule keeps " +
                       s.kept.c_str();
        }
        if (x || y)
            return "attribute count at " + Bytes(a->ValueTStr());
    }
    if (a || b)
        return a ? "TinyXML has more nodes" : "the reader has more nodes";
    return attributes == seen.size() ? "" : "attributes seen that TinyXML does not hold";
}

// Reads the text both ways; "" when they agree in everything. The text needs
// the zero bytes a receive buffer keeps behind it. A depth refusal is a
// difference: choose maxDepth above the text's nesting.
inline std::string Compare(const char* text, size_t maxDepth, bool* parsedOk = nullptr) {
    Recorder recorder;
    reply::ReplyDocument read(maxDepth, &recorder);
    const char* const readEnd = read.Read(text);
    TiXmlDocument parsed;
    const char* const parseEnd = parsed.Parse(text, nullptr, TIXML_ENCODING_UTF8);
    if (parsedOk)
        *parsedOk = parseEnd != nullptr;
    if (read.RefusedDepth())
        return "refused for depth";
    if ((readEnd != nullptr) != (parseEnd != nullptr))
        return parseEnd ? "verdict: TinyXML parses it, the reader fails"
                        : "verdict: TinyXML fails, the reader reads it";
    if (readEnd != parseEnd)
        return "end position";
    return CompareTrees(parsed, read, recorder.seen);
}

} // namespace oracle
