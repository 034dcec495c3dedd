// Not a sample but a sweep: every directory length from 0 to 300 from each
// source the environment offers, and messages from empty to the longest
// command line Windows accepts, all checked byte for byte.
#include <algorithm>
#include <sstream>

#include "e2e_support.h"

namespace {

enum class Source { kUserProfile, kHomeDrive, kHomeDriveAndPath };

struct SweepSource {
    Source source;
    const char* name;
    const char* tag;  // keeps each length's sandbox name short
};

const SweepSource kSources[] = {
    {Source::kUserProfile, "USERPROFILE", "u"},
    {Source::kHomeDrive, "HOMEDRIVE", "d"},
    {Source::kHomeDriveAndPath, "HOMEDRIVEplusHOMEPATH", "s"},
};

const size_t kLongestLength = 300;

// Names the source in test listings instead of dumping its bytes.
void PrintTo(const SweepSource& sweep, std::ostream* stream) {
    *stream << sweep.name;
}

// A directory name of exactly `length` characters inside `sandbox`: absolute
// when the sandbox's own name leaves room, else relative to the sandbox as
// the working directory (the only way to get the short lengths). Components
// stay well under the file system's name limit.
std::string directoryOfLength(const std::string& sandbox, size_t length) {
    std::string text = length >= sandbox.size() + 2 ? sandbox : "";
    while (text.size() < length) {
        const bool first = text.empty();
        const size_t rest = length - text.size();
        size_t piece = std::min<size_t>(rest, first ? 200 : 201);
        if (rest - piece == 1) {
            --piece;  // leave room for one more "/d"
        }
        text += first ? std::string(piece, 'd') : "/" + std::string(piece - 1, 'd');
    }
    return text;
}

std::string absolute(const std::string& sandbox, const std::string& directory) {
    return directory[0] == '/' ? directory : sandbox + "/" + directory;
}

// The length error tarnpost owes for a directory of `length` characters, or
// "" when the file must be written.
std::string lengthError(Source source, size_t length) {
    switch (source) {
    case Source::kUserProfile:
        if (length > 254) {
            return "tarnpost: USERPROFILE is longer than 254 characters.\n";
        }
        if (length > 238) {
            return "tarnpost: Message directory from USERPROFILE is longer than 238 characters.\n";
        }
        break;
    case Source::kHomeDrive:
        if (length > 254) {
            return "tarnpost: HOMEDRIVE is longer than 254 characters.\n";
        }
        [[fallthrough]];
    case Source::kHomeDriveAndPath:
        if (length > 255) {
            return "tarnpost: HOMEDRIVE plus HOMEPATH is longer than 255 characters.\n";
        }
        if (length > 238) {
            return "tarnpost: Message directory from HOMEDRIVE plus HOMEPATH is longer than 238 "
                   "characters.\n";
        }
        break;
    }
    return "";
}

// Files below `sandbox` outside `allowedDirectory` ("" allows none).
size_t strayFiles(const std::string& sandbox, const std::string& allowedDirectory) {
    size_t stray = 0;
    for (const std::string& file : filesBelow(sandbox)) {
        if (file.substr(0, file.rfind('/')) != allowedDirectory) {
            ++stray;
        }
    }
    return stray;
}

// One line that says everything about a run, so that a whole sweep compares
// as a list of lines and a failure shows the runs that went wrong.
std::string summarizeRun(size_t length, const ProcessOutcome& outcome, const std::string& out,
                         const std::string& err, const std::string& fileBytes, size_t stray) {
    std::ostringstream line;
    line << "length " << length << ": " << describe(outcome) << ", stdout \"" << out
         << "\", stderr \"" << err << "\", file \"" << fileBytes << "\", " << stray
         << " files elsewhere";
    return line.str();
}

class LengthSweep : public E2eTest, public ::testing::WithParamInterface<SweepSource> {};

// Below the length limits the file lands in the directory, and with no
// Receiver running the run ends in "not running"; above them it ends in the
// length error with nothing written anywhere. Directories are really created
// at every length, so an error can only come from the length.
//
// The fourth source, the Windows directory's stand-in, is the home directory
// from the password database and cannot be varied per run; its lengths are
// swept in the unit tests against the fake platform.
TEST_P(LengthSweep, EveryLengthFrom0To300) {
    const SweepSource& sweep = GetParam();
    std::vector<std::string> expected;
    std::vector<std::string> actual;
    for (size_t length = 0; length <= kLongestLength; ++length) {
        const std::string sandbox = makeDirectory(std::string(sweep.tag) + std::to_string(length));
        const std::string message =
            std::string("sweep ") + sweep.name + " " + std::to_string(length);
        Environment environment = baseEnvironment();
        std::string directory = directoryOfLength(sandbox, length);

        if (length == 0) {
            if (sweep.source != Source::kUserProfile) {
                continue;  // an empty HOMEDRIVE means the Windows directory
            }
            // An empty USERPROFILE counts as none: the next source answers.
            environment["USERPROFILE"] = "";
            directory = sandbox + "/fallback";
            makeDirectory(std::string(sweep.tag) + "0/fallback");
            environment["HOMEDRIVE"] = directory;
        } else {
            makeDirectory(absolute(sandbox, directory).substr(root_.size() + 1));
            switch (sweep.source) {
            case Source::kUserProfile:
                environment["USERPROFILE"] = directory;
                break;
            case Source::kHomeDrive:
                environment["HOMEDRIVE"] = directory;
                break;
            case Source::kHomeDriveAndPath: {
                const size_t driveLength = (length + 1) / 2;
                environment["HOMEDRIVE"] = directory.substr(0, driveLength);
                environment["HOMEPATH"] = directory.substr(driveLength);
                break;
            }
            }
        }

        RunOptions options;
        options.workingDirectory = sandbox;
        const RunResult run = runTarnpost({message}, environment, options);

        const std::string error = lengthError(sweep.source, length);
        const std::string messageDirectory = absolute(sandbox, directory);
        const std::string messagePath = messageFileIn(messageDirectory);
        ProcessOutcome failed;
        failed.exited = true;
        failed.exitCode = 1;
        if (error.empty()) {
            expected.push_back(
                summarizeRun(length, failed, "", kNotRunning, asWritten(message), 0));
            actual.push_back(summarizeRun(length, run.outcome, run.out, run.err,
                                          readFile(messagePath),
                                          strayFiles(sandbox, messageDirectory)));
        } else {
            expected.push_back(summarizeRun(length, failed, "", error, "", 0));
            actual.push_back(summarizeRun(length, run.outcome, run.out, run.err,
                                          readFile(messagePath), strayFiles(sandbox, "")));
        }
    }
    // Expected and actual differ only where a run went wrong.
    std::vector<std::string> wrong;
    for (size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] != actual[i]) {
            wrong.push_back("expected " + expected[i] + "\n  actual " + actual[i]);
        }
    }
    EXPECT_EQ(wrong.size(), 0u) << (wrong.empty() ? "" : wrong.front()) << "\n"
                                << (wrong.size() > 1 ? wrong.back() : "");
}

