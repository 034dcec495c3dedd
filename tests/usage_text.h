// The usage text as the command writes it: cli/usage.cpp, linked into the
// test, writes it into a temporary file and it is read back, so the tests
// keep no copy of their own. That the text itself is right is held against
// the documents that quote it (tests/checks/check_docs.sh).
#ifndef TARNPOST_TESTS_USAGE_TEXT_H
#define TARNPOST_TESTS_USAGE_TEXT_H

#include <stdio.h>

#include <string>

#include "cli/usage.h"

// The bytes writeUsage writes to a binary stream (LF line ends); a note in
// parentheses when they cannot be had, which no command prints.
inline std::string usageText() {
    FILE* file = tmpfile();
    if (file == nullptr) {
        return "(no temporary file for the usage text)";
    }
    std::string text;
    if (writeUsage(file) && fseek(file, 0, SEEK_SET) == 0) {
        char buffer[512];
        size_t got = 0;
        while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) {
            text.append(buffer, got);
        }
    } else {
        text = "(the usage text could not be written and read back)";
    }
    fclose(file);
    return text;
}

#endif
