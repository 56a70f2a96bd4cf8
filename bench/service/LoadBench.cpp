// What loading costs, in the service's own code without a server: the time
// to load the largest dictionaries and to build the largest reversed
// directions, the bytes of their key tables, and the resident memory each
// language's morphology adds when its first word needs it.
//
//   bench_service_load [--data DIR]
#include "bench/common/Report.h"
#include "service/Dictionary.h"
#include "service/Lemmas.h"

#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

// Heap bytes in use (malloc's own count, mapped blocks included), in MiB:
// unlike the resident size it falls again when memory is freed, so each
// load below is measured alone.
double HeapMiB() {
    const struct mallinfo2 info = mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd) / (1024.0 * 1024.0);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv) {
    std::string data = "/usr/share/dictd";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--data") {
            data = argv[i + 1];
        }
    }
    // The largest file served forward, and the largest ones served reversed
    // (Japanese-German for de -> ja, CC-CEDICT for en -> zh-cn).
    struct Case {
        const char *file, *from, *to;
        bool reversed;
    };
    bool ok = true;
    for (const Case& c :
         {Case{"freedict-deu-eng", "de", "en", false}, Case{"freedict-jpn-deu", "de", "ja", true},
          Case{"cedict-zho-hans-eng", "en", "zh-cn", true},
          Case{"freedict-deu-rus", "ru", "de", true}}) {
        const double before = HeapMiB();
        auto started = std::chrono::steady_clock::now();
        service::Dictionary forward;
        std::string error;
        if (!forward.Load(data, c.file, service::CaseRulesFor(c.reversed ? c.to : c.from),
                          &error)) {
            std::fprintf(stderr, "bench_service_load: %s\n", error.c_str());
            ok = false;
            continue;
        }
        const double loaded = SecondsSince(started);
        std::printf("%s: %zu headwords loaded in %.3f s, key tables %.1f MiB\n", c.file,
                    forward.HeadwordCount(), loaded, forward.TableBytes() / 1048576.0);
        const std::string direction = std::string(c.from) + "-" + c.to;
        if (!c.reversed) {
            bench::PrintFigure("load/seconds-" + direction, loaded,
                               std::to_string(forward.HeadwordCount()) + " headwords");
            bench::PrintFigure("load/heap-mib-" + direction, HeapMiB() - before,
                               "index, key tables and the text's chunk table");
            continue;
        }
        started = std::chrono::steady_clock::now();
        service::Dictionary reverse;
        reverse.LoadReversed(forward, service::CaseRulesFor(c.from));
        const double built = SecondsSince(started);
        std::printf("  reversed (%s): %zu headwords in %.3f s, tables %.1f MiB\n",
                    direction.c_str(), reverse.HeadwordCount(), built,
                    reverse.TableBytes() / 1048576.0);
        bench::PrintFigure("load/reverse-seconds-" + direction, built,
                           std::to_string(reverse.HeadwordCount()) + " headwords from " + c.file +
                               ", loaded in " + std::to_string(loaded) + " s");
        bench::PrintFigure("load/reverse-heap-mib-" + direction, HeapMiB() - before,
                           "the forward file and its reverse");
    }
    // Each language's morphology, loaded by its first word.
    service::Lemmas lemmas;
    double all = 0;
    for (const char* code : {"ar", "da", "de", "en", "es", "fi", "fr", "hu", "it", "nl", "no", "pl",
                             "pt", "pt-br", "ru", "sl", "sv", "tr"}) {
        const double before = HeapMiB();
        const auto started = std::chrono::steady_clock::now();
        lemmas.Of(code, "x");
        const double seconds = SecondsSince(started);
        const double mib = HeapMiB() - before;
        std::printf("morphology %-5s %-40s %6.1f MiB %6.3f s\n", code, lemmas.Sources(code).c_str(),
                    mib, seconds);
        bench::PrintFigure(std::string("morphology/heap-mib-") + code, mib,
                           lemmas.Sources(code) + ", loaded in " + std::to_string(seconds) + " s");
        all += mib;
    }
    // What a lookup in every direction adds on top of the dictionaries:
    // each language's data is loaded by its first word, and no two
    // languages share a Hunspell dictionary.
    bench::PrintFigure("morphology/heap-mib-all-languages", all, "the 18 languages above together");
    return ok ? 0 : 1;
}
