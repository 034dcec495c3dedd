// The command as a user meets it: the usage text, what lands in the message
// file and at the Receiver, and where the file goes.
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e_support.h"
#include "tests/usage_text.h"

namespace {

class CommandLine : public E2eTest {};

TEST_F(CommandLine, WithoutArgumentPrintsUsageAndDeliversNothing) {
    const std::string profile = makeDirectory("profile");
    std::unique_ptr<Receiver> receiver = makeReceiver(profile);
    ASSERT_TRUE(receiver->start()) << receiver->failure();

    const RunResult run = runTarnpost({}, profileEnvironment(profile));

    EXPECT_EQ(describe(run.outcome), "exit 0");
    EXPECT_EQ(run.out, usageText());
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(filesBelow(profile), std::vector<std::string>{}) << "no file may be written";
    const ReceiverSummary seen = summarize(receiver->stop());
    EXPECT_EQ(seen.connections, 0) << "the Receiver must not be looked for";
}

TEST_F(CommandLine, UsageThatCannotBeWrittenIsAFailure) {
    const std::string profile = makeDirectory("profile");

    RunOptions options;
    options.stdoutPath = "/dev/full";
    const RunResult run = runTarnpost({}, profileEnvironment(profile), options);

    EXPECT_EQ(describe(run.outcome), "exit 1");
    EXPECT_EQ(run.err, "tarnpost: Cannot write the usage text.\n");
    EXPECT_EQ(filesBelow(profile), std::vector<std::string>{});
}

// A reader that went away (`tarnpost | head -c0`) is a failed write like any
// other: exit 1, never death by SIGPIPE, which callers would see as status 141.
TEST_F(CommandLine, UsageIntoAClosedPipeIsAFailureNotASignal) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    const std::string errPath = makeDirectory("out") + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT, 0600);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    char program[] = TARNPOST_PROGRAM;
    char* argv[] = {program, nullptr};
    char* environment[] = {nullptr};
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, program, &actions, &attributes, argv, environment);
    close(ends[1]);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ASSERT_EQ(spawned, 0) << strerror(spawned);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);

    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(readFile(errPath), "tarnpost: Cannot write the usage text.\n");
}

struct DeliveryCase {
    const char* name;
    std::vector<std::string> arguments;
    std::string fileBytes;  // what the file and the Receiver must hold
};

// Run in this order against one Receiver: a short message after a long one
// also shows that the old file's longer tail is cut off.
const DeliveryCase kDeliveries[] = {
    {"empty message", {""}, "\r\n"},
    {"plain text", {"hello TARN"}, "hello TARN\r\n"},
    {"line feeds", {"one\ntwo\n\nthree\n"}, "one\r\ntwo\r\n\r\nthree\r\n\r\n"},
    {"shorter after longer", {"x"}, "x\r\n"},
    {"lone and paired CR", {"a\rb\r\nc"}, "a\rb\r\r\nc\r\n"},
    {"printf directives", {"%s%n%d%%%x%1$s%*.*s%"}, "%s%n%d%%%x%1$s%*.*s%\r\n"},
    {"8-bit bytes", {"gr\xfc\xdf \xe4\x80\xff\xa0\x81"}, "gr\xfc\xdf \xe4\x80\xff\xa0\x81\r\n"},
    {"quotes and backslashes",
     {"*** File \"c:\\usr\\0sampleVOS.tnr\": line 38"},
     "*** File \"c:\\usr\\0sampleVOS.tnr\": line 38\r\n"},
    {"wildcards arrive as typed", {"*.tnr ?x [ab]"}, "*.tnr ?x [ab]\r\n"},
    {"extra arguments ignored", {"first", "second", "third"}, "first\r\n"},
    {"empty message before extra arguments", {"", "ignored"}, "\r\n"},
};

TEST_F(CommandLine, DeliversTheFirstArgumentByteExactAndSilently) {
    const std::string profile = makeDirectory("profile");
    std::unique_ptr<Receiver> receiver = makeReceiver(profile);
    ASSERT_TRUE(receiver->start()) << receiver->failure();
    const Environment environment = profileEnvironment(profile);

    for (const DeliveryCase& delivery : kDeliveries) {
        SCOPED_TRACE(delivery.name);
        const RunResult run = runTarnpost(delivery.arguments, environment);
        EXPECT_EQ(describe(run.outcome), "exit 0") << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(readFile(messageFileIn(profile)), delivery.fileBytes);
    }

    const std::string shown = receiver->stop();
    EXPECT_EQ(describe(receiver->outcome()), "exit 0");
    const size_t count = std::size(kDeliveries);
    EXPECT_EQ(summarize(shown).notifications, (long)count) << shown;
    EXPECT_EQ(summarize(shown).connections, (long)count) << shown;
    const std::vector<std::string> records = receiver->records();
    ASSERT_EQ(records.size(), count);
    for (size_t i = 0; i < count; ++i) {
        EXPECT_EQ(records[i], kDeliveries[i].fileBytes) << kDeliveries[i].name;
    }
}

