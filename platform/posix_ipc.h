// Where the POSIX stand-in of a Receiver window lives; shared by the
// platform layer and the stand-in Receivers in tools/.
#ifndef TARNPOST_PLATFORM_POSIX_IPC_H
#define TARNPOST_PLATFORM_POSIX_IPC_H

#include <stddef.h>

// Stores the per-user directory that holds Receiver sockets: $XDG_RUNTIME_DIR
// when set and absolute, else /tmp/tarn-<uid>; false when `size` is too small.
bool receiverDirectory(char* buffer, size_t size);

// True when `directory` is a real directory (not a link) owned by the
// effective user and closed to group and others.
bool receiverDirectoryIsSafe(const char* directory);

// Stores "<directory>/<className>"; false when it would not fit `size` or a
// socket address, which is never truncated.
bool receiverSocketPath(const char* directory, const char* className, char* buffer, size_t size);

#endif
