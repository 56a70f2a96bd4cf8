// What every benchmark program prints at its end, in the one form
// scripts/bench reads:
//
//   RATIO <name> <value> (target <op> <limit>; <detail>)
//
// <name> has no spaces; <op> is "<=", "<" or ">=". A figure without a target
// prints "(no target; <detail>)". Also here: a console reporter that keeps
// the median of each repeated benchmark, and instruction counts of one piece
// of work taken by valgrind's callgrind, which repeat from run to run where
// times on a busy machine do not.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// Prints one RATIO line to stdout.
void PrintRatio(const std::string& name, double value, const char* op, double limit,
                const std::string& detail = std::string());
// The same for a figure shown beside the others but judged against nothing.
void PrintFigure(const std::string& name, double value, const std::string& detail = std::string());

// Console output as usual, and the median aggregate of each repeated
// benchmark kept by function name and argument text ("" without arguments);
// for a benchmark run once, its one run.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    struct Median {
        double realTime = 0; // adjusted to the benchmark's time unit
        benchmark::UserCounters counters;
    };

    void ReportRuns(const std::vector<Run>& runs) override;
    // Null when no median (or single run) was reported for that benchmark.
    const Median* Find(const std::string& function, const std::string& args = std::string()) const;
    // Every argument text reported for the function, in order.
    std::vector<std::string> ArgsOf(const std::string& function) const;

private:
    std::map<std::pair<std::string, std::string>, Median> medians_;
};

// The main of a benchmark program. In a counted child (see CountInstructions)
// it returns countOnce(work, argument) for the child's "<work>:<argument>",
// 2 when that does not parse. Otherwise it runs every registered benchmark
// (the command line as Google Benchmark takes it) through a MedianReporter
// and returns report(reporter): the program's RATIO lines and exit status.
// A program that counts nothing passes an empty countOnce.
using CountOnce = std::function<int(const std::string& work, long long argument)>;
int Main(int argc, char** argv, const CountOnce& countOnce,
         const std::function<int(const MedianReporter&)>& report);

// Instruction counts: the program runs itself again under callgrind with the
// arguments `--count-instructions <what>`; in that child, main hands the work
// to CountedChild, which counts only the work itself (setup is not counted).
//
// Returns the instructions the child executed inside the work, or -1 when
// valgrind is missing or the child failed.
long long CountInstructions(const std::string& what);
// Counts "<work>:<argument>" and "<baseline>:<argument>" and prints the RATIO
// line work / baseline with both counts as its detail. False, with a line on
// stderr naming the program, when either could not be counted.
bool PrintInstructionRatio(const std::string& name, const std::string& work,
                           const std::string& baseline, long long argument, const char* op,
                           double limit);
// When argv asks for a counted run, *what receives its argument.
bool IsCountedChild(int argc, char** argv, std::string* what);
// Collects instruction counts only while the work runs; returns the exit
// status for main: 0 when the work returned true.
template <class Work> int CountedChild(Work work);

namespace detail {
void StartCounting();
void StopCounting();
} // namespace detail

template <class Work> int CountedChild(Work work) {
    detail::StartCounting();
    const bool ok = work();
    detail::StopCounting();
    return ok ? 0 : 1;
}

} // namespace bench
