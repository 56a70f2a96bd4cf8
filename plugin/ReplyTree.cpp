// The control flow of TinyXML 2.6.2's tinyxmlparser.cpp (Debian's patched
// source) for TiXmlDocument::Parse, TiXmlElement::Parse and
// TiXmlElement::ReadValue, with the recursion of ReadValue into each child's
// Parse replaced by a stack of open elements. Each step names the function
// and the statement it follows; every node and attribute is read by
// TinyXML's own Identify and Parse functions. The encoding is always UTF-8
// and no parsing data is passed, so nothing stamps locations (which nothing
// reads).
#include "plugin/ReplyTree.h"

#include <cstring>
#include <memory>

namespace reply {
namespace {

const TiXmlEncoding kUtf8 = TIXML_ENCODING_UTF8;

// Members TinyXML keeps protected, reached on other nodes through pointers
// to members formed in classes derived from their owners.
struct NodeAccess : TiXmlNode {
    using TiXmlNode::Identify;
    using TiXmlNode::value;
};
struct TextAccess : TiXmlText {
    using TiXmlText::Blank;
};
TiXmlNode* (TiXmlNode::*const kIdentify)(const char*, TiXmlEncoding) = &NodeAccess::Identify;
TIXML_STRING TiXmlNode::*const kValue = &NodeAccess::value;
bool (TiXmlText::*const kBlank)() const = &TextAccess::Blank;

// White space a double-quoted value loses at its ends.
bool IsCutWhite(unsigned char byte) {
    return byte == ' ' || (byte >= 0x09 && byte <= 0x0D);
}

} // namespace

const char* ReplyDocument::Read(const char* p) {
    refusedDepth_ = false;
    attribute_.SetDocument(this);
    // TiXmlDocument::Parse: "if ( !p || !*p )", then the white-space skip.
    if (!p || !*p)
        return nullptr;
    p = SkipWhiteSpace(p, kUtf8);
    if (!p)
        return nullptr;
    // "while ( p && *p )": Identify, the node's Parse, LinkEndChild (here
    // before the Parse: the tree is the same, and the document owns the node
    // should reading it throw). The encoding is given, so the declaration's
    // encoding is not looked at.
    while (p && *p) {
        TiXmlNode* const node = Identify(p, kUtf8);
        if (!node)
            break;
        LinkEndChild(node);
        TiXmlElement* element = node->ToElement();
        p = element ? ReadElement(element, p) : node->Parse(p, nullptr, kUtf8);
        p = SkipWhiteSpace(p, kUtf8);
    }
    // "Was this empty?"
    return FirstChild() ? p : nullptr;
}

// TiXmlElement::Parse of the root and of every element inside it: the start
// tag, then ReadValue's loop over the content, then the end tag. A child
// element's start tag pushes it where ReadValue would recurse into its Parse.
const char* ReplyDocument::ReadElement(TiXmlElement* root, const char* p) {
    open_.clear();
    bool content = false;
    p = StartTag(root, p, &content);
    if (!p || !content)
        return p;
    open_.push_back(root);
    // ReadValue: "pWithWhiteSpace = p; p = SkipWhiteSpace( p, encoding );"
    const char* withWhiteSpace = p;
    p = SkipWhiteSpace(p, kUtf8);
    for (;;) {
        // ReadValue's "while ( p && *p )" ends; Parse then finds no end tag.
        if (!p || !*p)
            return nullptr;
        TiXmlElement* const parent = open_.back();
        if (*p != '<') {
            // "Take what we have, make a text element": linked unless blank.
            std::unique_ptr<TiXmlText> text(new TiXmlText(""));
            p = text->Parse(TiXmlBase::IsWhiteSpaceCondensed() ? p : withWhiteSpace, nullptr,
                            kUtf8);
            if (!((*text).*kBlank)())
                parent->LinkEndChild(text.release());
        } else if (StringEqual(p, "</", false, kUtf8)) {
            // ReadValue returns at "</"; Parse compares it with endTag ("</"
            // and the name; the name holds no zero byte, so the byte compare
            // stops where StringEqual does), skips white space, wants '>'.
            const TIXML_STRING& name = parent->*kValue;
            if (std::strncmp(p + 2, name.c_str(), name.length()) != 0)
                return nullptr;
            p = SkipWhiteSpace(p + 2 + name.length(), kUtf8);
            if (!p || !*p || *p != '>')
                return nullptr;
            ++p;
            open_.pop_back();
            if (open_.empty())
                return p;
        } else {
            // "TiXmlNode* node = Identify( p, encoding )" on the parent, then
            // the node's Parse and LinkEndChild; a child element's Parse is
            // its start tag here, its content the next turns of this loop.
            std::unique_ptr<TiXmlNode> node((parent->*kIdentify)(p, kUtf8));
            if (!node)
                return nullptr;
            if (TiXmlElement* element = node->ToElement()) {
                if (open_.size() >= maxDepth_) {
                    refusedDepth_ = true;
                    return nullptr;
                }
                parent->LinkEndChild(node.release());
                p = StartTag(element, p, &content);
                if (p && content)
                    open_.push_back(element);
            } else {
                p = node->Parse(p, nullptr, kUtf8);
                parent->LinkEndChild(node.release());
            }
        }
        // ReadValue: "pWithWhiteSpace = p; p = SkipWhiteSpace( p, encoding );"
        withWhiteSpace = p;
        p = SkipWhiteSpace(p, kUtf8);
    }
}

// TiXmlElement::Parse up to its "else if ( *p == '>' )": the name, the
// attributes, and "/>" (no content) or ">" (*content set).
const char* ReplyDocument::StartTag(TiXmlElement* element, const char* p, bool* content) {
    *content = false;
    p = SkipWhiteSpace(p, kUtf8);
    if (!p || !*p || *p != '<')
        return nullptr;
    p = SkipWhiteSpace(p + 1, kUtf8);
    p = ReadName(p, &(element->*kValue), kUtf8);
    if (!p || !*p)
        return nullptr;
    // "while ( p && *p )": the white-space skip, then '/', '>' or an attribute.
    while (p && *p) {
        p = SkipWhiteSpace(p, kUtf8);
        if (!p || !*p)
            return nullptr;
        if (*p == '/') {
            ++p;
            return *p == '>' ? p + 1 : nullptr;
        }
        if (*p == '>') {
            *content = true;
            return p + 1;
        }
        p = ReadAttribute(element, p);
    }
    return p;
}

// Parse's "Try to read an attribute": TiXmlAttribute::Parse, a failure when
// the input ends there, and "the strange case of double attributes". The
// attribute is then stored in the element with its value cut.
const char* ReplyDocument::ReadAttribute(TiXmlElement* element, const char* p) {
    const char* const at = p;
    p = attribute_.Parse(p, nullptr, kUtf8);
    if (!p || !*p)
        return nullptr;
    if (element->Attribute(attribute_.Name()))
        return nullptr;
    if (watch_)
        watch_->Read(at, attribute_);
    element->SetAttribute(attribute_.Name(), Kept(at, p));
    return p;
}

// The value attribute_ holds as the reply means it: a double-quoted value
// without the raw white space at its ends. Only a value whose first or last
// byte (up to its first zero byte, where Value() ends it) is such white
// space, or whose first byte may start a byte-order mark, is looked at in
// the text: from the quote TiXmlAttribute::Parse found after the name to the
// closing quote, which it stepped over just before `end`.
const char* ReplyDocument::Kept(const char* at, const char* end) {
    const char* const value = attribute_.Value();
    const size_t length = std::strlen(value);
    if (length == 0)
        return value;
    const unsigned char first = static_cast<unsigned char>(value[0]);
    if (!IsCutWhite(first) && first != 0xEF &&
        !IsCutWhite(static_cast<unsigned char>(value[length - 1])))
        return value;
    const char* q = SkipWhiteSpace(at + attribute_.NameTStr().length(), kUtf8);
    q = SkipWhiteSpace(q + 1, kUtf8);
    if (*q != '"')
        return value;
    const char* const start = q + 1;
    const char* const close = end - 1;
    // The bytes stored, zero bytes included: ReadText's steps, counted.
    size_t stored = 0;
    for (const char* r = start; r && *r && !StringEqual(r, "\"", false, kUtf8);) {
        char bytes[4] = {0, 0, 0, 0};
        int count = 0;
        r = GetChar(r, bytes, &count, kUtf8);
        stored += static_cast<size_t>(count);
    }
    // Leading white space and byte-order marks, stored as they are written.
    size_t keepBegin = 0;
    for (;;) {
        const unsigned char* u = reinterpret_cast<const unsigned char*>(start + keepBegin);
        if (IsCutWhite(u[0]))
            keepBegin += 1;
        else if (u[0] == 0xEF && u[1] == 0xBB && u[2] == 0xBF)
            keepBegin += 3;
        else
            break;
    }
    // Trailing white space: the last bytes stored (a reference ends in ';').
    size_t trail = 0;
    for (const char* r = close; r > start && IsCutWhite(static_cast<unsigned char>(r[-1])); --r)
        ++trail;
    size_t keepEnd = stored - (trail < stored ? trail : stored);
    if (keepEnd > length)
        keepEnd = length;
    if (keepEnd <= keepBegin)
        return "";
    kept_.assign(value + keepBegin, keepEnd - keepBegin);
    return kept_.c_str();
}

} // namespace reply
