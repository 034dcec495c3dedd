// tarnpost-bench: times whole native deliveries, process start to reaped,
// against the stand-in Receiver, side by side with two reference programs
// built the same way: one that does nothing, and one that only looks the
// Receiver up (the floor no delivery can go below). The programs run in a
// fresh random order in every round so that drift of the machine falls on
// all of them alike.
//
// Exit status: 0 when every target is met, 1 when one is missed, 2 when the
// benchmark itself could not run.
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/report.h"

extern char** environ;

namespace {

const long kDefaultRounds = 3000;
const long kWarmUpRounds = 20;
const int kMemoryRuns = 10;
const size_t kSmallMessageBytes = 44;
const size_t kLargeMessageBytes = 32 * 1024;
const double kDeliveryOverEmptyLimit = 1.5;

// A private runtime and profile directory with its own stand-in Receiver.
// Each message size gets one, so that every delivery rewrites a file of its
// own size, as repeated deliveries in real use mostly do; sharing one file
// would charge the small message for freeing the large one's blocks.
struct Station {
    std::string directory;
    std::vector<std::string> environment;
    std::vector<char*> environmentVector;
    pid_t receiver = -1;
    long deliveries = 0;  // made by the benchmark, to check against the Receiver
};

// One program with its arguments, where it runs, and what its runs cost.
struct Runner {
    const char* path;
    std::vector<std::string> arguments;
    Station* station;
    bool delivers;
    Series series;
};

char scratch[4096];

void usage() {
    fprintf(stderr,
            "usage: tarnpost-bench [--rounds N] [--seed N] [--dir DIR] [--tarnpost PATH]\n"
            "                      [--empty PATH] [--floor PATH] [--receiver PATH]\n"
            "  --rounds N  rounds of runs, each program once per round (default %ld)\n"
            "  --dir DIR   where the profile and runtime directories are made\n"
            "              (default $TMPDIR, else /tmp); its file system matters\n",
            kDefaultRounds);
}

// The value after the colon of the first line that starts with `key`.
std::string firstValueOf(const char* path, const char* key) {
    FILE* file = fopen(path, "r");
    if (file == nullptr) {
        return "";
    }
    char line[512];
    std::string found;
    while (fgets(line, sizeof line, file) != nullptr) {
        const char* colon = strchr(line, ':');
        if (strncmp(line, key, strlen(key)) == 0 && colon != nullptr) {
            found = colon + 1 + strspn(colon + 1, " \t");
            found.erase(found.find_last_not_of("\r\n") + 1);
            break;
        }
    }
    fclose(file);
    return found;
}

// Other work on the machine shows in the spread; the load says how much.
void printLoad(const char* when) {
    double load[3];
    if (getloadavg(load, 3) == 3) {
        printf("load:     %.2f %.2f %.2f (1, 5, 15 min) %s\n", load[0], load[1], load[2], when);
    }
}

void printMachine() {
    struct utsname system;
    uname(&system);
    printf("machine:  %s, %ld cores online; %s %s %s\n",
           firstValueOf("/proc/cpuinfo", "model name").c_str(), sysconf(_SC_NPROCESSORS_ONLN),
           system.sysname, system.release, system.machine);
    printf("compiler: %s, version %s (%s build)\n", TARNPOST_BENCH_COMPILER, __VERSION__,
           TARNPOST_BENCH_BUILD_TYPE);
    printLoad("before the runs");
}

// The message file is rewritten by every delivery, so what the file system
// does on truncation shows up in the figures.
const char* fileSystemName(const char* path) {
    struct statfs status;
    if (statfs(path, &status) != 0) {
        return "unknown";
    }
    switch ((unsigned long)status.f_type) {
    case 0xEF53UL:
        return "ext2/3/4";
    case 0x01021994UL:
        return "tmpfs";
    case 0x9123683EUL:
        return "btrfs";
    case 0x58465342UL:
        return "xfs";
    case 0x794C7630UL:
        return "overlayfs";
    default:
        return "another file system";
    }
}

bool makeScratch(const char* parent) {
    if (parent == nullptr) {
        const char* temporary = getenv("TMPDIR");
        parent = temporary != nullptr && temporary[0] == '/' ? temporary : "/tmp";
    }
    const int length = snprintf(scratch, sizeof scratch, "%s/tarnpost-bench.XXXXXX", parent);
    if (length <= 0 || (size_t)length >= sizeof scratch || mkdtemp(scratch) == nullptr) {
        fprintf(stderr, "tarnpost-bench: cannot make a directory in %s: %s\n", parent,
                strerror(errno));
        return false;
    }
    return true;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

void removeScratch() {
    nftw(scratch, removeEntry, 8, FTW_DEPTH | FTW_PHYS);
}

// This process's environment with the station's runtime and profile
// directories in place of the user's own.
void buildEnvironment(Station* station) {
    const std::string runtime = "XDG_RUNTIME_DIR=" + station->directory + "/run";
    const std::string profile = "USERPROFILE=" + station->directory + "/profile";
    station->environment = {runtime, profile};
    for (char** variable = environ; *variable != nullptr; ++variable) {
        if (strncmp(*variable, "XDG_RUNTIME_DIR=", 16) != 0 &&
            strncmp(*variable, "USERPROFILE=", 12) != 0) {
            station->environment.push_back(*variable);
        }
    }
    for (std::string& variable : station->environment) {
        station->environmentVector.push_back(&variable[0]);
    }
    station->environmentVector.push_back(nullptr);
}

bool startReceiver(Station* station, const char* path) {
    const std::string ready = station->directory + "/ready";
    const std::string log = station->directory + "/receiver.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    char* argv[] = {const_cast<char*>(path), const_cast<char*>("--ready"),
                    const_cast<char*>(ready.c_str()), nullptr};
    const int spawned = posix_spawn(&station->receiver, path, &actions, nullptr, argv,
                                    station->environmentVector.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        fprintf(stderr, "tarnpost-bench: cannot start %s: %s\n", path, strerror(spawned));
        station->receiver = -1;
        return false;
    }
    for (int waited = 0; waited < 10000; waited += 2) {
        if (access(ready.c_str(), F_OK) == 0) {
            return true;
        }
        if (waitpid(station->receiver, nullptr, WNOHANG) == station->receiver) {
            station->receiver = -1;
            break;
        }
        usleep(2000);
    }
    fprintf(stderr, "tarnpost-bench: the Receiver %s did not start listening\n", path);
    return false;
}

bool openStation(Station* station, const char* name, const char* receiver) {
    station->directory = std::string(scratch) + "/" + name;
    if (mkdir(station->directory.c_str(), 0700) != 0 ||
        mkdir((station->directory + "/run").c_str(), 0700) != 0 ||
        mkdir((station->directory + "/profile").c_str(), 0700) != 0) {
        fprintf(stderr, "tarnpost-bench: cannot prepare %s: %s\n", station->directory.c_str(),
                strerror(errno));
        return false;
    }
    buildEnvironment(station);
    return startReceiver(station, receiver);
}

// Stops the Receiver and checks that it saw exactly the deliveries made:
// figures from runs that did not deliver would be worthless.
bool closeStation(Station* station) {
    if (station->receiver < 0) {
        return false;
    }
    kill(station->receiver, SIGTERM);
    waitpid(station->receiver, nullptr, 0);
    station->receiver = -1;
    FILE* log = fopen((station->directory + "/receiver.log").c_str(), "r");
    long notifications = -1;
    char line[65536];
    while (log != nullptr && fgets(line, sizeof line, log) != nullptr) {
        sscanf(line, "TARN stopped after %ld notifications", &notifications);
    }
    if (log != nullptr) {
        fclose(log);
    }
    if (notifications != station->deliveries) {
        fprintf(stderr, "tarnpost-bench: the Receiver in %s got %ld notifications, not %ld\n",
                station->directory.c_str(), notifications, station->deliveries);
        return false;
    }
    return true;
}

double nowMillis() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)now.tv_sec * 1e3 + (double)now.tv_nsec / 1e6;
}

