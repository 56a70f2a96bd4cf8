#include "plugin/ReplyReader.h"

#include "basiccpp/Log.h"
#include "plugin/ReplyText.h"
#include "plugin/ReplyTree.h"
#include "plugin/ReportSites.h"
#include "plugin/SearchContext.h"

#include <tinyxml.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

namespace {

// The one failure the reading raises; caught where the reading ends.
const int kFailure = -1;

void Fail(int line) {
    ReportAssert(0, reportsite::kPluginFile, line);
    throw kFailure;
}

// Reads one attribute as the reply means it: missing and empty alike give
// null.
const char* AttributeText(const TiXmlElement* element, const char* name) {
    const char* value = element->Attribute(name);
    return value && *value ? value : nullptr;
}

// The walk over the tree.
void Walk(const TiXmlDocument& document, std::vector<SearchResult>& results) {
    TypeTexts types;
    const TiXmlElement* root = document.FirstChildElement();
    if (!root) {
        Fail(reportsite::kLineReplyNoRoot);
    }
    const char* status = AttributeText(root, "status");
    if (!status || !EqualIgnoringCase(status, "ok"))
        throw kFailure;

    for (const TiXmlNode* current = root->FirstChild("result"); current;
         current = current->NextSibling()) {
        const TiXmlElement* word = current->FirstChildElement("word");
        const char* headword = word ? AttributeText(word, "name") : nullptr;
        if (!headword) {
            Fail(reportsite::kLineReplyBadWord);
        }
        const std::u16string wordText = ReplyText(headword);

        const TiXmlElement* list = word->NextSiblingElement();
        if (!list) {
            Fail(reportsite::kLineReplyNoList);
        }
        for (const TiXmlElement* item = list->FirstChildElement(); item;
             item = item->NextSiblingElement()) {
            const char* name = AttributeText(item, "name");
            const char* type = AttributeText(item, "type");
            if (!name || !type) {
                Fail(reportsite::kLineReplyBadItem);
            }
            const std::u16string& typeText = types.Convert(type);
            std::u16string nameText = ReplyText(name);
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
