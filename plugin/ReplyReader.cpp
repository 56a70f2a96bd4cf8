#include "plugin/ReplyReader.h"

#include "basiccpp/BasicString.h"
#include "basiccpp/Log.h"
#include "plugin/ReplyScan.h"
#include "plugin/SearchContext.h"

#include <tinyxml.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

const char kSourceFile[] = "..\\plugin-lexigrove";
const int kLineNoRoot = 199;
const int kLineBadWord = 217;
const int kLineNoList = 230;
const int kLineBadItem = 242;

// The one failure the reading raises; caught where the reading ends.
const int kFailure = -1;

// TinyXML parses nested elements recursively (and frees them recursively);
// deeper replies are refused before they can exhaust the caller's stack. A
// dictionary reply nests four levels.
const size_t kMaxDepth = 256;

enum Attribute : uint8_t { kStatus, kName, kType, kNone };

Attribute Classify(const char* name, size_t length) {
    switch (length) {
    case 6:
        return std::memcmp(name, "status", 6) == 0 ? kStatus : kNone;
    case 4:
        if (std::memcmp(name, "name", 4) == 0)
            return kName;
        return std::memcmp(name, "type", 4) == 0 ? kType : kNone;
    default:
        return kNone;
    }
}

// The tree TinyXML builds, one entry per node in document order, with what
// the walk needs to keep pace with it: each node's subtree ends where its
// `end` index points, so children and next siblings are found without the
// text. Double-quoted values that lose white space are listed in `trims`.
class Outline {
public:
    enum : uint8_t { kElement = 1, kValueResult = 2, kElementWord = 4 };
    struct Node {
        uint32_t end;
        uint8_t flags;
    };
    struct Trim {
        uint32_t node;
        Attribute attribute;
        size_t keepBegin;
        size_t keepEnd;
    };
    static const uint32_t kNoNode = UINT32_MAX;

    // Scanner sink.
    static constexpr bool kKeepsText = false;
    void OpenElement(const char* name, size_t length) {
        uint8_t flags = kElement;
        if (length == 6 && std::memcmp(name, "result", 6) == 0)
            flags |= kValueResult;
        if (length == 4 && std::memcmp(name, "word", 4) == 0)
            flags |= kElementWord;
        open_.push_back(Add(flags));
    }
    void Attribute(const char* name, size_t length, const reply::Spelling& spelling) {
        const ::Attribute attribute = Classify(name, length);
        if (attribute == kNone || overflowed_)
            return;
        if (spelling.keepBegin != 0 || spelling.keepEnd != spelling.length)
            trims_.push_back({open_.back(), attribute, spelling.keepBegin, spelling.keepEnd});
    }
    void CloseElement() {
        if (!overflowed_)
            nodes_[open_.back()].end = static_cast<uint32_t>(nodes_.size());
        open_.pop_back();
    }
    void Leaf(reply::LeafKind, const reply::Decoded& value) {
        Add(value.IsResult() ? kValueResult : 0);
    }

    void Reserve(size_t nodes) { nodes_.reserve(nodes); }
    bool Overflowed() const { return overflowed_; }
    uint32_t Size() const { return static_cast<uint32_t>(nodes_.size()); }
    bool Is(uint32_t node, uint8_t flag) const { return (nodes_[node].flags & flag) != 0; }
    uint32_t End(uint32_t node) const { return nodes_[node].end; }

    // The first node with the flag among the siblings from `from` up to
    // `last` (where the parent's subtree ends), or kNoNode.
    uint32_t Find(uint32_t from, uint32_t last, uint8_t flag) const {
        while (from < last && !Is(from, flag))
            from = nodes_[from].end;
        return from < last ? from : kNoNode;
    }

    // The most entries the walk can append: the element children of each
    // translation list it will come to.
    size_t CountItems() const {
        const uint32_t root = Find(0, Size(), kElement);
        if (root == kNoNode)
            return 0;
        size_t count = 0;
        const uint32_t rootEnd = End(root);
        for (uint32_t current = Find(root + 1, rootEnd, kValueResult);
             current != kNoNode && current < rootEnd; current = End(current)) {
            const uint32_t word = Find(current + 1, End(current), kElementWord);
            if (word == kNoNode)
                break;
            const uint32_t list = Find(End(word), End(current), kElement);
            if (list == kNoNode)
                break;
            for (uint32_t item = Find(list + 1, End(list), kElement); item != kNoNode;
                 item = Find(End(item), End(list), kElement))
                ++count;
        }
        return count;
    }

