// A stand-in Receiver for tests and demonstrations on POSIX: listens where
// tarnpost looks for the TARN window, reads the message file whenever it is
// told a message is waiting, shows what it got, and replies as told.
#include <errno.h>
#include <limits.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/posix_ipc.h"

namespace {

const char kClassName[] = "AfxTarnAppClassName";
const char kExpectedRequest[] = "32768 0 0";

struct Options {
    long reply = 0;
    bool hangUp = false;  // close the connection without a reply
    bool die = false;     // be killed while handling the message
    long count = -1;      // stop after this many notifications
    const char* messageDirectory = nullptr;
    const char* recordDirectory = nullptr;  // keep each message read as NNNNNN.msg
    const char* readyFile = nullptr;        // created once the socket listens
};

char socketPath[PATH_MAX];
volatile sig_atomic_t stopRequested = 0;

void onStopSignal(int) {
    stopRequested = 1;
}

void usage() {
    fprintf(stderr,
            "usage: tarn-receiver [--reply N] [--hang-up] [--die] [--count N]\n"
            "                     [--dir MESSAGE_DIR] [--record DIR] [--ready FILE]\n");
}

bool parseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (strcmp(option, "--reply") == 0 && hasValue) {
            options->reply = strtol(argv[++i], nullptr, 10);
        } else if (strcmp(option, "--count") == 0 && hasValue) {
            options->count = strtol(argv[++i], nullptr, 10);
        } else if (strcmp(option, "--dir") == 0 && hasValue) {
            options->messageDirectory = argv[++i];
        } else if (strcmp(option, "--record") == 0 && hasValue) {
            options->recordDirectory = argv[++i];
        } else if (strcmp(option, "--ready") == 0 && hasValue) {
            options->readyFile = argv[++i];
        } else if (strcmp(option, "--hang-up") == 0) {
            options->hangUp = true;
        } else if (strcmp(option, "--die") == 0) {
            options->die = true;
        } else {
            return false;
        }
    }
    return true;
}

// The same places tarnpost uses: USERPROFILE, else HOMEDRIVE and HOMEPATH,
// else the home directory from the password database.
bool messageFilePath(const Options& options, char* path, size_t size) {
    const char* directory = options.messageDirectory;
    char joined[PATH_MAX];
    if (directory == nullptr) {
        directory = getenv("USERPROFILE");
    }
    if (directory == nullptr || directory[0] == '\0') {
        const char* drive = getenv("HOMEDRIVE");
        const char* home = getenv("HOMEPATH");
        if (drive != nullptr && drive[0] != '\0') {
            snprintf(joined, sizeof joined, "%s%s", drive, home == nullptr ? "" : home);
            directory = joined;
        } else {
            const struct passwd* entry = getpwuid(geteuid());
            directory = entry == nullptr ? "/" : entry->pw_dir;
        }
    }
    const int length = snprintf(path, size, "%s/TARN_Message.txt", directory);
    return length > 0 && (size_t)length < size;
}

bool listenOnSocket(int* listener) {
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
    if (!receiverSocketPath(directory, kClassName, socketPath, sizeof socketPath)) {
        fprintf(stderr, "tarn-receiver: socket path too long under %s\n", directory);
        return false;
    }
    struct stat status;
    if (lstat(socketPath, &status) == 0 && S_ISSOCK(status.st_mode)) {
        unlink(socketPath);  // left by a Receiver that was killed
    }
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, socketPath, strlen(socketPath) + 1);
    *listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (*listener < 0 || bind(*listener, (struct sockaddr*)&address, sizeof address) != 0 ||
        listen(*listener, 128) != 0) {
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

// Shows the bytes with C escapes so that CR, LF and 8-bit bytes stay visible.
void showMessage(long number, size_t length) {
    printf("TARN message %ld (%zu bytes): \"", number, length);
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = (unsigned char)message[i];
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

void recordMessage(const Options& options, long number, size_t length) {
    if (options.recordDirectory == nullptr) {
        return;
    }
    char path[PATH_MAX];
    snprintf(path, sizeof path, "%s/%06ld.msg", options.recordDirectory, number);
    FILE* file = fopen(path, "wb");
    if (file == nullptr || fwrite(message, 1, length, file) != length || fclose(file) != 0) {
        fprintf(stderr, "tarn-receiver: cannot record %s\n", path);
    }
}

void sendReply(int connection, long reply) {
    char line[32];
    const int length = snprintf(line, sizeof line, "%ld\n", reply);
    if (send(connection, line, (size_t)length, MSG_NOSIGNAL) != length) {
        fprintf(stderr, "tarn-receiver: reply not sent: %s\n", strerror(errno));
    }
}

// Handles one connection; returns true when it carried a notification.
bool serve(int connection, const Options& options, long number) {
    char request[128];
    if (!readLine(connection, request, sizeof request)) {
        printf("TARN connection %ld closed without a request\n", number);
        return false;
    }
    char path[PATH_MAX];
    bool found = false;
    const size_t length =
        messageFilePath(options, path, sizeof path) ? readMessage(path, &found) : 0;
    if (strcmp(request, kExpectedRequest) != 0) {
        printf("TARN unexpected request \"%s\"\n", request);
    }
    if (!found) {
        printf("TARN message %ld: no file at %s\n", number, path);
    } else {
        showMessage(number, length);
        recordMessage(options, number, length);
    }
    fflush(stdout);
    if (options.die) {
        kill(getpid(), SIGKILL);
    }
    if (!options.hangUp) {
        sendReply(connection, options.reply);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, &options)) {
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
    if (!listenOnSocket(&listener)) {
        return 1;
    }
    printf("TARN listening on %s\n", socketPath);
    fflush(stdout);
    if (options.readyFile != nullptr) {
        FILE* ready = fopen(options.readyFile, "w");
        if (ready != nullptr) {
            fclose(ready);
        }
    }
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
