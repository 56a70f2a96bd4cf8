// The text of one FreeDict entry as dictd stores it: the headword line, the
// senses and their labels, read into the translations a person would write
// down. Knows nothing of the index or of looking words up.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace service {

struct Translation {
    std::string name; // the translation as the entry writes it, annotations removed
    std::string type; // part of speech ("noun", "verb", ...) or "translation"
};

struct Entry {
    std::string headword;
    std::vector<Translation> translations;
};

// The label used when neither the translation nor its entry names a part of
// speech.
extern const char* const kPlainTranslation;

// Reads the text of one FreeDict entry: a headword line ("word /ipa/ <pos>"),
// then one line per sense (optionally numbered "1. "), each a comma-separated
// list of translations that may carry their own "<pos, gender>" groups.
// Indented example, note and synonym lines and "see:" references are skipped.
// Each translation becomes one item, duplicates dropped, in order.
// definitionLines: the dictionary follows each line of translations with a
// definition in the headword's own language (the WikDict-made FreeDict
// dictionaries do), so an unnumbered line after translations is left out
// even in an entry that does not number its senses.
// commasInNames: only semicolons separate the translations of a sense, as
// in CC-CEDICT's ("COVID-19, the coronavirus disease identified in 2019").
std::vector<Translation> ParseEntry(std::string_view text, bool definitionLines = false,
                                    bool commasInNames = false);

// The headword as the entry's first line writes it: the line without its
// pronunciation and grammar groups.
std::string_view HeadwordLine(std::string_view text);

// Appends item unless the list already has one of the same name and type.
void AddUnique(std::vector<Translation>* list, Translation item);

} // namespace service
