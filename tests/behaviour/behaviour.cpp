// Runs each row of the table as one test: the set-up, the Receivers, the
// runs of tarnpost, and every check of what followed.
#include "tests/behaviour/behaviour.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "tests/line_ends.h"

const char kClosedPipe[] = "<closed pipe>";
RunOptions runOptions;
int startsMadeAgain = 0;

bool readFile(const std::string& path, std::string* bytes) {
    bytes->clear();
    FILE* file = openFile(path, "rb");
    if (file == nullptr) {
        return false;
    }
    char buffer[4096];
    for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;) {
        bytes->append(buffer, got);
    }
    const bool read = ferror(file) == 0;
    return fclose(file) == 0 && read;
}

bool writeFile(const std::string& path, const std::string& bytes) {
    FILE* file = openFile(path, "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && written;
}

// The way Windows runtimes split a command line, run backwards: blanks,
// quotes and empty arguments are quoted, and backslashes doubled only where
// a quote follows them.
std::string quoteArguments(const std::vector<std::string>& argv) {
    std::string line;
    for (const std::string& argument : argv) {
        line += line.empty() ? "" : " ";
        if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
            line += argument;
            continue;
        }
        line += '"';
        size_t backslashes = 0;
        for (const char c : argument) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            line.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
            line += c;
            backslashes = 0;
        }
        line.append(2 * backslashes, '\\');
        line += '"';
    }
    return line;
}

namespace {

// Generous: a healthy run takes milliseconds; the limit only turns a hang
// into a failure.
const int kLimitMs = 60000;
// Long enough for a run that ignored the lock to have finished.
const int kLockWaitMs = 1500;

void nap(int milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

// `text` with control and 8-bit bytes escaped, for readable failures.
std::string printable(const std::string& text) {
    std::string shown;
    for (const unsigned char c : text) {
        char escaped[8];
        snprintf(escaped, sizeof escaped, c < 0x20 || c >= 0x7f ? "\\x%02x" : "%c", c);
        shown += escaped;
    }
    return shown;
}

// The message of run `index`; runs of one row differ in length too, so that
// a file mixed from two of them or cut short shows.
std::string messageOfRun(const Row& row, int index) {
    const std::string first = row.arguments.empty() ? "" : row.arguments[0];
    if (row.runs == 1) {
        return first;
    }
    return first + " " + std::to_string(index) +
           std::string((size_t)(index * 997) % 20000, (char)('a' + index % 26));
}

std::string expectedBytes(const Row& row, int index) {
    return row.fileBytes.empty() ? asWritten(messageOfRun(row, index)) : row.fileBytes;
}

// The file's path with doubled separators made single, as listings show it.
std::string plainPath(std::string path) {
    const std::string twice(2, kSeparator);
    for (size_t at = path.find(twice, 1); at != std::string::npos; at = path.find(twice, at)) {
        path.erase(at, 1);
    }
    return path;
}

struct Receiver {
    Launch launch;
    std::string work;
    Child child = 0;
    std::string end;  // how it ended, once it did

    std::vector<std::string> records() const {
        std::vector<std::string> contents;
        for (const std::string& name : entriesBelow(work + kSeparator + "record")) {
            std::string bytes;
            readFile(name, &bytes);
            contents.push_back(bytes);
        }
        return contents;
    }
    std::string output() const {
        std::string text;
        readFile(work + kSeparator + "out", &text);
        text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
        return text;
    }
};

}  // namespace

std::string Scene::expand(std::string text) const {
    for (size_t at = text.find("{socketdir:"); at != std::string::npos;
         at = text.find("{socketdir:")) {
        // A directory whose socket path is exactly N characters long.
        const size_t end = text.find('}', at);
        const size_t length = strtoul(text.c_str() + at + 11, nullptr, 10);
        const size_t padding = length - dir().size() - 2 - strlen(TARN_CLASS_NAME);
        text.replace(at, end + 1 - at, dir() + kSeparator + std::string(padding, 'r'));
    }
    for (const auto& [name, value] : placeholders) {
        for (size_t at = text.find(name); at != std::string::npos;
             at = text.find(name, at + value.size())) {
            text.replace(at, name.size(), value);
        }
    }
    return text;
}

std::string Scene::path(const std::string& rowPath) const {
    std::string local = rowPath;
    std::replace(local.begin(), local.end(), '/', kSeparator);
    local = expand(local);
    const bool absolute = local[0] == kSeparator || (local.size() > 1 && local[1] == ':');
    return absolute ? local : dir() + kSeparator + local;
}

namespace {

class Behaviour : public testing::TestWithParam<Row> {
protected:
    void TearDown() override;

