// libFuzzer target: deliverMessage against the fake platform, with the
// environment, the Windows directory, the file system, the Receiver's answer
// and the message drawn from the input. It does not work out where the file
// should go or which error is owed (the unit tests and the behaviour table
// say that case by case); it checks what must hold for every input:
//   - the result is null or errorText, and errorText is one of the texts a
//     delivery knows, with any path in it under the root;
//   - the lock is released and the fake saw no broken contract;
//   - the Receiver is told at most once, only of a closed file holding the
//     whole message, after a no-op it answered before the file changed, and
//     success means it was told and replied 0;
//   - nothing is written but the one file the lock was taken for, which is
//     TARN_Message.txt in a directory the environment named, and it holds
//     the whole message or nothing, unless the error says it holds less.
//
// Input layout (missing bytes read as 0):
//   byte 0      how USERPROFILE, HOMEDRIVE, HOMEPATH and the Windows
//               directory are set, two bits each from the low end:
//               0 unset (the Windows directory: cannot be found), 1 empty,
//               2 and 3 set
//   byte 1      bit 0 a Receiver window exists; bits 1-2 the lock (0 and 1
//               taken, 2 no place, 3 failed); bit 3 create the directories
//               the values name; bit 4 the disk is full, every write to the
//               message file fails; bit 5 make the message file a directory
//               in each; bit 6 closing the file fails; bit 7 the send fails
//   bytes 2-9   the Receiver's reply, little-endian; with bit 7, its low
//               byte picks the send's error number
//   bytes 10-13 for each of the four values: 0 as it is, else pad it with
//               '/' to 150 + this many characters
//   then, separated by NUL bytes: the USERPROFILE, HOMEDRIVE, HOMEPATH and
//   Windows directory texts, and the message.
//
// Every directory value is the root, a '/', and its text; every text keeps
// only letters, digits, '_', '-' and '/' (other bytes are mapped onto
// those), so no "." or ".." can lead out. Each run starts with an empty
// root, which lies in $TMPDIR, else in /dev/shm, else in /tmp.
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "delivery/delivery.h"
#include "delivery/receiver_protocol.h"
#include "tests/fake/fake_platform.h"
#include "tests/line_ends.h"

