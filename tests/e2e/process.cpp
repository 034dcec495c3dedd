#include "process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

// Owns the spawn attributes and file actions for one posix_spawn call.
struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;

    SpawnSetup() {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
};

bool prepare(const ProcessLaunch& launch, SpawnSetup* setup) {
    posix_spawn_file_actions_t* actions = &setup->actions;
    const int outputFlags = O_WRONLY | O_CREAT | O_TRUNC;
    if (posix_spawn_file_actions_addopen(actions, 0, launch.stdinPath.c_str(), O_RDONLY, 0) != 0 ||
        posix_spawn_file_actions_addopen(actions, 1, launch.stdoutPath.c_str(), outputFlags,
                                         0600) != 0 ||
        posix_spawn_file_actions_addopen(actions, 2, launch.stderrPath.c_str(), outputFlags,
                                         0600) != 0 ||
        posix_spawn_file_actions_addclosefrom_np(actions, 3) != 0) {
        return false;
    }
    if (!launch.workingDirectory.empty() &&
        posix_spawn_file_actions_addchdir_np(actions, launch.workingDirectory.c_str()) != 0) {
        return false;
    }
    sigset_t all;
    sigset_t none;
    sigfillset(&all);
    sigemptyset(&none);
    return posix_spawnattr_setsigdefault(&setup->attributes, &all) == 0 &&
           posix_spawnattr_setsigmask(&setup->attributes, &none) == 0 &&
           posix_spawnattr_setflags(&setup->attributes,
                                    POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK) == 0;
}

std::vector<char*> pointersTo(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (const std::string& text : texts) {
        pointers.push_back(const_cast<char*>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

void fillOutcome(int status, ProcessOutcome* outcome) {
    outcome->exited = WIFEXITED(status);
    outcome->exitCode = outcome->exited ? WEXITSTATUS(status) : -1;
    outcome->signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

}  // namespace

std::string describe(const ProcessOutcome& outcome) {
    if (outcome.timedOut) {
        return "timed out";
    }
    if (outcome.exited) {
        return "exit " + std::to_string(outcome.exitCode);
    }
    return "signal " + std::to_string(outcome.signal);
}

pid_t startProcess(const ProcessLaunch& launch) {
    if (launch.argv.empty()) {
        errno = EINVAL;
        return -1;
    }
    SpawnSetup setup;
    if (!prepare(launch, &setup)) {
        return -1;
    }
    std::vector<char*> argv = pointersTo(launch.argv);
    std::vector<char*> environment = pointersTo(launch.environment);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, argv[0], &setup.actions, &setup.attributes, argv.data(),
                                  environment.data());
    if (error != 0) {
        errno = error;
        return -1;
    }
    return pid;
}

bool pollProcess(pid_t pid, ProcessOutcome* outcome) {
    int status = 0;
    pid_t ended;
    do {
        ended = waitpid(pid, &status, WNOHANG);
    } while (ended < 0 && errno == EINTR);
    if (ended != pid) {
        return false;
    }
    fillOutcome(status, outcome);
    return true;
}

ProcessOutcome waitForProcess(pid_t pid, std::chrono::milliseconds limit) {
    ProcessOutcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // Short naps at first keep quick runs quick; longer ones spare the CPU.
    long napMicroseconds = 50;
    while (!pollProcess(pid, &outcome)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            outcome = ProcessOutcome();
            outcome.timedOut = true;
            return outcome;
        }
        const struct timespec nap = {0, napMicroseconds * 1000};
        nanosleep(&nap, nullptr);
        if (napMicroseconds < 5000) {
            napMicroseconds *= 2;
        }
    }
    return outcome;
}