    // The stored bytes of the node's attribute to keep, when some are cut.
    // Nodes are asked for in document order.
    const Trim* FindTrim(uint32_t node, ::Attribute attribute) {
        while (nextTrim_ < trims_.size() && trims_[nextTrim_].node < node)
            ++nextTrim_;
        for (size_t i = nextTrim_; i < trims_.size() && trims_[i].node == node; ++i) {
            if (trims_[i].attribute == attribute)
                return &trims_[i];
        }
        return nullptr;
    }

private:
    // Past kNoNode - 1 nodes the outline stops growing and is not used.
    uint32_t Add(uint8_t flags) {
        if (nodes_.size() >= kNoNode - 1)
            overflowed_ = true;
        if (overflowed_)
            return 0;
        nodes_.push_back({static_cast<uint32_t>(nodes_.size() + 1), flags});
        return static_cast<uint32_t>(nodes_.size() - 1);
    }

    std::vector<Node> nodes_;
    std::vector<uint32_t> open_;
    std::vector<Trim> trims_;
    size_t nextTrim_ = 0;
    bool overflowed_ = false;
};

void Require(bool condition) {
    if (!condition)
        throw kFailure;
}

void Fail(int line) {
    ReportAssert(0, kSourceFile, line);
    throw kFailure;
}

// An element as TinyXML holds it, with its place in the outline.
struct Element {
    const TiXmlElement* element;
    uint32_t node;
};

// Reads one attribute as the reply means it: missing and empty alike give
// null. With an outline, a double-quoted value is cut to the bytes it keeps; when
// the end is cut, the kept bytes are copied into scratch for their
// terminator.
const char* AttributeText(const Element& at, const char* name, Attribute attribute,
                          Outline* outline, std::string& scratch) {
    const char* value = at.element->Attribute(name);
    if (!value)
        return nullptr;
    if (const Outline::Trim* trim = outline ? outline->FindTrim(at.node, attribute) : nullptr) {
        // The value as Value() gives it ends at its first zero byte.
        const size_t length = std::strlen(value);
        // The cut bytes at the front are raw white space: a value that does
        // not begin with them is not the one the outline saw.
        Require(length >= trim->keepBegin);
        for (size_t i = 0; i < trim->keepBegin; ++i) {
            const unsigned char byte = static_cast<unsigned char>(value[i]);
            Require(reply::IsTrimWhite(byte) || byte == 0xEF || byte == 0xBB || byte == 0xBF);
        }
        const size_t keepEnd = trim->keepEnd < length ? trim->keepEnd : length;
        if (keepEnd <= trim->keepBegin)
            return nullptr;
        if (keepEnd == length) {
            value += trim->keepBegin;
        } else {
            scratch.assign(value + trim->keepBegin, keepEnd - trim->keepBegin);
            value = scratch.c_str();
        }
    }
    return *value ? value : nullptr;
}

// Well-formed UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF) decoded into `out`, which has room for `length` units; the
// number of units, or -1 for anything else. Such text converts to the same
// units on every platform, so only the rest needs the system's conversion and
// its replacement rules.
ptrdiff_t DecodeWellFormed(const char* utf8, size_t length, char16_t* out) {
    char16_t* const first = out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(utf8);
    const unsigned char* const end = p + length;
    const auto follows = [](unsigned char byte) { return (byte & 0xC0) == 0x80; };
    while (p < end) {
        const uint32_t lead = *p;
        if (lead < 0x80) {
            *out++ = static_cast<char16_t>(lead);
            ++p;
        } else if (lead < 0xC2) {
            return -1;
        } else if (lead < 0xE0) {
            if (end - p < 2 || !follows(p[1]))
                return -1;
            *out++ = static_cast<char16_t>(((lead & 0x1F) << 6) | (p[1] & 0x3F));
            p += 2;
        } else if (lead < 0xF0) {
            if (end - p < 3 || !follows(p[1]) || !follows(p[2]) || (lead == 0xE0 && p[1] < 0xA0) ||
                (lead == 0xED && p[1] > 0x9F))
                return -1;
            *out++ = static_cast<char16_t>(((lead & 0x0F) << 12) | ((p[1] & 0x3Fu) << 6) |
                                           (p[2] & 0x3F));
            p += 3;
        } else if (lead < 0xF5) {
            if (end - p < 4 || !follows(p[1]) || !follows(p[2]) || !follows(p[3]) ||
                (lead == 0xF0 && p[1] < 0x90) || (lead == 0xF4 && p[1] > 0x8F))
                return -1;
            const uint32_t code = ((lead & 0x07) << 18) | ((p[1] & 0x3Fu) << 12) |
                                  ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3F);
            *out++ = static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10));
            *out++ = static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
            p += 4;
        } else {
            return -1;
        }
    }
    return out - first;
}

