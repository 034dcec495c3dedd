#include "harness.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

namespace harness {

namespace {

const wchar_t kReceiverClassName[] = TARN_CLASS_NAME_W;
const UINT kMessageWaiting = TARN_MESSAGE_WAITING;

// While one child is being created, only its own pipe ends may be
// inheritable: a child that inherited another's pipe would keep that pipe
// open, and its reader would wait for the wrong process to end.
std::mutex creationLock;

bool caselessBefore(const std::string& a, const std::string& b) {
    return _stricmp(a.c_str(), b.c_str()) < 0;
}

bool caselessBefore(const std::wstring& a, const std::wstring& b) {
    return _wcsicmp(a.c_str(), b.c_str()) < 0;
}

template <typename Text>
Text environmentBlock(std::vector<Text> variables) {
    std::sort(variables.begin(), variables.end(),
              [](const Text& a, const Text& b) { return caselessBefore(a, b); });
    Text block;
    for (const Text& variable : variables) {
        block += variable;
        block.push_back(0);
    }
    if (variables.empty()) {
        block.push_back(0);
    }
    block.push_back(0);
    return block;
}

DWORD creationFlags(const RunOptions& options) {
    return CREATE_NO_WINDOW | (options.suspended ? CREATE_SUSPENDED : 0);
}

bool makePipe(HANDLE* readEnd, HANDLE* writeEnd) {
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    if (!CreatePipe(readEnd, writeEnd, &inheritable, 0)) {
        return false;
    }
    SetHandleInformation(*readEnd, HANDLE_FLAG_INHERIT, 0);
    return true;
}

unsigned long nextScratchNumber() {
    static std::mutex numberLock;
    static unsigned long number = 0;
    std::lock_guard<std::mutex> guard(numberLock);
    return ++number;
}

}  // namespace

Programs& programs() {
    static Programs paths;
    return paths;
}

std::wstring widen(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    const int length =
        MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), &wide[0], (int)wide.size());
    wide.resize(length > 0 ? (size_t)length : 0);
    return wide;
}

std::string windowsPath(const std::string& path) {
    std::string converted = path;
    std::replace(converted.begin(), converted.end(), '/', '\\');
    if (!path.empty() && path[0] == '/') {
        converted = "Z:" + converted;
    }
    return converted;
}

struct Process::PipeReader {
    std::mutex lock;
    std::string bytes;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    ~PipeReader() {
        CloseHandle(done);
    }

    // The reader owns a share of itself, so that a reader left waiting on a
    // pipe that some other process still holds never writes into freed memory.
    static std::shared_ptr<PipeReader> start(HANDLE pipe) {
        std::shared_ptr<PipeReader> reader(new PipeReader);
        std::thread([reader, pipe] {
            char buffer[4096];
            DWORD got = 0;
            while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
                std::lock_guard<std::mutex> guard(reader->lock);
                reader->bytes.append(buffer, got);
            }
            CloseHandle(pipe);
            SetEvent(reader->done);
        }).detach();
        return reader;
    }

    // Waits for the end of the stream; false when a writer still holds it.
    bool collect(DWORD timeoutMs, std::string* into) {
        const bool ended = WaitForSingleObject(done, timeoutMs) == WAIT_OBJECT_0;
        std::lock_guard<std::mutex> guard(lock);
        *into = bytes;
        return ended;
    }
};

Process::~Process() {
    if (process_ != nullptr) {
        TerminateProcess(process_, 255);
        finish(10000);
    }
}

bool Process::start(const std::string& application, const std::string& commandLine,
                    const Environment& environment, const RunOptions& options) {
    std::string block = environmentBlock(environment);
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    return launch(
        [&](HANDLE input, HANDLE output, HANDLE error, PROCESS_INFORMATION* created) {
            STARTUPINFOA startup = {};
            startup.cb = sizeof startup;
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = input;
            startup.hStdOutput = output;
            startup.hStdError = error;
            return CreateProcessA(
                application.c_str(), line.data(), nullptr, nullptr, TRUE, creationFlags(options),
                &block[0],
                options.currentDirectory.empty() ? nullptr : options.currentDirectory.c_str(),
                &startup, created);
        },
        options);
}

bool Process::start(const std::wstring& application, const std::wstring& commandLine,
                    const WideEnvironment& environment, const RunOptions& options) {
    std::wstring block = environmentBlock(environment);
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    const std::wstring currentDirectory = widen(options.currentDirectory);
    return launch(
        [&](HANDLE input, HANDLE output, HANDLE error, PROCESS_INFORMATION* created) {
            STARTUPINFOW startup = {};
            startup.cb = sizeof startup;
            startup.dwFlags = STARTF_USESTDHANDLES;
            startup.hStdInput = input;
            startup.hStdOutput = output;
            startup.hStdError = error;
            return CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE,
                                  creationFlags(options) | CREATE_UNICODE_ENVIRONMENT, &block[0],
                                  currentDirectory.empty() ? nullptr : currentDirectory.c_str(),
                                  &startup, created);
        },
        options);
}

