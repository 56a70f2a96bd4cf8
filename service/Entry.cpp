#include "service/Entry.h"

#include "basiccpp/Ascii.h"

namespace service {

const char* const kPlainTranslation = "translation";

namespace {

using ascii::IsBlank;
using ascii::Trimmed;

// Part of speech named by one grammar tag of the data (either case); empty
// for tags that are not one (gender, number, transitivity).
std::string_view PartOfSpeech(std::string_view tag) {
    static const std::pair<std::string_view, std::string_view> kTags[] = {
        {"n", "noun"},
        {"s", "noun"},
        {"v", "verb"},
        {"vt", "verb"},
        {"vi", "verb"},
        {"adj", "adjective"},
        {"adjt", "adjective"},
        {"adv", "adverb"},
        {"prep", "preposition"},
        {"pron", "pronoun"},
        {"conj", "conjunction"},
        {"int", "interjection"},
        {"inter", "interjection"},
        {"num", "numeral"},
        {"art", "article"},
        {"ptcl", "particle"},
        // The WikDict-made dictionaries write whole words.
        {"pn", "proper noun"},
        {"adverb", "adverb"},
        {"preposition", "preposition"},
        {"postposition", "postposition"},
        {"conjunction", "conjunction"},
        {"interjection", "interjection"},
        {"interj", "interjection"},
        {"particle", "particle"},
        {"article", "article"},
        {"determiner", "determiner"},
        {"det", "determiner"},
        {"prefix", "prefix"},
        {"suffix", "suffix"},
        {"affix", "affix"},
        {"abbreviation", "abbreviation"},
        {"acronym", "abbreviation"},
        {"abbr", "abbreviation"},
        {"idiom", "expression"},
        {"proverb", "expression"},
        {"phraseologicalunit", "expression"},
        {"modal", "verb"},
        {"symbol", "symbol"},
        {"letter", "letter"},
    };
    const std::string lower = ascii::Lowered(tag);
    for (const auto& [name, pos] : kTags) {
        if (lower == name) {
            return pos;
        }
    }
    // "personalpronoun", "cardinalnumeral", "ordinaladjective"; "V Phras"
    // and "N Comp" mark the sub-entries of the English-Polish dictionary.
    for (const std::string_view kind : {"pronoun", "numeral", "adjective"}) {
        if (lower.size() > kind.size() &&
            std::string_view(lower).substr(lower.size() - kind.size()) == kind) {
            return kind;
        }
    }
    const size_t space = lower.find(' ');
    return space == std::string::npos ? std::string_view{}
                                      : PartOfSpeech(std::string_view(tag).substr(0, space));
}

bool IsNounMark(std::string_view tag) {
    return tag == "masc" || tag == "fem" || tag == "neut" || tag == "sg" || tag == "pl" ||
           tag == "sg only" || tag == "pl only";
}

// The part of speech of a "<tag, tag, ...>" group's contents: the first tag
// that names one; "noun" when the group only gives gender or number.
std::string_view GroupType(std::string_view group) {
    bool noun = false;
    while (!group.empty()) {
        const size_t comma = group.find(',');
        const std::string_view tag = Trimmed(group.substr(0, comma));
        const std::string_view pos = PartOfSpeech(tag);
        if (!pos.empty()) {
            return pos;
        }
        noun = noun || IsNounMark(tag);
        if (comma == std::string_view::npos) {
            break;
        }
        group.remove_prefix(comma + 1);
    }
    return noun ? "noun" : std::string_view{};
}

// The part of speech a line written wholly in parentheses names, as the
// Japanese-English data marks its senses ("(noun (common) (futsuumeishi))",
// "(Godan verb with 'ku' ending)"); empty when it names none ("(nouns which
// may take the genitive case particle `no')").
std::string_view ParenthesisedType(std::string_view line) {
    static const std::pair<std::string_view, std::string_view> kFirstWords[] = {
        {"noun", "noun"},
        {"pronoun", "pronoun"},
        {"adverb", "adverb"},
        {"adjective", "adjective"},
        {"conjunction", "conjunction"},
        {"interjection", "interjection"},
        {"particle", "particle"},
        {"suffix", "suffix"},
        {"prefix", "prefix"},
        {"expressions", "expression"},
        {"numeric", "numeral"},
        {"counter", "counter"},
        {"auxiliary", "auxiliary"},
    };
    const std::string_view inner = line.substr(1);
    size_t wordEnd = 0;
    while (wordEnd < inner.size() && inner[wordEnd] >= 'a' && inner[wordEnd] <= 'z') {
        ++wordEnd;
    }
    const std::string_view first = inner.substr(0, wordEnd);
    for (const auto& [word, pos] : kFirstWords) {
        if (first == word) {
            return pos;
        }
    }
    if (first == "nouns") {
        return {};
    }
    if (inner.find(" verb") != std::string_view::npos || first == "verb") {
        return "verb";
    }
    if (inner.find("adjectival") != std::string_view::npos ||
        inner.find("adjective") != std::string_view::npos) {
        return "adjective";
    }
    return {};
}

// True when text is one bracketed group, "(...)" with nothing after its
// closing bracket.
bool IsWhollyParenthesised(std::string_view text) {
    if (text.size() < 2 || text.front() != '(') {
        return false;
    }
    int depth = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '(') {
            ++depth;
        } else if (text[i] == ')' && --depth == 0) {
            return i + 1 == text.size();
        }
    }
    return false;
}

