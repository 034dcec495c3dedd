// POSIX stand-ins for the Win32 operations a delivery uses. A Receiver
// "window" is a Unix-domain stream socket named after its window class.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/platform.h"
#include "platform/posix_ipc.h"

// The Receiver FindWindowW found: where it listens, and the connection made
// to find it, kept for the first message sent.
struct PlatformWindow {
    char socketPath[sizeof(sockaddr_un::sun_path)];
    int connection;
};

namespace {

PlatformWindow foundReceiver = {"", -1};

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

// The message file the held lock guards, as its path resolved when the lock
// was taken.
char lockedMessageFile[PATH_MAX];

// The signal mask as it was before the message file was taken in hand.
sigset_t maskBeforeDeferring;

// The most links followed on the way to the file a path names, as the kernel
// itself allows.
const int kMostLinks = 40;

// How often a missing file is looked for again after another process made it
// first (another delivery making the lock file at the same moment).
const int kCreateAttempts = 10;

// Stores `first` followed by `second` in `buffer` of PATH_MAX bytes; false
// with ENAMETOOLONG when they do not fit, never a shortened path.
bool joinTexts(char* buffer, const char* first, const char* second) {
    const int length = snprintf(buffer, PATH_MAX, "%s%s", first, second);
    if (length < 0 || length >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

// Stores `name` within `directory` in `buffer` of PATH_MAX bytes.
bool joinPath(char* buffer, const char* directory, const char* name) {
    char withSeparator[PATH_MAX];
    const size_t length = strlen(directory);
    const bool hasSeparator = length > 0 && directory[length - 1] == '/';
    return joinTexts(withSeparator, directory, hasSeparator ? "" : "/") &&
           joinTexts(buffer, withSeparator, name);
}

// Splits `path` into its directory, stored in `directory` of PATH_MAX bytes,
// and the last name, returned; null with EISDIR when it ends in a separator.
const char* splitPath(const char* path, char* directory) {
    const char* slash = strrchr(path, '/');
    const char* name = slash == nullptr ? path : slash + 1;
    if (*name == '\0') {
        errno = EISDIR;
        return nullptr;
    }
    if (slash == nullptr) {
        memcpy(directory, ".", 2);
    } else if (slash == path) {
        memcpy(directory, "/", 2);
    } else {
        memcpy(directory, path, (size_t)(slash - path));
        directory[slash - path] = '\0';
    }
    return name;
}

// Stores in `resolved` (PATH_MAX bytes) the file `path` finally names: every
// link followed, "." and ".." gone. A missing name, or a link that leads
// nowhere, resolves to the place an open would create the file: its
// directory resolved, then the name, or the link's target, in it. False with
// errno when that cannot be told; ENAMETOOLONG when it does not fit.
bool resolveFinalPath(const char* path, char* resolved) {
    char current[PATH_MAX];
    if (!joinTexts(current, path, "")) {
        return false;
    }
    for (int links = 0; links <= kMostLinks; ++links) {
        if (realpath(current, resolved) != nullptr) {
            return true;
        }
        char directory[PATH_MAX];
        char resolvedDirectory[PATH_MAX];
        const char* name = errno == ENOENT ? splitPath(current, directory) : nullptr;
        if (name == nullptr || realpath(directory, resolvedDirectory) == nullptr) {
            return false;
        }
        char target[PATH_MAX];
        const ssize_t length = readlink(current, target, sizeof target);
        if (length < 0 && errno == ENOENT) {
            return joinPath(resolved, resolvedDirectory, name);
        }
        if (length < 0 && errno != EINVAL) {
            return false;
        }
        if (length >= (ssize_t)sizeof target) {
            errno = ENAMETOOLONG;
            return false;
        }
        if (length < 0) {
            continue;  // made meanwhile: resolved on the next round
        }
        target[length] = '\0';
        if (!(target[0] == '/' ? joinTexts(current, target, "")
                               : joinPath(current, resolvedDirectory, target))) {
            return false;
        }
    }
    errno = ELOOP;
    return false;
}

// Whether the lock file failed for the reason the message file would fail
// too (a missing directory, a read-only file system, a directory closed to
// new files, no room for one more file), so that the caller reports the
// message file. A lock file that is there but cannot be opened, or a message
// file that could be written, means that only the lock failed, and saying
// otherwise would mislead.
bool refusesNewFiles(int error, const char* lockPath, const char* messageFile) {
    if (error == ENOENT || error == ENOTDIR || error == EROFS) {
        return true;
    }
    const bool refused = error == EACCES || error == EPERM || error == ENOSPC || error == EDQUOT;
    struct stat lockStatus;
    return refused && lstat(lockPath, &lockStatus) != 0 &&
           faccessat(AT_FDCWD, messageFile, W_OK, AT_EACCESS) != 0;
}

// Whether descriptor `fd` is open.
bool isOpen(int fd) {
    return fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

// Opens `path` without blocking on what is not a regular file. A regular
// file that another process holds a lease on (a file server's oplock, an NFS
// delegation) refuses that open while the holder is asked to let go; it is
// then opened again as any program would open it, waiting for that, which
// lasts at most the kernel's lease-break time. (On a regular file O_NONBLOCK
// changes nothing else.)
int openWithoutHanging(const char* path, int flags) {
    const int fd = open(path, flags | O_NONBLOCK);
    if (fd >= 0 || errno != EWOULDBLOCK) {
        return fd;
    }
    return open(path, flags);
}

// Whether two files are one, however each was reached.
bool isSameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens the regular file that `handle` holds (an O_PATH handle, described by
// `held`) as `flags` say, through /proc: that very file, whatever `path`
// names by now. Without /proc, `path` is opened and must still be that
// file: a pipe swapped in between can then be opened, but is closed again
// unwritten.
int openHeldFile(int handle, const struct stat& held, const char* path, int flags) {
    char procPath[40];
    snprintf(procPath, sizeof procPath, "/proc/self/fd/%d", handle);
    int fd = openWithoutHanging(procPath, flags);
    if (fd >= 0 || errno != ENOENT) {
        return fd;
    }
    fd = openWithoutHanging(path, flags | O_NOFOLLOW);
    struct stat opened;
    if (fd >= 0 && (fstat(fd, &opened) != 0 || !isSameFile(opened, held))) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

// Opens the regular file at `path`, its last name never followed, creating
// it with `mode` when missing; what it is goes into `status`. Anything else
// there (a pipe, device, socket, link or directory) is never opened, race or
// not: the name is first taken as a handle that opens nothing (O_PATH), and
// only the file that handle holds, seen to be a regular file, is opened.
// -1 with errno on failure, EINVAL for what is not a regular file.
int openRegularFile(const char* path, int flags, mode_t mode, struct stat* status) {
    for (int attempt = 0; attempt < kCreateAttempts; ++attempt) {
        const int handle = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        if (handle < 0 && errno == ENOENT) {
            // A file made here is a new regular file and nothing else.
            const int fd = open(path, flags | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
            if (fd >= 0 && fstat(fd, status) != 0) {
                close(fd);
                return -1;
            }
            if (fd >= 0 || errno != EEXIST) {
                return fd;
            }
            continue;  // made by another process meanwhile: look again
        }
        if (handle < 0) {
            return -1;
        }
        int fd = -1;
        if (fstat(handle, status) == 0) {
            errno = EINVAL;
            fd = S_ISREG(status->st_mode) ? openHeldFile(handle, *status, path, flags) : -1;
        }
        const int error = errno;
        close(handle);
        errno = error;
        return fd;
    }
    return -1;
}

// Whether `file`, as fstat described it, is the file the lock is held on.
bool isTheLockFile(const struct stat& file) {
    struct stat lock;
    return lockFile >= 0 && fstat(lockFile, &lock) == 0 && isSameFile(file, lock);
}

// Whether `messageFile`, the file `messageFilePath` finally names, is the
// lock file beside that path under another name.
bool isTheLockBesideItsName(const char* messageFilePath, const struct stat& messageFile) {
    char lockPath[PATH_MAX];
    struct stat lock;
    return joinTexts(lockPath, messageFilePath, ".lock") && stat(lockPath, &lock) == 0 &&
           isSameFile(lock, messageFile);
}

// Waits until this process holds the write lock on all of `fd`.
bool lockWhole(int fd) {
    struct flock whole;
    memset(&whole, 0, sizeof whole);
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    int result;
    do {
        result = fcntl(fd, F_SETLKW, &whole);
    } while (result != 0 && errno == EINTR);
    return result == 0;
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
    if (fd < 0) {
        return nullptr;
    }
    if (foundReceiver.connection >= 0) {
        close(foundReceiver.connection);
    }
    // receiverSocketPath kept it within a socket address.
    memcpy(foundReceiver.socketPath, socketPath, strlen(socketPath) + 1);
    foundReceiver.connection = fd;
    return &foundReceiver;
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
    // Under the lock only the file it guards is written: a path changed
    // meanwhile (made a link to the lock file, or to another file) is refused.
    char messageFile[PATH_MAX];
    if (!resolveFinalPath(path, messageFile) ||
        (lockFile >= 0 && strcmp(messageFile, lockedMessageFile) != 0)) {
        return nullptr;
    }
    struct stat status;
    const int fd = openRegularFile(messageFile, O_WRONLY | O_NOCTTY | O_CLOEXEC, 0666, &status);
    if (fd < 0) {
        return nullptr;
    }
    // Closing the lock's own file, reached here under another name, would
    // drop the lock.
    FILE* file = nullptr;
    if (isTheLockFile(status) || (file = fdopen(fd, "wb")) == nullptr) {
        close(fd);
        return nullptr;
    }
    return file;
}

bool setFileLength(FILE* file, long length) {
    return ftruncate(fileno(file), (off_t)length) == 0;
}

// Every message goes on a connection of its own, as each sent window message
// stands alone: its reply is only ever what the Receiver wrote on that
// connection, never bytes left over from an answer to an earlier message.
// The first one takes the connection FindWindowW made. The stand-in cannot
// tell a Receiver that died from one that sent a bad reply: both count as a
// nonzero reply. A Receiver that no longer listens fails the send, as a
// window that closed after it was found does.
bool sendAndWait(HWND window, UINT message, LRESULT* reply, DWORD* error) {
    int fd = -1;
    if (window != nullptr) {
        fd = window->connection >= 0 ? window->connection : connectTo(window->socketPath);
        window->connection = -1;
    }
    if (fd < 0) {
        *error = ERROR_INVALID_WINDOW_HANDLE;
        return false;
    }
    char request[32];
    const int length = snprintf(request, sizeof request, "%u 0 0\n", message);
    char line[64];
    if (length <= 0 || (size_t)length >= sizeof request || !sendAll(fd, request, (size_t)length) ||
        !receiveLine(fd, line, sizeof line) || !parseReply(line, reply)) {
        *reply = -1;
    }
    close(fd);
    return true;
}

DeliveryLock acquireDeliveryLock(const char* messageFilePath) {
    // The lock lies beside the file the path finally names, so that every
    // spelling of one file (a link to it, a link to its directory) waits for
    // the same lock. A path too long to resolve is a failure, never a
    // shortened one.
    char messageFile[PATH_MAX];
    char lockPath[PATH_MAX];
    if (!resolveFinalPath(messageFilePath, messageFile)) {
        return errno == ENAMETOOLONG ? DELIVERY_LOCK_FAILED : DELIVERY_LOCK_NO_PLACE;
    }
    // A directory, pipe, device or socket there fails the delivery anyway,
    // and gets no lock file beside it (no /dev/null.lock).
    struct stat message;
    const bool exists = lstat(messageFile, &message) == 0;
    if (exists && !S_ISREG(message.st_mode)) {
        return DELIVERY_LOCK_NO_PLACE;
    }
    if ((exists && isTheLockBesideItsName(messageFilePath, message)) ||
        !joinTexts(lockPath, messageFile, ".lock")) {
        return DELIVERY_LOCK_FAILED;
    }
    // Only a regular file of this user's own holds the lock: anything else in
    // its place (a link, a pipe, a device) is never opened, and a file of
    // another user, who could take it away, is refused. Nor may it be the
    // message file under another name: closing any descriptor of a file
    // drops the process's fcntl locks on it, so the lock would be gone the
    // moment the message was written.
    struct stat lock;
    const int fd = openRegularFile(lockPath, O_RDWR | O_NOCTTY | O_CLOEXEC, 0600, &lock);
    if (fd < 0) {
        return refusesNewFiles(errno, lockPath, messageFile) ? DELIVERY_LOCK_NO_PLACE
                                                             : DELIVERY_LOCK_FAILED;
    }
    if (lock.st_uid != geteuid() || (exists && isSameFile(lock, message)) || !lockWhole(fd)) {
        close(fd);
        return DELIVERY_LOCK_FAILED;
    }
    lockFile = fd;  // the lock dies with the process if it never gets here
    memcpy(lockedMessageFile, messageFile, sizeof lockedMessageFile);
    return DELIVERY_LOCK_TAKEN;
}

void releaseDeliveryLock() {
    if (lockFile >= 0) {
        close(lockFile);  // closing drops the lock
        lockFile = -1;
    }
}

void deferInterruptions() {
    // Every signal that can be blocked: a user's (Ctrl+C, SIGTERM, a closed
    // terminal, kill -RTMIN), a timer's or CPU limit's, an I/O or power
    // notice, and the fault signals too when they are sent from outside
    // (kill -SEGV). Linux still ends a process at once whose own code faults
    // while they are blocked, so no fault of tarnpost's can be held back.
    // The C library leaves out of every mask it is given the two real-time
    // signals it keeps for its threads (32 and 33); this program has no
    // threads, and sent from outside they end it like any other, so the mask
    // goes to the kernel directly, in the layout the two share.
    sigset_t interruptions;
    memset(&interruptions, 0xff, sizeof interruptions);
    syscall(SYS_rt_sigprocmask, SIG_BLOCK, &interruptions, &maskBeforeDeferring, _NSIG / 8);
}

void allowInterruptions() {
    // A signal held back meanwhile is delivered as the mask is restored, and
    // ends the process before the Receiver is told.
    syscall(SYS_rt_sigprocmask, SIG_SETMASK, &maskBeforeDeferring, nullptr, _NSIG / 8);
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
