// The Windows side of the seam: the Win32 operations come from <windows.h>
// as they are; the operations below are this program's own.
#include <fcntl.h>
#include <io.h>
#include <stdint.h>
#include <string.h>

#include "platform/platform.h"

namespace {

// One mutex per session (Local\ names an object in the session's own
// namespace, which an elevated or runas tarnpost in the same session
// shares): every delivery there waits for the one before it.
const WCHAR kDeliveryMutexName[] = L"Local\\TarnpostDelivery";

// The longest wait SendMessageTimeoutW can be asked for (about 49.7 days):
// a Receiver that takes minutes is still waited for.
const UINT kLongestWait = 0xFFFFFFFF;

HANDLE deliveryMutex = nullptr;

// Where the message file stands with the console's interruptions (Ctrl+C,
// Ctrl+Break, the console closing): let through at once, held back while the
// file is rewritten, one held back that has yet to end the process, or one
// let through that is ending it now.
enum Interruptions : LONG { kLetThrough, kHeldBack, kOneArrived, kEnding };
volatile LONG interruptions = kLetThrough;

// Ends the process as Windows' own handler of the console's events does.
// Wine's ends it with status 0, which a caller would take for a delivery.
void endAsInterrupted() {
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Runs on a thread of its own when the console sends an event: Ctrl+C,
// Ctrl+Break and the console closing alike. One let through ends the process
// at once. One held back keeps its thread here until allowInterruptions ends
// the process; the console's closing, which ends the process once this
// returns, is held off that way too (Windows waits some seconds for it, far
// longer than a rewrite takes).
// Logoff and shutdown never come this way: Windows ends a console program
// that uses USER32 without calling its handler, and tells such a program
// only through a window, which tarnpost does not make. A rewrite that one of
// them cuts short can leave part of a message, one that TARN, ending too,
// was never told of.
BOOL WINAPI holdBackWhileRewriting(DWORD /*event*/) {
    for (;;) {
        const LONG now = interruptions;
        const LONG next = now == kLetThrough ? kEnding : now == kHeldBack ? kOneArrived : now;
        if (InterlockedCompareExchange(&interruptions, next, now) == now) {
            if (next == kEnding) {
                endAsInterrupted();
            }
            break;
        }
    }
    Sleep(INFINITE);
    return TRUE;
}

// SMTO_ERRORONEXIT makes a Receiver whose thread ends while handling the
// message a failure of the send. Windows before Vista does not know the flag,
// and a flag it rejected would fail every delivery there.
UINT sendFlags() {
    const DWORD majorVersion = LOBYTE(LOWORD(GetVersion()));
    return majorVersion >= 6 ? SMTO_NORMAL | SMTO_ERRORONEXIT : SMTO_NORMAL;
}

}  // namespace

// A console program's standard handles are the caller's business. The
// console's events go through a handler of this program's own, which ends
// the process at once, except while the message file is rewritten; should
// Windows refuse the handler, the rewrite goes on unguarded rather than not
// at all.
bool prepareProcess() {
    SetConsoleCtrlHandler(holdBackWhileRewriting, TRUE);
    return true;
}

FILE* openMessageFile(const char* path) {
    // The sharing the runtime's fopen grants, so that readers and writers of
    // the file see no difference.
    const HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        return nullptr;
    }
    const int descriptor = _open_osfhandle((intptr_t)handle, _O_WRONLY | _O_BINARY);
    if (descriptor < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* file = _fdopen(descriptor, "wb");
    if (file == nullptr) {
        _close(descriptor);
        return nullptr;
    }
    return file;
}

bool setFileLength(FILE* file, long length) {
    return _chsize(_fileno(file), length) == 0;
}

bool sendAndWait(HWND window, UINT message, LRESULT* reply, DWORD* error) {
    DWORD_PTR result = 0;
    // SendMessageTimeoutW does not always name a reason when it fails; an
    // error left over from before must not be taken for one.
    SetLastError(ERROR_SUCCESS);
    if (SendMessageTimeoutW(window, message, 0, 0, sendFlags(), kLongestWait, &result) == 0) {
        *error = GetLastError();
        return false;
    }
    *reply = (LRESULT)result;
    return true;
}

DeliveryLock acquireDeliveryLock(const char* /*messageFilePath*/) {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, kDeliveryMutexName);
    if (mutex == nullptr) {
        return DELIVERY_LOCK_FAILED;
    }
    // WAIT_ABANDONED: the previous owner died mid-delivery; the file it left
    // is rewritten whole by this delivery, so the mutex is simply ours now.
    const DWORD waited = WaitForSingleObject(mutex, INFINITE);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return DELIVERY_LOCK_FAILED;
    }
    deliveryMutex = mutex;
    return DELIVERY_LOCK_TAKEN;
}

