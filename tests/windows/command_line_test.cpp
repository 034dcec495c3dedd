// The command as a Windows user meets it: the usage text, what the Receiver
// finds in the message file for a given command line, and wildcards.
#include <gtest/gtest.h>

#include "harness.h"
#include "tests/usage_text.h"

using namespace harness;

namespace {

class CommandLine : public ProfileWithReceiver {};

TEST_F(CommandLine, WithoutArgumentPrintsUsageAndDeliversNothing) {
    const RunResult run = runTarnpost("tarnpost", profileEnvironment());

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(printable(run.out), printable(crlf(usageText())));
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(listDirectory(profile.path()), std::vector<std::string>{})
        << "no file may be written";
    EXPECT_EQ(receiver.notifications().size(), 0u) << "the Receiver must not be told";
}

TEST_F(CommandLine, UsageThatCannotBeWrittenIsAFailure) {
    RunOptions options;
    options.stdoutBroken = true;
    const RunResult run = runTarnpost("tarnpost", profileEnvironment(), options);

    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(printable(run.err), printable(errorLine("Cannot write the usage text.")));
    EXPECT_EQ(receiver.notifications().size(), 0u);
}

struct MessageCase {
    const char* name;
    std::string commandLine;  // exactly as CreateProcess passes it
    std::string fileBytes;    // what the Receiver must read, and what stays on disk
};

std::string allHighBytes() {
    std::string bytes;
    for (int c = 0x80; c <= 0xff; ++c) {
        bytes += (char)c;
    }
    return bytes;
}

// The longest message a Windows command line can carry: 32,767 characters
// with the terminator, of which `tarnpost ""` takes 11.
std::string longestMessage() {
    const std::string alphabet = "abcdefghijklmnopqrstuvwxyz0123456789 .,;:-_+=<>|&^%!";
    std::string message;
    while (message.size() < 32767 - 1 - 11) {
        message += alphabet[message.size() % alphabet.size()];
    }
    return message;
}

// Run in this order against one window: a short message after a long one
// also shows that the file is truncated, not overwritten in place.
const std::vector<MessageCase>& messageCases() {
    static const std::vector<MessageCase> cases = {
        {"usage example", R"(tarnpost "*** File \"c:\usr\0sampleVOS.tnr\": line 38")",
         "*** File \"c:\\usr\\0sampleVOS.tnr\": line 38\r\n"},
        {"empty argument", R"(tarnpost "")", "\r\n"},
        {"unquoted word", "tarnpost hello", "hello\r\n"},
        {"blanks kept", R"(tarnpost "a  b   c ")", "a  b   c \r\n"},
        {"extra arguments ignored", R"(tarnpost first second "third one")", "first\r\n"},
        {"empty argument before extra ones", R"(tarnpost "" ignored)", "\r\n"},
        {"embedded line feeds", "tarnpost \"one\ntwo\n\nthree\n\"",
         "one\r\ntwo\r\n\r\nthree\r\n\r\n"},
        {"shorter after longer", "tarnpost x", "x\r\n"},
        {"carriage return kept", "tarnpost \"a\rb\r\nc\"", "a\rb\r\r\nc\r\n"},
        {"printf directives", R"(tarnpost "%s%n%d%%%x%1$s%*.*s%")", "%s%n%d%%%x%1$s%*.*s%\r\n"},
        {"8-bit ANSI bytes", "tarnpost \"gr\xfc\xdf \xe4\x80\xff\xa0\x81\"",
         "gr\xfc\xdf \xe4\x80\xff\xa0\x81\r\n"},
        {"every 8-bit byte", "tarnpost \"" + allHighBytes() + "\"", allHighBytes() + "\r\n"},
        {"backslashes before a quote", R"(tarnpost "a\\\"b\\" c)", "a\\\"b\\\r\n"},
        {"longest command line", "tarnpost \"" + longestMessage() + "\"",
         longestMessage() + "\r\n"},
    };
    return cases;
}

TEST_F(CommandLine, DeliversTheFirstArgumentByteExactAndSilently) {
    size_t notified = 0;
    for (const MessageCase& c : messageCases()) {
        SCOPED_TRACE(c.name);
        const RunResult run = runTarnpost(c.commandLine, profileEnvironment());

        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0u) << printable(run.err);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(printable(run.err), "");
        const std::vector<Notification> seen = receiver.notifications();
        ASSERT_EQ(seen.size(), notified + 1) << "the window is told exactly once";
        const Notification& last = seen.back();
        EXPECT_EQ(last.wParam, 0u);
        EXPECT_EQ(last.lParam, 0);
        EXPECT_TRUE(last.fileRead)
            << "file still open or missing when the window was told, error " << last.readError;
        EXPECT_EQ(printable(last.fileBytes), printable(c.fileBytes));
        std::string onDisk;
        EXPECT_TRUE(readFile(profile.file(TARN_MESSAGE_FILE_NAME), &onDisk));
        EXPECT_EQ(printable(onDisk), printable(c.fileBytes)) << "the file stays as delivered";
        notified = seen.size();
    }
    EXPECT_EQ(listDirectory(profile.path()), std::vector<std::string>{TARN_MESSAGE_FILE_NAME});
}

// In a folder where * and ? match files, the C runtime would hand over file
// names instead of the message if it expanded wildcards. The probe, built
// with expansion on, shows that it really would.
struct WildcardCase {
    const char* argument;
    bool runtimeWouldExpand;
};

const WildcardCase kWildcards[] = {
    {"*", true}, {"a?c", true}, {"*.txt", true}, {"\"*\"", false}, {"\"?eta.txt\"", false},
};

TEST_F(CommandLine, WildcardsArriveAsTyped) {
    ScratchDirectory folder("wildcards");
    for (const char* name : {"abc", "alpha.txt", "beta.txt"}) {
        ASSERT_TRUE(writeFile(folder.file(name), "x"));
    }
    RunOptions inFolder;
    inFolder.currentDirectory = folder.path();
    ASSERT_FALSE(programs().wildcardProbe.empty()) << "--wildcard-probe=PATH missing";

    for (const WildcardCase& c : kWildcards) {
        SCOPED_TRACE(c.argument);
        std::string literal = c.argument;
        if (literal.front() == '"') {
            literal = literal.substr(1, literal.size() - 2);
        }
        const std::string commandLine = std::string("tarnpost ") + c.argument;
        const RunResult probe =
            run(programs().wildcardProbe, commandLine, profileEnvironment(), inFolder);
        ASSERT_TRUE(probe.finished);
        if (c.runtimeWouldExpand) {
            EXPECT_NE(probe.out, literal) << "the folder must make the runtime expand this";
        }

        const RunResult run = runTarnpost(commandLine, profileEnvironment(), inFolder);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0u) << printable(run.err);
        const std::vector<Notification> seen = receiver.notifications();
        ASSERT_FALSE(seen.empty());
        EXPECT_EQ(seen.back().fileBytes, literal + "\r\n");
    }
}

}  // namespace
