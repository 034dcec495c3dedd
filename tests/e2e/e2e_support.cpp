#include "e2e_support.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// Sanitizer settings steer only the instrumented build's runtime, never
// what tarnpost does, so they are the one thing taken from the caller.
const char* const kPassedThrough[] = {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"};

// Sockets live in the runtime directory and a socket path must fit in about
// a hundred bytes, so a long TMPDIR is passed over for /tmp.
std::string temporaryBase() {
    const char* base = getenv("TMPDIR");
    if (base != nullptr && base[0] == '/' && strlen(base) < 40) {
        return base;
    }
    return "/tmp";
}

const char kSetpriv[] = "/usr/bin/setpriv";

void nap(long microseconds) {
    const struct timespec pause = {0, microseconds * 1000};
    nanosleep(&pause, nullptr);
}

}  // namespace

std::string messageFileIn(const std::string& directory) {
    return directory + "/" TARN_MESSAGE_FILE_NAME;
}

std::string cannotCreate(const std::string& path) {
    return "tarnpost: Cannot create message file \"" + path + "\".\n\n";
}

std::string cannotWrite(const std::string& path) {
    return "tarnpost: Cannot write message file \"" + path + "\".\n\n";
}

std::string cannotLock(const std::string& path) {
    return "tarnpost: Cannot lock message file \"" + path + "\" for delivery.\n";
}

std::string readFile(const std::string& path) {
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    stream << bytes;
}

