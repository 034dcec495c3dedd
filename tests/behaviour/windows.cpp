// The Windows part of the behaviour tests: CreateProcessW with an exact
// command line and an environment block of the row's own, files seen
// through the Win32 calls, and the set-up steps only Windows has (sharing
// modes, mapped files, the read-only attribute, wildcard expansion, the
// ANSI code page). Names are UTF-8 here and UTF-16 at the system.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/behaviour/behaviour.h"
#include "tests/line_ends.h"
#include "tools/receiver_common.h"

const unsigned kThisPlatform = kWindows;
const char kSeparator = '\\';
const char kReceiverDeath[] = "exit 3";  // tarn-receiver --die
const int kAtOnce = 50;

namespace {

const wchar_t kDeliveryMutexName[] = L"Local\\TarnpostDelivery";

// UTF-8 into UTF-16; a lone surrogate, written as UTF-8 would write it,
// stays one, so that a row can hand tarnpost text no code page holds.
std::wstring wide(const std::string& text) {
    std::wstring units;
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = (unsigned char)text[i];
        const size_t length = lead < 0x80 ? 1 : lead < 0xe0 ? 2 : lead < 0xf0 ? 3 : 4;
        unsigned long code = length == 1 ? lead : lead & (0x7f >> length);
        for (size_t k = 1; k < length && i + k < text.size(); ++k) {
            code = (code << 6) | ((unsigned char)text[i + k] & 0x3f);
        }
        if (code >= 0x10000) {
            units += (wchar_t)(0xd800 + ((code - 0x10000) >> 10));
            code = 0xdc00 + ((code - 0x10000) & 0x3ff);
        }
        units += (wchar_t)code;
        i += length;
    }
    return units;
}

std::string utf8(const std::wstring& text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0,
                                           nullptr, nullptr);
    std::string bytes(length > 0 ? (size_t)length : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &bytes[0], length, nullptr,
                        nullptr);
    return bytes;
}

// `text`'s ANSI bytes as the ANSI side of Windows hands them over, with
// look-alikes and substitutes; true when they come back unchanged.
bool inAnsi(const std::wstring& text, std::string* bytes) {
    const int length =
        WideCharToMultiByte(CP_ACP, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    bytes->assign(length > 0 ? (size_t)length : 0, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), (int)text.size(), &(*bytes)[0], length, nullptr,
                        nullptr);
    const int units = MultiByteToWideChar(CP_ACP, 0, bytes->data(), length, nullptr, 0);
    std::wstring back(units > 0 ? (size_t)units : 0, L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes->data(), length, &back[0], units);
    return back == text;
}

std::wstring fromAnsi(const std::string& bytes) {
    const int units = MultiByteToWideChar(CP_ACP, 0, bytes.data(), (int)bytes.size(), nullptr, 0);
    std::wstring text(units > 0 ? (size_t)units : 0, L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), (int)bytes.size(), &text[0], units);
    return text;
}

// A character outside ASCII that the code page holds, in one byte where it
// has such characters; 0 when it holds none of these.
wchar_t heldCharacter() {
    wchar_t held = 0;
    for (const wchar_t candidate : {L'\u20ac', L'\u00e9', L'\uff71', L'\u0436', L'\u03b1'}) {
        std::string bytes;
        if (inAnsi(std::wstring(1, candidate), &bytes) && (bytes.size() == 1 || held == 0)) {
            held = candidate;
            if (bytes.size() == 1) {
                break;
            }
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
    std::string exact;
    return inAnsi(value, &exact) && length < sizeof got && exact == std::string(got, length);
}

// Every 8-bit character the code page has in one byte, in byte order: the
// bytes it gives back unchanged through UTF-16. Empty where it has none
// (UTF-8, or double-byte pages with no single 8-bit bytes).
std::wstring oneByteCharacters() {
    std::wstring characters;
    for (int c = 0x80; c <= 0xff; ++c) {
        const char byte = (char)c;
        wchar_t unit = 0;
        std::string back;
        if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, &byte, 1, &unit, 1) == 1 &&
            inAnsi(std::wstring(1, unit), &back) && back == std::string(1, byte)) {
            characters += unit;
        }
    }
    return characters;
}

// The folder this test program was started from, where the kit keeps the
// programs it runs.
std::string ownFolder() {
    wchar_t name[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, name, sizeof name / sizeof name[0]);
    const std::string path = utf8(std::wstring(name, length));
    return path.substr(0, path.find_last_of('\\'));
}

