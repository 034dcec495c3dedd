// Deliveries that fail on Windows: each ends in its one error line, exit
// status 1, and a message file that is either whole or absent; the window is
// told only about a whole file.
#include <gtest/gtest.h>

#include <stdio.h>

#include <functional>

#include "harness.h"

using namespace harness;

namespace {

enum class FileAfter {
    kMessage,    // the message, whole
    kUntouched,  // what was there before
    kAbsent,     // no file at all
    kEmpty,      // a file of no bytes: neither a fragment nor the old message
    kDevice,     // a link to a device, never read (it would not end)
};

struct FaultCase {
    const char* name;
    // Prepares the profile directory `dir` and returns the value for
    // USERPROFILE; empty when the case cannot be set up.
    std::function<std::string(const std::string& dir)> prepare;
    bool receiverRunning;
    LRESULT reply;
    std::string errorText;  // "%s" stands for the message file's path
    bool notified;
    FileAfter fileAfter;
};

const char kOldContent[] = "an older message\r\n";

// Marks a case that this system cannot set up faithfully.
const char kNotHere[] = "<not here>";

// An existing message file with the read-only attribute. Wine keeps the
// attribute as Unix permissions, which do not stop root: there the case
// cannot happen and is left out.
std::string readOnlyMessageFile(const std::string& dir) {
    const std::string file = dir + "\\" TARN_MESSAGE_FILE_NAME;
    if (!writeFile(file, kOldContent) ||
        !SetFileAttributesA(file.c_str(), FILE_ATTRIBUTE_READONLY)) {
        return "";
    }
    const HANDLE writable = CreateFileA(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (writable != INVALID_HANDLE_VALUE) {
        CloseHandle(writable);
        return kNotHere;
    }
    return dir;
}

// An existing message file that another program holds open for reading and
// shares with readers only, as a Receiver still reading the last message
// might; closed after the run.
HANDLE heldMessageFile = INVALID_HANDLE_VALUE;

std::string messageFileHeldOpen(const std::string& dir) {
    const std::string file = dir + "\\" TARN_MESSAGE_FILE_NAME;
    if (!writeFile(file, kOldContent)) {
        return "";
    }
    heldMessageFile = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    return heldMessageFile == INVALID_HANDLE_VALUE ? "" : dir;
}

// The profile directory as the scratch directory made it.
std::string profileAsIs(const std::string& dir) {
    return dir;
}

// An older, longer message file that another program has mapped into its
// memory, which Windows does not let anyone cut short; unmapped after the run.
const void* mappedView = nullptr;

std::string messageFileMapped(const std::string& dir) {
    const std::string file = dir + "\\" TARN_MESSAGE_FILE_NAME;
    if (!writeFile(file, std::string(300, 'o') + "\r\n")) {
        return "";
    }
    const HANDLE handle =
        CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return "";
    }
    const HANDLE mapping = CreateFileMappingA(handle, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(handle);
    if (mapping == nullptr) {
        return "";
    }
    mappedView = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    CloseHandle(mapping);  // the view keeps the mapping alive
    return mappedView == nullptr ? "" : dir;
}

// Made by the test run on the Unix side (tests/windows/CMakeLists.txt):
// "device" holds TARN_Message.txt as a link to /dev/full, which Wine
// reports as a character device; "disk" is a full file system of 8 KiB when
// the run may mount one.
std::string deviceDirectory(const std::string&) {
    return programs().fullDiskDirectory + "\\device";
}

std::string fullDiskDirectory(const std::string&) {
    const std::string disk = programs().fullDiskDirectory + "\\disk";
    return fileExists(disk + "\\filler") ? disk : kNotHere;
}

const std::vector<FaultCase>& faultCases() {
    static const std::vector<FaultCase> cases = {
        {"missing directory", [](const std::string& dir) { return dir + "\\missing"; }, true, 0,
         "Cannot create message file \"%s\".\n", false, FileAfter::kAbsent},
        {"missing directory with trailing backslash",
         [](const std::string& dir) { return dir + "\\missing\\"; }, true, 0,
         "Cannot create message file \"%s\".\n", false, FileAfter::kAbsent},
        {"path names a directory",
         [](const std::string& dir) {
             return CreateDirectoryA((dir + "\\" TARN_MESSAGE_FILE_NAME).c_str(), nullptr) ? dir
                                                                                           : "";
         },
         true, 0, "Cannot create message file \"%s\".\n", false, FileAfter::kUntouched},
        {"read-only message file", readOnlyMessageFile, true, 0,
         "Cannot create message file \"%s\".\n", false, FileAfter::kUntouched},
        {"message file held open by another program", messageFileHeldOpen, true, 0,
         "Cannot create message file \"%s\".\n", false, FileAfter::kUntouched},
        {"message file is a link to a device", deviceDirectory, true, 0,
         "Cannot create message file \"%s\".\n", false, FileAfter::kDevice},
        {"disk full while writing", fullDiskDirectory, true, 0,
         "Cannot write message file \"%s\".\n", false, FileAfter::kEmpty},
        {"longer old file mapped by another program", messageFileMapped, true, 0,
         "Cannot write message file \"%s\".\n", false, FileAfter::kUntouched},
        {"no Receiver window", profileAsIs, false, 0,
         "Program TARN not running (or an old version).", false, FileAfter::kMessage},
        {"Receiver replies 1", profileAsIs, true, 1, "Program TARN returns error.", true,
         FileAfter::kMessage},
        {"Receiver replies -1", profileAsIs, true, -1, "Program TARN returns error.", true,
         FileAfter::kMessage},
        {"Receiver replies 0x7fffffff", profileAsIs, true, 0x7fffffff,
         "Program TARN returns error.", true, FileAfter::kMessage},
    };
    return cases;
}

std::string withPath(const std::string& text, const std::string& path) {
    const size_t at = text.find("%s");
    return at == std::string::npos ? text : text.substr(0, at) + path + text.substr(at + 2);
}

TEST(Faults, EachFailureGivesItsLineAndStatusOne) {
    for (const FaultCase& c : faultCases()) {
        SCOPED_TRACE(c.name);
        ScratchDirectory profile("faults");
        const std::string directory = c.prepare(profile.path());
        ASSERT_FALSE(directory.empty()) << "cannot set the case up";
        if (directory == kNotHere) {
            printf("[ SKIPPED  ] case \"%s\": cannot be set up faithfully here\n", c.name);
            continue;
        }
        const std::string messageFile = directory + "\\" TARN_MESSAGE_FILE_NAME;
        std::string before;
        const bool existedBefore =
            c.fileAfter != FileAfter::kDevice && readFile(messageFile, &before);

        ReceiverWindow receiver;
        if (!c.receiverRunning) {
            ASSERT_EQ(FindWindowW(TARN_CLASS_NAME_W, nullptr), nullptr)
                << "a window of the class exists already";
        } else {
            ASSERT_TRUE(receiver.start());
            receiver.setMessageFile(messageFile);
            receiver.setReply(c.reply);
        }
        const std::string message = std::string("fault: ") + c.name;
        const RunResult run =
            runTarnpost("tarnpost \"" + message + "\"", {"USERPROFILE=" + directory});
        receiver.stop();
        if (heldMessageFile != INVALID_HANDLE_VALUE) {
            CloseHandle(heldMessageFile);
            heldMessageFile = INVALID_HANDLE_VALUE;
        }
        if (mappedView != nullptr) {
            UnmapViewOfFile(mappedView);
            mappedView = nullptr;
        }

        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 1u);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(printable(run.err), printable(errorLine(withPath(c.errorText, messageFile))));
        const std::vector<Notification> seen = receiver.notifications();
        ASSERT_EQ(seen.size(), c.notified ? 1u : 0u);
        if (c.notified) {
            EXPECT_TRUE(seen[0].fileRead) << "error " << seen[0].readError;
            EXPECT_EQ(seen[0].fileBytes, message + "\r\n");
        }
        if (c.fileAfter == FileAfter::kDevice) {
            continue;
        }
        std::string after;
        const bool existsAfter = readFile(messageFile, &after);
        switch (c.fileAfter) {
        case FileAfter::kMessage:
            EXPECT_TRUE(existsAfter);
            EXPECT_EQ(after, message + "\r\n");
            break;
        case FileAfter::kUntouched:
            EXPECT_EQ(existsAfter, existedBefore);
            EXPECT_EQ(after, before);
            break;
        case FileAfter::kEmpty:
            EXPECT_TRUE(existsAfter);
            EXPECT_EQ(after, "");
            break;
        case FileAfter::kAbsent:
            EXPECT_FALSE(fileExists(messageFile));
            EXPECT_EQ(listDirectory(profile.path()), std::vector<std::string>{});
            break;
        case FileAfter::kDevice:
            break;
        }
    }
}

}  // namespace
