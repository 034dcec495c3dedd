#include "tests/fake/fake_platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "delivery/receiver_protocol.h"

namespace {

// The caller resolves the message directory into one buffer of this size;
// every lookup must stay inside it.
const long kDirectoryBufferSize = 256;

FakePlatform state;

// Stands for the Receiver's window; only its address is used.
char receiverWindow;
HWND receiverHandle() {
    return reinterpret_cast<HWND>(&receiverWindow);
}

// Where the current delivery's directory buffer starts.
uintptr_t directoryStart = 0;

void violation(const std::string& what) {
    state.violations.push_back(what);
}

// Whether the file was changed since the platform was reset, and whether a
// window was given out and answered a no-op: only then has it handled every
// notification sent before.
bool fileChanged = false;
bool fileOpened = false;
bool windowGivenOut = false;
bool windowCaughtUp = false;

// An interruption let through while the file is changed could end the
// process with part of a message in it; a change before the Receiver caught
// up lets it read this message for an earlier notification.
void requireInterruptionsHeldBack(const char* change) {
    fileChanged = true;
    if (!state.interruptionsHeldBack) {
        violation(std::string(change) + " while interruptions are let through");
    }
    if (windowGivenOut && !windowCaughtUp) {
        violation(std::string(change) + " before the Receiver answered a no-op");
    }
}

// The message file's stream: a real descriptor behind a stream that fails
// as the test asks.
struct MessageStream {
    int fd;
    long room;  // bytes it still takes; negative: no limit
    bool closeFails;
    bool changed;  // written or given a length
};
MessageStream stream;
FILE* openStream = nullptr;

// The write that crosses the limit stores what fits and fails; the limit is
// then lifted, as on a disk where space was freed meanwhile, so that a
// caller who writes on after a failure would be seen to succeed.
ssize_t writeToStream(void* cookie, const char* bytes, size_t size) {
    requireInterruptionsHeldBack("a write to the message file");
    MessageStream* target = static_cast<MessageStream*>(cookie);
    target->changed = true;
    if (target->room < 0 || (long)size <= target->room) {
        const ssize_t written = write(target->fd, bytes, size);
        if (written > 0 && target->room >= 0) {
            target->room -= written;
        }
        return written < 0 ? 0 : written;
    }
    const size_t fits = (size_t)target->room;
    target->room = -1;
    // What fits goes to disk; 0 is how a cookie stream learns of a failure.
    const ssize_t stored = fits == 0 ? 0 : write(target->fd, bytes, fits);
    (void)stored;
    return 0;
}

int closeStream(void* cookie) {
    MessageStream* target = static_cast<MessageStream*>(cookie);
    if (target->changed) {
        requireInterruptionsHeldBack("closing the message file");
    }
    const int closed = close(target->fd);
    openStream = nullptr;
    return target->closeFails ? -1 : closed;
}

// Reads and rewrites every byte the caller claims to own, so that
// AddressSanitizer stops a caller that claims more than its buffer holds,
// even when the answer stores nothing.
void touchWholeCapacity(char* buffer, DWORD capacity) {
    volatile unsigned char* bytes = reinterpret_cast<volatile unsigned char*>(buffer);
    for (DWORD i = 0; i < capacity; ++i) {
        bytes[i] = bytes[i];
    }
}

// Bytes past the terminator are not the caller's to read, so they are
// spoiled on purpose.
void spoilTail(char* buffer, size_t from, DWORD capacity) {
    for (size_t i = from; i < capacity; ++i) {
        buffer[i] = '#';
    }
}

// The Win32 size contract: the characters stored, 0 for no value, and when
// the value does not fit, the size needed with the terminator and nothing
// stored.
DWORD answer(const std::optional<std::string>& value, char* buffer, DWORD capacity) {
    if (!value || value->empty()) {
        return 0;
    }
    const size_t length = value->size();
    if (length + 1 > capacity) {
        return (DWORD)(length + 1);
    }
    memcpy(buffer, value->c_str(), length + 1);
    spoilTail(buffer, length + 1, capacity);
    return (DWORD)length;
}

DWORD lookUp(const std::string& name, const std::optional<std::string>& value, char* buffer,
             DWORD capacity, const char* callName) {
    const uintptr_t start = reinterpret_cast<uintptr_t>(buffer);
    if (name == "USERPROFILE" || directoryStart == 0) {
        directoryStart = start;
    }
    const long offset = (long)(start - directoryStart);
    if (buffer == nullptr || offset < 0 || offset + (long)capacity > kDirectoryBufferSize) {
        violation(name + ": buffer at offset " + std::to_string(offset) + " with capacity " +
                  std::to_string(capacity) + " leaves the directory buffer");
    } else {
        touchWholeCapacity(buffer, capacity);
    }
    const DWORD result = answer(value, buffer, capacity);
    state.lookups.push_back(FakeLookup{name, capacity, offset, result});
    state.calls.push_back(std::string(callName) + " " + std::to_string(capacity));
    return result;
}

// Whether any descriptor of this process refers to the file at `path`: the
// Receiver must find the file closed, not merely flushed.
bool openInThisProcess(const std::string& path) {
    struct stat wanted;
    if (stat(path.c_str(), &wanted) != 0) {
        return false;
    }
    DIR* descriptors = opendir("/proc/self/fd");
    if (descriptors == nullptr) {
        return false;
    }
    bool found = false;
    const int listing = dirfd(descriptors);
    for (struct dirent* entry = readdir(descriptors); entry != nullptr && !found;
         entry = readdir(descriptors)) {
        struct stat open;
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        found = entry->d_name[0] != '.' && atoi(entry->d_name) != listing &&
                stat(link.c_str(), &open) == 0 && open.st_dev == wanted.st_dev &&
                open.st_ino == wanted.st_ino;
    }
    closedir(descriptors);
    return found;
}

}  // namespace

