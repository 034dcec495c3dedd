// Runs the Windows tests. The programs under test are named on the command
// line, after GoogleTest's own options:
//   --tarnpost=PATH --receiver=PATH --wildcard-probe=PATH --full-disk-dir=PATH
// Unix paths (as CMake passes them under Wine) are taken through drive Z:.
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>

#include "harness.h"

namespace {

bool takeOption(const char* argument, const char* name, std::string* value) {
    const size_t length = strlen(name);
    if (strncmp(argument, name, length) != 0 || argument[length] != '=') {
        return false;
    }
    *value = harness::windowsPath(argument + length + 1);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    harness::Programs& programs = harness::programs();
    for (int i = 1; i < argc; ++i) {
        if (!takeOption(argv[i], "--tarnpost", &programs.tarnpost) &&
            !takeOption(argv[i], "--receiver", &programs.receiver) &&
            !takeOption(argv[i], "--wildcard-probe", &programs.wildcardProbe) &&
            !takeOption(argv[i], "--full-disk-dir", &programs.fullDiskDirectory)) {
            fprintf(stderr, "windows_test: unknown argument %s\n", argv[i]);
            return 2;
        }
    }
    if (programs.tarnpost.empty()) {
        fprintf(stderr, "windows_test: --tarnpost=PATH is required\n");
        return 2;
    }
    return RUN_ALL_TESTS();
}
