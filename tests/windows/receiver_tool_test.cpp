// tarn-receiver.exe, the stand-in Receiver that demonstrations and the
// benchmark run against tarnpost.exe: it must read, record and reply as told
// and stop when asked.
#include <gtest/gtest.h>

#include <memory>

#include "harness.h"

using namespace harness;

namespace {

class StandInReceiver : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(programs().receiver.empty()) << "--receiver=PATH missing";
    }

    // Starts tarn-receiver with `options` and waits until its window exists.
    std::unique_ptr<Process> startReceiver(const std::string& options) {
        const std::string ready = work.file("ready");
        removeTree(ready);
        std::unique_ptr<Process> receiver(new Process);
        const std::string commandLine = "tarn-receiver " + options + " --ready \"" + ready + "\"";
        if (!receiver->start(programs().receiver, commandLine, profileEnvironment())) {
            return nullptr;
        }
        for (int waited = 0; waited < 200 && !fileExists(ready); ++waited) {
            Sleep(50);
        }
        return fileExists(ready) ? std::move(receiver) : nullptr;
    }

    Environment profileEnvironment() const {
        return {"USERPROFILE=" + profile.path()};
    }

    ScratchDirectory profile{"tool-profile"};
    ScratchDirectory work{"tool-work"};
};

TEST_F(StandInReceiver, ReadsRecordsAndStopsAfterCount) {
    const std::string record = work.file("record");
    ASSERT_TRUE(makeDirectories(record));
    std::unique_ptr<Process> receiver = startReceiver("--count 2 --record \"" + record + "\"");
    ASSERT_TRUE(receiver != nullptr) << "tarn-receiver did not get ready";

    const RunResult first = runTarnpost("tarnpost \"first \\\"one\\\"\"", profileEnvironment());
    const RunResult second = runTarnpost("tarnpost \"two\nlines\"", profileEnvironment());
    const RunResult ended = receiver->finish(30000);

    EXPECT_EQ(first.exitCode, 0u) << printable(first.err);
    EXPECT_EQ(second.exitCode, 0u) << printable(second.err);
    ASSERT_TRUE(ended.finished) << "tarn-receiver must stop after --count notifications";
    EXPECT_EQ(ended.exitCode, 0u);
    EXPECT_EQ(printable(ended.out),
              printable(crlf("TARN window of class " TARN_CLASS_NAME " ready\n"
                             "TARN message 1 (13 bytes): \"first \\\"one\\\"\\r\\n\"\n"
                             "TARN message 2 (12 bytes): \"two\\r\\nlines\\r\\n\"\n"
                             "TARN stopped after 2 notifications\n")));
    EXPECT_EQ(ended.err, "");
    EXPECT_EQ(listDirectory(record), (std::vector<std::string>{"000001.msg", "000002.msg"}));
    std::string recorded;
    EXPECT_TRUE(readFile(record + "\\000001.msg", &recorded));
    EXPECT_EQ(recorded, "first \"one\"\r\n");
    EXPECT_TRUE(readFile(record + "\\000002.msg", &recorded));
    EXPECT_EQ(recorded, "two\r\nlines\r\n");
}

TEST_F(StandInReceiver, RepliesAsToldAndStopsWhenAsked) {
    std::unique_ptr<Process> receiver = startReceiver("--reply 7");
    ASSERT_TRUE(receiver != nullptr) << "tarn-receiver did not get ready";

    const RunResult delivery = runTarnpost("tarnpost refused", profileEnvironment());
    const RunResult stop = run(programs().receiver, "tarn-receiver --stop", {});
    const RunResult ended = receiver->finish(30000);

    EXPECT_EQ(delivery.exitCode, 1u);
    EXPECT_EQ(printable(delivery.err), printable(errorLine("Program TARN returns error.")));
    EXPECT_EQ(stop.exitCode, 0u) << printable(stop.err);
    ASSERT_TRUE(ended.finished) << "tarn-receiver --stop must end the running one";
    EXPECT_EQ(ended.exitCode, 0u);
    EXPECT_EQ(printable(ended.out),
              printable(crlf("TARN window of class " TARN_CLASS_NAME " ready\n"
                             "TARN message 1 (9 bytes): \"refused\\r\\n\"\n"
                             "TARN stopped after 1 notifications\n")));
}

// The window procedure leaves a last error of its own behind every time; a
// reply of 0 must read as success all the same, run after run.
TEST_F(StandInReceiver, ReplyOfZeroIsSuccessEveryTime) {
    const int runs = 30;
    std::unique_ptr<Process> receiver = startReceiver("--count " + std::to_string(runs));
    ASSERT_TRUE(receiver != nullptr) << "tarn-receiver did not get ready";

    int delivered = 0;
    for (int i = 0; i < runs; ++i) {
        const RunResult run = runTarnpost("tarnpost run" + std::to_string(i), profileEnvironment());
        EXPECT_EQ(run.exitCode, 0u) << i << ": " << printable(run.err);
        delivered += run.exitCode == 0 ? 1 : 0;
    }
    EXPECT_EQ(delivered, runs);
    EXPECT_TRUE(receiver->finish(30000).finished);
}

// A Receiver whose process ends inside its window procedure never replied:
// that is a failure, never a delivery. Wine reports it with the number
// privilege isolation gives on Windows, so either of the two lines is right.
TEST_F(StandInReceiver, ReceiverThatEndsWhileHandlingIsAFailure) {
    std::unique_ptr<Process> receiver = startReceiver("--die");
    ASSERT_TRUE(receiver != nullptr) << "tarn-receiver did not get ready";

    const RunResult delivery = runTarnpost("tarnpost doomed", profileEnvironment());
    receiver->finish(30000);

    EXPECT_EQ(delivery.exitCode, 1u);
    const std::string ended = "Program TARN ended while handling the message.";
    const std::string endedOrRefused =
        "Program TARN ended while handling the message, or refused it because it runs with "
        "higher privileges (run tarnpost at the same privilege level as TARN).";
    EXPECT_TRUE(delivery.err == errorLine(ended) || delivery.err == errorLine(endedOrRefused))
        << printable(delivery.err);
}

}  // namespace
