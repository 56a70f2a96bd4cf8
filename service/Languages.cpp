#include "service/Languages.h"

#include "basiccpp/Ascii.h"
#include "plugin/Languages.h"

#include <dirent.h>

#include <algorithm>
#include <set>
#include <utility>

namespace service {

namespace {

// The FreeDict languages each client code reads, in the order they are
// tried. The codes themselves come from the plugin's table; every code of
// that table has a row here, and every row names a code of it (a test holds
// the two together). Chinese is read from the CC-CEDICT dictionaries set-up
// converts: "zho-hans" has the simplified headwords, "zho-hant" the
// traditional ones. Korean, Thai, Ukrainian and Urdu have no FreeDict
// dictionary with another language of the table in Debian; their names are
// kept so that a folder that has such files serves them.
const std::vector<std::pair<std::string_view, std::vector<std::string>>>& FreeDictNames() {
    static const std::vector<std::pair<std::string_view, std::vector<std::string>>> kNames = {
        {"zh-cn", {"zho-hans"}}, {"zh-tw", {"zho-hant"}},
        {"da", {"dan"}},         {"nl", {"nld"}},
        {"en", {"eng"}},         {"fi", {"fin"}},
        {"fr", {"fra"}},         {"de", {"deu"}},
        {"el", {"ell"}},         {"hu", {"hun"}},
        {"it", {"ita"}},         {"ja", {"jpn"}},
        {"ko", {"kor"}},         {"no", {"nor", "nob", "nno"}},
        {"pl", {"pol"}},         {"pt", {"por"}},
        {"pt-br", {"por"}},      {"ru", {"rus"}},
        {"sl", {"slv"}},         {"es", {"spa"}},
        {"sv", {"swe"}},         {"th", {"tha"}},
        {"uk", {"ukr"}},         {"tr", {"tur"}},
        {"ur", {"urd"}},         {"ar", {"ara"}},
    };
    return kNames;
}

// The makers of dictd files the service reads, as their file names begin.
constexpr const char* kSources[] = {"freedict-", "cedict-"};

// A code of the plugin's table as narrow text (the codes are ASCII).
std::string Narrow(const char16_t* code) {
    std::string out;
    for (; *code != 0; ++code) {
        out += static_cast<char>(*code);
    }
    return out;
}

} // namespace

const std::vector<std::string>& DictionaryLanguages(std::string_view code) {
    static const std::vector<std::string> kNone;
    const std::string lower = ascii::Lowered(code);
    for (const auto& [client, names] : FreeDictNames()) {
        if (lower == client) {
            return names;
        }
    }
    return kNone;
}

const std::vector<std::string>& ClientCodes() {
    static const std::vector<std::string> kCodes = [] {
        std::vector<std::string> codes;
        for (const LanguageEntry& language : kLanguages) {
            std::string code = Narrow(language.code);
            if (std::find(codes.begin(), codes.end(), code) == codes.end()) {
                codes.push_back(std::move(code));
            }
        }
        return codes;
    }();
    return kCodes;
}

std::vector<std::string> NamedCodes() {
    std::vector<std::string> codes;
    for (const auto& row : FreeDictNames()) {
        codes.emplace_back(row.first);
    }
    return codes;
}

std::vector<Direction> ServedDirections(const std::string& folder) {
    std::set<std::string> files;
    if (DIR* dir = opendir(folder.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            const std::string suffix = ".index";
            if (name.size() > suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                files.insert(name.substr(0, name.size() - suffix.size()));
            }
        }
        closedir(dir);
    }
    std::vector<Direction> out;
    for (const std::string& from : ClientCodes()) {
        for (const std::string& to : ClientCodes()) {
            if (from == to) {
                continue;
            }
            Direction found;
            for (bool reversed : {false, true}) {
                for (const std::string& a : DictionaryLanguages(from)) {
                    for (const std::string& b : DictionaryLanguages(to)) {
                        for (const char* source : kSources) {
                            const std::string file =
                                std::string(source) + (reversed ? b + "-" + a : a + "-" + b);
                            if (a != b && found.file.empty() && files.count(file) != 0) {
                                found = {from, to, file, reversed};
                            }
                        }
                    }
                }
            }
            if (!found.file.empty()) {
                out.push_back(found);
            }
        }
    }
    return out;
}

} // namespace service
