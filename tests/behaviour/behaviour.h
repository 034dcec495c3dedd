// One table of tarnpost's behaviours, run as processes against the stand-in
// Receiver on every build. A row says what is set up and run, what the
// Receiver does, and what must follow; behaviour.cpp runs each row as one
// test, and posix.cpp or windows.cpp supply the platform's own part.
#ifndef TARNPOST_TESTS_BEHAVIOUR_BEHAVIOUR_H
#define TARNPOST_TESTS_BEHAVIOUR_BEHAVIOUR_H

#include <stdint.h>
#include <stdio.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "delivery/receiver_protocol.h"

enum Platforms : unsigned { kPosix = 1, kWindows = 2, kBoth = kPosix | kWindows };

// A set-up step; paths and values may hold placeholders (see expand()).
struct Step {
    enum Kind {
        kWrite,         // a file at path holding value
        kDirectory,     // a directory at path
        kAbsent,        // the row needs nothing at path; skipped otherwise
        kMode,          // POSIX: chmod path to value (octal)
        kOtherOwner,    // POSIX: path belongs to the other user
        kLink,          // POSIX: a symbolic link at path to value
        kFifo,          // POSIX: a named pipe at path
        kFifoReader,    // POSIX: a named pipe at path with a reader waiting for a writer
        kHardLink,      // POSIX: a hard link at path to the file value names
        kDevice,        // POSIX: the null device's node at path (needs root)
        kLeased,        // POSIX: the file at path leased by a process that lets go when asked
        kReadOnlyDisk,  // POSIX: a read-only file system at path holding the empty files value
                        // names
        kUnshared,      // POSIX: the row's wrapper makes a mount namespace (needs root)
        kImmutable,     // POSIX: the directory at path takes no new entries, even from root
        kSocket,        // POSIX: a socket file at path that nobody listens on
        kFullDisk,      // a full file system at path, holding the empty files value names
        kSharedTmp,     // POSIX: path is a private directory in /tmp of this row alone
        kReadOnly,      // Windows: a read-only file at path holding value
        kHeldOpen,      // Windows: the file at path held open, shared with readers only
        kHeldShared,    // Windows: the file at path held open for reading and writing,
                        // shared with readers and writers
        kMapped,        // Windows: the file at path mapped by another program
        kProbeExpands,  // Windows: the runtime would expand the row's command line
        kLacking,       // Windows: the code page lacks the directory at path (none: the
                        // command line); a look-alike directory made beside it
        kHeld,          // Windows: deliverable where the code page holds the message and
                        // GetEnvironmentVariableA the directory at path, else value refused
        kIsolated,      // Windows: privilege isolation keeps a program of medium integrity
                        // from the Receiver's window of high integrity; skipped otherwise
    };
    Kind kind;
    std::string path;
    std::string value;
    int stage = 0;  // 0: first; 1: once the Receivers listen; 2: while tarnpost is paused
};

// Who holds the delivery lock when tarnpost starts.
enum class Holder {
    kNone,
    kReleasedLater,       // this test, which lets go while tarnpost waits
    kDead,                // a holder that ended holding it
    kKilledWhileWaiting,  // POSIX: a process killed while tarnpost waits
    kEndedUnread,         // a delivery ended while the busy Receiver had yet to read it
    kInItsRoundTrip,      // a delivery the busy Receiver has yet to read; the runs start meanwhile
};

// What the message file must be afterwards.
enum class FileAfter {
    kMessage,    // the bytes the row names, by default the first argument as written
    kAbsent,     // nothing there
    kUnchanged,  // what the set-up left there
    kEmpty,      // a file of no bytes: neither a fragment nor the old message
    kOneOfRuns,  // the message of one of the runs, whole
    kReplaced,   // what the row put in its place meanwhile, not looked at
};

// Checks beyond the usual ones.
enum class Check {
    kLockUnchanged,
    kLockIsPrivate,
    kUsualFileMode,  // POSIX: the message file has 0666 less the umask
    kStillALink,
    kDevNullIsADevice,
    kPipeNeverOpened,  // the reader of a kFifoReader step still waits
};

