// The behaviours, one row each. Unless a row says otherwise: USERPROFILE
// names {dir}/profile, which exists; tarnpost gets a message of the row's own
// and a Receiver that replies 0 runs; the delivery succeeds silently, the
// file holds the message as written and the Receiver read exactly that.
// Paths are written with '/', which Windows rows read as '\'.
#include <algorithm>
#include <string>

#include "tests/behaviour/behaviour.h"
#include "tests/usage_text.h"

namespace {

const char kNotRunning[] = "tarnpost: Program TARN not running (or an old version).\n";
const char kReturnsError[] = "tarnpost: Program TARN returns error.\n";
const char kCannotCreate[] = "tarnpost: Cannot create message file \"{file}\".\n\n";
const char kCannotWrite[] = "tarnpost: Cannot write message file \"{file}\".\n\n";
const char kCannotLock[] = "tarnpost: Cannot lock message file \"{file}\" for delivery.\n";
const char kNoUsage[] = "tarnpost: Cannot write the usage text.\n";
const char kNoNullDevice[] =
    "tarnpost: A standard stream is closed and the null device cannot be opened in its place.\n";
const char kEarlier[] = "an earlier message\r\n";
const char kMessageFile[] = "profile/" TARN_MESSAGE_FILE_NAME;
const char kLockFile[] = "profile/" TARN_MESSAGE_FILE_NAME ".lock";

// Bytes 1 to 255 in turn, over and over.
std::string everyByte(size_t length) {
    std::string text(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        text[i] = (char)(1 + i % 255);
    }
    return text;
}

std::string everyHighByte() {
    std::string text;
    for (int c = 0x80; c <= 0xff; ++c) {
        text += (char)c;
    }
    return text;
}

// The longest message a Windows command line carries: 32,767 characters
// with the terminator, of which `tarnpost ""` takes 11.
std::string longestCommandLineMessage() {
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789 .,;:-_+=<>|&^%!";
    std::string message;
    while (message.size() < 32767 - 1 - 11) {
        message += alphabet[message.size() % alphabet.size()];
    }
    return message;
}

std::string repeated(const std::string& piece, size_t length) {
    std::string text;
    while (text.size() + piece.size() <= length) {
        text += piece;
    }
    return text;
}

// Runs tarnpost with descriptors 0 to 2 closed.
const std::vector<std::string> kWithClosedStreams = {"/bin/sh", "-c",
                                                     "exec \"$0\" \"$@\" <&- >&- 2>&-"};

// Runs tarnpost with standard input closed in a mount namespace whose /dev
// is empty, so that no null device can take the closed stream's place.
const std::vector<std::string> kWithoutNullDevice = {
    "/usr/bin/unshare", "--mount", "/bin/sh", "-c",
    "mount -t tmpfs tarnpost-test /dev && exec \"$0\" \"$@\" <&-"};

// Runs tarnpost in a mount namespace of its own, after `mount` there.
std::vector<std::string> afterMounting(const std::string& mount) {
    return {"/usr/bin/unshare", "--mount", "/bin/sh", "-c", mount + " && exec \"$0\" \"$@\""};
}

// A SIGTERM (or the signal named) sent as tarnpost makes system call `call`
// (the cut, the first write, or its `when`th) over an older file: it takes
// effect once the new message is whole and closed, and TARN is not told. No
// core file is left by the signals that would dump one.
Row terminatedAt(const char* name, const char* call, const std::string& older,
                 const std::string& message, const char* signal = "SIGTERM", int number = 15,
                 int when = 1) {
    return Row(name, kPosix)
        .args({message})
        .wrap({"/usr/bin/prlimit", "--core=0", "--", "/usr/bin/strace", "-qq", "-o", "/dev/null",
               "-e", std::string("trace=") + call, "-e",
               std::string("inject=") + call + ":signal=" + signal +
                   (when > 1 ? ":when=" + std::to_string(when) : ""),
               "--"})
        .step(Step::kWrite, kMessageFile, older)
        .endsBy(number)
        .notTold()
        .bare(1);  // the no-op TARN answered before the file was touched
}

// A reply of exactly these bytes (with C escapes); only "0\n" and "-0\n" are
// success, and the replies said to be `accepted`.
Row reply(const char* name, const std::string& bytes, bool accepted = false) {
    Row row(name, kPosix);
    row.receiverWith({"--reply-bytes", bytes});
    const bool zero = accepted || bytes == "0\\n" || bytes == "-0\\n";
    return zero ? row : row.fails(kReturnsError).wasTold();
}

}  // namespace

std::vector<Row> usageRows() {
    return {
        Row("NoArgumentPrintsTheUsage")
            .args({})
            .prints(usageText())
            .leaves(FileAfter::kAbsent)
            .notTold(),
        Row("UsageIntoAClosedPipeFails")
            .args({})
            .stdoutInto(kClosedPipe)
            .fails(kNoUsage, FileAfter::kAbsent),
        // Closed streams lead to the null device, which takes the text as
        // any open output would.
        Row("UsageWithClosedStandardStreams", kPosix)
            .args({})
            .wrap(kWithClosedStreams)
            .leaves(FileAfter::kAbsent)
            .notTold(),
        Row("UsageIntoAFullDeviceFails", kPosix)
            .args({})
            .stdoutInto("/dev/full")
            .fails(kNoUsage, FileAfter::kAbsent),
        Row("UsageWithoutANullDevice", kPosix)
            .args({})
            .wrap(kWithoutNullDevice)
            .step(Step::kUnshared, "")
            .prints(usageText())
            .leaves(FileAfter::kAbsent)
            .notTold(),
    };
}

