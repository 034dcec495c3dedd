// What the POSIX and the Windows stand-in Receivers share: their options,
// where they look for the message file, and how they show and keep what
// they read.
#ifndef TARNPOST_TOOLS_RECEIVER_COMMON_H
#define TARNPOST_TOOLS_RECEIVER_COMMON_H

#include <stddef.h>

#include "delivery/receiver_protocol.h"

// The title of a stand-in's window; TARN's own has another, so that a
// stand-in can be told from TARN (and --stop never closes TARN).
#define TARN_STAND_IN_TITLE "TARN stand-in"
#define TARN_STAND_IN_TITLE_W TARN_WIDE_TEXT(TARN_STAND_IN_TITLE)

struct ReceiverOptions {
    long long reply = 0;
    long count = -1;                      // stop after this many notifications
    long delayMs = 0;                     // busy this long before reading the file
    bool die = false;                     // be killed while handling the message
    bool hangUp = false;                  // POSIX: close the connection without a reply
    bool drop = false;                    // POSIX: close each connection at once, unread
    bool peerStreams = false;             // POSIX: show where the caller's fds 0-2 lead
    const char* replyBytes = nullptr;     // POSIX: send these bytes (C escapes) as every reply
    const char* socketPath = nullptr;     // POSIX: listen on exactly this path
    const char* onNoOperation = nullptr;  // POSIX: run this shell command when a no-op arrives
    const char* title = nullptr;          // Windows: the window's title, if not a stand-in's
    bool stop = false;        // Windows: close the running stand-in instead of being one
    bool readShared = false;  // Windows: read the file while others may write it
    const char* messageDirectory = nullptr;
    const char* recordDirectory = nullptr;  // keep each message read as NNNNNN.msg
    const char* readyFile = nullptr;        // created once the Receiver can be told
};

// Reads every option either stand-in knows; false on anything else. Each
// program refuses the switch that only the other one supports.
bool parseReceiverOptions(int argc, char** argv, ReceiverOptions* options);

// The message file in `chosenDirectory`, else where tarnpost puts it:
// USERPROFILE, else HOMEDRIVE followed by HOMEPATH, else the Windows
// directory (on POSIX the home directory from the password database). Read
// through the same platform calls as tarnpost, at every notification.
bool messageFilePath(const char* chosenDirectory, char* path, size_t size);

// Prints "TARN message N (B bytes): "..."" with C escapes, so that CR, LF
// and 8-bit bytes stay visible.
void showMessage(long number, const char* bytes, size_t length);

// Keeps the message as `recordDirectory`/NNNNNN.msg; does nothing without a
// directory and complains on stderr when it cannot.
void recordMessage(const char* recordDirectory, long number, const char* bytes, size_t length);

// Creates the empty file that tells a waiting caller the Receiver is ready.
void createReadyFile(const char* path);

#endif