bool underWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// This process's integrity level (SECURITY_MANDATORY_*_RID); 0 when unknown.
DWORD integrityLevel() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return 0;
    }
    DWORD buffer[64];
    DWORD size = 0;
    DWORD level = 0;
    if (GetTokenInformation(token, TokenIntegrityLevel, buffer, sizeof buffer, &size)) {
        const PSID sid = ((TOKEN_MANDATORY_LABEL*)buffer)->Label.Sid;
        level = *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1u);
    }
    CloseHandle(token);
    return level;
}

// User Account Control, which makes an administrator's programs run at high
// integrity only when asked to, is on unless EnableLUA says 0.
bool userAccountControlOn() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System", 0,
                      KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD value = 0;
    DWORD size = sizeof value;
    const LONG read = RegQueryValueExW(key, L"EnableLUA", nullptr, nullptr, (BYTE*)&value, &size);
    RegCloseKey(key);
    return read == ERROR_SUCCESS && value != 0;
}

// A copy of this process's token at medium integrity, the level of a user's
// programs that were not started as administrator; nullptr on failure.
HANDLE mediumIntegrityToken(DWORD* why) {
    HANDLE own = nullptr;
    HANDLE copy = nullptr;
    SID_IDENTIFIER_AUTHORITY mandatory = SECURITY_MANDATORY_LABEL_AUTHORITY;
    PSID medium = nullptr;
    bool lowered = false;
    if (OpenProcessToken(
            GetCurrentProcess(),
            TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ADJUST_DEFAULT | TOKEN_ASSIGN_PRIMARY, &own) &&
        DuplicateTokenEx(own, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary,
                         &copy) &&
        AllocateAndInitializeSid(&mandatory, 1, SECURITY_MANDATORY_MEDIUM_RID, 0, 0, 0, 0, 0, 0, 0,
                                 &medium)) {
        TOKEN_MANDATORY_LABEL label = {};
        label.Label.Sid = medium;
        label.Label.Attributes = SE_GROUP_INTEGRITY;
        lowered = SetTokenInformation(copy, TokenIntegrityLevel, &label,
                                      sizeof label + GetLengthSid(medium)) != FALSE;
    }
    *why = GetLastError();
    if (medium != nullptr) {
        FreeSid(medium);
    }
    if (own != nullptr) {
        CloseHandle(own);
    }
    if (!lowered && copy != nullptr) {
        CloseHandle(copy);
        copy = nullptr;
    }
    return copy;
}

std::wstring environmentBlock(const std::vector<std::string>& variables, bool isUtf8) {
    std::vector<std::wstring> entries;
    for (const std::string& variable : variables) {
        entries.push_back(isUtf8 ? wide(variable) : fromAnsi(variable));
    }
    std::sort(entries.begin(), entries.end(), [](const std::wstring& a, const std::wstring& b) {
        return _wcsicmp(a.c_str(), b.c_str()) < 0;
    });
    std::wstring block;
    for (const std::wstring& entry : entries) {
        block += entry + L'\0';
    }
    return block + (entries.empty() ? std::wstring(2, L'\0') : std::wstring(1, L'\0'));
}

HANDLE inheritableOutput(const std::string& path) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    if (path == kClosedPipe) {
        HANDLE reader = nullptr;
        HANDLE writer = nullptr;
        if (!CreatePipe(&reader, &writer, &inherit, 0)) {
            return INVALID_HANDLE_VALUE;
        }
        CloseHandle(reader);  // nobody will ever read
        return writer;
    }
    return CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Only the handles made here are inheritable while the child is created, and
