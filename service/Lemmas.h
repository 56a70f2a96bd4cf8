// The dictionary forms (lemmas) of a word as a text writes it ("maisons" ->
// "maison", "went" -> "go", "taloissa" -> "talo"), from the morphology data
// Debian installs: Hunspell's dictionaries, WordNet's exception lists for
// English and Voikko for Finnish. Never suggests spellings. A language's data
// is loaded when a word of that language first needs it; safe to call from
// several threads at once (each language's Hunspell and Voikko objects are
// used under a lock of their own).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace service {

// Where the morphology data is installed.
struct MorphologyFolders {
    std::string hunspell = "/usr/share/hunspell";
    std::string wordnet = "/usr/share/wordnet";
};

class Lemmas {
public:
    explicit Lemmas(MorphologyFolders folders = {});
    ~Lemmas();
    Lemmas(const Lemmas&) = delete;
    Lemmas& operator=(const Lemmas&) = delete;

    // The lemmas of word in the language of a client code, most likely
    // first, each once, none equal to word ignoring letter case. Empty when
    // the language has no data installed, when the data knows no lemma, and
    // for a phrase (a word with a blank in it) or a word over 100 bytes.
    std::vector<std::string> Of(std::string_view code, std::string_view word);

    // What gives the lemmas of a language, from the data installed now
    // ("Hunspell en_US, WordNet exception lists", "Voikko"); empty when it
    // has none (the word is then only folded).
    std::string Sources(std::string_view code) const;

private:
    struct Language;
    Language* For(std::string_view code);

    MorphologyFolders folders_;
    std::mutex mutex_; // guards languages_' structure
    std::vector<std::unique_ptr<Language>> languages_;
};

} // namespace service