std::vector<Row> messageRows() {
    return {
        Row("EmptyMessage").args({""}).line(R"(tarnpost "")"),
        Row("PlainText").args({"hello TARN"}),
        Row("LineFeedsBecomeCrLf").args({"one\ntwo\n\nthree\n"}),
        Row("ShorterAfterLonger")
            .args({"x"})
            .line("tarnpost x")
            .step(Step::kWrite, kMessageFile, std::string(300, 'o') + "\r\n"),
        Row("CarriageReturnsKept").args({"a\rb\r\nc"}),
        // Created as a program's fopen creates a file: 0666 less the umask.
        Row("NewFileHasTheUsualPermissions", kPosix).also(Check::kUsualFileMode),
        Row("PrintfDirectivesAreText").args({"%s%n%d%%%x%1$s%*.*s%"}),
        Row("EightBitBytes").args({"gr\xfc\xdf \xe4\x80\xff\xa0\x81"}),
        Row("EveryHighByte").args({everyHighByte()}),
        Row("UsageExample")
            .args({R"(*** File "c:\usr\0sampleVOS.tnr": line 38)"})
            .line(R"(tarnpost "*** File \"c:\usr\0sampleVOS.tnr\": line 38")"),
        Row("WildcardsArriveAsTyped").args({"*.tnr ?x [ab]"}),
        Row("ExtraArgumentsIgnored")
            .args({"first", "second", "third"})
            .line(R"(tarnpost first second "third one")"),
        Row("EmptyMessageBeforeExtraArguments")
            .args({"", "ignored"})
            .line(R"(tarnpost "" ignored)"),
        Row("UnquotedWord", kWindows).line("tarnpost hello").holds("hello\r\n"),
        Row("BlanksKept", kWindows).line(R"(tarnpost "a  b   c ")").holds("a  b   c \r\n"),
        Row("BackslashesBeforeAQuote", kWindows)
            .line(R"(tarnpost "a\\\"b\\" c)")
            .holds("a\\\"b\\\r\n"),
        Row("LongestWindowsCommandLine").args({longestCommandLineMessage()}),
        Row("EveryByteQuotesAndPrintf")
            .args({everyByte(255) +
                   "\"quoted\" \\\"escaped\\\" c:\\usr\\0file\\ "
                   "\\\\server\\share\\\r\n\n\r\r\r\n%s%n%d%%%x%1$s%*.*s%ls%c%p%\n%"}),
        Row("OneByteUnderABuffer").args({everyByte(4095)}),
        Row("ABuffer").args({std::string(4096, 'b')}),
        Row("ABufferAfterLineEndGrowth").args({everyByte(4096 - 4096 / 255)}),
        Row("EveryByte32767Times", kPosix).args({everyByte(32767)}),
        Row("LineFeeds32767", kPosix).args({std::string(32767, '\n')}),
        Row("PrintfDirectives32767", kPosix).args({repeated("%n", 32766) + "s"}),
    };
}

std::vector<Row> directoryRows() {
    const std::vector<std::string> places = {"profile", "drive", "drive/path"};
    const char* windowsDirectory = "{windir}";
    return {
        Row("ProfileComesFirst")
            .env({{"USERPROFILE", "{dir}/profile"},
                  {"HOMEDRIVE", "{dir}/drive"},
                  {"HOMEPATH", "/path"}})
            .dirs(places),
        Row("EmptyProfileFallsToDriveAndPath")
            .env({{"USERPROFILE", ""}, {"HOMEDRIVE", "{dir}/drive"}, {"HOMEPATH", "/path"}})
            .dirs(places)
            .fileIn("{dir}/drive/path"),
        Row("PathFollowsDriveWithNoSeparator")
            .env({{"HOMEDRIVE", "{dir}/dri"}, {"HOMEPATH", "ve/path"}})
            .dirs(places)
            .fileIn("{dir}/drive/path"),
        Row("DriveLetterAndPath", kWindows)
            .env({{"HOMEDRIVE", "{drive}"}, {"HOMEPATH", "{path}/profile"}}),
        Row("DriveAlone").env({{"HOMEDRIVE", "{dir}/drive"}}).dirs(places).fileIn("{dir}/drive"),
        Row("DriveLetterAlone", kWindows).env({{"HOMEDRIVE", "{drive}"}}).fileIn("{drive}"),
        Row("EmptyPathIsNoPath")
            .env({{"HOMEDRIVE", "{dir}/drive"}, {"HOMEPATH", ""}})
            .dirs(places)
            .fileIn("{dir}/drive"),
        Row("TrailingSeparatorKept").profile("{dir}/profile/"),
        Row("RelativeDirectoryTakenAsItComes").profile("profile").fileIn("{dir}/profile"),
        Row("VariableNamesInAnyCase", kWindows).env({{"userprofile", "{dir}/profile"}}),
        // Without USERPROFILE and HOMEDRIVE the Windows directory is used; its
        // POSIX stand-in is the home from the password database, which for the
        // user running the tests must not be written into: these run as a user
        // whose home does not exist, and tarnpost must name exactly that place.
        Row("WindowsDirectoryWhenNothingSet", kWindows).env({}).fileIn(windowsDirectory),
        Row("WindowsDirectoryWhenPathAlone", kWindows)
            .env({{"HOMEPATH", "{path}"}})
            .fileIn(windowsDirectory),
        Row("WindowsDirectoryWhenDriveEmpty", kWindows)
            .env({{"HOMEDRIVE", ""}, {"HOMEPATH", "{path}"}})
            .fileIn(windowsDirectory),
        Row("WindowsDirectoryWhenNothingSet", kPosix)
            .env({})
            .otherUser()
            .step(Step::kAbsent, "{home}")
            .fileIn("{home}")
            .fails(kCannotCreate, FileAfter::kAbsent),
        Row("WindowsDirectoryWhenPathAlone", kPosix)
            .env({{"HOMEPATH", "{dir}/profile"}})
            .otherUser()
            .step(Step::kAbsent, "{home}")
            .step(Step::kOtherOwner, "profile")
            .fileIn("{home}")
            .fails(kCannotCreate, FileAfter::kAbsent),
        Row("WindowsDirectoryWhenDriveEmpty", kPosix)
            .env({{"USERPROFILE", ""}, {"HOMEDRIVE", ""}, {"HOMEPATH", "{dir}/profile"}})
            .otherUser()
            .step(Step::kAbsent, "{home}")
            .step(Step::kOtherOwner, "profile")
            .fileIn("{home}")
            .fails(kCannotCreate, FileAfter::kAbsent),
        Row("WindowsDirectoryNotFromHome", kPosix)
            .env({{"HOME", "{dir}/profile"}})
            .otherUser()
            .step(Step::kOtherOwner, "profile")
            .fileIn("{home}")
            .fails(kCannotCreate, FileAfter::kAbsent),
    };
}