// they are closed at once after: no child holds another's streams.
bool create(const Launch& launch, bool suspended, PROCESS_INFORMATION* created,
            std::string* error) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, OPEN_EXISTING, 0, nullptr);
    startup.hStdOutput = inheritableOutput(launch.stdoutPath);
    startup.hStdError = inheritableOutput(launch.stderrPath);
    std::wstring block = environmentBlock(launch.environment, launch.wide);
    const std::string line =
        launch.commandLine.empty() ? quoteArguments(launch.argv) : launch.commandLine;
    std::wstring units = launch.wide ? wide(line) : fromAnsi(line);
    const std::wstring directory = wide(launch.workingDirectory);
    const std::wstring program = wide(launch.argv[0]);
    // The child shares this program's console: one of its own would be a
    // console host process (conhost under Wine) that outlives the child
    // unwaited, in the child's working folder.
    const DWORD flags = CREATE_UNICODE_ENVIRONMENT | (suspended ? CREATE_SUSPENDED : 0);
    const wchar_t* folder = directory.empty() ? nullptr : directory.c_str();
    BOOL started = FALSE;
    DWORD why = 0;
    // A busy Wine can lose a new process before any of the program's own
    // code ran: the host process it made for it ends while Wine still sets
    // it up, and CreateProcess fails with ERROR_INTERNAL_ERROR. Only then is
    // the program started again (nothing of it ran, so nothing happens
    // twice), at most twice, and each time counted for the run's summary.
    for (int attempt = 1; attempt <= 3; ++attempt) {
        if (!launch.mediumIntegrity) {
            started = CreateProcessW(program.c_str(), &units[0], nullptr, nullptr, TRUE, flags,
                                     &block[0], folder, &startup, created);
            why = GetLastError();
        } else if (const HANDLE token = mediumIntegrityToken(&why)) {
            started = CreateProcessAsUserW(token, program.c_str(), &units[0], nullptr, nullptr,
                                           TRUE, flags, &block[0], folder, &startup, created);
            why = GetLastError();
            CloseHandle(token);
        }
        if (started || why != ERROR_INTERNAL_ERROR || attempt == 3) {
            break;
        }
        ++startsMadeAgain;
    }
    for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
        CloseHandle(handle);
    }
    if (!started) {
        *error = launch.argv[0] + ": error " + std::to_string(why);
    }
    return started != FALSE;
}

std::string exitOf(HANDLE process) {
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return "exit " + std::to_string(code);
}

void listBelow(const std::string& directory, std::vector<std::string>* entries) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(wide(directory + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::string name = utf8(found.cFileName);
        if (name != "." && name != "..") {
            const std::string entry = directory + "\\" + name;
            entries->push_back(entry);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                listBelow(entry, entries);
            }
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

HANDLE heldMutex = nullptr;
HANDLE letGo = nullptr;
std::thread holderThread;

}  // namespace

// The kit's programs lie beside the test program, wherever it was unpacked.
const Programs& programs() {
    static const std::string folder = ownFolder();
    static const Programs beside = {folder + "\\tarnpost.exe", folder + "\\tarn-receiver.exe",
                                    folder + "\\wildcard_probe.exe"};
    return beside;
}

Child start(const Launch& launch, std::string* error) {
    PROCESS_INFORMATION created = {};
    if (!create(launch, false, &created, error)) {
        return 0;
    }
    CloseHandle(created.hThread);
    return (Child)created.hProcess;
}

std::vector<Child> startTogether(const std::vector<Launch>& launches, std::string* error) {
    std::vector<PROCESS_INFORMATION> all;
    for (const Launch& launch : launches) {
        PROCESS_INFORMATION created = {};
        if (!create(launch, true, &created, error)) {
            break;
        }
        all.push_back(created);
    }
    std::vector<Child> children;
    for (const PROCESS_INFORMATION& created : all) {
        ResumeThread(created.hThread);
        CloseHandle(created.hThread);
        children.push_back((Child)created.hProcess);
    }
    return children;
}

std::string ended(Child child) {
    const HANDLE process = (HANDLE)child;
    return WaitForSingleObject(process, 0) == WAIT_OBJECT_0 ? exitOf(process) : "";
}

std::string finish(Child child, int limitMs) {
    const HANDLE process = (HANDLE)child;
    std::string end;
    if (WaitForSingleObject(process, (DWORD)limitMs) == WAIT_OBJECT_0) {
        end = exitOf(process);
    } else {
        TerminateProcess(process, 255);
        WaitForSingleObject(process, INFINITE);
        end = "timed out";
    }
    CloseHandle(process);
    return end;
}

bool whilePaused(Child, const std::string&, const std::function<void()>&) {
    ADD_FAILURE() << "no pausing on Windows";
    return false;
}

void askToStop(Child, const Launch& receiverLaunch) {
    Launch stop = receiverLaunch;
    stop.argv = {receiverLaunch.argv[0], "--stop"};
    stop.stdoutPath += ".stop";
    stop.stderrPath += ".stop";
    std::string error;
    const Child stopper = start(stop, &error);
    EXPECT_NE(stopper, 0) << error;
    EXPECT_EQ(stopper == 0 ? error : finish(stopper, 60000), "exit 0") << "tarn-receiver --stop";
}

FILE* openFile(const std::string& path, const char* mode) {
    return _wfopen(wide(path).c_str(), wide(mode).c_str());
}

std::string makeScratch() {
    static unsigned long made = 0;
    wchar_t temporary[MAX_PATH];
    const DWORD length = GetTempPathW(MAX_PATH, temporary);
    const std::string path = utf8(std::wstring(temporary, length)) + "tarnpost-" +
                             std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++made);
    removeTree(path);
    return CreateDirectoryW(wide(path).c_str(), nullptr) ? path : "";
}