    void fillPlaceholders();
    void arrange();
    void startReceiver(const std::vector<std::string>& options, bool asOther);
    Launch tarnpostLaunch(const Row& row, int index);
    void runAll();
    void runWhileLocked();
    void startOneTarnIsBusyWith();
    void checkRun(int index, const std::string& end, const Launch& launch);
    void checkReceivers();
    void checkFiles();
    void runSweep();

    std::unique_ptr<Scene> scene_;
    std::string file_;                 // the message file's path
    std::vector<Receiver> receivers_;  // the Receiver first, then a decoy
    std::vector<std::string> wrapper_;
    // Every entry below {dir} before and after the runs.
    std::map<std::string, std::string> before_;
    std::map<std::string, std::string> after_;
    std::string fileBefore_;
    std::string lockBefore_;
    int outputs_ = 0;
    Child earlier_ = 0;  // the delivery the busy Receiver has yet to read
    // Where strace tells of the pause (see Row::pauseAt).
    std::string pauseLog() const {
        return scene_->root + kSeparator + "o" + kSeparator + "trace";
    }
};

void Behaviour::fillPlaceholders() {
    Scene& scene = *scene_;
    scene.placeholders = {{"{dir}", scene.dir()}, {"{run}", scene.root + kSeparator + "run"}};
    beginRow(scene);
    file_ = scene.path(scene.row.fileDirectory) + kSeparator + TARN_MESSAGE_FILE_NAME;
    scene.placeholders.push_back({"{file}", file_});
    std::string socket = scene.path("{run}/" TARN_CLASS_NAME);
    const std::vector<std::string>& options = scene.row.receiverOptions;
    const auto chosen = std::find(options.begin(), options.end(), "--socket");
    if (chosen != options.end() && chosen + 1 != options.end()) {
        socket = scene.expand(chosen[1]);
    }
    scene.placeholders.push_back({"{cut}", socket.substr(0, socket.size() - 1)});
}

void Behaviour::startReceiver(const std::vector<std::string>& options, bool asOther) {
    Scene& scene = *scene_;
    Receiver receiver;
    receiver.work = scene.root + kSeparator + "r" + std::to_string(receivers_.size());
    const std::string ready = receiver.work + kSeparator + "ready";
    ASSERT_TRUE(makeDirectories(receiver.work + kSeparator + "record"));
    Launch& launch = receiver.launch;
    if (asOther) {
        giveToOtherUser(receiver.work);
        giveToOtherUser(receiver.work + kSeparator + "record");
        launch.argv = asOtherUser(scene);
    }
    launch.argv.push_back(asOther ? scene.expand("{bin}/tarn-receiver") : programs().receiver);
    for (const std::string& option :
         {std::string("--dir"), scene.path(scene.row.fileDirectory), std::string("--record"),
          receiver.work + kSeparator + "record", std::string("--ready"), ready}) {
        launch.argv.push_back(option);
    }
    for (const std::string& option : options) {
        launch.argv.push_back(scene.expand(option));
    }
    launch.environment = baseEnvironment(scene);
    launch.workingDirectory = receiver.work;
    launch.stdoutPath = receiver.work + kSeparator + "out";
    launch.stderrPath = receiver.work + kSeparator + "err";
    std::string error;
    receiver.child = start(launch, &error);
    ASSERT_NE(receiver.child, 0) << "cannot start the Receiver: " << error;
    receivers_.push_back(receiver);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
    while (describe(ready) == "absent") {
        const std::string end = ended(receiver.child);
        if (!end.empty() || std::chrono::steady_clock::now() > deadline) {
            std::string why;
            readFile(launch.stderrPath, &why);
            receivers_.back().end = end.empty() ? finish(receiver.child, 0) : end;
            FAIL() << "the Receiver did not get ready (" << receivers_.back().end << "): " << why;
        }
        nap(5);
    }
}

// Directories, the Receivers and the set-up steps, in that order but for
// the steps that change the place the Receivers listen in.
void Behaviour::arrange() {
    Scene& scene = *scene_;
    const Row& row = scene.row;
    if (row.asOtherUser || row.receiverAsOtherUser) {
        wrapper_ = asOtherUser(scene);
        if (row.receiverAsOtherUser) {
            giveToOtherUser(scene.expand("{run}"));
        }
    }
    for (const std::string& directory : row.directories) {
        ASSERT_TRUE(makeDirectories(scene.path(directory))) << directory;
    }
    for (const int stage : {0, 1}) {
        for (const Step& step : row.steps) {
            if (step.stage != stage || !scene.skip.empty()) {
                continue;
            }
            const std::string path = scene.path(step.path);
            if (step.kind == Step::kWrite) {
                ASSERT_TRUE(writeFile(path, step.value)) << path;
            } else if (step.kind == Step::kDirectory) {
                ASSERT_TRUE(makeDirectories(path)) << path;
            } else if (step.kind == Step::kAbsent && describe(path) != "absent") {
                scene.skip = "needs nothing at " + path;
            } else if (step.kind != Step::kAbsent) {
                prepare(step, scene);
            }
            ASSERT_FALSE(HasFatalFailure());
        }
        if (stage == 0 && row.receiver && scene.skip.empty()) {
            startReceiver(row.receiverOptions, row.receiverAsOtherUser);
            ASSERT_FALSE(HasFatalFailure());
            if (!row.decoyOptions.empty()) {
                startReceiver(row.decoyOptions, false);
            }
        }
    }
}

Launch Behaviour::tarnpostLaunch(const Row& row, int index) {
    Scene& scene = *scene_;
    Launch launch;
    launch.argv = wrapper_;
    if (!row.pauseAt.empty()) {
        // clang-format off
        const std::vector<std::string> pause = {
            "/usr/bin/strace", "-o", pauseLog(), "-P", scene.expand(row.pauseAt),
            "-e", "trace=openat", "-e", "inject=openat:signal=SIGSTOP:when=1", "--"};
        // clang-format on
        launch.argv.insert(launch.argv.end(), pause.begin(), pause.end());
    }
    for (const std::string& program : row.wrapper) {
        launch.argv.push_back(program);
    }
    launch.argv.push_back(row.asOtherUser ? scene.expand("{bin}/tarnpost") : programs().tarnpost);
    std::vector<std::string> arguments = row.arguments;
    if (!arguments.empty()) {
        arguments[0] = messageOfRun(row, index);
    }
    launch.argv.insert(launch.argv.end(), arguments.begin(), arguments.end());
    arguments.insert(arguments.begin(), "tarnpost");
    launch.commandLine = row.commandLine.empty() ? quoteArguments(arguments) : row.commandLine;
    launch.wide = row.wide;
    launch.mediumIntegrity = row.mediumIntegrity;
    if (row.wide) {
        launch.commandLine = scene.expand(launch.commandLine);
    }
    std::map<std::string, std::string> variables;  // by name
    for (const std::string& variable : baseEnvironment(scene)) {
        variables[variable.substr(0, variable.find('='))] = variable;
    }
    for (const auto& [name, value] : row.environment) {
        std::string local = value;
        std::replace(local.begin(), local.end(), '/', kSeparator);
        variables[name] = name + "=" + scene.expand(local);
        if (value == "{unset}") {
            variables.erase(name);
        }
    }
    if (!row.pauseAt.empty()) {
        // The sanitizers' leak check cannot run under strace.
        variables["LSAN_OPTIONS"] = "LSAN_OPTIONS=detect_leaks=0";
    }
    for (const auto& variable : variables) {
        launch.environment.push_back(variable.second);
    }
    launch.workingDirectory = scene.path(row.workingDirectory);
    const std::string stem =
        scene.root + kSeparator + "o" + kSeparator + std::to_string(++outputs_);
    launch.stdoutPath = row.stdoutTo.empty() ? stem + ".out" : row.stdoutTo;
    launch.stderrPath = stem + ".err";
    return launch;
}

void Behaviour::checkRun(int index, const std::string& end, const Launch& launch) {
    const Row& row = scene_->row;
    SCOPED_TRACE("run " + std::to_string(index));
    EXPECT_EQ(end, row.endSignal != 0 ? "signal " + std::to_string(row.endSignal)
                                      : "exit " + std::to_string(row.exitStatus));
    std::string out;
    std::string err;
    readFile(launch.stderrPath, &err);
    if (row.stdoutTo.empty()) {
        readFile(launch.stdoutPath, &out);
        EXPECT_EQ(printable(out), printable(asStreamed(row.out)));
    }
    std::string expected = row.err;
    std::replace(expected.begin(), expected.end(), '/', kSeparator);
    expected = asStreamed(scene_->expand(expected));
    const std::string other = asStreamed(row.errOr);
    if (row.errOr.empty() || err != other) {
        EXPECT_EQ(printable(err), printable(expected));
    }
    if (!row.errOr.empty()) {
        // Which of the right lines this system gave, for the XML report.
        RecordProperty("stderr", printable(err));
    }
}

void Behaviour::runAll() {
    const Row& row = scene_->row;
    std::vector<Launch> launches;
    for (int i = 0; i < row.runs; ++i) {
        launches.push_back(tarnpostLaunch(row, i));
    }
    std::string error;
    if (row.atOnce) {
        const std::vector<Child> children = startTogether(launches, &error);
        ASSERT_EQ(children.size(), launches.size()) << error;
        for (int i = 0; i < row.runs; ++i) {
            checkRun(i, finish(children[i], kLimitMs), launches[i]);
        }
        return;
    }
    for (int i = 0; i < row.runs; ++i) {
        const Child child = start(launches[i], &error);
        ASSERT_NE(child, 0) << error;
        const bool paused = row.pauseAt.empty() || whilePaused(child, pauseLog(), [this] {
                                for (const Step& step : scene_->row.steps) {
                                    if (step.stage == 2) {
                                        prepare(step, *scene_);
                                    }
                                }
                            });
        EXPECT_TRUE(paused) << "tarnpost never opened " << row.pauseAt;
        checkRun(i, finish(child, kLimitMs), launches[i]);
    }
}

// While another holds the lock, tarnpost must wait: no file written, no
// Receiver told; a holder that dies, even holding it, must not keep it.
void Behaviour::runWhileLocked() {
    const Row& row = scene_->row;
    ASSERT_TRUE(holdLock(row.holder, file_)) << "the lock could not be taken";
    const Launch launch = tarnpostLaunch(row, 0);
    std::string error;
    const Child child = start(launch, &error);
    if (child == 0) {
        releaseLock();
        FAIL() << error;
    }
    if (row.holder != Holder::kDead) {
        nap(kLockWaitMs);
        EXPECT_EQ(ended(child), "") << "ended while the lock was held";
        EXPECT_EQ(describe(file_), fileBefore_) << "written while the lock was held";
        EXPECT_EQ(receivers_[0].records().size(), 0u) << "told while the lock was held";
        releaseLock();
    }
    const std::string end = finish(child, kLimitMs);
    releaseLock();  // what a dead holder left
    checkRun(0, end, launch);
}

// The message of the delivery TARN is busy with when the row's runs start.
const char kEarlierMessage[] = "the one TARN is busy with";

bool startsOneTarnIsBusyWith(Holder holder) {
    return holder == Holder::kEndedUnread || holder == Holder::kInItsRoundTrip;
}

// Starts a delivery and waits until the Receiver is busy with it. Ended
// there, as a Ctrl+C on a tarnpost that seems to hang ends it, it leaves its
// notification for the Receiver to handle later, when the next delivery may
// be rewriting the file; kept, it holds the next ones up in its round trip.
void Behaviour::startOneTarnIsBusyWith() {
    Row earlier = scene_->row;
    earlier.arguments = {kEarlierMessage};
    earlier.runs = 1;
    const Launch launch = tarnpostLaunch(earlier, 0);
    std::string error;
    const Child child = start(launch, &error);
    ASSERT_NE(child, 0) << error;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLimitMs);
    while (receivers_[0].output().find("TARN busy") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline && ended(child).empty()) {
        nap(5);
    }
    if (scene_->row.holder == Holder::kInItsRoundTrip) {
        earlier_ = child;
        return;
    }
    ASSERT_EQ(finish(child, 0), "timed out") << "it ended before the Receiver got to it";
}

void Behaviour::checkReceivers() {
    const Row& row = scene_->row;
    for (size_t i = 0; i < receivers_.size(); ++i) {
        Receiver& receiver = receivers_[i];
        const bool decoy = i > 0;
        SCOPED_TRACE(decoy ? "the decoy" : "the Receiver");
        if (row.receiverStopsItself && !decoy) {
            receiver.end = finish(receiver.child, kLimitMs);
        } else if ((receiver.end = ended(receiver.child)).empty()) {
            askToStop(receiver.child, receiver.launch);
            receiver.end = finish(receiver.child, kLimitMs);
        }
        const bool dies = row.receiverDies && !decoy;
        EXPECT_EQ(receiver.end, dies ? kReceiverDeath : "exit 0");
        const bool told = row.told && !decoy;
        std::vector<std::string> expected;
        for (int run = 0; told && run < row.runs; ++run) {
            expected.push_back(expectedBytes(row, run));
        }
        const bool earlier = startsOneTarnIsBusyWith(row.holder) && !decoy;
        if (earlier) {
            expected.push_back(asWritten(kEarlierMessage));
        }
        std::vector<std::string> records = receiver.records();
        if (earlier && !records.empty()) {
            EXPECT_EQ(records[0], expected.back()) << "the earlier message was not read first";
        }
        std::sort(records.begin(), records.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_TRUE(records == expected)
            << "read " << records.size() << " messages, expected " << expected.size()
            << "; the first read: " << printable(records.empty() ? "" : records[0]);
        std::string complaints;
        readFile(receiver.launch.stderrPath, &complaints);
        EXPECT_EQ(complaints, "");
        const std::string output = receiver.output();
        std::istringstream lines(output);
        std::vector<std::string> seen;
        long notifications = -1;
        long connections = -1;
        for (std::string line; std::getline(lines, line);) {
            seen.push_back(line);
            EXPECT_EQ(line.find("unexpected"), std::string::npos) << line;
            EXPECT_EQ(line.find("cannot"), std::string::npos) << line;
            sscanf(line.c_str(), "TARN stopped after %ld notifications on %ld connections",
                   &notifications, &connections);
        }
        for (const std::string& line : decoy ? std::vector<std::string>() : row.receiverShows) {
            EXPECT_NE(std::find(seen.begin(), seen.end(), line), seen.end()) << line << "\n"
                                                                             << output;
        }
        if (!dies) {
            EXPECT_EQ(notifications, (long)expected.size()) << output;
        }
        if (!dies && kThisPlatform == kPosix) {
            const int bare = decoy ? 0 : row.bareConnections * row.runs;
            // Each message read came with its no-op, each on a connection.
            EXPECT_EQ(connections, 2 * (long)expected.size() + bare) << output;
        }
    }
}

void Behaviour::checkFiles() {
    const Row& row = scene_->row;
    const std::string now = describe(file_);  // never opens a pipe or device
    std::string bytes;
    bool whole = false;
    switch (row.file) {
    case FileAfter::kMessage:
        EXPECT_TRUE(now == "file:" + expectedBytes(row, row.runs - 1))
            << printable(now.substr(0, 200)) << " (" << now.size() << " bytes) at " << file_;
        break;
    case FileAfter::kAbsent:
        EXPECT_EQ(now, "absent");
        break;
    case FileAfter::kUnchanged:
        EXPECT_EQ(printable(now), printable(fileBefore_));
        break;
    case FileAfter::kEmpty:  // read through a link
        EXPECT_TRUE(readFile(file_, &bytes) && bytes.empty()) << printable(now);
        break;
    case FileAfter::kReplaced:
        break;
    case FileAfter::kOneOfRuns:
        for (int i = 0; i < row.runs; ++i) {
            whole = whole || now == "file:" + expectedBytes(row, i);
        }
        EXPECT_TRUE(whole) << "the file holds no run's message whole";
    }
    // Nothing below {dir} appeared, changed or went during the runs but the
    // message file and its lock.
    const std::string file = plainPath(file_);
    std::map<std::string, std::string> after = after_;
    std::map<std::string, std::string> was = before_;
    for (auto* entries : {&after, &was}) {
        entries->erase(file);
        entries->erase(file + ".lock");
    }
    std::string changed;
    for (auto* entries : {&after, &was}) {
        for (const auto& entry : *entries) {
            changed += after[entry.first] != was[entry.first] ? entry.first + "\n" : "";
        }
    }
    EXPECT_EQ(changed, "") << "changed besides the message file";
    for (const Check check : row.checks) {
        if (check == Check::kLockUnchanged) {
            EXPECT_EQ(describe(file_ + ".lock"), lockBefore_);
        } else if (check == Check::kStillALink) {
            EXPECT_EQ(describe(file_).rfind("link to ", 0), 0u) << describe(file_);
        } else {
            checkMore(check, *scene_);
        }
    }
}

// A directory name of exactly `length` characters inside `sandbox`: absolute
// when the sandbox's own name leaves room, else relative to it (the only way
// to reach the short lengths). Components stay under every name limit.
std::string directoryOfLength(const std::string& sandbox, size_t length) {
    std::string text = length >= sandbox.size() + 2 ? sandbox : "";
    while (text.size() < length) {
        const bool first = text.empty();
        const size_t rest = length - text.size();
        size_t piece = std::min<size_t>(rest, first ? 200 : 201);
        if (rest - piece == 1) {
            --piece;  // leave room for one more separator and letter
        }
        text += first ? std::string(piece, 'd') : kSeparator + std::string(piece - 1, 'd');
    }
    return text;
}

// Every length of directory from one source: below the limits the file
// lands there and, with no Receiver, the run ends in "not running"; above
// them it ends in the length error with nothing written anywhere. The
// directories exist wherever the system allows, so an error can only come
// from the length. Each run is one line, so a failure shows the runs that
// went wrong.
void Behaviour::runSweep() {
    const Source source = scene_->row.sweep;
    std::vector<std::string> wrong;
    for (const size_t length : sweepLengths()) {
        if (length == 0 && source != Source::kProfile) {
            continue;  // an empty HOMEDRIVE means the Windows directory
        }
        const std::string sandbox = scene_->dir() + kSeparator + std::to_string(length);
        std::string directory = directoryOfLength(sandbox, length);
        std::string absolute =
            directory.rfind(sandbox, 0) == 0 ? directory : sandbox + kSeparator + directory;
        Row row("sweep");
        row.workingDirectory = sandbox;
        row.args({"sweep " + scene_->row.name + " " + std::to_string(length)});
        const size_t half = (length + 1) / 2;
        if (length == 0) {
            // An empty USERPROFILE counts as none: the next source answers.
            absolute = sandbox + kSeparator + "fallback";
            row.env({{"USERPROFILE", ""}, {"HOMEDRIVE", absolute}});
        } else if (source == Source::kProfile) {
            row.env({{"USERPROFILE", directory}});
        } else if (source == Source::kDrive) {
            row.env({{"HOMEDRIVE", directory}});
        } else {
            row.env(
                {{"HOMEDRIVE", directory.substr(0, half)}, {"HOMEPATH", directory.substr(half)}});
        }
        const std::string error = lengthError(source, length);
        const bool made = makeDirectories(absolute);
        if (!made && (kThisPlatform == kPosix || error.empty())) {
            ADD_FAILURE() << "cannot make " << absolute;
        }
        const Launch launch = tarnpostLaunch(row, 0);
        std::string why;
        const Child child = start(launch, &why);
        const std::string end = child == 0 ? why : finish(child, kLimitMs);
        std::string out;
        std::string err;
        std::string bytes;
        readFile(launch.stdoutPath, &out);
        readFile(launch.stderrPath, &err);
        readFile(absolute + kSeparator + TARN_MESSAGE_FILE_NAME, &bytes);
        size_t stray = 0;
        for (const std::string& entry : entriesBelow(sandbox)) {
            const bool expected = error.empty() && entry.rfind(absolute, 0) == 0;
            stray += describe(entry) != "directory" && !expected ? 1 : 0;
        }
        const std::string expected =
            "exit 1, stdout \"\", stderr \"" +
            printable(asStreamed(error.empty()
                                     ? "tarnpost: Program TARN not running (or an old version).\n"
                                     : error)) +
            "\", file \"" + printable(error.empty() ? asWritten(row.arguments[0]) : "") +
            "\", 0 stray";
        const std::string actual = end + ", stdout \"" + printable(out) + "\", stderr \"" +
                                   printable(err) + "\", file \"" + printable(bytes) + "\", " +
                                   std::to_string(stray) + " stray";
        if (actual != expected) {
            wrong.push_back("length " + std::to_string(length) + ": expected " + expected +
                            "\n  actual " + actual);
        }
    }
    EXPECT_EQ(wrong.size(), 0u) << (wrong.empty() ? "" : wrong.front()) << "\n"
                                << (wrong.size() > 1 ? wrong.back() : "");
}

TEST_P(Behaviour, Holds) {
    scene_ = std::make_unique<Scene>(GetParam());
    const Row& row = scene_->row;
    scene_->root = makeScratch();
    ASSERT_FALSE(scene_->root.empty()) << "no scratch directory";
    fillPlaceholders();
    ASSERT_TRUE(makeDirectories(scene_->dir()) && makeDirectories(scene_->expand("{run}")) &&
                makeDirectories(scene_->root + kSeparator + "o"));
    if (row.sweep != Source::kNone) {
        runSweep();
        return;
    }
    checkPlace(*scene_, plainPath(file_));
    arrange();
    if (!scene_->skip.empty()) {
        GTEST_SKIP() << "skipped: " << scene_->skip;
    }
    ASSERT_FALSE(HasFatalFailure());
    for (const std::string& entry : entriesBelow(scene_->dir())) {
        before_[entry] = describe(entry);
    }
    const bool outside = plainPath(file_).rfind(scene_->dir(), 0) != 0;
    if (outside && row.file != FileAfter::kUnchanged && row.file != FileAfter::kAbsent) {
        removeTree(file_);  // the Windows directory, the full disk: written anew
        scene_->undo.push_back([this] { removeTree(file_); });
    }
    fileBefore_ = describe(file_);
    lockBefore_ = describe(file_ + ".lock");
    if (row.holder == Holder::kNone || startsOneTarnIsBusyWith(row.holder)) {
        if (row.holder != Holder::kNone) {
            startOneTarnIsBusyWith();
        }
        ASSERT_FALSE(HasFatalFailure());
        runAll();
        if (earlier_ != 0) {
            EXPECT_EQ(finish(earlier_, kLimitMs), "exit 0") << "the delivery TARN was busy with";
        }
    } else {
        runWhileLocked();
    }
    for (const std::string& entry : entriesBelow(scene_->dir())) {
        after_[entry] = describe(entry);  // before the Receivers remove their sockets
    }
    checkReceivers();
    checkFiles();
}

void Behaviour::TearDown() {
    for (Receiver& receiver : receivers_) {
        if (receiver.end.empty()) {
            finish(receiver.child, 0);
        }
    }
    if (!scene_) {
        return;
    }
    for (auto undo = scene_->undo.rbegin(); undo != scene_->undo.rend(); ++undo) {
        (*undo)();
    }
    if (HasFailure() && getenv("TARNPOST_KEEP") != nullptr) {
        printf("kept %s\n", scene_->root.c_str());
    } else if (!scene_->root.empty()) {
        removeTree(scene_->root);
    }
}

std::vector<Row> here(std::vector<Row> rows) {
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [](const Row& row) { return (row.platforms & kThisPlatform) == 0; }),
               rows.end());
    return rows;
}