// The text as Utf8ToWide converts it (and, for text that is not well-formed,
// by Utf8ToWide itself, which reports a failing conversion).
std::u16string Convert(const char* utf8) {
    const size_t length = std::strlen(utf8);
    // Never more units than bytes; most values fit the local room.
    char16_t local[128];
    std::unique_ptr<char16_t[]> large;
    char16_t* room = local;
    if (length > sizeof local / sizeof local[0]) {
        large.reset(new char16_t[length]);
        room = large.get();
    }
    const ptrdiff_t units = DecodeWellFormed(utf8, length, room);
    if (units >= 0)
        return std::u16string(room, static_cast<size_t>(units));
    const BasicString converted = Utf8ToWide(utf8);
    return std::u16string(converted.GetString(), static_cast<size_t>(converted.GetLength()));
}

// Translation types repeat from item to item ("noun", "verb"): the last
// conversion of each is kept, by a hash of the text. Only conversions that
// gave text are kept, so a failing one is repeated, and reported, each time.
class TypeTexts {
public:
    const std::u16string& Convert(const char* utf8) {
        const size_t length = std::strlen(utf8);
        Slot& slot = slots_[(length * 31u + static_cast<unsigned char>(utf8[0]) * 7u +
                             static_cast<unsigned char>(utf8[length - 1])) %
                            kSlots];
        if (!slot.wide.empty() && slot.utf8.size() == length &&
            std::memcmp(slot.utf8.data(), utf8, length) == 0)
            return slot.wide;
        std::u16string wide = ::Convert(utf8);
        if (wide.empty()) {
            uncached_ = std::move(wide);
            return uncached_;
        }
        slot.utf8.assign(utf8, length);
        slot.wide = std::move(wide);
        return slot.wide;
    }

private:
    static const size_t kSlots = 16;
    struct Slot {
        std::string utf8;
        std::u16string wide;
    };
    Slot slots_[kSlots];
    std::u16string uncached_;
};

// ASCII letters compared without case, as _stricmp does in the C locale.
bool EqualIgnoringCase(const char* a, const char* b) {
    for (;; ++a, ++b) {
        unsigned char x = static_cast<unsigned char>(*a);
        unsigned char y = static_cast<unsigned char>(*b);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y)
            return false;
        if (x == 0)
            return true;
    }
}