std::vector<Row> lengthRows() {
    return {
        Row("USERPROFILE").sweepLengths(Source::kProfile),
        Row("HOMEDRIVE").sweepLengths(Source::kDrive),
        Row("HOMEDRIVEplusHOMEPATH").sweepLengths(Source::kDriveAndPath),
    };
}

std::vector<Row> faultRows() {
    const FileAfter absent = FileAfter::kAbsent;
    const FileAfter unchanged = FileAfter::kUnchanged;
    // Only a regular file holds the lock; anything else there stays as it is.
    auto inTheLocksPlace = [&](const char* name, Step::Kind kind) {
        return Row(name, kPosix)
            .step(kind, kLockFile)
            .fails(kCannotLock, absent)
            .also(Check::kLockUnchanged);
    };
    auto atTheSecondWrite = [](const std::string& name, const char* signal, int number) {
        return terminatedAt((name + "AtTheSecondWrite").c_str(), "write",
                            std::string(12000, 'q') + "\r\n", std::string(10000, 'n'), signal,
                            number, 2);
    };
    return {
        Row("MissingDirectory").profile("{dir}/missing").fails(kCannotCreate, absent),
        Row("MissingDirectoryWithTrailingSeparator")
            .profile("{dir}/missing/")
            .fails(kCannotCreate, absent),
        Row("DirectoryUnderProc", kPosix).profile("/proc").fails(kCannotCreate, absent),
        Row("DirectoryUnderSys", kPosix).profile("/sys").fails(kCannotCreate, absent),
        Row("ProfileIsAPlainFile")
            .profile("{dir}/plain")
            .step(Step::kWrite, "plain", "not a directory")
            .fails(kCannotCreate, absent),
        Row("MessageFileIsADirectory")
            .step(Step::kDirectory, kMessageFile)
            .fails(kCannotCreate, unchanged)
            .also(Check::kLockUnchanged),
        Row("MessageFileIsAPipe", kPosix)
            .step(Step::kFifo, kMessageFile)
            .fails(kCannotCreate, unchanged),
        Row("MessageFileLinksToDevNull", kPosix)
            .step(Step::kLink, kMessageFile, "/dev/null")
            .fails(kCannotCreate, unchanged)
            .also(Check::kDevNullIsADevice),
        Row("MessageFileLinksToADevice", kWindows)
            .profile("{device}")
            .fails(kCannotCreate, unchanged),
        Row("MessageFileIsASocket", kPosix)
            .step(Step::kSocket, kMessageFile)
            .fails(kCannotCreate, unchanged),
        Row("ReadOnlyMessageFile", kPosix)
            .otherUser()
            .step(Step::kMode, "profile", "777")
            .step(Step::kWrite, kMessageFile, kEarlier)
            .step(Step::kMode, kMessageFile, "444")
            .fails(kCannotCreate, unchanged),
        Row("ReadOnlyMessageFile", kWindows)
            .step(Step::kReadOnly, kMessageFile, kEarlier)
            .fails(kCannotCreate, unchanged),
        Row("MessageFileHeldOpenByAReader", kWindows)
            .step(Step::kWrite, kMessageFile, kEarlier)
            .step(Step::kHeldOpen, kMessageFile)
            .fails(kCannotCreate, unchanged),
        // Open in TARN, an editor or a viewer that lets others read and write
        // it: the file is rewritten all the same.
        Row("MessageFileHeldOpenBySharingProgram", kWindows)
            .step(Step::kWrite, kMessageFile, kEarlier)
            .step(Step::kHeldShared, kMessageFile)
            .receiverWith({"--read-shared"}),
        Row("LongerOldFileMappedByAnotherProgram", kWindows)
            .step(Step::kWrite, kMessageFile, std::string(300, 'o') + "\r\n")
            .step(Step::kMapped, kMessageFile)
            .fails(kCannotWrite, unchanged),
        Row("FileSizeLimitBelowTheMessage", kPosix)
            .args({std::string(5000, 'x')})
            .wrap({"/usr/bin/prlimit", "--fsize=4096", "--"})
            .step(Step::kWrite, kMessageFile, kEarlier)
            .fails(kCannotWrite, unchanged)
            .bare(1),
        // The file takes its length before a byte changes, each line feed
        // counted as the two bytes it becomes: one byte short of that, the
        // older message stays whole.
        Row("FileSizeLimitBelowTheMessageWithItsLineEnds", kPosix)
            .args({repeated("line\n", 5000)})
            .wrap({"/usr/bin/prlimit", "--fsize=6001", "--"})
            .step(Step::kWrite, kMessageFile, kEarlier)
            .fails(kCannotWrite, unchanged)
            .bare(1),
        Row("DiskFullWhileWriting")
            .profile("{fulldisk}")
            .step(Step::kFullDisk, "{fulldisk}", "")
            .fails(kCannotWrite, FileAfter::kEmpty)
            .bare(1),
        // Closed to new files, the profile lets nobody take the fragment away
        // but by emptying the file in place.
        Row("ProfileClosedToNewFilesOnAFullDisk", kPosix)
            .otherUser()
            .noReceiver()
            .step(Step::kFullDisk, "profile",
                  TARN_MESSAGE_FILE_NAME " " TARN_MESSAGE_FILE_NAME ".lock")
            .step(Step::kMode, kMessageFile, "666")
            .step(Step::kMode, kLockFile, "666")
            .step(Step::kOtherOwner, kLockFile)
            .step(Step::kMode, "profile", "555")
            .fails(kCannotWrite, FileAfter::kEmpty),
        Row("LinkToAFileOnAFullDisk", kPosix)
            .step(Step::kFullDisk, "small", "target target.lock")
            .step(Step::kLink, kMessageFile, "{dir}/small/target")
            .fails(kCannotWrite, FileAfter::kEmpty)
            .bare(1)
            .also(Check::kStillALink),
        Row("ControlCharactersInTheProfilePath", kPosix)
            .profile("{dir}/a\nb\x1b[31m")
            .fails("tarnpost: Cannot create message file "
                   "\"{dir}/a\\nb\\x1b[31m/" TARN_MESSAGE_FILE_NAME "\".\n\n",
                   absent),
        Row("ProfileClosedToTheUser", kPosix)
            .otherUser()
            .step(Step::kMode, "profile", "755")
            .fails(kCannotCreate, absent),
        // Closed to new files even for root: the lock file fails with EPERM,
        // which says no more than EACCES does.
        Row("ProfileClosedToNewFilesEvenForRoot", kPosix)
            .step(Step::kImmutable, "profile")
            .fails(kCannotCreate, absent),
        Row("ProfileClosedButTheFileOpenToTheUser", kPosix)
            .otherUser()
            .step(Step::kMode, "profile", "755")
            .step(Step::kWrite, kMessageFile, kEarlier)
            .step(Step::kMode, kMessageFile, "666")
            .fails(kCannotLock, unchanged),
        // Another user could take the lock away, even when root delivers.
        Row("LockFileOfAnotherUser", kPosix)
            .otherUser()
            .step(Step::kMode, "profile", "777")
            .step(Step::kWrite, kLockFile)
            .step(Step::kMode, kLockFile, "666")
            .fails(kCannotLock, absent),
        Row("LockFileOfAnotherUserRefusedToRoot", kPosix)
            .step(Step::kWrite, kLockFile)
            .step(Step::kOtherOwner, kLockFile)
            .fails(kCannotLock, absent),
        Row("DanglingLinkInTheLockFilesPlace", kPosix)
            .step(Step::kWrite, kMessageFile, kEarlier)
            .step(Step::kLink, kLockFile, "{dir}/lock-target")
            .fails(kCannotLock, unchanged)
            .also(Check::kLockUnchanged),
        Row("LinkToAFileOfTheUserInTheLockFilesPlace", kPosix)
            .step(Step::kWrite, "lock-target", "not a lock")
            .step(Step::kLink, kLockFile, "{dir}/lock-target")
            .fails(kCannotLock, absent)
            .also(Check::kLockUnchanged),
        // The user's own lock file, but closed to the user: the lock fails,
        // not the message file, which could be made.
        Row("LockFileOfTheUserClosedToTheUser", kPosix)
            .otherUser()
            .step(Step::kMode, "profile", "777")
            .step(Step::kWrite, kLockFile)
            .step(Step::kOtherOwner, kLockFile)
            .step(Step::kMode, kLockFile, "0")
            .fails(kCannotLock, absent),
        Row("MessageFileLinksToAPathTooLongToResolve", kPosix)
            .step(Step::kLink, kMessageFile, "/" + std::string(3999, 'x'))
            .fails(kCannotLock, unchanged),
        inTheLocksPlace("DirectoryInTheLockFilesPlace", Step::kDirectory),
        // The lock must be a file of its own: closing the message file,
        // reached under another name, would drop it.
        Row("LockFileIsAHardLinkToTheMessageFile", kPosix)
            .step(Step::kWrite, kMessageFile, kEarlier)
            .step(Step::kHardLink, kLockFile, kMessageFile)
            .fails(kCannotLock, unchanged)
            .also(Check::kLockUnchanged),
        Row("LockFileIsALinkToTheMessageFile", kPosix)
            .step(Step::kWrite, kMessageFile, kEarlier)
            .step(Step::kLink, kLockFile, "{file}")
            .fails(kCannotLock, unchanged)
            .also(Check::kLockUnchanged),
        Row("LockFileIsAHardLinkToTheFileALinkNames", kPosix)
            .env({{"USERPROFILE", "{dir}/alias"}})
            .dirs({"profile", "alias"})
            .fileIn("{dir}/alias")
            .step(Step::kWrite, kMessageFile, kEarlier)
            .step(Step::kHardLink, kLockFile, kMessageFile)
            .step(Step::kLink, "alias/" TARN_MESSAGE_FILE_NAME, "../" + std::string(kMessageFile))
            .fails(kCannotLock, unchanged),
        // Changed once the lock is taken, before the file is touched: only
        // the file the lock was taken for, and never the lock's own, is
        // written.
        Row("MessageFileRepointedOnceLocked", kPosix)
            .receiverWith({"--on-no-op", "ln -sfn {dir}/other {file}"})
            .fails(kCannotCreate, FileAfter::kReplaced)
            .bare(1),
        Row("MessageFileMadeTheLockFileOnceLocked", kPosix)
            .step(Step::kWrite, kLockFile)
            .receiverWith({"--on-no-op", "ln -f {file}.lock {file}"})
            .fails(kCannotCreate, FileAfter::kEmpty)
            .bare(1),
        // Swapped in between the look at a file and its open: only the file
        // looked at is opened; without /proc, what is opened must be it, and
        // a pipe is never waited for.
        Row("PipeSwappedInAsTheLockFileIsOpened", kPosix)
            .step(Step::kWrite, kLockFile)
            .pauseAtOpenOf("{file}.lock")
            .whilePaused(Step::kFifoReader, kLockFile)
            .also(Check::kPipeNeverOpened),
        Row("PipeSwappedInAsTheLockFileIsOpenedWithoutProc", kPosix)
            .wrap(afterMounting("mount -t tmpfs tarnpost-test /proc/$$/fd"))
            .step(Step::kUnshared, "")
            .step(Step::kWrite, kMessageFile, kEarlier)
            .step(Step::kWrite, kLockFile)
            .pauseAtOpenOf("{file}.lock")
            .whilePaused(Step::kFifo, kLockFile)
            .fails(kCannotLock, unchanged),
        Row("PipeSwappedInAsTheMessageFileIsOpenedWithoutProc", kPosix)
            .wrap(afterMounting("mount -t tmpfs tarnpost-test /proc/$$/fd"))
            .step(Step::kUnshared, "")
            .step(Step::kWrite, kMessageFile, kEarlier)
            .pauseAtOpenOf("{file}")
            .whilePaused(Step::kFifo, kMessageFile)
            .fails(kCannotCreate, FileAfter::kReplaced)
            .bare(1),
        Row("MessageFileIsALinkToTheLockFile", kPosix)
            .step(Step::kWrite, kLockFile)
            .step(Step::kLink, kMessageFile, "{file}.lock")
            .fails(kCannotLock, unchanged)
            .also(Check::kLockUnchanged),
        inTheLocksPlace("PipeInTheLockFilesPlace", Step::kFifo),
        inTheLocksPlace("PipeWithAWaitingReaderInTheLockFilesPlace", Step::kFifoReader)
            .also(Check::kPipeNeverOpened),
        inTheLocksPlace("DeviceInTheLockFilesPlace", Step::kDevice),
        Row("PipeWithAWaitingReaderIsNeverOpened", kPosix)
            .step(Step::kFifoReader, kMessageFile)
            .fails(kCannotCreate, unchanged)
            .also(Check::kPipeNeverOpened),
        // A file server breaking its oplock: the open waits for it.
        Row("LeasedMessageFileIsWaitedFor", kPosix)
            .step(Step::kWrite, kMessageFile, kEarlier)
            .step(Step::kLeased, kMessageFile),
        Row("ReadOnlyFileSystemHoldingBothFiles", kPosix)
            .profile("{dir}/ro")
            .step(Step::kReadOnlyDisk, "ro",
                  TARN_MESSAGE_FILE_NAME " " TARN_MESSAGE_FILE_NAME ".lock")
            .fails(kCannotCreate, unchanged),
        terminatedAt("TerminatedAtTheCut", "ftruncate", std::string(300, 'o') + "\r\n",
                     "new message"),
        terminatedAt("TerminatedAtTheFirstWrite", "write", std::string(300, 'q'),
                     std::string(10000, 'n')),
        // Every signal that ends a process and comes from outside is held
        // back alike: a closed terminal, Ctrl+C, Ctrl+\, a timer, a user's own.
        terminatedAt("HungUpAtTheCut", "ftruncate", kEarlier, "new message", "SIGHUP", 1),
        terminatedAt("InterruptedAtTheCut", "ftruncate", kEarlier, "new message", "SIGINT", 2),
        terminatedAt("QuitAtTheCut", "ftruncate", kEarlier, "new message", "SIGQUIT", 3),
        terminatedAt("AlarmAtTheCut", "ftruncate", kEarlier, "new message", "SIGALRM", 14),
        terminatedAt("User1AtTheCut", "ftruncate", kEarlier, "new message", "SIGUSR1", 10),
        terminatedAt("User2AtTheCut", "ftruncate", kEarlier, "new message", "SIGUSR2", 12),
        // Timers, a CPU limit, I/O and power notices and kill -RTMIN end a
        // process too: the second of three writes leaves no old tail.
        atTheSecondWrite("ProfilingTimer", "SIGPROF", 27),
        atTheSecondWrite("VirtualTimer", "SIGVTALRM", 26),
        atTheSecondWrite("CpuLimit", "SIGXCPU", 24),
        atTheSecondWrite("InputOutput", "SIGIO", 29),
        atTheSecondWrite("PowerFailure", "SIGPWR", 30),
        atTheSecondWrite("StackFault", "SIGSTKFLT", 16),
        // strace, which cannot end itself by 32, exits with 128 + 32.
        atTheSecondWrite("RealTime32", "32", 32).endsBy(0).exits(160),
        atTheSecondWrite("RealTimeMin", "34", 34),
        atTheSecondWrite("RealTimeMax", "64", 64),
        // Sent from outside, the signals of a program's own faults are held
        // back like any other.
        // (The sanitizers' runtime would take SIGSEGV for tarnpost's own.)
        atTheSecondWrite("SegmentationFaultSent", "SIGSEGV", 11)
            .env({{"USERPROFILE", "{dir}/profile"}, {"ASAN_OPTIONS", "handle_segv=0"}}),
        atTheSecondWrite("AbortSent", "SIGABRT", 6),
        // Without /proc each file is opened by its path, and must still be the
        // file seen there. Only tarnpost's own descriptors are hidden: the
        // sanitizers' runtime needs the rest of /proc.
        Row("DeliversWithoutProc", kPosix)
            .wrap(afterMounting("mount -t tmpfs tarnpost-test /proc/$$/fd"))
            .step(Step::kUnshared, "")
            .step(Step::kWrite, kMessageFile, kEarlier)
            .step(Step::kWrite, kLockFile),
        // No room for one more file: the message file cannot be made either.
        Row("NoFreeInodesAndNoMessageFile", kPosix)
            .wrap(afterMounting("mount -t tmpfs -o nr_inodes=1 tarnpost-test \"$USERPROFILE\""))
            .step(Step::kUnshared, "")
            .fails(kCannotCreate, absent),
        Row("ClosedStreamsWithoutANullDevice", kPosix)
            .wrap(kWithoutNullDevice)
            .step(Step::kUnshared, "")
            .fails(kNoNullDevice, absent),
        Row("NoReceiver").noReceiver().fails(kNotRunning),
        Row("SocketLeftByADeadReceiver", kPosix)
            .noReceiver()
            .step(Step::kSocket, "{run}/" TARN_CLASS_NAME)
            .fails(kNotRunning),
        Row("PlainFileInTheSocketsPlace", kPosix)
            .noReceiver()
            .step(Step::kWrite, "{run}/" TARN_CLASS_NAME)
            .fails(kNotRunning),
        Row("ReceiverReplies1").receiverWith({"--reply", "1"}).fails(kReturnsError).wasTold(),
        Row("ReceiverRepliesMinus1").receiverWith({"--reply", "-1"}).fails(kReturnsError).wasTold(),
        Row("ReceiverReplies0x7fffffff")
            .receiverWith({"--reply", "2147483647"})
            .fails(kReturnsError)
            .wasTold(),
        // The wait has no time limit: a Receiver busy for seconds is waited for.
        Row("ReceiverTakesLongerThanTwoSeconds").receiverWith({"--delay", "2500"}),
        Row("ReceiverHangsUp", kPosix).receiverWith({"--hang-up"}).fails(kReturnsError).wasTold(),
        Row("ReceiverDiesWhileHandling", kPosix)
            .receiverWith({"--die"})
            .dies()
            .fails(kReturnsError)
            .wasTold(),
        // Wine reports the end with the number privilege isolation gives on
        // Windows, so either line is right.
        Row("ReceiverDiesWhileHandling", kWindows)
            .receiverWith({"--die"})
            .dies()
            .fails("tarnpost: Program TARN ended while handling the message.\n")
            .orFails(
                "tarnpost: Program TARN ended while handling the message, or refused it because it "
                "runs with higher privileges (run tarnpost at the same privilege level as TARN).\n")
            .wasTold(),
        // The request may meet a closed socket: an error, never SIGPIPE.
        Row("ReceiverDropsTheConnectionAtOnce", kPosix)
            .repeat(20, false)
            .receiverWith({"--drop"})
            .fails(kReturnsError)
            .bare(2),
        // Descriptors 0 to 2 lead to the null device while the delivery runs,
        // so that no file or socket it opens takes one and gets the error line.
        Row("ClosedStandardStreams", kPosix)
            .wrap(kWithClosedStreams)
            .receiverWith({"--reply", "1", "--peer-streams"})
            .fails("")
            .wasTold()
            .shows("TARN peer streams: /dev/null /dev/null /dev/null")
            .also(Check::kLockIsPrivate),
        // An administrator's TARN runs at high integrity; a tarnpost of medium
        // integrity may not send it a message. The file is written, and only
        // the line that names privileges is right.
        Row("RefusedByPrivilegeIsolation", kWindows)
            .atMediumIntegrity()
            .stepLater(Step::kIsolated, "")
            .fails("tarnpost: Program TARN ended while handling the message, or refused it "
                   "because it runs with higher privileges (run tarnpost at the same privilege "
                   "level as TARN).\n"),
    };
}