// The end of a pronunciation "/.../" (or "//...//") that starts at text[at]
// after a space or at the start; npos when there is none there (a slash
// inside a word, as in "and/or", starts none).
size_t PronunciationEnd(std::string_view text, size_t at) {
    if (text[at] != '/' || (at > 0 && !IsBlank(text[at - 1]) && text[at - 1] != '(')) {
        return std::string_view::npos;
    }
    const bool doubled = at + 1 < text.size() && text[at + 1] == '/';
    const size_t close = text.find(doubled ? "//" : "/", at + (doubled ? 2 : 1));
    if (close == std::string_view::npos) {
        return close;
    }
    const size_t end = close + (doubled ? 2 : 1);
    if (end < text.size() && !IsBlank(text[end]) && text[end] != ',' && text[end] != ')') {
        return std::string_view::npos;
    }
    return end;
}

// One translation as the data writes it, made into the translation alone:
// "<...>" grammar groups removed (the first that names a part of speech
// gives *type), "[...]" domain labels and "/.../" pronunciations removed, an
// abbreviation written straight after a group ("avenue <n>Ave") dropped, a
// leading "- " removed, and whitespace runs made one space.
std::string StripGroups(std::string_view text, std::string* type) {
    std::string out;
    type->clear();
    size_t at = 0;
    while (at < text.size()) {
        const char c = text[at];
        if (c == '<' || c == '[') {
            const size_t close = text.find(c == '<' ? '>' : ']', at);
            if (close != std::string_view::npos) {
                if (c == '<' && type->empty()) {
                    *type = std::string(GroupType(text.substr(at + 1, close - at - 1)));
                }
                at = close + 1;
                if (c == '<' && at < text.size() && !IsBlank(text[at])) {
                    // The abbreviation of the translation ("St" after
                    // "street <n>") and, after it, its pronunciation: these
                    // belong to the translation's own language, not to the
                    // headword, and are left out.
                    break;
                }
                continue;
            }
        }
        if (c == '/') {
            const size_t end = PronunciationEnd(text, at);
            if (end != std::string_view::npos) {
                at = end;
                continue;
            }
        }
        if (IsBlank(c)) {
            if (!out.empty() && out.back() != ' ') {
                out += ' ';
            }
        } else {
            out += c;
        }
        ++at;
    }
    while (!out.empty() && out.back() == ' ') {
        out.pop_back();
    }
    if (out.size() >= 2 && out[0] == '-' && out[1] == ' ') {
        out.erase(0, 2);
    }
    if (out == "-") {
        out.clear();
    }
    return out;
}