bool Process::launch(const Creator& create, const RunOptions& options) {
    std::lock_guard<std::mutex> guard(creationLock);
    HANDLE outRead = nullptr;
    HANDLE outWrite = nullptr;
    HANDLE errRead = nullptr;
    HANDLE errWrite = nullptr;
    if (!makePipe(&outRead, &outWrite) || !makePipe(&errRead, &errWrite)) {
        result_.startError = GetLastError();
        return false;
    }
    if (options.stdoutBroken) {
        CloseHandle(outRead);  // every write to stdout now fails
        outRead = nullptr;
    }
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    const HANDLE input = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     &inheritable, OPEN_EXISTING, 0, nullptr);

    PROCESS_INFORMATION created = {};
    const BOOL started = create(input, outWrite, errWrite, &created);
    result_.startError = started ? 0 : GetLastError();
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (input != INVALID_HANDLE_VALUE) {
        CloseHandle(input);
    }
    if (!started) {
        if (outRead != nullptr) {
            CloseHandle(outRead);
        }
        CloseHandle(errRead);
        return false;
    }
    thread_ = created.hThread;
    process_ = created.hProcess;
    result_.started = true;
    if (outRead != nullptr) {
        out_ = PipeReader::start(outRead);
    }
    err_ = PipeReader::start(errRead);
    return true;
}

void Process::resume() {
    if (thread_ != nullptr) {
        ResumeThread(thread_);
    }
}

bool Process::running() const {
    return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

RunResult Process::finish(DWORD timeoutMs) {
    if (process_ != nullptr) {
        if (WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0) {
            result_.finished = true;
        } else {
            TerminateProcess(process_, 255);
            WaitForSingleObject(process_, INFINITE);
        }
        GetExitCodeProcess(process_, &result_.exitCode);
        CloseHandle(process_);
        CloseHandle(thread_);
        process_ = nullptr;
        thread_ = nullptr;
    }
    // A process that the child started and that inherited its streams keeps
    // them open after the child ended: reported, not waited for.
    const DWORD kStreamGraceMs = 10000;
    bool closed = true;
    if (out_ && !out_->collect(kStreamGraceMs, &result_.out)) {
        closed = false;
    }
    if (err_ && !err_->collect(kStreamGraceMs, &result_.err)) {
        closed = false;
    }
    out_.reset();
    err_.reset();
    if (!closed && result_.finished) {
        fprintf(stderr, "harness: the child ended, but another process still holds its output\n");
        result_.finished = false;
    }
    return result_;
}

RunResult run(const std::string& application, const std::string& commandLine,
              const Environment& environment, const RunOptions& options) {
    Process process;
    if (!process.start(application, commandLine, environment, options)) {
        return process.finish();
    }
    return process.finish(options.timeoutMs);
}

RunResult runTarnpost(const std::string& commandLine, const Environment& environment,
                      const RunOptions& options) {
    return run(programs().tarnpost, commandLine, environment, options);
}

RunResult runTarnpost(const std::wstring& commandLine, const WideEnvironment& environment) {
    Process process;
    if (!process.start(widen(programs().tarnpost), commandLine, environment)) {
        return process.finish();
    }
    return process.finish(RunOptions().timeoutMs);
}

std::string errorLine(const std::string& text) {
    return crlf("tarnpost: " + text + "\n");
}

ReceiverWindow::~ReceiverWindow() {
    stop();
}

bool ReceiverWindow::start() {
    // Another window of the class (a stand-in left running in this prefix)
    // would take the notifications meant for this one.
    if (FindWindowW(kReceiverClassName, nullptr) != nullptr) {
        fprintf(stderr, "harness: a window of class " TARN_CLASS_NAME " exists already\n");
        return false;
    }
    const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = std::thread(&ReceiverWindow::pumpMessages, this, ready);
    WaitForSingleObject(ready, INFINITE);
    CloseHandle(ready);
    if (!created_) {
        thread_.join();
    }
    return created_;
}

void ReceiverWindow::stop() {
    if (!thread_.joinable()) {
        return;
    }
    // The window is destroyed on its own thread before the join returns, so
    // a later FindWindowW can no longer see it.
    PostMessageW(window_, WM_CLOSE, 0, 0);
    thread_.join();
    window_ = nullptr;
}

void ReceiverWindow::setMessageFile(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock_);
    messageFile_ = path;
}