void removeTree(const std::string& path) {
    std::vector<std::string> entries;
    listBelow(path, &entries);
    std::reverse(entries.begin(), entries.end());  // the deepest first
    entries.push_back(path);
    for (const std::string& entry : entries) {
        const std::wstring name = wide(entry);
        SetFileAttributesW(name.c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!DeleteFileW(name.c_str())) {
            RemoveDirectoryW(name.c_str());
        }
    }
}

bool makeDirectories(const std::string& path) {
    for (size_t slash = path.find('\\', 3); slash != std::string::npos;
         slash = path.find('\\', slash + 1)) {
        CreateDirectoryW(wide(path.substr(0, slash)).c_str(), nullptr);
    }
    CreateDirectoryW(wide(path).c_str(), nullptr);
    return describe(path) == "directory";
}

std::string describe(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return "absent";
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return "directory";
    }
    const HANDLE file = CreateFileW(wide(path).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return "unreadable, error " + std::to_string(GetLastError());
    }
    std::string description = "device";  // never read: it would not end
    if (GetFileType(file) == FILE_TYPE_DISK) {
        description = "file:";
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            description.append(buffer, got);
        }
    }
    CloseHandle(file);
    return description;
}

std::vector<std::string> entriesBelow(const std::string& directory) {
    std::vector<std::string> entries;
    listBelow(directory, &entries);
    std::sort(entries.begin(), entries.end());
    return entries;
}

namespace {

// Under Wine the desktop's process starts with the first window any program
// makes and takes over that program's standard error: made by a row's
// Receiver, it would hold that row's output file, and with it the scratch
// folder, for as long as this run lasts. So it is made here first, with
// standard error on the null device; this process keeps it up.
void readyDesktop() {
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    const HANDLE null = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    SetStdHandle(STD_ERROR_HANDLE, null);
    GetDesktopWindow();
    SetStdHandle(STD_ERROR_HANDLE, error);
    CloseHandle(null);
}

}  // namespace

// A window of the class is there before any row: a real TARN, which must
// never get a test's message, or a stand-in left running.
std::string refusal() {
    readyDesktop();
    if (FindWindowW(TARN_CLASS_NAME_W, nullptr) == nullptr) {
        return "";
    }
    if (FindWindowW(TARN_CLASS_NAME_W, TARN_STAND_IN_TITLE_W) != nullptr) {
        return "a window of class " TARN_CLASS_NAME
               " exists: a stand-in is running, and every row would reach it; end it with "
               "tarn-receiver.exe --stop and run the tests again";
    }
    return "a window of class " TARN_CLASS_NAME
           " exists: TARN is running, and every row would reach it; close TARN and run the "
           "tests again";
}

namespace {

bool startsWithFolder(const std::string& path, const std::string& folder) {
    return !folder.empty() && path.size() > folder.size() && path[folder.size()] == '\\' &&
           _wcsicmp(wide(path.substr(0, folder.size())).c_str(), wide(folder).c_str()) == 0;
}

}  // namespace

