// plugin-lexigrove: the loadable library. It holds the one SearchContext of
// the process and the exported functions a host calls. No export lets an
// exception out: whatever escapes a body becomes the export's failure value.
//
// The library has no entry routine of its own: the runtime's default one
// returns success for every notification, and the context is a static object
// that the runtime constructs at load and destroys at unload.

#include "plugin/lexigrove.h"

#include "basiccpp/Log.h"
#include "plugin/Exports.h"
#include "plugin/Languages.h"
#include "plugin/Search.h"
#include "plugin/SearchContext.h"

#if defined(_WIN32)
// The export table is plugin-lexigrove.def.
#define LEXIGROVE_EXPORT
#else
// The library is built with hidden visibility; only these are exported.
#define LEXIGROVE_EXPORT __attribute__((visibility("default")))
#endif

namespace {

// Constructed when the library is loaded. Destroyed at unload: the online
// binding is released first, then the receive buffer and the results.
SearchContext theContext;

const char16_t kPluginName[] = u"Lexigrove";
const char16_t kPluginOwner[] = u"Brambix";

} // namespace

SearchContext& TheSearchContext() {
    return theContext;
}

extern "C" {

LEXIGROVE_EXPORT int32_t fnSearchWord(const char16_t* from, const char16_t* to,
                                      const char16_t* word) {
    try {
        return SearchWord(TheSearchContext(), from, to, word);
    } catch (...) {
        // Memory ran out while the buffer or the results grew: the search
        // fails, and what earlier searches left stays usable.
        return 0;
    }
}

LEXIGROVE_EXPORT int32_t fnGetSearchResultCount() {
    return static_cast<int32_t>(TheSearchContext().results.size());
}

LEXIGROVE_EXPORT int32_t fnGetSearchResult(int32_t index, char16_t* word, uint16_t wordCapacity,
                                           char16_t* name, uint16_t nameCapacity, char16_t* type,
                                           uint16_t typeCapacity) {
    try {
        return CopySearchResult(TheSearchContext(), index, word, wordCapacity, name, nameCapacity,
                                type, typeCapacity);
    } catch (...) {
        return 0;
    }
}

LEXIGROVE_EXPORT int32_t fnGetPluginName(char16_t* buffer, uint16_t capacity) {
    return CopyCutText(kPluginName, buffer, capacity);
}

LEXIGROVE_EXPORT int32_t fnGetPluginOwner(char16_t* buffer, uint16_t capacity) {
    return CopyCutText(kPluginOwner, buffer, capacity);
}

LEXIGROVE_EXPORT int32_t fnGetSupportedFromLanguages(char16_t* buffer) {
    return AppendLanguageCodes(buffer);
}

LEXIGROVE_EXPORT int32_t fnGetSupportedToLanguages(char16_t* buffer) {
    // Source and target languages are the same list.
    return fnGetSupportedFromLanguages(buffer);
}

} // extern "C"

// Exported under its C++ name; on 32-bit Windows the .def file gives it the
// MSVC-decorated name instead.
LEXIGROVE_EXPORT void fnSetLog(CAbstractLog* log) {
    basiccpp::SetLog(log);
}
