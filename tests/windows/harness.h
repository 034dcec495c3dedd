// What the Windows tests need around tarnpost.exe: starting it with an exact
// command line and environment, reading its streams, playing the Receiver's
// window, and scratch directories that clean up after themselves.
#ifndef TARNPOST_TESTS_WINDOWS_HARNESS_H
#define TARNPOST_TESTS_WINDOWS_HARNESS_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "delivery/receiver_protocol.h"
#include "tests/line_ends.h"

namespace harness {

// Paths handed to the test program on its command line (see main.cpp).
struct Programs {
    std::string tarnpost;           // tarnpost.exe
    std::string receiver;           // tarn-receiver.exe, the stand-in Receiver
    std::string wildcardProbe;      // prints its arguments, with wildcard expansion on
    std::string fullDiskDirectory;  // holds "device" and "disk" (see faults_test.cpp)
};
Programs& programs();

// A path given the Unix way under Wine ("/a/b") in Windows form ("Z:\a\b").
std::string windowsPath(const std::string& path);

// "NAME=value" entries; the block passed to the child holds exactly these.
using Environment = std::vector<std::string>;
// The same in UTF-16, for a child started the way a Unicode program starts it.
using WideEnvironment = std::vector<std::wstring>;

// `text` from the ANSI code page into UTF-16.
std::wstring widen(const std::string& text);

struct RunOptions {
    std::string currentDirectory;  // empty: the test's own
    bool stdoutBroken = false;     // stdout is a pipe nobody reads any more
    bool suspended = false;        // started suspended until Process::resume
    DWORD timeoutMs = 60000;
};

struct RunResult {
    bool started = false;
    DWORD startError = 0;
    bool finished = false;  // ended within the time limit, its streams closed
    DWORD exitCode = 0;
    std::string out;
    std::string err;
};

// One child process with its standard output and error read through pipes.
class Process {
public:
    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    ~Process();

    // Starts `application` with `commandLine` exactly as given (argv[0]
    // included) and an environment block holding only `environment`.
    bool start(const std::string& application, const std::string& commandLine,
               const Environment& environment, const RunOptions& options = RunOptions());
    // The same with CreateProcessW: the command line and the environment
    // reach the child in UTF-16, never through the ANSI code page.
    bool start(const std::wstring& application, const std::wstring& commandLine,
               const WideEnvironment& environment, const RunOptions& options = RunOptions());
    void resume();
    bool running() const;
    // Waits for the end and collects both streams.
    RunResult finish(DWORD timeoutMs = 60000);

private:
    // Collects what one pipe carries until every writer has closed it.
    struct PipeReader;
    // Creates the process with `create`, handing it the standard handles.
    using Creator = std::function<BOOL(HANDLE input, HANDLE output, HANDLE error,
                                       PROCESS_INFORMATION* created)>;
    bool launch(const Creator& create, const RunOptions& options);

    RunResult result_;
    HANDLE process_ = nullptr;
    HANDLE thread_ = nullptr;
    std::shared_ptr<PipeReader> out_;
    std::shared_ptr<PipeReader> err_;
};

RunResult run(const std::string& application, const std::string& commandLine,
              const Environment& environment, const RunOptions& options = RunOptions());

// tarnpost.exe with `commandLine` (which starts with the program's name).
RunResult runTarnpost(const std::string& commandLine, const Environment& environment,
                      const RunOptions& options = RunOptions());
// The same, started with CreateProcessW.
RunResult runTarnpost(const std::wstring& commandLine, const WideEnvironment& environment);

// The line tarnpost writes to its text-mode standard error for `text`.
std::string errorLine(const std::string& text);

// What the Receiver's window saw at one notification.
struct Notification {
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    bool fileRead = false;  // opened (denying writers) and read whole
    DWORD readError = 0;    // why not, when it was not
    std::string fileBytes;
};

// A real top-level window of TARN's class in a thread of its own. At the
// message-waiting message it reads the message file, records what it found and
// returns the chosen reply.
class ReceiverWindow {
public:
    ReceiverWindow() = default;
    ReceiverWindow(const ReceiverWindow&) = delete;
    ReceiverWindow& operator=(const ReceiverWindow&) = delete;
    ~ReceiverWindow();

    bool start();  // false when the window could not be made
    void stop();
    void setMessageFile(const std::string& path);
    void setReply(LRESULT reply);
    std::vector<Notification> notifications() const;

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void pumpMessages(HANDLE ready);
    LRESULT onMessageWaiting(WPARAM wParam, LPARAM lParam);

    mutable std::mutex lock_;
    std::string messageFile_;
    LRESULT reply_ = 0;
    std::vector<Notification> notifications_;
    HWND window_ = nullptr;
    bool created_ = false;
    std::thread thread_;
};

// A directory of the test's own under the Windows temporary directory,
// removed with everything in it at the end.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const std::string& label);
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;
    ~ScratchDirectory();

    const std::string& path() const {
        return path_;
    }
    std::string file(const std::string& name) const {
        return path_ + "\\" + name;
    }

private:
    std::string path_;
};

// A scratch profile directory that USERPROFILE names, and a Receiver window
// that reads the message file in it.
class ProfileWithReceiver : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(receiver.start()) << "no window of class " TARN_CLASS_NAME;
        receiver.setMessageFile(profile.file(TARN_MESSAGE_FILE_NAME));
    }

    Environment profileEnvironment() const {
        return {"USERPROFILE=" + profile.path()};
    }

    ScratchDirectory profile{"profile"};
    ReceiverWindow receiver;
};

bool makeDirectories(const std::string& path);
void removeTree(const std::string& path);
bool fileExists(const std::string& path);
bool readFile(const std::string& path, std::string* bytes);
bool writeFile(const std::string& path, const std::string& bytes);
// The names in a directory, sorted, without "." and "..".
std::vector<std::string> listDirectory(const std::string& path);
std::string windowsDirectory();

// `text` with control and 8-bit bytes escaped, for readable failures.
std::string printable(const std::string& text);

}  // namespace harness

#endif
