// Runs programs as child processes under full control: the exact argument
// vector, an environment built from nothing, a working directory, standard
// streams on files, default signal handling, and a bounded wait.
#ifndef TARNPOST_TESTS_E2E_PROCESS_H
#define TARNPOST_TESTS_E2E_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

struct ProcessLaunch {
    std::vector<std::string> argv;         // argv[0] is the program's path
    std::vector<std::string> environment;  // the whole environment, "NAME=value"
    std::string workingDirectory;          // empty: the caller's
    std::string stdinPath = "/dev/null";
    std::string stdoutPath = "/dev/null";
    std::string stderrPath = "/dev/null";
};

struct ProcessOutcome {
    bool timedOut = false;  // killed by the wait after its limit
    bool exited = false;    // ended through exit(); exitCode is valid
    int exitCode = -1;
    int signal = 0;  // the signal that ended it, when it did not exit
};

// Readable form for failure messages: "exit 1", "signal 13", "timed out".
std::string describe(const ProcessOutcome& outcome);

// Starts the program; returns its pid, or -1 (with errno) when it could not be
// spawned. Signals start at their defaults and unblocked, whatever the test
// runner has set, so that a child dies of SIGPIPE exactly as it would for a
// user. Descriptors other than 0, 1 and 2 are not passed on.
pid_t startProcess(const ProcessLaunch& launch);

// Waits for the child to end; after `limit` it is killed and reported as
// timed out, so that a hang fails the test instead of stalling the run.
ProcessOutcome waitForProcess(pid_t pid, std::chrono::milliseconds limit);

// True once the child has ended; reaps it and fills `outcome`.
bool pollProcess(pid_t pid, ProcessOutcome* outcome);

#endif
