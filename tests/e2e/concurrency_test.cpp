// Many deliveries at once: each must reach the Receiver exactly once and
// whole, never overwritten by another before the Receiver read it.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "e2e_support.h"

namespace {

const int kDeliveries = 60;

// Texts of very different lengths, so that a file overwritten while being
// read, or written over a longer one, shows up as a mixed text.
std::string uniqueText(int index) {
    std::string text = "delivery " + std::to_string(index) + ":";
    text += std::string((size_t)(index * 997) % 20000, (char)('a' + index % 26));
    return text + "\nend of " + std::to_string(index);
}

class Concurrency : public E2eTest {};

TEST_F(Concurrency, EveryMessageReachesTheReceiverExactlyOnce) {
    const std::string profile = makeDirectory("profile");
    std::unique_ptr<Receiver> receiver = makeReceiver(profile);
    ASSERT_TRUE(receiver->start()) << receiver->failure();
    const Environment environment = profileEnvironment(profile);

    struct Launched {
        pid_t pid;
        std::string out;
        std::string err;
    };
    std::vector<Launched> launched;
    for (int i = 0; i < kDeliveries; ++i) {
        Launched run;
        run.pid = launchTarnpost({uniqueText(i)}, environment, &run.out, &run.err);
        ASSERT_GT(run.pid, 0) << strerror(errno);
        launched.push_back(run);
    }
    for (int i = 0; i < kDeliveries; ++i) {
        const ProcessOutcome outcome = waitForProcess(launched[i].pid, kProcessLimit);
        EXPECT_EQ(describe(outcome), "exit 0")
            << "delivery " << i << ": " << readFile(launched[i].err);
        EXPECT_EQ(readFile(launched[i].out), "");
        EXPECT_EQ(readFile(launched[i].err), "");
    }

    const std::string shown = receiver->stop();
    EXPECT_EQ(summarize(shown).notifications, kDeliveries);
    std::map<std::string, int> expected;
    for (int i = 0; i < kDeliveries; ++i) {
        expected[asWritten(uniqueText(i))] = i;
    }
    std::vector<int> timesRead(kDeliveries, 0);
    int foreign = 0;
    for (const std::string& record : receiver->records()) {
        const auto found = expected.find(record);
        if (found == expected.end()) {
            ++foreign;  // empty, mixed or cut
        } else {
            ++timesRead[found->second];
        }
    }
    EXPECT_EQ(foreign, 0) << "the Receiver read texts that no delivery sent";
    for (int i = 0; i < kDeliveries; ++i) {
        EXPECT_EQ(timesRead[i], 1) << "delivery " << i;
    }
}

// Who holds the delivery lock when tarnpost starts, and how it lets go.
enum class Holder {
    kThisProcess,             // lets go while tarnpost waits
    kChildThatExited,         // ended before tarnpost started
    kChildKilledWhileWaiting  // killed while tarnpost waits
};

struct LockCase {
    const char* name;
    Holder holder;
};

const LockCase kLockCases[] = {
    {"held here, then released", Holder::kThisProcess},
    {"holder exited", Holder::kChildThatExited},
    {"holder killed while tarnpost waits", Holder::kChildKilledWhileWaiting},
};

// A write lock on the whole file, as tarnpost takes it; the descriptor or -1.
int lockWholeFile(const char* path) {
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    struct flock whole = {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fd >= 0 && fcntl(fd, F_SETLKW, &whole) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A child that takes the lock and then exits at once or waits to be killed;
// returns once it holds the lock, or -1.
pid_t lockInChild(const std::string& path, bool exitAtOnce) {
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const char locked = lockWholeFile(path.c_str()) >= 0 ? 'y' : 'n';
        if (write(ready[1], &locked, 1) == 1 && locked == 'y' && !exitAtOnce) {
            pause();
        }
        _exit(0);
    }
    close(ready[1]);
    char locked = 'n';
    const bool holds = pid > 0 && read(ready[0], &locked, 1) == 1 && locked == 'y';
    close(ready[0]);
    if (pid > 0 && !holds) {
        kill(pid, SIGKILL);
    }
    if (pid > 0 && (exitAtOnce || !holds)) {
        waitpid(pid, nullptr, 0);
    }
    return holds ? pid : -1;
}

// fcntl locks belong to processes, so the lock this test process takes
// holds tarnpost off just as another delivery's would. While it is held
// tarnpost must neither write nor notify; a holder that dies, even holding
// it, must not keep the next delivery waiting.
TEST_F(Concurrency, ADeliveryWaitsForTheLockAndNotForADeadHolder) {
    const std::string profile = makeDirectory("profile");
    const std::string lockPath = messageFileIn(profile) + ".lock";
    std::unique_ptr<Receiver> receiver = makeReceiver(profile);
    ASSERT_TRUE(receiver->start()) << receiver->failure();
    std::vector<std::string> delivered;

    for (const LockCase& lock : kLockCases) {
        SCOPED_TRACE(lock.name);
        const int held = lock.holder == Holder::kThisProcess ? lockWholeFile(lockPath.c_str()) : -1;
        const pid_t holder = lock.holder == Holder::kThisProcess
                                 ? 0
                                 : lockInChild(lockPath, lock.holder == Holder::kChildThatExited);
        ASSERT_TRUE(held >= 0 || holder > 0) << "the lock could not be taken";
        const std::string text = std::string("past the lock: ") + lock.name;
        std::string out;
        std::string err;
        const pid_t pid = launchTarnpost({text}, profileEnvironment(profile), &out, &err);
        if (pid < 0 && lock.holder == Holder::kChildKilledWhileWaiting) {
            kill(holder, SIGKILL);  // no child may outlive the test
            waitpid(holder, nullptr, 0);
        }
        ASSERT_GT(pid, 0) << strerror(errno);

        ProcessOutcome outcome;
        bool ended = false;
        if (lock.holder != Holder::kChildThatExited) {
            // A run that ignored the lock would be done long before this.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ended = pollProcess(pid, &outcome);
            EXPECT_FALSE(ended) << "ended while the lock was held: " << describe(outcome);
            EXPECT_EQ(readFile(messageFileIn(profile)), delivered.empty() ? "" : delivered.back());
            EXPECT_EQ(receiver->records(), delivered) << "notified while the lock was held";
            if (held >= 0) {
                close(held);
            } else {
                kill(holder, SIGKILL);
                waitpid(holder, nullptr, 0);
            }
        }
        if (!ended) {
            outcome = waitForProcess(pid, kProcessLimit);
        }
        EXPECT_EQ(describe(outcome), "exit 0") << readFile(err);
        EXPECT_EQ(readFile(err), "");
        delivered.push_back(asWritten(text));
        EXPECT_EQ(receiver->records(), delivered);
    }
    EXPECT_EQ(summarize(receiver->stop()).notifications, (long)delivered.size());
}

}  // namespace
