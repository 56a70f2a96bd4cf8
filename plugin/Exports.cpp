#include "plugin/Exports.h"

#include "basiccpp/Log.h"
#include "plugin/ReportSites.h"
#include "plugin/SearchContext.h"

#include <string>

namespace {

using Traits = std::char_traits<char16_t>;

bool Fits(const std::u16string& text, const char16_t* buffer, uint16_t capacity) {
    return buffer != nullptr && text.size() < capacity;
}

void CopyWhole(const std::u16string& text, char16_t* buffer) {
    Traits::copy(buffer, text.c_str(), text.size() + 1);
}

} // namespace

int CopySearchResult(const SearchContext& context, int32_t index, char16_t* word,
                     uint16_t wordCapacity, char16_t* name, uint16_t nameCapacity, char16_t* type,
                     uint16_t typeCapacity) {
    // Everything is checked before the first unit is written, so a refused
    // call leaves all three buffers as they were. A zero capacity never fits,
    // since even an empty text needs its terminator.
    const bool inRange = index >= 0 && static_cast<size_t>(index) < context.results.size();
    if (!inRange || !Fits(context.results[index].word, word, wordCapacity) ||
        !Fits(context.results[index].name, name, nameCapacity) ||
        !Fits(context.results[index].type, type, typeCapacity)) {
        ReportAssert(0, reportsite::kPluginFile, reportsite::kLineCopyOutRefused);
        return 0;
    }
    const SearchResult& result = context.results[index];
    CopyWhole(result.word, word);
    CopyWhole(result.name, name);
    CopyWhole(result.type, type);
    return 1;
}

int CopyCutText(const char16_t* text, char16_t* buffer, uint16_t capacity) {
    if (buffer != nullptr && capacity != 0) {
        size_t length = Traits::length(text);
        if (length > static_cast<size_t>(capacity) - 1) {
            length = static_cast<size_t>(capacity) - 1;
        }
        Traits::copy(buffer, text, length);
        buffer[length] = u'\0';
    }
    return 1;
}