std::vector<Row> replyRows() {
    return {
        reply("Zero", "0\\n"),
        reply("MinusZero", "-0\\n"),
        reply("One", "1\\n"),
        reply("MinusOne", "-1\\n"),
        reply("ZeroWithoutItsLineFeed", "0"),
        reply("BlankBefore", " 0\\n"),
        reply("BlankAfter", "0 \\n"),
        reply("CarriageReturn", "0\\r\\n"),
        reply("PlusSign", "+0\\n"),
        reply("Hexadecimal", "0x0\\n"),
        reply("LineOver63Characters", std::string(68, '0') + "\\n"),
        reply("BeyondTheLargestLong", "9223372036854775808\\n"),
        reply("TwoToThe32ZeroWhenCutTo32Bits", "4294967296\\n"),
        reply("TwoToThe64ZeroWhenCutTo64Bits", "18446744073709551616\\n"),
        reply("EmptyLine", "\\n"),
        reply("ZeroNulJunk", "0\\0junk\\n"),
        reply("ZeroNulOne", "0\\01\\n"),
        // The read buffer holds 63 characters and the terminator: the longest
        // line is 62 characters and its line feed.
        reply("ZerosOf62Characters", std::string(62, '0') + "\\n", true),
        reply("ZerosOf63Characters", std::string(63, '0') + "\\n"),
        // Such a Receiver answers the no-op so too: nothing left over from
        // that answer may be taken for the notification's reply.
        reply("SecondLineAfterANonzeroReply", "7\\n0\\n"),
        reply("NulBeforeZero", "\\00\\n"),
        reply("ZeroAfter63Digits", std::string(63, '1') + "0\\n"),
        // Finding a standard stream closed leaves errno set: the reply's
        // parsing must not take that for its own failure.
        reply("ZeroWithClosedStandardStreams", "0\\n", true).wrap(kWithClosedStreams),
    };
}

