// Every way a delivery can fail: each must end in its one documented line,
// exit status 1, and a message file that is either the whole message or not
// there at all; the Receiver is never handed a partial message.
#include <errno.h>
#include <pwd.h>
#include <stddef.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>

#include "e2e_support.h"

namespace {

const char kSocketName[] = TARN_CLASS_NAME;

// What one case works with; `arrange` may change any of it.
struct FaultScene {
    std::string root;
    std::string runtimeDirectory;
    std::string profile;
    std::string messagePath;  // where the file is looked at afterwards
    Environment environment;
    std::string mountPoint;   // a small file system mounted for the case
    std::string unavailable;  // why the case cannot run here
};

enum class FileAfter {
    kWholeMessage,    // the exact message bytes
    kEarlierMessage,  // what the case left there, untouched
    kAbsent,          // nothing at the path
    kEmpty,           // a file of no bytes: neither a fragment nor the old message
    kEmptyDirectory,  // the directory that stood there, untouched
    kNotAFile         // the pipe, socket or link that stood there, untouched
};

enum class ReceiverAfter {
    kNone,       // no Receiver runs
    kUntouched,  // never connected to
    kNotified,   // notified once, on one connection
    kKilled      // died while handling the message
};

struct FaultCase {
    const char* name;
    std::vector<std::string> receiverOptions;
    ReceiverAfter receiver;
    std::function<void(FaultScene&)> arrange;
    std::function<std::string(const FaultScene&)> expectedError;
    FileAfter file;
    bool needsRoot;
    bool asOtherUser = false;  // tarnpost runs as kOtherUser, which root's rights do not help
    std::function<void(const FaultScene&)> check = nullptr;  // what else must hold afterwards
    std::vector<std::string> launcher = {};                  // put before tarnpost
    size_t messageLength = 0;                                // the message is padded to this
};

const char kEarlierMessage[] = "an earlier message\r\n";

std::string notRunning(const FaultScene&) {
    return kNotRunning;
}

std::string returnsError(const FaultScene&) {
    return kReturnsError;
}

std::string cannotCreateAtMessagePath(const FaultScene& scene) {
    return cannotCreate(scene.messagePath);
}

void nothingToArrange(FaultScene&) {}

void leaveEarlierMessage(FaultScene& scene) {
    writeFile(scene.messagePath, kEarlierMessage);
}

std::string lockPathOf(const FaultScene& scene) {
    return scene.messagePath + ".lock";
}

std::string cannotLockAtMessagePath(const FaultScene& scene) {
    return cannotLock(scene.messagePath);
}

// The profile belongs to root and is closed to every other user's writes.
void closeProfileToOthers(FaultScene& scene) {
    ASSERT_EQ(chmod(scene.root.c_str(), 0755), 0);
    ASSERT_EQ(chmod(scene.profile.c_str(), 0755), 0);
}

// USERPROFILE, and so the message file, moves to the place `place` names.
std::function<void(FaultScene&)> profileAt(std::function<std::string(const FaultScene&)> place) {
    return [place](FaultScene& scene) {
        const std::string directory = place(scene);
        scene.environment["USERPROFILE"] = directory;
        scene.messagePath = messageFileIn(directory);
    };
}

// The directory `where` becomes a file system of 8 KiB, filled up but for
// the files `keep` names, which are made empty first.
void mountFullDisk(FaultScene& scene, const std::string& where,
                   const std::vector<std::string>& keep = {}) {
    mkdir(where.c_str(), 0755);
    if (mount("tarnpost-test", where.c_str(), "tmpfs", 0, "size=8k,mode=0755") != 0) {
        scene.unavailable = "cannot mount a small tmpfs: " + std::string(strerror(errno));
        return;
    }
    scene.mountPoint = where;
    for (const std::string& name : keep) {
        writeFile(where + "/" + name, "");
    }
    writeFile(where + "/filler", std::string(8192, 'f'));
}

void fullDiskProfile(FaultScene& scene) {
    mountFullDisk(scene, scene.profile);
}

// The same, with the profile closed to new files (the lock file and an older
// message file are there and open to the user): no file can be removed or
// made there, so only emptying it in place takes the fragment away.
void readOnlyProfileOnFullDisk(FaultScene& scene) {
    mountFullDisk(scene, scene.profile, {TARN_MESSAGE_FILE_NAME, TARN_MESSAGE_FILE_NAME ".lock"});
    if (!scene.unavailable.empty()) {
        return;
    }
    ASSERT_EQ(chmod(scene.root.c_str(), 0755), 0);
    ASSERT_EQ(chmod(scene.messagePath.c_str(), 0666), 0);
    ASSERT_EQ(chmod(lockPathOf(scene).c_str(), 0666), 0);
    ASSERT_EQ(chmod(scene.profile.c_str(), 0555), 0);
}

// TARN_Message.txt is a link to an empty file on a full disk elsewhere.
void linkToFileOnFullDisk(FaultScene& scene) {
    mountFullDisk(scene, scene.root + "/small", {"target"});
    ASSERT_EQ(symlink((scene.root + "/small/target").c_str(), scene.messagePath.c_str()), 0);
}

// The lock file is root's and closed to the user who runs tarnpost, in a
// profile open to everyone: only the lock fails, not the directory.
void leaveForeignLockFile(FaultScene& scene) {
    ASSERT_EQ(chmod(scene.root.c_str(), 0755), 0);
    ASSERT_EQ(chmod(scene.profile.c_str(), 0777), 0);
    writeFile(lockPathOf(scene), "");
    ASSERT_EQ(chmod(lockPathOf(scene).c_str(), 0600), 0);
}

// Neither profile variable is set and HOME names the profile: the Windows
// directory's stand-in must come from the password database all the same.
void onlyHomeSet(FaultScene& scene) {
    scene.environment.erase("USERPROFILE");
    scene.environment["HOME"] = scene.profile;
    const struct passwd* entry = getpwuid(kOtherUser);
    if (entry == nullptr) {
        scene.unavailable = "user " + std::to_string(kOtherUser) + " has no home";
        return;
    }
    scene.messagePath = std::string(entry->pw_dir) + "/" TARN_MESSAGE_FILE_NAME;
}

void bindSocketAt(const std::string& path) {
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof address.sun_path);
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(bind(fd, (const struct sockaddr*)&address, sizeof address), 0) << strerror(errno);
    close(fd);
}

