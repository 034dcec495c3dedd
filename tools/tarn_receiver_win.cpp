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
        "                     [--record DIR] [--ready FILE] [--read-shared]\n"
        "       tarn-receiver --stop\n");
}

// Reads the whole file, denying writers: tarnpost must have closed it before
// it tells the window, so a file still open for writing shows up as an error.
// With --read-shared another program holds it open for writing, and that
// check is given up.
bool readMessage(const char* path, size_t* length, DWORD* error) {
    const DWORD sharing = options.readShared ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    const HANDLE file = CreateFileA(path, GENERIC_READ, sharing, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return false;
    }
    DWORD got = 0;
    const BOOL read = ReadFile(file, message, sizeof message, &got, nullptr);
    *error = read ? 0 : GetLastError();
    CloseHandle(file);
    *length = got;
    return read != FALSE;
}

LRESULT onMessageWaiting(WPARAM wParam, LPARAM lParam) {
    const long number = ++handled;
    // A Receiver busy elsewhere gets to the message only later, and reads the
    // file then; what is sent meanwhile waits in its queue.
    if (options.delayMs > 0) {
        printf("TARN busy for %ld ms before message %ld\n", options.delayMs, number);
        fflush(stdout);
        Sleep((DWORD)options.delayMs);
    }
    if (wParam != 0 || lParam != 0) {
        printf("TARN unexpected parameters wParam %lu lParam %ld\n", (unsigned long)wParam,
               (long)lParam);
    }
    char path[MAX_PATH * 2];
    size_t length = 0;
    DWORD error = 0;
    if (!messageFilePath(options.messageDirectory, path, sizeof path)) {
        printf("TARN message %ld: no message directory\n", number);
    } else if (!readMessage(path, &length, &error)) {
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
    // Never shown: the window exists only to be found and told.
    receiverWindow = CreateWindowExW(0, TARN_CLASS_NAME_W, L"TARN stand-in", WS_OVERLAPPEDWINDOW, 0,
                                     0, 100, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (receiverWindow == nullptr) {
        fprintf(stderr, "tarn-receiver: cannot create the window (error %lu)\n", GetLastError());
        return false;
    }
    return true;
}

// Closes the stand-in that owns the window and waits until it is gone.
int stopRunningReceiver() {
    const HWND window = FindWindowW(TARN_CLASS_NAME_W, nullptr);
    if (window == nullptr) {
        fprintf(stderr, "tarn-receiver: no window of class " TARN_CLASS_NAME "\n");
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
        options.peerStreams || options.replyBytes != nullptr || options.socketPath != nullptr) {
        usage();
        return 2;
    }
    if (options.stop) {
        return stopRunningReceiver();
    }
    if (FindWindowW(TARN_CLASS_NAME_W, nullptr) != nullptr) {
        fprintf(stderr, "tarn-receiver: a window of class " TARN_CLASS_NAME " exists already\n");
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
