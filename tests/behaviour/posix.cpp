// The POSIX part of the behaviour tests: posix_spawn with an exact argument
// vector and environment, files seen through lstat, and the set-up steps
// that need a POSIX system (links, pipes, sockets, modes, owners, mounts).
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <thread>

#include "tests/behaviour/behaviour.h"

namespace fs = std::filesystem;

const unsigned kThisPlatform = kPosix;
const char kSeparator = '/';
const char kReceiverDeath[] = "signal 9";
const int kAtOnce = 60;

namespace {

const uid_t kOtherUser = 65534;
const char kSetpriv[] = "/usr/bin/setpriv";

// How each child that was reaped ended.
std::map<Child, std::string> endings;

std::string ending(int status) {
    return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status))
                             : "signal " + std::to_string(WTERMSIG(status));
}

std::vector<char*> pointersTo(const std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (const std::string& text : texts) {
        pointers.push_back(const_cast<char*>(text.c_str()));
    }
    pointers.push_back(nullptr);
    return pointers;
}

int lockFile = -1;
pid_t lockHolder = -1;

// A child that runs `take`, says whether it worked, and then exits or
// waits to be killed. It is forked from a process whose other threads are
// gone in it, so `take` does only what is safe there.
pid_t holdInChild(const std::function<bool()>& take, bool exitAtOnce) {
    int ready[2];
    if (pipe(ready) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const char taken = take() ? 'y' : 'n';
        if (write(ready[1], &taken, 1) == 1 && taken == 'y' && !exitAtOnce) {
            for (;;) {
                pause();
            }
        }
        _exit(0);
    }
    close(ready[1]);
    char taken = 'n';
    const bool holds = pid > 0 && read(ready[0], &taken, 1) == 1 && taken == 'y';
    close(ready[0]);
    if (pid > 0 && !holds) {
        kill(pid, SIGKILL);
    }
    if (pid > 0 && (exitAtOnce || !holds)) {
        waitpid(pid, nullptr, 0);
    }
    return holds ? pid : -1;
}

// A child that takes the lock and exits or waits to be killed.
pid_t lockInChild(const std::string& path, bool exitAtOnce) {
    return holdInChild(
        [&path] {
            const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
            struct flock whole = {};
            whole.l_type = F_WRLCK;
            return fd >= 0 && fcntl(fd, F_SETLKW, &whole) == 0;
        },
        exitAtOnce);
}

// The leased file of a lease holder, which lets go when a writer is waiting
// for it, as a file server does with an oplock it is asked to break.
int leasedFile = -1;
void letGoOfTheLease(int) {
    fcntl(leasedFile, F_SETLEASE, F_UNLCK);
}

pid_t leaseInChild(const std::string& path) {
    return holdInChild(
        [&path] {
            leasedFile = open(path.c_str(), O_RDONLY);
            signal(SIGIO, letGoOfTheLease);
            return leasedFile >= 0 && fcntl(leasedFile, F_SETLEASE, F_RDLCK) == 0;
        },
        false);
}

// A child waiting to read the pipe at `path`; it leaves `marker` if a
// writer ever opens it. Returns once the child waits in its open.
pid_t readerInChild(const std::string& path, const std::string& marker) {
    const pid_t pid = fork();
    if (pid == 0) {
        if (open(path.c_str(), O_RDONLY) >= 0) {
            close(open(marker.c_str(), O_WRONLY | O_CREAT, 0600));
        }
        _exit(0);
    }
    std::string waitsIn;
    for (int tries = 0; pid > 0 && tries < 2000 && waitsIn != "wait_for_partner"; ++tries) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        readFile("/proc/" + std::to_string(pid) + "/wchan", &waitsIn);
    }
    return pid;
}

// Undoes a child of holdInChild or readerInChild.
void endChild(Scene& scene, pid_t pid) {
    scene.undo.push_back([pid] {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    });
}

// A tmpfs of 8 KiB at `path` holding the empty files `names` lists.
bool mountSmallDisk(const std::string& path, const std::string& names, Scene& scene) {
    mkdir(path.c_str(), 0755);
    if (mount("tarnpost-test", path.c_str(), "tmpfs", 0, "size=8k,mode=0755") != 0) {
        scene.skip = "cannot mount a small tmpfs: " + std::string(strerror(errno));
        return false;
    }
    scene.undo.push_back([path] { EXPECT_EQ(umount(path.c_str()), 0) << path; });
    std::istringstream list(names);
    for (std::string name; list >> name;) {
        writeFile(path + "/" + name, "");
    }
    return true;
}

}  // namespace

