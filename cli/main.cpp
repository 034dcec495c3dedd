// tarnpost: hands one message to the running TARN application.
#include <stdio.h>

#include "cli/usage.h"
#include "delivery/delivery.h"
#include "platform/platform.h"

// The MinGW runtime would otherwise be free to expand * and ? in the
// arguments; a message must arrive exactly as typed. Other runtimes never
// read this variable.
extern "C" {
int _dowildcard = 0;  // NOLINT(bugprone-reserved-identifier)
}

int main(int argc, char** argv) {
    // Without it the usage text can still be shown, since nothing is
    // opened for it; a delivery cannot, since a file it opened could take
    // the place of a closed standard stream and receive the error line.
    const bool prepared = prepareProcess();
    if (argc < 2) {
        if (writeUsage(stdout)) {
            return 0;
        }
        fprintf(stderr, "tarnpost: Cannot write the usage text.\n");
        return 1;
    }
    if (!prepared) {
        fprintf(stderr,
                "tarnpost: A standard stream is closed and the null device cannot be opened in "
                "its place.\n");
        return 1;
    }
    // A message that reached us with a substitute or look-alike for some
    // character is not the one the caller sent: TARN must never act on it.
    if (!argumentIsExact(1, argv[1])) {
        fprintf(stderr,
                "tarnpost: The message holds characters that code page %u cannot represent.\n",
                (unsigned)GetACP());
        return 1;
    }
    const char* failure = deliverMessage(argv[1]);
    if (failure == nullptr) {
        return 0;
    }
    fprintf(stderr, "tarnpost: %s\n", failure);
    return 1;
}
