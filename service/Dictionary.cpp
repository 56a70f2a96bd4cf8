#include "service/Dictionary.h"

#include "basiccpp/Ascii.h"
#include "service/IndexCheck.h"

#include <algorithm>

namespace service {

const char* const kPlainTranslation = "translation";

namespace {

// Lower case of a code point in U+0080..U+07FF; the code point itself when it
// has none there.
uint32_t LowerTwoByte(uint32_t cp) {
    if ((cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) || (cp >= 0x391 && cp <= 0x3AB && cp != 0x3A2) ||
        (cp >= 0x410 && cp <= 0x42F)) {
        return cp + 0x20;
    }
    if ((cp >= 0x100 && cp <= 0x137 && cp != 0x130) || (cp >= 0x14A && cp <= 0x177) ||
        (cp >= 0x460 && cp <= 0x481) || (cp >= 0x48A && cp <= 0x4BF)) {
        return (cp % 2 == 0) ? cp + 1 : cp;
    }
    if ((cp >= 0x139 && cp <= 0x148) || (cp >= 0x179 && cp <= 0x17E)) {
        return (cp % 2 == 1) ? cp + 1 : cp;
    }
    if (cp >= 0x400 && cp <= 0x40F) {
        return cp + 0x50;
    }
    switch (cp) {
    case 0x178:
        return 0xFF;
    case 0x386:
        return 0x3AC;
    case 0x388:
    case 0x389:
    case 0x38A:
        return cp + 0x25;
    case 0x38C:
        return 0x3CC;
    case 0x38E:
    case 0x38F:
        return cp + 0x3F;
    default:
        return cp;
    }
}

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
    };
    const std::string lower = ascii::Lowered(tag);
    for (const auto& [name, pos] : kTags) {
        if (lower == name) {
            return pos;
        }
    }
    return {};
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

// Splits a sense at the commas that stand outside brackets of any kind.
std::vector<std::string_view> SplitTranslations(std::string_view sense) {
    std::vector<std::string_view> parts;
    int depth = 0;
    size_t start = 0;
    for (size_t i = 0; i < sense.size(); ++i) {
        const char c = sense[i];
        if (c == '(' || c == '[' || c == '{' || c == '<') {
            ++depth;
        } else if ((c == ')' || c == ']' || c == '}' || c == '>') && depth > 0) {
            --depth;
        } else if ((c == ',' || c == ';') && depth == 0) {
            parts.push_back(sense.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(sense.substr(start));
    return parts;
}

// Removes a leading "N." sense number; true when there was one.
bool DropNumber(std::string_view* line) {
    size_t digits = 0;
    while (digits < line->size() && (*line)[digits] >= '0' && (*line)[digits] <= '9') {
        ++digits;
    }
    if (digits > 0 && digits < line->size() && (*line)[digits] == '.' &&
        (digits + 1 == line->size() || IsBlank((*line)[digits + 1]))) {
        *line = Trimmed(line->substr(digits + 1));
        return true;
    }
    return false;
}

// Removes a leading Roman section numeral ("I.", "II.", "IV."); true when
// there was one.
bool DropRomanNumeral(std::string_view* line) {
    size_t letters = 0;
    while (letters < line->size() && letters < 5 &&
           ((*line)[letters] == 'I' || (*line)[letters] == 'V' || (*line)[letters] == 'X')) {
        ++letters;
    }
    if (letters > 0 && letters < line->size() && (*line)[letters] == '.' &&
        (letters + 1 == line->size() || IsBlank((*line)[letters + 1]))) {
        *line = Trimmed(line->substr(letters + 1));
        return true;
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

uint64_t DecodeBase64Number(std::string_view text, bool* ok) {
    uint64_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= 'A' && c <= 'Z') {
            digit = c - 'A';
        } else if (c >= 'a' && c <= 'z') {
            digit = c - 'a' + 26;
        } else if (c >= '0' && c <= '9') {
            digit = c - '0' + 52;
        } else if (c == '+') {
            digit = 62;
        } else if (c == '/') {
            digit = 63;
        } else {
            *ok = false;
            return 0;
        }
        if (value > (UINT64_MAX >> 6)) {
            *ok = false;
            return 0;
        }
        value = value * 64 + static_cast<uint64_t>(digit);
    }
    if (text.empty()) {
        *ok = false;
    }
    return value;
}

// The headword as the entry's first line writes it (the index may hold it in
// lower case), when that agrees with the index; the index's otherwise.
std::string EntryHeadword(std::string_view text, std::string_view indexed) {
    std::string_view line = text.substr(0, text.find('\n'));
    const size_t marks =
        line.find(" /") != std::string_view::npos ? line.find(" /") : line.find(" <");
    line = Trimmed(line.substr(0, marks));
    if (line.size() == indexed.size() && FoldCase(line) == FoldCase(indexed)) {
        return std::string(line);
    }
    return std::string(indexed);
}

void AddUnique(std::vector<Translation>* list, Translation item) {
    for (const Translation& t : *list) {
        if (t.name == item.name && t.type == item.type) {
            return;
        }
    }
    list->push_back(std::move(item));
}

} // namespace

std::string FoldCase(std::string_view text) {
    std::string out(text);
    // A raw loop: the whole index of a large dictionary is folded at load.
    auto* p = reinterpret_cast<unsigned char*>(out.data());
    const size_t size = out.size();
    for (size_t i = 0; i < size; ++i) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            if (c >= 'A' && c <= 'Z') {
                p[i] = static_cast<unsigned char>(c + 32);
            }
        } else if (c >= 0xC2 && c <= 0xDF && i + 1 < size && (p[i + 1] & 0xC0) == 0x80) {
            const uint32_t lower = LowerTwoByte(((c & 0x1Fu) << 6) | (p[i + 1] & 0x3Fu));
            p[i] = static_cast<unsigned char>(0xC0 | (lower >> 6));
            p[i + 1] = static_cast<unsigned char>(0x80 | (lower & 0x3F));
            ++i;
        }
    }
    return out;
}

std::vector<Translation> ParseEntry(std::string_view text, bool definitionLines) {
    std::vector<Translation> out;
    size_t end = text.find('\n');
    std::string entryType;
    StripGroups(text.substr(0, end), &entryType);
    std::string lineType;  // from a "<N>" section mark or a "(noun)" line
    bool numbered = false; // the entry numbers its senses
    bool typeOpen = false; // a type line waits for the sense it introduces
    while (end != std::string_view::npos) {
        const size_t start = end + 1;
        end = text.find('\n', start);
        const std::string_view line = text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        // Examples (6 spaces), synonyms (3) and notes (9) are indented deeper
        // than senses, which start in the first or second column.
        if (line.size() >= 2 && IsBlank(line[0]) && IsBlank(line[1])) {
            continue;
        }
        const bool indented = !line.empty() && IsBlank(line[0]);
        std::string_view sense = Trimmed(line);
        if (sense.empty() || sense.substr(0, 4) == "see:") {
            continue;
        }
        bool senseNumber = false;
        for (bool more = true; more;) {
            more = false;
            if (DropRomanNumeral(&sense)) {
                lineType.clear();
                more = true;
            }
            if (!sense.empty() && sense.front() == '<') {
                const size_t close = sense.find('>');
                if (close != std::string_view::npos) {
                    lineType = std::string(GroupType(sense.substr(1, close - 1)));
                    sense = Trimmed(sense.substr(close + 1));
                    more = true;
                }
            }
            if (DropNumber(&sense)) {
                senseNumber = true;
                more = true;
            }
        }
        const bool opensNext = DropTrailingNumber(&sense);
        numbered = numbered || senseNumber;
        if (IsWhollyParenthesised(sense) || (!sense.empty() && sense.front() == '{')) {
            // A part-of-speech line, a usage note or a cross-reference: the
            // sense it introduces comes on the next line.
            if (sense.front() == '(') {
                const std::string_view type = ParenthesisedType(sense);
                if (!type.empty()) {
                    lineType = std::string(type);
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
        numbered = numbered || definitionLines;
        for (std::string_view part : SplitTranslations(sense)) {
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

bool Dictionary::Load(const std::string& folder, const std::string& name, std::string* error) {
    const std::string base = folder + "/" + name;
    if (!ReadWholeFile(base + ".index", &index_)) {
        *error = "cannot read " + base + ".index";
        return false;
    }
    if (index_.size() > UINT32_MAX) {
        *error = base + ".index is too large";
        return false;
    }
    std::string dataError;
    if (!data_.Open(base + ".dict.dz", &dataError) && !data_.Open(base + ".dict", error)) {
        *error = dataError + "; " + *error;
        return false;
    }
    if (!CheckIndex(index_, data_.TextSize(), base + ".index", error)) {
        return false;
    }
    folded_ = FoldCase(index_);
    records_.clear();
    definitionLines_ = false;
    size_t at = 0;
    while (at < index_.size()) {
        size_t end = index_.find('\n', at);
        if (end == std::string::npos) {
            end = index_.size();
        }
        const std::string_view line(index_.data() + at, end - at);
        const size_t tab1 = line.find('\t');
        const size_t tab2 = tab1 == std::string_view::npos ? tab1 : line.find('\t', tab1 + 1);
        if (tab2 != std::string_view::npos) {
            const size_t tab3 = line.find('\t', tab2 + 1);
            bool ok = true;
            const uint64_t offset = DecodeBase64Number(line.substr(tab1 + 1, tab2 - tab1 - 1), &ok);
            const uint64_t size = DecodeBase64Number(
                line.substr(tab2 + 1, tab3 == std::string_view::npos ? tab3 : tab3 - tab2 - 1),
                &ok);
            const std::string_view headword = line.substr(0, tab1);
            if (ok && (headword == "00databaseshort" || headword == "00-database-short")) {
                std::string about;
                definitionLines_ =
                    data_.Read(offset, size, &about) && about.find("WikDict") != std::string::npos;
            }
            // The "00database..." entries describe the dictionary itself.
            if (ok && !headword.empty() && headword.substr(0, 10) != "00database" &&
                headword.substr(0, 11) != "00-database") {
                records_.push_back(
                    {static_cast<uint32_t>(at), static_cast<uint32_t>(tab1), offset, size});
            }
        }
        at = end + 1;
    }
    // dictd writes its index sorted, which makes the sort a check.
    auto byKey = [this](const Record& a, const Record& b) { return Key(a) < Key(b); };
    if (!std::is_sorted(records_.begin(), records_.end(), byKey)) {
        std::stable_sort(records_.begin(), records_.end(), byKey);
    }
    reversed_ = false;
    return true;
}

void Dictionary::LoadReversed(Dictionary& forward) {
    reversed_ = true;
    reverse_.clear();
    // Index order, so the translations of a reversed headword follow the
    // forward dictionary's order.
    std::vector<Record> inOrder = forward.records_;
    std::sort(inOrder.begin(), inOrder.end(),
              [](const Record& a, const Record& b) { return a.at < b.at; });
    std::string text;
    for (const Record& r : inOrder) {
        if (!forward.data_.Read(r.offset, r.size, &text)) {
            continue;
        }
        const std::string headword(forward.index_.data() + r.at, r.length);
        for (Translation& t : ParseEntry(text, forward.definitionLines_)) {
            Entry& entry = reverse_[FoldCase(t.name)];
            if (entry.headword.empty()) {
                entry.headword = t.name;
            }
            AddUnique(&entry.translations, {headword, t.type});
        }
    }
}

bool Dictionary::Lookup(std::string_view word, std::vector<Entry>* out) {
    out->clear();
    const std::string key = FoldCase(Trimmed(word));
    if (key.empty()) {
        return true;
    }
    if (reversed_) {
        auto found = reverse_.find(key);
        if (found != reverse_.end()) {
            out->push_back(found->second);
        }
        return true;
    }
    auto range = std::equal_range(
        records_.begin(), records_.end(), key, [this](const auto& a, const auto& b) {
            if constexpr (std::is_same_v<std::decay_t<decltype(a)>, Record>) {
                return Key(a) < std::string_view(b);
            } else {
                return std::string_view(a) < Key(b);
            }
        });
    std::string text;
    for (auto it = range.first; it != range.second; ++it) {
        if (!data_.Read(it->offset, it->size, &text)) {
            return false;
        }
        Entry entry{EntryHeadword(text, std::string_view(index_.data() + it->at, it->length)),
                    ParseEntry(text, definitionLines_)};
        if (!entry.translations.empty()) {
            out->push_back(std::move(entry));
        }
    }
    return true;
}

} // namespace service