// {root} in a value stands for the case's own directory.
struct ResolutionCase {
    const char* name;
    Environment variables;
    const char* expectedDirectory;       // where the file must be, under {root}
    std::vector<const char*> elsewhere;  // where it must not be
};

const ResolutionCase kResolutions[] = {
    {"USERPROFILE comes first",
     {{"USERPROFILE", "{root}/profile"}, {"HOMEDRIVE", "{root}/drive"}, {"HOMEPATH", "/path"}},
     "profile",
     {"drive", "drive/path"}},
    {"empty USERPROFILE falls to HOMEDRIVE and HOMEPATH",
     {{"USERPROFILE", ""}, {"HOMEDRIVE", "{root}/drive"}, {"HOMEPATH", "/path"}},
     "drive/path",
     {"drive", "profile"}},
    {"HOMEPATH follows HOMEDRIVE with no separator",
     {{"HOMEDRIVE", "{root}/dri"}, {"HOMEPATH", "ve/path"}},
     "drive/path",
     {"drive"}},
    {"HOMEDRIVE alone", {{"HOMEDRIVE", "{root}/drive"}}, "drive", {"drive/path"}},
    {"empty HOMEPATH is no HOMEPATH",
     {{"HOMEDRIVE", "{root}/drive"}, {"HOMEPATH", ""}},
     "drive",
     {"drive/path"}},
    {"trailing separator is kept", {{"USERPROFILE", "{root}/profile/"}}, "profile", {}},
    {"relative directory is taken as it comes", {{"USERPROFILE", "profile"}}, "profile", {}},
};

std::string substituteRoot(std::string value, const std::string& root) {
    const std::string marker = "{root}";
    const size_t at = value.find(marker);
    return at == std::string::npos ? value : value.replace(at, marker.size(), root);
}

TEST_F(CommandLine, FindsTheMessageDirectoryThroughTheEnvironment) {
    int index = 0;
    for (const ResolutionCase& resolution : kResolutions) {
        SCOPED_TRACE(resolution.name);
        const std::string caseRoot = makeDirectory("case" + std::to_string(++index));
        for (const char* directory : {"profile", "drive", "drive/path"}) {
            makeDirectory("case" + std::to_string(index) + "/" + directory);
        }
        Environment environment = baseEnvironment();
        for (const auto& [name, value] : resolution.variables) {
            environment[name] = substituteRoot(value, caseRoot);
        }
        const std::string message = std::string("resolution: ") + resolution.name;

        RunOptions options;
        options.workingDirectory = caseRoot;
        const RunResult run = runTarnpost({message}, environment, options);

        EXPECT_EQ(describe(run.outcome), "exit 1");
        EXPECT_EQ(run.err, kNotRunning);
        EXPECT_EQ(readFile(messageFileIn(caseRoot + "/" + resolution.expectedDirectory)),
                  asWritten(message));
        for (const char* other : resolution.elsewhere) {
            EXPECT_FALSE(pathExists(messageFileIn(caseRoot + "/" + other))) << other;
        }
    }
}

// Without USERPROFILE and HOMEDRIVE the file goes to the Windows directory's
// stand-in, the user's home from the password database. Writing into the
// real home of the user running the tests is not acceptable, so these runs
// are made as the unprivileged user whose home does not exist: tarnpost must
// name exactly that place in its error.
TEST_F(CommandLine, WithoutProfileVariablesUsesTheHomeFromThePasswordDatabase) {
    if (!canRunAsOtherUser()) {
        GTEST_SKIP() << "needs root and setpriv to run as another user";
    }
    const struct passwd* entry = getpwuid(kOtherUser);
    if (entry == nullptr || pathExists(entry->pw_dir)) {
        GTEST_SKIP() << "needs a user " << kOtherUser << " whose home directory does not exist";
    }
    const std::string home = entry->pw_dir;
    const RunOptions options = otherUserOptions();
    // A place the user could write to: were HOMEPATH taken on its own, the
    // run would end in "not running" with a file here, not in the error.
    const std::string homePath = makeDirectory("homepath");
    ASSERT_EQ(chown(homePath.c_str(), kOtherUser, kOtherUser), 0);

    const Environment variants[] = {
        {},
        {{"HOMEPATH", homePath}},
        {{"USERPROFILE", ""}, {"HOMEDRIVE", ""}, {"HOMEPATH", homePath}},
    };
    for (const Environment& variables : variants) {
        Environment environment = baseEnvironment();
        environment.insert(variables.begin(), variables.end());
        const RunResult run = runTarnpost({"to the home"}, environment, options);
        EXPECT_EQ(describe(run.outcome), "exit 1");
        EXPECT_EQ(run.err, cannotCreate(messageFileIn(home)));
    }
    EXPECT_EQ(filesBelow(homePath), std::vector<std::string>{});
}

}  // namespace