// Where XDG_RUNTIME_DIR leads on POSIX, and that the socket's name is whole
// or not used: a decoy listens on the name cut by its last character.
std::vector<Row> runtimeDirectoryRows() {
    const std::vector<std::string> cut = {"--socket", "{cut}"};
    const Environment relative = {{"USERPROFILE", "{dir}/profile"}, {"XDG_RUNTIME_DIR", "run"}};
    auto inTmp = [](const char* name, Environment environment) {
        return Row(name, kPosix)
            .env(std::move(environment))
            .dirs({"profile", "run"})
            .step(Step::kSharedTmp, "/tmp/tarn-{uid}")
            .receiverWith({"--socket", "/tmp/tarn-{uid}/" TARN_CLASS_NAME})
            .decoy({"--socket", "{dir}/run/" TARN_CLASS_NAME, "--reply", "1"});
    };
    return {
        Row("SocketPathOf107Characters", kPosix)
            .env({{"USERPROFILE", "{dir}/profile"}, {"XDG_RUNTIME_DIR", "{socketdir:107}"}})
            .dirs({"profile", "{socketdir:107}"})
            .receiverWith({"--socket", "{socketdir:107}/" TARN_CLASS_NAME})
            .decoy(cut),
        Row("SocketPathOf108Characters", kPosix)
            .env({{"USERPROFILE", "{dir}/profile"}, {"XDG_RUNTIME_DIR", "{socketdir:108}"}})
            .dirs({"profile", "{socketdir:108}"})
            .receiverWith({"--socket", "{socketdir:108}/" TARN_CLASS_NAME})
            .decoy(cut)
            .fails(kNotRunning),
        Row("TrailingSlash", kPosix)
            .env({{"USERPROFILE", "{dir}/profile"}, {"XDG_RUNTIME_DIR", "{run}/"}})
            .decoy(cut),
        Row("LinkNamedWithATrailingSlash", kPosix)
            .env({{"USERPROFILE", "{dir}/profile"}, {"XDG_RUNTIME_DIR", "{dir}/link/"}})
            .step(Step::kLink, "link", "{run}")
            .decoy(cut)
            .fails(kNotRunning),
        Row("ReachedThroughALink", kPosix)
            .env({{"USERPROFILE", "{dir}/profile"}, {"XDG_RUNTIME_DIR", "{dir}/link"}})
            .step(Step::kLink, "link", "{run}")
            .fails(kNotRunning),
        Row("OpenToOthers", kPosix).stepLater(Step::kMode, "{run}", "755").fails(kNotRunning),
        Row("OpenToTheGroup", kPosix).stepLater(Step::kMode, "{run}", "710").fails(kNotRunning),
        // Others may put a socket of their own there; the group may not even look.
        Row("WritableByOthersAlone", kPosix)
            .stepLater(Step::kMode, "{run}", "703")
            .fails(kNotRunning),
        Row("OwnedByAnotherUser", kPosix).stepLater(Step::kOtherOwner, "{run}").fails(kNotRunning),
        // Without an absolute XDG_RUNTIME_DIR the socket is in /tmp/tarn-<uid>.
        inTmp("UnsetMeansTmp", {{"USERPROFILE", "{dir}/profile"}, {"XDG_RUNTIME_DIR", "{unset}"}}),
        inTmp("EmptyMeansTmp", {{"USERPROFILE", "{dir}/profile"}, {"XDG_RUNTIME_DIR", ""}}),
        inTmp("RelativeMeansTmp", relative),
        inTmp("DotRelativeMeansTmp",
              {{"USERPROFILE", "{dir}/profile"}, {"XDG_RUNTIME_DIR", "./run/"}}),
        // The socket is reachable but its peer is another user: tarnpost runs
        // as that user against root's Receiver, after showing that the same
        // set-up with one user on both ends delivers.
        Row("ReceiverOfTheSameUser", kPosix)
            .otherUser()
            .receiverOfOtherUser()
            .step(Step::kOtherOwner, "profile"),
        Row("ReceiverOfAnotherUserNotTrusted", kPosix)
            .otherUser()
            .step(Step::kOtherOwner, "profile")
            .stepLater(Step::kMode, "{run}/" TARN_CLASS_NAME, "777")
            .stepLater(Step::kOtherOwner, "{run}")
            .fails(kNotRunning)
            .bare(1),
    };
}

