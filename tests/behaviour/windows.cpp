// The Windows part of the behaviour tests: CreateProcess with an exact
// command line and an environment block of the row's own, files seen
// through the Win32 calls, and the set-up steps only Windows has (sharing
// modes, mapped files, the read-only attribute, wildcard expansion).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "tests/behaviour/behaviour.h"
#include "tests/line_ends.h"

const unsigned kThisPlatform = kWindows;
const char kSeparator = '\\';
const char kReceiverDeath[] = "exit 3";  // tarn-receiver --die
const int kAtOnce = 50;

namespace {

const wchar_t kDeliveryMutexName[] = L"Local\\TarnpostDelivery";

// A path given the Unix way, as CMake passes it, in Windows form: "Z:\a\b".
std::string windowsPath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return "Z:" + path;
}

std::string environmentBlock(std::vector<std::string> variables) {
    std::sort(variables.begin(), variables.end(), [](const std::string& a, const std::string& b) {
        return _stricmp(a.c_str(), b.c_str()) < 0;
    });
    std::string block;
    for (const std::string& variable : variables) {
        block += variable + '\0';
    }
    return block + (variables.empty() ? std::string(2, '\0') : std::string(1, '\0'));
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
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Only the handles made here are inheritable while the child is created, and
// they are closed at once after: no child holds another's streams.
bool create(const Launch& launch, bool suspended, PROCESS_INFORMATION* created,
            std::string* error) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    &inherit, OPEN_EXISTING, 0, nullptr);
    startup.hStdOutput = inheritableOutput(launch.stdoutPath);
    startup.hStdError = inheritableOutput(launch.stderrPath);
    std::string block = environmentBlock(launch.environment);
    std::string line =
        launch.commandLine.empty() ? quoteArguments(launch.argv) : launch.commandLine;
    const char* directory =
        launch.workingDirectory.empty() ? nullptr : launch.workingDirectory.c_str();
    const BOOL started = CreateProcessA(launch.argv[0].c_str(), &line[0], nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW | (suspended ? CREATE_SUSPENDED : 0),
                                        &block[0], directory, &startup, created);
    const DWORD why = GetLastError();
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
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") {
            const std::string entry = directory + "\\" + name;
            entries->push_back(entry);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                listBelow(entry, entries);
            }
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

HANDLE heldMutex = nullptr;
HANDLE letGo = nullptr;
std::thread holderThread;

}  // namespace

const Programs& programs() {
    static const Programs built = {windowsPath(TARNPOST_PROGRAM),
                                   windowsPath(TARN_RECEIVER_PROGRAM),
                                   windowsPath(WILDCARD_PROBE_PROGRAM)};
    return built;
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

std::string makeScratch() {
    static unsigned long made = 0;
    char temporary[MAX_PATH];
    const DWORD length = GetTempPathA(sizeof temporary, temporary);
    char name[64];
    snprintf(name, sizeof name, "tarnpost-%lu-%lu", GetCurrentProcessId(), ++made);
    const std::string path = std::string(temporary, length) + name;
    removeTree(path);
    return CreateDirectoryA(path.c_str(), nullptr) ? path : "";
}

void removeTree(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        std::vector<std::string> entries;
        listBelow(path, &entries);
        std::reverse(entries.begin(), entries.end());  // the deepest first
        for (const std::string& entry : entries) {
            SetFileAttributesA(entry.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (!DeleteFileA(entry.c_str())) {
                RemoveDirectoryA(entry.c_str());
            }
        }
        RemoveDirectoryA(path.c_str());
        return;
    }
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(path.c_str());
}

bool makeDirectories(const std::string& path) {
    for (size_t slash = path.find('\\', 3); slash != std::string::npos;
         slash = path.find('\\', slash + 1)) {
        CreateDirectoryA(path.substr(0, slash).c_str(), nullptr);
    }
    CreateDirectoryA(path.c_str(), nullptr);
    return describe(path) == "directory";
}

std::string describe(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return "absent";
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return "directory";
    }
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
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

// Every row starts with no Receiver about: a window left by an earlier one
// would take the notifications meant for this one.
void beginRow(Scene& scene) {
    EXPECT_EQ(FindWindowW(TARN_CLASS_NAME_W, nullptr), nullptr)
        << "a Receiver window exists already";
    char windows[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(windows, sizeof windows);
    const std::string full = windowsPath(FULL_DISK_DIRECTORY);
    const std::string dir = scene.dir();
    scene.placeholders.push_back({"{windir}", std::string(windows, length)});
    scene.placeholders.push_back({"{drive}", dir.substr(0, 2)});
    scene.placeholders.push_back({"{path}", dir.substr(2)});
    scene.placeholders.push_back({"{fulldisk}", full + "\\disk"});
    scene.placeholders.push_back({"{device}", full + "\\device"});
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
        ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
        file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
            scene.skip = "the read-only attribute does not stop this user here";
        }
        return;
    case Step::kHeldOpen:
        // As a Receiver still reading the last message might hold it.
        file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        scene.undo.push_back([file] { CloseHandle(file); });
        return;
    case Step::kMapped: {
        // Windows lets nobody cut a file short while it is mapped.
        file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        const HANDLE mapping = CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
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