// A row whose file lies outside its scratch folder writes where the machine
// keeps other things: the host's full-disk folders when the run was given
// them, else the Windows directory or a drive's root, only when the run
// allows it, that place takes new files, and no TARN_Message.txt is there
// to lose.
void checkPlace(Scene& scene, const std::string& messageFile) {
    const size_t cut = messageFile.find_last_of('\\');
    const std::string folder = messageFile.substr(0, cut == std::string::npos ? 0 : cut);
    if (messageFile.find("{fulldisk}") != std::string::npos ||
        messageFile.find("{device}") != std::string::npos) {
        scene.skip =
            "needs the host's full-disk folders, which the build tree's run makes "
            "(--full-disk=DIR)";
    } else if (startsWithFolder(messageFile, scene.dir()) ||
               startsWithFolder(messageFile, runOptions.fullDisk)) {
        return;
    } else if (!runOptions.systemFolders) {
        scene.skip = "writes " + messageFile +
                     ", outside the scratch folder: only with --system-folders, on a machine "
                     "that serves nothing else";
    } else if (describe(messageFile) != "absent") {
        scene.skip = messageFile + " exists: the tests leave it alone";
    } else {
        const std::wstring probe =
            wide(folder + "\\tarnpost-probe-" + std::to_string(GetCurrentProcessId()));
        const HANDLE file = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            scene.skip = "cannot create files in " + folder + " (error " +
                         std::to_string(GetLastError()) + "; administrator rights?)";
        } else {
            CloseHandle(file);
        }
    }
}