const Programs& programs() {
    static const Programs built = {TARNPOST_PROGRAM, TARN_RECEIVER_PROGRAM, ""};
    return built;
}

// Signals start at their defaults and unblocked whatever the test runner
// set, so that a child dies of SIGPIPE exactly as it would for a user.
// Descriptors other than 0, 1 and 2 are not passed on.
Child start(const Launch& launch, std::string* error) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    int reader[2] = {-1, -1};
    const int output = O_WRONLY | O_CREAT | O_TRUNC;
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (launch.stdoutPath == kClosedPipe && pipe2(reader, O_CLOEXEC) == 0) {
        close(reader[0]);  // nobody will ever read
        posix_spawn_file_actions_adddup2(&actions, reader[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, launch.stdoutPath.c_str(), output, 0600);
    }
    posix_spawn_file_actions_addopen(&actions, 2, launch.stderrPath.c_str(), output, 0600);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawn_file_actions_addchdir_np(&actions, launch.workingDirectory.c_str());
    // Every bit set: sigfillset leaves out signals 32 and 33, which the C
    // library would then hand over ignored.
    sigset_t all;
    sigset_t none;
    memset(&all, 0xff, sizeof all);
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    std::vector<char*> argv = pointersTo(launch.argv);
    std::vector<char*> environment = pointersTo(launch.environment);
    pid_t pid = 0;
    const int failed =
        posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (reader[1] >= 0) {
        close(reader[1]);
    }
    if (failed != 0) {
        *error = launch.argv[0] + ": " + strerror(failed);
        return 0;
    }
    endings.erase(pid);  // a number an earlier child had
    return pid;
}

std::vector<Child> startTogether(const std::vector<Launch>& launches, std::string* error) {
    std::vector<Child> children;
    for (const Launch& launch : launches) {
        const Child child = start(launch, error);
        if (child == 0) {
            break;
        }
        children.push_back(child);
    }
    return children;
}

std::string ended(Child child) {
    const auto known = endings.find(child);
    if (known != endings.end()) {
        return known->second;
    }
    int status = 0;
    if (waitpid((pid_t)child, &status, WNOHANG) != (pid_t)child) {
        return "";
    }
    return endings[child] = ending(status);
}

std::string finish(Child child, int limitMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    std::string end;
    while ((end = ended(child)).empty()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill((pid_t)child, SIGKILL);
            waitpid((pid_t)child, nullptr, 0);
            return endings[child] = "timed out";
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return end;
}

// The program strace runs is its child.
bool whilePaused(Child child, const std::string& traceLog, const std::function<void()>& act) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::string trace;
    while (trace.find("--- stopped by SIGSTOP ---") == std::string::npos) {
        if (!ended(child).empty() || std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        readFile(traceLog, &trace);
    }
    act();
    std::string traced;
    readFile("/proc/" + std::to_string(child) + "/task/" + std::to_string(child) + "/children",
             &traced);
    const pid_t program = (pid_t)atol(traced.c_str());
    return program > 0 && kill(program, SIGCONT) == 0;
}

void askToStop(Child receiver, const Launch&) {
    kill((pid_t)receiver, SIGTERM);
}

FILE* openFile(const std::string& path, const char* mode) {
    return fopen(path.c_str(), mode);
}

// A socket path must fit in about a hundred bytes, so a long TMPDIR is
// passed over for /tmp.
std::string makeScratch() {
    const char* base = getenv("TMPDIR");
    std::string pattern = base != nullptr && base[0] == '/' && strlen(base) < 40 ? base : "/tmp";
    pattern += "/tarnpost-test.XXXXXX";
    return mkdtemp(pattern.data()) == nullptr ? "" : pattern;
}

void removeTree(const std::string& path) {
    std::error_code error;
    fs::remove_all(path, error);
}

// Missing directories are made private to this user, whatever the umask.
bool makeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string part = path.substr(0, slash);
        if (mkdir(part.c_str(), 0700) == 0) {
            chmod(part.c_str(), 0700);
        }
        if (slash == std::string::npos) {
            return describe(path) == "directory";
        }
    }
}

