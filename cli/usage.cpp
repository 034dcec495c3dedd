#include "cli/usage.h"

namespace {

// Scripts and people read this text as it stands; every byte is kept.
const char* const kUsagePieces[] = {
    "Syntax:\n",
    "   tarnpost \"<message>\"\n\n",
    "Arguments:\n",
    "   <message>: a sequence of Brenn shell lines (commands and directives).\n",
    "\n",
    "Examples:\n",
    "   tarnpost \"*** File \\\"c:\\usr\\0sampleVOS.tnr\\\": line 38\"\n",
};

}  // namespace

bool writeUsage(FILE* stream) {
    for (const char* piece : kUsagePieces) {
        if (fputs(piece, stream) == EOF) {
            return false;
        }
    }
    return fflush(stream) == 0 && ferror(stream) == 0;
}
