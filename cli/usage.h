#ifndef TARNPOST_CLI_USAGE_H
#define TARNPOST_CLI_USAGE_H

#include <stdio.h>

// Writes the usage text to `stream`; false when the stream reports an error.
bool writeUsage(FILE* stream);

#endif