std::string describe(const std::string& path) {
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
        return "absent";
    }
    std::string bytes;
    char target[4096];
    ssize_t length = 0;
    switch (status.st_mode & S_IFMT) {
    case S_IFDIR:
        return "directory";
    case S_IFLNK:
        length = readlink(path.c_str(), target, sizeof target);
        return "link to " + std::string(target, length > 0 ? (size_t)length : 0);
    case S_IFREG:
        readFile(path, &bytes);
        return "file:" + bytes;
    case S_IFIFO:
        return "pipe";
    case S_IFSOCK:
        return "socket";
    default:
        return "device";
    }
}

std::vector<std::string> entriesBelow(const std::string& directory) {
    std::vector<std::string> entries;
    std::error_code error;
    for (fs::recursive_directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error)) {
        entries.push_back(it->path().string());
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

// Each row listens in a runtime directory of its own, so nothing running
// beside the table can take its notifications.
std::string refusal() {
    return "";
}

// Every row's message file lies in its scratch directory or where the row
// makes a place for it.
void checkPlace(Scene&, const std::string&) {}

void beginRow(Scene& scene) {
    const struct passwd* other = getpwuid(kOtherUser);
    scene.placeholders.push_back({"{uid}", std::to_string(geteuid())});
    scene.placeholders.push_back({"{home}", other != nullptr ? other->pw_dir : "/no-home"});
    scene.placeholders.push_back({"{bin}", scene.root + "/bin"});
    scene.placeholders.push_back({"{fulldisk}", scene.dir() + "/full"});
}

namespace {

// Sets or clears the immutable attribute of the directory at `path`.
bool setImmutable(const std::string& path, bool on) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    bool set = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    set = set && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    const int error = errno;
    if (fd >= 0) {
        close(fd);
    }
    errno = error;
    return set;
}

}  // namespace

