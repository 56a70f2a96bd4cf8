// The one process-wide state of the plugin: the results every search
// appended, the receive buffer, and the online library with its download
// object. Created when the library loads, destroyed when it unloads.
#pragma once

#include "online/Online.h"

#include <string>
#include <vector>

// One dictionary hit.
struct SearchResult {
    std::u16string word; // the headword the service returned
    std::u16string name; // one translation or related form
    std::u16string type; // the kind of that translation
};

struct SearchContext {
    // Members are destroyed in reverse order: the binding is released first,
    // then the buffer and the results.
    std::vector<SearchResult> results;
    online::ReceiveBuffer buffer;
    online::Binding binding;
};

// The context of the loaded plugin (defined in plugin-lexigrove.cpp).
SearchContext& TheSearchContext();
