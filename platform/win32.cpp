// The Windows side of the seam: the Win32 operations come from <windows.h>
// as they are; only the delivery lock is this program's own.
#include <io.h>

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