bool pathExists(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

std::vector<std::string> filesBelow(const std::string& directory) {
    std::vector<std::string> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        if (!it->is_directory() || it->is_symlink()) {
            files.push_back(it->path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

ReceiverSummary summarize(const std::string& receiverOutput) {
    ReceiverSummary summary;
    std::istringstream lines(receiverOutput);
    std::string line;
    while (std::getline(lines, line)) {
        long notifications = 0;
        long connections = 0;
        if (sscanf(line.c_str(), "TARN stopped after %ld notifications on %ld connections",
                   &notifications, &connections) == 2) {
            summary.notifications = notifications;
            summary.connections = connections;
        }
    }
    return summary;
}

std::vector<std::string> toEnvironmentList(const Environment& environment) {
    std::vector<std::string> list;
    for (const auto& [name, value] : environment) {
        list.push_back(name + "=" + value);
    }
    return list;
}

Receiver::Receiver(std::string workDirectory, Environment environment,
                   std::vector<std::string> options, std::vector<std::string> launcher,
                   std::string program)
    : workDirectory_(std::move(workDirectory)),
      environment_(std::move(environment)),
      options_(std::move(options)),
      launcher_(std::move(launcher)),
      program_(std::move(program)) {}

Receiver::~Receiver() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitForProcess(pid_, kProcessLimit);
    }
}

bool Receiver::start() {
    std::error_code error;
    fs::create_directories(recordDirectory(), error);
    const std::string readyFile = workDirectory_ + "/ready";
    ProcessLaunch launch;
    launch.argv = launcher_;
    launch.argv.push_back(program_);
    launch.argv.insert(launch.argv.end(), options_.begin(), options_.end());
    launch.argv.insert(launch.argv.end(), {"--record", recordDirectory(), "--ready", readyFile});
    launch.environment = toEnvironmentList(environment_);
    launch.workingDirectory = workDirectory_;
    launch.stdoutPath = workDirectory_ + "/stdout";
    launch.stderrPath = workDirectory_ + "/stderr";
    pid_ = startProcess(launch);
    if (pid_ < 0) {
        failure_ = std::string("cannot spawn the Receiver: ") + strerror(errno);
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + kProcessLimit;
    while (!pathExists(readyFile)) {
        if (pollProcess(pid_, &outcome_)) {
            pid_ = -1;
            failure_ = "the Receiver ended (" + describe(outcome_) +
                       ") before listening: " + readFile(workDirectory_ + "/stderr");
            return false;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            failure_ = "the Receiver did not start listening";
            return false;
        }
        nap(1000);
    }
    return true;
}

std::string Receiver::stop() {
    if (pid_ > 0) {
        if (!pollProcess(pid_, &outcome_)) {
            kill(pid_, SIGTERM);
            outcome_ = waitForProcess(pid_, kProcessLimit);
        }
        pid_ = -1;
    }
    return readFile(workDirectory_ + "/stdout");
}

std::vector<std::string> Receiver::records() const {
    std::vector<std::string> names;
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(recordDirectory(), error)) {
        names.push_back(entry.path().string());
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> contents;
    for (const std::string& name : names) {
        contents.push_back(readFile(name));
    }
    return contents;
}

void E2eTest::SetUp() {
    std::string pattern = temporaryBase() + "/tarnpost-e2e.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << strerror(errno);
    root_ = pattern;
    runtimeDirectory_ = root_ + "/run";
    ASSERT_EQ(mkdir(runtimeDirectory_.c_str(), 0700), 0) << strerror(errno);
    ASSERT_EQ(chmod(runtimeDirectory_.c_str(), 0700), 0);  // whatever the umask
    makeDirectory("out");
}

void E2eTest::TearDown() {
    if (root_.empty()) {
        return;
    }
    if (HasFailure() && getenv("TARNPOST_E2E_KEEP") != nullptr) {
        printf("kept %s\n", root_.c_str());
        return;
    }
    std::error_code error;
    fs::remove_all(root_, error);
}

std::string E2eTest::at(const std::string& relative) const {
    return root_ + "/" + relative;
}

std::string E2eTest::makeDirectory(const std::string& relative) const {
    const std::string path = at(relative);
    std::error_code error;
    fs::create_directories(path, error);
    EXPECT_FALSE(error) << path << ": " << error.message();
    return path;
}

Environment E2eTest::baseEnvironment() const {
    Environment environment = {{"PATH", "/usr/bin:/bin"}, {"XDG_RUNTIME_DIR", runtimeDirectory_}};
    for (const char* name : kPassedThrough) {
        const char* value = getenv(name);
        if (value != nullptr) {
            environment[name] = value;
        }
    }
    return environment;
}

Environment E2eTest::profileEnvironment(const std::string& directory) const {
    Environment environment = baseEnvironment();
    environment["USERPROFILE"] = directory;
    return environment;
}

ProcessLaunch E2eTest::tarnpostLaunch(const std::vector<std::string>& arguments,
                                      const Environment& environment, const RunOptions& options) {
    const std::string stem = at("out/" + std::to_string(++outputs_));
    ProcessLaunch launch;
    launch.argv = options.launcher;
    launch.argv.push_back(options.program.empty() ? TARNPOST_PROGRAM : options.program);
    launch.argv.insert(launch.argv.end(), arguments.begin(), arguments.end());
    launch.environment = toEnvironmentList(environment);
    launch.workingDirectory = options.workingDirectory.empty() ? root_ : options.workingDirectory;
    launch.stdoutPath = options.stdoutPath.empty() ? stem + ".out" : options.stdoutPath;
    launch.stderrPath = stem + ".err";
    return launch;
}

RunResult E2eTest::runTarnpost(const std::vector<std::string>& arguments,
                               const Environment& environment, const RunOptions& options) {
    const ProcessLaunch launch = tarnpostLaunch(arguments, environment, options);
    RunResult result;
    const pid_t pid = startProcess(launch);
    if (pid < 0) {
        ADD_FAILURE() << "cannot spawn " << launch.argv[0] << ": " << strerror(errno);
        return result;
    }
    result.outcome = waitForProcess(pid, kProcessLimit);
    if (options.stdoutPath.empty()) {
        result.out = readFile(launch.stdoutPath);
    }
    result.err = readFile(launch.stderrPath);
    return result;
}

pid_t E2eTest::launchTarnpost(const std::vector<std::string>& arguments,
                              const Environment& environment, std::string* stdoutPath,
                              std::string* stderrPath) {
    const ProcessLaunch launch = tarnpostLaunch(arguments, environment, RunOptions());
    *stdoutPath = launch.stdoutPath;
    *stderrPath = launch.stderrPath;
    return startProcess(launch);
}

std::unique_ptr<Receiver> E2eTest::makeReceiver(const std::string& messageDirectory,
                                                std::vector<std::string> options) {
    const std::string workDirectory = makeDirectory("receiver" + std::to_string(++receivers_));
    options.insert(options.begin(), {"--dir", messageDirectory});
    return std::make_unique<Receiver>(workDirectory, baseEnvironment(), std::move(options));
}

bool E2eTest::canRunAsOtherUser() const {
    return geteuid() == 0 && access(kSetpriv, X_OK) == 0;
}

RunOptions E2eTest::otherUserOptions() {
    EXPECT_EQ(chmod(root_.c_str(), 0755), 0);
    const std::string bin = makeDirectory("bin");
    std::error_code error;
    fs::copy_file(TARNPOST_PROGRAM, bin + "/tarnpost", error);
    EXPECT_FALSE(error) << error.message();
    fs::copy_file(TARN_RECEIVER_PROGRAM, receiverCopy(), error);
    EXPECT_FALSE(error) << error.message();
    RunOptions options;
    const std::string user = std::to_string(kOtherUser);
    options.launcher = {kSetpriv, "--reuid=" + user, "--regid=" + user, "--clear-groups", "--"};
    options.program = bin + "/tarnpost";
    options.workingDirectory = "/";
    return options;
}