// Every row starts with no Receiver about: a window left by an earlier one
// would take the notifications meant for this one.
void beginRow(Scene& scene) {
    EXPECT_EQ(FindWindowW(TARN_CLASS_NAME_W, nullptr), nullptr) << "a Receiver window exists";
    char windows[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(windows, sizeof windows);
    const std::string& full = runOptions.fullDisk;
    const std::string dir = scene.dir();
    scene.placeholders.push_back({"{windir}", std::string(windows, length)});
    scene.placeholders.push_back({"{drive}", dir.substr(0, 2)});
    scene.placeholders.push_back({"{path}", dir.substr(2)});
    if (!full.empty()) {  // else left as they are, for checkPlace() to see
        scene.placeholders.push_back({"{fulldisk}", full + "\\disk"});
        scene.placeholders.push_back({"{device}", full + "\\device"});
    }
    scene.placeholders.push_back({"{acp}", std::to_string(GetACP())});
    const std::wstring oneByte = oneByteCharacters();
    if (!oneByte.empty()) {
        scene.placeholders.push_back({"{8bit}", utf8(oneByte)});
    }
    // A run meant for another code page must not pass at the usual one.
    const char* wanted = getenv("TARNPOST_CODE_PAGE");
    EXPECT_TRUE(wanted == nullptr || std::to_string(GetACP()) == wanted)
        << "code page " << GetACP() << ", not " << wanted;
    const wchar_t held = heldCharacter();
    if (held != 0) {
        scene.placeholders.push_back({"{held}", utf8(std::wstring(1, held))});
    }
}

// Rows of texts the ANSI code page may not hold: a refusal is checked only
// where the code page really lacks the text, and a delivery becomes a
// refusal where it cannot be made.
void prepareCodePage(const Step& step, Scene& scene) {
    Row& row = scene.row;
    const std::string acp = scene.expand("{acp}");
    const std::string directory = step.path.empty() ? "" : scene.path(step.path);
    const std::wstring text = wide(directory.empty() ? scene.expand(row.commandLine) : directory);
    std::string bytes;
    const std::string texts = scene.expand(row.commandLine + directory);
    if (texts.find("{held}") != std::string::npos) {
        scene.skip = "code page " + acp + " holds none of the characters tried";
    } else if (texts.find("{8bit}") != std::string::npos) {
        scene.skip = "code page " + acp + " has no 8-bit character of one byte";
    } else if (step.kind == Step::kLacking && inAnsi(text, &bytes)) {
        scene.skip = "code page " + acp + " holds " + utf8(text);
    } else if (step.kind == Step::kLacking && !directory.empty()) {
        // Where the look-alikes lead: the wrong directory must stay empty.
        CreateDirectoryA(bytes.c_str(), nullptr);
    } else if (step.kind == Step::kHeld) {
        const bool messageHeld = inAnsi(wide(scene.expand(row.arguments[0])), &bytes);
        row.fileBytes = asWritten(bytes);
        const char* refused = !messageHeld ? "The message"
                              : !directory.empty() && !ansiLookupKeepsWhole(wide(directory))
                                  ? step.value.c_str()
                                  : nullptr;
        if (refused != nullptr) {
            row.fails(std::string("tarnpost: ") + refused +
                          " holds characters that code page {acp} cannot represent.\n",
                      FileAfter::kAbsent);
        }
    }
}

void prepare(const Step& step, Scene& scene) {
    const std::string path = scene.path(step.path);
    HANDLE file = INVALID_HANDLE_VALUE;
    switch (step.kind) {
    case Step::kFullDisk:
        if (describe(path + "\\filler") == "absent") {
            scene.skip = "no full disk: this run could not mount one (it needs root)";
        }
        return;
    case Step::kReadOnly:
        // Wine keeps the attribute as Unix permissions, which do not stop
        // root: there the case cannot happen.
        ASSERT_TRUE(writeFile(path, step.value));
        ASSERT_TRUE(SetFileAttributesW(wide(path).c_str(), FILE_ATTRIBUTE_READONLY));
        file = CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            scene.skip = "the read-only attribute does not stop this user here";
        }
        return;
    case Step::kHeldOpen:
        // As a Receiver still reading the last message might hold it.
        file = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        scene.undo.push_back([file] { CloseHandle(file); });
        return;
    case Step::kHeldShared:
        file = CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        scene.undo.push_back([file] { CloseHandle(file); });
        return;
    case Step::kMapped: {
        // Windows lets nobody cut a file short while it is mapped.
        file = CreateFileW(wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        const HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
        CloseHandle(file);
        ASSERT_NE(mapping, nullptr);
        const void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
        CloseHandle(mapping);  // the view keeps the mapping alive
        ASSERT_NE(view, nullptr);
        scene.undo.push_back([view] { UnmapViewOfFile(view); });
        return;
    }
    case Step::kProbeExpands: {
        Launch probe;
        probe.argv = {programs().probe};
        probe.commandLine = scene.row.commandLine;
        probe.workingDirectory = scene.dir();
        probe.stdoutPath = scene.root + "\\o\\probe.out";
        probe.stderrPath = scene.root + "\\o\\probe.err";
        std::string out;
        EXPECT_EQ(finish(start(probe, &out), 60000), "exit 0");
        readFile(probe.stdoutPath, &out);
        const std::string& bytes = scene.row.fileBytes;
        EXPECT_NE(out, bytes.substr(0, bytes.size() - 2))
            << "the folder must make the runtime expand this";
        return;
    }
    case Step::kLacking:
    case Step::kHeld:
        prepareCodePage(step, scene);
        return;
    case Step::kIsolated:
        // Only a real Windows shows it, and only where it isolates.
        if (underWine()) {
            scene.skip = "Wine has no privilege isolation: any program reaches any window";
        } else if (integrityLevel() < SECURITY_MANDATORY_HIGH_RID) {
            scene.skip =
                "needs administrator rights, so that TARN runs at high integrity "
                "(run the kit from a prompt started as administrator)";
        } else if (!userAccountControlOn()) {
            scene.skip = "User Account Control is off: programs of every level reach each other";
        }
        return;
    default:
        FAIL() << "no such step on Windows: " << step.kind;
    }
}

std::vector<std::string> asOtherUser(Scene& scene) {
    scene.skip = "the Windows tests run every program as one user";
    return {};
}

void giveToOtherUser(const std::string& path) {
    ADD_FAILURE() << "no other user to give " << path << " to";
}

bool holdLock(Holder holder, const std::string&) {
    const HANDLE held = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    letGo = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> taken(false);
    holderThread = std::thread([&taken, held, holder] {
        heldMutex = CreateMutexW(nullptr, FALSE, kDeliveryMutexName);
        taken = heldMutex != nullptr && WaitForSingleObject(heldMutex, INFINITE) == WAIT_OBJECT_0;
        SetEvent(held);
        if (holder == Holder::kDead) {
            return;  // the thread ends owning it, like a run killed mid-delivery
        }
        WaitForSingleObject(letGo, INFINITE);
        ReleaseMutex(heldMutex);
    });
    WaitForSingleObject(held, INFINITE);
    CloseHandle(held);
    if (holder == Holder::kDead) {
        holderThread.join();  // the mutex is abandoned, and lives on in its handle
    }
    return taken;
}

void releaseLock() {
    if (letGo != nullptr) {
        SetEvent(letGo);
    }
    if (holderThread.joinable()) {
        holderThread.join();
    }
    for (HANDLE* handle : {&heldMutex, &letGo}) {
        if (*handle != nullptr) {
            CloseHandle(*handle);
            *handle = nullptr;
        }
    }
}

void checkMore(Check check, const Scene&) {
    ADD_FAILURE() << "no such check on Windows: " << (int)check;
}

std::vector<std::string> baseEnvironment(const Scene&) {
    return {};
}

std::string asStreamed(const std::string& text) {
    return crlf(text);
}
