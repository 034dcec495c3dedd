// Where the message file goes on Windows: USERPROFILE, else HOMEDRIVE with
// HOMEPATH, else the Windows directory; and the length limits on the way.
#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;

namespace {

// Fills in {dir} (the profile directory of the case), {drive} and {path}
// (the same directory split after its drive), {other} (a second directory)
// and {windir} (the Windows directory).
class Placeholders {
public:
    Placeholders(const std::string& dir, const std::string& other) {
        values_ = {
            {"{dir}", dir},     {"{drive}", dir.substr(0, 2)},    {"{path}", dir.substr(2)},
            {"{other}", other}, {"{otherpath}", other.substr(2)}, {"{windir}", windowsDirectory()}};
    }

    std::string expand(std::string text) const {
        for (const auto& value : values_) {
            for (size_t at = text.find(value.first); at != std::string::npos;
                 at = text.find(value.first, at + value.second.size())) {
                text.replace(at, value.first.size(), value.second);
            }
        }
        return text;
    }

    Environment expand(const Environment& environment) const {
        Environment expanded;
        for (const std::string& variable : environment) {
            expanded.push_back(expand(variable));
        }
        return expanded;
    }

private:
    std::vector<std::pair<std::string, std::string>> values_;
};

struct DirectoryCase {
    const char* name;
    Environment environment;
    const char* messageFile;  // where the file must land
};

const DirectoryCase kDirectories[] = {
    {"USERPROFILE wins over HOMEDRIVE and HOMEPATH",
     {"USERPROFILE={dir}", "HOMEDRIVE={drive}", "HOMEPATH={otherpath}"},
     "{dir}\\" TARN_MESSAGE_FILE_NAME},
    {"variable names in any case", {"userprofile={dir}"}, "{dir}\\" TARN_MESSAGE_FILE_NAME},
    {"USERPROFILE unset",
     {"HOMEDRIVE={drive}", "HOMEPATH={path}"},
     "{dir}\\" TARN_MESSAGE_FILE_NAME},
    {"USERPROFILE empty",
     {"USERPROFILE=", "HOMEDRIVE={drive}", "HOMEPATH={path}"},
     "{dir}\\" TARN_MESSAGE_FILE_NAME},
    {"HOMEDRIVE without HOMEPATH", {"HOMEDRIVE={drive}"}, "{drive}\\" TARN_MESSAGE_FILE_NAME},
    {"HOMEDRIVE holding a whole directory", {"HOMEDRIVE={dir}"}, "{dir}\\" TARN_MESSAGE_FILE_NAME},
    {"HOMEPATH empty", {"HOMEDRIVE={dir}", "HOMEPATH="}, "{dir}\\" TARN_MESSAGE_FILE_NAME},
    {"HOMEPATH without HOMEDRIVE", {"HOMEPATH={path}"}, "{windir}\\" TARN_MESSAGE_FILE_NAME},
    {"HOMEDRIVE empty", {"HOMEDRIVE=", "HOMEPATH={path}"}, "{windir}\\" TARN_MESSAGE_FILE_NAME},
    {"nothing set", {}, "{windir}\\" TARN_MESSAGE_FILE_NAME},
    // The path formed here has its separator doubled, which Windows reads
    // as one: this case shows only that the file still reaches the directory.
    // The doubled separator itself shows in an error text (Faults, "missing
    // directory with trailing backslash").
    {"trailing backslash still reaches the directory",
     {"USERPROFILE={dir}\\"},
     "{dir}\\" TARN_MESSAGE_FILE_NAME},
};

class DirectoryResolution : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(receiver.start()) << "no window of class " TARN_CLASS_NAME;
    }

    ScratchDirectory profile{"profile"};
    ScratchDirectory other{"other"};
    ReceiverWindow receiver;
};

TEST_F(DirectoryResolution, FileLandsInTheFirstSourceThatAnswers) {
    const Placeholders placeholders(profile.path(), other.path());
    size_t notified = 0;
    for (const DirectoryCase& c : kDirectories) {
        SCOPED_TRACE(c.name);
        const std::string messageFile = placeholders.expand(c.messageFile);
        removeTree(messageFile);
        receiver.setMessageFile(messageFile);
        const std::string message = std::string("case: ") + c.name;

        const RunResult run =
            runTarnpost("tarnpost \"" + message + "\"", placeholders.expand(c.environment));

        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 0u) << printable(run.err);
        EXPECT_EQ(run.err, "");
        const std::vector<Notification> seen = receiver.notifications();
        ASSERT_EQ(seen.size(), notified + 1);
        notified = seen.size();
        EXPECT_EQ(printable(seen.back().fileBytes), printable(message + "\r\n"));
        std::string onDisk;
        EXPECT_TRUE(readFile(messageFile, &onDisk)) << "no file at " << messageFile;
        EXPECT_EQ(onDisk, message + "\r\n");
        EXPECT_EQ(listDirectory(other.path()), std::vector<std::string>{});
        // Files outside the scratch directories go at once.
        if (messageFile.compare(0, profile.path().size(), profile.path()) != 0) {
            removeTree(messageFile);
            EXPECT_FALSE(fileExists(messageFile));
        }
    }
}

