#include "host/Options.h"

#include "host/Text.h"

namespace host {

const char kUsageText[] =
    "usage: lexigrove-lookup [WORD...] --from CODE --to CODE [--stdin] [--json] [--plugin PATH]\n"
    "       lexigrove-lookup --languages [--plugin PATH]\n"
    "       lexigrove-lookup --info [--json] [--plugin PATH]\n"
    "Looks each WORD up through the dictionary plugin and prints the entries each\n"
    "search added (word, name, type); --json prints one JSON object per entry.\n"
    "--stdin looks up the lines of standard input too (UTF-8, one word a line),\n"
    "after the WORDs. With more than one word, or --stdin, the table has a block\n"
    "per word: the word, then its entries indented, or why there are none.\n"
    "--languages lists the plugin's language codes, --info its name and owner.\n"
    "The plugin is plugin-lexigrove beside this program unless --plugin names one.\n"
    "Exit status: 0 entries found for every word, 1 a word without entries,\n"
    "2 a failed search, a refused input line or an unusable plugin, 64 bad usage.\n";

bool ParseOptions(const std::vector<std::u16string>& arguments, Options* options,
                  std::string* error) {
    *options = Options();
    bool languages = false, info = false, help = false, optionsEnded = false;
    bool haveFrom = false, haveTo = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::u16string arg = arguments[i];
        if (optionsEnded || arg.size() < 2 || arg.compare(0, 1, u"-") != 0) {
            options->words.push_back(arg);
            continue;
        }
        if (arg == u"--") {
            optionsEnded = true;
            continue;
        }
        std::u16string value;
        bool inlineValue = false;
        const size_t eq = arg.find(u'=');
        if (arg.compare(0, 2, u"--") == 0 && eq != std::u16string::npos) {
            value = arg.substr(eq + 1);
            arg.resize(eq);
            inlineValue = true;
        }
        auto takeValue = [&](std::u16string* into) {
            if (inlineValue) {
                *into = value;
            } else if (i + 1 < arguments.size()) {
                *into = arguments[++i];
            } else {
                *error = ToUtf8(arg) + " needs a value";
                return false;
            }
            if (into->empty()) {
                *error = ToUtf8(arg) + " needs a value";
                return false;
            }
            return true;
        };
        bool flag = true;
        if (arg == u"--from") {
            flag = false;
            if (!takeValue(&options->from)) {
                return false;
            }
            haveFrom = true;
        } else if (arg == u"--to") {
            flag = false;
            if (!takeValue(&options->to)) {
                return false;
            }
            haveTo = true;
        } else if (arg == u"--plugin") {
            flag = false;
            if (!takeValue(&options->plugin)) {
                return false;
            }
        } else if (arg == u"--stdin") {
            options->readInput = true;
        } else if (arg == u"--json") {
            options->json = true;
        } else if (arg == u"--languages") {
            languages = true;
        } else if (arg == u"--info") {
            info = true;
        } else if (arg == u"--help" || arg == u"-h") {
            help = true;
        } else {
            *error = "unknown option " + ToUtf8(arg);
            return false;
        }
        if (flag && inlineValue) {
            *error = ToUtf8(arg) + " takes no value";
            return false;
        }
    }
    if (help) {
        options->mode = Options::Mode::kHelp;
        return true;
    }
    if (languages || info) {
        if (languages && info) {
            *error = "--languages and --info do not go together";
            return false;
        }
        if (!options->words.empty() || options->readInput || haveFrom || haveTo) {
            *error = std::string(languages ? "--languages" : "--info") +
                     " takes no words, no --stdin and no --from or --to";
            return false;
        }
        options->mode = languages ? Options::Mode::kLanguages : Options::Mode::kInfo;
        return true;
    }
    if (options->words.empty() && !options->readInput) {
        *error = "no word to look up";
        return false;
    }
    if (!haveFrom || !haveTo) {
        *error = haveFrom ? "--to is missing" : "--from is missing";
        return false;
    }
    return true;
}

} // namespace host
