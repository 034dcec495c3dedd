// Deliveries that run at the same time: the named mutex makes each one wait
// from writing the file until the Receiver's reply, so no message is lost,
// doubled or mixed, and a lock left by a dead run blocks nobody.
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <map>
#include <memory>

#include "harness.h"

using namespace harness;

namespace {

const wchar_t kDeliveryMutexName[] = L"Local\\TarnpostDelivery";

class Concurrency : public ProfileWithReceiver {};

TEST_F(Concurrency, FiftyDeliveriesStartedAtOnceLoseNothing) {
    const int kDeliveries = 50;
    std::map<std::string, int> expected;  // file content -> times the window read it
    std::vector<std::unique_ptr<Process>> processes;
    RunOptions suspended;
    suspended.suspended = true;
    for (int i = 0; i < kDeliveries; ++i) {
        char message[96];
        // Different lengths, so a file mixed from two messages shows.
        snprintf(message, sizeof message, "delivery %02d of %d %.*s", i, kDeliveries, i % 17,
                 "+++++++++++++++++");
        expected[std::string(message) + "\r\n"] = 0;
        processes.emplace_back(new Process);
        ASSERT_TRUE(processes.back()->start(programs().tarnpost,
                                            std::string("tarnpost \"") + message + "\"",
                                            profileEnvironment(), suspended));
    }
    for (auto& process : processes) {
        process->resume();
    }
    for (auto& process : processes) {
        const RunResult run = process->finish(120000);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0u) << printable(run.err);
        EXPECT_EQ(run.err, "");
    }

    const std::vector<Notification> seen = receiver.notifications();
    EXPECT_EQ(seen.size(), (size_t)kDeliveries);
    for (const Notification& notification : seen) {
        EXPECT_TRUE(notification.fileRead) << "error " << notification.readError;
        auto text = expected.find(notification.fileBytes);
        if (text == expected.end()) {
            ADD_FAILURE() << "empty, mixed or unknown file: \"" << printable(notification.fileBytes)
                          << "\"";
        } else {
            ++text->second;
        }
    }
    for (const auto& text : expected) {
        EXPECT_EQ(text.second, 1) << "read " << text.second << " times: " << printable(text.first);
    }
}

// Holds the delivery mutex on a thread of its own until told to let go, or
// dies holding it.
class MutexHolder {
public:
    explicit MutexHolder(bool abandon) : abandon_(abandon) {
        held_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        letGo_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this] { hold(); });
        WaitForSingleObject(held_, INFINITE);
    }
    ~MutexHolder() {
        release();
        if (mutex_ != nullptr) {
            CloseHandle(mutex_);
        }
        CloseHandle(held_);
        CloseHandle(letGo_);
    }
    void release() {
        SetEvent(letGo_);
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    bool taken() const {
        return taken_;
    }

private:
    void hold() {
        mutex_ = CreateMutexW(nullptr, FALSE, kDeliveryMutexName);
        taken_ = mutex_ != nullptr && WaitForSingleObject(mutex_, INFINITE) == WAIT_OBJECT_0;
        SetEvent(held_);
        if (abandon_) {
            // The thread ends owning the mutex, like a run killed mid-delivery;
            // the handle stays open so that the mutex itself lives on,
            // abandoned, until the holder is destroyed.
            return;
        }
        WaitForSingleObject(letGo_, INFINITE);
        ReleaseMutex(mutex_);
    }

    bool abandon_;
    bool taken_ = false;
    HANDLE mutex_ = nullptr;
    HANDLE held_;
    HANDLE letGo_;
    std::thread thread_;
};

TEST_F(Concurrency, DeliveryWaitsForTheLockBeforeWritingTheFile) {
    MutexHolder holder(false);
    ASSERT_TRUE(holder.taken());

    Process process;
    ASSERT_TRUE(
        process.start(programs().tarnpost, "tarnpost \"after the wait\"", profileEnvironment()));
    Sleep(1500);
    EXPECT_TRUE(process.running()) << "the delivery must wait for the lock";
    EXPECT_FALSE(fileExists(profile.file(TARN_MESSAGE_FILE_NAME))) << "written while locked";
    EXPECT_EQ(receiver.notifications().size(), 0u);

    holder.release();
    const RunResult run = process.finish();
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << printable(run.err);
    const std::vector<Notification> seen = receiver.notifications();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].fileBytes, "after the wait\r\n");
}

TEST_F(Concurrency, LockLeftByADeadRunIsTakenOver) {
    MutexHolder holder(true);
    ASSERT_TRUE(holder.taken());
    holder.release();  // the holding thread has ended: the mutex is abandoned

    const RunResult run = runTarnpost("tarnpost \"after an abandoned lock\"", profileEnvironment());

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u) << printable(run.err);
    EXPECT_EQ(run.err, "");
    const std::vector<Notification> seen = receiver.notifications();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].fileBytes, "after an abandoned lock\r\n");
}

}  // namespace
