// The Windows side of the seam: the Win32 operations come from <windows.h>
// as they are; the operations below are this program's own.
#include <fcntl.h>
#include <io.h>
#include <stdint.h>

#include "platform/platform.h"

namespace {

// One mutex per logon session: every delivery of this user's desktop waits
// for the one before it.
const WCHAR kDeliveryMutexName[] = L"Local\\TarnpostDelivery";

// The longest wait SendMessageTimeoutW can be asked for (about 49.7 days):
// a Receiver that takes minutes is still waited for.
const UINT kLongestWait = 0xFFFFFFFF;

HANDLE deliveryMutex = nullptr;

// SMTO_ERRORONEXIT makes a Receiver whose thread ends while handling the
// message a failure of the send. Windows before Vista does not know the flag,
// and a flag it rejected would fail every delivery there.
UINT sendFlags() {
    const DWORD majorVersion = LOBYTE(LOWORD(GetVersion()));
    return majorVersion >= 6 ? SMTO_NORMAL | SMTO_ERRORONEXIT : SMTO_NORMAL;
}

}  // namespace

// A console program's standard handles are the caller's business; there is
// nothing to prepare.
bool prepareProcess() {
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
    setvbuf(file, nullptr, _IONBF, 0);
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