INSTANTIATE_TEST_SUITE_P(Sources, LengthSweep, ::testing::ValuesIn(kSources),
                         ::testing::PrintToStringParamName());

// Bytes 1 to 255 in turn: every value, with a line feed every 255 bytes.
std::string everyByte(size_t length) {
    std::string text(length, '\0');
    for (size_t i = 0; i < length; ++i) {
        text[i] = (char)(1 + i % 255);
    }
    return text;
}

std::string hostileText() {
    std::string text = everyByte(255);
    text += "\"quoted\" \\\"escaped\\\" c:\\usr\\0file\\ \\\\server\\share\\";
    text += "\r\n\n\r\r\r\n";
    text += "%s%n%d%%%x%1$s%*.*s%ls%c%p%\n%";
    return text;
}

struct ContentCase {
    const char* name;
    std::string message;
};

class MessageContent : public E2eTest {};

TEST_F(MessageContent, ArrivesByteExactUpToTheLongestWindowsCommandLine) {
    const ContentCase cases[] = {
        {"every byte value, quotes, backslashes, CR, LF, printf", hostileText()},
        {"one byte under a buffer's size", everyByte(4095)},
        {"a buffer's size", std::string(4096, 'b')},
        {"a buffer's size after line-end growth", everyByte(4096 - 4096 / 255)},
        {"32,767 characters of every byte value", everyByte(32767)},
        {"32,767 line feeds", std::string(32767, '\n')},
        {"32,767 printf directives",
         [] {
             std::string text;
             while (text.size() + 2 <= 32767) {
                 text += "%n";
             }
             return text + "s";
         }()},
    };
    const std::string profile = makeDirectory("profile");
    std::unique_ptr<Receiver> receiver = makeReceiver(profile);
    ASSERT_TRUE(receiver->start()) << receiver->failure();

    for (const ContentCase& content : cases) {
        SCOPED_TRACE(content.name);
        const RunResult run = runTarnpost({content.message}, profileEnvironment(profile));
        EXPECT_EQ(describe(run.outcome), "exit 0") << run.err;
        EXPECT_EQ(run.err, "");
        // Compared as a whole, but a mismatch need not print 64 KiB.
        const std::string file = readFile(messageFileIn(profile));
        EXPECT_TRUE(file == asWritten(content.message))
            << "file of " << file.size() << " bytes, expected "
            << asWritten(content.message).size();
    }

    receiver->stop();
    const std::vector<std::string> records = receiver->records();
    ASSERT_EQ(records.size(), std::size(cases));
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_TRUE(records[i] == asWritten(cases[i].message))
            << cases[i].name << ": the Receiver read " << records[i].size() << " bytes";
    }
}

}  // namespace