std::vector<char*> argumentVector(Runner* runner) {
    std::vector<char*> vector;
    vector.push_back(const_cast<char*>(runner->path));
    for (std::string& argument : runner->arguments) {
        vector.push_back(&argument[0]);
    }
    vector.push_back(nullptr);
    return vector;
}

bool succeeded(Runner* runner, int status) {
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        runner->station->deliveries += runner->delivers ? 1 : 0;
        return true;
    }
    fprintf(stderr, "tarnpost-bench: %s failed (wait status 0x%x); no figures from failed runs\n",
            runner->series.name.c_str(), (unsigned)status);
    return false;
}

// Runs the program once; keeps its wall time, from just before posix_spawn
// to just after waitpid, when `keep` is set.
bool timeOneRun(Runner* runner, bool keep) {
    std::vector<char*> argv = argumentVector(runner);
    char** environment = runner->station->environmentVector.data();
    pid_t pid;
    int status = 0;
    const double start = nowMillis();
    const int spawned = posix_spawn(&pid, runner->path, nullptr, nullptr, argv.data(), environment);
    if (spawned != 0) {
        fprintf(stderr, "tarnpost-bench: cannot start %s: %s\n", runner->path, strerror(spawned));
        return false;
    }
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            fprintf(stderr, "tarnpost-bench: wait for %s: %s\n", runner->path, strerror(errno));
            return false;
        }
    }
    const double elapsed = nowMillis() - start;
    if (!succeeded(runner, status)) {
        return false;
    }
    if (keep) {
        runner->series.millis.push_back(elapsed);
    }
    return true;
}

