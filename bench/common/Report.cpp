#include "bench/common/Report.h"

#include <valgrind/callgrind.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

const char kCountFlag[] = "--count-instructions";

} // namespace

void PrintRatio(const std::string& name, double value, const char* op, double limit,
                const std::string& detail) {
    std::printf("RATIO %s %.3f (target %s %.2f%s%s)\n", name.c_str(), value, op, limit,
                detail.empty() ? "" : "; ", detail.c_str());
    std::fflush(stdout);
}

void PrintFigure(const std::string& name, double value, const std::string& detail) {
    std::printf("RATIO %s %.3f (no target%s%s)\n", name.c_str(), value, detail.empty() ? "" : "; ",
                detail.c_str());
    std::fflush(stdout);
}

void MedianReporter::ReportRuns(const std::vector<Run>& runs) {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
        const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
        const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
        if ((median || single) && !run.error_occurred)
            medians_[{run.run_name.function_name, run.run_name.args}] =
                Median{run.GetAdjustedRealTime(), run.counters};
    }
}

const MedianReporter::Median* MedianReporter::Find(const std::string& function,
                                                   const std::string& args) const {
    const auto found = medians_.find({function, args});
    return found == medians_.end() ? nullptr : &found->second;
}

std::vector<std::string> MedianReporter::ArgsOf(const std::string& function) const {
    std::vector<std::string> args;
    for (const auto& entry : medians_) {
        if (entry.first.first == function)
            args.push_back(entry.first.second);
    }
    return args;
}

bool IsCountedChild(int argc, char** argv, std::string* what) {
    if (argc != 3 || std::strcmp(argv[1], kCountFlag) != 0)
        return false;
    *what = argv[2];
    return true;
}

int Main(int argc, char** argv, const CountOnce& countOnce,
         const std::function<int(const MedianReporter&)>& report) {
    std::string what;
    if (IsCountedChild(argc, argv, &what)) {
        const size_t colon = what.find(':');
        if (!countOnce || colon == std::string::npos) {
            return 2;
        }
        char* end = nullptr;
        const long long argument = std::strtoll(what.c_str() + colon + 1, &end, 10);
        if (end == what.c_str() + colon + 1 || *end != '\0') {
            return 2;
        }
        return countOnce(what.substr(0, colon), argument);
    }
    benchmark::Initialize(&argc, argv);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    std::printf("\n");
    return report(reporter);
}

bool PrintInstructionRatio(const std::string& name, const std::string& work,
                           const std::string& baseline, long long argument, const char* op,
                           double limit) {
    const std::string suffix = ":" + std::to_string(argument);
    const long long counted = CountInstructions(work + suffix);
    const long long base = CountInstructions(baseline + suffix);
    if (counted <= 0 || base <= 0) {
        std::fprintf(stderr, "%s: no instruction count for %s (is valgrind installed?)\n",
                     program_invocation_short_name, name.c_str());
        return false;
    }
    const std::string detail = work + " " + std::to_string(counted) + ", " + baseline + " " +
                               std::to_string(base) + " instructions";
    PrintRatio(name, double(counted) / double(base), op, limit, detail);
    return true;
}

long long CountInstructions(const std::string& what) {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return -1;
    self[length] = 0;
    char out[] = "/tmp/bench-callgrind-XXXXXX";
    const int outFile = mkstemp(out);
    if (outFile < 0)
        return -1;
    close(outFile);
    const std::string outFlag = std::string("--callgrind-out-file=") + out;

    const pid_t child = fork();
    if (child == 0) {
        // Only the counts are wanted: valgrind's own messages go nowhere.
        std::freopen("/dev/null", "w", stderr);
        execlp("valgrind", "valgrind", "--tool=callgrind", "--collect-atstart=no",
               "--dump-instr=no", "--compress-strings=no", outFlag.c_str(), self, kCountFlag,
               what.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    long long instructions = -1;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
        WEXITSTATUS(status) == 0) {
        // "totals: <Ir>" (older versions write "summary:") holds the count of
        // everything collected.
        std::ifstream file(out);
        std::string line;
        while (std::getline(file, line)) {
            if (line.rfind("totals:", 0) == 0 || line.rfind("summary:", 0) == 0) {
                std::istringstream fields(line.substr(line.find(':') + 1));
                fields >> instructions;
                break;
            }
        }
    }
    std::remove(out);
    return instructions;
}

namespace detail {

void StartCounting() {
    CALLGRIND_ZERO_STATS;
    CALLGRIND_TOGGLE_COLLECT;
}

void StopCounting() {
    CALLGRIND_TOGGLE_COLLECT;
}

} // namespace detail

} // namespace bench