// A directory named by `base` and a tail of 'd' characters, `length`
// characters in all, cut into components that every file system accepts.
std::string directoryOfLength(const std::string& base, size_t length) {
    std::string path = base;
    while (length - path.size() > 62) {
        path += "\\" + std::string(60, 'd');
    }
    return path + "\\" + std::string(length - path.size() - 1, 'd');
}

struct LengthCase {
    const char* name;
    const char* variable;   // USERPROFILE, or HOMEDRIVE (then HOMEPATH takes the rest)
    size_t length;          // of the whole directory
    bool splitHomePath;     // HOMEDRIVE gets the drive and HOMEPATH the rest
    bool create;            // make the directory, so that only its length can fail
    const char* errorText;  // empty: the delivery succeeds
};

const LengthCase kLengths[] = {
    {"USERPROFILE of 238", "USERPROFILE", 238, false, true, ""},
    {"USERPROFILE of 239", "USERPROFILE", 239, false, true,
     "Message directory from USERPROFILE is longer than 238 characters."},
    {"USERPROFILE of 254", "USERPROFILE", 254, false, false,
     "Message directory from USERPROFILE is longer than 238 characters."},
    {"USERPROFILE of 255", "USERPROFILE", 255, false, false,
     "USERPROFILE is longer than 254 characters."},
    {"USERPROFILE of 300", "USERPROFILE", 300, false, false,
     "USERPROFILE is longer than 254 characters."},
    {"HOMEDRIVE plus HOMEPATH of 238", "HOMEDRIVE", 238, true, true, ""},
    {"HOMEDRIVE plus HOMEPATH of 239", "HOMEDRIVE", 239, true, true,
     "Message directory from HOMEDRIVE plus HOMEPATH is longer than 238 characters."},
    {"HOMEDRIVE plus HOMEPATH of 255", "HOMEDRIVE", 255, true, false,
     "Message directory from HOMEDRIVE plus HOMEPATH is longer than 238 characters."},
    {"HOMEDRIVE plus HOMEPATH of 256", "HOMEDRIVE", 256, true, false,
     "HOMEDRIVE plus HOMEPATH is longer than 255 characters."},
    {"HOMEDRIVE alone of 239", "HOMEDRIVE", 239, false, true,
     "Message directory from HOMEDRIVE plus HOMEPATH is longer than 238 characters."},
    {"HOMEDRIVE alone of 254", "HOMEDRIVE", 254, false, false,
     "Message directory from HOMEDRIVE plus HOMEPATH is longer than 238 characters."},
    {"HOMEDRIVE alone of 255", "HOMEDRIVE", 255, false, false,
     "HOMEDRIVE is longer than 254 characters."},
};

TEST_F(DirectoryResolution, LengthLimitsGiveClearErrors) {
    size_t notified = 0;
    for (const LengthCase& c : kLengths) {
        SCOPED_TRACE(c.name);
        ScratchDirectory base("lengths");
        const std::string directory = directoryOfLength(base.path(), c.length);
        ASSERT_EQ(directory.size(), c.length);
        if (c.create) {
            ASSERT_TRUE(makeDirectories(directory)) << directory;
        }
        Environment environment;
        if (c.splitHomePath) {
            environment = {"HOMEDRIVE=" + directory.substr(0, 2),
                           "HOMEPATH=" + directory.substr(2)};
        } else {
            environment = {std::string(c.variable) + "=" + directory};
        }
        const std::string messageFile = directory + "\\" TARN_MESSAGE_FILE_NAME;
        receiver.setMessageFile(messageFile);

        const RunResult run = runTarnpost("tarnpost \"at the limit\"", environment);

        ASSERT_TRUE(run.finished);
        const bool delivered = c.errorText[0] == '\0';
        if (delivered) {
            EXPECT_EQ(run.exitCode, 0u) << printable(run.err);
            EXPECT_EQ(run.err, "");
            ++notified;
            std::string onDisk;
            EXPECT_TRUE(readFile(messageFile, &onDisk));
            EXPECT_EQ(onDisk, "at the limit\r\n");
        } else {
            EXPECT_EQ(run.exitCode, 1u);
            EXPECT_EQ(printable(run.err), printable(errorLine(c.errorText)));
            EXPECT_FALSE(fileExists(messageFile));
        }
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(receiver.notifications().size(), notified);
    }
}

}  // namespace