// Runs the program once under ptrace and reads its peak resident set (VmHWM)
// as it is about to exit. ru_maxrss from wait4 would not do: it also counts
// the harness's pages that the child held between fork and exec, which made
// every program look as large as the harness.
bool measureOneRun(Runner* runner) {
    std::vector<char*> argv = argumentVector(runner);
    char** environment = runner->station->environmentVector.data();
    const pid_t pid = fork();
    if (pid < 0) {
        return false;
    }
    if (pid == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        execve(runner->path, argv.data(), environment);
        _exit(127);
    }
    long peak = -1;
    int status = 0;
    waitpid(pid, &status, 0);  // stopped right after exec
    if (WIFSTOPPED(status)) {
        ptrace(PTRACE_SETOPTIONS, pid, nullptr, (void*)(PTRACE_O_TRACEEXIT | PTRACE_O_EXITKILL));
        ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    }
    while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
        int passOn = 0;
        if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
            char path[64];
            snprintf(path, sizeof path, "/proc/%ld/status", (long)pid);
            const std::string value = firstValueOf(path, "VmHWM");
            peak = value.empty() ? -1 : strtol(value.c_str(), nullptr, 10);
        } else {
            passOn = WSTOPSIG(status);
        }
        ptrace(PTRACE_CONT, pid, nullptr, (void*)(intptr_t)passOn);
    }
    if (!succeeded(runner, status)) {
        return false;
    }
    // Where ptrace is not allowed the peak stays unknown; the run still counts.
    runner->series.peakKiB = peak > runner->series.peakKiB ? peak : runner->series.peakKiB;
    return true;
}

std::string shellQuoted(const char* text) {
    std::string quoted = "'";
    for (const char* c = text; *c != '\0'; ++c) {
        quoted += *c == '\'' ? std::string("'\\''") : std::string(1, *c);
    }
    return quoted + "'";
}

// The shared libraries the program names in its dynamic section (NEEDED).
bool neededLibraries(const char* path, std::vector<std::string>* needed) {
    const std::string command = "readelf -d " + shellQuoted(path) + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return false;
    }
    char line[1024];
    while (fgets(line, sizeof line, pipe) != nullptr) {
        const char* open = strchr(line, '[');
        const char* close = open == nullptr ? nullptr : strchr(open, ']');
        if (strstr(line, "(NEEDED)") != nullptr && close != nullptr) {
            needed->emplace_back(open + 1, close);
        }
    }
    return pclose(pipe) == 0;
}

long fileSize(const char* path) {
    struct stat status;
    return stat(path, &status) == 0 ? (long)status.st_size : -1;
}