// Splits a sense at the commas (unless commasInNames) and semicolons that
// stand outside brackets of any kind.
std::vector<std::string_view> SplitTranslations(std::string_view sense, bool commasInNames) {
    std::vector<std::string_view> parts;
    int depth = 0;
    size_t start = 0;
    for (size_t i = 0; i < sense.size(); ++i) {
        const char c = sense[i];
        if (c == '(' || c == '[' || c == '{' || c == '<') {
            ++depth;
        } else if ((c == ')' || c == ']' || c == '}' || c == '>') && depth > 0) {
            --depth;
        } else if (((c == ',' && !commasInNames) || c == ';') && depth == 0) {
            parts.push_back(sense.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(sense.substr(start));
    return parts;
}

// Removes a leading sense or section number: a run of the characters
// isNumeral accepts (at most maxLength of them) followed by "." and a blank or
// the end of the line. True when there was one.
template <class IsNumeral>
bool DropLeadingNumeral(std::string_view* line, size_t maxLength, IsNumeral isNumeral) {
    size_t length = 0;
    while (length < line->size() && length < maxLength && isNumeral((*line)[length])) {
        ++length;
    }
    if (length > 0 && length < line->size() && (*line)[length] == '.' &&
        (length + 1 == line->size() || IsBlank((*line)[length + 1]))) {
        *line = Trimmed(line->substr(length + 1));
        return true;
    }
    return false;
}

// A sense number ("2.").
bool DropNumber(std::string_view* line) {
    return DropLeadingNumeral(line, std::string_view::npos,
                              [](char c) { return c >= '0' && c <= '9'; });
}

// A letter that numbers a sense ("a.", "b.").
bool DropLetterNumber(std::string_view* line) {
    return DropLeadingNumeral(line, 1, [](char c) { return c >= 'a' && c <= 'z'; });
}

// A Roman section numeral ("I.", "II.", "IV.").
bool DropRomanNumeral(std::string_view* line) {
    return DropLeadingNumeral(line, 5, [](char c) { return c == 'I' || c == 'V' || c == 'X'; });
}

// The usage labels of the Japanese-English data (JMdict's), which its dictd
// text runs into the translation after them ("Note: archaismover there").
constexpr std::string_view kUsageLabels[] = {
    "word usually written using kana alone",
    "word usually written using kanji alone",
    "honorific or respectful (sonkeigo) language",
    "humble (kenjougo) language",
    "polite (teineigo) language",
    "onomatopoeic or mimetic word",
    "vulgar expression or word",
    "female term or language",
    "male term or language",
    "jocular, humorous term",
    "idiomatic expression",
    "children's language",
    "familiar language",
    "obsolete term",
    "obscure term",
    "poetical term",
    "colloquialism",
    "abbreviation",
    "manga slang",
    "yojijukugo",
    "derogatory",
    "sensitive",
    "archaism",
    "proverb",
    "slang",
};

// The translation a note line carries after its usage label; empty for a
// note that is only a label, or no label ("Note: of trees").
std::string_view LabelledTranslation(std::string_view note) {
    for (const std::string_view label : kUsageLabels) {
        if (note.substr(0, label.size()) != label) {
            continue;
        }
        std::string_view rest = note.substr(label.size());
        // The label's own qualifier: "(after the -te form of a verb)".
        if (!rest.empty() && rest.front() == ' ' && rest.size() > 1 && rest[1] == '(') {
            const size_t close = rest.find(')');
            rest = close == std::string_view::npos ? std::string_view{} : rest.substr(close + 1);
        }
        return rest.empty() || IsBlank(rest.front()) || rest.front() == ',' || rest.front() == ';'
                   ? std::string_view{}
                   : Trimmed(rest);
    }
    return {};
}

// A sub-entry's headword line in the English-Polish data: the English phrase
// with a grammar reference to its words, "bend double (bend V: :double)",
// "orientate oneself (orientate V: PROREFL)". Its translations follow on
// lines of their own.
bool IsSubEntryPhrase(std::string_view line) {
    for (size_t open = line.find('('); open != std::string_view::npos;
         open = line.find('(', open + 1)) {
        const size_t close = line.find(')', open);
        const std::string_view inner = line.substr(open + 1, close - open - 1);
        const size_t space = inner.find(' ');
        const size_t colon = inner.find(':');
        if (close != std::string_view::npos && space != std::string_view::npos &&
            colon != std::string_view::npos && space < colon && space + 1 < inner.size() &&
            inner[space + 1] >= 'A' && inner[space + 1] <= 'Z') {
            return true;
        }
    }
    return false;
}

// Removes a trailing " N." that opens the next sense at the end of a line
// ("hus 2."); true when there was one.
bool DropTrailingNumber(std::string_view* line) {
    size_t at = line->size();
    if (at < 2 || (*line)[at - 1] != '.') {
        return false;
    }
    --at;
    const size_t digitsEnd = at;
    while (at > 0 && (*line)[at - 1] >= '0' && (*line)[at - 1] <= '9') {
        --at;
    }
    if (at == digitsEnd || (at > 0 && !IsBlank((*line)[at - 1]))) {
        return false;
    }
    *line = Trimmed(line->substr(0, at));
    return true;
}

} // namespace

std::string_view HeadwordLine(std::string_view text) {
    std::string_view line = text.substr(0, text.find('\n'));
    const size_t marks =
        line.find(" /") != std::string_view::npos ? line.find(" /") : line.find(" <");
    return Trimmed(line.substr(0, marks));
}

void AddUnique(std::vector<Translation>* list, Translation item) {
    for (const Translation& t : *list) {
        if (t.name == item.name && t.type == item.type) {
            return;
        }
    }
    list->push_back(std::move(item));
}

std::vector<Translation> ParseEntry(std::string_view text, bool definitionLines,
                                    bool commasInNames) {
    std::vector<Translation> out;
    size_t end = text.find('\n');
    std::string entryType;
    StripGroups(text.substr(0, end), &entryType);
    std::string lineType;  // from a "<N>" section mark or a "(noun)" line
    bool numbered = false; // the entry numbers its senses
    bool typeOpen = false; // a type line waits for the sense it introduces
    bool typeSet = false;  // ... and has named its part of speech
    while (end != std::string_view::npos) {
        const size_t start = end + 1;
        end = text.find('\n', start);
        const std::string_view line = text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        size_t blanks = 0;
        while (blanks < line.size() && IsBlank(line[blanks])) {
            ++blanks;
        }
        std::string_view sense = Trimmed(line);
        // Examples (6 spaces), synonyms (3) and notes (9) are indented deeper
        // than senses, which start in the first or second column, or in the
        // third in the English-Polish data. A note that runs a usage label
        // into a translation is that translation.
        if (blanks > 2) {
            sense = sense.substr(0, 6) == "Note: " ? LabelledTranslation(sense.substr(6))
                                                   : std::string_view{};
        }
        const bool indented = blanks > 0;
        if (sense.empty() || sense.substr(0, 4) == "see:") {
            continue;
        }
        bool senseNumber = false;
        bool subEntry = false; // "<V Phras>double back   nawracać"
        for (bool more = true; more;) {
            more = false;
            if (DropRomanNumeral(&sense)) {
                lineType.clear();
                senseNumber = true;
                more = true;
            }
            if (!sense.empty() && sense.front() == '<') {
                const size_t close = sense.find('>');
                if (close != std::string_view::npos) {
                    const std::string_view group = sense.substr(1, close - 1);
                    lineType = std::string(GroupType(group));
                    subEntry = group.find(' ') != std::string_view::npos &&
                               (group.find("Phras") != std::string_view::npos ||
                                group.find("Comp") != std::string_view::npos);
                    sense = Trimmed(sense.substr(close + 1));
                    senseNumber = senseNumber || subEntry;
                    more = true;
                }
            }
            if (DropNumber(&sense) || DropLetterNumber(&sense)) {
                senseNumber = true;
                typeSet = false;
                more = true;
            }
        }
        if (subEntry) {
            // The sub-entry's phrase, then its translation after a wide gap.
            const size_t gap = sense.find("   ");
            sense = gap == std::string_view::npos ? sense : Trimmed(sense.substr(gap));
        }
        // Cross-references ("{江戸紫}") that the Japanese-English data runs
        // into the translation after them.
        while (!sense.empty() && sense.front() == '{' &&
               sense.find('}') != std::string_view::npos) {
            const std::string_view rest = Trimmed(sense.substr(sense.find('}') + 1));
            if (rest.empty()) {
                break;
            }
            sense = rest.front() == ',' ? Trimmed(rest.substr(1)) : rest;
        }
        const bool opensNext = DropTrailingNumber(&sense);
        numbered = numbered || senseNumber;
        if (IsSubEntryPhrase(sense)) {
            continue;
        }
        if (IsWhollyParenthesised(sense) || (!sense.empty() && sense.front() == '{')) {
            // A part-of-speech line, a usage note or a cross-reference: the
            // sense it introduces comes on the next line. Of two
            // part-of-speech lines the first names the sense's.
            if (sense.front() == '(') {
                const std::string_view type = ParenthesisedType(sense);
                if (!type.empty() && !typeSet) {
                    lineType = std::string(type);
                    typeSet = true;
                }
            }
            typeOpen = true;
            numbered = numbered || opensNext;
            continue;
        }
        // In an entry that numbers its senses, an unnumbered line in the first
        // column after a sense is that sense's definition in the headword's
        // own language, not a translation.
        const bool gloss = numbered && !senseNumber && !indented && !typeOpen;
        numbered = numbered || opensNext;
        if (sense.empty() || gloss) {
            continue;
        }
        typeOpen = false;
        typeSet = false;
        numbered = numbered || definitionLines;
        for (std::string_view part : SplitTranslations(sense, commasInNames)) {
            std::string type;
            std::string name = StripGroups(Trimmed(part), &type);
            if (name.empty()) {
                continue;
            }
            if (type.empty()) {
                type = !lineType.empty()    ? lineType
                       : !entryType.empty() ? entryType
                                            : std::string(kPlainTranslation);
            }
            AddUnique(&out, {std::move(name), std::move(type)});
        }
    }
    return out;
}

} // namespace service