// The directory resolution a length sweep varies.
enum class Source { kNone, kProfile, kDrive, kDriveAndPath };

using Environment = std::vector<std::pair<std::string, std::string>>;

struct Row {
    explicit Row(std::string rowName, unsigned rowPlatforms = kBoth);

    std::string name;
    unsigned platforms;

    // What is run: tarnpost with the arguments, or on Windows with the exact
    // command line when one is given; the environment holds only what the
    // row names (and on POSIX PATH, the runtime directory and sanitizer
    // settings); a value of "{unset}" removes a variable.
    Environment environment = {{"USERPROFILE", "{dir}/profile"}};
    std::vector<std::string> arguments;
    std::string commandLine;
    std::vector<std::string> wrapper;  // POSIX: run before tarnpost (prlimit, sh)
    std::string pauseAt;               // POSIX: tarnpost stops once it has opened this path first
    bool wide = false;                 // Windows: the texts are UTF-8, started with CreateProcessW
    std::string stdoutTo;              // empty: captured; kClosedPipe or a path
    std::string workingDirectory = "{dir}";
    int runs = 1;
    bool atOnce = false;           // the runs start together, else one after another
    bool asOtherUser = false;      // POSIX: tarnpost runs as an unprivileged user
    bool mediumIntegrity = false;  // Windows: tarnpost runs at medium integrity
    Holder holder = Holder::kNone;
    std::vector<std::string> directories = {"profile"};
    std::vector<Step> steps;
    Source sweep = Source::kNone;

    // The Receiver: absent, or tarn-receiver with these options; a decoy
    // is a second one that must never be reached.
    bool receiver = true;
    std::vector<std::string> receiverOptions;
    bool receiverAsOtherUser = false;
    std::vector<std::string> decoyOptions;
    bool receiverDies = false;         // ends while handling the message
    bool receiverStopsItself = false;  // ends after --count notifications

    // What must follow, for every run.
    int exitStatus = 0;
    int endSignal = 0;  // POSIX: the runs end by this signal instead
    std::string out;
    std::string err;
    std::string errOr;  // another error text that is right too
    std::string fileDirectory = "{dir}/profile";
    FileAfter file = FileAfter::kMessage;
    std::string fileBytes;    // kMessage: empty means the first argument as written
    bool told = true;         // the Receiver was told, and read the file whole
    int bareConnections = 0;  // POSIX: connections per run beyond a read notification's two
    std::vector<std::string> receiverShows;  // lines its output must hold
    std::vector<Check> checks;

// Each sets what its name says and returns the row, so that a row of the
// table reads as one expression.
#define TARNPOST_ROW_SET(setter, field)  \
    Row& setter(decltype(field) value) { \
        field = std::move(value);        \
        return *this;                    \
    }
#define TARNPOST_ROW_FLAG(setter, field, on) \
    Row& setter() {                          \
        field = on;                          \
        return *this;                        \
    }
    TARNPOST_ROW_SET(env, environment)
    TARNPOST_ROW_SET(fileIn, fileDirectory)
    TARNPOST_ROW_SET(args, arguments)
    TARNPOST_ROW_SET(line, commandLine)
    TARNPOST_ROW_SET(wrap, wrapper)
    TARNPOST_ROW_SET(pauseAtOpenOf, pauseAt)
    TARNPOST_ROW_SET(stdoutInto, stdoutTo)
    TARNPOST_ROW_SET(lock, holder)
    TARNPOST_ROW_SET(dirs, directories)
    TARNPOST_ROW_SET(receiverWith, receiverOptions)
    TARNPOST_ROW_SET(decoy, decoyOptions)
    TARNPOST_ROW_SET(prints, out)
    TARNPOST_ROW_SET(orFails, errOr)
    TARNPOST_ROW_SET(leaves, file)
    TARNPOST_ROW_SET(bare, bareConnections)
    TARNPOST_ROW_SET(endsBy, endSignal)
    TARNPOST_ROW_SET(exits, exitStatus)
    TARNPOST_ROW_FLAG(inUtf16, wide, true)
    TARNPOST_ROW_FLAG(otherUser, asOtherUser, true)
    TARNPOST_ROW_FLAG(atMediumIntegrity, mediumIntegrity, true)
    TARNPOST_ROW_FLAG(receiverOfOtherUser, receiverAsOtherUser, true)
    TARNPOST_ROW_FLAG(dies, receiverDies, true)
    TARNPOST_ROW_FLAG(stopsItself, receiverStopsItself, true)
    TARNPOST_ROW_FLAG(wasTold, told, true)
    TARNPOST_ROW_FLAG(notTold, told, false)
#undef TARNPOST_ROW_SET
#undef TARNPOST_ROW_FLAG

