// A stand-in Receiver for tests and demonstrations on Windows (and under
// Wine): owns a top-level window of the class tarnpost looks for, reads the
// message file whenever the window is told a message is waiting, shows what
// it got, and replies as told.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const wchar_t kClassName[] = L"AfxTarnAppClassName";
const UINT kMessageWaiting = 0x8000;

struct Options {
    LRESULT reply = 0;
    bool die = false;   // end the process inside the window procedure
    long count = -1;    // stop after this many notifications
    bool stop = false;  // close the running stand-in instead of being one
    const char* messageDirectory = nullptr;
    const char* recordDirectory = nullptr;  // keep each message read as NNNNNN.msg
    const char* readyFile = nullptr;        // created once the window exists
};

Options options;
long handled = 0;
HWND receiverWindow = nullptr;

char message[1 << 20];

void usage() {
    fprintf(stderr,
            "usage: tarn-receiver [--reply N] [--die] [--count N] [--dir MESSAGE_DIR]\n"
            "                     [--record DIR] [--ready FILE]\n"
            "       tarn-receiver --stop\n");
}

bool parseOptions(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (strcmp(option, "--reply") == 0 && hasValue) {
            options.reply = (LRESULT)strtoll(argv[++i], nullptr, 10);
        } else if (strcmp(option, "--count") == 0 && hasValue) {
            options.count = strtol(argv[++i], nullptr, 10);
        } else if (strcmp(option, "--dir") == 0 && hasValue) {
            options.messageDirectory = argv[++i];
        } else if (strcmp(option, "--record") == 0 && hasValue) {
            options.recordDirectory = argv[++i];
        } else if (strcmp(option, "--ready") == 0 && hasValue) {
            options.readyFile = argv[++i];
        } else if (strcmp(option, "--die") == 0) {
            options.die = true;
        } else if (strcmp(option, "--stop") == 0) {
            options.stop = true;
        } else {
            return false;
        }
    }
    return true;
}

// The places tarnpost uses: USERPROFILE, else HOMEDRIVE and HOMEPATH, else
// the Windows directory. Looked up at every notification, like tarnpost.
bool messageFilePath(char* path, size_t size) {
    char directory[MAX_PATH * 2] = "";
    if (options.messageDirectory != nullptr) {
        snprintf(directory, sizeof directory, "%s", options.messageDirectory);
    } else if (GetEnvironmentVariableA("USERPROFILE", directory, sizeof directory) == 0) {
        const DWORD drive = GetEnvironmentVariableA("HOMEDRIVE", directory, sizeof directory);
        if (drive > 0 && drive < sizeof directory) {
            const DWORD room = (DWORD)(sizeof directory - drive);
            if (GetEnvironmentVariableA("HOMEPATH", directory + drive, room) >= room) {
                directory[drive] = '\0';
            }
        } else if (GetWindowsDirectoryA(directory, sizeof directory) == 0) {
            return false;
        }
    }
    const int length = snprintf(path, size, "%s\\TARN_Message.txt", directory);
    return length > 0 && (size_t)length < size;
}

// Reads the whole file, denying writers: tarnpost must have closed it before
// it tells the window, so a file still open for writing shows up as an error.
bool readMessage(const char* path, size_t* length, DWORD* error) {
    const HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
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

// Shows the bytes with C escapes so that CR, LF and 8-bit bytes stay visible.
void showMessage(long number, size_t length) {
    printf("TARN message %ld (%u bytes): \"", number, (unsigned)length);
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = (unsigned char)message[i];
        if (c == '\r') {
            fputs("\\r", stdout);
        } else if (c == '\n') {
            fputs("\\n", stdout);
        } else if (c == '"' || c == '\\') {
            printf("\\%c", c);
        } else if (c < 0x20 || c >= 0x7f) {
            printf("\\x%02x", c);
        } else {
            putchar(c);
        }
    }
    puts("\"");
}

void recordMessage(long number, size_t length) {
    if (options.recordDirectory == nullptr) {
        return;
    }
    char path[MAX_PATH * 2];
    snprintf(path, sizeof path, "%s\\%06ld.msg", options.recordDirectory, number);
    FILE* file = fopen(path, "wb");
    const bool recorded =
        file != nullptr && fwrite(message, 1, length, file) == length && fclose(file) == 0;
    if (!recorded) {
        fprintf(stderr, "tarn-receiver: cannot record %s\n", path);
    }
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
    if (!messageFilePath(path, sizeof path)) {
        printf("TARN message %ld: no message directory\n", number);
    } else if (!readMessage(path, &length, &error)) {
        printf("TARN message %ld: cannot read %s (error %lu)\n", number, path, error);
    } else {
        showMessage(number, length);
        recordMessage(number, length);
    }
    fflush(stdout);
    if (options.die) {
        TerminateProcess(GetCurrentProcess(), 3);
    }
    if (options.count >= 0 && handled >= options.count) {
        PostMessageW(receiverWindow, WM_CLOSE, 0, 0);
    }
    return options.reply;
}

LRESULT CALLBACK receiverProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case kMessageWaiting:
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
    windowClass.lpszClassName = kClassName;
    if (RegisterClassW(&windowClass) == 0) {
        fprintf(stderr, "tarn-receiver: cannot register the window class (error %lu)\n",
                GetLastError());
        return false;
    }
    // Never shown: the window exists only to be found and told.
    receiverWindow = CreateWindowExW(0, kClassName, L"TARN stand-in", WS_OVERLAPPEDWINDOW, 0, 0,
                                     100, 100, nullptr, nullptr, windowClass.hInstance, nullptr);
    if (receiverWindow == nullptr) {
        fprintf(stderr, "tarn-receiver: cannot create the window (error %lu)\n", GetLastError());
        return false;
    }
    return true;
}

void signalReady() {
    if (options.readyFile == nullptr) {
        return;
    }
    FILE* ready = fopen(options.readyFile, "w");
    if (ready == nullptr || fclose(ready) != 0) {
        fprintf(stderr, "tarn-receiver: cannot create %s\n", options.readyFile);
    }
}

// Closes the stand-in that owns the window and waits until it is gone.
int stopRunningReceiver() {
    const HWND window = FindWindowW(kClassName, nullptr);
    if (window == nullptr) {
        fprintf(stderr, "tarn-receiver: no window of class AfxTarnAppClassName\n");
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
    if (!parseOptions(argc, argv)) {
        usage();
        return 2;
    }
    if (options.stop) {
        return stopRunningReceiver();
    }
    if (FindWindowW(kClassName, nullptr) != nullptr) {
        fprintf(stderr, "tarn-receiver: a window of class AfxTarnAppClassName exists already\n");
        return 1;
    }
    if (!createReceiverWindow()) {
        return 1;
    }
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
    printf("TARN window of class AfxTarnAppClassName ready\n");
    fflush(stdout);
    signalReady();

    MSG queued;
    while (GetMessageW(&queued, nullptr, 0, 0) > 0) {
        TranslateMessage(&queued);
        DispatchMessageW(&queued);
    }
    printf("TARN stopped after %ld notifications\n", handled);
    return 0;
}
