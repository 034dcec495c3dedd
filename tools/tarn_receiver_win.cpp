// A stand-in Receiver for tests and demonstrations on Windows (and under
// Wine): owns a top-level window of the class tarnpost looks for, reads the
// message file whenever the window is told a message is waiting, shows what
// it got, and replies as told.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "delivery/receiver_protocol.h"
#include "tools/receiver_common.h"

namespace {

ReceiverOptions options;
long handled = 0;
HWND receiverWindow = nullptr;

char message[1 << 20];

void usage() {
    fprintf(
        stderr,
        "usage: tarn-receiver [--reply N] [--die] [--delay MS] [--count N] [--dir MESSAGE_DIR]\n"
        "                     [--record DIR] [--ready FILE] [--read-shared] [--title TEXT]\n"
        "       tarn-receiver --stop\n");
}

// Opens the file as TARN opens it, denying writers: tarnpost must have closed
// it before it tells the window, so a file still open for writing shows up
// as an error, and no delivery may rewrite it while TARN handles a message.
// With --read-shared another program holds it open for writing, and that
// check is given up.
HANDLE openMessage(const char* path, DWORD* error) {
    const DWORD sharing = options.readShared ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    const HANDLE file = CreateFileA(path, GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    *error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    return file;
}

// Reads the whole file and closes it.
bool readMessage(HANDLE file, size_t* length, DWORD* error) {
    DWORD got = 0;
    const BOOL read = ReadFile(file, message, sizeof message, &got, nullptr);
    *error = read ? 0 : GetLastError();
    CloseHandle(file);
    *length = got;
    return read != FALSE;
}

LRESULT onMessageWaiting(WPARAM wParam, LPARAM lParam) {
    const long number = ++handled;
    if (wParam != 0 || lParam != 0) {
        printf("TARN unexpected parameters wParam %lu lParam %ld\n", (unsigned long)wParam,
               (long)lParam);
    }
    char path[MAX_PATH * 2];
    size_t length = 0;
    DWORD error = 0;
    const bool placed = messageFilePath(options.messageDirectory, path, sizeof path);
    const HANDLE file = placed ? openMessage(path, &error) : INVALID_HANDLE_VALUE;
    // A Receiver busy elsewhere gets to the message only later, and reads the
    // file then, holding it open all the while; what is sent meanwhile waits
    // in its queue.
    if (options.delayMs > 0) {
        printf("TARN busy for %ld ms before message %ld\n", options.delayMs, number);
        fflush(stdout);
        Sleep((DWORD)options.delayMs);
    }
    if (!placed) {
        printf("TARN message %ld: no message directory\n", number);
    } else if (file == INVALID_HANDLE_VALUE || !readMessage(file, &length, &error)) {
        printf("TARN message %ld: cannot read %s (error %lu)\n", number, path, error);
    } else {
        showMessage(number, message, length);
        recordMessage(options.recordDirectory, number, message, length);
    }
    fflush(stdout);
    if (options.die) {
        TerminateProcess(GetCurrentProcess(), 3);
    }
    if (options.count >= 0 && handled >= options.count) {
        PostMessageW(receiverWindow, WM_CLOSE, 0, 0);
    }
    // A window procedure may leave any last error behind; the sender must
    // go by the reply alone, so the stand-in always leaves one.
    SetLastError(ERROR_ACCESS_DENIED);
    return (LRESULT)options.reply;
}

LRESULT CALLBACK receiverProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case TARN_MESSAGE_WAITING:
        return onMessageWaiting(wParam, lParam);
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// Ctrl+C and Ctrl+Break close the window, so the run ends with its summary.
BOOL WINAPI onConsoleControl(DWORD /*event*/) {
    if (receiverWindow != nullptr) {
        PostMessageW(receiverWindow, WM_CLOSE, 0, 0);
        return TRUE;
    }
    return FALSE;
}

bool createReceiverWindow() {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = receiverProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = TARN_CLASS_NAME_W;
    if (RegisterClassW(&windowClass) == 0) {
        fprintf(stderr, "tarn-receiver: cannot register the window class (error %lu)\n",
                GetLastError());
        return false;
    }
    // Never shown: the window exists only to be found and told. --title
    // makes it pass for TARN itself, which --stop must leave alone.
    WCHAR title[256] = L"";
    if (options.title == nullptr) {
        lstrcpyW(title, TARN_STAND_IN_TITLE_W);
    } else {
        MultiByteToWideChar(CP_ACP, 0, options.title, -1, title, 255);
    }
    receiverWindow = CreateWindowExW(0, TARN_CLASS_NAME_W, title, WS_OVERLAPPEDWINDOW, 0, 0, 100,
                                     100, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (receiverWindow == nullptr) {
        fprintf(stderr, "tarn-receiver: cannot create the window (error %lu)\n", GetLastError());
        return false;
    }
    return true;
}

// Closes a running stand-in and waits until it is gone. Only a window with
// the stand-in's title is closed: TARN's own window has the same class.
int stopRunningReceiver() {
    const HWND window = FindWindowW(TARN_CLASS_NAME_W, TARN_STAND_IN_TITLE_W);
    if (window == nullptr) {
        fprintf(stderr, "tarn-receiver: no stand-in is running (no window of class " TARN_CLASS_NAME
                        " titled \"" TARN_STAND_IN_TITLE "\")\n");
        return 1;
    }
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    PostMessageW(window, WM_CLOSE, 0, 0);
    if (process != nullptr) {
        WaitForSingleObject(process, 10000);
        CloseHandle(process);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    // A window procedure always returns a number as its reply, and there is
    // no connection to hang up, drop or look behind.
    if (!parseReceiverOptions(argc, argv, &options) || options.hangUp || options.drop ||
        options.peerStreams || options.replyBytes != nullptr || options.socketPath != nullptr ||
        options.onNoOperation != nullptr) {
        usage();
        return 2;
    }
    if (options.stop) {
        return stopRunningReceiver();
    }
    if (FindWindowW(TARN_CLASS_NAME_W, TARN_STAND_IN_TITLE_W) != nullptr) {
        fprintf(stderr, "tarn-receiver: a stand-in is running already (end it with --stop)\n");
        return 1;
    }
    if (FindWindowW(TARN_CLASS_NAME_W, nullptr) != nullptr) {
        fprintf(stderr, "tarn-receiver: TARN is running (a window of class " TARN_CLASS_NAME
                        " that is no stand-in's)\n");
        return 1;
    }
    if (!createReceiverWindow()) {
        return 1;
    }
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    printf("TARN window of class " TARN_CLASS_NAME " ready\n");
    fflush(stdout);
    createReadyFile(options.readyFile);

    MSG queued;
    while (GetMessageW(&queued, nullptr, 0, 0) > 0) {
        TranslateMessage(&queued);
        DispatchMessageW(&queued);
    }
    printf("TARN stopped after %ld notifications\n", handled);
    return 0;
}