void releaseDeliveryLock() {
    if (deliveryMutex != nullptr) {
        ReleaseMutex(deliveryMutex);
        CloseHandle(deliveryMutex);
        deliveryMutex = nullptr;
    }
}

void deferInterruptions() {
    // One let through is ending the process: the rewrite must not begin, or
    // the end would cut it short.
    if (InterlockedCompareExchange(&interruptions, kHeldBack, kLetThrough) != kLetThrough) {
        Sleep(INFINITE);
    }
}

void allowInterruptions() {
    if (InterlockedExchange(&interruptions, kLetThrough) == kOneArrived) {
        endAsInterrupted();
    }
}

// --- Texts the ANSI code page cannot hold ------------------------------------

// msvcrt's wide counterpart of the start-up that split the command line for
// main, by the same rules; the headers keep it to the runtime's own start-up
// code, so it is declared here.
struct WideStartupInfo {
    // cppcheck-suppress unusedStructMember ; read by the runtime, not here
    int newMode;
};
extern "C" int __cdecl __wgetmainargs(  // NOLINT(bugprone-reserved-identifier)
    int* count, wchar_t*** arguments, wchar_t*** environment, int expandWildcards,
    WideStartupInfo* startup);

namespace {

// A command line, and so each argument, holds at most 32,767 UTF-16 units,
// and so does an environment value.
const DWORD kLongestWideText = 32767;

// Texts are converted in pieces of at most this many UTF-16 units, of each
// of which the ANSI code page makes at most two bytes, or three when it is
// UTF-8. Small pieces keep the buffers small; zeroed static buffers would
// even be stored in the program file.
const int kPieceUnits = 256;
const int kPieceBytes = 3 * kPieceUnits;

// Converts the `units` UTF-16 units at `wide` into `bytes` in the ANSI code
// page with neither a substitute nor a best-fit look-alike. Returns the bytes
// stored, or 0 when some character has no exact counterpart there.
int convertExactly(const WCHAR* wide, int units, char* bytes) {
    // UTF-8 holds every character and takes neither the flag nor the report
    // of substitutes; it fails only on what it cannot encode at all, a lone
    // surrogate.
    if (GetACP() == CP_UTF8) {
        return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, units, bytes, kPieceBytes,
                                   nullptr, nullptr);
    }
    BOOL substituted = FALSE;
    const int stored = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, units, bytes,
                                           kPieceBytes, nullptr, &substituted);
    return substituted ? 0 : stored;
}

// Whether `ansi` is `wide` in the ANSI code page, exactly and byte for byte:
// also no text that a look-alike split differently. A piece never ends
// between the two halves of a surrogate pair.
bool isExactly(const char* ansi, const WCHAR* wide) {
    const size_t ansiLength = strlen(ansi);
    size_t matched = 0;
    while (*wide != 0) {
        int units = 0;
        while (units < kPieceUnits && wide[units] != 0) {
            ++units;
        }
        if (wide[units] != 0 && IS_HIGH_SURROGATE(wide[units - 1])) {
            --units;
        }
        char piece[kPieceBytes];
        const int stored = convertExactly(wide, units, piece);
        if (stored <= 0 || (size_t)stored > ansiLength - matched ||
            memcmp(ansi + matched, piece, (size_t)stored) != 0) {
            return false;
        }
        matched += (size_t)stored;
        wide += units;
    }
    return matched == ansiLength;
}

}  // namespace

bool argumentIsExact(int index, const char* argument) {
    int count = 0;
    wchar_t** arguments = nullptr;
    wchar_t** environment = nullptr;
    WideStartupInfo startup = {0};
    // Without wildcard expansion, as main's own arguments were split.
    __wgetmainargs(&count, &arguments, &environment, 0, &startup);
    return arguments != nullptr && index >= 0 && index < count && arguments[index] != nullptr &&
           isExactly(argument, arguments[index]);
}

bool environmentValueIsExact(const char* name, const char* value) {
    WCHAR wideName[256];
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, wideName,
                            sizeof wideName / sizeof wideName[0]) == 0) {
        return false;
    }
    WCHAR wideValue[kLongestWideText + 1];
    const DWORD length = GetEnvironmentVariableW(wideName, wideValue, kLongestWideText + 1);
    if (length > kLongestWideText) {
        return false;  // longer than any value can be: nothing to compare
    }
    if (length == 0) {
        wideValue[0] = L'\0';  // unset or empty
    }
    return isExactly(value, wideValue);
}
