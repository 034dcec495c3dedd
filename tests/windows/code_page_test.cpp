// Texts that reach tarnpost.exe from a program that speaks UTF-16: started
// with CreateProcessW, a wide command line and a wide environment. A message
// or profile directory that the ANSI code page cannot hold would arrive with
// look-alikes, so it is refused before anything is written; one it holds goes
// through byte for byte. Which texts this system's code page holds is asked
// at test time, never assumed.
#include <gtest/gtest.h>

#include <stdio.h>
#include <string.h>

#include <optional>

#include "harness.h"

using namespace harness;

namespace {

// `text` as the ANSI side of Windows hands it over: with best-fit
// look-alikes and substitutes.
std::string lookAlike(const std::wstring& text) {
    const int length =
        WideCharToMultiByte(CP_ACP, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string bytes(length > 0 ? (size_t)length : 0, '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_ACP, 0, text.data(), (int)text.size(), &bytes[0], length, nullptr,
                            nullptr);
    }
    return bytes;
}

// `text` in the ANSI code page, when it comes back from there unchanged.
std::optional<std::string> ansiExactly(const std::wstring& text) {
    const std::string bytes = lookAlike(text);
    const int units = MultiByteToWideChar(CP_ACP, 0, bytes.data(), (int)bytes.size(), nullptr, 0);
    std::wstring back(units > 0 ? (size_t)units : 0, L'\0');
    if (units > 0) {
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), (int)bytes.size(), &back[0], units);
    }
    return back == text ? std::optional<std::string>(bytes) : std::nullopt;
}

// A character outside ASCII that the code page holds, in one byte where it
// has such characters; none when it holds none of these.
std::optional<wchar_t> heldCharacter() {
    std::optional<wchar_t> held;
    for (const wchar_t candidate : {L'\u20ac', L'\u00e9', L'\uff71', L'\u0436', L'\u03b1'}) {
        const std::optional<std::string> bytes = ansiExactly(std::wstring(1, candidate));
        if (bytes && bytes->size() == 1) {
            return candidate;
        }
        if (bytes && !held) {
            held = candidate;
        }
    }
    return held;
}

// Whether GetEnvironmentVariableA hands `value` over whole here. Wine cuts a
// value after a double-byte character, and tarnpost must refuse such a cut
// value rather than deliver into the directory it names.
bool ansiLookupKeepsWhole(const std::wstring& value) {
    SetEnvironmentVariableW(L"TARNPOST_TEST_VALUE", value.c_str());
    char got[1024];
    const DWORD length = GetEnvironmentVariableA("TARNPOST_TEST_VALUE", got, sizeof got);
    SetEnvironmentVariableW(L"TARNPOST_TEST_VALUE", nullptr);
    const std::optional<std::string> exact = ansiExactly(value);
    return exact && length < sizeof got && *exact == std::string(got, length);
}

// The name a profile directory gets.
enum class Name {
    kPlain,    // ASCII only
    kHeld,     // with a character outside ASCII that the code page holds
    kLacking,  // with characters the code page lacks, some of them with look-alikes
};

struct CodePageCase {
    const char* name;
    // As the caller passes it; {held} stands for a character outside ASCII
    // that the code page holds.
    std::wstring commandLine;
    std::wstring message;  // what TARN must read, when delivered
    // Names the profile directory: USERPROFILE; HOMEDRIVE alone; or HOMEPATH
    // after a HOMEDRIVE of the drive.
    const char* variable;
    Name directory;
    const char* refusal;  // what the error line names; nullptr: delivered
};

std::wstring repeated(const std::wstring& text, size_t times) {
    std::wstring result;
    while (times-- > 0) {
        result += text;
    }
    return result;
}

// tarnpost converts long texts in pieces of 256 UTF-16 units: the long cases
// cross those seams.
const CodePageCase kCases[] = {
    {"message with look-alikes", L"tarnpost \u0141\u00f3d\u017a\u0100", L"", "USERPROFILE",
     Name::kPlain, "The message"},
    {"message with substitutes alone", L"tarnpost \"\u4e2d\u6587 \u2603\"", L"", "USERPROFILE",
     Name::kPlain, "The message"},
    // Held by no code page, UTF-8 included.
    {"message with a lone surrogate", L"tarnpost a\xd800z", L"", "USERPROFILE", Name::kPlain,
     "The message"},
    {"long message, a character it lacks at the end",
     L"tarnpost " + std::wstring(600, L'a') + L"\u2603", L"", "USERPROFILE", Name::kPlain,
     "The message"},
    {"long message with characters it holds", L"tarnpost " + repeated(L"{held}x", 400),
     repeated(L"{held}x", 400), "USERPROFILE", Name::kPlain, nullptr},
    // Delivered where the code page is UTF-8, with the pair across the first
    // seam; refused in every other code page.
    {"surrogate pair across a seam", L"tarnpost " + std::wstring(255, L'a') + L"\U0001f600",
     std::wstring(255, L'a') + L"\U0001f600", "USERPROFILE", Name::kPlain, nullptr},
    {"message with a character it holds", L"tarnpost \"caf{held} ok\"", L"caf{held} ok",
     "USERPROFILE", Name::kPlain, nullptr},
    {"program path the code page lacks", L"\"C:\\\u0141\u00f3d\u017a\\tarnpost.exe\" \"a b\"",
     L"a b", "USERPROFILE", Name::kPlain, nullptr},
    {"USERPROFILE the code page lacks", L"tarnpost plain", L"plain", "USERPROFILE", Name::kLacking,
     "USERPROFILE"},
    {"USERPROFILE with a character it holds", L"tarnpost plain", L"plain", "USERPROFILE",
     Name::kHeld, nullptr},
    {"HOMEDRIVE the code page lacks", L"tarnpost plain", L"plain", "HOMEDRIVE", Name::kLacking,
     "HOMEDRIVE"},
    {"HOMEPATH the code page lacks", L"tarnpost plain", L"plain", "HOMEPATH", Name::kLacking,
     "HOMEPATH"},
    {"HOMEPATH with a character it holds", L"tarnpost plain", L"plain", "HOMEPATH", Name::kHeld,
     nullptr},
};