std::vector<Row> lockRows() {
    return {
        Row("WaitsForAHeldLock").lock(Holder::kReleasedLater),
        Row("TakesOverTheLockOfADeadHolder").lock(Holder::kDead),
        Row("TakesOverFromAHolderKilledWhileWaiting", kPosix).lock(Holder::kKilledWhileWaiting),
        // However the path spells the file, its one lock is waited for: here
        // through a link to a file not there yet.
        Row("WaitsForTheLockOfTheFileALinkNames", kPosix)
            .lock(Holder::kReleasedLater)
            .env({{"USERPROFILE", "{dir}/alias"}})
            .dirs({"profile", "alias"})
            .step(Step::kLink, "alias/" TARN_MESSAGE_FILE_NAME,
                  "../profile/" TARN_MESSAGE_FILE_NAME),
        Row("ManyDeliveriesAtOnceEachReadOnce").repeat(kAtOnce, true).leaves(FileAfter::kOneOfRuns),
        // Its notification waits in the Receiver's queue: the next delivery
        // must let it be handled before it rewrites the file, or both read
        // the next message.
        Row("DeliveryAfterOneEndedUnreadIsReadOnce")
            .receiverWith({"--delay", "1500"})
            .lock(Holder::kEndedUnread),
        // Started while TARN is busy with another, they wait for it: a window
        // would answer both no-ops before either wrote, and both would then
        // read the message written last.
        Row("DeliveriesStartedWhileOneWaitsForTarnEachReadOnce")
            .receiverWith({"--delay", "1500"})
            .lock(Holder::kInItsRoundTrip)
            .repeat(2, true)
            .leaves(FileAfter::kOneOfRuns),
    };
}