namespace {

std::string root;  // the private temporary directory, without a trailing '/'

[[noreturn]] void fail(const std::string& what) {
    fprintf(stderr, "deliver_fuzz: %s\n", what.c_str());
    fprintf(stderr, "  errorText: \"%s\"\n", errorText);
    for (const std::string& call : fakePlatform().calls) {
        fprintf(stderr, "  call: %s\n", call.c_str());
    }
    abort();
}

void require(bool holds, const std::string& what) {
    if (!holds) {
        fail(what);
    }
}

// --- The temporary root ------------------------------------------------------

int removeEntry(const char* path, const struct stat*, int, struct FTW* where) {
    // Depth 0 is the root itself, which stays for the next run.
    return where->level == 0 ? 0 : remove(path);
}

void emptyRoot() {
    nftw(root.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

void removeRoot() {
    emptyRoot();
    rmdir(root.c_str());
}

// Every entry below the root: "d" for a directory, else "f" and the bytes.
std::map<std::string, std::string>* listing = nullptr;

int listEntry(const char* path, const struct stat* status, int, struct FTW*) {
    (*listing)[path] = S_ISDIR(status->st_mode) ? "d" : "f" + readWholeFile(path).value_or("?");
    return 0;
}

std::map<std::string, std::string> entriesBelowRoot() {
    std::map<std::string, std::string> entries;
    listing = &entries;
    nftw(root.c_str(), listEntry, 16, FTW_PHYS);
    entries.erase(root);
    return entries;
}

// Creates `directory` and its parents, only along names under the root.
void makeDirectories(const std::string& directory) {
    require(directory.compare(0, root.size() + 1, root + "/") == 0 &&
                directory.find("/./") == std::string::npos &&
                directory.find("/../") == std::string::npos,
            "refusing to create a directory outside the root: " + directory);
    for (size_t slash = directory.find('/', root.size() + 1);;
         slash = directory.find('/', slash + 1)) {
        mkdir(directory.substr(0, slash).c_str(), 0700);
        if (slash == std::string::npos) {
            return;
        }
    }
}

// --- Reading the input -------------------------------------------------------

char safeCharacter(unsigned char byte) {
    static const char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-/";
    const bool kept = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                      (byte >= '0' && byte <= '9') || byte == '_' || byte == '-' || byte == '/';
    return kept ? (char)byte : kAlphabet[byte % (sizeof kAlphabet - 1)];
}

struct Input {
    uint8_t flags = 0;
    std::string message;
    std::vector<std::string> places;  // every directory a value could name
};

// Sets up the fake from the input and returns what the checks need.
Input arrange(const uint8_t* data, size_t size) {
    auto byteAt = [&](size_t i) -> uint8_t { return i < size ? data[i] : 0; };
    FakePlatform& fake = fakePlatform();
    Input input;
    input.flags = byteAt(1);
    fake.windowExists = (input.flags & 1) != 0;
    const DeliveryLock locks[] = {DELIVERY_LOCK_TAKEN, DELIVERY_LOCK_TAKEN, DELIVERY_LOCK_NO_PLACE,
                                  DELIVERY_LOCK_FAILED};
    fake.lockResult = locks[(input.flags >> 1) & 3];
    fake.writableBytes = (input.flags & 16) != 0 ? 0 : -1;
    fake.closeFails = (input.flags & 64) != 0;
    uint64_t reply = 0;
    for (size_t i = 0; i < 8; ++i) {
        reply |= (uint64_t)byteAt(2 + i) << (8 * i);
    }
    fake.reply = (LRESULT)reply;
    if ((input.flags & 128) != 0) {
        const DWORD errors[] = {0, ERROR_ACCESS_DENIED, ERROR_INVALID_WINDOW_HANDLE, 87};
        fake.sendError = errors[reply % 4];
    }

    size_t at = 14;
    const char* const names[] = {"USERPROFILE", "HOMEDRIVE", "HOMEPATH", nullptr};
    std::string value[4];
    for (int i = 0; i < 4; ++i) {
        for (; at < size && data[at] != 0; ++at) {
            value[i] += safeCharacter(data[at]);
        }
        ++at;
        // HOMEPATH follows the drive; everything else names a place under
        // the root.
        value[i] = i == 2 ? value[i] : root + "/" + value[i];
        const size_t padding = byteAt(10 + (size_t)i);
        if (padding != 0 && value[i].size() < 150 + padding) {
            value[i].resize(150 + padding, '/');
        }
        const int mode = (byteAt(0) >> (2 * i)) & 3;
        const std::string given = mode == 1 ? "" : value[i];
        if (mode != 0 && names[i] != nullptr) {
            fake.environment[names[i]] = given;
        } else if (mode != 0 && !given.empty()) {
            fake.windowsDirectory = given;
        }
    }
    for (; at < size && data[at] != 0; ++at) {
        input.message += (char)data[at];
    }
    input.places = {value[0], value[1], value[1] + value[2], value[3]};
    for (const std::string& place : input.places) {
        if ((input.flags & 8) != 0 && place.size() < 300) {
            makeDirectories(place);
            if ((input.flags & 32) != 0) {
                mkdir((place + "/" TARN_MESSAGE_FILE_NAME).c_str(), 0700);
            }
        }
    }
    return input;
}

// --- What must hold ----------------------------------------------------------

bool startsWith(const char* text, const std::string& prefix) {
    return strncmp(text, prefix.c_str(), prefix.size()) == 0;
}

bool endsWith(const char* text, const std::string& suffix) {
    const size_t length = strlen(text);
    return length >= suffix.size() && text + length - suffix.size() == suffix;
}

// One of the texts a delivery knows, any path in it under the root.
bool hasKnownShape(const char* text) {
    const char* const whole[] = {
        "",
        "Program TARN not running (or an old version).",
        "Program TARN returns error.",
        "Program TARN ended while handling the message.",
        ("Program TARN ended while handling the message, or refused it because it runs with "
         "higher privileges (run tarnpost at the same privilege level as TARN)."),
        "Cannot find the Windows directory.",
        "USERPROFILE is longer than 254 characters.",
        "HOMEDRIVE is longer than 254 characters.",
        "HOMEDRIVE plus HOMEPATH is longer than 255 characters.",
        "Windows directory is longer than 254 characters.",
        "Message directory from USERPROFILE is longer than 238 characters.",
        "Message directory from HOMEDRIVE plus HOMEPATH is longer than 238 characters.",
        "Message directory from Windows directory is longer than 238 characters.",
    };
    for (const char* known : whole) {
        if (strcmp(text, known) == 0) {
            return true;
        }
    }
    const std::string file = "message file \"" + root + "/";
    const std::string name = "/" TARN_MESSAGE_FILE_NAME "\"";
    unsigned long error = 0;
    char sendError[100] = "";
    if (sscanf(text, "Cannot send the message to program TARN (error %lu).", &error) == 1) {
        snprintf(sendError, sizeof sendError,
                 "Cannot send the message to program TARN (error %lu).", error);
    }
    return ((startsWith(text, "Cannot create " + file) ||
             startsWith(text, "Cannot write " + file)) &&
            (endsWith(text, name + ".\n") ||
             endsWith(text, name + "; it holds an incomplete message.\n"))) ||
           (startsWith(text, "Cannot lock " + file) && endsWith(text, name + " for delivery.")) ||
           strcmp(text, sendError) == 0;
}

void deliverOnce(const uint8_t* data, size_t size) {
    emptyRoot();
    resetFakePlatform();
    const Input input = arrange(data, size);
    const FakePlatform& fake = fakePlatform();
    const std::map<std::string, std::string> before = entriesBelowRoot();

    const char* result = deliverMessage(input.message.c_str());

    require(result == nullptr || result == errorText, "result is neither null nor errorText");
    require(memchr(errorText, '\0', sizeof errorText) != nullptr, "errorText is not terminated");
    require(hasKnownShape(errorText), "errorText has an unknown shape");
    require((result == nullptr) == (errorText[0] == '\0'), "success and failure mixed up");
    require(fake.violations.empty(),
            "fake platform: " + (fake.violations.empty() ? "" : fake.violations[0]));
    require(fake.locksHeld == 0, "the delivery lock is still held");
    require(fake.lockedPaths.size() <= 1, "the lock was taken more than once");

    // A no-op first, answered before the file changes, then the notification.
    const std::string bytes = asWritten(input.message);
    long notifications = 0;
    for (const FakeSentMessage& sent : fake.sentMessages) {
        if (sent.message != TARN_MESSAGE_WAITING) {
            require(notifications == 0, "a no-op after the notification");
            continue;
        }
        ++notifications;
        require(sent.messageFile == bytes, "the Receiver was told before the whole message");
        require(!sent.messageFileStillOpen, "the message file was still open");
    }
    require(notifications <= 1, "the Receiver was told more than once");
    require(result != nullptr || (notifications == 1 && !fake.sendError && fake.reply == 0),
            "a delivery succeeded that the Receiver did not take");

    // Nothing is written but the file the lock was taken for, in a place
    // the environment named; it holds all of the message or none of it.
    std::string lockedFile;
    for (const std::string& path : fake.lockedPaths) {
        bool named = false;
        for (const std::string& place : input.places) {
            named = named || path == place + "/" TARN_MESSAGE_FILE_NAME;
        }
        require(named, "the lock was taken for a place no value named: " + path);
        lockedFile = path;
        // As the file system reads it: padding of '/' names one directory.
        for (size_t at = lockedFile.find("//"); at != std::string::npos;
             at = lockedFile.find("//")) {
            lockedFile.erase(at, 1);
        }
    }
    const bool incomplete = strstr(errorText, "incomplete") != nullptr;
    for (const auto& [path, now] : entriesBelowRoot()) {
        const auto found = before.find(path);
        if (found != before.end() && found->second == now) {
            continue;
        }
        require(path == lockedFile, "written outside the message file: " + path);
        require(now == "f" || now == "f" + bytes || incomplete,
                "the message file holds a fragment: " + path);
        require(now != "f" + bytes || result == nullptr || startsWith(errorText, "Program") ||
                    startsWith(errorText, "Cannot send"),
                "the message was written, yet the error is about the file");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Every run creates and removes files, so a memory file system, when
    // there is one, runs several times as many inputs as a disk.
    const char* base = getenv("TMPDIR");
    if (base == nullptr || base[0] != '/') {
        base = access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
    }
    std::string pattern = base;
    while (pattern.size() > 1 && pattern.back() == '/') {
        pattern.pop_back();
    }
    pattern += "/tarnpost-fuzz-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        perror("deliver_fuzz: mkdtemp");
        abort();
    }
    root = pattern;
    atexit(removeRoot);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    deliverOnce(data, size);
    return 0;
}
