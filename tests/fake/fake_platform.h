// A fake platform for testing deliverMessage without a Receiver, a real
// environment or a lock file. It defines the POSIX stand-ins declared in
// platform/platform.h, answers from state the test sets, and records every
// call so that a test can see what was asked, in which order, and what the
// message file held at the moment the Receiver was told.
//
// Link tarnpost_fake_platform in place of tarnpost_platform.
#ifndef TARNPOST_TESTS_FAKE_FAKE_PLATFORM_H
#define TARNPOST_TESTS_FAKE_FAKE_PLATFORM_H

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

// One GetEnvironmentVariableA or GetWindowsDirectoryA call.
struct FakeLookup {
    std::string name;  // the variable, or "Windows directory"
    DWORD capacity;    // the size the caller claimed for its buffer
    // Where the caller's buffer started, counted from the buffer of the first
    // lookup of the same delivery: HOMEPATH must land right after the drive.
    long offset;
    DWORD result;
};

// One sendAndWait call, with the message file as it was at that moment.
struct FakeSentMessage {
    bool windowWasFound;  // the handle is the one FindWindowW gave out
    UINT message;
    std::optional<std::string> messageFile;  // nullopt: could not be read
    bool messageFileStillOpen;               // this process still had it open
};

// The message file as it was at some moment.
struct FakeFileSeen {
    std::optional<std::string> bytes;  // nullopt: could not be read
    bool stillOpen;                    // this process still had it open
};

struct FakePlatform {
    // --- What the test controls -------------------------------------------
    // A variable missing from the map is unset; an empty value reads as unset.
    std::map<std::string, std::string> environment;
    // nullopt: GetWindowsDirectoryA fails and returns 0.
    std::optional<std::string> windowsDirectory;
    bool windowExists = true;
    LRESULT reply = 0;
    // Set: the send is not handled and fails with this system error number.
    std::optional<DWORD> sendError;
    DeliveryLock lockResult = DELIVERY_LOCK_TAKEN;
    // The message file's stream takes this many bytes, then fails the write
    // that goes beyond them (as a full disk does); negative: no limit.
    long writableBytes = -1;
    bool closeFails = false;     // closing the stream fails (after closing it)
    bool reopenFails = false;    // every open of the message file once it was changed fails
    bool sizingFails = false;    // setFileLength to a nonzero length fails
    bool emptyingFails = false;  // setFileLength to 0 fails
    // The file sendAndWait reads; empty: the path given to acquireDeliveryLock.
    std::string messageFileToCapture;
    // Variables whose value the ANSI code page cannot hold, and its number.
    std::set<std::string> inexactVariables;
    UINT codePage = 1252;

    // --- What happened ----------------------------------------------------
    // Every call in order: "GetEnvironmentVariableA USERPROFILE 255",
    // "GetWindowsDirectoryA 255", "acquireDeliveryLock", "FindWindowW",
    // "sendAndWait", "releaseDeliveryLock".
    std::vector<std::string> calls;
    std::vector<FakeLookup> lookups;
    std::vector<std::string> lockedPaths;
    std::vector<std::wstring> classNames;  // one per FindWindowW call
    bool windowNameWasNull = true;         // false once any FindWindowW got one
    std::vector<FakeSentMessage> sentMessages;
    int locksHeld = 0;
    // Between deferInterruptions and allowInterruptions.
    bool interruptionsHeldBack = false;
    // The message file each time allowInterruptions was called, which is
    // what an interruption that arrived before leaves.
    std::vector<FakeFileSeen> filesWhenLetThrough;
    // The variables whose value was checked against the code page, in order.
    std::vector<std::string> exactnessChecks;
    // Broken contracts seen by the fake (wrong handle, unpaired release, a
    // buffer claimed outside the directory, ...); a sound caller leaves it
    // empty.
    std::vector<std::string> violations;
};

// The state every stand-in reads and writes.
FakePlatform& fakePlatform();

// Back to the defaults: nothing set, a window that replies 0, a lock that is
// taken, nothing recorded.
void resetFakePlatform();

// Whether the given call (e.g. "FindWindowW") appears in the log.
bool fakePlatformCalled(const std::string& call);

// The whole file, byte for byte, read as sendAndWait captures it; nullopt
// when it cannot be opened or read.
std::optional<std::string> readWholeFile(const std::string& path);

#endif
