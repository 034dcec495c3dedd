// What the native and the Windows benchmark share: the command line, the
// order of the runs, the figures and their printing.
#ifndef TARNPOST_BENCH_REPORT_H
#define TARNPOST_BENCH_REPORT_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

// The command line of either benchmark.
struct BenchOptions {
    long rounds;
    uint64_t seed;
    const char* tarnpost;
    const char* empty;
    const char* floor;
    const char* receiver;
    const char* directory;  // --dir, which only the native benchmark takes
};

// Sets `options` to the defaults, the programs of this build, and then to
// what the "--option value" pairs say; false on anything else.
bool parseBenchOptions(int argc, char** argv, long defaultRounds, BenchOptions* options);

// How many runs of each kind a benchmark makes.
struct RunPlan {
    long warmUpRounds;  // untimed, each program in turn
    long rounds;        // timed, each program once per round in a fresh random order
    uint64_t seed;      // of that order
    int memoryRuns;     // each program in turn, for its peak memory
};

// Makes the runs of `programs` programs, named by index, as `plan` says:
// timeRun(i, keep) times one run of program i and keeps the figure when
// `keep` is set; measureRun(i) reads the peak memory of one run. Stops at
// the first run that fails.
bool runRounds(int programs, const RunPlan& plan,
               const std::function<bool(int index, bool keep)>& timeRun,
               const std::function<bool(int index)>& measureRun);

// One program that the benchmark runs again and again, and what it cost.
struct Series {
    std::string name;
    std::vector<double> millis;  // wall time of each run, start to reaped
    long peakKiB = 0;            // largest peak resident set of any run; 0 unknown
};

struct Summary {
    double median;
    double p10;
    double p90;
    double mad;  // median absolute deviation from the median
};

Summary summarize(const std::vector<double>& values);

// Median over the rounds of a[i] - b[i]: runs of one round share the drift
// of the machine, so their difference is steadier than two medians apart.
double pairedMedianDifference(const Series& a, const Series& b);

// A fresh random order of 0..count-1 from a small fixed generator, so that a
// seed repeats the same order of runs.
void shuffleOrder(int* order, int count, uint64_t* state);

// Prints median, p10, p90 and MAD of every series, and each median over the
// median of `reference` (an index into `series`).
void printTimeTable(const std::vector<Series>& series, size_t reference);

// Prints the peak memory of every series, or that it is unknown.
void printPeaks(const std::vector<Series>& series);

// Prints one target line, "PASS  ..." or "FAIL  ...", and returns `met`.
bool reportTarget(bool met, const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// The items separated by ", ", or `whenEmpty` when there are none.
std::string joined(const std::vector<std::string>& items, const char* whenEmpty);

// A message of exactly `length` bytes of plain lines of text, free of quotes
// and backslashes so that no command line needs to escape it.
std::string makeMessage(size_t length);

// The file name at the end of a path with / or \\ separators.
const char* baseName(const char* path);

// Parses a positive count for --rounds and the like; false when malformed.
bool parseCount(const char* text, long* count);

#endif