std::string nameOf(const testing::TestParamInfo<Row>& info) {
    return info.param.name;
}

}  // namespace

Row::Row(std::string rowName, unsigned rowPlatforms)
    : name(std::move(rowName)),
      platforms(rowPlatforms),
      arguments{"message of " + name + "\nline 2 %s"} {}

// Names the row in listings instead of dumping its bytes.
void PrintTo(const Row& row, std::ostream* stream) {
    *stream << row.name;
}

INSTANTIATE_TEST_SUITE_P(Usage, Behaviour, testing::ValuesIn(here(usageRows())), nameOf);
INSTANTIATE_TEST_SUITE_P(Messages, Behaviour, testing::ValuesIn(here(messageRows())), nameOf);
INSTANTIATE_TEST_SUITE_P(Directories, Behaviour, testing::ValuesIn(here(directoryRows())), nameOf);
INSTANTIATE_TEST_SUITE_P(Lengths, Behaviour, testing::ValuesIn(here(lengthRows())), nameOf);
INSTANTIATE_TEST_SUITE_P(Faults, Behaviour, testing::ValuesIn(here(faultRows())), nameOf);
INSTANTIATE_TEST_SUITE_P(Replies, Behaviour, testing::ValuesIn(here(replyRows())), nameOf);
INSTANTIATE_TEST_SUITE_P(RuntimeDirectory, Behaviour,
                         testing::ValuesIn(here(runtimeDirectoryRows())), nameOf);
