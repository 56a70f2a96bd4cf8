#include "service/Languages.h"

#include <dirent.h>

#include <set>
#include <utility>

namespace service {

namespace {

// The plugin's language table, each code once, with the FreeDict languages
// it reads. Chinese (both scripts), Korean, Thai, Ukrainian and Urdu have no
// FreeDict dictionary with another language of the table in Debian; their
// names are kept so that a folder that has such files serves them.
const std::vector<std::pair<std::string, std::vector<std::string>>>& Table() {
    static const std::vector<std::pair<std::string, std::vector<std::string>>> kTable = {
        {"zh-cn", {}},      {"zh-tw", {}},
        {"da", {"dan"}},    {"nl", {"nld"}},
        {"en", {"eng"}},    {"fi", {"fin"}},
        {"fr", {"fra"}},    {"de", {"deu"}},
        {"el", {"ell"}},    {"hu", {"hun"}},
        {"it", {"ita"}},    {"ja", {"jpn"}},
        {"ko", {"kor"}},    {"no", {"nor", "nob", "nno"}},
        {"pl", {"pol"}},    {"pt", {"por"}},
        {"pt-br", {"por"}}, {"ru", {"rus"}},
        {"sl", {"slv"}},    {"es", {"spa"}},
        {"sv", {"swe"}},    {"th", {"tha"}},
        {"uk", {"ukr"}},    {"tr", {"tur"}},
        {"ur", {"urd"}},    {"ar", {"ara"}},
    };
    return kTable;
}

} // namespace

const std::vector<std::string>& DictionaryLanguages(std::string_view code) {
    static const std::vector<std::string> kNone;
    std::string lower(code);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + 32);
        }
    }
    for (const auto& [client, names] : Table()) {
        if (lower == client) {
            return names;
        }
    }
    return kNone;
}

const std::vector<std::string>& ClientCodes() {
    static const std::vector<std::string> kCodes = [] {
        std::vector<std::string> codes;
        for (const auto& entry : Table()) {
            codes.push_back(entry.first);
        }
        return codes;
    }();
    return kCodes;
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
                        const std::string file =
                            reversed ? "freedict-" + b + "-" + a : "freedict-" + a + "-" + b;
                        if (a != b && found.file.empty() && files.count(file) != 0) {
                            found = {from, to, file, reversed};
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
