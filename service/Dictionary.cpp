#include "service/Dictionary.h"

#include "basiccpp/Ascii.h"

#include <algorithm>

namespace service {

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

using ascii::Trimmed;

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
