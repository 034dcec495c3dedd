#include "delivery/delivery.h"

#include <stdio.h>
#include <string.h>

#include "platform/platform.h"

char errorText[1000];

namespace {

const char kApplicationName[] = "TARN";
const WCHAR kReceiverClassName[] = L"AfxTarnAppClassName";
const UINT kMessageWaiting = 0x8000;  // WM_APP, carries no data

// A directory holds up to 255 characters; each lookup that fills it from its
// start gets one byte less, so a value it accepts always leaves room for the
// HOMEPATH that may follow a drive.
const DWORD kDirectorySize = 256;
const DWORD kLookupSize = kDirectorySize - 1;
const size_t kMessageFilePathSize = 256;
const char kMessageFileName[] = "TARN_Message.txt";
const size_t kLongestDirectory =
    kMessageFilePathSize - 1 - (sizeof PLATFORM_DIR_SEPARATOR - 1) - (sizeof kMessageFileName - 1);

bool reportTooLong(const char* source, unsigned longest) {
    snprintf(errorText, sizeof errorText, "%s is longer than %u characters.", source, longest);
    return false;
}

// A value that reached us with a look-alike for some character names
// another directory than the user's: a message left there would never reach
// TARN, or a stale one there would be acted on.
bool valueIsExact(const char* name, const char* value) {
    if (environmentValueIsExact(name, value)) {
        return true;
    }
    snprintf(errorText, sizeof errorText, "%s holds characters that code page %u cannot represent.",
             name, (unsigned)GetACP());
    return false;
}

// HOMEPATH, when set, is appended to the drive text with no separator.
bool appendHomePath(char* directory, DWORD driveLength) {
    const DWORD room = kDirectorySize - driveLength;
    const DWORD stored = GetEnvironmentVariableA("HOMEPATH", directory + driveLength, room);
    if (stored >= room) {
        directory[driveLength] = '\0';
        return reportTooLong("HOMEDRIVE plus HOMEPATH", kDirectorySize - 1);
    }
    if (stored == 0) {
        directory[driveLength] = '\0';  // unset: the drive alone
        return true;
    }
    return valueIsExact("HOMEPATH", directory + driveLength);
}

// Fills `directory` from USERPROFILE, else HOMEDRIVE and HOMEPATH, else the
// Windows directory, and names in `source` where it came from. A value that
// does not fit is an error, never a truncated path, and so is a variable the
// ANSI code page cannot hold, never a look-alike.
bool resolveMessageDirectory(char* directory, const char** source) {
    DWORD stored = GetEnvironmentVariableA("USERPROFILE", directory, kLookupSize);
    *source = "USERPROFILE";
    if (stored >= kLookupSize) {
        return reportTooLong(*source, kLookupSize - 1);
    }
    if (stored > 0) {
        return valueIsExact(*source, directory);
    }

    stored = GetEnvironmentVariableA("HOMEDRIVE", directory, kLookupSize);
    *source = "HOMEDRIVE";
    if (stored >= kLookupSize) {
        return reportTooLong(*source, kLookupSize - 1);
    }
    if (stored > 0) {
        if (!valueIsExact(*source, directory)) {
            return false;
        }
        *source = "HOMEDRIVE plus HOMEPATH";
        return appendHomePath(directory, stored);
    }

    // HOMEPATH without HOMEDRIVE names no place, so it is never looked at.
    *source = "Windows directory";
    const UINT length = GetWindowsDirectoryA(directory, kLookupSize);
    if (length == 0) {
        snprintf(errorText, sizeof errorText, "Cannot find the Windows directory.");
        return false;
    }
    if (length >= kLookupSize) {
        return reportTooLong(*source, kLookupSize - 1);
    }
    return true;
}

// The path is used as it comes: a directory ending in a separator gets a
// second one, as users of this file have always seen it.
bool formMessageFilePath(char* path, const char* directory, const char* source) {
    if (strlen(directory) > kLongestDirectory) {
        snprintf(errorText, sizeof errorText,
                 "Message directory from %s is longer than %u characters.", source,
                 (unsigned)kLongestDirectory);
        return false;
    }
    const int length = snprintf(path, kMessageFilePathSize, "%s" PLATFORM_DIR_SEPARATOR "%s",
                                directory, kMessageFileName);
    if (length <= 0 || (size_t)length >= kMessageFilePathSize) {
        snprintf(errorText, sizeof errorText, "Cannot form the message file path.");
        return false;
    }
    return true;
}

bool cannotCreate(const char* path) {
    snprintf(errorText, sizeof errorText, "Cannot create message file \"%s\".\n", path);
    return false;
}

// Every line feed becomes CR LF and one CR LF ends the message, the bytes a
// Windows text-mode stream writes, so that every build leaves the same file.
bool writeWithLineEnds(FILE* file, const char* message) {
    const char* lineStart = message;
    for (const char* lineFeed = strchr(lineStart, '\n'); lineFeed != nullptr;
         lineFeed = strchr(lineStart, '\n')) {
        const size_t length = (size_t)(lineFeed - lineStart);
        if (fwrite(lineStart, 1, length, file) != length || fwrite("\r\n", 1, 2, file) != 2) {
            return false;
        }
        lineStart = lineFeed + 1;
    }
    const size_t rest = strlen(lineStart);
    return fwrite(lineStart, 1, rest, file) == rest && fwrite("\r\n", 1, 2, file) == 2;
}

// Rewriting the old file in place and cutting it to length leaves the same
// bytes as truncating it on open, but spares the file system from freeing and
// reallocating its blocks on every delivery, which costs more than all the
// rest of a delivery on some disks. A file that is not there yet is created.
FILE* openMessageFile(const char* path) {
    FILE* file = fopen(path, "r+b");
    if (file == nullptr) {
        file = fopen(path, "wb");
    }
    return file;
}

// A message cut short by a full disk, or followed by the tail of a longer
// older one, must never reach the Receiver: the write, the cut and the close
// are all checked, and a file that failed any of them is taken away.
bool writeMessageFile(const char* path, const char* message) {
    FILE* file = openMessageFile(path);
    if (file == nullptr) {
        return cannotCreate(path);
    }
    const bool written = writeWithLineEnds(file, message) && fflush(file) == 0 && endFileHere(file);
    const bool closed = fclose(file) == 0;
    if (written && closed) {
        return true;
    }
    remove(path);
    snprintf(errorText, sizeof errorText, "Cannot write message file \"%s\".\n", path);
    return false;
}

bool notifyReceiver() {
    const HWND receiver = FindWindowW(kReceiverClassName, nullptr);
    if (receiver == nullptr) {
        snprintf(errorText, sizeof errorText, "Program %s not running (or an old version).",
                 kApplicationName);
        return false;
    }
    if (SendMessageW(receiver, kMessageWaiting, 0, 0) != 0) {
        snprintf(errorText, sizeof errorText, "Program %s returns error.", kApplicationName);
        return false;
    }
    return true;
}

// Two deliveries at once would overwrite each other's file before the
// Receiver read it, so each holds the lock from writing until the reply.
bool lockDeliveries(const char* path) {
    switch (acquireDeliveryLock(path)) {
    case DELIVERY_LOCK_TAKEN:
        return true;
    case DELIVERY_LOCK_NO_PLACE:
        return cannotCreate(path);
    case DELIVERY_LOCK_FAILED:
        break;
    }
    snprintf(errorText, sizeof errorText, "Cannot lock message file \"%s\" for delivery.", path);
    return false;
}

}  // namespace

const char* deliverMessage(const char* message) {
    errorText[0] = '\0';

    char messageDirectory[kDirectorySize];
    const char* source = "";
    char messageFilePath[kMessageFilePathSize];
    if (!resolveMessageDirectory(messageDirectory, &source) ||
        !formMessageFilePath(messageFilePath, messageDirectory, source) ||
        !lockDeliveries(messageFilePath)) {
        return errorText;
    }
    const bool delivered = writeMessageFile(messageFilePath, message) && notifyReceiver();
    releaseDeliveryLock();
    return delivered ? nullptr : errorText;
}
