#include "tools/receiver_common.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "delivery/receiver_protocol.h"
#include "platform/platform.h"

namespace {

// Whether a lookup with the Win32 size contract stored a value: one that is
// set, not empty, and fits in `room`.
bool stored(DWORD result, DWORD room) {
    return result > 0 && result < room;
}

}  // namespace

bool parseReceiverOptions(int argc, char** argv, ReceiverOptions* options) {
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (strcmp(option, "--reply") == 0 && hasValue) {
            options->reply = strtoll(argv[++i], nullptr, 10);
        } else if (strcmp(option, "--delay") == 0 && hasValue) {
            options->delayMs = strtol(argv[++i], nullptr, 10);
        } else if (strcmp(option, "--count") == 0 && hasValue) {
            options->count = strtol(argv[++i], nullptr, 10);
        } else if (strcmp(option, "--dir") == 0 && hasValue) {
            options->messageDirectory = argv[++i];
        } else if (strcmp(option, "--record") == 0 && hasValue) {
            options->recordDirectory = argv[++i];
        } else if (strcmp(option, "--ready") == 0 && hasValue) {
            options->readyFile = argv[++i];
        } else if (strcmp(option, "--reply-bytes") == 0 && hasValue) {
            options->replyBytes = argv[++i];
        } else if (strcmp(option, "--socket") == 0 && hasValue) {
            options->socketPath = argv[++i];
        } else if (strcmp(option, "--on-no-op") == 0 && hasValue) {
            options->onNoOperation = argv[++i];
        } else if (strcmp(option, "--title") == 0 && hasValue) {
            options->title = argv[++i];
        } else if (strcmp(option, "--drop") == 0) {
            options->drop = true;
        } else if (strcmp(option, "--peer-streams") == 0) {
            options->peerStreams = true;
        } else if (strcmp(option, "--die") == 0) {
            options->die = true;
        } else if (strcmp(option, "--hang-up") == 0) {
            options->hangUp = true;
        } else if (strcmp(option, "--stop") == 0) {
            options->stop = true;
        } else if (strcmp(option, "--read-shared") == 0) {
            options->readShared = true;
        } else {
            return false;
        }
    }
    return true;
}

bool messageFilePath(const char* chosenDirectory, char* path, size_t size) {
    char directory[4096] = "";
    const DWORD room = sizeof directory;
    if (chosenDirectory != nullptr) {
        snprintf(directory, sizeof directory, "%s", chosenDirectory);
    } else if (!stored(GetEnvironmentVariableA("USERPROFILE", directory, room), room)) {
        const DWORD drive = GetEnvironmentVariableA("HOMEDRIVE", directory, room);
        if (stored(drive, room)) {
            const DWORD rest = room - drive;
            if (!stored(GetEnvironmentVariableA("HOMEPATH", directory + drive, rest), rest)) {
                directory[drive] = '\0';  // the drive alone
            }
        } else if (!stored(GetWindowsDirectoryA(directory, room), room)) {
            return false;
        }
    }
    const int length =
        snprintf(path, size, "%s" PLATFORM_DIR_SEPARATOR TARN_MESSAGE_FILE_NAME, directory);
    return length > 0 && (size_t)length < size;
}

void showMessage(long number, const char* bytes, size_t length) {
    printf("TARN message %ld (%lu bytes): \"", number, (unsigned long)length);
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = (unsigned char)bytes[i];
        if (c == '\r') {
            fputs("\\r", stdout);
        } else if (c == '\n') {
            fputs("\\n", stdout);
        } else if (c == '"' || c == '\\') {
            printf("\\%c", c);
        } else if (c < 0x20 || c >= 0x7f) {
            printf("\\x%02x", c);
        } else {
            putchar(c);
        }
    }
    puts("\"");
}

void recordMessage(const char* recordDirectory, long number, const char* bytes, size_t length) {
    if (recordDirectory == nullptr) {
        return;
    }
    char path[4096];
    snprintf(path, sizeof path, "%s" PLATFORM_DIR_SEPARATOR "%06ld.msg", recordDirectory, number);
    FILE* file = fopen(path, "wb");
    const bool written = file != nullptr && fwrite(bytes, 1, length, file) == length;
    if (file == nullptr || fclose(file) != 0 || !written) {
        fprintf(stderr, "tarn-receiver: cannot record %s\n", path);
    }
}

void createReadyFile(const char* path) {
    if (path == nullptr) {
        return;
    }
    FILE* ready = fopen(path, "w");
    if (ready == nullptr || fclose(ready) != 0) {
        fprintf(stderr, "tarn-receiver: cannot create %s\n", path);
    }
}