// `text` with every {held} replaced; nullopt when the code page holds no
// such character.
std::optional<std::wstring> withHeld(std::wstring text) {
    const std::optional<wchar_t> held = heldCharacter();
    for (size_t at = text.find(L"{held}"); at != std::wstring::npos; at = text.find(L"{held}")) {
        if (!held) {
            return std::nullopt;
        }
        text.replace(at, 6, 1, *held);
    }
    return text;
}

std::optional<std::wstring> directoryName(Name name) {
    switch (name) {
    case Name::kPlain:
        return L"plain";
    case Name::kHeld:
        return withHeld(L"caf{held}");
    case Name::kLacking:
        break;
    }
    return L"\u0141\u00f3d\u017a\u0100";
}

// Whether this code page lets the case be made: a character it holds must
// exist, and a refused text must be one it lacks.
bool canBeMade(const CodePageCase& c) {
    const std::optional<std::wstring> commandLine = withHeld(c.commandLine);
    const std::optional<std::wstring> name = directoryName(c.directory);
    const bool lackingMessage = c.refusal != nullptr && c.directory != Name::kLacking;
    return commandLine && name && (!lackingMessage || !ansiExactly(*commandLine)) &&
           (c.directory != Name::kLacking || !ansiExactly(*name));
}

WideEnvironment environmentFor(const char* variable, const std::wstring& directory) {
    if (strcmp(variable, "HOMEPATH") == 0) {
        return {L"HOMEDRIVE=" + directory.substr(0, 2), L"HOMEPATH=" + directory.substr(2)};
    }
    return {widen(variable) + L"=" + directory};
}

bool messageFileIn(const std::wstring& directory) {
    return GetFileAttributesW((directory + L"\\" TARN_WIDE_TEXT(TARN_MESSAGE_FILE_NAME)).c_str()) !=
           INVALID_FILE_ATTRIBUTES;
}

TEST(CodePage, TextsTheCodePageLacksAreRefusedTheOthersDelivered) {
    ReceiverWindow receiver;
    ASSERT_TRUE(receiver.start()) << "no window of class " TARN_CLASS_NAME;
    for (const CodePageCase& c : kCases) {
        SCOPED_TRACE(c.name);
        if (!canBeMade(c)) {
            printf("[ SKIPPED  ] case \"%s\": code page %u cannot show it\n", c.name, GetACP());
            continue;
        }
        ScratchDirectory scratch("codepage");
        const std::wstring name = *directoryName(c.directory);
        const std::wstring directory = widen(scratch.path()) + L"\\" + name;
        ASSERT_TRUE(CreateDirectoryW(directory.c_str(), nullptr));
        // Where the look-alikes lead: the wrong directory must stay empty.
        const std::string lookAlikeDirectory = scratch.path() + "\\" + lookAlike(name);
        const bool lookAlikeMade =
            c.directory == Name::kLacking && CreateDirectoryA(lookAlikeDirectory.c_str(), nullptr);
        const std::optional<std::string> ansiDirectory = ansiExactly(directory);
        if (ansiDirectory) {
            receiver.setMessageFile(*ansiDirectory + "\\" TARN_MESSAGE_FILE_NAME);
        }

        const size_t notified = receiver.notifications().size();
        const RunResult run =
            runTarnpost(*withHeld(c.commandLine), environmentFor(c.variable, directory));

        const char* refusal = c.refusal;
        if (refusal == nullptr && !ansiExactly(*withHeld(c.message))) {
            refusal = "The message";
        }
        if (refusal == nullptr && !ansiLookupKeepsWhole(directory)) {
            printf(
                "[   NOTE   ] case \"%s\": GetEnvironmentVariableA cuts the directory here, "
                "so it must be refused\n",
                c.name);
            refusal = c.variable;
        }

        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.out, "");
        if (refusal != nullptr) {
            EXPECT_EQ(run.exitCode, 1u);
            EXPECT_EQ(
                printable(run.err),
                printable(errorLine(std::string(refusal) + " holds characters that code page " +
                                    std::to_string(GetACP()) + " cannot represent.")));
            EXPECT_EQ(receiver.notifications().size(), notified) << "TARN must not be told";
            EXPECT_FALSE(messageFileIn(directory));
            if (lookAlikeMade) {
                EXPECT_EQ(listDirectory(lookAlikeDirectory), std::vector<std::string>{});
            }
            continue;
        }
        ASSERT_TRUE(ansiDirectory.has_value());
        const std::string expected = *ansiExactly(*withHeld(c.message)) + "\r\n";
        EXPECT_EQ(run.exitCode, 0u) << printable(run.err);
        EXPECT_EQ(run.err, "");
        const std::vector<Notification> seen = receiver.notifications();
        ASSERT_EQ(seen.size(), notified + 1);
        EXPECT_EQ(printable(seen.back().fileBytes), printable(expected));
        std::string onDisk;
        EXPECT_TRUE(readFile(*ansiDirectory + "\\" TARN_MESSAGE_FILE_NAME, &onDisk));
        EXPECT_EQ(printable(onDisk), printable(expected));
    }
}

}  // namespace