void prepare(const Step& step, Scene& scene) {
    const std::string path = scene.path(step.path);
    const std::string value = scene.expand(step.value);
    struct sockaddr_un address = {};
    int fd = -1;
    pid_t child = -1;
    switch (step.kind) {
    case Step::kMode:
        ASSERT_EQ(chmod(path.c_str(), (mode_t)strtoul(value.c_str(), nullptr, 8)), 0) << path;
        return;
    case Step::kOtherOwner:
        if (geteuid() != 0) {
            scene.skip = "needs root to give a file to another user";
            return;
        }
        giveToOtherUser(path);
        return;
    case Step::kLink:
        ASSERT_EQ(symlink(value.c_str(), path.c_str()), 0) << path << ": " << strerror(errno);
        return;
    case Step::kFifo:
        unlink(path.c_str());  // in place of what is there
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path << ": " << strerror(errno);
        return;
    case Step::kSocket:
        address.sun_family = AF_UNIX;
        ASSERT_LT(path.size(), sizeof address.sun_path);
        memcpy(address.sun_path, path.c_str(), path.size() + 1);
        fd = socket(AF_UNIX, SOCK_STREAM, 0);
        EXPECT_EQ(bind(fd, (const struct sockaddr*)&address, sizeof address), 0) << path;
        close(fd);
        return;
    case Step::kFifoReader:
        unlink(path.c_str());
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0) << path << ": " << strerror(errno);
        child = readerInChild(path, scene.path("reader-saw-an-open"));
        ASSERT_GT(child, 0) << strerror(errno);
        endChild(scene, child);
        return;
    case Step::kHardLink:
        ASSERT_EQ(link(scene.path(value).c_str(), path.c_str()), 0)
            << path << ": " << strerror(errno);
        return;
    case Step::kDevice:
        if (mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
            scene.skip = "cannot make a device node: " + std::string(strerror(errno));
        }
        return;
    case Step::kLeased:
        child = leaseInChild(path);
        if (child <= 0) {
            scene.skip = "cannot take a lease on " + path;
            return;
        }
        endChild(scene, child);
        return;
    case Step::kFullDisk:
        // 8 KiB, filled up but for the empty files the value names.
        if (mountSmallDisk(path, value, scene)) {
            writeFile(path + "/filler", std::string(8192, 'f'));
        }
        return;
    case Step::kReadOnlyDisk:
        if (mountSmallDisk(path, value, scene) &&
            mount(nullptr, path.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
            scene.skip = "cannot make a tmpfs read-only: " + std::string(strerror(errno));
        }
        return;
    case Step::kUnshared:
        if (geteuid() != 0) {
            scene.skip = "needs root to make a mount namespace";
        }
        return;
    case Step::kImmutable:
        // Creating a file there fails with EPERM, not EACCES.
        if (!setImmutable(path, true)) {
            scene.skip = "cannot make a directory immutable: " + std::string(strerror(errno));
            return;
        }
        scene.undo.push_back([path] { setImmutable(path, false); });
        return;
    case Step::kSharedTmp:
        // Rows that use the one place in /tmp wait for each other.
        fd = open("/tmp/tarnpost-test.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        ASSERT_EQ(flock(fd, LOCK_EX), 0) << strerror(errno);
        scene.undo.push_back([fd] { close(fd); });
        if (mkdir(path.c_str(), 0700) != 0) {
            scene.skip = "leaves " + path + " alone: " + strerror(errno);
            return;
        }
        scene.undo.push_back([path] { removeTree(path); });
        return;
    default:
        FAIL() << "no such step on POSIX: " << step.kind;
    }
}

std::vector<std::string> asOtherUser(Scene& scene) {
    if (geteuid() != 0 || access(kSetpriv, X_OK) != 0) {
        scene.skip = "needs root and setpriv to run as another user";
        return {};
    }
    // The programs are copied where that user can reach them: the build
    // tree may lie where it cannot.
    const std::string bin = scene.expand("{bin}");
    if (mkdir(bin.c_str(), 0755) == 0) {
        chmod(scene.root.c_str(), 0755);
        chmod(scene.dir().c_str(), 0755);
        chmod(bin.c_str(), 0755);
        fs::copy_file(programs().tarnpost, bin + "/tarnpost");
        fs::copy_file(programs().receiver, bin + "/tarn-receiver");
    }
    const std::string user = std::to_string(kOtherUser);
    return {kSetpriv, "--reuid=" + user, "--regid=" + user, "--clear-groups", "--"};
}

void giveToOtherUser(const std::string& path) {
    EXPECT_EQ(lchown(path.c_str(), kOtherUser, kOtherUser), 0) << path << ": " << strerror(errno);
}

// fcntl locks belong to processes: the one this test process takes holds
// tarnpost off just as another delivery's would.
bool holdLock(Holder holder, const std::string& messageFile) {
    const std::string path = messageFile + ".lock";
    if (holder == Holder::kReleasedLater) {
        lockFile = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        struct flock whole = {};
        whole.l_type = F_WRLCK;
        return lockFile >= 0 && fcntl(lockFile, F_SETLKW, &whole) == 0;
    }
    if (holder == Holder::kDead) {
        return lockInChild(path, true) > 0;  // ended, and reaped
    }
    lockHolder = lockInChild(path, false);
    return lockHolder > 0;
}

void releaseLock() {
    if (lockFile >= 0) {
        close(lockFile);
        lockFile = -1;
    }
    if (lockHolder > 0) {
        kill(lockHolder, SIGKILL);
        waitpid(lockHolder, nullptr, 0);
        lockHolder = -1;
    }
}

void checkMore(Check check, const Scene& scene) {
    struct stat status;
    if (check == Check::kPipeNeverOpened) {
        // The reader, had it been let through, needs a moment to say so.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(describe(scene.path("reader-saw-an-open")), "absent")
            << "the pipe was opened for writing";
        return;
    }
    if (check == Check::kDevNullIsADevice) {
        ASSERT_EQ(stat("/dev/null", &status), 0);
        EXPECT_TRUE(S_ISCHR(status.st_mode)) << "/dev/null must survive the link to it";
        return;
    }
    if (check == Check::kUsualFileMode) {
        const mode_t mask = umask(0);  // tarnpost ran with this process's umask
        umask(mask);
        ASSERT_EQ(stat(scene.expand("{file}").c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, 0666u & ~mask) << "not as fopen would create it";
        return;
    }
    const std::string lock = scene.expand("{file}.lock");
    ASSERT_EQ(stat(lock.c_str(), &status), 0) << lock;
    EXPECT_EQ(status.st_mode & 07777, 0600u) << "the lock file is the user's alone";
    EXPECT_EQ(status.st_size, 0);
}

// Sanitizer settings steer only the instrumented build's runtime, never
// what tarnpost does, so they are the one thing taken from the caller.
std::vector<std::string> baseEnvironment(const Scene& scene) {
    std::vector<std::string> environment = {"PATH=/usr/bin:/bin",
                                            "XDG_RUNTIME_DIR=" + scene.expand("{run}")};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (getenv(name) != nullptr) {
            environment.push_back(std::string(name) + "=" + getenv(name));
        }
    }
    return environment;
}

std::string asStreamed(const std::string& text) {
    return text;
}