INSTANTIATE_TEST_SUITE_P(Lock, Behaviour, testing::ValuesIn(here(lockRows())), nameOf);
INSTANTIATE_TEST_SUITE_P(StandIn, Behaviour, testing::ValuesIn(here(standInRows())), nameOf);
INSTANTIATE_TEST_SUITE_P(Wildcards, Behaviour, testing::ValuesIn(here(wildcardRows())), nameOf);
INSTANTIATE_TEST_SUITE_P(CodePage, Behaviour, testing::ValuesIn(here(codePageRows())), nameOf);

namespace {

const char kOptions[] =
    "options besides GoogleTest's:\n"
    "  --full-disk=DIR    Windows: DIR holds the host's \"disk\" and \"device\" folders\n"
    "  --system-folders   Windows: rows may write in the Windows directory and a drive's root\n";

bool parseOptions(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option.rfind("--full-disk=", 0) == 0) {
            runOptions.fullDisk = option.substr(12);
        } else if (option == "--system-folders") {
            runOptions.systemFolders = true;
        } else {
            fprintf(stderr, "behaviour_test: unknown option %s\n%s", argv[i], kOptions);
            return false;
        }
    }
    return true;
}

}  // namespace

// Refuses to start beside a window of the Receiver's class, and ends with
// one line that counts the rows: exit status 0 only when every row that ran
// passed.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!parseOptions(argc, argv)) {
        return 2;
    }
    const std::string why = refusal();
    if (!why.empty()) {
        fprintf(stderr, "behaviour_test: not run: %s\n", why.c_str());
        return 2;
    }
    const int status = RUN_ALL_TESTS();
    if (!testing::GTEST_FLAG(list_tests)) {
        const testing::UnitTest& unit = *testing::UnitTest::GetInstance();
        if (startsMadeAgain > 0) {
            printf("behaviour: %d program starts made again (Wine lost the new process)\n",
                   startsMadeAgain);
        }
        printf("behaviour: %d passed, %d failed, %d skipped\n", unit.successful_test_count(),
               unit.failed_test_count(), unit.skipped_test_count());
    }
    return status;
}