// A socket file that nothing listens on, as a killed Receiver leaves it.
void leaveStaleSocket(FaultScene& scene) {
    bindSocketAt(scene.runtimeDirectory + "/" + kSocketName);
}

// A Receiver inside the test: on each connection it reads the request line
// and answers with `reply` as it stands, or, given nullptr, drops the
// connection at once without reading. It listens on names up to the whole
// of sun_path (108 bytes, then unterminated), so that a client that cut or
// overran a long name would be caught connecting.
class Listener {
public:
    Listener(std::string path, std::optional<std::string> reply)
        : path_(std::move(path)), drops_(!reply), reply_(reply.value_or("")) {
        struct sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (path_.size() > sizeof address.sun_path || fd_ < 0) {
            error_ = "cannot listen on " + path_;
            return;
        }
        memcpy(address.sun_path, path_.data(), path_.size());
        const socklen_t length = offsetof(struct sockaddr_un, sun_path) + path_.size();
        if (bind(fd_, (const struct sockaddr*)&address, length) != 0 || listen(fd_, 16) != 0) {
            error_ = path_ + ": " + strerror(errno);
            return;
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~Listener() {
        stop();
    }

    // Empty once listening, else what went wrong.
    const std::string& error() const {
        return error_;
    }
    int connections() const {
        return connections_;
    }
    // Stops listening, removes the socket and returns every request read.
    std::string stop() {
        if (fd_ >= 0) {
            shutdown(fd_, SHUT_RDWR);  // ends the accept below
            if (thread_.joinable()) {
                thread_.join();
                unlink(path_.c_str());
            }
            close(fd_);
            fd_ = -1;
        }
        return requests_;
    }

private:
    void serve() {
        for (;;) {
            const int connection = accept(fd_, nullptr, nullptr);
            if (connection < 0) {
                return;
            }
            ++connections_;
            recordPeerStreams(connection);
            char c;
            while (!drops_ && recv(connection, &c, 1, 0) == 1) {
                requests_ += c;
                if (c == '\n') {
                    send(connection, reply_.data(), reply_.size(), MSG_NOSIGNAL);
                    break;
                }
            }
            close(connection);
        }
    }

    std::string path_;
    bool drops_;
    std::string reply_;
    int fd_ = -1;
    std::string error_;
    std::thread thread_;
    std::atomic<int> connections_{0};
    std::string requests_;  // written by the thread, read after it ended

public:
    // What descriptors 0, 1 and 2 of the first client led to, one a line.
    std::string peerStreams;

private:
    void recordPeerStreams(int connection) {
        struct ucred peer;
        socklen_t length = sizeof peer;
        if (!peerStreams.empty() ||
            getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0) {
            return;
        }
        for (int fd = 0; fd <= 2; ++fd) {
            char target[256] = "";
            const std::string link =
                "/proc/" + std::to_string(peer.pid) + "/fd/" + std::to_string(fd);
            const ssize_t got = readlink(link.c_str(), target, sizeof target - 1);
            peerStreams +=
                (got < 0 ? std::string("closed") : std::string(target, (size_t)got)) + "\n";
        }
    }
};

const FaultCase kFaults[] = {
    {"missing directory",
     {},
     ReceiverAfter::kUntouched,
     profileAt([](const FaultScene& s) { return s.root + "/missing"; }),
     cannotCreateAtMessagePath,
     FileAfter::kAbsent,
     false},
    {"missing directory with trailing separator",
     {},
     ReceiverAfter::kUntouched,
     profileAt([](const FaultScene& s) { return s.root + "/missing/"; }),
     [](const FaultScene& s) { return cannotCreate(s.root + "/missing//" TARN_MESSAGE_FILE_NAME); },
     FileAfter::kAbsent,
     false},
    {"directory under /proc",
     {},
     ReceiverAfter::kUntouched,
     profileAt([](const FaultScene&) { return std::string("/proc"); }),
     cannotCreateAtMessagePath,
     FileAfter::kAbsent,
     false},
    {"directory under /sys",
     {},
     ReceiverAfter::kUntouched,
     profileAt([](const FaultScene&) { return std::string("/sys"); }),
     cannotCreateAtMessagePath,
     FileAfter::kAbsent,
     false},
    {"profile is a plain file",
     {},
     ReceiverAfter::kUntouched,
     profileAt([](const FaultScene& s) {
         writeFile(s.root + "/plain", "not a directory");
         return s.root + "/plain";
     }),
     cannotCreateAtMessagePath,
     FileAfter::kAbsent,
     false},
    {"message file is a directory",
     {},
     ReceiverAfter::kUntouched,
     [](FaultScene& s) { ASSERT_EQ(mkdir(s.messagePath.c_str(), 0755), 0); },
     cannotCreateAtMessagePath,
     FileAfter::kEmptyDirectory,
     false},
    {"message file is a pipe",
     {},
     ReceiverAfter::kUntouched,
     [](FaultScene& s) { ASSERT_EQ(mkfifo(s.messagePath.c_str(), 0600), 0); },
     cannotCreateAtMessagePath,
     FileAfter::kNotAFile,
     false},
    {"message file is a link to /dev/null",
     {},
     ReceiverAfter::kUntouched,
     [](FaultScene& s) { ASSERT_EQ(symlink("/dev/null", s.messagePath.c_str()), 0); },
     cannotCreateAtMessagePath,
     FileAfter::kNotAFile,
     false},
    {"message file is a socket",
     {},
     ReceiverAfter::kUntouched,
     [](FaultScene& s) { bindSocketAt(s.messagePath); },
     cannotCreateAtMessagePath,
     FileAfter::kNotAFile,
     false},
    {"file-size limit below the message's length",
     {},
     ReceiverAfter::kUntouched,
     leaveEarlierMessage,
     [](const FaultScene& s) { return cannotWrite(s.messagePath); },
     FileAfter::kEarlierMessage,
     false,
     false,
     nullptr,
     {"/usr/bin/prlimit", "--fsize=4096", "--"},
     5000},
    {"full disk",
     {},
     ReceiverAfter::kUntouched,
     fullDiskProfile,
     [](const FaultScene& s) { return cannotWrite(s.messagePath); },
     FileAfter::kEmpty,
     true},
    {"profile closed to new files, on a full disk",
     {},
     ReceiverAfter::kNone,
     readOnlyProfileOnFullDisk,
     [](const FaultScene& s) { return cannotWrite(s.messagePath); },
     FileAfter::kEmpty,
     true,
     true},
    {"link to a file on a full disk",
     {},
     ReceiverAfter::kUntouched,
     linkToFileOnFullDisk,
     [](const FaultScene& s) { return cannotWrite(s.messagePath); },
     FileAfter::kEmpty,
     true,
     false,
     [](const FaultScene& s) { EXPECT_TRUE(std::filesystem::is_symlink(s.messagePath)); }},
    {"profile path with control characters",
     {},
     ReceiverAfter::kUntouched,
     profileAt([](const FaultScene& s) { return s.root + "/a\nb\x1b[31m"; }),
     [](const FaultScene& s) {
         return cannotCreate(s.root + "/a\\nb\\x1b[31m/" TARN_MESSAGE_FILE_NAME);
     },
     FileAfter::kAbsent,
     false},
    {"lock file closed to the user, no message file yet",
     {},
     ReceiverAfter::kNone,
     leaveForeignLockFile,
     cannotLockAtMessagePath,
     FileAfter::kAbsent,
     true,
     true},
    {"only HOME set: the home from the password database",
     {},
     ReceiverAfter::kNone,
     onlyHomeSet,
     cannotCreateAtMessagePath,
     FileAfter::kAbsent,
     true,
     true,
     [](const FaultScene& s) { EXPECT_EQ(filesBelow(s.profile), std::vector<std::string>{}); }},
    {"no Receiver",
     {},
     ReceiverAfter::kNone,
     nothingToArrange,
     notRunning,
     FileAfter::kWholeMessage,
     false},
    {"socket left by a dead Receiver",
     {},
     ReceiverAfter::kNone,
     leaveStaleSocket,
     notRunning,
     FileAfter::kWholeMessage,
     false},
    {"plain file in the socket's place",
     {},
     ReceiverAfter::kNone,
     [](FaultScene& s) { writeFile(s.runtimeDirectory + "/" + kSocketName, ""); },
     notRunning,
     FileAfter::kWholeMessage,
     false},
    {"Receiver replies 1",
     {"--reply", "1"},
     ReceiverAfter::kNotified,
     nothingToArrange,
     returnsError,
     FileAfter::kWholeMessage,
     false},
    {"Receiver replies -1",
     {"--reply", "-1"},
     ReceiverAfter::kNotified,
     nothingToArrange,
     returnsError,
     FileAfter::kWholeMessage,
     false},
    {"Receiver hangs up without a reply",
     {"--hang-up"},
     ReceiverAfter::kNotified,
     nothingToArrange,
     returnsError,
     FileAfter::kWholeMessage,
     false},
    {"Receiver killed while handling",
     {"--die"},
     ReceiverAfter::kKilled,
     nothingToArrange,
     returnsError,
     FileAfter::kWholeMessage,
     false},
    {"runtime directory open to others",
     {},
     ReceiverAfter::kUntouched,
     [](FaultScene& s) { ASSERT_EQ(chmod(s.runtimeDirectory.c_str(), 0755), 0); },
     notRunning,
     FileAfter::kWholeMessage,
     false},
    {"runtime directory open to the group",
     {},
     ReceiverAfter::kUntouched,
     [](FaultScene& s) { ASSERT_EQ(chmod(s.runtimeDirectory.c_str(), 0710), 0); },
     notRunning,
     FileAfter::kWholeMessage,
     false},
    {"runtime directory reached through a link",
     {},
     ReceiverAfter::kUntouched,
     [](FaultScene& s) {
         const std::string link = s.root + "/runlink";
         ASSERT_EQ(symlink(s.runtimeDirectory.c_str(), link.c_str()), 0);
         s.environment["XDG_RUNTIME_DIR"] = link;
     },
     notRunning,
     FileAfter::kWholeMessage,
     false},
    {"runtime directory owned by another user",
     {},
     ReceiverAfter::kUntouched,
     [](FaultScene& s) { ASSERT_EQ(chown(s.runtimeDirectory.c_str(), kOtherUser, kOtherUser), 0); },
     notRunning,
     FileAfter::kWholeMessage,
     true},
    {"dangling link in the lock file's place",
     {},
     ReceiverAfter::kUntouched,
     [](FaultScene& s) {
         leaveEarlierMessage(s);
         ASSERT_EQ(symlink((s.root + "/lock-target").c_str(), lockPathOf(s).c_str()), 0);
     },
     cannotLockAtMessagePath,
     FileAfter::kEarlierMessage,
     false,
     false,
     [](const FaultScene& s) {
         EXPECT_FALSE(pathExists(s.root + "/lock-target")) << "the link was followed";
         EXPECT_TRUE(std::filesystem::is_symlink(lockPathOf(s)));
     }},
    {"directory in the lock file's place",
     {},
     ReceiverAfter::kUntouched,
     [](FaultScene& s) { ASSERT_EQ(mkdir(lockPathOf(s).c_str(), 0755), 0); },
     cannotLockAtMessagePath,
     FileAfter::kAbsent,
     false,
     false,
     [](const FaultScene& s) { EXPECT_TRUE(std::filesystem::is_directory(lockPathOf(s))); }},
    {"profile closed to the user",
     {},
     ReceiverAfter::kNone,
     closeProfileToOthers,
     cannotCreateAtMessagePath,
     FileAfter::kAbsent,
     true,
     true},
    {"profile closed to the user, message file open to it",
     {},
     ReceiverAfter::kNone,
     [](FaultScene& s) {
         closeProfileToOthers(s);
         leaveEarlierMessage(s);
         ASSERT_EQ(chmod(s.messagePath.c_str(), 0666), 0);
     },
     cannotLockAtMessagePath,
     FileAfter::kEarlierMessage,
     true,
     true},
};

class Faults : public E2eTest {
protected:
    void checkFile(const FaultCase& fault, const FaultScene& scene, const std::string& message) {
        switch (fault.file) {
        case FileAfter::kWholeMessage:
            EXPECT_EQ(readFile(scene.messagePath), asWritten(message));
            break;
        case FileAfter::kEarlierMessage:
            EXPECT_EQ(readFile(scene.messagePath), kEarlierMessage);
            break;
        case FileAfter::kAbsent:
            EXPECT_FALSE(pathExists(scene.messagePath));
            break;
        case FileAfter::kEmpty:
            EXPECT_TRUE(pathExists(scene.messagePath));
            EXPECT_EQ(readFile(scene.messagePath), "");
            break;
        case FileAfter::kEmptyDirectory:
            EXPECT_TRUE(std::filesystem::is_directory(scene.messagePath));
            EXPECT_EQ(filesBelow(scene.messagePath), std::vector<std::string>{});
            break;
        case FileAfter::kNotAFile:
            EXPECT_TRUE(pathExists(scene.messagePath));
            EXPECT_FALSE(std::filesystem::is_regular_file(
                std::filesystem::symlink_status(scene.messagePath)));
            break;
        }
    }

    void checkReceiver(const FaultCase& fault, Receiver& receiver, const std::string& message) {
        const std::string shown = receiver.stop();
        const ReceiverSummary seen = summarize(shown);
        const std::vector<std::string> records = receiver.records();
        switch (fault.receiver) {
        case ReceiverAfter::kNone:
            break;
        case ReceiverAfter::kUntouched:
            EXPECT_EQ(describe(receiver.outcome()), "exit 0");
            EXPECT_EQ(seen.connections, 0) << shown;
            break;
        case ReceiverAfter::kNotified:
            EXPECT_EQ(describe(receiver.outcome()), "exit 0");
            EXPECT_EQ(seen.notifications, 1) << shown;
            EXPECT_EQ(seen.connections, 1) << shown;
            break;
        case ReceiverAfter::kKilled:
            EXPECT_EQ(describe(receiver.outcome()), "signal 9");
            EXPECT_EQ(records.size(), 1u);
            break;
        }
        for (const std::string& record : records) {
            EXPECT_EQ(record, asWritten(message)) << "the Receiver read a partial message";
        }
    }
};

TEST_F(Faults, EachFailureEndsInItsOwnLineAndLosesNothing) {
    const RunOptions asOtherUser = canRunAsOtherUser() ? otherUserOptions() : RunOptions();
    int index = 0;
    for (const FaultCase& fault : kFaults) {
        SCOPED_TRACE(fault.name);
        if (fault.asOtherUser ? !canRunAsOtherUser() : fault.needsRoot && geteuid() != 0) {
            printf("skipped without root: %s\n", fault.name);
            continue;
        }
        // Each case gets its own profile and runtime directory.
        FaultScene scene;
        scene.root = makeDirectory("case" + std::to_string(++index));
        scene.profile = makeDirectory("case" + std::to_string(index) + "/profile");
        scene.runtimeDirectory = scene.root + "/run";
        ASSERT_EQ(mkdir(scene.runtimeDirectory.c_str(), 0700), 0);
        ASSERT_EQ(chmod(scene.runtimeDirectory.c_str(), 0700), 0);
        scene.messagePath = messageFileIn(scene.profile);
        scene.environment = profileEnvironment(scene.profile);
        scene.environment["XDG_RUNTIME_DIR"] = scene.runtimeDirectory;

        std::unique_ptr<Receiver> receiver;
        if (fault.receiver != ReceiverAfter::kNone) {
            std::vector<std::string> options = {"--dir", scene.profile};
            options.insert(options.end(), fault.receiverOptions.begin(),
                           fault.receiverOptions.end());
            receiver = std::make_unique<Receiver>(makeDirectory("receiver" + std::to_string(index)),
                                                  scene.environment, options);
            ASSERT_TRUE(receiver->start()) << receiver->failure();
        }
        fault.arrange(scene);
        if (HasFatalFailure()) {
            return;
        }
        if (!scene.unavailable.empty()) {
            printf("skipped: %s: %s\n", fault.name, scene.unavailable.c_str());
            continue;
        }
        std::string message = std::string("fault case: ") + fault.name + "\nline 2 %s";
        message.resize(std::max(message.size(), fault.messageLength), '.');
        RunOptions options = fault.asOtherUser ? asOtherUser : RunOptions();
        options.launcher.insert(options.launcher.end(), fault.launcher.begin(),
                                fault.launcher.end());

        const RunResult run = runTarnpost({message}, scene.environment, options);

        EXPECT_EQ(describe(run.outcome), "exit 1");
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, fault.expectedError(scene));
        checkFile(fault, scene, message);
        if (fault.check) {
            fault.check(scene);
        }
        if (receiver) {
            checkReceiver(fault, *receiver, message);
        }
        if (!scene.mountPoint.empty()) {
            EXPECT_EQ(umount(scene.mountPoint.c_str()), 0) << strerror(errno);
        }
    }
    struct stat device;
    ASSERT_EQ(stat("/dev/null", &device), 0);
    EXPECT_TRUE(S_ISCHR(device.st_mode)) << "/dev/null must survive the link to it";
}

// A Receiver that drops the connection at once: tarnpost may then write its
// request into a closed socket, and must report the error rather than die of
// SIGPIPE (it starts with SIGPIPE at its default action). Which of the two
// races wins varies from run to run, so several runs are made.
TEST_F(Faults, ReceiverThatDropsTheConnectionAtOnceIsAnErrorNotASignal) {
    const std::string profile = makeDirectory("profile");
    Listener dropper(runtimeDirectory_ + "/" + kSocketName, std::nullopt);
    ASSERT_EQ(dropper.error(), "");

    const int runs = 20;
    for (int i = 0; i < runs; ++i) {
        const std::string message = "dropped " + std::to_string(i);
        const RunResult run = runTarnpost({message}, profileEnvironment(profile));
        EXPECT_EQ(describe(run.outcome), "exit 1");
        EXPECT_EQ(run.err, kReturnsError);
        EXPECT_EQ(readFile(messageFileIn(profile)), asWritten(message));
    }
    dropper.stop();
    EXPECT_EQ(dropper.connections(), runs);
}

// A caller that closed every standard stream: descriptors 0 to 2 must lead
// to the null device while the delivery runs, so that neither the lock file,
// the message file nor the Receiver's socket can take one of them and
// receive the error line.
TEST_F(Faults, ClosedStandardStreamsNeverCatchTheErrorLine) {
    const std::string profile = makeDirectory("profile");
    Listener receiver(runtimeDirectory_ + "/" + kSocketName, "1\n");
    ASSERT_EQ(receiver.error(), "");
    RunOptions closed;
    closed.launcher = {"/bin/sh", "-c", "exec \"$0\" \"$@\" <&- >&- 2>&-"};

    const RunResult run = runTarnpost({"streams closed"}, profileEnvironment(profile), closed);

    EXPECT_EQ(describe(run.outcome), "exit 1");
    EXPECT_EQ(receiver.stop(), "32768 0 0\n");
    EXPECT_EQ(receiver.peerStreams, "/dev/null\n/dev/null\n/dev/null\n");
    EXPECT_EQ(readFile(messageFileIn(profile)), asWritten("streams closed"));
    EXPECT_EQ(readFile(messageFileIn(profile) + ".lock"), "");
    struct stat lock;
    ASSERT_EQ(stat((messageFileIn(profile) + ".lock").c_str(), &lock), 0);
    EXPECT_EQ(lock.st_mode & 07777, 0600u) << "the lock file is the user's alone";
}

struct ReplyCase {
    const char* name;
    std::string reply;  // sent as it stands, then the connection is closed
    bool success;
};

// Only a whole line holding a decimal zero is success; anything else,
// above all a reply that a loose reader would take for zero, is an error.
const ReplyCase kReplies[] = {
    {"zero", "0\n", true},
    {"minus zero", "-0\n", true},
    {"one", "1\n", false},
    {"minus one", "-1\n", false},
    {"zero without its line feed", "0", false},
    {"blank before", " 0\n", false},
    {"blank after", "0 \n", false},
    {"carriage return", "0\r\n", false},
    {"plus sign", "+0\n", false},
    {"hexadecimal", "0x0\n", false},
    {"line over 63 characters", std::string(68, '0') + "\n", false},
    {"beyond the largest long", "9223372036854775808\n", false},
    {"2 to the 32, zero when cut to 32 bits", "4294967296\n", false},
    {"2 to the 64, zero when cut to 64 bits", "18446744073709551616\n", false},
    {"empty line", "\n", false},
    {"zero, NUL, junk", std::string("0\0junk\n", 7), false},
    {"zero, NUL, one",
     std::string("0\0"
                 "1\n",
                 4),
     false},
};

TEST_F(Faults, OnlyAWholeLineOfZeroIsSuccess) {
    const std::string profile = makeDirectory("profile");
    for (const ReplyCase& reply : kReplies) {
        SCOPED_TRACE(reply.name);
        Listener receiver(runtimeDirectory_ + "/" + kSocketName, reply.reply);
        ASSERT_EQ(receiver.error(), "");

        const RunResult run = runTarnpost({reply.name}, profileEnvironment(profile));

        EXPECT_EQ(describe(run.outcome), reply.success ? "exit 0" : "exit 1");
        EXPECT_EQ(run.err, reply.success ? "" : kReturnsError);
        EXPECT_EQ(readFile(messageFileIn(profile)), asWritten(reply.name));
        EXPECT_EQ(receiver.stop(), "32768 0 0\n");
        EXPECT_EQ(receiver.connections(), 1);
    }
}

// XDG_RUNTIME_DIR as set, and the directory it leads to.
struct RuntimePlace {
    std::string variable;
    std::string directory;
};

std::string privateDirectory(const std::string& path) {
    EXPECT_EQ(mkdir(path.c_str(), 0700), 0) << path << ": " << strerror(errno);
    return path;
}

// A socket path "<directory>/<class name>" of exactly `length` characters.
RuntimePlace socketPathOfLength(const std::string& root, size_t length) {
    const size_t padding = length - root.size() - 2 - strlen(kSocketName);
    const std::string directory = privateDirectory(root + "/" + std::string(padding, 'r'));
    return {directory, directory};
}

struct RuntimeCase {
    const char* name;
    std::function<RuntimePlace(const std::string& root)> place;
    bool reachable;
};

const RuntimeCase kRuntimePlaces[] = {
    {"socket path of 107 characters, the most sun_path holds with its terminator",
     [](const std::string& root) { return socketPathOfLength(root, 107); }, true},
    {"socket path of 108 characters",
     [](const std::string& root) { return socketPathOfLength(root, 108); }, false},
    {"trailing slash",
     [](const std::string& root) {
         const std::string directory = privateDirectory(root + "/run");
         return RuntimePlace{directory + "/", directory};
     },
     true},
    {"link named with a trailing slash",
     [](const std::string& root) {
         const std::string directory = privateDirectory(root + "/run");
         EXPECT_EQ(symlink(directory.c_str(), (root + "/link").c_str()), 0);
         return RuntimePlace{root + "/link/", directory};
     },
     false},
};

// Where XDG_RUNTIME_DIR leads, and that a name too long for a socket address
// is refused rather than cut: a listener waits on the cut name too.
TEST_F(Faults, TheRuntimeDirectoryLeadsToTheWholeSocketNameOrNowhere) {
    const std::string profile = makeDirectory("profile");
    int index = 0;
    for (const RuntimeCase& runtime : kRuntimePlaces) {
        SCOPED_TRACE(runtime.name);
        const RuntimePlace place = runtime.place(makeDirectory("case" + std::to_string(++index)));
        const std::string socketPath = place.directory + "/" + kSocketName;
        Listener whole(socketPath, "0\n");
        Listener cut(socketPath.substr(0, socketPath.size() - 1), "0\n");
        ASSERT_EQ(whole.error(), "");
        ASSERT_EQ(cut.error(), "");
        Environment environment = profileEnvironment(profile);
        environment["XDG_RUNTIME_DIR"] = place.variable;

        const RunResult run = runTarnpost({runtime.name}, environment);

        EXPECT_EQ(describe(run.outcome), runtime.reachable ? "exit 0" : "exit 1");
        EXPECT_EQ(run.err, runtime.reachable ? "" : kNotRunning);
        EXPECT_EQ(readFile(messageFileIn(profile)), asWritten(runtime.name));
        EXPECT_EQ(whole.stop(), runtime.reachable ? "32768 0 0\n" : "");
        EXPECT_EQ(cut.stop(), "");
    }
}

// Without an absolute XDG_RUNTIME_DIR the socket is looked for in
// /tmp/tarn-<uid>. That place is shared with real sessions of this user, so
// the test runs only when it can create the directory itself, and removes it.
TEST_F(Faults, WithoutAnAbsoluteRuntimeDirectoryTheSocketIsInTmp) {
    const std::string shared = "/tmp/tarn-" + std::to_string(geteuid());
    if (mkdir(shared.c_str(), 0700) != 0) {
        GTEST_SKIP() << "leaves " << shared << " alone: " << strerror(errno);
    }
    const std::string profile = makeDirectory("profile");
    // Unset, empty and relative; "run" names the private runtime directory
    // from tarnpost's working directory, where a second listener waits.
    const char* const values[] = {nullptr, "", "run", "./run/"};
    auto deliver = [&] {
        ASSERT_EQ(chmod(shared.c_str(), 0700), 0);
        Listener inTmp(shared + "/" + kSocketName, "0\n");
        Listener relative(runtimeDirectory_ + "/" + kSocketName, "1\n");
        ASSERT_EQ(inTmp.error(), "");
        ASSERT_EQ(relative.error(), "");
        for (const char* value : values) {
            SCOPED_TRACE(value == nullptr ? "unset" : value);
            Environment environment = profileEnvironment(profile);
            environment.erase("XDG_RUNTIME_DIR");
            if (value != nullptr) {
                environment["XDG_RUNTIME_DIR"] = value;
            }
            const RunResult run = runTarnpost({"to /tmp"}, environment);
            EXPECT_EQ(describe(run.outcome), "exit 0") << run.err;
        }
        EXPECT_EQ(inTmp.connections(), (int)std::size(values));
        EXPECT_EQ(relative.connections(), 0);
    };
    deliver();
    EXPECT_EQ(rmdir(shared.c_str()), 0) << strerror(errno);
}

// The Receiver's socket is reachable, but the peer behind it is another user:
// tarnpost must not talk to it. tarnpost runs as an unprivileged user whose
// runtime directory holds a socket that root listens on.
TEST_F(Faults, ReceiverOfAnotherUserIsNotTrusted) {
    if (!canRunAsOtherUser()) {
        GTEST_SKIP() << "needs root and setpriv to run as another user";
    }
    const RunOptions asOtherUser = otherUserOptions();
    const std::string profile = makeDirectory("profile");
    ASSERT_EQ(chown(profile.c_str(), kOtherUser, kOtherUser), 0);
    const Environment environment = profileEnvironment(profile);

    // First the same user on both ends, to show that the set-up itself works.
    const std::string ownRuntime = makeDirectory("own-run");
    ASSERT_EQ(chmod(ownRuntime.c_str(), 0700), 0);
    ASSERT_EQ(chown(ownRuntime.c_str(), kOtherUser, kOtherUser), 0);
    Environment ownEnvironment = environment;
    ownEnvironment["XDG_RUNTIME_DIR"] = ownRuntime;
    const std::string ownWork = makeDirectory("own-receiver");
    const std::string ownRecord = makeDirectory("own-receiver/record");
    ASSERT_EQ(chown(ownWork.c_str(), kOtherUser, kOtherUser), 0);
    ASSERT_EQ(chown(ownRecord.c_str(), kOtherUser, kOtherUser), 0);
    Receiver own(ownWork, ownEnvironment, {"--dir", profile}, asOtherUser.launcher, receiverCopy());
    ASSERT_TRUE(own.start()) << own.failure();
    const RunResult control = runTarnpost({"same user"}, ownEnvironment, asOtherUser);
    EXPECT_EQ(describe(control.outcome), "exit 0") << control.err;
    EXPECT_EQ(summarize(own.stop()).notifications, 1);
    EXPECT_EQ(own.records(), std::vector<std::string>{asWritten("same user")});

    // Now root listens. The directory is handed to the user and the socket
    // opened to everyone, so that only the peer check can refuse.
    std::unique_ptr<Receiver> receiver = makeReceiver(profile);
    ASSERT_TRUE(receiver->start()) << receiver->failure();
    ASSERT_EQ(chmod((runtimeDirectory_ + "/" + kSocketName).c_str(), 0777), 0);
    ASSERT_EQ(chown(runtimeDirectory_.c_str(), kOtherUser, kOtherUser), 0);

    const RunResult run = runTarnpost({"to root's Receiver"}, environment, asOtherUser);

    EXPECT_EQ(describe(run.outcome), "exit 1");
    EXPECT_EQ(run.err, kNotRunning);
    EXPECT_EQ(readFile(messageFileIn(profile)), asWritten("to root's Receiver"));
    const std::string shown = receiver->stop();
    EXPECT_EQ(summarize(shown).connections, 1) << "tarnpost must have reached the socket";
    EXPECT_EQ(summarize(shown).notifications, 0) << shown;
    EXPECT_EQ(receiver->records(), std::vector<std::string>{});
}

}  // namespace
