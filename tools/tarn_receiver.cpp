// A stand-in Receiver for tests and demonstrations on POSIX: listens where
// tarnpost looks for the TARN window, reads the message file whenever it is
// told a message is waiting, shows what it got, and replies as told.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "delivery/receiver_protocol.h"
#include "platform/posix_ipc.h"
#include "tools/receiver_common.h"

namespace {

char socketPath[PATH_MAX];
volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

void usage() {
    fprintf(stderr,
            "usage: tarn-receiver [--reply N | --reply-bytes TEXT | --hang-up | --drop] [--die]\n"
            "                     [--delay MS] [--count N] [--dir MESSAGE_DIR] [--record DIR]\n"
            "                     [--ready FILE] [--socket PATH] [--peer-streams]\n"
            "                     [--on-no-op COMMAND]\n");
}

// Binds `path` as it stands: a name that fills the whole of sun_path goes
// without a terminator, so that a client that cut or overran it is caught.
bool bindTo(int listener, const char* path) {
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    const size_t length = strlen(path);
    if (length > sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(address.sun_path, path, length);
    return bind(listener, (struct sockaddr*)&address,
                (socklen_t)(offsetof(struct sockaddr_un, sun_path) + length)) == 0;
}

// Where tarnpost looks for the TARN window, unless --socket names a place.
bool chooseSocketPath(const char* chosenPath) {
    if (chosenPath != nullptr) {
        snprintf(socketPath, sizeof socketPath, "%s", chosenPath);
        return true;
    }
    char directory[PATH_MAX];
    if (!receiverDirectory(directory, sizeof directory)) {
        fprintf(stderr, "tarn-receiver: runtime directory name too long\n");
        return false;
    }
    if (mkdir(directory, 0700) != 0 && errno != EEXIST) {
        fprintf(stderr, "tarn-receiver: cannot create %s: %s\n", directory, strerror(errno));
        return false;
    }
    if (!receiverDirectoryIsSafe(directory)) {
        fprintf(stderr, "tarn-receiver: %s is not a private directory of this user\n", directory);
        return false;
    }
    if (!receiverSocketPath(directory, TARN_CLASS_NAME, socketPath, sizeof socketPath)) {
        fprintf(stderr, "tarn-receiver: socket path too long under %s\n", directory);
        return false;
    }
    return true;
}

bool listenOnSocket(const char* chosenPath, int* listener) {
    if (!chooseSocketPath(chosenPath)) {
        return false;
    }
    struct stat status;
    if (lstat(socketPath, &status) == 0 && S_ISSOCK(status.st_mode)) {
        unlink(socketPath);  // left by a Receiver that was killed
    }
    *listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (*listener < 0 || !bindTo(*listener, socketPath) || listen(*listener, 128) != 0) {
        fprintf(stderr, "tarn-receiver: cannot listen on %s: %s\n", socketPath, strerror(errno));
        return false;
    }
    return true;
}

bool readLine(int connection, char* line, size_t size) {
    size_t used = 0;
    char c;
    while (used + 1 < size) {
        const ssize_t got = recv(connection, &c, 1, 0);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        if (c == '\n') {
            break;
        }
        line[used++] = c;
    }
    line[used] = '\0';
    return true;
}

static char message[1 << 20];

size_t readMessage(const char* path, bool* found) {
    FILE* file = fopen(path, "rb");
    *found = file != nullptr;
    if (file == nullptr) {
        return 0;
    }
    const size_t length = fread(message, 1, sizeof message, file);
    fclose(file);
    return length;
}

// `text` with the escapes \n, \r, \0 and \\ made into their bytes.
size_t unescape(const char* text, char* bytes, size_t size) {
    size_t length = 0;
    for (const char* c = text; *c != '\0' && length < size; ++c) {
        if (*c == '\\' && c[1] != '\0') {
            ++c;
            bytes[length++] = *c == 'n' ? '\n' : *c == 'r' ? '\r' : *c == '0' ? '\0' : *c;
        } else {
            bytes[length++] = *c;
        }
    }
    return length;
}

// Sends `reply`, or the bytes --reply-bytes gives, which a Receiver that
// answers oddly sends to every request alike.
void sendReply(int connection, const ReceiverOptions& options, long long reply) {
    char line[256];
    const size_t length = options.replyBytes != nullptr
                              ? unescape(options.replyBytes, line, sizeof line)
                              : (size_t)snprintf(line, sizeof line, "%lld\n", reply);
    if (send(connection, line, length, MSG_NOSIGNAL) == (ssize_t)length) {
        return;
    }
    // A sender that ended before the reply (a Ctrl+C) is no fault of the
    // Receiver's; a window's reply to it is dropped without a word.
    if (errno == EPIPE || errno == ECONNRESET) {
        printf("TARN reply dropped: the sender has gone\n");
    } else {
        fprintf(stderr, "tarn-receiver: reply not sent: %s\n", strerror(errno));
    }
}

// Where the caller's descriptors 0 to 2 lead, as /proc shows them.
void showPeerStreams(int connection) {
    struct ucred peer;
    socklen_t size = sizeof peer;
    if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
        return;
    }
    printf("TARN peer streams:");
    for (int fd = 0; fd <= 2; ++fd) {
        char link[64];
        char target[PATH_MAX];
        snprintf(link, sizeof link, "/proc/%ld/fd/%d", (long)peer.pid, fd);
        const ssize_t got = readlink(link, target, sizeof target);
        printf(" %.*s", got > 0 ? (int)got : 6, got > 0 ? target : "closed");
    }
    printf("\n");
}

// Whether `request` is the no-op every window answers at once, doing
// nothing.
bool isNoOperation(const char* request) {
    char noOperation[32];
    snprintf(noOperation, sizeof noOperation, "%u 0 0", TARN_NO_OPERATION);
    return strcmp(request, noOperation) == 0;
}

// Runs `command` with the shell and waits for it, so that a test can change
// things at the moment a no-op arrives: the sender then holds its lock and
// has yet to touch the message file.
void runOnNoOperation(const char* command) {
    if (command == nullptr) {
        return;
    }
    fflush(stdout);
    const int status = system(command);
    if (status != 0) {
        fprintf(stderr, "tarn-receiver: --on-no-op command ended with status %d\n", status);
    }
}

// Reads the file, shows and keeps what it held.
void readAndShow(const ReceiverOptions& options, long number) {
    char path[PATH_MAX];
    bool found = false;
    const bool placed = messageFilePath(options.messageDirectory, path, sizeof path);
    const size_t length = placed ? readMessage(path, &found) : 0;
    if (!placed) {
        printf("TARN message %ld: no message directory\n", number);
    } else if (!found) {
        printf("TARN message %ld: no file at %s\n", number, path);
    } else {
        showMessage(number, message, length);
        recordMessage(options.recordDirectory, number, message, length);
    }
    fflush(stdout);
}

// Handles the one request a connection carries, as a window handles one sent
// message: a no-op is answered at once, doing nothing; a notification is
// handled after --delay and answered as the options say. Returns true when
// it was a notification.
bool serve(int connection, const ReceiverOptions& options, long number) {
    if (options.drop) {
        printf("TARN connection dropped\n");
        return false;
    }
    if (options.peerStreams) {
        showPeerStreams(connection);
    }
    char request[128];
    if (!readLine(connection, request, sizeof request)) {
        printf("TARN connection closed without a request\n");
        return false;
    }
    if (isNoOperation(request)) {
        runOnNoOperation(options.onNoOperation);
        sendReply(connection, options, 0);
        return false;
    }
    char expected[32];
    snprintf(expected, sizeof expected, "%u 0 0", TARN_MESSAGE_WAITING);
    if (strcmp(request, expected) != 0) {
        printf("TARN unexpected request \"%s\"\n", request);
    }
    // A Receiver busy elsewhere gets to the message only later, and reads the
    // file then.
    if (options.delayMs > 0) {
        printf("TARN busy for %ld ms before message %ld\n", options.delayMs, number);
        fflush(stdout);
        const struct timespec delay = {options.delayMs / 1000, options.delayMs % 1000 * 1000000};
        nanosleep(&delay, nullptr);
    }
    readAndShow(options, number);
    if (options.die) {
        kill(getpid(), SIGKILL);
    }
    if (!options.hangUp) {
        sendReply(connection, options, options.reply);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    ReceiverOptions options;
    // --stop, --read-shared and --title belong to the Windows stand-in.
    if (!parseReceiverOptions(argc, argv, &options) || options.stop || options.readShared ||
        options.title != nullptr) {
        usage();
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    // A stop signal is let in only while waiting for a connection (ppoll
    // unblocks it atomically); one arriving between the check of
    // stopRequested and a blocking accept() would otherwise be lost.
    sigset_t stopSignals;
    sigset_t waitMask;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGINT);
    struct sigaction stop;
    memset(&stop, 0, sizeof stop);
    stop.sa_handler = onStopSignal;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);

    int listener = -1;
    if (!listenOnSocket(options.socketPath, &listener)) {
        return 1;
    }
    printf("TARN listening on %s\n", socketPath);
    fflush(stdout);
    createReadyFile(options.readyFile);
    long handled = 0;
    long connections = 0;
    while (!stopRequested && (options.count < 0 || handled < options.count)) {
        struct pollfd waiting = {listener, POLLIN, 0};
        if (ppoll(&waiting, 1, nullptr, &waitMask) <= 0) {
            continue;  // a stop signal, or nothing to accept yet
        }
        const int connection = accept(listener, nullptr, nullptr);
        if (connection < 0) {
            continue;
        }
        ++connections;
        if (serve(connection, options, handled + 1)) {
            ++handled;
        }
        close(connection);
    }
    unlink(socketPath);
    printf("TARN stopped after %ld notifications on %ld connections\n", handled, connections);
    return 0;
}
