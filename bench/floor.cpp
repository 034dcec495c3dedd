// Reference program for the benchmark: the platform work that no delivery
// can skip. It readies the process and takes the interruptions in hand as a
// delivery does, looks the Receiver up exactly as a delivery does (on
// Windows USER32 is loaded and FindWindowW asks for the window class;
// natively the Receiver's socket is checked and connected) and then ends,
// without writing the message file or notifying anyone.
#include "delivery/receiver_protocol.h"
#include "platform/platform.h"

int main() {
    if (!prepareProcess()) {
        return 2;
    }
    deferInterruptions();
    allowInterruptions();
    // Exit status 1 when no Receiver answers, so that the benchmark can tell
    // a floor that did the lookup from one that failed early.
    return FindWindowW(TARN_CLASS_NAME_W, nullptr) == nullptr ? 1 : 0;
}