// The walk over the parsed document. With an outline, every step is taken
// on TinyXML's tree and on the outline side by side; should they ever
// disagree the reading fails rather than trim by a wrong spelling. Without
// one (a plain reply, whose values lose nothing to trimming) the tree is
// walked alone.
void Walk(const TiXmlDocument& document, Outline* outline, std::vector<SearchResult>& results) {
    std::string scratchName, scratchType;
    TypeTexts types;
    // The outline's answers; the plain walk never looks at node numbers.
    const auto find = [outline](uint32_t from, uint32_t last, uint8_t flag) {
        return outline ? outline->Find(from, last, flag) : 0;
    };
    const auto end = [outline](uint32_t node) { return outline ? outline->End(node) : 0; };
    const auto agree = [outline](bool same) {
        if (outline)
            Require(same);
    };

    const TiXmlElement* rootElement = document.FirstChildElement();
    const uint32_t rootNode = find(0, outline ? outline->Size() : 0, Outline::kElement);
    agree((rootElement != nullptr) == (rootNode != Outline::kNoNode));
    if (!rootElement)
        Fail(kLineNoRoot);
    const Element root{rootElement, rootNode};

    const char* status = AttributeText(root, "status", kStatus, outline, scratchName);
    if (!status || !EqualIgnoringCase(status, "ok"))
        throw kFailure;

    const uint32_t rootEnd = end(rootNode);
    const TiXmlNode* current = root.element->FirstChild("result");
    uint32_t currentNode = find(rootNode + 1, rootEnd, Outline::kValueResult);
    while (current) {
        if (outline)
            Require(currentNode != Outline::kNoNode &&
                    (current->ToElement() != nullptr) ==
                        outline->Is(currentNode, Outline::kElement));
        const uint32_t currentEnd = end(currentNode);

        const TiXmlElement* wordElement = current->FirstChildElement("word");
        const uint32_t wordNode = find(currentNode + 1, currentEnd, Outline::kElementWord);
        agree((wordElement != nullptr) == (wordNode != Outline::kNoNode));
        if (!wordElement)
            Fail(kLineBadWord);
        const Element word{wordElement, wordNode};
        const char* headword = AttributeText(word, "name", kName, outline, scratchName);
        if (!headword)
            Fail(kLineBadWord);
        const std::u16string wordText = Convert(headword);

        const TiXmlElement* listElement = word.element->NextSiblingElement();
        const uint32_t listNode = find(end(wordNode), currentEnd, Outline::kElement);
        agree((listElement != nullptr) == (listNode != Outline::kNoNode));
        if (!listElement)
            Fail(kLineNoList);

        const uint32_t listEnd = end(listNode);
        const TiXmlElement* itemElement = listElement->FirstChildElement();
        uint32_t itemNode = find(listNode + 1, listEnd, Outline::kElement);
        while (itemElement) {
            agree(itemNode != Outline::kNoNode);
            const Element item{itemElement, itemNode};
            const char* name = AttributeText(item, "name", kName, outline, scratchName);
            const char* type = AttributeText(item, "type", kType, outline, scratchType);
            if (!name || !type)
                Fail(kLineBadItem);
            const std::u16string& typeText = types.Convert(type);
            std::u16string nameText = Convert(name);
            results.push_back(SearchResult{wordText, std::move(nameText), typeText});

            itemElement = itemElement->NextSiblingElement();
            itemNode = find(end(itemNode), listEnd, Outline::kElement);
        }
        agree(itemNode == Outline::kNoNode);

        current = current->NextSibling();
        currentNode = currentEnd < rootEnd ? currentEnd : Outline::kNoNode;
    }
    agree(currentNode == Outline::kNoNode);
}

// Room for this reading's entries in at most one allocation. The list is
// never emptied, so its room still grows geometrically: reserving just what
// one reading needs would move the whole list every time.
void MakeRoom(std::vector<SearchResult>& results, size_t entries) {
    const size_t needed = results.size() + entries;
    if (needed > results.capacity())
        results.reserve(std::max(needed, 2 * results.capacity()));
}

} // namespace

int ReadReplyText(const char* text, std::vector<SearchResult>& results) {
    try {
        // A plain reply nests no deeper than the limit and its values need no
        // trimming: the parser reads it alone.
        size_t items = 0;
        if (reply::IsPlain(text, kMaxDepth, &items)) {
            TiXmlDocument document;
            if (!document.Parse(text, nullptr, TIXML_ENCODING_UTF8))
                throw kFailure;
            MakeRoom(results, items);
            Walk(document, nullptr, results);
            return 0;
        }
    } catch (int) {
        return -1;
    }
    return ReadReplyOutlined(text, results);
}

int ReadReplyOutlined(const char* text, std::vector<SearchResult>& results) {
    TiXmlDocument document;
    // Released before the document: a large block freed after the
    // document's many small ones makes the allocator sort all of them first.
    Outline outline;
    try {
        // Room for one node in about 24 bytes, a bit more than replies need.
        outline.Reserve(std::strlen(text) / 24 + 16);
        reply::Scanner<Outline> scanner(outline, kMaxDepth);
        const char* scanEnd = nullptr;
        if (scanner.Scan(text, &scanEnd) != reply::Outcome::kParsed || outline.Overflowed())
            throw kFailure;
        const char* parseEnd = document.Parse(text, nullptr, TIXML_ENCODING_UTF8);
        if (!parseEnd)
            throw kFailure;
        // The outline must be the document's: same end, same shape.
        Require(parseEnd == scanEnd);
        MakeRoom(results, outline.CountItems());
        Walk(document, &outline, results);
    } catch (int) {
        return -1;
    }
    return 0;
}

int ReadReply(SearchContext& context) {
    return ReadReplyText(context.buffer.data(), context.results);
}