    Row& profile(const std::string& directory) {
        environment = {{"USERPROFILE", directory}};
        fileDirectory = directory;
        return *this;
    }
    Row& repeat(int count, bool together) {
        runs = count;
        atOnce = together;
        return *this;
    }
    Row& step(Step::Kind kind, std::string path, std::string value = "", int stage = 0) {
        steps.push_back({kind, std::move(path), std::move(value), stage});
        return *this;
    }
    Row& stepLater(Step::Kind kind, std::string path, std::string value = "") {
        return step(kind, std::move(path), std::move(value), 1);
    }
    Row& whilePaused(Step::Kind kind, std::string path) {
        return step(kind, std::move(path), "", 2);
    }
    Row& sweepLengths(Source source) {
        sweep = source;
        receiver = false;
        return *this;
    }
    Row& noReceiver() {
        receiver = false;
        told = false;
        return *this;
    }
    // Exit status 1 with `text` on stderr, the file left as `after` says, and
    // the Receiver not told.
    Row& fails(std::string text, FileAfter after = FileAfter::kMessage) {
        exitStatus = 1;
        err = std::move(text);
        file = after;
        told = false;
        return *this;
    }
    Row& holds(std::string bytes) {
        file = FileAfter::kMessage;
        fileBytes = std::move(bytes);
        return *this;
    }
    Row& shows(std::string receiverLine) {
        receiverShows.push_back(std::move(receiverLine));
        return *this;
    }
    Row& also(Check check) {
        checks.push_back(check);
        return *this;
    }
};

// stdoutTo: a pipe whose reader has gone.
extern const char kClosedPipe[];

// The rows of each group, for every platform (table.cpp).
std::vector<Row> usageRows();
std::vector<Row> messageRows();
std::vector<Row> directoryRows();
std::vector<Row> lengthRows();
std::vector<Row> faultRows();
std::vector<Row> replyRows();
std::vector<Row> runtimeDirectoryRows();
std::vector<Row> lockRows();
std::vector<Row> standInRows();
std::vector<Row> wildcardRows();
std::vector<Row> codePageRows();

// A sweep's lengths on this platform, and the error owed for one ("" when
// the file must be written).
std::vector<size_t> sweepLengths();
std::string lengthError(Source source, size_t length);

// --- What each platform supplies (posix.cpp, windows.cpp) -------------------

extern const unsigned kThisPlatform;
extern const char kSeparator;        // between a directory and a file name
extern const char kReceiverDeath[];  // how a Receiver that died ended
extern const int kAtOnce;            // deliveries started together

struct Programs {
    std::string tarnpost;
    std::string receiver;
    std::string probe;  // Windows: prints its argument with wildcards expanded
};
const Programs& programs();

// A process to start: argv[0] is the program; on Windows the command line
// is `commandLine`, or argv quoted as the runtime splits it.
struct Launch {
    std::vector<std::string> argv;
    std::string commandLine;
    std::vector<std::string> environment;  // the whole environment, "NAME=value"
    std::string workingDirectory;
    std::string stdoutPath;  // kClosedPipe: a pipe nobody reads
    std::string stderrPath;
    bool wide = true;              // Windows: the texts are UTF-8, else ANSI bytes
    bool mediumIntegrity = false;  // Windows: started with a token of medium integrity
};

