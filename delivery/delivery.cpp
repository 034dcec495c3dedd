#include "delivery/delivery.h"

#include <stdio.h>
#include <string.h>

#include "delivery/receiver_protocol.h"
#include "platform/platform.h"

char errorText[1000];

namespace {

const char kApplicationName[] = "TARN";

// A directory holds up to 255 characters; each lookup that fills it from its
// start gets one byte less, so a value it accepts always leaves room for the
// HOMEPATH that may follow a drive.
const DWORD kDirectorySize = 256;
const DWORD kLookupSize = kDirectorySize - 1;
const size_t kMessageFilePathSize = 256;
const size_t kLongestDirectory = kMessageFilePathSize - 1 - (sizeof PLATFORM_DIR_SEPARATOR - 1) -
                                 (sizeof TARN_MESSAGE_FILE_NAME - 1);
// A path shown in an error text leaves room for the longest text around it.
const size_t kShownPathSize = sizeof errorText - 100;

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
    // The check above leaves room for the separator and the name, so the
    // whole path always fits.
    snprintf(path, kMessageFilePathSize, "%s" PLATFORM_DIR_SEPARATOR TARN_MESSAGE_FILE_NAME,
             directory);
    return true;
}

// A path may hold any byte but NUL on some systems. Control characters are
// shown escaped, so that the error stays one line and sends nothing to the
// terminal; when even that does not fit `size`, "..." says the rest is cut.
void showEscaped(const char* text, char* shown, size_t size) {
    size_t used = 0;
    for (const char* c = text; *c != '\0'; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        char piece[5] = {*c, '\0'};
        if (byte == '\n' || byte == '\r' || byte == '\t') {
            snprintf(piece, sizeof piece, "\\%c", byte == '\n' ? 'n' : byte == '\r' ? 'r' : 't');
        } else if (byte < 0x20 || byte == 0x7f) {
            snprintf(piece, sizeof piece, "\\x%02x", byte);
        }
        const size_t length = strlen(piece);
        if (used + length + sizeof "..." > size) {
            memcpy(shown + used, "...", sizeof "...");
            return;
        }
        memcpy(shown + used, piece, length);
        used += length;
    }
    shown[used] = '\0';
}

// Fills errorText from `format`, whose one %s is the path.
bool reportAboutFile(const char* format, const char* path) {
    char shown[kShownPathSize];
    showEscaped(path, shown, sizeof shown);
    snprintf(errorText, sizeof errorText, format, shown);
    return false;
}

bool cannotCreate(const char* path) {
    return reportAboutFile("Cannot create message file \"%s\".\n", path);
}

bool cannotWrite(const char* path) {
    return reportAboutFile("Cannot write message file \"%s\".\n", path);
}

bool leftIncomplete(const char* path) {
    return reportAboutFile("Cannot write message file \"%s\"; it holds an incomplete message.\n",
                           path);
}

// The bytes the file holds for `message`: every line feed becomes CR LF, and
// one CR LF ends it.
long writtenLength(const char* message) {
    long length = 2;
    for (const char* c = message; *c != '\0'; ++c) {
        length += *c == '\n' ? 2 : 1;
    }
    return length;
}

// Writes those bytes, the ones a Windows text-mode stream would write, so
// that every build leaves the same file. They go out in chunks of this
// function's own through an unbuffered stream.
bool writeWithLineEnds(FILE* file, const char* message) {
    char chunk[4096];
    size_t used = 0;
    for (const char* c = message;; ++c) {
        if (used + 2 > sizeof chunk) {
            if (fwrite(chunk, 1, used, file) != used) {
                return false;
            }
            used = 0;
        }
        if (*c == '\n' || *c == '\0') {
            chunk[used++] = '\r';
            chunk[used++] = '\n';
        } else {
            chunk[used++] = *c;
        }
        if (*c == '\0') {
            break;
        }
    }
    return fwrite(chunk, 1, used, file) == used;
}

// After a failed write the file holds part of the message. It is emptied
// through the stream that wrote it, which reaches the right file whatever
// the path is (a link, a file in a directory closed to new files); only
// when that fails too does the error say what is left there.
bool discardPartialMessage(FILE* file, const char* path) {
    const bool emptied = setFileLength(file, 0);
    fclose(file);
    return emptied ? cannotWrite(path) : leftIncomplete(path);
}

// A close can fail after every write succeeded (a network file system that
// reports its errors late); the file is opened once more to empty it.
bool discardAfterFailedClose(const char* path) {
    FILE* file = openMessageFile(path);
    if (file == nullptr) {
        return leftIncomplete(path);
    }
    return discardPartialMessage(file, path);
}