void ReceiverWindow::setReply(LRESULT reply) {
    std::lock_guard<std::mutex> guard(lock_);
    reply_ = reply;
}

std::vector<Notification> ReceiverWindow::notifications() const {
    std::lock_guard<std::mutex> guard(lock_);
    return notifications_;
}

void ReceiverWindow::pumpMessages(HANDLE ready) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = kReceiverClassName;
    const ATOM registered = RegisterClassW(&windowClass);
    if (registered != 0) {
        window_ = CreateWindowExW(0, kReceiverClassName, L"TARN test Receiver", WS_OVERLAPPEDWINDOW,
                                  0, 0, 100, 100, nullptr, nullptr, windowClass.hInstance, this);
    }
    created_ = window_ != nullptr;
    SetEvent(ready);
    if (created_) {
        MSG queued;
        while (GetMessageW(&queued, nullptr, 0, 0) > 0) {
            DispatchMessageW(&queued);
        }
    }
    if (registered != 0) {
        UnregisterClassW(kReceiverClassName, windowClass.hInstance);
    }
}

LRESULT CALLBACK ReceiverWindow::procedure(HWND window, UINT message, WPARAM wParam,
                                           LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const CREATESTRUCTW* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(window, GWLP_USERDATA,
                          reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    }
    ReceiverWindow* self =
        reinterpret_cast<ReceiverWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (message == kMessageWaiting && self != nullptr) {
        return self->onMessageWaiting(wParam, lParam);
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// Reads the file the moment the window is told, denying writers: a file that
// tarnpost still held open for writing cannot be opened here at all.
LRESULT ReceiverWindow::onMessageWaiting(WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> guard(lock_);
    Notification seen;
    seen.wParam = wParam;
    seen.lParam = lParam;
    const HANDLE file = CreateFileA(messageFile_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        seen.readError = GetLastError();
    } else {
        char buffer[4096];
        DWORD got = 0;
        BOOL read = FALSE;
        while ((read = ReadFile(file, buffer, sizeof buffer, &got, nullptr)) && got > 0) {
            seen.fileBytes.append(buffer, got);
        }
        seen.fileRead = read != FALSE;
        seen.readError = read ? 0 : GetLastError();
        CloseHandle(file);
    }
    notifications_.push_back(seen);
    return reply_;
}

ScratchDirectory::ScratchDirectory(const std::string& label) {
    char temporary[MAX_PATH];
    const DWORD length = GetTempPathA(sizeof temporary, temporary);
    std::string base(temporary, length);
    if (!base.empty() && base.back() == '\\') {
        base.pop_back();
    }
    char name[64];
    snprintf(name, sizeof name, "\\tarnpost-%s-%lu-%lu", label.c_str(), GetCurrentProcessId(),
             nextScratchNumber());
    path_ = base + name;
    removeTree(path_);
    CreateDirectoryA(path_.c_str(), nullptr);
}

ScratchDirectory::~ScratchDirectory() {
    removeTree(path_);
}

bool makeDirectories(const std::string& path) {
    for (size_t slash = path.find('\\', 3); slash != std::string::npos;
         slash = path.find('\\', slash + 1)) {
        CreateDirectoryA(path.substr(0, slash).c_str(), nullptr);
    }
    return CreateDirectoryA(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

namespace {

// In UTF-16, so that names the ANSI code page cannot hold go too.
void removeWideTree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
        return;
    }
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0) {
                names.push_back(found.cFileName);
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    for (const std::wstring& name : names) {
        removeWideTree(path + L"\\" + name);
    }
    RemoveDirectoryW(path.c_str());
}

}  // namespace

void removeTree(const std::string& path) {
    removeWideTree(widen(path));
}

bool fileExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool readFile(const std::string& path, std::string* bytes) {
    bytes->clear();
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return false;
    }
    char buffer[4096];
    size_t got = 0;
    while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes->append(buffer, got);
    }
    const bool ok = !ferror(file);
    fclose(file);
    return ok;
}

bool writeFile(const std::string& path, const std::string& bytes) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return fclose(file) == 0 && written;
}

std::vector<std::string> listDirectory(const std::string& path) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) {
            names.push_back(found.cFileName);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

std::string windowsDirectory() {
    char directory[MAX_PATH];
    const UINT length = GetWindowsDirectoryA(directory, sizeof directory);
    return std::string(directory, length < sizeof directory ? length : 0);
}

std::string printable(const std::string& text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c == '\r') {
            shown += "\\r";
        } else if (c == '\n') {
            shown += "\\n";
        } else if (c == '\\') {
            shown += "\\\\";
        } else if (c < 0x20 || c >= 0x7f) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02x", c);
            shown += escaped;
        } else {
            shown += (char)c;
        }
    }
    return shown;
}

}  // namespace harness
