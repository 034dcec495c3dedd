// The Windows side of the seam: the Win32 operations come from <windows.h>
// as they are; only the delivery lock and the checks for texts the ANSI code
// page cannot hold are this program's own.
#include <io.h>
#include <string.h>

#include "platform/platform.h"

namespace {

// One mutex per logon session: every delivery of this user's desktop waits
// for the one before it.
const WCHAR kDeliveryMutexName[] = L"Local\\TarnpostDelivery";

HANDLE deliveryMutex = nullptr;

}  // namespace

bool endFileHere(FILE* file) {
    const long end = ftell(file);
    return end >= 0 && _chsize(_fileno(file), end) == 0;
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
// and so does an environment value. The ANSI code page makes at most two
// bytes of each unit, or three when it is UTF-8.
const int kLongestWideText = 32767;
const int kLongestAnsiText = 3 * kLongestWideText;

WCHAR wideValue[kLongestWideText + 1];
char exactText[kLongestAnsiText + 1];

// Converts `wide` into exactText in the ANSI code page with neither a
// substitute nor a best-fit look-alike; false when some character has no
// exact counterpart there.
bool convertExactly(const WCHAR* wide) {
    // UTF-8 holds every character and takes neither the flag nor the report
    // of substitutes; it fails only on what it cannot encode at all, a lone
    // surrogate.
    if (GetACP() == CP_UTF8) {
        return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, -1, exactText,
                                   sizeof exactText, nullptr, nullptr) > 0;
    }
    BOOL substituted = FALSE;
    const int stored = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide, -1, exactText,
                                           sizeof exactText, nullptr, &substituted);
    return stored > 0 && !substituted;
}

// Whether `ansi` is `wide` in the ANSI code page, exactly and byte for byte:
// also no text that a look-alike split differently.
bool isExactly(const char* ansi, const WCHAR* wide) {
    return convertExactly(wide) && strcmp(exactText, ansi) == 0;
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
    const DWORD length = GetEnvironmentVariableW(wideName, wideValue, kLongestWideText + 1);
    if (length > kLongestWideText) {
        return false;  // longer than any value can be: nothing to compare
    }
    if (length == 0) {
        wideValue[0] = L'\0';  // unset or empty
    }
    return isExactly(value, wideValue);
}
