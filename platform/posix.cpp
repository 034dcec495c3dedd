// POSIX stand-ins for the Win32 operations a delivery uses. A Receiver
// "window" is a Unix-domain stream socket named after its window class.
#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix_ipc.h"

namespace {

// Win32 size contract: the value and its terminator, or the size needed.
DWORD storeValue(const char* value, LPSTR buffer, DWORD size) {
    const size_t length = strlen(value);
    if (length == 0) {
        return 0;
    }
    if (length >= size) {
        return (DWORD)(length + 1);
    }
    memcpy(buffer, value, length + 1);
    return (DWORD)length;
}

bool sendAll(int socket, const char* data, size_t length) {
    while (length > 0) {
        // MSG_NOSIGNAL: a Receiver that hung up must not kill us with SIGPIPE.
        const ssize_t sent = send(socket, data, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        data += sent;
        length -= (size_t)sent;
    }
    return true;
}

// Reads one line into `line`; false on end of stream, error, a NUL byte or
// an overlong line.
bool receiveLine(int socket, char* line, size_t size) {
    size_t used = 0;
    while (used + 1 < size) {
        char c;
        const ssize_t got = recv(socket, &c, 1, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        if (c == '\n') {
            line[used] = '\0';
            return true;
        }
        if (c == '\0') {
            return false;  // would end the text early: "0", NUL, "1" must not read as 0
        }
        line[used++] = c;
    }
    return false;
}

// The reply is one signed decimal number and nothing else: no blanks, no
// plus sign, nothing after it, and within the range a reply can hold, so
// that no malformed or overlong reply can ever read as 0.
bool parseReply(const char* line, LRESULT* reply) {
    const bool startsLikeANumber = (line[0] >= '0' && line[0] <= '9') || line[0] == '-';
    char* end = nullptr;
    errno = 0;
    const long value = strtol(line, &end, 10);
    if (!startsLikeANumber || end == line || *end != '\0' || errno != 0) {
        return false;
    }
    *reply = value;
    return true;
}

// Only ASCII class names map onto socket names.
bool narrowClassName(LPCWSTR className, char* buffer, size_t size) {
    size_t i = 0;
    for (; className[i] != 0; ++i) {
        if (i + 1 >= size || className[i] < 0x21 || className[i] > 0x7e || className[i] == '/') {
            return false;
        }
        buffer[i] = (char)className[i];
    }
    buffer[i] = '\0';
    return i > 0;
}

bool peerIsThisUser(int socket) {
    struct ucred credentials;
    socklen_t length = sizeof credentials;
    return getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 &&
           length == sizeof credentials && credentials.uid == geteuid();
}

int connectTo(const char* socketPath) {
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, socketPath, strlen(socketPath) + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int result;
    do {
        result = connect(fd, (const struct sockaddr*)&address, sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0 || !peerIsThisUser(fd)) {
        close(fd);
        return -1;
    }
    return fd;
}

int lockFile = -1;

// The signal mask as it was before the message file was taken in hand.
sigset_t maskBeforeDeferring;

// Whether the lock file failed for the reason the message file would fail
// too (a missing directory, a read-only file system, a directory closed to
// new files), so that the caller reports the message file. A lock file that
// is there but cannot be opened, or a message file that could be written,
// means that only the lock failed, and saying otherwise would mislead.
bool refusesNewFiles(int error, const char* lockPath, const char* messageFilePath) {
    if (error == ENOENT || error == ENOTDIR || error == EROFS) {
        return true;
    }
    const bool denied = error == EACCES || error == EPERM;
    struct stat lockStatus;
    return denied && lstat(lockPath, &lockStatus) != 0 &&
           faccessat(AT_FDCWD, messageFilePath, W_OK, AT_EACCESS) != 0;
}

// Whether descriptor `fd` is open.
bool isOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

// Whether `path` names a regular file or nothing, looked at before it is
// opened: opening a pipe, device or socket can do something of its own (a
// reader waiting on a pipe sees it opened and closed). What cannot be looked
// at cannot be opened either, and is left to the open to refuse.
bool namesRegularOrNothing(const char* path, bool followLink) {
    struct stat status;
    const int looked = followLink ? stat(path, &status) : lstat(path, &status);
    return looked != 0 || S_ISREG(status.st_mode);
}

// Opens `path` without blocking on what is not a regular file. A regular
// file that another process holds a lease on (a file server's oplock, an NFS
// delegation) refuses that open while the holder is asked to let go; it is
// then opened again as any program would open it, waiting for that. (On a
// regular file O_NONBLOCK changes nothing else.)
int openWithoutHanging(const char* path, int flags, mode_t mode, bool followLink) {
    const int fd = open(path, flags | O_NONBLOCK, mode);
    if (fd >= 0 || errno != EWOULDBLOCK || !namesRegularOrNothing(path, followLink)) {
        return fd;
    }
    return open(path, flags, mode);
}

// The regular file open at `fd`, in `status`; false for anything else.
bool isRegularFile(int fd, struct stat* status) {
    return fstat(fd, status) == 0 && S_ISREG(status->st_mode);
}

// Whether two files are one, however each was reached.
bool isSameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether `file`, as fstat described it, is the file the lock is held on.
bool isTheLockFile(const struct stat& file) {
    struct stat lock;
    return lockFile >= 0 && fstat(lockFile, &lock) == 0 && isSameFile(file, lock);
}

}  // namespace

bool receiverDirectory(char* buffer, size_t size) {
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    int length;
    if (runtime != nullptr && runtime[0] == '/') {
        length = snprintf(buffer, size, "%s", runtime);
    } else {
        length = snprintf(buffer, size, "/tmp/tarn-%lu", (unsigned long)geteuid());
    }
    if (length <= 0 || (size_t)length >= size) {
        return false;
    }
    // lstat follows a link named with a trailing slash; without the slash the
    // link itself is checked, and refused.
    while (length > 1 && buffer[length - 1] == '/') {
        buffer[--length] = '\0';
    }
    return true;
}

bool receiverDirectoryIsSafe(const char* directory) {
    struct stat status;
    return lstat(directory, &status) == 0 && S_ISDIR(status.st_mode) &&
           status.st_uid == geteuid() && (status.st_mode & 077) == 0;
}

bool receiverSocketPath(const char* directory, const char* className, char* buffer, size_t size) {
    const size_t socketRoom = sizeof(sockaddr_un::sun_path);
    const int length = snprintf(buffer, size, "%s/%s", directory, className);
    return length > 0 && (size_t)length < size && (size_t)length < socketRoom;
}

DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size) {
    const char* value = getenv(name);
    return value == nullptr ? 0 : storeValue(value, buffer, size);
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    // The password database, not $HOME: the stand-in must not follow the
    // environment, as the Windows directory does not.
    struct passwd entry;
    struct passwd* found = nullptr;
    char scratch[16384];
    if (getpwuid_r(geteuid(), &entry, scratch, sizeof scratch, &found) != 0 || found == nullptr ||
        entry.pw_dir == nullptr) {
        return 0;
    }
    return storeValue(entry.pw_dir, buffer, size);
}

HWND FindWindowW(LPCWSTR className, LPCWSTR /*windowName*/) {
    char name[128];
    char directory[4096];
    char socketPath[4096];
    if (!narrowClassName(className, name, sizeof name) ||
        !receiverDirectory(directory, sizeof directory) || !receiverDirectoryIsSafe(directory) ||
        !receiverSocketPath(directory, name, socketPath, sizeof socketPath)) {
        return nullptr;
    }
    const int fd = connectTo(socketPath);
    // The handle carries the connection; 0 is a valid descriptor, null is not.
    // It is never dereferenced, only turned back into the descriptor.
    // NOLINTNEXTLINE(performance-no-int-to-ptr)
    return fd < 0 ? nullptr : reinterpret_cast<HWND>(static_cast<intptr_t>(fd + 1));
}

bool prepareProcess() {
    // Callers rely on an exit status of 0 or 1 alone: a reader that went away
    // (the Receiver's socket, standard output) and a file-size limit must
    // show up as failed writes, never as death by SIGPIPE or SIGXFSZ.
    if (signal(SIGPIPE, SIG_IGN) == SIG_ERR || signal(SIGXFSZ, SIG_IGN) == SIG_ERR) {
        return false;
    }
    // A descriptor among 0 to 2 that the caller closed would be the first
    // one the delivery opens (the lock file, the Receiver's socket), and the
    // error line would then be written into it.
    for (int fd = 0; fd <= 2; ++fd) {
        if (!isOpen(fd) && open("/dev/null", O_RDWR) != fd) {
            return false;
        }
    }
    return true;
}

FILE* openMessageFile(const char* path) {
    if (!namesRegularOrNothing(path, true)) {
        return nullptr;
    }
    const int fd = openWithoutHanging(path, O_WRONLY | O_CREAT | O_NOCTTY | O_CLOEXEC, 0666, true);
    if (fd < 0) {
        return nullptr;
    }
    // The path may have changed since it was looked at. And closing the lock's
    // own file, reached here under another name, would drop the lock.
    struct stat status;
    FILE* file = nullptr;
    if (!isRegularFile(fd, &status) || isTheLockFile(status) ||
        (file = fdopen(fd, "wb")) == nullptr) {
        close(fd);
        return nullptr;
    }
    return file;
}

bool setFileLength(FILE* file, long length) {
    return ftruncate(fileno(file), (off_t)length) == 0;
}

// The stand-in cannot tell a Receiver that died from one that sent a bad
// reply: both count as a nonzero reply. Only a missing window fails the send.
// The connection stays open for the next message, as a window stays there;
// it closes as the process ends.
bool sendAndWait(HWND window, UINT message, LRESULT* reply, DWORD* error) {
    if (window == nullptr) {
        *error = ERROR_INVALID_WINDOW_HANDLE;
        return false;
    }
    const int fd = (int)((intptr_t)window - 1);
    char request[32];
    const int length = snprintf(request, sizeof request, "%u 0 0\n", message);
    char line[64];
    if (length <= 0 || (size_t)length >= sizeof request || !sendAll(fd, request, (size_t)length) ||
        !receiveLine(fd, line, sizeof line) || !parseReply(line, reply)) {
        *reply = -1;
    }
    return true;
}

DeliveryLock acquireDeliveryLock(const char* messageFilePath) {
    char lockPath[300];
    const int length = snprintf(lockPath, sizeof lockPath, "%s.lock", messageFilePath);
    if (length <= 0 || (size_t)length >= sizeof lockPath) {
        return DELIVERY_LOCK_FAILED;
    }
    // Only a regular file of its own holds the lock: anything else in its
    // place (a link, a pipe, a device) is never opened. Nor may it be the
    // message file under another name: closing any descriptor of a file
    // drops the process's fcntl locks on it, so the lock would be gone the
    // moment the message was written.
    if (!namesRegularOrNothing(lockPath, false)) {
        return DELIVERY_LOCK_FAILED;
    }
    const int fd = openWithoutHanging(
        lockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600, false);
    if (fd < 0) {
        return refusesNewFiles(errno, lockPath, messageFilePath) ? DELIVERY_LOCK_NO_PLACE
                                                                 : DELIVERY_LOCK_FAILED;
    }
    struct stat lock;
    struct stat message;
    if (!isRegularFile(fd, &lock) ||
        (stat(messageFilePath, &message) == 0 && isSameFile(lock, message))) {
        close(fd);
        return DELIVERY_LOCK_FAILED;
    }
    struct flock whole;
    memset(&whole, 0, sizeof whole);
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    int result;
    do {
        result = fcntl(fd, F_SETLKW, &whole);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        close(fd);
        return DELIVERY_LOCK_FAILED;
    }
    lockFile = fd;  // the lock dies with the process if it never gets here
    return DELIVERY_LOCK_TAKEN;
}

void releaseDeliveryLock() {
    if (lockFile >= 0) {
        close(lockFile);  // closing drops the lock
        lockFile = -1;
    }
}

void deferInterruptions() {
    // The signals that end a process unless caught, and that someone other
    // than the process itself sends; faults raised by the program's own code
    // must never be held back.
    static const int kInterruptions[] = {SIGHUP,  SIGINT,  SIGQUIT, SIGTERM,
                                         SIGALRM, SIGUSR1, SIGUSR2};
    sigset_t interruptions;
    sigemptyset(&interruptions);
    for (const int interruption : kInterruptions) {
        sigaddset(&interruptions, interruption);
    }
    sigprocmask(SIG_BLOCK, &interruptions, &maskBeforeDeferring);
}

void allowInterruptions() {
    // A signal held back meanwhile is delivered as the mask is restored, and
    // ends the process before the Receiver is told.
    sigprocmask(SIG_SETMASK, &maskBeforeDeferring, nullptr);
}

// Arguments and environment values are bytes here, handed over as they are.
bool argumentIsExact(int /*index*/, const char* /*argument*/) {
    return true;
}

bool environmentValueIsExact(const char* /*name*/, const char* /*value*/) {
    return true;
}

UINT GetACP() {
    return 0;
}
