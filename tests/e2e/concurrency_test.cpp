// Many deliveries at once: each must reach the Receiver exactly once and
// whole, never overwritten by another before the Receiver read it.
#include <errno.h>
#include <string.h>

#include <map>

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

}  // namespace
