// deliverMessage against the fake platform: where the message file goes,
// what it holds when the Receiver is told, and how each failure ends.
#include <errno.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "delivery/delivery.h"
#include "delivery/receiver_protocol.h"
#include "tests/fake/fake_platform.h"
#include "tests/line_ends.h"

namespace {

const DWORD kLookupCapacity = 255;
const DWORD kDirectoryBufferSize = 256;

// --- Files -----------------------------------------------------------------

void writeFile(const std::string& path, const std::string& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr) << path;
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    ASSERT_EQ(fclose(file), 0);
}

// lstat, so that a dangling symbolic link still counts as something left.
bool somethingAt(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

bool isDirectory(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

void makeDirectory(const std::string& path) {
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0) << path << ": " << strerror(errno);
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
    return remove(path);
}

void removeTree(const std::string& path) {
    nftw(path.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

int regularFilesSeen = 0;
int countRegularFile(const char*, const struct stat* status, int, struct FTW*) {
    if (S_ISREG(status->st_mode) || S_ISLNK(status->st_mode)) {
        ++regularFilesSeen;
    }
    return 0;
}

// Files (and links) anywhere under `path`.
int filesUnder(const std::string& path) {
    regularFilesSeen = 0;
    nftw(path.c_str(), countRegularFile, 16, FTW_PHYS);
    return regularFilesSeen;
}

// --- Texts ----------------------------------------------------------------

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

// --- Fixture -----------------------------------------------------------------

// Each test gets its own temporary directory with a profile directory in it
// that USERPROFILE names, a Receiver that replies 0 and a lock that is free.
class DeliveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        resetFakePlatform();
        std::string pattern = ::testing::TempDir() + "tarnpost-unit-XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr) << strerror(errno);
        root = pattern;
        profile = root + "/profile";
        makeDirectory(profile);
        fake().environment["USERPROFILE"] = profile;
    }

    void TearDown() override {
        EXPECT_TRUE(fake().violations.empty()) << joined(fake().violations);
        EXPECT_EQ(fake().locksHeld, 0) << "the delivery lock was not released";
        removeTree(root);
    }

    static FakePlatform& fake() {
        return fakePlatform();
    }

    std::string messageFileIn(const std::string& directory) const {
        return directory + "/" TARN_MESSAGE_FILE_NAME;
    }

    // Calls after the directory was resolved: the lock, the file, the Receiver.
    static std::vector<std::string> callsAfterLookups() {
        std::vector<std::string> calls;
        for (const std::string& call : fake().calls) {
            if (call.rfind("GetEnvironmentVariableA", 0) != 0 &&
                call.rfind("GetWindowsDirectoryA", 0) != 0) {
                calls.push_back(call);
            }
        }
        return calls;
    }

    static std::vector<std::string> lookupNames() {
        std::vector<std::string> names;
        for (const FakeLookup& lookup : fake().lookups) {
            names.push_back(lookup.name);
        }
        return names;
    }

    // A path of exactly `length` characters under the root; it need not
    // exist, for values that must be refused before anything is opened.
    std::string pathOfLength(size_t length) const {
        std::string path = root + "/";
        path.resize(length, 'x');
        return path;
    }

    // A directory that exists and whose path has exactly `length` characters.
    std::string directoryOfLength(size_t length) const {
        std::string path = root;
        while (path.size() < length) {
            const size_t remaining = length - path.size();
            const size_t component = remaining <= 201 ? remaining - 1 : 100;
            path += "/" + std::string(component, 'd');
            if (mkdir(path.c_str(), 0700) != 0) {
                ADD_FAILURE() << "cannot make " << path << ": " << strerror(errno);
            }
        }
        EXPECT_EQ(path.size(), length);
        return path;
    }

    std::string root;
    std::string profile;
};

// --- Resolution order ----------------------------------------------------------

// "@" at the start of a value stands for the test's temporary root.
struct ResolutionCase {
    const char* name;
    const char* userProfile;        // nullptr: unset
    const char* homeDrive;          // nullptr: unset
    const char* homePath;           // nullptr: unset
    const char* windowsDirectory;   // nullptr: the lookup fails
    const char* expectedDirectory;  // nullptr: refused
    std::vector<std::string> expectedLookups;
    const char* inexact = nullptr;       // a variable the code page cannot hold
    const char* expectedText = nullptr;  // when refused
};

// Names the case in test output instead of dumping its bytes, and so gives
// each instance its name (PrintToStringParamName); likewise for the others.
void PrintTo(const ResolutionCase& c, std::ostream* out) {
    *out << c.name;
}

class ResolutionTest : public DeliveryTest, public ::testing::WithParamInterface<ResolutionCase> {
protected:
    std::string expand(const char* value) const {
        std::string text = value;
        return text.rfind("@", 0) == 0 ? root + text.substr(1) : text;
    }

    void setVariable(const char* name, const char* value) {
        if (value == nullptr) {
            fake().environment.erase(name);
        } else {
            fake().environment[name] = expand(value);
        }
    }
};

TEST_P(ResolutionTest, WritesIntoTheFirstSourceThatAnswers) {
    const ResolutionCase& c = GetParam();
    for (const char* directory : {"/drive", "/drive/path", "/windows", "/profile/"}) {
        if (!isDirectory(root + directory)) {
            makeDirectory(root + directory);
        }
    }
    setVariable("USERPROFILE", c.userProfile);
    setVariable("HOMEDRIVE", c.homeDrive);
    setVariable("HOMEPATH", c.homePath);
    if (c.windowsDirectory != nullptr) {
        fake().windowsDirectory = expand(c.windowsDirectory);
    }
    if (c.inexact != nullptr) {
        fake().inexactVariables.insert(c.inexact);
    }
    fake().codePage = 932;

    const char* result = deliverMessage("hello");

    EXPECT_EQ(lookupNames(), c.expectedLookups);
    // Every variable whose value was used, and no other, is checked against
    // the code page.
    std::vector<std::string> used;
    for (const FakeLookup& lookup : fake().lookups) {
        if (lookup.result > 0 && lookup.name != "Windows directory") {
            used.push_back(lookup.name);
        }
    }
    EXPECT_EQ(fake().exactnessChecks, used);
    if (c.expectedDirectory == nullptr) {
        EXPECT_EQ(result, errorText);
        EXPECT_STREQ(errorText, c.expectedText);
        EXPECT_TRUE(fake().lockedPaths.empty());
        EXPECT_FALSE(fakePlatformCalled("FindWindowW"));
        EXPECT_EQ(filesUnder(root), 0);
        return;
    }
    const std::string expectedPath = messageFileIn(expand(c.expectedDirectory));
    EXPECT_EQ(result, nullptr) << errorText;
    EXPECT_EQ(fake().lockedPaths, std::vector<std::string>{expectedPath});
    EXPECT_EQ(readWholeFile(expectedPath), "hello\r\n");
    EXPECT_EQ(filesUnder(root), 1) << "a message file was written elsewhere too";

    // HOMEPATH is read into the same buffer, right after the drive text, with
    // the room that is left; everything else fills the buffer from its start.
    const std::string drive = c.homeDrive == nullptr ? "" : expand(c.homeDrive);
    for (const FakeLookup& lookup : fake().lookups) {
        SCOPED_TRACE(lookup.name);
        if (lookup.name == "HOMEPATH") {
            EXPECT_EQ(lookup.offset, (long)drive.size());
            EXPECT_EQ(lookup.capacity, kDirectoryBufferSize - drive.size());
        } else {
            EXPECT_EQ(lookup.offset, 0);
            EXPECT_EQ(lookup.capacity, kLookupCapacity);
        }
    }
}

const std::vector<std::string> kProfileOnly = {"USERPROFILE"};
const std::vector<std::string> kDriveAndPath = {"USERPROFILE", "HOMEDRIVE", "HOMEPATH"};
const std::vector<std::string> kWindows = {"USERPROFILE", "HOMEDRIVE", "Windows directory"};
const std::vector<std::string> kUpToDrive = {"USERPROFILE", "HOMEDRIVE"};

INSTANTIATE_TEST_SUITE_P(
    Sources, ResolutionTest,
    ::testing::Values(ResolutionCase{"ProfileWinsOverEverything", "@/profile", "@/drive", "/path",
                                     "@/windows", "@/profile", kProfileOnly},
                      ResolutionCase{"EmptyProfileFallsBackToDriveAndPath", "", "@/drive", "/path",
                                     "@/windows", "@/drive/path", kDriveAndPath},
                      ResolutionCase{"UnsetProfileFallsBackToDriveAndPath", nullptr, "@/drive",
                                     "/path", "@/windows", "@/drive/path", kDriveAndPath},
                      ResolutionCase{"PathIsAppendedWithoutSeparator", nullptr, "@/dr", "ive",
                                     "@/windows", "@/drive", kDriveAndPath},
                      ResolutionCase{"DriveAloneWhenPathUnset", nullptr, "@/drive", nullptr,
                                     "@/windows", "@/drive", kDriveAndPath},
                      ResolutionCase{"DriveAloneWhenPathEmpty", nullptr, "@/drive", "", "@/windows",
                                     "@/drive", kDriveAndPath},
                      ResolutionCase{"PathWithoutDriveIsNeverRead", nullptr, nullptr,
                                     "@/drive/path", "@/windows", "@/windows", kWindows},
                      ResolutionCase{"EmptyDriveFallsBackToWindowsDirectory", "", "",
                                     "@/drive/path", "@/windows", "@/windows", kWindows},
                      ResolutionCase{"NothingSetUsesWindowsDirectory", nullptr, nullptr, nullptr,
                                     "@/windows", "@/windows", kWindows},
                      ResolutionCase{"TrailingSeparatorIsDoubled", "@/profile/", nullptr, nullptr,
                                     nullptr, "@/profile/", kProfileOnly},
                      ResolutionCase{"TrailingSeparatorOfDriveAndPathIsDoubled", nullptr, "@/drive",
                                     "/path/", nullptr, "@/drive/path/", kDriveAndPath},
                      ResolutionCase{"InexactProfileIsRefused", "@/profile", "@/drive", "/path",
                                     "@/windows", nullptr, kProfileOnly, "USERPROFILE",
                                     "USERPROFILE holds characters that code page 932 cannot "
                                     "represent."},
                      ResolutionCase{"InexactDriveIsRefused", nullptr, "@/drive", "/path",
                                     "@/windows", nullptr, kUpToDrive, "HOMEDRIVE",
                                     "HOMEDRIVE holds characters that code page 932 cannot "
                                     "represent."},
                      ResolutionCase{"InexactPathIsRefused", nullptr, "@/drive", "/path",
                                     "@/windows", nullptr, kDriveAndPath, "HOMEPATH",
                                     "HOMEPATH holds characters that code page 932 cannot "
                                     "represent."},
                      ResolutionCase{"InexactDriveUnusedBesideProfile", "@/profile", "@/drive",
                                     "/path", "@/windows", "@/profile", kProfileOnly, "HOMEDRIVE"},
                      ResolutionCase{"InexactPathWithoutDriveIsNeverRead", nullptr, nullptr,
                                     "@/drive/path", "@/windows", "@/windows", kWindows,
                                     "HOMEPATH"}),
    ::testing::PrintToStringParamName());

// The path is used as it comes: no separator is dropped, none is added.
TEST_F(DeliveryTest, DirectoryEndingInSeparatorGivesDoubledSeparator) {
    fake().environment["USERPROFILE"] = profile + "/";

    EXPECT_EQ(deliverMessage("x"), nullptr) << errorText;

    ASSERT_EQ(fake().lockedPaths.size(), 1u);
    EXPECT_EQ(fake().lockedPaths[0], root + "/profile//" TARN_MESSAGE_FILE_NAME);
}

// A path of control characters is shown escaped; one whose escaped form would
// not fit the error text ends in "..." rather than being cut silently.
TEST_F(DeliveryTest, ErrorLineShowsControlCharactersEscapedAndMarksACut) {
    // The longest directory there is, all of it control characters (a
    // relative path, so nothing of the root's is in it).
    fake().environment["USERPROFILE"] = std::string(238, '\x01');

    EXPECT_EQ(deliverMessage("x"), errorText);

    const std::string text = errorText;
    EXPECT_EQ(text.rfind("Cannot create message file \"\\x01\\x01", 0), 0u) << text;
    EXPECT_EQ(text.substr(text.size() - 6), "...\".\n");
    EXPECT_LT(text.size(), sizeof errorText);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\x01'), 0);
}

// The longest directory there is, starting with every kind of control
// character and going on in more and then in letters: each text about the
// file shows the path escaped, cut after the last piece that fits (a letter,
// so that the room is checked to the character), and still ends whole.
struct LongestLineCase {
    const char* name;
    void (*arrange)(FakePlatform&, const std::string& file);
    const char* expectedText;  // "{shown}": the path as the error shows it
};

void PrintTo(const LongestLineCase& c, std::ostream* out) {
    *out << c.name;
}

class LongestLineTest : public DeliveryTest,
                        public ::testing::WithParamInterface<LongestLineCase> {};

TEST_P(LongestLineTest, ShowsThePathEscapedAndCutAndEndsWhole) {
    const std::string directory =
        "a\rb\tc\x1f"
        "d\x7f"
        "e\nf\x1bghij" +
        std::string(216, '\x01') + "xxxxxx";
    ASSERT_EQ(directory.size(), 238u);
    char callerDirectory[4096];
    ASSERT_NE(getcwd(callerDirectory, sizeof callerDirectory), nullptr);
    ASSERT_EQ(chdir(root.c_str()), 0);
    makeDirectory(directory);
    fake().environment["USERPROFILE"] = directory;
    GetParam().arrange(fake(), messageFileIn(directory));

    EXPECT_EQ(deliverMessage("x"), errorText);

    EXPECT_EQ(chdir(callerDirectory), 0);
    std::string shown = R"(a\rb\tc\x1fd\x7fe\nf\x1bghij)";
    for (int piece = 0; piece < 216; ++piece) {
        shown += R"(\x01)";
    }
    shown += "xxxx";
    EXPECT_EQ(std::string(errorText),
              replaceAll(GetParam().expectedText, "{shown}", shown + "..."));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, LongestLineTest,
    ::testing::Values(
        LongestLineCase{
            "CannotLock",
            [](FakePlatform& f, const std::string&) { f.lockResult = DELIVERY_LOCK_FAILED; },
            "Cannot lock message file \"{shown}\" for delivery."},
        LongestLineCase{"CannotCreate",
                        [](FakePlatform&, const std::string& file) { makeDirectory(file); },
                        "Cannot create message file \"{shown}\".\n"},
        LongestLineCase{"CannotWrite",
                        [](FakePlatform& f, const std::string&) { f.writableBytes = 1; },
                        "Cannot write message file \"{shown}\".\n"},
        LongestLineCase{"Incomplete",
                        [](FakePlatform& f, const std::string&) {
                            f.writableBytes = 1;
                            f.emptyingFails = true;
                        },
                        "Cannot write message file \"{shown}\"; it holds an incomplete "
                        "message.\n"}),
    ::testing::PrintToStringParamName());

TEST_F(DeliveryTest, WindowsDirectoryThatCannotBeFoundIsReported) {
    fake().environment.clear();

    EXPECT_EQ(deliverMessage("x"), errorText);

    EXPECT_STREQ(errorText, "Cannot find the Windows directory.");
    EXPECT_TRUE(fake().lockedPaths.empty());
    EXPECT_FALSE(fakePlatformCalled("FindWindowW"));
    EXPECT_EQ(filesUnder(root), 0);
}

// --- Failure ladder ------------------------------------------------------------

enum class Obstacle {
    kNone,
    kMissingDirectory,   // USERPROFILE names a directory that does not exist
    kFileIsDirectory,    // TARN_Message.txt is a directory
    kFileIsDevice,       // TARN_Message.txt is a link to /dev/null
    kWriteFails,         // the disk fills up while the message is written
    kWriteAndEmptyFail,  // ... and the file cannot be emptied afterwards
    kLongWriteFails,     // a write of a long message fails on its way
    kCloseFails,         // the file's close reports a write error
    kCloseReopenFail,    // ... and the file cannot be opened again to empty it
    kWriteNoReopen,      // the disk fills up, and the file cannot be opened again
    kSizingFails,        // a longer old file cannot be cut to the new length
};

enum class FileAfter { kAbsent, kMessage, kEarlierMessage, kEmpty, kFragment, kDirectory, kLink };
struct LadderCase {
    const char* name;
    Obstacle obstacle;
    bool windowExists;
    LRESULT reply;
    DeliveryLock lock;
    const char* expectedText;  // nullptr: delivered; "{path}": the message file's path
    std::vector<std::string> expectedCalls;
    FileAfter fileAfter;
    std::optional<DWORD> sendError = std::nullopt;
};

void PrintTo(const LadderCase& c, std::ostream* out) {
    *out << c.name;
}

class FailureLadderTest : public DeliveryTest, public ::testing::WithParamInterface<LadderCase> {};

TEST_P(FailureLadderTest, EndsWithItsTextAndGoesNoFurther) {
    const LadderCase& c = GetParam();
    std::string directory = profile;
    if (c.obstacle == Obstacle::kMissingDirectory) {
        directory = root + "/missing";
        fake().environment["USERPROFILE"] = directory;
    }
    const std::string path = messageFileIn(directory);
    if (c.obstacle == Obstacle::kFileIsDirectory) {
        makeDirectory(path);
    }
    if (c.obstacle == Obstacle::kFileIsDevice) {
        ASSERT_EQ(symlink("/dev/null", path.c_str()), 0) << strerror(errno);
    }
    const std::string earlier(100, 'o');
    if (c.fileAfter == FileAfter::kEarlierMessage) {
        writeFile(path, earlier);
    }
    fake().sizingFails = c.obstacle == Obstacle::kSizingFails;
    const bool fullDisk = c.obstacle == Obstacle::kWriteFails ||
                          c.obstacle == Obstacle::kWriteAndEmptyFail ||
                          c.obstacle == Obstacle::kWriteNoReopen;
    fake().writableBytes = fullDisk ? 5 : c.obstacle == Obstacle::kLongWriteFails ? 100 : -1;
    fake().emptyingFails = c.obstacle == Obstacle::kWriteAndEmptyFail;
    fake().closeFails =
        c.obstacle == Obstacle::kCloseFails || c.obstacle == Obstacle::kCloseReopenFail;
    fake().reopenFails =
        c.obstacle == Obstacle::kCloseReopenFail || c.obstacle == Obstacle::kWriteNoReopen;
    fake().windowExists = c.windowExists;
    fake().reply = c.reply;
    fake().sendError = c.sendError;
    fake().lockResult = c.lock;
    const std::string message = c.obstacle == Obstacle::kLongWriteFails
                                    ? std::string(10000, 'l')
                                    : std::string("line one\nline two");

    const char* result = deliverMessage(message.c_str());

    if (c.expectedText == nullptr) {
        EXPECT_EQ(result, nullptr) << errorText;
        EXPECT_STREQ(errorText, "");
    } else {
        EXPECT_EQ(result, errorText);
        EXPECT_EQ(std::string(errorText), replaceAll(c.expectedText, "{path}", path));
    }
    std::vector<std::string> expectedCalls = {"GetEnvironmentVariableA USERPROFILE 255"};
    expectedCalls.insert(expectedCalls.end(), c.expectedCalls.begin(), c.expectedCalls.end());
    EXPECT_EQ(fake().calls, expectedCalls);
    EXPECT_EQ(fake().lockedPaths, std::vector<std::string>{path});

    switch (c.fileAfter) {
    case FileAfter::kAbsent:
        EXPECT_FALSE(somethingAt(path)) << "left behind: " << path;
        break;
    case FileAfter::kMessage:
        EXPECT_EQ(readWholeFile(path), asWritten(message));
        break;
    case FileAfter::kEarlierMessage:
        EXPECT_EQ(readWholeFile(path), earlier);
        break;
    case FileAfter::kEmpty:
        EXPECT_EQ(readWholeFile(path), "");
        break;
    case FileAfter::kFragment:
        EXPECT_NE(readWholeFile(path), asWritten(message));
        break;
    case FileAfter::kDirectory:
        EXPECT_TRUE(isDirectory(path));
        break;
    case FileAfter::kLink:
        EXPECT_EQ(std::filesystem::read_symlink(path), "/dev/null");
        break;
    }
    for (const FakeSentMessage& sent : fake().sentMessages) {
        if (sent.message != TARN_MESSAGE_WAITING) {
            continue;  // the no-op sent before the file was changed
        }
        EXPECT_EQ(sent.messageFile, asWritten(message));
        EXPECT_FALSE(sent.messageFileStillOpen);
    }
    // A Ctrl+C or SIGTERM that came while the file was rewritten ends the
    // process once interruptions are let through again: the file must then
    // be as the delivery leaves it, and closed.
    for (const FakeFileSeen& seen : fake().filesWhenLetThrough) {
        EXPECT_EQ(seen.bytes, readWholeFile(path));
        EXPECT_FALSE(seen.stillOpen);
    }
}

const char kCannotCreate[] = "Cannot create message file \"{path}\".\n";
const char kNotRunning[] = "Program TARN not running (or an old version).";
const char kReturnsError[] = "Program TARN returns error.";
// The no-op the Receiver answers once it handled what was sent before, then
// the notification.
const std::vector<std::string> kWholeRound = {"acquireDeliveryLock", "FindWindowW", "sendAndWait",
                                              "sendAndWait", "releaseDeliveryLock"};
const std::vector<std::string> kCaughtUpThenRelease = {"acquireDeliveryLock", "FindWindowW",
                                                       "sendAndWait", "releaseDeliveryLock"};
const char kCannotWrite[] = "Cannot write message file \"{path}\".\n";
const char kIncomplete[] =
    "Cannot write message file \"{path}\"; it holds an incomplete message.\n";

INSTANTIATE_TEST_SUITE_P(
    Steps, FailureLadderTest,
    ::testing::Values(
        LadderCase{"Delivered", Obstacle::kNone, true, 0, DELIVERY_LOCK_TAKEN, nullptr, kWholeRound,
                   FileAfter::kMessage},
        LadderCase{"MissingDirectory", Obstacle::kMissingDirectory, true, 0, DELIVERY_LOCK_TAKEN,
                   kCannotCreate, kCaughtUpThenRelease, FileAfter::kAbsent},
        LadderCase{"MessageFileIsADirectory", Obstacle::kFileIsDirectory, true, 0,
                   DELIVERY_LOCK_TAKEN, kCannotCreate, kCaughtUpThenRelease, FileAfter::kDirectory},
        LadderCase{"DeviceInTheFilesPlaceIsNotWritten", Obstacle::kFileIsDevice, true, 0,
                   DELIVERY_LOCK_TAKEN, kCannotCreate, kCaughtUpThenRelease, FileAfter::kLink},
        LadderCase{"FullDiskEmptiesTheFile", Obstacle::kWriteFails, true, 0, DELIVERY_LOCK_TAKEN,
                   kCannotWrite, kCaughtUpThenRelease, FileAfter::kEmpty},
        // A failed write shows at once, not when a stream buffer is flushed
        // on closing, so the file is emptied through the handle that wrote it.
        LadderCase{"FullDiskEmptiesTheFileWithoutOpeningItAgain", Obstacle::kWriteNoReopen, true, 0,
                   DELIVERY_LOCK_TAKEN, kCannotWrite, kCaughtUpThenRelease, FileAfter::kEmpty},
        LadderCase{"FullDiskOnALongMessageEmptiesTheFile", Obstacle::kLongWriteFails, true, 0,
                   DELIVERY_LOCK_TAKEN, kCannotWrite, kCaughtUpThenRelease, FileAfter::kEmpty},
        LadderCase{"FileThatCannotBeEmptiedIsSaidToBeIncomplete", Obstacle::kWriteAndEmptyFail,
                   true, 0, DELIVERY_LOCK_TAKEN,
                   "Cannot write message file \"{path}\"; it holds an incomplete message.\n",
                   kCaughtUpThenRelease, FileAfter::kFragment},
        LadderCase{"FailedCloseEmptiesTheFile", Obstacle::kCloseFails, true, 0, DELIVERY_LOCK_TAKEN,
                   kCannotWrite, kCaughtUpThenRelease, FileAfter::kEmpty},
        // Closed in full but reported failed: nothing says the bytes are good.
        LadderCase{"FailedCloseAndFailedReopenIsSaidToBeIncomplete", Obstacle::kCloseReopenFail,
                   true, 0, DELIVERY_LOCK_TAKEN, kIncomplete, kCaughtUpThenRelease,
                   FileAfter::kMessage},
        LadderCase{"OldFileThatCannotBeCutKeepsItsMessage", Obstacle::kSizingFails, true, 0,
                   DELIVERY_LOCK_TAKEN, kCannotWrite, kCaughtUpThenRelease,
                   FileAfter::kEarlierMessage},
        LadderCase{"NoReceiverLeavesTheFile",
                   Obstacle::kNone,
                   false,
                   0,
                   DELIVERY_LOCK_TAKEN,
                   kNotRunning,
                   {"acquireDeliveryLock", "FindWindowW", "releaseDeliveryLock"},
                   FileAfter::kMessage},
        LadderCase{"ReceiverRepliesOne", Obstacle::kNone, true, 1, DELIVERY_LOCK_TAKEN,
                   kReturnsError, kWholeRound, FileAfter::kMessage},
        LadderCase{"ReceiverRepliesMinusOne", Obstacle::kNone, true, -1, DELIVERY_LOCK_TAKEN,
                   kReturnsError, kWholeRound, FileAfter::kMessage},
        // Only the top bit set: a reply cut to fewer bits would read as 0.
        LadderCase{"ReceiverRepliesWithOnlyTheTopBitSet", Obstacle::kNone, true, INTPTR_MIN,
                   DELIVERY_LOCK_TAKEN, kReturnsError, kWholeRound, FileAfter::kMessage},
        LadderCase{"WindowClosedBeforeTheSend", Obstacle::kNone, true, 0, DELIVERY_LOCK_TAKEN,
                   kNotRunning, kWholeRound, FileAfter::kMessage, 1400},
        LadderCase{"SendRefusedOrReceiverEnded", Obstacle::kNone, true, 0, DELIVERY_LOCK_TAKEN,
                   "Program TARN ended while handling the message, or refused it because it "
                   "runs with higher privileges (run tarnpost at the same privilege level as "
                   "TARN).",
                   kWholeRound, FileAfter::kMessage, 5},
        LadderCase{"SendFailedWithoutAReason", Obstacle::kNone, true, 0, DELIVERY_LOCK_TAKEN,
                   "Program TARN ended while handling the message.", kWholeRound,
                   FileAfter::kMessage, 0},
        LadderCase{"SendFailedWithAnotherError", Obstacle::kNone, true, 0, DELIVERY_LOCK_TAKEN,
                   "Cannot send the message to program TARN (error 1460).", kWholeRound,
                   FileAfter::kMessage, 1460},
        LadderCase{"LockHasNoPlace",
                   Obstacle::kNone,
                   true,
                   0,
                   DELIVERY_LOCK_NO_PLACE,
                   kCannotCreate,
                   {"acquireDeliveryLock"},
                   FileAfter::kAbsent},
        LadderCase{"LockCannotBeTaken",
                   Obstacle::kNone,
                   true,
                   0,
                   DELIVERY_LOCK_FAILED,
                   "Cannot lock message file \"{path}\" for delivery.",
                   {"acquireDeliveryLock"},
                   FileAfter::kAbsent}),
    ::testing::PrintToStringParamName());

// errorText is cleared at the start of every call, so a failure never leaks
// into the next delivery's result.
TEST_F(DeliveryTest, FailedCallFollowedBySuccessfulOneReturnsNull) {
    struct FirstFailure {
        const char* name;
        void (*arrange)(FakePlatform&, const std::string& root);
    };
    const FirstFailure failures[] = {
        {"no Receiver", [](FakePlatform& f, const std::string&) { f.windowExists = false; }},
        {"error reply", [](FakePlatform& f, const std::string&) { f.reply = 7; }},
        {"lock failed",
         [](FakePlatform& f, const std::string&) { f.lockResult = DELIVERY_LOCK_FAILED; }},
        {"missing directory",
         [](FakePlatform& f, const std::string& root) {
             f.environment["USERPROFILE"] = root + "/missing";
         }},
        {"overlong profile",
         [](FakePlatform& f, const std::string&) {
             f.environment["USERPROFILE"] = std::string(300, 'p');
         }},
        {"inexact profile",
         [](FakePlatform& f, const std::string&) { f.inexactVariables.insert("USERPROFILE"); }},
    };
    for (const FirstFailure& failure : failures) {
        SCOPED_TRACE(failure.name);
        resetFakePlatform();
        fake().environment["USERPROFILE"] = profile;
        failure.arrange(fake(), root);
        ASSERT_EQ(deliverMessage("first"), errorText);
        ASSERT_NE(errorText[0], '\0');
        EXPECT_TRUE(fake().violations.empty()) << joined(fake().violations);

        resetFakePlatform();
        fake().environment["USERPROFILE"] = profile;
        EXPECT_EQ(deliverMessage("second"), nullptr) << errorText;
        EXPECT_EQ(errorText[0], '\0') << errorText;
        EXPECT_EQ(readWholeFile(messageFileIn(profile)), "second\r\n");
    }
}

// --- Length limits ---------------------------------------------------------------

enum class Source { kUserProfile, kHomeDrive, kHomeDriveAndPath, kWindowsDirectory };

struct LengthCase {
    const char* name;
    Source source;
    size_t length;             // of the whole directory text
    size_t driveLength;        // for kHomeDriveAndPath: how much of it is HOMEDRIVE
    const char* expectedText;  // nullptr: delivered
};

void PrintTo(const LengthCase& c, std::ostream* out) {
    *out << c.name;
}

class LengthLimitTest : public DeliveryTest, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(LengthLimitTest, FitsOrIsRefusedBeforeAnythingIsWritten) {
    const LengthCase& c = GetParam();
    const bool fits = c.expectedText == nullptr;
    const std::string directory = fits ? directoryOfLength(c.length) : pathOfLength(c.length);
    fake().environment.clear();
    switch (c.source) {
    case Source::kUserProfile:
        fake().environment["USERPROFILE"] = directory;
        break;
    case Source::kHomeDrive:
        fake().environment["HOMEDRIVE"] = directory;
        break;
    case Source::kHomeDriveAndPath:
        fake().environment["HOMEDRIVE"] = directory.substr(0, c.driveLength);
        fake().environment["HOMEPATH"] = directory.substr(c.driveLength);
        break;
    case Source::kWindowsDirectory:
        fake().windowsDirectory = directory;
        break;
    }

    const char* result = deliverMessage("limit");

    if (fits) {
        EXPECT_EQ(result, nullptr) << errorText;
        EXPECT_EQ(readWholeFile(messageFileIn(directory)), "limit\r\n");
        return;
    }
    EXPECT_EQ(result, errorText);
    EXPECT_STREQ(errorText, c.expectedText);
    EXPECT_TRUE(fake().lockedPaths.empty());
    EXPECT_FALSE(fakePlatformCalled("FindWindowW"));
    EXPECT_EQ(filesUnder(root), 0);
    // A value too long for its lookup is an error, not a reason to try the
    // next source.
    const std::string last = fake().lookups.empty() ? "" : fake().lookups.back().name;
    switch (c.source) {
    case Source::kUserProfile:
        EXPECT_EQ(last, "USERPROFILE");
        break;
    case Source::kHomeDrive:
    case Source::kHomeDriveAndPath:
        EXPECT_TRUE(last == "HOMEDRIVE" || last == "HOMEPATH") << last;
        break;
    case Source::kWindowsDirectory:
        EXPECT_EQ(last, "Windows directory");
        break;
    }
}

const char kProfileTooLong[] = "USERPROFILE is longer than 254 characters.";
const char kDriveTooLong[] = "HOMEDRIVE is longer than 254 characters.";
const char kDriveAndPathTooLong[] = "HOMEDRIVE plus HOMEPATH is longer than 255 characters.";
const char kWindowsTooLong[] = "Windows directory is longer than 254 characters.";
const char kProfileDirTooLong[] =
    "Message directory from USERPROFILE is longer than 238 characters.";
const char kDriveDirTooLong[] =
    "Message directory from HOMEDRIVE plus HOMEPATH is longer than 238 characters.";
const char kWindowsDirTooLong[] =
    "Message directory from Windows directory is longer than 238 characters.";

INSTANTIATE_TEST_SUITE_P(
    Boundaries, LengthLimitTest,
    ::testing::Values(
        LengthCase{"Profile238", Source::kUserProfile, 238, 0, nullptr},
        LengthCase{"Profile239", Source::kUserProfile, 239, 0, kProfileDirTooLong},
        LengthCase{"Profile254", Source::kUserProfile, 254, 0, kProfileDirTooLong},
        LengthCase{"Profile255", Source::kUserProfile, 255, 0, kProfileTooLong},
        LengthCase{"Profile400", Source::kUserProfile, 400, 0, kProfileTooLong},
        LengthCase{"Drive238", Source::kHomeDrive, 238, 0, nullptr},
        LengthCase{"Drive239", Source::kHomeDrive, 239, 0, kDriveDirTooLong},
        LengthCase{"Drive254", Source::kHomeDrive, 254, 0, kDriveDirTooLong},
        LengthCase{"Drive255", Source::kHomeDrive, 255, 0, kDriveTooLong},
        LengthCase{"Drive400", Source::kHomeDrive, 400, 0, kDriveTooLong},
        LengthCase{"DriveAndPath238", Source::kHomeDriveAndPath, 238, 40, nullptr},
        LengthCase{"DriveAndPath239", Source::kHomeDriveAndPath, 239, 40, kDriveDirTooLong},
        LengthCase{"DriveAndPath255", Source::kHomeDriveAndPath, 255, 40, kDriveDirTooLong},
        LengthCase{"DriveAndPath256", Source::kHomeDriveAndPath, 256, 40, kDriveAndPathTooLong},
        LengthCase{"DriveAndPath400", Source::kHomeDriveAndPath, 400, 40, kDriveAndPathTooLong},
        LengthCase{"LongestDrivePlusOne", Source::kHomeDriveAndPath, 255, 254, kDriveDirTooLong},
        LengthCase{"LongestDrivePlusTwo", Source::kHomeDriveAndPath, 256, 254,
                   kDriveAndPathTooLong},
        LengthCase{"ShortDriveLongestPath", Source::kHomeDriveAndPath, 255, 1, kDriveDirTooLong},
        LengthCase{"ShortDrivePathTooLong", Source::kHomeDriveAndPath, 256, 1,
                   kDriveAndPathTooLong},
        LengthCase{"Windows238", Source::kWindowsDirectory, 238, 0, nullptr},
        LengthCase{"Windows239", Source::kWindowsDirectory, 239, 0, kWindowsDirTooLong},
        LengthCase{"Windows254", Source::kWindowsDirectory, 254, 0, kWindowsDirTooLong},
        LengthCase{"Windows255", Source::kWindowsDirectory, 255, 0, kWindowsTooLong},
        LengthCase{"Windows400", Source::kWindowsDirectory, 400, 0, kWindowsTooLong}),
    ::testing::PrintToStringParamName());

// Every length of the Windows directory, the one source the end-to-end tests
// cannot vary: each run ends in the exact file or the exact error. Lengths
// shorter than the temporary root's own path are made relative to it.
TEST_F(DeliveryTest, WindowsDirectoryOfEveryLengthFitsOrIsRefused) {
    char callerDirectory[4096];
    ASSERT_NE(getcwd(callerDirectory, sizeof callerDirectory), nullptr);
    for (size_t length = 0; length <= 300; ++length) {
        const std::string base = root + "/" + std::to_string(length);
        ASSERT_EQ(mkdir(base.c_str(), 0700), 0);
        ASSERT_EQ(chdir(base.c_str()), 0);
        std::string directory;
        while (directory.size() < length) {
            const size_t component = std::min<size_t>(length - directory.size(), 100);
            directory += std::string(directory.empty() ? component : component - 1, 'w');
            if (length <= 238) {
                mkdir(directory.c_str(), 0700);
            }
            if (directory.size() < length) {
                directory += "/";
            }
        }
        resetFakePlatform();
        fake().windowsDirectory = directory;

        const char* result = deliverMessage("sweep");

        SCOPED_TRACE("length " + std::to_string(length));
        if (length == 0) {
            EXPECT_STREQ(errorText, "Cannot find the Windows directory.");
        } else if (length <= 238) {
            EXPECT_EQ(result, nullptr) << errorText;
            EXPECT_EQ(readWholeFile(directory + "/" TARN_MESSAGE_FILE_NAME), "sweep\r\n");
        } else if (length <= 254) {
            EXPECT_STREQ(errorText,
                         "Message directory from Windows directory is longer than 238 characters.");
        } else {
            EXPECT_STREQ(errorText, "Windows directory is longer than 254 characters.");
        }
        EXPECT_EQ(filesUnder(base), length >= 1 && length <= 238 ? 1 : 0);
    }
    ASSERT_EQ(chdir(callerDirectory), 0);
}

// --- File content --------------------------------------------------------------

struct ContentCase {
    const char* name;
    std::string message;
    std::string expectedFile;
};

void PrintTo(const ContentCase& c, std::ostream* out) {
    *out << c.name;
}

class MessageFileTest : public DeliveryTest {
protected:
    // The bytes must be on disk, written and closed, when the Receiver is
    // told, and stay so afterwards.
    void expectDelivered(const std::string& message, const std::string& expectedFile) {
        EXPECT_EQ(deliverMessage(message.c_str()), nullptr) << errorText;
        ASSERT_EQ(fake().sentMessages.size(), 2u);
        EXPECT_EQ(fake().sentMessages[1].messageFile, expectedFile);
        EXPECT_FALSE(fake().sentMessages[1].messageFileStillOpen);
        EXPECT_EQ(readWholeFile(messageFileIn(profile)), expectedFile);
    }
};

class FileContentTest : public MessageFileTest,
                        public ::testing::WithParamInterface<ContentCase> {};

TEST_P(FileContentTest, HoldsTheMessageWithWindowsLineEnds) {
    expectDelivered(GetParam().message, GetParam().expectedFile);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, FileContentTest,
    ::testing::Values(
        ContentCase{"Empty", "", "\r\n"}, ContentCase{"OneLine", "hello", "hello\r\n"},
        ContentCase{"LineFeedBecomesCrLf", "a\nb", "a\r\nb\r\n"},
        ContentCase{"OnlyLineFeeds", "\n\n", "\r\n\r\n\r\n"},
        ContentCase{"CarriageReturnIsKept", "a\rb", "a\rb\r\n"},
        ContentCase{"CrLfGetsAnotherCr", "a\r\nb", "a\r\r\nb\r\n"},
        ContentCase{"PrintfDirectivesAreText", "%s %n %d %% %*s", "%s %n %d %% %*s\r\n"},
        ContentCase{"QuotesAndBackslashes", "*** File \"c:\\usr\\0x.tnr\": line 38",
                    "*** File \"c:\\usr\\0x.tnr\": line 38\r\n"},
        ContentCase{"EightBitBytes", "\x80\xe9\xff\x01\x7f", "\x80\xe9\xff\x01\x7f\r\n"}),
    ::testing::PrintToStringParamName());

TEST_F(MessageFileTest, EveryByteValueArrivesUnchanged) {
    std::string message;
    for (int byte = 1; byte <= 255; ++byte) {
        message += (char)byte;
    }
    expectDelivered(message, asWritten(message));
}

// The longest command line Windows accepts bounds the message.
TEST_F(MessageFileTest, LongestMessageArrivesWhole) {
    std::string message;
    for (size_t i = 0; message.size() < 32767; ++i) {
        message += i % 81 == 80 ? '\n' : (char)('a' + i % 26);
    }
    message.resize(32767);
    expectDelivered(message, asWritten(message));
}

TEST_F(MessageFileTest, LongerOldFileIsReplacedWhole) {
    writeFile(messageFileIn(profile), std::string(5000, 'o') + "\r\n");
    expectDelivered("new", "new\r\n");
}

// --- Notification --------------------------------------------------------------

TEST_F(DeliveryTest, ReceiverIsToldByClassNameWithMessage0x8000AndNoData) {
    EXPECT_EQ(deliverMessage("x"), nullptr) << errorText;

    EXPECT_EQ(fake().classNames, std::vector<std::wstring>{TARN_CLASS_NAME_W});
    EXPECT_TRUE(fake().windowNameWasNull);
    ASSERT_EQ(fake().sentMessages.size(), 2u);
    EXPECT_EQ(fake().sentMessages[0].message, TARN_NO_OPERATION);
    const FakeSentMessage& sent = fake().sentMessages[1];
    EXPECT_TRUE(sent.windowWasFound);
    EXPECT_EQ(sent.message, TARN_MESSAGE_WAITING);
    // The lock is held from before the file is written until the reply.
    EXPECT_EQ(callsAfterLookups(), kWholeRound);
}

}  // namespace