FakePlatform& fakePlatform() {
    return state;
}

void resetFakePlatform() {
    state = FakePlatform();
    directoryStart = 0;
    openStream = nullptr;
    fileChanged = false;
    fileOpened = false;
    windowGivenOut = false;
    windowCaughtUp = false;
}

bool fakePlatformCalled(const std::string& call) {
    for (const std::string& logged : state.calls) {
        if (logged == call) {
            return true;
        }
    }
    return false;
}

std::optional<std::string> readWholeFile(const std::string& path) {
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return std::nullopt;
    }
    std::string bytes;
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        bytes.append(chunk, got);
    }
    const bool failed = ferror(file) != 0;
    fclose(file);
    if (failed) {
        return std::nullopt;
    }
    return bytes;
}

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    std::optional<std::string> value;
    const auto found = state.environment.find(name);
    if (found != state.environment.end()) {
        value = found->second;
    }
    return lookUp(name, value, buffer, size,
                  (std::string("GetEnvironmentVariableA ") + name).c_str());
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    return lookUp("Windows directory", state.windowsDirectory, buffer, size,
                  "GetWindowsDirectoryA");
}

HWND FindWindowW(LPCWSTR className, LPCWSTR windowName) {
    state.calls.push_back("FindWindowW");
    state.classNames.push_back(className == nullptr ? L"(null)" : className);
    if (windowName != nullptr) {
        state.windowNameWasNull = false;
    }
    if (state.locksHeld == 0) {
        violation("FindWindowW outside the delivery lock");
    }
    if (state.interruptionsHeldBack) {
        violation("FindWindowW while interruptions are held back");
    }
    if (fileOpened) {
        violation("FindWindowW after the message file was opened");
    }
    windowGivenOut = windowGivenOut || state.windowExists;
    return state.windowExists ? receiverHandle() : nullptr;
}

bool prepareProcess() {
    return true;
}

