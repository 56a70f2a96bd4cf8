// Builds TinyXML's tree of a reply in one pass, the tree TiXmlDocument::Parse
// builds for the text as UTF-8, with two differences:
// - the element nesting is followed with an explicit stack rather than by
//   recursion, and nesting deeper than a limit refuses the text, so a hostile
//   reply cannot exhaust the caller's stack while it is read. The tree is
//   destroyed by TinyXML's own recursive destructors: the limit keeps them as
//   shallow as the nesting it allows;
// - an attribute value written in double quotes loses the raw white space at
//   its ends (space, tab, line feed, vertical tab, form feed, carriage return;
//   a UTF-8 byte-order mark among the leading white space with it), never a
//   character that came from a reference.
// Every node and attribute is read by TinyXML's own readers; no row or
// column locations are stamped.
#pragma once

#include <tinyxml.h>

#include <cstddef>
#include <vector>

namespace reply {

// The nesting a reply may have: a dictionary reply nests four levels.
const size_t kMaxDepth = 256;

// Told of each attribute as TinyXML has read it, before its value is cut.
class AttributeWatch {
public:
    // `at` is where the attribute's name starts in the text.
    virtual void Read(const char* at, const TiXmlAttribute& attribute) = 0;

protected:
    ~AttributeWatch() = default;
};

class ReplyDocument : public TiXmlDocument {
public:
    explicit ReplyDocument(size_t maxDepth = kMaxDepth, AttributeWatch* watch = nullptr)
        : maxDepth_(maxDepth), watch_(watch) {}

    // Reads the zero-terminated text into this empty document. Returns where
    // TiXmlDocument::Parse would stop, or null where it returns null and for
    // nesting past the limit. The parser can step up to three bytes past a
    // zero byte: the text must be followed by that many more (the receive
    // buffer keeps them). std::bad_alloc passes through; what was read so far
    // stays in the document, which owns it.
    const char* Read(const char* text);

    // The last Read stopped at an element nested past the limit.
    bool RefusedDepth() const { return refusedDepth_; }

private:
    const char* ReadElement(TiXmlElement* root, const char* p);
    const char* StartTag(TiXmlElement* element, const char* p, bool* content);
    const char* ReadAttribute(TiXmlElement* element, const char* p);
    const char* Kept(const char* at, const char* end);

    size_t maxDepth_;
    AttributeWatch* watch_;
    bool refusedDepth_ = false;
    std::vector<TiXmlElement*> open_; // elements whose content is being read
    TiXmlAttribute attribute_;        // each attribute as TinyXML reads it
    TIXML_STRING kept_;               // a value once cut
};

} // namespace reply
