#include "plugin/ReplyReader.h"

#include "basiccpp/BasicString.h"
#include "basiccpp/Log.h"
#include "plugin/ReplyTree.h"
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

void Fail(int line) {
    ReportAssert(0, kSourceFile, line);
    throw kFailure;
}

// Reads one attribute as the reply means it: missing and empty alike give
// null.
const char* AttributeText(const TiXmlElement* element, const char* name) {
    const char* value = element->Attribute(name);
    return value && *value ? value : nullptr;
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

// The walk over the tree.
void Walk(const TiXmlDocument& document, std::vector<SearchResult>& results) {
    TypeTexts types;
    const TiXmlElement* root = document.FirstChildElement();
    if (!root)
        Fail(kLineNoRoot);
    const char* status = AttributeText(root, "status");
    if (!status || !EqualIgnoringCase(status, "ok"))
        throw kFailure;

    for (const TiXmlNode* current = root->FirstChild("result"); current;
         current = current->NextSibling()) {
        const TiXmlElement* word = current->FirstChildElement("word");
        const char* headword = word ? AttributeText(word, "name") : nullptr;
        if (!headword)
            Fail(kLineBadWord);
        const std::u16string wordText = Convert(headword);

        const TiXmlElement* list = word->NextSiblingElement();
        if (!list)
            Fail(kLineNoList);
        for (const TiXmlElement* item = list->FirstChildElement(); item;
             item = item->NextSiblingElement()) {
            const char* name = AttributeText(item, "name");
            const char* type = AttributeText(item, "type");
            if (!name || !type)
                Fail(kLineBadItem);
            const std::u16string& typeText = types.Convert(type);
            std::u16string nameText = Convert(name);
            results.push_back(SearchResult{wordText, std::move(nameText), typeText});
        }
    }
}

// The most entries the walk can append: the element children of each
// translation list it will come to.
size_t CountItems(const TiXmlDocument& document) {
    const TiXmlElement* root = document.FirstChildElement();
    size_t count = 0;
    for (const TiXmlNode* current = root ? root->FirstChild("result") : nullptr; current;
         current = current->NextSibling()) {
        const TiXmlElement* word = current->FirstChildElement("word");
        const TiXmlElement* list = word ? word->NextSiblingElement() : nullptr;
        if (!list)
            break;
        for (const TiXmlElement* item = list->FirstChildElement(); item;
             item = item->NextSiblingElement())
            ++count;
    }
    return count;
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
        reply::ReplyDocument document;
        if (!document.Read(text))
            throw kFailure;
        MakeRoom(results, CountItems(document));
        Walk(document, results);
    } catch (int) {
        return -1;
    }
    return 0;
}

int ReadReply(SearchContext& context) {
    return ReadReplyText(context.buffer.data(), context.results);
}
