// Shared ground for the end-to-end tests: each test gets a private temporary
// tree with its own runtime directory, runs the built tarnpost with an
// environment made from nothing, and drives the stand-in Receiver.
#ifndef TARNPOST_TESTS_E2E_E2E_SUPPORT_H
#define TARNPOST_TESTS_E2E_E2E_SUPPORT_H

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "delivery/receiver_protocol.h"
#include "process.h"
#include "tests/line_ends.h"

// Generous: a healthy run takes milliseconds even under sanitizers; the limit
// only turns a hang into a failure.
const std::chrono::milliseconds kProcessLimit(60000);

using Environment = std::map<std::string, std::string>;

const char kNotRunning[] = "tarnpost: Program TARN not running (or an old version).\n";
const char kReturnsError[] = "tarnpost: Program TARN returns error.\n";
const uid_t kOtherUser = 65534;

// directory + "/TARN_Message.txt"
std::string messageFileIn(const std::string& directory);

std::string cannotCreate(const std::string& path);
std::string cannotWrite(const std::string& path);
std::string cannotLock(const std::string& path);

// Whole file as bytes; empty when it cannot be read.
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
// lstat-based: a dangling symbolic link exists too.
bool pathExists(const std::string& path);
// Regular files and links anywhere below `directory`, as paths.
std::vector<std::string> filesBelow(const std::string& directory);

struct RunResult {
    ProcessOutcome outcome;
    std::string out;  // standard output, byte for byte
    std::string err;  // standard error, byte for byte
};

struct RunOptions {
    std::string workingDirectory;  // empty: the test's temporary root
    std::string stdoutPath;        // empty: captured
    // Put before the program, e.g. setpriv and its options.
    std::vector<std::string> launcher;
    std::string program;  // empty: the built tarnpost
};

// What the Receiver's last line says, or -1 when it said nothing.
struct ReceiverSummary {
    long notifications = -1;
    long connections = -1;
};
ReceiverSummary summarize(const std::string& receiverOutput);

// A stand-in Receiver running in the background for one test.
class Receiver {
public:
    // `launcher` goes before the program, e.g. setpriv and its options.
    Receiver(std::string workDirectory, Environment environment, std::vector<std::string> options,
             std::vector<std::string> launcher = {}, std::string program = TARN_RECEIVER_PROGRAM);
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Starts it and waits until it listens; false with `failure()` set.
    bool start();
    // Asks it to stop (unless it already ended), waits, and returns what it
    // printed. `outcome()` then tells how it ended.
    std::string stop();
    const ProcessOutcome& outcome() const {
        return outcome_;
    }
    const std::string& failure() const {
        return failure_;
    }
    // The messages it recorded, in the order it read them.
    std::vector<std::string> records() const;
    std::string recordDirectory() const {
        return workDirectory_ + "/record";
    }

private:
    std::string workDirectory_;
    Environment environment_;
    std::vector<std::string> options_;
    std::vector<std::string> launcher_;
    std::string program_;
    pid_t pid_ = -1;
    ProcessOutcome outcome_;
    std::string failure_;
};

class E2eTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // root_ + "/" + relative
    std::string at(const std::string& relative) const;
    // Creates root_/relative with its parents and returns its absolute path.
    std::string makeDirectory(const std::string& relative) const;
    // PATH, XDG_RUNTIME_DIR (the private runtime directory) and any
    // sanitizer settings of the caller; nothing else of the caller's.
    Environment baseEnvironment() const;
    // baseEnvironment() with USERPROFILE set to `directory`.
    Environment profileEnvironment(const std::string& directory) const;

    RunResult runTarnpost(const std::vector<std::string>& arguments, const Environment& environment,
                          const RunOptions& options = {});
    // Starts tarnpost without waiting; the outputs go to the returned paths.
    pid_t launchTarnpost(const std::vector<std::string>& arguments, const Environment& environment,
                         std::string* stdoutPath, std::string* stderrPath);
    // A Receiver reading `messageDirectory`, recording what it reads.
    std::unique_ptr<Receiver> makeReceiver(const std::string& messageDirectory,
                                           std::vector<std::string> options = {});

    // Runs as the unprivileged user kOtherUser go through setpriv, which
    // needs root; the test is skipped otherwise.
    bool canRunAsOtherUser() const;
    // Options that run tarnpost as kOtherUser. The programs are copied into
    // the temporary tree, which is opened for reading, since the build tree
    // may lie where that user cannot reach.
    RunOptions otherUserOptions();
    std::string receiverCopy() const {
        return at("bin/tarn-receiver");
    }

    std::string root_;
    std::string runtimeDirectory_;

private:
    // The built tarnpost (or options.program) with its outputs in files of
    // their own under root_/out.
    ProcessLaunch tarnpostLaunch(const std::vector<std::string>& arguments,
                                 const Environment& environment, const RunOptions& options);
    int outputs_ = 0;
    int receivers_ = 0;
};

std::vector<std::string> toEnvironmentList(const Environment& environment);

#endif