std::vector<Row> standInRows() {
    return {
        Row("ShowsRecordsAndStopsAfterCount")
            .args({"first \"one\"\nline"})
            .receiverWith({"--count", "1"})
            .stopsItself()
            .shows(R"(TARN message 1 (19 bytes): "first \"one\"\r\nline\r\n")"),
        Row("RepliesAsToldAndStopsWhenAsked")
            .args({"refused"})
            .receiverWith({"--reply", "7"})
            .fails(kReturnsError)
            .wasTold()
            .shows(R"(TARN message 1 (9 bytes): "refused\r\n")"),
        // The Windows stand-in leaves a last error behind every time; a reply
        // of 0 must read as success all the same, run after run.
        Row("ThirtyRepliesOfZeroInARow").repeat(30, false),
    };
}

// In a folder where * and ? match files, a runtime that expanded wildcards
// would hand over file names; the probe, built with expansion on, shows
// that it would.
std::vector<Row> wildcardRows() {
    auto folder = [](const char* name, const std::string& commandLine, const char* bytes) {
        return Row(name, kWindows)
            .line(commandLine)
            .holds(bytes)
            .step(Step::kWrite, "abc", "x")
            .step(Step::kWrite, "alpha.txt", "x")
            .step(Step::kWrite, "beta.txt", "x");
    };
    return {
        folder("Star", "tarnpost *", "*\r\n").step(Step::kProbeExpands, ""),
        folder("QuestionMark", "tarnpost a?c", "a?c\r\n").step(Step::kProbeExpands, ""),
        folder("StarDotTxt", "tarnpost *.txt", "*.txt\r\n").step(Step::kProbeExpands, ""),
        folder("QuotedStar", R"(tarnpost "*")", "*\r\n"),
        folder("QuotedQuestionMark", R"(tarnpost "?eta.txt")", "?eta.txt\r\n"),
    };
}

