#include "bench/report.h"

#include <errno.h>
#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

namespace {

// Linear interpolation between the two closest ranks of sorted values.
double percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty()) {
        return NAN;
    }
    const double rank = fraction * (double)(sorted.size() - 1);
    const size_t below = (size_t)rank;
    const size_t above = std::min(below + 1, sorted.size() - 1);
    const double weight = rank - (double)below;
    return sorted[below] + (sorted[above] - sorted[below]) * weight;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return percentile(values, 0.5);
}

uint64_t nextRandom(uint64_t* state) {
    // xorshift64*: plenty for shuffling three or four programs.
    uint64_t x = *state;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    *state = x;
    return x * 0x2545F4914F6CDD1DULL;
}

}  // namespace

bool parseBenchOptions(int argc, char** argv, long defaultRounds, BenchOptions* options) {
    // A fixed seed runs the programs in the same order every time, so that
    // two runs of the benchmark compare.
    *options = {defaultRounds,
                20261208,
                TARNPOST_BENCH_TARNPOST,
                TARNPOST_BENCH_EMPTY,
                TARNPOST_BENCH_FLOOR,
                TARNPOST_BENCH_RECEIVER,
                nullptr};
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const char* value = argv[++i];
        long number = 0;
        if (strcmp(option, "--rounds") == 0 && parseCount(value, &number)) {
            options->rounds = number;
        } else if (strcmp(option, "--seed") == 0 && parseCount(value, &number)) {
            options->seed = (uint64_t)number;
        } else if (strcmp(option, "--dir") == 0) {
            options->directory = value;
        } else if (strcmp(option, "--tarnpost") == 0) {
            options->tarnpost = value;
        } else if (strcmp(option, "--empty") == 0) {
            options->empty = value;
        } else if (strcmp(option, "--floor") == 0) {
            options->floor = value;
        } else if (strcmp(option, "--receiver") == 0) {
            options->receiver = value;
        } else {
            return false;
        }
    }
    return true;
}

bool runRounds(int programs, const RunPlan& plan,
               const std::function<bool(int index, bool keep)>& timeRun,
               const std::function<bool(int index)>& measureRun) {
    for (long round = 0; round < plan.warmUpRounds; ++round) {
        for (int index = 0; index < programs; ++index) {
            if (!timeRun(index, false)) {
                return false;
            }
        }
    }
    uint64_t state = plan.seed;
    std::vector<int> order((size_t)programs);
    for (long round = 0; round < plan.rounds; ++round) {
        shuffleOrder(order.data(), programs, &state);
        for (int index : order) {
            if (!timeRun(index, true)) {
                return false;
            }
        }
    }
    for (int run = 0; run < plan.memoryRuns; ++run) {
        for (int index = 0; index < programs; ++index) {
            if (!measureRun(index)) {
                return false;
            }
        }
    }
    return true;
}

Summary summarize(const std::vector<double>& values) {
    std::vector<double> sorted = values;
    std::sort(sorted.begin(), sorted.end());
    Summary summary;
    summary.median = percentile(sorted, 0.5);
    summary.p10 = percentile(sorted, 0.1);
    summary.p90 = percentile(sorted, 0.9);
    std::vector<double> deviations;
    deviations.reserve(sorted.size());
    for (double value : sorted) {
        deviations.push_back(fabs(value - summary.median));
    }
    summary.mad = median(deviations);
    return summary;
}

double pairedMedianDifference(const Series& a, const Series& b) {
    std::vector<double> differences;
    const size_t rounds = std::min(a.millis.size(), b.millis.size());
    for (size_t i = 0; i < rounds; ++i) {
        differences.push_back(a.millis[i] - b.millis[i]);
    }
    return median(differences);
}

void shuffleOrder(int* order, int count, uint64_t* state) {
    for (int i = 0; i < count; ++i) {
        order[i] = i;
    }
    for (int i = count - 1; i > 0; --i) {
        const int j = (int)(nextRandom(state) % (uint64_t)(i + 1));
        std::swap(order[i], order[j]);
    }
}

void printTimeTable(const std::vector<Series>& series, size_t reference) {
    const double referenceMedian = summarize(series[reference].millis).median;
    printf("  %-34s %5s %9s %9s %9s %8s %8s\n", "program (wall ms per run)", "runs", "median",
           "p10", "p90", "MAD", "x ref");
    for (const Series& one : series) {
        const Summary s = summarize(one.millis);
        printf("  %-34s %5zu %9.3f %9.3f %9.3f %8.3f %8.2f\n", one.name.c_str(), one.millis.size(),
               s.median, s.p10, s.p90, s.mad, s.median / referenceMedian);
    }
    printf("  (x ref: median over the median of %s)\n", series[reference].name.c_str());
}

void printPeaks(const std::vector<Series>& series) {
    for (const Series& one : series) {
        if (one.peakKiB > 0) {
            printf("  %-34s %6ld KiB\n", one.name.c_str(), one.peakKiB);
        } else {
            printf("  %-34s unknown\n", one.name.c_str());
        }
    }
}

bool reportTarget(bool met, const char* format, ...) {
    printf("%s  ", met ? "PASS" : "FAIL");
    va_list arguments;
    va_start(arguments, format);
    vprintf(format, arguments);
    va_end(arguments);
    putchar('\n');
    return met;
}

std::string joined(const std::vector<std::string>& items, const char* whenEmpty) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text.empty() ? whenEmpty : text;
}

std::string makeMessage(size_t length) {
    static const char line[] =
        "*** File sampleVOS.tnr: line 38, a benchmark message of plain text\n";
    std::string message;
    message.reserve(length);
    while (message.size() < length) {
        const size_t room = length - message.size();
        message.append(line, std::min(room, sizeof line - 1));
    }
    return message;
}

bool parseCount(const char* text, long* count) {
    char* end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value <= 0) {
        return false;
    }
    *count = value;
    return true;
}

const char* baseName(const char* path) {
    const char* name = path;
    for (const char* c = path; *c != '\0'; ++c) {
        if (*c == '/' || *c == '\\') {
            name = c + 1;
        }
    }
    return name;
}
