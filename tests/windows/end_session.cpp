// Usage: end-session-test TARNPOST.exe
// Ends the session for tarnpost as Windows does for a program that uses
// USER32, by messages to its top-level windows. Waiting for the delivery lock
// held here, it must agree, then end as a Ctrl+C ends it.
#include <stdio.h>
#include <windows.h>

static DWORD tarnpostProcess = 0;
static HWND sessionWindow = nullptr;

static BOOL CALLBACK findSessionWindow(HWND window, LPARAM /*unused*/) {
    DWORD process = 0;
    WCHAR name[32] = L"";
    GetWindowThreadProcessId(window, &process);
    GetClassNameW(window, name, 32);
    if (process == tarnpostProcess && lstrcmpW(name, L"TarnpostSessionEnd") == 0) {
        sessionWindow = window;
    }
    return sessionWindow == nullptr;
}

int main(int argc, char** argv) {
    HANDLE lock = CreateMutexW(nullptr, FALSE, L"Local\\TarnpostDelivery");
    char line[1024];
    snprintf(line, sizeof line, "\"%s\" \"the session ends\"", argc == 2 ? argv[1] : "");
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION tarnpost = {};
    if (lock == nullptr || WaitForSingleObject(lock, 0) != WAIT_OBJECT_0 ||
        !CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &tarnpost)) {
        fprintf(stderr, "cannot hold the delivery lock and start %s\n", line);
        return 1;
    }
    tarnpostProcess = tarnpost.dwProcessId;
    for (int tries = 0; sessionWindow == nullptr && tries < 3000; ++tries) {
        Sleep(10);
        EnumWindows(findSessionWindow, 0);
    }
    DWORD_PTR agreed = FALSE;
    SendMessageTimeoutW(sessionWindow, WM_QUERYENDSESSION, 0, 0, SMTO_NORMAL, 30000, &agreed);
    SendMessageTimeoutW(sessionWindow, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 30000, nullptr);
    DWORD status = 0;
    const bool ended = WaitForSingleObject(tarnpost.hProcess, 30000) == WAIT_OBJECT_0;
    GetExitCodeProcess(tarnpost.hProcess, &status);
    printf("window %p, WM_QUERYENDSESSION %lu, ended %d with status 0x%lX\n", (void*)sessionWindow,
           (unsigned long)agreed, ended, (unsigned long)status);
    TerminateProcess(tarnpost.hProcess, 1);
    return agreed == TRUE && status == STATUS_CONTROL_C_EXIT ? 0 : 1;
}