// Keeps the contract: only a regular file is opened, and never truncated.
FILE* openMessageFile(const char* path) {
    if (state.locksHeld == 0) {
        violation("openMessageFile outside the delivery lock");
    }
    if (openStream != nullptr) {
        violation("openMessageFile while the message file is still open");
    }
    // TARN may still hold the file open for an earlier notification.
    if (windowGivenOut && !windowCaughtUp) {
        violation("openMessageFile before the Receiver answered a no-op");
    }
    fileOpened = true;
    if (fileChanged && state.reopenFails) {
        return nullptr;
    }
    const int fd = open(path, O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    struct stat status;
    if (fd < 0) {
        return nullptr;
    }
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return nullptr;
    }
    stream = MessageStream{fd, state.writableBytes, state.closeFails, false};
    openStream = fopencookie(&stream, "w", {nullptr, writeToStream, nullptr, closeStream});
    if (openStream == nullptr) {
        close(fd);
        return nullptr;
    }
    return openStream;  // buffered, as fdopen gives it
}

// Sets the length for real, so the bytes the tests compare are the bytes on
// disk.
bool setFileLength(FILE* file, long length) {
    if (file == nullptr || file != openStream) {
        violation("setFileLength on a stream openMessageFile did not give out");
        return false;
    }
    requireInterruptionsHeldBack("setFileLength");
    stream.changed = true;
    if (length == 0 ? state.emptyingFails : state.sizingFails) {
        return false;
    }
    return ftruncate(stream.fd, length) == 0;
}

// The message file that sendAndWait and allowInterruptions look at.
std::string capturedPath() {
    if (state.messageFileToCapture.empty() && !state.lockedPaths.empty()) {
        return state.lockedPaths.back();
    }
    return state.messageFileToCapture;
}

bool sendAndWait(HWND window, UINT message, LRESULT* reply, DWORD* error) {
    state.calls.push_back("sendAndWait");
    const std::string path = capturedPath();
    const bool found = window == receiverHandle() && state.windowExists;
    if (!found) {
        violation("sendAndWait to a window FindWindowW did not give out");
    }
    if (state.locksHeld == 0) {
        violation("sendAndWait outside the delivery lock");
    }
    FakeSentMessage sent{found, message, std::nullopt, false};
    if (!path.empty()) {
        sent.messageFileStillOpen = openInThisProcess(path);
        sent.messageFile = readWholeFile(path);
    }
    state.sentMessages.push_back(sent);
    windowCaughtUp = windowCaughtUp || (found && message == TARN_NO_OPERATION);
    if (state.sendError) {
        *error = *state.sendError;
        return false;
    }
    *reply = state.reply;
    return true;
}

DeliveryLock acquireDeliveryLock(const char* messageFilePath) {
    state.calls.push_back("acquireDeliveryLock");
    state.lockedPaths.push_back(messageFilePath == nullptr ? "(null)" : messageFilePath);
    if (state.locksHeld != 0) {
        violation("acquireDeliveryLock while the lock is already held");
    }
    if (state.lockResult == DELIVERY_LOCK_TAKEN) {
        ++state.locksHeld;
    }
    return state.lockResult;
}

void deferInterruptions() {
    if (state.interruptionsHeldBack) {
        violation("deferInterruptions while they are held back");
    }
    state.interruptionsHeldBack = true;
}

void allowInterruptions() {
    if (!state.interruptionsHeldBack) {
        violation("allowInterruptions while they are let through");
    }
    state.interruptionsHeldBack = false;
    const std::string path = capturedPath();
    state.filesWhenLetThrough.push_back({readWholeFile(path), openInThisProcess(path)});
}

void releaseDeliveryLock() {
    state.calls.push_back("releaseDeliveryLock");
    if (state.interruptionsHeldBack) {
        violation("releaseDeliveryLock while interruptions are held back");
    }
    if (state.locksHeld == 0) {
        violation("releaseDeliveryLock without a lock held");
    } else {
        --state.locksHeld;
    }
}

// The value must be the one GetEnvironmentVariableA handed out for `name`.
bool environmentValueIsExact(const char* name, const char* value) {
    state.exactnessChecks.push_back(name);
    const auto found = state.environment.find(name);
    const std::string given = found == state.environment.end() ? "" : found->second;
    if (value == nullptr || given != value) {
        violation(std::string("environmentValueIsExact ") + name + " with another value than " +
                  "GetEnvironmentVariableA gave");
    }
    return state.inexactVariables.count(name) == 0;
}

UINT GetACP() {
    return state.codePage;
}
