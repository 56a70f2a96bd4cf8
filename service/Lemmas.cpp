#include "service/Lemmas.h"

#include "basiccpp/Ascii.h"
#include "service/Folding.h"

#include <hunspell.hxx>
#include <iconv.h>
#include <libvoikko/voikko.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <unordered_map>

namespace service {

namespace {

// The Hunspell dictionary (base name in the Hunspell folder) of each client
// code whose language Debian has one for.
std::string_view HunspellName(std::string_view code) {
    static const std::pair<std::string_view, std::string_view> kNames[] = {
        {"ar", "ar"},    {"da", "da_DK"}, {"de", "de_DE"}, {"el", "el_GR"},    {"en", "en_US"},
        {"es", "es_ES"}, {"fr", "fr"},    {"hu", "hu_HU"}, {"it", "it_IT"},    {"nl", "nl"},
        {"no", "nb_NO"}, {"pl", "pl_PL"}, {"pt", "pt_PT"}, {"pt-br", "pt_BR"}, {"ru", "ru_RU"},
        {"sl", "sl_SI"}, {"sv", "sv_SE"}, {"tr", "tr_TR"},
    };
    for (const auto& [client, name] : kNames) {
        if (ascii::EqualsIgnoringCase(code, client)) {
            return name;
        }
    }
    return {};
}

bool Exists(const std::string& path) {
    return access(path.c_str(), R_OK) == 0;
}

constexpr const char* kWordNetLists[] = {"noun.exc", "verb.exc", "adj.exc", "adv.exc"};

// Converts text between the service's UTF-8 and a Hunspell dictionary's own
// encoding; false when a character has no place in the target encoding.
class Converter {
public:
    Converter(const std::string& to, const std::string& from)
        : cd_(iconv_open(to.c_str(), from.c_str())) {}
    ~Converter() {
        if (cd_ != reinterpret_cast<iconv_t>(-1)) {
            iconv_close(cd_);
        }
    }
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;
    bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    bool Convert(std::string_view in, std::string* out) {
        out->clear();
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        std::string input(in);
        char* inAt = input.data();
        size_t inLeft = input.size();
        char buffer[512];
        while (inLeft > 0) {
            char* outAt = buffer;
            size_t outLeft = sizeof buffer;
            const size_t n = iconv(cd_, &inAt, &inLeft, &outAt, &outLeft);
            out->append(buffer, static_cast<size_t>(outAt - buffer));
            if (n == static_cast<size_t>(-1) && errno != E2BIG) {
                return false;
            }
        }
        return true;
    }

private:
    iconv_t cd_;
};

// Hunspell names some encodings as no iconv does.
std::string IconvName(std::string encoding) {
    if (ascii::StartsWithIgnoringCase(encoding, "microsoft-cp")) {
        return "CP" + encoding.substr(12);
    }
    if (ascii::StartsWithIgnoringCase(encoding, "ISO8859-")) {
        return "ISO-8859-" + encoding.substr(8);
    }
    return encoding;
}

} // namespace

struct Lemmas::Language {
    std::string code;
    std::once_flag once;
    std::mutex mutex; // Hunspell, Voikko and the converters are not thread-safe
    std::unique_ptr<Hunspell> hunspell;
    std::unique_ptr<Converter> toDictionary, fromDictionary; // null for UTF-8
    VoikkoHandle* voikko = nullptr;
    std::unordered_multimap<std::string, std::string> exceptions; // WordNet: form -> lemma

    ~Language() {
        if (voikko != nullptr) {
            voikkoTerminate(voikko);
        }
    }

    void Load(const MorphologyFolders& folders) {
        const std::string_view name = HunspellName(code);
        const std::string base = folders.hunspell + "/" + std::string(name);
        if (!name.empty() && Exists(base + ".aff") && Exists(base + ".dic")) {
            hunspell = std::make_unique<Hunspell>((base + ".aff").c_str(), (base + ".dic").c_str());
            const std::string encoding = IconvName(hunspell->get_dict_encoding());
            if (!ascii::EqualsIgnoringCase(encoding, "UTF-8")) {
                toDictionary = std::make_unique<Converter>(encoding, "UTF-8");
                fromDictionary = std::make_unique<Converter>("UTF-8", encoding);
                if (!toDictionary->ok() || !fromDictionary->ok()) {
                    hunspell.reset();
                }
            }
        }
        if (ascii::EqualsIgnoringCase(code, "en")) {
            for (const char* list : kWordNetLists) {
                std::ifstream in(folders.wordnet + "/" + list);
                std::string line;
                while (std::getline(in, line)) {
                    // "form lemma [lemma...]", the words of a phrase joined
                    // by '_'.
                    std::vector<std::string> words;
                    size_t at = 0;
                    while (at < line.size()) {
                        size_t end = line.find(' ', at);
                        if (end == std::string::npos) {
                            end = line.size();
                        }
                        if (end > at) {
                            words.push_back(line.substr(at, end - at));
                            std::replace(words.back().begin(), words.back().end(), '_', ' ');
                        }
                        at = end + 1;
                    }
                    for (size_t i = 1; i < words.size(); ++i) {
                        exceptions.emplace(words[0], words[i]);
                    }
                }
            }
        }
        if (ascii::EqualsIgnoringCase(code, "fi")) {
            const char* error = nullptr;
            voikko = voikkoInit(&error, "fi", nullptr);
        }
    }