using Child = intptr_t;  // 0: not started

Child start(const Launch& launch, std::string* error);
// Starts them all before any of them runs.
std::vector<Child> startTogether(const std::vector<Launch>& launches, std::string* error);
// "exit N", "signal N" or "timed out" once it ended; "" while it runs.
std::string ended(Child child);
// Waits up to `limitMs`, then kills it; how it ended.
std::string finish(Child child, int limitMs);
// How many starts had to be made again because Wine lost the new process
// before the program ran (windows.cpp); the run's summary shows it.
extern int startsMadeAgain;
// POSIX: runs `act` once the program that `child`, strace, traces has
// stopped, as strace's `traceLog` tells (see Row::pauseAt), then lets it go
// on; false when it never stopped.
bool whilePaused(Child child, const std::string& traceLog, const std::function<void()>& act);
// Asks a running stand-in Receiver to stop as a user would.
void askToStop(Child receiver, const Launch& receiverLaunch);
// The command line a Windows runtime splits into `argv`.
std::string quoteArguments(const std::vector<std::string>& argv);

// Files and directories; on Windows their names are UTF-8.
FILE* openFile(const std::string& path, const char* mode);
std::string makeScratch();  // a new private directory; "" on failure
void removeTree(const std::string& path);
bool makeDirectories(const std::string& path);
bool writeFile(const std::string& path, const std::string& bytes);
bool readFile(const std::string& path, std::string* bytes);
// "absent", "directory", "file:BYTES", "link to TARGET", "pipe", ...
std::string describe(const std::string& path);
// Every entry below `directory`, directories too, sorted.
std::vector<std::string> entriesBelow(const std::string& directory);

// What the table's run was asked for on its command line (behaviour.cpp).
struct RunOptions {
    // Windows: the host's folders with a full disk and a device in the
    // message file's place ("device", "disk"), made by the build tree's
    // fixture; without them those rows skip.
    std::string fullDisk;
    // Windows: rows may write TARN_Message.txt in the Windows directory and
    // the root of a drive, outside their scratch folder.
    bool systemFolders = false;
};
extern RunOptions runOptions;

// Why the table must not run at all here, or "": on Windows, a window of
// the Receiver's class that exists already, which would take the rows'
// notifications (it may be a real TARN).
std::string refusal();

struct Scene;
// Sets scene.skip when the row's message file lies where this run may not
// write it.
void checkPlace(Scene& scene, const std::string& messageFile);
// Readies the platform for a row: the placeholders it fills in ({windir},
// {home}, ...), and on Windows no Receiver window left by an earlier row.
void beginRow(Scene& scene);
// The platform's steps; sets scene.skip when the step cannot be made here.
void prepare(const Step& step, Scene& scene);
// Programs put before tarnpost (or the Receiver) to run it as the other
// user; sets scene.skip when that cannot be done here.
std::vector<std::string> asOtherUser(Scene& scene);
// Makes `path` the other user's.
void giveToOtherUser(const std::string& path);
bool holdLock(Holder holder, const std::string& messageFile);
void releaseLock();
void checkMore(Check check, const Scene& scene);
// Environment every process gets before the row's own variables.
std::vector<std::string> baseEnvironment(const Scene& scene);
// What the Windows tarnpost writes for a line of text: CR LF line ends.
std::string asStreamed(const std::string& text);

// One row's run: its scratch directory, expanded texts and what is undone.
struct Scene {
    Row row;           // the set-up may learn what must follow only at run time
    std::string root;  // holds "d" (the row's {dir}), "r", "o", "run" and "bin"
    std::vector<std::pair<std::string, std::string>> placeholders;
    std::string skip;  // why the row cannot run here
    std::vector<std::function<void()>> undo;

    explicit Scene(Row r) : row(std::move(r)) {}
    std::string expand(std::string text) const;
    std::string dir() const {
        return root + kSeparator + "d";
    }
    // A path of the row: relative ones lie in {dir}.
    std::string path(const std::string& rowPath) const;
};

#endif
