// Prints its first argument as the C runtime handed it over, with the
// runtime's wildcard expansion switched on: the control that shows a folder
// where * and ? would really be expanded.
#include <stdio.h>

extern "C" {
int _dowildcard = -1;
}

int main(int argc, char** argv) {
    if (argc > 1) {
        fputs(argv[1], stdout);
    }
    return 0;
}