    void Add(std::string lemma, const std::string& word, std::vector<std::string>* out) const {
        const std::string folded = FoldCase(lemma, CaseRulesFor(code));
        if (lemma.empty() || folded == FoldCase(word, CaseRulesFor(code))) {
            return;
        }
        for (const std::string& have : *out) {
            if (FoldCase(have, CaseRulesFor(code)) == folded) {
                return;
            }
        }
        out->push_back(std::move(lemma));
    }

    std::vector<std::string> Of(const std::string& word) {
        std::vector<std::string> out;
        // WordNet's irregular forms first: Hunspell takes many of them
        // (went, children) for words of their own.
        const std::string lower = FoldCase(word);
        const auto range = exceptions.equal_range(lower);
        for (auto it = range.first; it != range.second; ++it) {
            Add(it->second, word, &out);
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (hunspell != nullptr) {
            std::string inDictionary = word;
            if (toDictionary == nullptr || toDictionary->Convert(word, &inDictionary)) {
                for (std::string& stem : hunspell->stem(inDictionary)) {
                    std::string utf8 = stem;
                    if (fromDictionary == nullptr || fromDictionary->Convert(stem, &utf8)) {
                        Add(std::move(utf8), word, &out);
                    }
                }
            }
        }
        if (voikko != nullptr && out.empty()) {
            voikko_mor_analysis** analyses = voikkoAnalyzeWordCstr(voikko, word.c_str());
            for (size_t i = 0; analyses != nullptr && analyses[i] != nullptr; ++i) {
                char* base = voikko_mor_analysis_value_cstr(analyses[i], "BASEFORM");
                if (base != nullptr) {
                    Add(base, word, &out);
                    voikko_free_mor_analysis_value_cstr(base);
                }
            }
            if (analyses != nullptr) {
                voikko_free_mor_analysis(analyses);
            }
        }
        return out;
    }
};

Lemmas::Lemmas(MorphologyFolders folders) : folders_(std::move(folders)) {}

Lemmas::~Lemmas() = default;

Lemmas::Language* Lemmas::For(std::string_view code) {
    const std::string lower = ascii::Lowered(code);
    Language* language = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& l : languages_) {
            if (l->code == lower) {
                language = l.get();
            }
        }
        if (language == nullptr) {
            languages_.push_back(std::make_unique<Language>());
            language = languages_.back().get();
            language->code = lower;
        }
    }
    std::call_once(language->once, [&] { language->Load(folders_); });
    return language;
}

std::vector<std::string> Lemmas::Of(std::string_view code, std::string_view word) {
    const std::string_view trimmed = ascii::Trimmed(word);
    if (trimmed.empty() || trimmed.size() > 100 ||
        std::any_of(trimmed.begin(), trimmed.end(), [](char c) { return ascii::IsBlank(c); }) ||
        (HunspellName(code).empty() && !ascii::EqualsIgnoringCase(code, "en") &&
         !ascii::EqualsIgnoringCase(code, "fi"))) {
        return {};
    }
    return For(code)->Of(Nfc(trimmed));
}

std::string Lemmas::Sources(std::string_view code) const {
    std::string out;
    const std::string_view name = HunspellName(code);
    const std::string base = folders_.hunspell + "/" + std::string(name);
    if (!name.empty() && Exists(base + ".aff") && Exists(base + ".dic")) {
        out = "Hunspell " + std::string(name);
    }
    if (ascii::EqualsIgnoringCase(code, "en") && Exists(folders_.wordnet + "/verb.exc")) {
        out += out.empty() ? "WordNet exception lists" : ", WordNet exception lists";
    }
    if (ascii::EqualsIgnoringCase(code, "fi")) {
        const char* error = nullptr;
        if (VoikkoHandle* probe = voikkoInit(&error, "fi", nullptr)) {
            voikkoTerminate(probe);
            out = "Voikko";
        }
    }
    return out;
}

} // namespace service