// Prints size and NEEDED of each program; true when tarnpost, the first,
// needs the C library alone.
bool printExecutables(const std::vector<const char*>& paths, std::string* tarnpostNeeds) {
    printf("executables in %.*s (file size; shared libraries named as NEEDED):\n",
           (int)(baseName(paths[0]) - paths[0]), paths[0]);
    bool onlyLibc = false;
    for (size_t i = 0; i < paths.size(); ++i) {
        std::vector<std::string> needed;
        const bool known = neededLibraries(paths[i], &needed);
        const std::string needs =
            known ? joined(needed, "nothing (static)") : "unknown (readelf failed)";
        printf("  %-20s %8ld bytes; needs %s\n", baseName(paths[i]), fileSize(paths[i]),
               needs.c_str());
        if (i == 0) {
            onlyLibc = known && needed.size() == 1 && needed[0] == "libc.so.6";
            *tarnpostNeeds = needs;
        }
    }
    return onlyLibc;
}

void printFigures(const std::vector<Runner>& runners) {
    std::vector<Series> series;
    for (const Runner& runner : runners) {
        series.push_back(runner.series);
    }
    printf("\nwhole process, wall time in milliseconds:\n");
    printTimeTable(series, 0);
    printf(
        "  paired per round: tarnpost - empty %.3f ms, tarnpost - floor %.3f ms,\n"
        "                    32 KiB - %zu-byte message %.3f ms\n",
        pairedMedianDifference(series[2], series[0]), pairedMedianDifference(series[2], series[1]),
        kSmallMessageBytes, pairedMedianDifference(series[3], series[2]));
    printf("\npeak resident set (largest VmHWM at exit of %d runs each, read under ptrace):\n",
           kMemoryRuns);
    printPeaks(series);
}

}  // namespace

int main(int argc, char** argv) {
    BenchOptions options;
    if (!parseBenchOptions(argc, argv, kDefaultRounds, &options)) {
        usage();
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    printf("== tarnpost benchmark, native build ==\n");
    printMachine();
    if (!makeScratch(options.directory)) {
        return 2;
    }
    printf("files:    profile and runtime directories under %s (%s)\n", scratch,
           fileSystemName(scratch));

    Station small;
    Station large;
    std::vector<Runner> runners = {
        {options.empty, {}, &small, false, {"empty program", {}, 0}},
        {options.floor, {}, &small, false, {"floor (find the Receiver only)", {}, 0}},
        {options.tarnpost,
         {makeMessage(kSmallMessageBytes)},
         &small,
         true,
         {"tarnpost, " + std::to_string(kSmallMessageBytes) + "-byte message", {}, 0}},
        {options.tarnpost,
         {makeMessage(kLargeMessageBytes)},
         &large,
         true,
         {"tarnpost, 32 KiB message", {}, 0}},
    };
    printf(
        "runs:     %ld rounds after %ld warm-up rounds; each round runs all %zu programs\n"
        "          once in a fresh random order (seed %llu)\n",
        options.rounds, kWarmUpRounds, runners.size(), (unsigned long long)options.seed);

    const RunPlan plan = {kWarmUpRounds, options.rounds, options.seed, kMemoryRuns};
    bool ran = openStation(&small, "small", options.receiver) &&
               openStation(&large, "large", options.receiver) &&
               runRounds((int)runners.size(), plan,
                         [&](int index, bool keep) { return timeOneRun(&runners[index], keep); },
                         [&](int index) { return measureOneRun(&runners[index]); });
    ran = closeStation(&small) && ran;
    ran = closeStation(&large) && ran;
    removeScratch();
    if (!ran) {
        fprintf(stderr, "tarnpost-bench: the benchmark did not complete\n");
        return 2;
    }
    printLoad("after the runs");
    printf("receiver: every delivery was seen by the stand-in Receiver (%ld and %ld)\n",
           small.deliveries, large.deliveries);
    printFigures(runners);

    std::string tarnpostNeeds;
    printf("\n");
    const bool onlyLibc =
        printExecutables({options.tarnpost, options.empty, options.floor}, &tarnpostNeeds);
    const double delivery = summarize(runners[2].series.millis).median;
    const double empty = summarize(runners[0].series.millis).median;
    printf("\ntargets:\n");
    bool met = reportTarget(delivery <= kDeliveryOverEmptyLimit * empty,
                            "native delivery median %.3f ms <= %.1f x empty program %.3f ms "
                            "(%.2f x)",
                            delivery, kDeliveryOverEmptyLimit, empty, delivery / empty);
    met = reportTarget(onlyLibc, "native tarnpost needs only the C library (needs %s)",
                       tarnpostNeeds.c_str()) &&
          met;
    return met ? 0 : 1;
}
