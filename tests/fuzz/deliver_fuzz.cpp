// libFuzzer target: deliverMessage against the fake platform, with the
// environment, the Windows directory, the Receiver's answer and the message
// drawn from the input, and every outcome checked against what a delivery
// must do.
//
// Input layout (missing bytes read as 0):
//   byte 0      how USERPROFILE, HOMEDRIVE, HOMEPATH and the Windows
//               directory are set, two bits each from the low end:
//               0 unset (the Windows directory: cannot be found), 1 empty,
//               2 and 3 set
//   byte 1      bit 0 a Receiver window exists; bits 1-2 the lock (0 and 1
//               taken, 2 no place, 3 failed); bit 3 create the directory the
//               delivery should resolve to; bit 4 the disk is full, every
//               write to the message file fails; bit 5 make it a directory
//   bytes 2-9   the Receiver's reply, little-endian
//   bytes 10-13 for each of the four values: 0 as it is, else pad it with
//               '/' to 150 + this many characters
//   then, separated by NUL bytes: the USERPROFILE, HOMEDRIVE, HOMEPATH and
//   Windows directory texts, and the message.
//
// Every value resolves under one private temporary root: the directory
// values are that root, a '/', and their text; every text keeps only
// letters, digits, '_', '-' and '/' (other bytes are mapped onto those), so
// no "." or ".." can lead out. Each run starts with an empty root, which
// lies in $TMPDIR, else in /dev/shm, else in /tmp.
#include <ftw.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "delivery/delivery.h"
#include "delivery/receiver_protocol.h"
#include "tests/fake/fake_platform.h"
#include "tests/line_ends.h"