// Texts from a program that speaks UTF-16, started with CreateProcessW. A
// message or profile directory the ANSI code page cannot hold would arrive
// with look-alikes, so it is refused before anything is written; one it
// holds goes through byte for byte. Which texts this system's code page
// holds is asked at run time: {held} is a character outside ASCII that it
// holds. tarnpost converts long texts in pieces of 256 UTF-16 units, and
// the long rows cross those seams.
std::vector<Row> codePageRows() {
    const std::string lacking = u8"\u0141\u00f3d\u017a\u0100";
    auto refused = [](const std::string& what) {
        return "tarnpost: " + what + " holds characters that code page {acp} cannot represent.\n";
    };
    auto lacks = [&](const char* name, const std::string& line) {
        return Row(name, kWindows)
            .inUtf16()
            .line(line)
            .step(Step::kLacking, "")
            .fails(refused("The message"), FileAfter::kAbsent);
    };
    auto holds = [](const char* name, const std::string& line, const std::string& message) {
        return Row(name, kWindows).inUtf16().line(line).args({message}).step(Step::kHeld, "");
    };
    auto lackingDirectory = [&](const char* name, const char* variable, Environment environment) {
        return Row(name, kWindows)
            .inUtf16()
            .line("tarnpost plain")
            .env(std::move(environment))
            .dirs({lacking})
            .fileIn("{dir}/" + lacking)
            .step(Step::kLacking, lacking)
            .fails(refused(variable), FileAfter::kAbsent);
    };
    auto heldDirectory = [](const char* name, const char* variable, Environment environment) {
        return Row(name, kWindows)
            .inUtf16()
            .line("tarnpost plain")
            .args({"plain"})
            .env(std::move(environment))
            .dirs({"caf{held}"})
            .fileIn("{dir}/caf{held}")
            .step(Step::kHeld, "caf{held}", variable);
    };
    const std::string longHeld = repeated("{held}x", 7 * 400);
    const std::string pair = std::string(255, 'a') + u8"\U0001f600";
    const std::string heldRun = repeated("{held}", 6 * 300);
    return {
        lacks("MessageWithLookAlikes", "tarnpost " + lacking),
        lacks("MessageWithSubstitutesAlone", u8"tarnpost \"\u4e2d\u6587 \u2603\""),
        lacks("MessageWithALoneSurrogate", "tarnpost a\xed\xa0\x80z"),  // held by no code page
        lacks("LongMessageLackingAtTheEnd", "tarnpost " + std::string(600, 'a') + u8"\u2603"),
        holds("LongMessageWithCharactersItHolds", "tarnpost " + longHeld, longHeld),
        // Delivered where the code page is UTF-8, refused in every other.
        holds("SurrogatePairAcrossASeam", "tarnpost " + pair, pair),
        // Three bytes each where the code page is UTF-8: a piece of 256 of
        // them fills its buffer, one of 257 would not fit.
        holds("CharactersItHoldsPastASeam", "tarnpost " + heldRun, heldRun),
        holds("MessageWithACharacterItHolds", "tarnpost \"caf{held} ok\"", "caf{held} ok"),
        holds("ProgramPathTheCodePageLacks", "\"C:\\" + lacking + "\\tarnpost.exe\" \"a b\"",
              "a b"),
        lackingDirectory("ProfileTheCodePageLacks", "USERPROFILE",
                         {{"USERPROFILE", "{dir}/" + lacking}}),
        heldDirectory("ProfileWithACharacterItHolds", "USERPROFILE",
                      {{"USERPROFILE", "{dir}/caf{held}"}}),
        lackingDirectory("DriveTheCodePageLacks", "HOMEDRIVE", {{"HOMEDRIVE", "{dir}/" + lacking}}),
        lackingDirectory("PathTheCodePageLacks", "HOMEPATH",
                         {{"HOMEDRIVE", "{drive}"}, {"HOMEPATH", "{path}/" + lacking}}),
        heldDirectory("PathWithACharacterItHolds", "HOMEPATH",
                      {{"HOMEDRIVE", "{drive}"}, {"HOMEPATH", "{path}/caf{held}"}}),
        // Whatever code page the machine has: {8bit} is every character it
        // keeps in one byte of 0x80 or more, which must arrive as those bytes.
        holds("EveryOneByteCharacterItHolds", "tarnpost \"{8bit}\"", "{8bit}"),
    };
}

std::vector<size_t> sweepLengths() {
    if (kThisPlatform == kWindows) {
        return {0, 1, 2, 238, 239, 254, 255, 256, 300};
    }
    std::vector<size_t> all(301);
    for (size_t length = 0; length < all.size(); ++length) {
        all[length] = length;
    }
    return all;
}

std::string lengthError(Source source, size_t length) {
    const bool fromProfile = source == Source::kProfile;
    const std::string from = fromProfile ? "USERPROFILE" : "HOMEDRIVE plus HOMEPATH";
    if ((fromProfile || source == Source::kDrive) && length > 254) {
        return std::string("tarnpost: ") + (fromProfile ? "USERPROFILE" : "HOMEDRIVE") +
               " is longer than 254 characters.\n";
    }
    if (!fromProfile && length > 255) {
        return "tarnpost: HOMEDRIVE plus HOMEPATH is longer than 255 characters.\n";
    }
    if (length > 238) {
        return "tarnpost: Message directory from " + from + " is longer than 238 characters.\n";
    }
    return "";
}