// The old file is rewritten in place rather than truncated on open, which
// spares the file system from freeing and reallocating its blocks on every
// delivery. It takes its new length before a byte of it changes, so that a
// file that cannot be cut (another process has it mapped) keeps the old
// message whole, never a mix of old and new.
bool rewriteMessageFile(FILE* file, const char* path, const char* message) {
    if (!setFileLength(file, writtenLength(message))) {
        fclose(file);
        return cannotWrite(path);
    }
    if (!writeWithLineEnds(file, message)) {
        return discardPartialMessage(file, path);
    }
    if (fclose(file) != 0) {
        return discardAfterFailedClose(path);
    }
    return true;
}

// Between the cut and the last byte the file holds part of a message, so a
// Ctrl+C or a termination request is held back until it is whole (or
// emptied) and closed; the process then ends as it would have, and the
// Receiver is not told.
bool writeMessageFile(const char* path, const char* message) {
    FILE* file = openMessageFile(path);
    if (file == nullptr) {
        return cannotCreate(path);
    }
    // Unbuffered, so that a byte a failed write left behind can never reach
    // the file after it was emptied (see writeWithLineEnds).
    setvbuf(file, nullptr, _IONBF, 0);
    deferInterruptions();
    const bool written = rewriteMessageFile(file, path, message);
    allowInterruptions();
    return written;
}

bool notRunning() {
    snprintf(errorText, sizeof errorText, "Program %s not running (or an old version).",
             kApplicationName);
    return false;
}

// The send failed, so the Receiver never replied. The system's error number
// is all there is to tell why; where one number stands for two causes, both
// are named.
bool reportUnsentMessage(DWORD error) {
    switch (error) {
    case ERROR_INVALID_WINDOW_HANDLE:  // the window closed after it was found
        return notRunning();
    case ERROR_ACCESS_DENIED:
        // Windows refuses a message sent up to a program of higher privilege;
        // some systems give the same number for a Receiver that ended while
        // handling the message.
        snprintf(errorText, sizeof errorText,
                 "Program %s ended while handling the message, or refused it because it runs "
                 "with higher privileges (run tarnpost at the same privilege level as %s).",
                 kApplicationName, kApplicationName);
        return false;
    case 0:
        snprintf(errorText, sizeof errorText, "Program %s ended while handling the message.",
                 kApplicationName);
        return false;
    default:
        snprintf(errorText, sizeof errorText, "Cannot send the message to program %s (error %lu).",
                 kApplicationName, (unsigned long)error);
        return false;
    }
}

bool notifyReceiver(HWND receiver) {
    if (receiver == nullptr) {
        return notRunning();
    }
    LRESULT reply = 0;
    DWORD error = 0;
    if (!sendAndWait(receiver, TARN_MESSAGE_WAITING, &reply, &error)) {
        return reportUnsentMessage(error);
    }
    if (reply != 0) {
        snprintf(errorText, sizeof errorText, "Program %s returns error.", kApplicationName);
        return false;
    }
    return true;
}

// A delivery that ended while TARN was busy (a Ctrl+C on a tarnpost that
// seemed to hang) leaves its notification queued, and TARN handles it later
// by reading whatever the file holds then: this delivery's message, read
// twice, or in part while it is being written. A no-op sent the same way is
// answered only once TARN has handled every message sent before it, so the
// file is changed only after that. What it answers does not matter: a
// Receiver that failed it fails the notification too, which then says why.
void waitForEarlierNotifications(HWND receiver) {
    LRESULT ignored = 0;
    DWORD error = 0;
    if (receiver != nullptr) {
        sendAndWait(receiver, TARN_NO_OPERATION, &ignored, &error);
    }
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
    return reportAboutFile("Cannot lock message file \"%s\" for delivery.", path);
}

// Holding the lock. The file is not touched before TARN answered the no-op:
// while it still handles an earlier notification it may hold the file open
// against writers. Without a window the file is written all the same, for a
// TARN started later.
bool deliverLocked(const char* path, const char* message) {
    const HWND receiver = FindWindowW(TARN_CLASS_NAME_W, nullptr);
    waitForEarlierNotifications(receiver);
    return writeMessageFile(path, message) && notifyReceiver(receiver);
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
    const bool delivered = deliverLocked(messageFilePath, message);
    releaseDeliveryLock();
    return delivered ? nullptr : errorText;
}