namespace {

const DWORD kLookupCapacity = 255;
const DWORD kDirectoryBufferSize = 256;
const size_t kLongestDirectory = 238;

std::string root;  // the private temporary directory, without a trailing '/'

// --- Failing loudly ------------------------------------------------------------

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

// --- The temporary root ----------------------------------------------------------

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

// Creates `directory` and its parents, but only under the root and only
// along names that cannot climb out of it.
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

// --- Reading the input -------------------------------------------------------------

struct Input {
    int mode[4];  // USERPROFILE, HOMEDRIVE, HOMEPATH, Windows directory
    bool windowExists;
    DeliveryLock lock;
    bool createDirectory;
    bool diskFull;
    bool fileIsDirectory;
    LRESULT reply;
    int padding[4];
    std::string text[4];
    std::string message;
};

char safeCharacter(unsigned char byte) {
    static const char kAlphabet[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-/";
    const bool kept = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                      (byte >= '0' && byte <= '9') || byte == '_' || byte == '-' || byte == '/';
    return kept ? (char)byte : kAlphabet[byte % (sizeof kAlphabet - 1)];
}

Input readInput(const uint8_t* data, size_t size) {
    auto byteAt = [&](size_t i) -> uint8_t { return i < size ? data[i] : 0; };
    Input input;
    for (int i = 0; i < 4; ++i) {
        input.mode[i] = (byteAt(0) >> (2 * i)) & 3;
        input.padding[i] = byteAt(10 + (size_t)i);
    }
    const uint8_t flags = byteAt(1);
    input.windowExists = (flags & 1) != 0;
    const DeliveryLock locks[] = {DELIVERY_LOCK_TAKEN, DELIVERY_LOCK_TAKEN, DELIVERY_LOCK_NO_PLACE,
                                  DELIVERY_LOCK_FAILED};
    input.lock = locks[(flags >> 1) & 3];
    input.createDirectory = (flags & 8) != 0;
    input.diskFull = (flags & 16) != 0;
    input.fileIsDirectory = (flags & 32) != 0;
    uint64_t reply = 0;
    for (size_t i = 0; i < 8; ++i) {
        reply |= (uint64_t)byteAt(2 + i) << (8 * i);
    }
    input.reply = (LRESULT)reply;

    size_t at = 14;
    for (std::string& text : input.text) {
        for (; at < size && data[at] != 0; ++at) {
            text += safeCharacter(data[at]);
        }
        ++at;
    }
    for (; at < size && data[at] != 0; ++at) {
        input.message += (char)data[at];
    }
    return input;
}

// --- What the delivery should do ------------------------------------------------------

std::optional<std::string> valueOf(const Input& input, int which) {
    if (input.mode[which] == 0) {
        return std::nullopt;
    }
    if (input.mode[which] == 1) {
        return std::string();
    }
    // HOMEPATH is appended to the drive; everything else names a place
    // under the root.
    std::string value = which == 2 ? input.text[which] : root + "/" + input.text[which];
    if (input.padding[which] != 0) {
        const size_t length = 150 + (size_t)input.padding[which];
        if (value.size() < length) {
            value.resize(length, '/');
        }
    }
    return value;
}

struct ExpectedLookup {
    std::string name;
    DWORD capacity;
    long offset;
};

struct Expected {
    std::vector<ExpectedLookup> lookups;
    std::string resolutionError;  // empty: a directory was resolved
    std::string directory;
    std::string source;
};

bool hasText(const std::optional<std::string>& value) {
    return value && !value->empty();
}

// The resolution: USERPROFILE, else HOMEDRIVE and HOMEPATH, else the Windows
// directory; a value that does not fit its lookup is an error.
Expected resolve(const std::optional<std::string> values[4]) {
    Expected e;
    e.lookups.push_back({"USERPROFILE", kLookupCapacity, 0});
    if (hasText(values[0])) {
        e.source = "USERPROFILE";
        e.directory = *values[0];
        if (e.directory.size() >= kLookupCapacity) {
            e.resolutionError = "USERPROFILE is longer than 254 characters.";
        }
        return e;
    }
    e.lookups.push_back({"HOMEDRIVE", kLookupCapacity, 0});
    if (hasText(values[1])) {
        const std::string& drive = *values[1];
        e.source = "HOMEDRIVE plus HOMEPATH";
        if (drive.size() >= kLookupCapacity) {
            e.resolutionError = "HOMEDRIVE is longer than 254 characters.";
            return e;
        }
        e.lookups.push_back(
            {"HOMEPATH", (DWORD)(kDirectoryBufferSize - drive.size()), (long)drive.size()});
        e.directory = drive + (hasText(values[2]) ? *values[2] : "");
        if (e.directory.size() >= kDirectoryBufferSize) {
            e.resolutionError = "HOMEDRIVE plus HOMEPATH is longer than 255 characters.";
        }
        return e;
    }
    e.lookups.push_back({"Windows directory", kLookupCapacity, 0});
    e.source = "Windows directory";
    if (!hasText(values[3])) {
        e.resolutionError = "Cannot find the Windows directory.";
        return e;
    }
    e.directory = *values[3];
    if (e.directory.size() >= kLookupCapacity) {
        e.resolutionError = "Windows directory is longer than 254 characters.";
    }
    return e;
}

bool isDirectory(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

bool somethingAt(const std::string& path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0;
}

bool startsWith(const char* text, const std::string& prefix) {
    return strncmp(text, prefix.c_str(), prefix.size()) == 0;
}

bool endsWith(const char* text, const char* suffix) {
    const size_t length = strlen(text);
    const size_t suffixLength = strlen(suffix);
    return length >= suffixLength && strcmp(text + length - suffixLength, suffix) == 0;
}

// Whatever else happens, errorText holds one of the texts a delivery knows,
// and a path in it lies under the root.
bool hasKnownShape(const char* text) {
    const char* const whole[] = {
        "",
        "Program TARN not running (or an old version).",
        "Program TARN returns error.",
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
    return ((startsWith(text, "Cannot create " + file) ||
             startsWith(text, "Cannot write " + file)) &&
            endsWith(text, "/" TARN_MESSAGE_FILE_NAME "\".\n")) ||
           (startsWith(text, "Cannot lock " + file) &&
            endsWith(text, "/" TARN_MESSAGE_FILE_NAME "\" for delivery."));
}

// --- One run -----------------------------------------------------------------------

void checkLookups(const Expected& expected) {
    const std::vector<FakeLookup>& seen = fakePlatform().lookups;
    require(seen.size() == expected.lookups.size(), "wrong number of directory lookups");
    for (size_t i = 0; i < seen.size(); ++i) {
        require(seen[i].name == expected.lookups[i].name &&
                    seen[i].capacity == expected.lookups[i].capacity &&
                    seen[i].offset == expected.lookups[i].offset,
                "lookup " + std::to_string(i) + " of " + seen[i].name + " with capacity " +
                    std::to_string(seen[i].capacity) + " at offset " +
                    std::to_string(seen[i].offset) + " is not the one expected");
    }
}

void deliverOnce(const Input& input) {
    emptyRoot();
    resetFakePlatform();
    FakePlatform& fake = fakePlatform();

    std::optional<std::string> values[4];
    for (int i = 0; i < 4; ++i) {
        values[i] = valueOf(input, i);
    }
    const char* names[] = {"USERPROFILE", "HOMEDRIVE", "HOMEPATH"};
    for (int i = 0; i < 3; ++i) {
        if (values[i]) {
            fake.environment[names[i]] = *values[i];
        }
    }
    if (values[3] && !values[3]->empty()) {
        fake.windowsDirectory = *values[3];
    }
    fake.windowExists = input.windowExists;
    fake.reply = input.reply;
    fake.lockResult = input.lock;

    const Expected expected = resolve(values);
    std::string text = expected.resolutionError;
    if (text.empty() && expected.directory.size() > kLongestDirectory) {
        text = "Message directory from " + expected.source + " is longer than 238 characters.";
    }
    const bool resolved = text.empty();
    const std::string path = expected.directory + "/" TARN_MESSAGE_FILE_NAME;
    if (resolved && input.createDirectory) {
        makeDirectories(expected.directory);
        if (input.fileIsDirectory) {
            mkdir(path.c_str(), 0700);
        }
    }
    fake.writableBytes = input.diskFull ? 0 : -1;
    const bool existedBefore = resolved && somethingAt(path);
    const bool fileIsDirectory = resolved && isDirectory(path);
    const bool canCreate = resolved && isDirectory(expected.directory) && !fileIsDirectory;

    bool opened = false;  // the delivery got as far as opening the file
    bool written = false;
    bool notified = false;
    if (resolved) {
        if (input.lock == DELIVERY_LOCK_NO_PLACE ||
            (input.lock == DELIVERY_LOCK_TAKEN && !canCreate)) {
            text = "Cannot create message file \"" + path + "\".\n";
        } else if (input.lock == DELIVERY_LOCK_FAILED) {
            text = "Cannot lock message file \"" + path + "\" for delivery.";
        } else if (input.diskFull) {
            opened = true;
            text = "Cannot write message file \"" + path + "\".\n";
        } else {
            opened = true;
            written = true;
            notified = input.windowExists;
            if (!input.windowExists) {
                text = "Program TARN not running (or an old version).";
            } else if (input.reply != 0) {
                text = "Program TARN returns error.";
            }
        }
    }

    const char* result = deliverMessage(input.message.c_str());

    require(result == nullptr || result == errorText, "result is neither null nor errorText");
    require(memchr(errorText, '\0', sizeof errorText) != nullptr, "errorText is not terminated");
    require(hasKnownShape(errorText), "errorText has an unknown shape");
    require((result == nullptr) == text.empty(), "success and failure mixed up");
    require(errorText == text, "errorText is not \"" + text + "\"");
    require(fake.violations.empty(),
            "fake platform: " + (fake.violations.empty() ? "" : fake.violations[0]));
    require(fake.locksHeld == 0, "the delivery lock is still held");
    checkLookups(expected);

    std::vector<std::string> round;
    if (resolved) {
        round.push_back("acquireDeliveryLock");
        if (written) {
            round.push_back("FindWindowW");
        }
        if (notified) {
            round.push_back("sendAndWait");
        }
        if (input.lock == DELIVERY_LOCK_TAKEN) {
            round.push_back("releaseDeliveryLock");
        }
    }
    std::vector<std::string> calls;
    for (const std::string& call : fake.calls) {
        if (call.rfind("Get", 0) != 0) {
            calls.push_back(call);
        }
    }
    require(calls == round, "the lock, window and message calls are not the expected ones");
    require(!resolved || fake.lockedPaths == std::vector<std::string>{path},
            "the lock was not taken for " + path);

    const std::string bytes = asWritten(input.message);
    if (notified) {
        require(fake.sentMessages.size() == 1 && fake.sentMessages[0].messageFile == bytes,
                "the Receiver was told before the whole message was in the file");
        require(!fake.sentMessages[0].messageFileStillOpen, "the message file was still open");
    }
    if (written) {
        require(readWholeFile(path) == bytes, "the message file does not hold the message");
    } else if (opened) {
        require(readWholeFile(path) == "", "a failed write left a fragment in " + path);
    } else if (resolved) {
        require(somethingAt(path) == existedBefore,
                "a delivery that never opened " + path + " changed it");
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
    deliverOnce(readInput(data, size));
    return 0;
}
