// tarnpost-bench: times whole runs, process start to end, of tarnpost with
// one message and of the two reference programs. Each round runs the three
// once each in a fresh random order, so that drift of the machine falls on
// all of them alike. Built for Windows it is itself a Windows program: under
// Wine each run is one Windows process starting another, and the Unix
// launcher of Wine is in no figure.
//
// Usage: tarnpost-bench ROUNDS MESSAGE TARNPOST EMPTY FLOOR
// Prints "ROUND PROGRAM MILLISECONDS" for every run; bench/run sums them up.
// Exit status 2 when a program fails: figures of failed runs mean nothing.
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#include <spawn.h>
#include <sys/wait.h>
extern char** environ;
#endif

namespace {

#ifdef _WIN32
// The message holds no quotes, so quoting each part is the whole job.
int runToEnd(const char* program, const char* argument) {
    std::string line = std::string("\"") + program + "\"";
    if (argument != nullptr) {
        line += std::string(" \"") + argument + "\"";
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(program, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return (int)code;
}
#else
int runToEnd(const char* program, const char* argument) {
    char* argv[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
    pid_t pid;
    int status = 0;
    if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) {
        return -1;
    }
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

}  // namespace

int main(int argc, char** argv) {
    const long rounds = argc == 6 ? atol(argv[1]) : 0;
    if (rounds <= 0) {
        fprintf(stderr, "usage: tarnpost-bench ROUNDS MESSAGE TARNPOST EMPTY FLOOR\n");
        return 2;
    }
    const char* names[] = {"tarnpost", "empty", "floor"};
    const char* programs[] = {argv[3], argv[4], argv[5]};
    const char* arguments[] = {argv[2], nullptr, nullptr};
    int order[] = {0, 1, 2};
    std::mt19937 random(20261208);  // a fixed seed: every run of the benchmark, the same order
    for (long round = 1; round <= rounds; ++round) {
        std::shuffle(order, order + 3, random);
        for (int index : order) {
            const auto start = std::chrono::steady_clock::now();
            const int status = runToEnd(programs[index], arguments[index]);
            const std::chrono::duration<double, std::milli> took =
                std::chrono::steady_clock::now() - start;
            if (status != 0) {
                fprintf(stderr, "tarnpost-bench: %s failed in round %ld (status %d; -1: %s)\n",
                        programs[index], round, status, "not started, or no normal end");
                return 2;
            }
            printf("%ld %s %.4f\n", round, names[index], took.count());
        }
    }
    return fflush(stdout) == 0 ? 0 : 2;
}
